// The user-mode registry calls. They work on the same store as the kernel's
// calls, through handles of their own (HKEY values never collide with kernel
// handles), and add what user mode sees on the target: the predefined keys,
// creation of every missing level, the 32-bit view and system error codes.
#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/nt/machine.h"
#include "platform/registry/hive.h"
#include "platform/registry/key_object.h"
#include "platform/registry/names.h"
#include "platform/registry/registry.h"
#include "platform/registry/wow64.h"
#include "winreg.h"

namespace qk::registry {
namespace {

using Txn = Store::Txn;
using Levels = std::vector<std::u16string>;

// An open user-mode key.
struct UserKey {
    KeyId id = 0;
    Levels logical;  // the path as the caller named it
    Levels real;     // the key it is, after redirection
    View view = View::Native;
    ACCESS_MASK granted = 0;
};

// User-mode handles look like the target's (small multiples of four) and are
// never reused within a machine, so a stale handle is always caught.
constexpr uintptr_t kUserHandleBase = 0x10000;

struct UserHandleTable {
    explicit UserHandleTable(Machine&) {}
    std::mutex lock;  // guards entries and next
    std::unordered_map<uintptr_t, std::shared_ptr<const UserKey>> entries;
    uintptr_t next = 1;
};

UserHandleTable& Handles() { return Machine::Current().Component<UserHandleTable>(); }

HKEY InsertUserKey(UserKey key) {
    auto& table = Handles();
    std::lock_guard guard(table.lock);
    uintptr_t value = kUserHandleBase + 4 * table.next++;
    table.entries.emplace(value, std::make_shared<const UserKey>(std::move(key)));
    return reinterpret_cast<HKEY>(value);
}

std::u16string_view Wide(LPCWSTR s) { return s == nullptr ? std::u16string_view() : std::u16string_view(s); }

// The levels of a predefined key; false for any other handle value.
bool PredefinedLevels(HKEY key, Levels* levels) {
    if (key == HKEY_LOCAL_MACHINE) {
        *levels = {u"MACHINE"};
    } else if (key == HKEY_USERS) {
        *levels = {u"USER"};
    } else if (key == HKEY_CURRENT_USER) {
        *levels = {u"USER", kMachineUserSid};
    } else if (key == HKEY_CLASSES_ROOT) {
        *levels = {u"MACHINE", u"SOFTWARE", u"Classes"};
    } else {
        return false;
    }
    return true;
}

bool UnderMachineHive(const Levels& levels) { return !levels.empty() && NamesEqual(levels[0], u"MACHINE"); }

// What the caller may do with a key at `real`: a standard user cannot change
// the machine's keys.
ACCESS_MASK PermittedRights(const Levels& real, ACCESS_MASK wanted) {
    if (UnderMachineHive(real) && !CurrentHive().UsersMayWriteMachineHive()) return wanted & ~kKeyWriteRights;
    return wanted;
}

// The key a handle refers to, before any subkey is named.
struct Base {
    std::shared_ptr<const UserKey> handle;  // null for a predefined key
    Levels logical;
    View view = View::Native;
    ACCESS_MASK granted = 0;
};

LONG GetBase(HKEY key, Base* base) {
    if (PredefinedLevels(key, &base->logical)) {
        base->view = CurrentHive().CallerIs32Bit() ? View::Wow32 : View::Native;
        base->granted = PermittedRights(base->logical, KEY_ALL_ACCESS);
        return ERROR_SUCCESS;
    }
    auto& table = Handles();
    std::lock_guard guard(table.lock);
    auto it = table.entries.find(reinterpret_cast<uintptr_t>(key));
    if (it == table.entries.end()) return ERROR_INVALID_HANDLE;
    base->handle = it->second;
    base->logical = it->second->logical;
    base->view = it->second->view;
    base->granted = it->second->granted;
    return ERROR_SUCCESS;
}

LONG StoreOrFail(Store** store) {
    *store = CurrentStore();
    return *store != nullptr ? ERROR_SUCCESS : ERROR_REGISTRY_IO_FAILED;
}

bool IsPrefix(const Levels& prefix, const Levels& levels) {
    if (prefix.size() > levels.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (!NamesEqual(prefix[i], levels[i])) return false;
    }
    return true;
}

// Where a walk to `real` starts: from the handle's own key when the path lies
// below it (so a handle to a deleted key stays deleted), else from \REGISTRY.
void WalkStart(const Base& base, const Levels& real, KeyId* from, Levels* rest) {
    if (base.handle != nullptr && IsPrefix(base.handle->real, real)) {
        *from = base.handle->id;
        rest->assign(real.begin() + static_cast<ptrdiff_t>(base.handle->real.size()), real.end());
    } else {
        *from = kRootKeyId;
        *rest = real;
    }
}

// The key named by `base` and `subKey`, as levels after redirection.
LONG Target(const Base& base, std::u16string_view subKey, REGSAM sam, Levels* logical, Levels* real, View* view) {
    if ((sam & KEY_WOW64_RES) == KEY_WOW64_RES) return ERROR_INVALID_PARAMETER;
    // A trailing backslash is forgiven, as the target does.
    if (!subKey.empty() && subKey.back() == u'\\') subKey.remove_suffix(1);
    Levels levels;
    NTSTATUS status = SplitRelativePath(subKey, &levels);
    if (!NT_SUCCESS(status)) return Win32ErrorFromStatus(status);
    *logical = base.logical;
    logical->insert(logical->end(), levels.begin(), levels.end());
    if (logical->size() > kMaxDepth) return ERROR_INVALID_NAME;
    *view = (sam & KEY_WOW64_64KEY) ? View::Native : (sam & KEY_WOW64_32KEY) ? View::Wow32 : base.view;
    *real = Redirect(*logical, *view);
    return ERROR_SUCCESS;
}

LONG OpenOrCreate(HKEY key, std::u16string_view subKey, REGSAM sam, bool create, DWORD options,
                  std::u16string_view className, PHKEY result, LPDWORD disposition) {
    if (result == nullptr) return ERROR_INVALID_PARAMETER;
    if (create && (options & ~static_cast<DWORD>(REG_LEGAL_OPTION)) != 0) return ERROR_INVALID_PARAMETER;
    if (create && (options & (REG_OPTION_CREATE_LINK | REG_OPTION_OPEN_LINK)) != 0) return ERROR_NOT_SUPPORTED;
    Base base;
    LONG error = GetBase(key, &base);
    UserKey opened;
    if (error == ERROR_SUCCESS) error = Target(base, subKey, sam, &opened.logical, &opened.real, &opened.view);
    if (error != ERROR_SUCCESS) return error;
    ACCESS_MASK wanted = MapKeyAccess(sam);
    opened.granted = PermittedRights(opened.real, wanted);
    if (opened.granted != wanted) return ERROR_ACCESS_DENIED;
    Store* store;
    if ((error = StoreOrFail(&store)) != ERROR_SUCCESS) return error;

    KeyId from;
    Levels rest;
    WalkStart(base, opened.real, &from, &rest);
    KeyRecord record;
    bool created = false;
    NTSTATUS status;
    {
        Txn txn(*store, Txn::Mode::Read);
        status = txn.Resolve(from, rest, &record);
    }
    if (create && status == STATUS_OBJECT_NAME_NOT_FOUND) {
        // Every missing level is created, each with the caller's options.
        Txn txn(*store, Txn::Mode::Write);
        status = txn.GetKey(from, &record);
        for (size_t i = 0; NT_SUCCESS(status) && i < rest.size(); ++i) {
            KeyId parent = record.id;
            bool made = false;
            bool last = i + 1 == rest.size();
            status = txn.CreateSubKey(parent, rest[i], last ? className : std::u16string_view(),
                                      (options & REG_OPTION_VOLATILE) != 0, &record, &made);
            created = created || made;
        }
        if (NT_SUCCESS(status)) status = txn.Commit();
    }
    if (!NT_SUCCESS(status)) return Win32ErrorFromStatus(status);
    opened.id = record.id;
    *result = InsertUserKey(std::move(opened));
    if (disposition != nullptr) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
}

// Runs `work` in a transaction on the key a handle itself refers to, once the
// handle is found to grant `needed`. The handle is looked up before the
// transaction starts: machine components are never taken while the store is
// held, the order the store's creation imposes.
template <typename Work>
LONG WithKey(HKEY key, ACCESS_MASK needed, Txn::Mode mode, Work work) {
    Base base;
    LONG error = GetBase(key, &base);
    if (error != ERROR_SUCCESS) return error;
    if ((base.granted & needed) != needed) return ERROR_ACCESS_DENIED;
    Store* store;
    if ((error = StoreOrFail(&store)) != ERROR_SUCCESS) return error;
    Txn txn(*store, mode);
    KeyRecord record;
    NTSTATUS status = base.handle != nullptr ? txn.GetKey(base.handle->id, &record)
                                             : txn.Resolve(kRootKeyId, base.logical, &record);
    if (!NT_SUCCESS(status)) return Win32ErrorFromStatus(status);
    status = work(txn, record);
    if (NT_SUCCESS(status) && mode == Txn::Mode::Write) status = txn.Commit();
    return Win32ErrorFromStatus(status);
}

// The end of the RegQueryValueEx protocol: a null data pointer asks for the
// size; a buffer too small gets ERROR_MORE_DATA with the size needed.
LONG Deliver(DWORD type, const std::vector<uint8_t>& data, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    if (lpType != nullptr) *lpType = type;
    if (lpcbData == nullptr) return ERROR_SUCCESS;
    DWORD needed = static_cast<DWORD>(data.size());
    if (lpData == nullptr) {
        *lpcbData = needed;
        return ERROR_SUCCESS;
    }
    if (*lpcbData < needed) {
        *lpcbData = needed;
        return ERROR_MORE_DATA;
    }
    if (needed != 0) std::memcpy(lpData, data.data(), needed);
    *lpcbData = needed;
    return ERROR_SUCCESS;
}

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

std::vector<uint8_t> StringDataToAnsi(const std::vector<uint8_t>& data) {
    std::u16string units(data.size() / 2, u'\0');
    std::memcpy(units.data(), data.data(), units.size() * 2);
    std::string ansi = ToAnsi(units);
    return std::vector<uint8_t>(ansi.begin(), ansi.end());
}

std::vector<uint8_t> StringDataFromAnsi(const BYTE* data, DWORD size) {
    std::u16string wide = FromAnsi(std::string_view(reinterpret_cast<const char*>(data), size));
    std::vector<uint8_t> bytes(wide.size() * 2);
    if (!wide.empty()) std::memcpy(bytes.data(), wide.data(), bytes.size());
    return bytes;
}

LONG QueryValue(HKEY key, std::u16string_view name, LPDWORD lpReserved, ValueRecord* value) {
    if (lpReserved != nullptr) return ERROR_INVALID_PARAMETER;
    return WithKey(key, KEY_QUERY_VALUE, Txn::Mode::Read,
                   [&](Txn& txn, const KeyRecord& record) { return txn.GetValue(record.id, name, value); });
}

LONG SetValue(HKEY key, std::u16string_view name, DWORD type, std::span<const uint8_t> data) {
    return WithKey(key, KEY_SET_VALUE, Txn::Mode::Write,
                   [&](Txn& txn, const KeyRecord& record) { return txn.SetValue(record.id, name, type, data); });
}

LONG DeleteValue(HKEY key, std::u16string_view name) {
    return WithKey(key, KEY_SET_VALUE, Txn::Mode::Write,
                   [&](Txn& txn, const KeyRecord& record) { return txn.DeleteValue(record.id, name); });
}

// Deletes the key named by `subKey` below `key`: alone (tree false; it must
// have no subkeys) or with everything below it.
LONG DeleteNamedKey(HKEY key, std::u16string_view subKey, REGSAM sam, bool tree) {
    Base base;
    LONG error = GetBase(key, &base);
    Levels logical, real;
    View view;
    if (error == ERROR_SUCCESS) error = Target(base, subKey, sam, &logical, &real, &view);
    if (error != ERROR_SUCCESS) return error;
    if (PermittedRights(real, DELETE) != DELETE) return ERROR_ACCESS_DENIED;
    Store* store;
    if ((error = StoreOrFail(&store)) != ERROR_SUCCESS) return error;
    KeyId from;
    Levels rest;
    WalkStart(base, real, &from, &rest);
    Txn txn(*store, Txn::Mode::Write);
    KeyRecord record;
    NTSTATUS status = txn.Resolve(from, rest, &record);
    if (NT_SUCCESS(status)) status = tree ? txn.DeleteTree(record.id, true) : txn.DeleteKey(record.id);
    if (NT_SUCCESS(status)) status = txn.Commit();
    return Win32ErrorFromStatus(status);
}

// Copies a name into a caller's character buffer whose capacity (with the
// terminating zero) is *count; on success *count is the length without it.
LONG CopyName(std::u16string_view name, LPWSTR buffer, LPDWORD count) {
    if (buffer == nullptr || count == nullptr) return ERROR_INVALID_PARAMETER;
    if (*count < name.size() + 1) return ERROR_MORE_DATA;
    std::memcpy(buffer, name.data(), name.size() * 2);
    buffer[name.size()] = 0;
    *count = static_cast<DWORD>(name.size());
    return ERROR_SUCCESS;
}

LONG CopyNameAnsi(std::u16string_view name, LPSTR buffer, LPDWORD count) {
    if (buffer == nullptr || count == nullptr) return ERROR_INVALID_PARAMETER;
    std::string ansi = ToAnsi(name);
    if (*count < ansi.size() + 1) return ERROR_MORE_DATA;
    std::memcpy(buffer, ansi.data(), ansi.size());
    buffer[ansi.size()] = 0;
    *count = static_cast<DWORD>(ansi.size());
    return ERROR_SUCCESS;
}

void ToFileTime(int64_t time, PFILETIME out) {
    if (out == nullptr) return;
    out->dwLowDateTime = static_cast<DWORD>(static_cast<uint64_t>(time) & 0xFFFFFFFF);
    out->dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(time) >> 32);
}

LONG SubKeyAt(HKEY key, DWORD index, LPDWORD lpReserved, KeyRecord* subKey) {
    if (lpReserved != nullptr) return ERROR_INVALID_PARAMETER;
    return WithKey(key, KEY_ENUMERATE_SUB_KEYS, Txn::Mode::Read,
                   [&](Txn& txn, const KeyRecord& record) { return txn.SubKeyAt(record.id, index, subKey); });
}

LONG ValueAt(HKEY key, DWORD index, LPDWORD lpReserved, ValueRecord* value) {
    if (lpReserved != nullptr) return ERROR_INVALID_PARAMETER;
    return WithKey(key, KEY_QUERY_VALUE, Txn::Mode::Read,
                   [&](Txn& txn, const KeyRecord& record) { return txn.ValueAt(record.id, index, value); });
}

std::u16string FromAnsiName(LPCSTR s) { return s == nullptr ? std::u16string() : FromAnsi(s); }

}  // namespace

