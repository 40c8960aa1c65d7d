// The console's replay script reader on arbitrary bytes: every line is a
// command or the whole script is refused with a line number inside it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "console/script.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view script(reinterpret_cast<const char*>(data), size);
    std::vector<k0340cvw::ScriptCommand> commands;
    k0340cvw::ScriptError error;
    if (k0340cvw::ParseScript(script, &commands, &error)) {
        for (const auto& c : commands) {
            if (c.line < 1 || static_cast<size_t>(c.line) > size) std::abort();
            if (c.verb == k0340cvw::ScriptVerb::Wait && (c.value < 0 || c.value > k0340cvw::kLongestWaitMs)) std::abort();
            const bool named = c.verb == k0340cvw::ScriptVerb::Click || c.verb == k0340cvw::ScriptVerb::Expand ||
                               c.verb == k0340cvw::ScriptVerb::Collapse;
            if (named && (c.id < 0 || c.id > 65535)) std::abort();
        }
    } else {
        if (!commands.empty() || error.line < 1 || static_cast<size_t>(error.line) > size + 1 || error.reason.empty() ||
            error.text.size() > 80) {
            std::abort();
        }
    }
    return 0;
}
