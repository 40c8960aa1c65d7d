// Paths of the machine's file system on the host.
#pragma once

#include <filesystem>
#include <string>

namespace qk::win32 {

// The host file of a "C:\..." path of the system root, each part matched
// without case as the target's file system does; empty when there is none.
std::filesystem::path HostFile(const std::u16string& path);
// The same for a file or a folder (drive C: itself is the root folder).
std::filesystem::path HostEntry(const std::u16string& path);

// ASCII letters in upper case, as the file system compares names.
std::u16string Upper(std::u16string s);

}  // namespace qk::win32