LONG Win32ErrorFromStatus(NTSTATUS status) {
    switch (status) {
        case STATUS_SUCCESS: return ERROR_SUCCESS;
        case STATUS_OBJECT_NAME_NOT_FOUND: return ERROR_FILE_NOT_FOUND;
        case STATUS_OBJECT_PATH_NOT_FOUND: return ERROR_PATH_NOT_FOUND;
        case STATUS_ACCESS_DENIED:
        case STATUS_CANNOT_DELETE: return ERROR_ACCESS_DENIED;
        case STATUS_INVALID_HANDLE:
        case STATUS_OBJECT_TYPE_MISMATCH: return ERROR_INVALID_HANDLE;
        case STATUS_BUFFER_OVERFLOW: return ERROR_MORE_DATA;
        case STATUS_BUFFER_TOO_SMALL: return ERROR_INSUFFICIENT_BUFFER;
        case STATUS_NO_MORE_ENTRIES: return ERROR_NO_MORE_ITEMS;
        case STATUS_INVALID_PARAMETER: return ERROR_INVALID_PARAMETER;
        case STATUS_OBJECT_NAME_INVALID: return ERROR_INVALID_NAME;
        case STATUS_OBJECT_PATH_SYNTAX_BAD: return ERROR_BAD_PATHNAME;
        case STATUS_KEY_DELETED: return ERROR_KEY_DELETED;
        case STATUS_CHILD_MUST_BE_VOLATILE: return ERROR_CHILD_MUST_BE_VOLATILE;
        case STATUS_INSUFFICIENT_RESOURCES: return ERROR_NO_SYSTEM_RESOURCES;
        case STATUS_NO_MEMORY: return ERROR_NOT_ENOUGH_MEMORY;
        case STATUS_REGISTRY_IO_FAILED: return ERROR_REGISTRY_IO_FAILED;
        case STATUS_REGISTRY_CORRUPT: return ERROR_REGISTRY_CORRUPT;
        case STATUS_NOT_SUPPORTED: return ERROR_NOT_SUPPORTED;
        case STATUS_INVALID_INFO_CLASS: return ERROR_INVALID_PARAMETER;
        default: return ERROR_GEN_FAILURE;
    }
}

