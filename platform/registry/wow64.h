// The 32-bit view of the registry. A 32-bit caller that names
// HKEY_LOCAL_MACHINE\Software\X gets HKEY_LOCAL_MACHINE\Software\Wow6432Node\X;
// the Software key itself, and anything already under Wow6432Node, are
// shared. Below Software\Classes only the subkeys that hold COM and media
// registrations are split (Classes\Wow6432Node\CLSID and so on); file
// associations and the rest of Classes are shared. HKEY_CURRENT_USER and
// HKEY_USERS are shared.
#pragma once

#include <string>
#include <vector>

namespace qk::registry {

enum class View { Native, Wow32 };

// The levels (below \REGISTRY) of the key that holds `levels` in `view`.
std::vector<std::u16string> Redirect(const std::vector<std::u16string>& levels, View view);

}  // namespace qk::registry
