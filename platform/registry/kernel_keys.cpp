// The kernel's registry calls. Paths are the native ones (a Wow6432Node level
// is just a key here): redirection is a user-mode matter. Every call runs at
// PASSIVE_LEVEL only; the verifier reports others.
#include <memory>
#include <vector>

#include "platform/nt/thread_context.h"
#include "platform/registry/hive.h"
#include "platform/registry/information.h"
#include "platform/registry/key_object.h"
#include "platform/registry/names.h"
#include "platform/registry/registry.h"
#include "wdm.h"

namespace qk::registry {
namespace {

using Txn = Store::Txn;

NTSTATUS KeyFromHandle(HANDLE handle, ACCESS_MASK needed, KeyId* id) {
    std::shared_ptr<KeyObject> key;
    ACCESS_MASK granted = 0;
    NTSTATUS status = qk::nt::LookupHandleAs<KeyObject>(handle, &key, &granted);
    if (!NT_SUCCESS(status)) return status;
    if ((granted & needed) != needed) return STATUS_ACCESS_DENIED;
    *id = key->id();
    return STATUS_SUCCESS;
}

// Where an OBJECT_ATTRIBUTES points: a key to start from and the levels below it.
struct Target {
    KeyId from = kRootKeyId;
    std::vector<std::u16string> levels;
};

NTSTATUS ParseObjectAttributes(const OBJECT_ATTRIBUTES* attributes, Target* target) {
    if (attributes == nullptr) return STATUS_INVALID_PARAMETER;
    std::u16string_view name;
    if (attributes->ObjectName != nullptr && !ViewOf(attributes->ObjectName, &name)) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    if (attributes->RootDirectory != nullptr) {
        // Opening below a key needs no right on the key's own handle.
        NTSTATUS status = KeyFromHandle(attributes->RootDirectory, 0, &target->from);
        if (!NT_SUCCESS(status)) return status;
        return SplitRelativePath(name, &target->levels);
    }
    if (name.empty()) return STATUS_OBJECT_NAME_INVALID;
    target->from = kRootKeyId;
    return SplitKernelPath(name, &target->levels);
}

NTSTATUS StoreOrFail(Store** store) {
    *store = CurrentStore();
    return *store != nullptr ? STATUS_SUCCESS : STATUS_REGISTRY_IO_FAILED;
}

NTSTATUS OpenKey(PHANDLE keyHandle, ACCESS_MASK desiredAccess, POBJECT_ATTRIBUTES attributes, PUNICODE_STRING keyClass,
                 ULONG createOptions, PULONG disposition, bool create) {
    if (keyHandle == nullptr) return STATUS_INVALID_PARAMETER;
    if (create && (createOptions & ~REG_LEGAL_OPTION) != 0) return STATUS_INVALID_PARAMETER;
    // Symbolic links between keys are not part of this registry.
    if (create && (createOptions & (REG_OPTION_CREATE_LINK | REG_OPTION_OPEN_LINK)) != 0) return STATUS_NOT_SUPPORTED;
    std::u16string_view className;
    if (create && keyClass != nullptr && !ViewOf(keyClass, &className)) return STATUS_INVALID_PARAMETER;
    Target target;
    NTSTATUS status = ParseObjectAttributes(attributes, &target);
    if (!NT_SUCCESS(status)) return status;
    Store* store;
    if (!NT_SUCCESS(status = StoreOrFail(&store))) return status;

    KeyRecord key;
    bool created = false;
    {
        // Most opens find the key: look without taking the write lock.
        Txn txn(*store, Txn::Mode::Read);
        status = txn.Resolve(target.from, target.levels, &key);
    }
    if (create && status == STATUS_OBJECT_NAME_NOT_FOUND && !target.levels.empty()) {
        Txn txn(*store, Txn::Mode::Write);
        std::vector<std::u16string> parentLevels(target.levels.begin(), target.levels.end() - 1);
        KeyRecord parent;
        status = txn.Resolve(target.from, parentLevels, &parent);
        if (NT_SUCCESS(status)) {
            status = txn.CreateSubKey(parent.id, target.levels.back(), className,
                                      (createOptions & REG_OPTION_VOLATILE) != 0, &key, &created);
        }
        if (NT_SUCCESS(status)) status = txn.Commit();
    }
    if (!NT_SUCCESS(status)) return status;
    *keyHandle = qk::nt::InsertHandle(std::make_shared<KeyObject>(key.id), MapKeyAccess(desiredAccess));
    if (disposition != nullptr) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return STATUS_SUCCESS;
}

NTSTATUS ValueNameOf(PUNICODE_STRING valueName, std::u16string_view* name) {
    if (valueName == nullptr) return STATUS_INVALID_PARAMETER;
    if (!ViewOf(valueName, name)) return STATUS_INVALID_PARAMETER;
    return STATUS_SUCCESS;
}

// The checks every query with an output buffer shares.
NTSTATUS CheckOutput(PVOID buffer, ULONG length, PULONG resultLength) {
    if (resultLength == nullptr) return STATUS_INVALID_PARAMETER;
    if (buffer == nullptr && length != 0) return STATUS_INVALID_PARAMETER;
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS OpenKernelKeyGranting(std::u16string_view kernelPath, ACCESS_MASK granted, bool createLevels,
                               HANDLE* handle) {
    if (handle == nullptr) return STATUS_INVALID_PARAMETER;
    std::vector<std::u16string> levels;
    NTSTATUS status = SplitKernelPath(kernelPath, &levels);
    Store* store;
    if (NT_SUCCESS(status)) status = StoreOrFail(&store);
    if (!NT_SUCCESS(status)) return status;
    KeyRecord key;
    {
        Txn txn(*store, createLevels ? Txn::Mode::Write : Txn::Mode::Read);
        status = txn.GetKey(kRootKeyId, &key);
        for (size_t i = 0; NT_SUCCESS(status) && i < levels.size(); ++i) {
            KeyId parent = key.id;
            bool created;
            status = createLevels ? txn.CreateSubKey(parent, levels[i], u"", false, &key, &created)
                                  : txn.FindSubKey(parent, levels[i], &key);
        }
        if (NT_SUCCESS(status) && createLevels) status = txn.Commit();
    }
    if (!NT_SUCCESS(status)) return status;
    *handle = qk::nt::InsertHandle(std::make_shared<KeyObject>(key.id), MapKeyAccess(granted));
    return STATUS_SUCCESS;
}

}  // namespace qk::registry

using namespace qk::registry;

NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                     ULONG TitleIndex, PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition) {
    qk::nt::CheckIrqlAtMost(PASSIVE_LEVEL, "ZwCreateKey");
    return OpenKey(KeyHandle, DesiredAccess, ObjectAttributes, Class, CreateOptions, Disposition, true);
}

NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes) {
    qk::nt::CheckIrqlAtMost(PASSIVE_LEVEL, "ZwOpenKey");
    return OpenKey(KeyHandle, DesiredAccess, ObjectAttributes, nullptr, 0, nullptr, false);
}

NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                         ULONG Length, PULONG ResultLength) {
    qk::nt::CheckIrqlAtMost(PASSIVE_LEVEL, "ZwQueryValueKey");
    NTSTATUS status = CheckOutput(KeyValueInformation, Length, ResultLength);
    KeyId id;
    std::u16string_view name;
    Store* store;
    if (NT_SUCCESS(status)) status = KeyFromHandle(KeyHandle, KEY_QUERY_VALUE, &id);
    if (NT_SUCCESS(status)) status = ValueNameOf(ValueName, &name);
    if (NT_SUCCESS(status)) status = StoreOrFail(&store);
    if (!NT_SUCCESS(status)) return status;
    ValueRecord value;
    {
        Txn txn(*store, Txn::Mode::Read);
        KeyRecord key;
        status = txn.GetKey(id, &key);
        if (NT_SUCCESS(status)) status = txn.GetValue(id, name, &value);
    }
    if (!NT_SUCCESS(status)) return status;
    return WriteValueInformation(KeyValueInformationClass, value, KeyValueInformation, Length, ResultLength);
}

NTSTATUS ZwEnumerateValueKey(HANDLE KeyHandle, ULONG Index, KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                             PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
    qk::nt::CheckIrqlAtMost(PASSIVE_LEVEL, "ZwEnumerateValueKey");
    NTSTATUS status = CheckOutput(KeyValueInformation, Length, ResultLength);
    KeyId id;
    Store* store;
    if (NT_SUCCESS(status)) status = KeyFromHandle(KeyHandle, KEY_QUERY_VALUE, &id);
    if (NT_SUCCESS(status)) status = StoreOrFail(&store);
    if (!NT_SUCCESS(status)) return status;
    ValueRecord value;
    {
        Txn txn(*store, Txn::Mode::Read);
        KeyRecord key;
        status = txn.GetKey(id, &key);
        if (NT_SUCCESS(status)) status = txn.ValueAt(id, Index, &value);
    }
    if (!NT_SUCCESS(status)) return status;
    return WriteValueInformation(KeyValueInformationClass, value, KeyValueInformation, Length, ResultLength);
}

NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type, PVOID Data,
                       ULONG DataSize) {
    qk::nt::CheckIrqlAtMost(PASSIVE_LEVEL, "ZwSetValueKey");
    KeyId id;
    std::u16string_view name;
    Store* store;
    NTSTATUS status = KeyFromHandle(KeyHandle, KEY_SET_VALUE, &id);
    if (NT_SUCCESS(status)) status = ValueNameOf(ValueName, &name);
    if (NT_SUCCESS(status) && Data == nullptr && DataSize != 0) status = STATUS_INVALID_PARAMETER;
    if (NT_SUCCESS(status)) status = StoreOrFail(&store);
    if (!NT_SUCCESS(status)) return status;
    Txn txn(*store, Txn::Mode::Write);
    status = txn.SetValue(id, name, Type, std::span<const uint8_t>(static_cast<const uint8_t*>(Data), DataSize));
    return NT_SUCCESS(status) ? txn.Commit() : status;
}