LSTATUS KeyPathOfHandle(HKEY key, std::vector<std::u16string>* levels) {
    return WithKey(key, 0, Txn::Mode::Read,
                   [&](Txn& txn, const KeyRecord& record) { return txn.PathOf(record.id, levels); });
}

size_t OpenUserKeyHandles() {
    auto& table = Handles();
    std::lock_guard guard(table.lock);
    return table.entries.size();
}

}  // namespace qk::registry

using namespace qk::registry;

LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass, DWORD dwOptions,
                        REGSAM samDesired, const LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                        LPDWORD lpdwDisposition) {
    if (lpSubKey == nullptr) return ERROR_BADKEY;
    return OpenOrCreate(hKey, Wide(lpSubKey), samDesired, true, dwOptions, Wide(lpClass), phkResult,
                        lpdwDisposition);
}

LSTATUS RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions,
                        REGSAM samDesired, const LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                        LPDWORD lpdwDisposition) {
    if (lpSubKey == nullptr) return ERROR_BADKEY;
    std::u16string subKey = FromAnsiName(lpSubKey), className = FromAnsiName(lpClass);
    return OpenOrCreate(hKey, subKey, samDesired, true, dwOptions, className, phkResult, lpdwDisposition);
}

LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult) {
    return OpenOrCreate(hKey, Wide(lpSubKey), samDesired, false, 0, {}, phkResult, nullptr);
}

