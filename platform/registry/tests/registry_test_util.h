// Helpers of the registry tests: kernel calls with paths written as literals.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "wdm.h"

namespace qk::registry::testing {

// A counted string over a literal or a std::u16string that outlives it.
inline UNICODE_STRING Counted(const std::u16string& s) {
    UNICODE_STRING u;
    u.Length = static_cast<USHORT>(s.size() * 2);
    u.MaximumLength = static_cast<USHORT>(s.size() * 2);
    u.Buffer = const_cast<PWSTR>(s.data());
    return u;
}
inline UNICODE_STRING Counted(std::u16string&&) = delete;  // would point into a temporary
template <size_t N>
UNICODE_STRING Counted(const char16_t (&literal)[N]) {
    return UNICODE_STRING{static_cast<USHORT>((N - 1) * 2), static_cast<USHORT>(N * 2), const_cast<PWSTR>(literal)};
}

inline NTSTATUS CreateKey(const std::u16string& path, HANDLE* handle, ULONG* disposition = nullptr,
                          ACCESS_MASK access = KEY_ALL_ACCESS, ULONG options = REG_OPTION_NON_VOLATILE,
                          HANDLE root = nullptr) {
    UNICODE_STRING name = Counted(path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
    ULONG ignored;
    return ZwCreateKey(handle, access, &attributes, 0, nullptr, options, disposition ? disposition : &ignored);
}

inline NTSTATUS OpenKey(const std::u16string& path, HANDLE* handle, ACCESS_MASK access = KEY_ALL_ACCESS,
                        HANDLE root = nullptr) {
    UNICODE_STRING name = Counted(path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
    return ZwOpenKey(handle, access, &attributes);
}

inline NTSTATUS SetValue(HANDLE key, const std::u16string& name, ULONG type, const void* data, ULONG size) {
    UNICODE_STRING counted = Counted(name);
    return ZwSetValueKey(key, &counted, 0, type, const_cast<void*>(data), size);
}

inline NTSTATUS SetDword(HANDLE key, const std::u16string& name, ULONG value) {
    return SetValue(key, name, REG_DWORD, &value, sizeof value);
}

// Reads a value's type and data with partial information, retrying with the
// size the call asks for, as drivers do.
inline NTSTATUS GetValue(HANDLE key, const std::u16string& name, ULONG* type, std::vector<uint8_t>* data) {
    UNICODE_STRING counted = Counted(name);
    std::vector<uint8_t> buffer(16);
    ULONG needed = 0;
    NTSTATUS status;
    for (int attempt = 0; attempt < 3; ++attempt) {
        status = ZwQueryValueKey(key, &counted, KeyValuePartialInformation, buffer.data(),
                                 static_cast<ULONG>(buffer.size()), &needed);
        if (status != STATUS_BUFFER_OVERFLOW && status != STATUS_BUFFER_TOO_SMALL) break;
        buffer.resize(needed);
    }
    if (!NT_SUCCESS(status)) return status;
    KEY_VALUE_PARTIAL_INFORMATION info;
    std::memcpy(&info, buffer.data(), offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data));
    *type = info.Type;
    data->assign(buffer.begin() + offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data),
                 buffer.begin() + offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data) + info.DataLength);
    return status;
}

inline std::vector<uint8_t> Bytes(std::initializer_list<uint8_t> bytes) { return std::vector<uint8_t>(bytes); }

// The UTF-16LE bytes of `text` followed by `terminators` zero characters.
inline std::vector<uint8_t> WideBytes(const std::u16string& text, size_t terminators = 1) {
    std::vector<uint8_t> bytes((text.size() + terminators) * 2, 0);
    std::memcpy(bytes.data(), text.data(), text.size() * 2);
    return bytes;
}

}  // namespace qk::registry::testing
