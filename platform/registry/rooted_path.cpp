// Paths as users write them, rooted at a predefined key.
#include <string_view>

#include "platform/nt/wformat.h"
#include "platform/registry/names.h"
#include "platform/registry/registry.h"

namespace qk::registry {
namespace {

struct RootName {
    std::u16string_view longName;
    std::u16string_view shortName;
    HKEY key;
    std::vector<std::u16string> levels;
};

// Longest paths first, so that a key below HKEY_CURRENT_USER is shown there
// rather than below HKEY_USERS.
const std::vector<RootName>& Roots() {
    static const std::vector<RootName> roots = {
        {u"HKEY_CURRENT_USER", u"HKCU", HKEY_CURRENT_USER, {u"USER", kMachineUserSid}},
        {u"HKEY_CLASSES_ROOT", u"HKCR", HKEY_CLASSES_ROOT, {u"MACHINE", u"SOFTWARE", u"Classes"}},
        {u"HKEY_LOCAL_MACHINE", u"HKLM", HKEY_LOCAL_MACHINE, {u"MACHINE"}},
        {u"HKEY_USERS", u"HKU", HKEY_USERS, {u"USER"}},
    };
    return roots;
}

bool IsPrefix(const std::vector<std::u16string>& prefix, const std::vector<std::u16string>& levels) {
    if (prefix.size() > levels.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (!NamesEqual(prefix[i], levels[i])) return false;
    }
    return true;
}

std::u16string Below(const RootName& root, const std::vector<std::u16string>& levels) {
    std::u16string display(root.longName);
    for (size_t i = root.levels.size(); i < levels.size(); ++i) {
        display += u'\\';
        display += levels[i];
    }
    return display;
}

}  // namespace

bool ParseRootedPath(std::u16string_view text, RootedPath* path, std::string* error) {
    size_t cut = text.find(u'\\');
    std::u16string_view rootText = text.substr(0, cut);
    std::u16string_view rest = cut == std::u16string_view::npos ? std::u16string_view() : text.substr(cut + 1);
    const RootName* root = nullptr;
    for (const auto& candidate : Roots()) {
        if (NamesEqual(rootText, candidate.longName) || NamesEqual(rootText, candidate.shortName)) root = &candidate;
    }
    if (root == nullptr) {
        *error = "unknown root key '" + ToUtf8(std::u16string(rootText)) +
                 "' (use HKLM, HKCU, HKCR, HKU or HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, HKEY_CLASSES_ROOT, "
                 "HKEY_USERS)";
        return false;
    }
    if (!rest.empty() && rest.back() == u'\\') rest.remove_suffix(1);
    std::vector<std::u16string> below;
    NTSTATUS status = SplitRelativePath(rest, &below);
    if (!NT_SUCCESS(status)) {
        *error = "invalid key path '" + ToUtf8(std::u16string(text)) +
                 "': every level needs 1 to 255 characters, without control characters";
        return false;
    }
    if (root->levels.size() + below.size() > kMaxDepth) {
        *error = "key path '" + ToUtf8(std::u16string(text)) + "' is deeper than the registry allows";
        return false;
    }
    path->root = root->key;
    path->rootName = std::u16string(root->longName);
    path->subKey = std::u16string(rest);
    path->levels = root->levels;
    path->levels.insert(path->levels.end(), below.begin(), below.end());
    return true;
}

std::u16string DisplayPath(const std::vector<std::u16string>& levels, HKEY preferredRoot) {
    for (const auto& root : Roots()) {
        if (root.key == preferredRoot && IsPrefix(root.levels, levels)) return Below(root, levels);
    }
    for (const auto& root : Roots()) {
        if (IsPrefix(root.levels, levels)) return Below(root, levels);
    }
    return JoinKernelPath(levels);
}

}  // namespace qk::registry