LSTATUS RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult) {
    std::u16string subKey = FromAnsiName(lpSubKey);
    return OpenOrCreate(hKey, subKey, samDesired, false, 0, {}, phkResult, nullptr);
}

LSTATUS RegCloseKey(HKEY hKey) {
    Levels levels;
    if (PredefinedLevels(hKey, &levels)) return ERROR_SUCCESS;
    std::shared_ptr<const UserKey> dying;  // released outside the lock
    auto& table = Handles();
    std::lock_guard guard(table.lock);
    auto it = table.entries.find(reinterpret_cast<uintptr_t>(hKey));
    if (it == table.entries.end()) return ERROR_INVALID_HANDLE;
    dying = std::move(it->second);
    table.entries.erase(it);
    return ERROR_SUCCESS;
}

LSTATUS RegFlushKey(HKEY hKey) {
    // Every change is on disk when its call returns.
    return WithKey(hKey, 0, Store::Txn::Mode::Read, [](Store::Txn&, const KeyRecord&) { return STATUS_SUCCESS; });
}

LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                         LPDWORD lpcbData) {
    if (lpData != nullptr && lpcbData == nullptr) return ERROR_INVALID_PARAMETER;
    ValueRecord value;
    LONG error = QueryValue(hKey, Wide(lpValueName), lpReserved, &value);
    if (error != ERROR_SUCCESS) return error;
    return Deliver(value.type, value.data, lpType, lpData, lpcbData);
}

