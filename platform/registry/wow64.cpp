#include "platform/registry/wow64.h"

#include <string_view>

#include "platform/registry/names.h"

namespace qk::registry {
namespace {

constexpr std::u16string_view kWow6432Node = u"Wow6432Node";

// Subkeys of Classes with a separate 32-bit copy: class and interface
// registrations name modules of one bitness.
constexpr std::u16string_view kSplitClassKeys[] = {
    u"CLSID", u"DirectShow", u"Interface", u"Media Type", u"MediaFoundation",
};

bool IsSplitClassKey(std::u16string_view name) {
    for (auto key : kSplitClassKeys) {
        if (NamesEqual(name, key)) return true;
    }
    return false;
}

}  // namespace

std::vector<std::u16string> Redirect(const std::vector<std::u16string>& levels, View view) {
    if (view == View::Native || levels.size() < 3) return levels;
    if (!NamesEqual(levels[0], u"MACHINE") || !NamesEqual(levels[1], u"SOFTWARE")) return levels;
    if (NamesEqual(levels[2], kWow6432Node)) return levels;
    std::vector<std::u16string> redirected = levels;
    if (NamesEqual(levels[2], u"Classes")) {
        if (levels.size() >= 4 && IsSplitClassKey(levels[3])) {
            redirected.insert(redirected.begin() + 3, std::u16string(kWow6432Node));
        }
        return redirected;
    }
    redirected.insert(redirected.begin() + 2, std::u16string(kWow6432Node));
    return redirected;
}

}  // namespace qk::registry
