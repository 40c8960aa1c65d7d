// A shell link is a file anyone can put on the machine: the reader must
// refuse what does not hold together with a reason and never read outside
// the bytes. What it reads, written again, reads back the same.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/shell/link_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qk::shell::LinkData link;
    std::string error;
    if (!qk::shell::ReadLink(data, size, &link, &error)) {
        if (error.empty()) std::abort();
        return 0;
    }
    const std::vector<uint8_t> again = qk::shell::WriteLink(link);
    qk::shell::LinkData back;
    if (!qk::shell::ReadLink(again.data(), again.size(), &back, &error)) std::abort();
    if (back.path != link.path || back.description != link.description || back.arguments != link.arguments ||
        back.workingDirectory != link.workingDirectory || back.iconPath != link.iconPath ||
        back.relativePath != link.relativePath || back.iconIndex != link.iconIndex || back.hotkey != link.hotkey) {
        std::abort();
    }
    return 0;
}