LSTATUS RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                         LPDWORD lpcbData) {
    if (lpData != nullptr && lpcbData == nullptr) return ERROR_INVALID_PARAMETER;
    ValueRecord value;
    LONG error = QueryValue(hKey, FromAnsiName(lpValueName), lpReserved, &value);
    if (error != ERROR_SUCCESS) return error;
    if (IsStringType(value.type)) value.data = StringDataToAnsi(value.data);
    return Deliver(value.type, value.data, lpType, lpData, lpcbData);
}

LSTATUS RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                       DWORD cbData) {
    if (lpData == nullptr && cbData != 0) return ERROR_INVALID_PARAMETER;
    return SetValue(hKey, Wide(lpValueName), dwType, std::span<const uint8_t>(lpData, cbData));
}

LSTATUS RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                       DWORD cbData) {
    if (lpData == nullptr && cbData != 0) return ERROR_INVALID_PARAMETER;
    std::u16string name = FromAnsiName(lpValueName);
    if (IsStringType(dwType)) return SetValue(hKey, name, dwType, StringDataFromAnsi(lpData, cbData));
    return SetValue(hKey, name, dwType, std::span<const uint8_t>(lpData, cbData));
}

LSTATUS RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) { return DeleteValue(hKey, Wide(lpValueName)); }

