#include "platform/nt/reg_util.h"

#include <cstdio>
#include <memory>

#include "platform/nt/wformat.h"

namespace qk::nt::reg {
namespace {

UNICODE_STRING Counted(const std::u16string& s) {
    UNICODE_STRING u;
    u.Length = static_cast<USHORT>(s.size() * 2);
    u.MaximumLength = u.Length;
    u.Buffer = const_cast<PWSTR>(s.data());
    return u;
}

NTSTATUS QueryRaw(HANDLE key, const std::u16string& name, ULONG* type, std::vector<uint8_t>* data) {
    UNICODE_STRING valueName = Counted(name);
    ULONG needed = 0;
    std::vector<uint8_t> buffer(sizeof(KEY_VALUE_PARTIAL_INFORMATION) + 64);
    NTSTATUS status;
    for (int attempt = 0; attempt < 4; ++attempt) {
        status = ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, buffer.data(),
                                 static_cast<ULONG>(buffer.size()), &needed);
        if (status != STATUS_BUFFER_OVERFLOW && status != STATUS_BUFFER_TOO_SMALL) break;
        buffer.resize(needed);
    }
    if (!NT_SUCCESS(status)) return status;
    auto* info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer.data());
    *type = info->Type;
    data->assign(info->Data, info->Data + info->DataLength);
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS OpenPath(const std::u16string& path, ACCESS_MASK access, HANDLE* key) {
    UNICODE_STRING name = Counted(path);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    return ZwOpenKey(key, access, &oa);
}

NTSTATUS CreatePath(const std::u16string& path, ACCESS_MASK access, HANDLE* key) {
    // "\Registry\Machine" and "\Registry\User" always exist; create below them level by level.
    size_t start = 0;
    int separators = 0;
    for (size_t i = 0; i < path.size(); ++i) {
        if (path[i] == u'\\' && ++separators == 3) {
            start = i;
            break;
        }
    }
    if (start == 0) return OpenPath(path, access, key);
    size_t pos = start;
    while (true) {
        size_t next = path.find(u'\\', pos + 1);
        std::u16string prefix = path.substr(0, next);
        UNICODE_STRING name = Counted(prefix);
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
        HANDLE h;
        ULONG disposition;
        NTSTATUS status = ZwCreateKey(&h, next == std::u16string::npos ? access : KEY_ALL_ACCESS, &oa, 0, nullptr,
                                      REG_OPTION_NON_VOLATILE, &disposition);
        if (!NT_SUCCESS(status)) return status;
        if (next == std::u16string::npos) {
            *key = h;
            return STATUS_SUCCESS;
        }
        ZwClose(h);
        pos = next;
    }
}

NTSTATUS SetString(HANDLE key, const std::u16string& name, const std::u16string& value, ULONG type) {
    UNICODE_STRING valueName = Counted(name);
    std::u16string data = value;
    data.push_back(0);
    return ZwSetValueKey(key, &valueName, 0, type, data.data(), static_cast<ULONG>(data.size() * 2));
}

NTSTATUS SetMultiString(HANDLE key, const std::u16string& name, const std::vector<std::u16string>& values) {
    UNICODE_STRING valueName = Counted(name);
    std::u16string data = JoinMulti(values);
    return ZwSetValueKey(key, &valueName, 0, REG_MULTI_SZ, data.data(), static_cast<ULONG>(data.size() * 2));
}

NTSTATUS SetDword(HANDLE key, const std::u16string& name, ULONG value) {
    UNICODE_STRING valueName = Counted(name);
    return ZwSetValueKey(key, &valueName, 0, REG_DWORD, &value, sizeof value);
}

std::optional<std::u16string> QueryString(HANDLE key, const std::u16string& name) {
    ULONG type;
    std::vector<uint8_t> data;
    if (!NT_SUCCESS(QueryRaw(key, name, &type, &data))) return std::nullopt;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return std::nullopt;
    std::u16string s(data.size() / 2, u'\0');
    std::memcpy(s.data(), data.data(), s.size() * 2);
    while (!s.empty() && s.back() == 0) s.pop_back();
    return s;
}

std::optional<std::vector<std::u16string>> QueryMultiString(HANDLE key, const std::u16string& name) {
    ULONG type;
    std::vector<uint8_t> data;
    if (!NT_SUCCESS(QueryRaw(key, name, &type, &data))) return std::nullopt;
    if (type == REG_SZ) {
        auto s = QueryString(key, name);
        if (!s) return std::nullopt;
        return std::vector<std::u16string>{*s};
    }
    if (type != REG_MULTI_SZ) return std::nullopt;
    std::u16string s(data.size() / 2, u'\0');
    std::memcpy(s.data(), data.data(), s.size() * 2);
    return SplitMulti(s.data(), s.size());
}

std::optional<ULONG> QueryDword(HANDLE key, const std::u16string& name) {
    ULONG type;
    std::vector<uint8_t> data;
    if (!NT_SUCCESS(QueryRaw(key, name, &type, &data)) || type != REG_DWORD || data.size() < 4) return std::nullopt;
    ULONG v;
    std::memcpy(&v, data.data(), 4);
    return v;
}

std::optional<std::u16string> ReadString(const std::u16string& path, const std::u16string& name) {
    HANDLE key;
    if (!NT_SUCCESS(OpenPath(path, KEY_READ, &key))) return std::nullopt;
    auto v = QueryString(key, name);
    ZwClose(key);
    return v;
}

std::optional<std::vector<std::u16string>> ReadMultiString(const std::u16string& path, const std::u16string& name) {
    HANDLE key;
    if (!NT_SUCCESS(OpenPath(path, KEY_READ, &key))) return std::nullopt;
    auto v = QueryMultiString(key, name);
    ZwClose(key);
    return v;
}

std::u16string JoinMulti(const std::vector<std::u16string>& values) {
    std::u16string data;
    for (auto& v : values) {
        data += v;
        data.push_back(0);
    }
    data.push_back(0);
    return data;
}

std::vector<std::u16string> SplitMulti(const WCHAR* data, size_t units) {
    std::vector<std::u16string> out;
    size_t i = 0;
    while (i < units && data[i] != 0) {
        size_t start = i;
        while (i < units && data[i] != 0) ++i;
        out.emplace_back(data + start, data + i);
        ++i;
    }
    return out;
}

std::u16string GuidText(const GUID& g) {
    return ToUtf16(Format("{%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", static_cast<ULONG>(g.Data1), g.Data2,
                          g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6],
                          g.Data4[7]));
}

bool ParseGuid(const std::u16string& text, GUID* guid) {
    UNICODE_STRING u = Counted(text);
    return NT_SUCCESS(RtlGUIDFromString(&u, guid));
}

}  // namespace qk::nt::reg
