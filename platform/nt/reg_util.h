// Small helpers over the Zw registry calls for the kernel's own bookkeeping
// (Plug and Play entries, interface keys, service entries).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "wdm.h"

namespace qk::nt::reg {

// Opens or creates every level of an absolute path ("\Registry\Machine\...").
NTSTATUS CreatePath(const std::u16string& path, ACCESS_MASK access, HANDLE* key);
NTSTATUS OpenPath(const std::u16string& path, ACCESS_MASK access, HANDLE* key);

NTSTATUS SetString(HANDLE key, const std::u16string& name, const std::u16string& value, ULONG type = 1 /*REG_SZ*/);
NTSTATUS SetMultiString(HANDLE key, const std::u16string& name, const std::vector<std::u16string>& values);
NTSTATUS SetDword(HANDLE key, const std::u16string& name, ULONG value);

std::optional<std::u16string> QueryString(HANDLE key, const std::u16string& name);
std::optional<std::vector<std::u16string>> QueryMultiString(HANDLE key, const std::u16string& name);
std::optional<ULONG> QueryDword(HANDLE key, const std::u16string& name);

// Convenience: one value from an absolute path.
std::optional<std::u16string> ReadString(const std::u16string& path, const std::u16string& name);
std::optional<std::vector<std::u16string>> ReadMultiString(const std::u16string& path, const std::u16string& name);

// A multi-string buffer (each string zero-terminated, then one more zero).
std::u16string JoinMulti(const std::vector<std::u16string>& values);
std::vector<std::u16string> SplitMulti(const WCHAR* data, size_t units);

std::u16string GuidText(const GUID& guid);  // "{6bdd1fc6-810f-11d0-bec7-08002be2092f}"
bool ParseGuid(const std::u16string& text, GUID* guid);

}  // namespace qk::nt::reg