LSTATUS RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) { return DeleteValue(hKey, FromAnsiName(lpValueName)); }

LSTATUS RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) { return RegDeleteKeyExW(hKey, lpSubKey, 0, 0); }

LSTATUS RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
    if (lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
    return DeleteNamedKey(hKey, FromAnsiName(lpSubKey), 0, false);
}

LSTATUS RegDeleteKeyExW(HKEY hKey, LPCWSTR lpSubKey, REGSAM samDesired, DWORD Reserved) {
    if (lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
    return DeleteNamedKey(hKey, Wide(lpSubKey), samDesired, false);
}

LSTATUS RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey) {
    if (lpSubKey != nullptr && lpSubKey[0] != 0) return DeleteNamedKey(hKey, Wide(lpSubKey), 0, true);
    // No subkey: the key stays, everything in and below it goes.
    Levels levels;
    if (!PredefinedLevels(hKey, &levels)) {
        Base base;
        if (GetBase(hKey, &base) == ERROR_SUCCESS) levels = base.handle->real;
    }
    if (PermittedRights(levels, DELETE) != DELETE) return ERROR_ACCESS_DENIED;
    return WithKey(hKey, DELETE | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE, Store::Txn::Mode::Write,
                   [](Store::Txn& txn, const KeyRecord& record) { return txn.DeleteTree(record.id, false); });
}

LSTATUS RegDeleteTreeA(HKEY hKey, LPCSTR lpSubKey) {
    if (lpSubKey == nullptr) return RegDeleteTreeW(hKey, nullptr);
    std::u16string subKey = FromAnsiName(lpSubKey);
    return RegDeleteTreeW(hKey, subKey.c_str());
}