NTSTATUS ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName) {
    qk::nt::CheckIrqlAtMost(PASSIVE_LEVEL, "ZwDeleteValueKey");
    KeyId id;
    std::u16string_view name;
    Store* store;
    NTSTATUS status = KeyFromHandle(KeyHandle, KEY_SET_VALUE, &id);
    if (NT_SUCCESS(status)) status = ValueNameOf(ValueName, &name);
    if (NT_SUCCESS(status)) status = StoreOrFail(&store);
    if (!NT_SUCCESS(status)) return status;
    Txn txn(*store, Txn::Mode::Write);
    status = txn.DeleteValue(id, name);
    return NT_SUCCESS(status) ? txn.Commit() : status;
}

NTSTATUS ZwDeleteKey(HANDLE KeyHandle) {
    qk::nt::CheckIrqlAtMost(PASSIVE_LEVEL, "ZwDeleteKey");
    KeyId id;
    Store* store;
    NTSTATUS status = KeyFromHandle(KeyHandle, DELETE, &id);
    if (NT_SUCCESS(status)) status = StoreOrFail(&store);
    if (!NT_SUCCESS(status)) return status;
    Txn txn(*store, Txn::Mode::Write);
    status = txn.DeleteKey(id);
    return NT_SUCCESS(status) ? txn.Commit() : status;
}

NTSTATUS ZwEnumerateKey(HANDLE KeyHandle, ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass,
                        PVOID KeyInformation, ULONG Length, PULONG ResultLength) {
    qk::nt::CheckIrqlAtMost(PASSIVE_LEVEL, "ZwEnumerateKey");
    NTSTATUS status = CheckOutput(KeyInformation, Length, ResultLength);
    KeyId id;
    Store* store;
    if (NT_SUCCESS(status)) status = KeyFromHandle(KeyHandle, KEY_ENUMERATE_SUB_KEYS, &id);
    if (NT_SUCCESS(status)) status = StoreOrFail(&store);
    if (!NT_SUCCESS(status)) return status;
    KeyRecord subKey;
    KeyCounts counts;
    std::u16string path;
    {
        Txn txn(*store, Txn::Mode::Read);
        KeyRecord key;
        status = txn.GetKey(id, &key);
        if (NT_SUCCESS(status)) status = txn.SubKeyAt(id, Index, &subKey);
        if (NT_SUCCESS(status) && (KeyInformationClass == KeyFullInformation ||
                                   KeyInformationClass == KeyCachedInformation)) {
            status = txn.Counts(subKey.id, &counts);
        }
        if (NT_SUCCESS(status) && KeyInformationClass == KeyNameInformation) {
            std::vector<std::u16string> levels;
            status = txn.PathOf(subKey.id, &levels);
            path = JoinKernelPath(levels);
        }
    }
    if (!NT_SUCCESS(status)) return status;
    return WriteKeyInformation(KeyInformationClass, subKey, counts, path, KeyInformation, Length, ResultLength);
}

NTSTATUS ZwQueryKey(HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation, ULONG Length,
                    PULONG ResultLength) {
    qk::nt::CheckIrqlAtMost(PASSIVE_LEVEL, "ZwQueryKey");
    NTSTATUS status = CheckOutput(KeyInformation, Length, ResultLength);
    KeyId id;
    Store* store;
    // The key's name is there for any handle; everything else needs query rights.
    ACCESS_MASK needed = KeyInformationClass == KeyNameInformation ? 0 : KEY_QUERY_VALUE;
    if (NT_SUCCESS(status)) status = KeyFromHandle(KeyHandle, needed, &id);
    if (NT_SUCCESS(status)) status = StoreOrFail(&store);
    if (!NT_SUCCESS(status)) return status;
    KeyRecord key;
    KeyCounts counts;
    std::u16string path;
    {
        Txn txn(*store, Txn::Mode::Read);
        status = txn.GetKey(id, &key);
        if (NT_SUCCESS(status)) status = txn.Counts(id, &counts);
        if (NT_SUCCESS(status)) {
            std::vector<std::u16string> levels;
            status = txn.PathOf(id, &levels);
            path = JoinKernelPath(levels);
        }
    }
    if (!NT_SUCCESS(status)) return status;
    return WriteKeyInformation(KeyInformationClass, key, counts, path, KeyInformation, Length, ResultLength);
}

NTSTATUS ZwFlushKey(HANDLE KeyHandle) {
    qk::nt::CheckIrqlAtMost(PASSIVE_LEVEL, "ZwFlushKey");
    // Every change is on disk when its call returns; there is nothing to flush.
    KeyId id;
    Store* store;
    NTSTATUS status = KeyFromHandle(KeyHandle, 0, &id);
    if (NT_SUCCESS(status)) status = StoreOrFail(&store);
    if (!NT_SUCCESS(status)) return status;
    Txn txn(*store, Txn::Mode::Read);
    KeyRecord key;
    return txn.GetKey(id, &key);
}
