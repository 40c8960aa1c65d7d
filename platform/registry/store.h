// The registry's persistent store: one SQLite database holding every key and
// value of a machine. Every change runs in a transaction that is committed to
// disk (write-ahead log, synchronous=FULL) before the call returns, so a crash
// never leaves half a value and another process sees each committed change.
//
// Keys are rows with a parent, the name as created, and the name folded for
// case-insensitive lookup (unique per parent). Values are rows of their key,
// kept in the order they were first written. Key ids are never reused, so a
// handle to a deleted key stays deleted even when a key of the same name is
// created again.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "wdm.h"

struct sqlite3;
struct sqlite3_stmt;

namespace qk::registry {

using KeyId = int64_t;
inline constexpr KeyId kRootKeyId = 1;  // \REGISTRY

enum KeyFlags : int {
    kKeyVolatile = 1,    // gone at the next machine start
    kKeyHiveRoot = 2,    // cannot be deleted
    kKeyMountPoint = 4,  // \REGISTRY, \REGISTRY\MACHINE, \REGISTRY\USER: subkeys are hives, made only by the layer
};

struct KeyRecord {
    KeyId id = 0;
    KeyId parent = 0;
    std::u16string name;
    std::u16string className;
    int flags = 0;
    int depth = 0;              // levels below \REGISTRY
    int64_t lastWriteTime = 0;  // 100 ns since 1601
};

// Sizes in bytes, as the information classes report them.
struct KeyCounts {
    uint32_t subKeys = 0;
    uint32_t maxSubKeyNameBytes = 0;
    uint32_t maxClassBytes = 0;
    uint32_t values = 0;
    uint32_t maxValueNameBytes = 0;
    uint32_t maxValueDataBytes = 0;
};

struct ValueRecord {
    std::u16string name;
    uint32_t type = 0;
    std::vector<uint8_t> data;
};

class Store {
public:
    enum class Durability {
        Full,     // every commit reaches the disk before it returns
        Relaxed,  // throw-away stores of tests, fuzzers and benchmarks
    };

    // Opens (creating when missing) the database at `path` (":memory:" for a
    // private in-memory store). Null with a message in `error` on failure.
    static std::unique_ptr<Store> Open(const std::string& path, Durability durability, std::string* error);
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    class Txn;

private:
    Store() = default;
    sqlite3_stmt* Statement(const char* sql);
    bool Exec(const char* sql);
    bool CheckFolding();

    sqlite3* db_ = nullptr;
    // Guards db_ and statements_: one transaction at a time in this process.
    // Taken after machine-component locks, never before (a machine creates
    // its store while it holds its component lock).
    std::mutex lock_;
    std::unordered_map<const char*, sqlite3_stmt*> statements_;
};

// A transaction; holds the store for its whole life. Read transactions see one
// consistent snapshot; write transactions take the database's write lock at
// the start (waiting for another process's writer) and commit durably. Every
// operation after a failed one fails too, and the destructor rolls back
// whatever was not committed.
class Store::Txn {
public:
    enum class Mode { Read, Write };
    Txn(Store& store, Mode mode);
    ~Txn();
    Txn(const Txn&) = delete;
    Txn& operator=(const Txn&) = delete;

    // STATUS_SUCCESS while nothing failed.
    NTSTATUS Status() const { return status_; }
    NTSTATUS Commit();

    // ---- keys
    // STATUS_KEY_DELETED when the key is gone.
    NTSTATUS GetKey(KeyId id, KeyRecord* key);
    // STATUS_OBJECT_NAME_NOT_FOUND when there is no such subkey.
    NTSTATUS FindSubKey(KeyId parent, std::u16string_view name, KeyRecord* key);
    // Walks `levels` down from `from`; every level must exist.
    NTSTATUS Resolve(KeyId from, const std::vector<std::u16string>& levels, KeyRecord* key);
    // Creates the subkey `name` of `parent` (which must exist); `created` tells
    // whether it was new. An existing key is opened as it is.
    // STATUS_CHILD_MUST_BE_VOLATILE below a volatile key; STATUS_ACCESS_DENIED
    // below a mount point.
    NTSTATUS CreateSubKey(KeyId parent, std::u16string_view name, std::u16string_view className, bool isVolatile,
                          KeyRecord* key, bool* created);
    // The layer's own creation of hives and mount points.
    NTSTATUS CreateSystemKey(KeyId parent, std::u16string_view name, int flags, KeyRecord* key);
    // Subkeys in the target's enumeration order (by folded name).
    NTSTATUS SubKeyAt(KeyId parent, uint32_t index, KeyRecord* key);  // STATUS_NO_MORE_ENTRIES past the end
    NTSTATUS SubKeys(KeyId parent, std::vector<KeyRecord>* keys);
    NTSTATUS Counts(KeyId id, KeyCounts* counts);
    // The levels of the key's path below \REGISTRY, with the names as stored.
    NTSTATUS PathOf(KeyId id, std::vector<std::u16string>* levels);
    // STATUS_CANNOT_DELETE when the key has subkeys or is a hive root.
    NTSTATUS DeleteKey(KeyId id);
    // Deletes every key below `id` (and `id` itself when `includeSelf`) with
    // their values; STATUS_CANNOT_DELETE, changing nothing, when the tree holds
    // a hive root.
    NTSTATUS DeleteTree(KeyId id, bool includeSelf);
    // Drops every volatile key (a machine start).
    NTSTATUS DropVolatileKeys();

    // ---- values
    NTSTATUS GetValue(KeyId key, std::u16string_view name, ValueRecord* value);  // STATUS_OBJECT_NAME_NOT_FOUND
    NTSTATUS ValueAt(KeyId key, uint32_t index, ValueRecord* value);             // STATUS_NO_MORE_ENTRIES
    NTSTATUS Values(KeyId key, std::vector<ValueRecord>* values);
    // Writes a value; an existing value keeps its name and its place.
    NTSTATUS SetValue(KeyId key, std::u16string_view name, uint32_t type, std::span<const uint8_t> data);
    NTSTATUS DeleteValue(KeyId key, std::u16string_view name);  // STATUS_OBJECT_NAME_NOT_FOUND

private:
    NTSTATUS Fail(NTSTATUS status);
    NTSTATUS SqlFailure(const char* what);
    NTSTATUS Touch(KeyId id);
    bool Usable() const { return status_ == STATUS_SUCCESS && open_; }

    Store& store_;
    std::unique_lock<std::mutex> guard_;
    bool open_ = false;
    bool write_ = false;
    NTSTATUS status_ = STATUS_SUCCESS;
};

}  // namespace qk::registry
