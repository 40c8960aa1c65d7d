// Key paths from outside (kernel paths, paths relative to a key, paths users
// type) must be split safely, and a path that parses must name the same key
// when it is shown and parsed again.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/registry/names.h"
#include "platform/registry/registry.h"
#include "platform/registry/wow64.h"

using namespace qk::registry;

namespace {

bool SameLevels(const std::vector<std::u16string>& a, const std::vector<std::u16string>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (!NamesEqual(a[i], b[i])) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::u16string path(size / 2, u'\0');
    for (size_t i = 0; i < path.size(); ++i) path[i] = static_cast<char16_t>(data[2 * i] | data[2 * i + 1] << 8);

    std::vector<std::u16string> levels;
    if (NT_SUCCESS(SplitKernelPath(path, &levels))) {
        for (View view : {View::Native, View::Wow32}) {
            auto redirected = Redirect(levels, view);
            if (redirected.size() < levels.size() || redirected.size() > levels.size() + 1) std::abort();
        }
        (void)JoinKernelPath(levels);
    }
    (void)SplitRelativePath(path, &levels);
    (void)FoldName(path);

    RootedPath rooted;
    std::string error;
    if (ParseRootedPath(path, &rooted, &error)) {
        std::u16string shown = DisplayPath(rooted.levels, rooted.root);
        RootedPath again;
        if (!ParseRootedPath(shown, &again, &error) || !SameLevels(again.levels, rooted.levels)) std::abort();
    } else if (error.empty()) {
        std::abort();  // a refusal always says why
    }
    return 0;
}
