// The shell link file (".lnk"): the header with its class identifier and
// flags, the link information with the target's local path, and the
// strings (description, relative path, working folder, arguments, icon
// location) in UTF-16. We write no item-identifier list: the link
// information holds the target. The reader takes what other writers put in
// (an identifier list is skipped, the extra-data blocks are ignored) and
// refuses anything that does not fit in the bytes it was given.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qk::shell {

struct LinkData {
    std::u16string path;  // the target, "C:\Windows\System32\rundll32.exe"
    std::u16string description;
    std::u16string relativePath;
    std::u16string workingDirectory;
    std::u16string arguments;
    std::u16string iconPath;
    int iconIndex = 0;
    int showCommand = 1;  // SW_SHOWNORMAL
    uint16_t hotkey = 0;
    uint32_t fileAttributes = 0x20;  // FILE_ATTRIBUTE_ARCHIVE: the target is a file
};

std::vector<uint8_t> WriteLink(const LinkData& link);
// False with a reason for bytes that are no shell link or do not hold
// together; `link` is then left as it was.
bool ReadLink(const uint8_t* bytes, size_t size, LinkData* link, std::string* error);

}  // namespace qk::shell
