// The file name of a pin create: the pin string "{146F1A80-...}", a
// backslash, then the KSPIN_CONNECT followed by its data format. A name whose
// whole length would stay under 224 bytes carries, in place of the block, a
// pointer to it (the block then lives in the creator's memory for the call).
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "ks.h"

namespace qk::ks {

inline constexpr size_t kPinStringBytes = 38 * 2;
inline constexpr size_t kBlockOffset = kPinStringBytes + 2;  // 78: after the string and the backslash
inline constexpr size_t kInlineThreshold = 224;

// Builds the name for `block` (KSPIN_CONNECT + format); `block` must outlive the create.
inline std::vector<uint8_t> BuildPinCreateName(const std::vector<uint8_t>& block) {
    std::vector<uint8_t> name(kBlockOffset);
    std::memcpy(name.data(), KSSTRING_Pin, kPinStringBytes);
    name[kPinStringBytes] = '\\';
    name[kPinStringBytes + 1] = 0;
    if (kBlockOffset + block.size() < kInlineThreshold) {
        const uint8_t* pointer = block.data();
        name.resize(kBlockOffset + sizeof pointer);
        std::memcpy(name.data() + kBlockOffset, &pointer, sizeof pointer);
    } else {
        name.insert(name.end(), block.begin(), block.end());
    }
    return name;
}

// Finds the block in a create name; false when the name is not a pin create.
// *blockBytes is what the block may hold (for the pointer form, what the
// format's own size says, checked by the caller).
inline bool ParsePinCreateName(const UNICODE_STRING& name, const uint8_t** block, size_t* blockBytes) {
    size_t length = name.Length;
    if (name.Buffer == nullptr || length < kBlockOffset + sizeof(void*)) return false;
    if (std::memcmp(name.Buffer, KSSTRING_Pin, kPinStringBytes) != 0 || name.Buffer[38] != u'\\') return false;
    const auto* bytes = reinterpret_cast<const uint8_t*>(name.Buffer);
    if (length < kInlineThreshold) {
        const uint8_t* pointer;
        std::memcpy(&pointer, bytes + kBlockOffset, sizeof pointer);
        if (pointer == nullptr) return false;
        *block = pointer;
        // The pointer form is used only while the whole would stay under the threshold.
        *blockBytes = kInlineThreshold - kBlockOffset - 1;
        return true;
    }
    *block = bytes + kBlockOffset;
    *blockBytes = length - kBlockOffset;
    return true;
}

}  // namespace qk::ks
