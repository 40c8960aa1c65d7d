// Key and value names: the target's limits, case folding, and the splitting of
// kernel paths ("\Registry\Machine\...") and relative paths into levels.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "wdm.h"

namespace qk::registry {

// Limits of the target's registry, in characters.
inline constexpr size_t kMaxKeyNameChars = 255;
inline constexpr size_t kMaxValueNameChars = 16383;
// Deepest key below \REGISTRY; bounds every walk over the tree.
inline constexpr size_t kMaxDepth = 512;
// Largest value data accepted. The target's limit is memory; this one keeps a
// single hostile write from exhausting the host.
inline constexpr size_t kMaxValueDataBytes = size_t{4} << 20;

// The form names are compared in: every UTF-16 unit upper-cased as
// RtlUpcaseUnicodeChar does, stored big-endian so that byte order sorts the
// way the code units do (the target enumerates subkeys in that order).
std::string FoldName(std::u16string_view name);

// Case-insensitive equality with the registry's rule.
bool NamesEqual(std::u16string_view a, std::u16string_view b);

// A key name level: 1..255 characters, no backslash, no control character, no
// unpaired surrogate (such names could not be exported as text).
bool IsValidKeyName(std::u16string_view name);

// A value name: up to 16383 characters, no NUL, no unpaired surrogate; empty
// is the key's default value.
bool IsValidValueName(std::u16string_view name);

// Splits a path relative to an open key ("Settings\VPE") into its levels.
// An empty path has no levels (the key itself). STATUS_OBJECT_PATH_SYNTAX_BAD
// for a leading backslash, STATUS_OBJECT_NAME_INVALID for an empty or invalid
// level or a path deeper than kMaxDepth.
NTSTATUS SplitRelativePath(std::u16string_view path, std::vector<std::u16string>* levels);

// Splits an absolute kernel path into its levels below \REGISTRY:
// "\Registry\Machine\Software" gives {"Machine", "Software"}, "\Registry"
// gives none. STATUS_OBJECT_PATH_SYNTAX_BAD when the path does not start with
// a backslash, STATUS_OBJECT_PATH_NOT_FOUND when it names something outside
// the registry.
NTSTATUS SplitKernelPath(std::u16string_view path, std::vector<std::u16string>* levels);

// "\REGISTRY\" followed by the levels, for messages and KeyNameInformation.
std::u16string JoinKernelPath(const std::vector<std::u16string>& levels);

// The view of a counted string (Length in bytes; an odd length is invalid).
bool ViewOf(const UNICODE_STRING* s, std::u16string_view* view);

// The package's ANSI code page for the registry's ...A calls: ISO 8859-1, so
// every byte has one character and round-trips; characters beyond U+00FF
// become '?'.
std::string ToAnsi(std::u16string_view text);
std::u16string FromAnsi(std::string_view text);

// 100-ns intervals since 1601-01-01 (the target's FILETIME) of the host clock.
int64_t SystemTimeNow();

}  // namespace qk::registry
