#include "platform/registry/information.h"

#include <algorithm>
#include <cstring>

namespace qk::registry {
namespace {

constexpr ULONG kNoClass = 0xFFFFFFFF;

ULONG AlignUp(ULONG offset, ULONG alignment) { return (offset + alignment - 1) & ~(alignment - 1); }

// Writes into the caller's buffer, which may be unaligned: field by field
// with memcpy, each one checked against the length.
class Out {
public:
    Out(void* buffer, ULONG length) : p_(static_cast<uint8_t*>(buffer)), length_(length) {}
    void U32(ULONG offset, ULONG v) { Bytes(offset, &v, sizeof v); }
    void I64(ULONG offset, int64_t v) { Bytes(offset, &v, sizeof v); }
    // Copies what fits of `n` bytes at `offset`.
    void Bytes(ULONG offset, const void* src, size_t n) {
        if (offset >= length_ || n == 0) return;
        size_t room = std::min<size_t>(n, length_ - offset);
        std::memcpy(p_ + offset, src, room);
    }
    void Name(ULONG offset, std::u16string_view name) { Bytes(offset, name.data(), name.size() * 2); }

private:
    uint8_t* p_;
    ULONG length_;
};

ULONG Bytes(std::u16string_view s) { return static_cast<ULONG>(s.size() * 2); }

// The protocol shared by every class: a fixed part, then the variable part.
NTSTATUS Conclude(ULONG fixed, ULONG required, ULONG length, ULONG* resultLength) {
    *resultLength = required;
    if (length < fixed) return STATUS_BUFFER_TOO_SMALL;
    return length < required ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

}  // namespace

NTSTATUS WriteValueInformation(KEY_VALUE_INFORMATION_CLASS informationClass, const ValueRecord& value, void* buffer,
                               ULONG length, ULONG* resultLength) {
    Out out(buffer, length);
    const ULONG nameBytes = Bytes(value.name);
    const ULONG dataBytes = static_cast<ULONG>(value.data.size());
    switch (informationClass) {
        case KeyValueBasicInformation: {
            constexpr ULONG kFixed = offsetof(KEY_VALUE_BASIC_INFORMATION, Name);
            NTSTATUS status = Conclude(kFixed, kFixed + nameBytes, length, resultLength);
            if (status == STATUS_BUFFER_TOO_SMALL) return status;
            out.U32(offsetof(KEY_VALUE_BASIC_INFORMATION, TitleIndex), 0);
            out.U32(offsetof(KEY_VALUE_BASIC_INFORMATION, Type), value.type);
            out.U32(offsetof(KEY_VALUE_BASIC_INFORMATION, NameLength), nameBytes);
            out.Name(kFixed, value.name);
            return status;
        }
        case KeyValueFullInformation:
        case KeyValueFullInformationAlign64: {
            constexpr ULONG kFixed = offsetof(KEY_VALUE_FULL_INFORMATION, Name);
            const ULONG dataOffset =
                AlignUp(kFixed + nameBytes, informationClass == KeyValueFullInformation ? sizeof(ULONG) : 8);
            NTSTATUS status = Conclude(kFixed, dataOffset + dataBytes, length, resultLength);
            if (status == STATUS_BUFFER_TOO_SMALL) return status;
            out.U32(offsetof(KEY_VALUE_FULL_INFORMATION, TitleIndex), 0);
            out.U32(offsetof(KEY_VALUE_FULL_INFORMATION, Type), value.type);
            out.U32(offsetof(KEY_VALUE_FULL_INFORMATION, DataOffset), dataOffset);
            out.U32(offsetof(KEY_VALUE_FULL_INFORMATION, DataLength), dataBytes);
            out.U32(offsetof(KEY_VALUE_FULL_INFORMATION, NameLength), nameBytes);
            out.Name(kFixed, value.name);
            if (status == STATUS_SUCCESS) out.Bytes(dataOffset, value.data.data(), dataBytes);
            return status;
        }
        case KeyValuePartialInformation: {
            constexpr ULONG kFixed = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
            NTSTATUS status = Conclude(kFixed, kFixed + dataBytes, length, resultLength);
            if (status == STATUS_BUFFER_TOO_SMALL) return status;
            out.U32(offsetof(KEY_VALUE_PARTIAL_INFORMATION, TitleIndex), 0);
            out.U32(offsetof(KEY_VALUE_PARTIAL_INFORMATION, Type), value.type);
            out.U32(offsetof(KEY_VALUE_PARTIAL_INFORMATION, DataLength), dataBytes);
            if (status == STATUS_SUCCESS) out.Bytes(kFixed, value.data.data(), dataBytes);
            return status;
        }
        case KeyValuePartialInformationAlign64: {
            constexpr ULONG kFixed = offsetof(KEY_VALUE_PARTIAL_INFORMATION_ALIGN64, Data);
            NTSTATUS status = Conclude(kFixed, kFixed + dataBytes, length, resultLength);
            if (status == STATUS_BUFFER_TOO_SMALL) return status;
            out.U32(offsetof(KEY_VALUE_PARTIAL_INFORMATION_ALIGN64, Type), value.type);
            out.U32(offsetof(KEY_VALUE_PARTIAL_INFORMATION_ALIGN64, DataLength), dataBytes);
            if (status == STATUS_SUCCESS) out.Bytes(kFixed, value.data.data(), dataBytes);
            return status;
        }
        default:
            return STATUS_INVALID_INFO_CLASS;
    }
}

NTSTATUS WriteKeyInformation(KEY_INFORMATION_CLASS informationClass, const KeyRecord& key, const KeyCounts& counts,
                             std::u16string_view path, void* buffer, ULONG length, ULONG* resultLength) {
    Out out(buffer, length);
    const ULONG nameBytes = Bytes(key.name);
    const ULONG classBytes = Bytes(key.className);
    switch (informationClass) {
        case KeyBasicInformation: {
            constexpr ULONG kFixed = offsetof(KEY_BASIC_INFORMATION, Name);
            NTSTATUS status = Conclude(kFixed, kFixed + nameBytes, length, resultLength);
            if (status == STATUS_BUFFER_TOO_SMALL) return status;
            out.I64(offsetof(KEY_BASIC_INFORMATION, LastWriteTime), key.lastWriteTime);
            out.U32(offsetof(KEY_BASIC_INFORMATION, TitleIndex), 0);
            out.U32(offsetof(KEY_BASIC_INFORMATION, NameLength), nameBytes);
            out.Name(kFixed, key.name);
            return status;
        }
        case KeyNodeInformation: {
            constexpr ULONG kFixed = offsetof(KEY_NODE_INFORMATION, Name);
            const ULONG classOffset = classBytes == 0 ? kNoClass : AlignUp(kFixed + nameBytes, sizeof(ULONG));
            const ULONG required = classBytes == 0 ? kFixed + nameBytes : classOffset + classBytes;
            NTSTATUS status = Conclude(kFixed, required, length, resultLength);
            if (status == STATUS_BUFFER_TOO_SMALL) return status;
            out.I64(offsetof(KEY_NODE_INFORMATION, LastWriteTime), key.lastWriteTime);
            out.U32(offsetof(KEY_NODE_INFORMATION, TitleIndex), 0);
            out.U32(offsetof(KEY_NODE_INFORMATION, ClassOffset), classOffset);
            out.U32(offsetof(KEY_NODE_INFORMATION, ClassLength), classBytes);
            out.U32(offsetof(KEY_NODE_INFORMATION, NameLength), nameBytes);
            out.Name(kFixed, key.name);
            if (status == STATUS_SUCCESS && classBytes != 0) out.Name(classOffset, key.className);
            return status;
        }
        case KeyFullInformation: {
            constexpr ULONG kFixed = offsetof(KEY_FULL_INFORMATION, Class);
            NTSTATUS status = Conclude(kFixed, kFixed + classBytes, length, resultLength);
            if (status == STATUS_BUFFER_TOO_SMALL) return status;
            out.I64(offsetof(KEY_FULL_INFORMATION, LastWriteTime), key.lastWriteTime);
            out.U32(offsetof(KEY_FULL_INFORMATION, TitleIndex), 0);
            out.U32(offsetof(KEY_FULL_INFORMATION, ClassOffset), classBytes == 0 ? kNoClass : kFixed);
            out.U32(offsetof(KEY_FULL_INFORMATION, ClassLength), classBytes);
            out.U32(offsetof(KEY_FULL_INFORMATION, SubKeys), counts.subKeys);
            out.U32(offsetof(KEY_FULL_INFORMATION, MaxNameLen), counts.maxSubKeyNameBytes);
            out.U32(offsetof(KEY_FULL_INFORMATION, MaxClassLen), counts.maxClassBytes);
            out.U32(offsetof(KEY_FULL_INFORMATION, Values), counts.values);
            out.U32(offsetof(KEY_FULL_INFORMATION, MaxValueNameLen), counts.maxValueNameBytes);
            out.U32(offsetof(KEY_FULL_INFORMATION, MaxValueDataLen), counts.maxValueDataBytes);
            if (status == STATUS_SUCCESS) out.Name(kFixed, key.className);
            return status;
        }
        case KeyNameInformation: {
            constexpr ULONG kFixed = offsetof(KEY_NAME_INFORMATION, Name);
            const ULONG pathBytes = Bytes(path);
            NTSTATUS status = Conclude(kFixed, kFixed + pathBytes, length, resultLength);
            if (status == STATUS_BUFFER_TOO_SMALL) return status;
            out.U32(offsetof(KEY_NAME_INFORMATION, NameLength), pathBytes);
            out.Name(kFixed, path);
            return status;
        }
        case KeyCachedInformation: {
            constexpr ULONG kFixed = sizeof(KEY_CACHED_INFORMATION);
            NTSTATUS status = Conclude(kFixed, kFixed, length, resultLength);
            if (status == STATUS_BUFFER_TOO_SMALL) return status;
            out.I64(offsetof(KEY_CACHED_INFORMATION, LastWriteTime), key.lastWriteTime);
            out.U32(offsetof(KEY_CACHED_INFORMATION, TitleIndex), 0);
            out.U32(offsetof(KEY_CACHED_INFORMATION, SubKeys), counts.subKeys);
            out.U32(offsetof(KEY_CACHED_INFORMATION, MaxNameLen), counts.maxSubKeyNameBytes);
            out.U32(offsetof(KEY_CACHED_INFORMATION, Values), counts.values);
            out.U32(offsetof(KEY_CACHED_INFORMATION, MaxValueNameLen), counts.maxValueNameBytes);
            out.U32(offsetof(KEY_CACHED_INFORMATION, MaxValueDataLen), counts.maxValueDataBytes);
            out.U32(offsetof(KEY_CACHED_INFORMATION, NameLength), nameBytes);
            return status;
        }
        default:
            return STATUS_INVALID_INFO_CLASS;
    }
}

}  // namespace qk::registry
