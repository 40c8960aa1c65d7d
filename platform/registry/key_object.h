// The kernel object behind a registry key handle, and the rules for the
// access a handle grants.
#pragma once

#include "platform/nt/object.h"
#include "platform/registry/store.h"

namespace qk::registry {

class KeyObject : public qk::nt::KernelObject {
public:
    explicit KeyObject(KeyId id) : id_(id) {}
    const char* TypeName() const override { return "Key"; }
    KeyId id() const { return id_; }

private:
    const KeyId id_;  // the key for the life of the handle, even once deleted
};

// The specific rights a requested access grants: generic rights mapped to the
// key rights, MAXIMUM_ALLOWED to all of them, the view flags dropped. No key
// carries a security descriptor here, so whatever is asked is granted.
inline ACCESS_MASK MapKeyAccess(ACCESS_MASK desired) {
    ACCESS_MASK mapped = desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED |
                                     KEY_WOW64_RES);
    if (desired & GENERIC_READ) mapped |= KEY_READ;
    if (desired & GENERIC_WRITE) mapped |= KEY_WRITE;
    if (desired & GENERIC_EXECUTE) mapped |= KEY_EXECUTE;
    if (desired & (GENERIC_ALL | MAXIMUM_ALLOWED)) mapped |= KEY_ALL_ACCESS;
    return mapped;
}

// Rights that change a key or what is below it.
inline constexpr ACCESS_MASK kKeyWriteRights =
    KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE | WRITE_DAC | WRITE_OWNER;

}  // namespace qk::registry