LSTATUS RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                      LPWSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
    KeyRecord subKey;
    LONG error = SubKeyAt(hKey, dwIndex, lpReserved, &subKey);
    if (error != ERROR_SUCCESS) return error;
    if ((error = CopyName(subKey.name, lpName, lpcchName)) != ERROR_SUCCESS) return error;
    if (lpClass != nullptr && (error = CopyName(subKey.className, lpClass, lpcchClass)) != ERROR_SUCCESS) return error;
    ToFileTime(subKey.lastWriteTime, lpftLastWriteTime);
    return ERROR_SUCCESS;
}

LSTATUS RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved, LPSTR lpClass,
                      LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
    KeyRecord subKey;
    LONG error = SubKeyAt(hKey, dwIndex, lpReserved, &subKey);
    if (error != ERROR_SUCCESS) return error;
    if ((error = CopyNameAnsi(subKey.name, lpName, lpcchName)) != ERROR_SUCCESS) return error;
    if (lpClass != nullptr && (error = CopyNameAnsi(subKey.className, lpClass, lpcchClass)) != ERROR_SUCCESS) {
        return error;
    }
    ToFileTime(subKey.lastWriteTime, lpftLastWriteTime);
    return ERROR_SUCCESS;
}

LSTATUS RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
                      LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    if (lpData != nullptr && lpcbData == nullptr) return ERROR_INVALID_PARAMETER;
    ValueRecord value;
    LONG error = ValueAt(hKey, dwIndex, lpReserved, &value);
    if (error != ERROR_SUCCESS) return error;
    if ((error = CopyName(value.name, lpValueName, lpcchValueName)) != ERROR_SUCCESS) return error;
    return Deliver(value.type, value.data, lpType, lpData, lpcbData);
}

LSTATUS RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
                      LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    if (lpData != nullptr && lpcbData == nullptr) return ERROR_INVALID_PARAMETER;
    ValueRecord value;
    LONG error = ValueAt(hKey, dwIndex, lpReserved, &value);
    if (error != ERROR_SUCCESS) return error;
    if ((error = CopyNameAnsi(value.name, lpValueName, lpcchValueName)) != ERROR_SUCCESS) return error;
    if (IsStringType(value.type)) value.data = StringDataToAnsi(value.data);
    return Deliver(value.type, value.data, lpType, lpData, lpcbData);
}

LSTATUS RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved, LPDWORD lpcSubKeys,
                         LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                         LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                         PFILETIME lpftLastWriteTime) {
    if (lpReserved != nullptr) return ERROR_INVALID_PARAMETER;
    KeyRecord key;
    KeyCounts counts;
    LONG error = WithKey(hKey, KEY_QUERY_VALUE, Store::Txn::Mode::Read, [&](Store::Txn& txn, const KeyRecord& record) {
        key = record;
        return txn.Counts(record.id, &counts);
    });
    if (error != ERROR_SUCCESS) return error;
    if (lpClass != nullptr && (error = CopyName(key.className, lpClass, lpcchClass)) != ERROR_SUCCESS) return error;
    if (lpClass == nullptr && lpcchClass != nullptr) *lpcchClass = static_cast<DWORD>(key.className.size());
    // Name lengths in characters without the terminating zero, data in bytes.
    if (lpcSubKeys != nullptr) *lpcSubKeys = counts.subKeys;
    if (lpcbMaxSubKeyLen != nullptr) *lpcbMaxSubKeyLen = counts.maxSubKeyNameBytes / 2;
    if (lpcbMaxClassLen != nullptr) *lpcbMaxClassLen = counts.maxClassBytes / 2;
    if (lpcValues != nullptr) *lpcValues = counts.values;
    if (lpcbMaxValueNameLen != nullptr) *lpcbMaxValueNameLen = counts.maxValueNameBytes / 2;
    if (lpcbMaxValueLen != nullptr) *lpcbMaxValueLen = counts.maxValueDataBytes;
    if (lpcbSecurityDescriptor != nullptr) *lpcbSecurityDescriptor = 0;
    ToFileTime(key.lastWriteTime, lpftLastWriteTime);
    return ERROR_SUCCESS;
}
