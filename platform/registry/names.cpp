#include "platform/registry/names.h"

#include <chrono>

namespace qk::registry {
namespace {

bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

bool SurrogatesPaired(std::u16string_view s) {
    for (size_t i = 0; i < s.size(); ++i) {
        if (IsHighSurrogate(s[i])) {
            if (i + 1 >= s.size() || !IsLowSurrogate(s[i + 1])) return false;
            ++i;
        } else if (IsLowSurrogate(s[i])) {
            return false;
        }
    }
    return true;
}

NTSTATUS SplitLevels(std::u16string_view path, std::vector<std::u16string>* levels) {
    levels->clear();
    if (path.empty()) return STATUS_SUCCESS;
    size_t start = 0;
    while (true) {
        size_t end = path.find(u'\\', start);
        std::u16string_view level = path.substr(start, end == std::u16string_view::npos ? path.size() - start : end - start);
        if (!IsValidKeyName(level)) return STATUS_OBJECT_NAME_INVALID;
        if (levels->size() >= kMaxDepth) return STATUS_OBJECT_NAME_INVALID;
        levels->emplace_back(level);
        if (end == std::u16string_view::npos) break;
        start = end + 1;
    }
    return STATUS_SUCCESS;
}

}  // namespace

std::string FoldName(std::u16string_view name) {
    std::string folded(name.size() * 2, '\0');
    for (size_t i = 0; i < name.size(); ++i) {
        char16_t c = RtlUpcaseUnicodeChar(name[i]);
        folded[2 * i] = static_cast<char>(c >> 8);
        folded[2 * i + 1] = static_cast<char>(c & 0xFF);
    }
    return folded;
}

bool NamesEqual(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (RtlUpcaseUnicodeChar(a[i]) != RtlUpcaseUnicodeChar(b[i])) return false;
    }
    return true;
}

bool IsValidKeyName(std::u16string_view name) {
    if (name.empty() || name.size() > kMaxKeyNameChars) return false;
    for (char16_t c : name) {
        if (c < 0x20 || c == u'\\' || c == 0x7F) return false;
    }
    return SurrogatesPaired(name);
}

bool IsValidValueName(std::u16string_view name) {
    if (name.size() > kMaxValueNameChars) return false;
    for (char16_t c : name) {
        if (c == 0) return false;
    }
    return SurrogatesPaired(name);
}

NTSTATUS SplitRelativePath(std::u16string_view path, std::vector<std::u16string>* levels) {
    if (!path.empty() && path.front() == u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
    return SplitLevels(path, levels);
}

NTSTATUS SplitKernelPath(std::u16string_view path, std::vector<std::u16string>* levels) {
    levels->clear();
    if (path.empty() || path.front() != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
    constexpr std::u16string_view kRoot = u"\\Registry";
    if (path.size() < kRoot.size() || !NamesEqual(path.substr(0, kRoot.size()), kRoot)) {
        return STATUS_OBJECT_PATH_NOT_FOUND;
    }
    std::u16string_view rest = path.substr(kRoot.size());
    if (rest.empty()) return STATUS_SUCCESS;
    if (rest.front() != u'\\') return STATUS_OBJECT_PATH_NOT_FOUND;  // "\RegistryX"
    return SplitLevels(rest.substr(1), levels);
}

std::u16string JoinKernelPath(const std::vector<std::u16string>& levels) {
    std::u16string path = u"\\REGISTRY";
    for (const auto& level : levels) {
        path += u'\\';
        path += level;
    }
    return path;
}

bool ViewOf(const UNICODE_STRING* s, std::u16string_view* view) {
    if (s == nullptr) return false;
    if (s->Length % 2 != 0 || s->Length > s->MaximumLength) return false;
    if (s->Length != 0 && s->Buffer == nullptr) return false;
    *view = std::u16string_view(s->Buffer, s->Length / 2);
    return true;
}

std::string ToAnsi(std::u16string_view text) {
    std::string out(text.size(), '\0');
    for (size_t i = 0; i < text.size(); ++i) out[i] = text[i] <= 0xFF ? static_cast<char>(text[i]) : '?';
    return out;
}

std::u16string FromAnsi(std::string_view text) {
    std::u16string out(text.size(), u'\0');
    for (size_t i = 0; i < text.size(); ++i) out[i] = static_cast<unsigned char>(text[i]);
    return out;
}

int64_t SystemTimeNow() {
    // 1601-01-01 to 1970-01-01 in 100-ns intervals.
    constexpr int64_t kEpochDelta = 116444736000000000;
    auto since1970 = std::chrono::system_clock::now().time_since_epoch();
    return kEpochDelta + std::chrono::duration_cast<std::chrono::nanoseconds>(since1970).count() / 100;
}

}  // namespace qk::registry
