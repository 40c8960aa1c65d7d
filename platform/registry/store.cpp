#include "platform/registry/store.h"

#include <sqlite3.h>

#include <algorithm>

#include "platform/registry/names.h"

namespace qk::registry {
namespace {

constexpr int kSchemaVersion = 1;
// Another process (the command-line tool, a second machine on the same root)
// may hold the write lock for the length of one transaction.
constexpr int kBusyTimeoutMs = 10000;

constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS meta(
  name TEXT PRIMARY KEY,
  value ANY);
CREATE TABLE IF NOT EXISTS keys(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  parent INTEGER NOT NULL,
  name BLOB NOT NULL,
  fold BLOB NOT NULL,
  class BLOB NOT NULL,
  flags INTEGER NOT NULL,
  depth INTEGER NOT NULL,
  last_write INTEGER NOT NULL,
  UNIQUE(parent, fold));
CREATE TABLE IF NOT EXISTS vals(
  key INTEGER NOT NULL,
  name BLOB NOT NULL,
  fold BLOB NOT NULL,
  type INTEGER NOT NULL,
  data BLOB NOT NULL,
  UNIQUE(key, fold));
CREATE INDEX IF NOT EXISTS vals_in_order ON vals(key);
)sql";

// Names are stored as their UTF-16LE bytes.
std::string NameBytes(std::u16string_view name) {
    std::string bytes(name.size() * 2, '\0');
    for (size_t i = 0; i < name.size(); ++i) {
        bytes[2 * i] = static_cast<char>(name[i] & 0xFF);
        bytes[2 * i + 1] = static_cast<char>(name[i] >> 8);
    }
    return bytes;
}

std::u16string NameFromColumn(sqlite3_stmt* s, int column) {
    const auto* p = static_cast<const uint8_t*>(sqlite3_column_blob(s, column));
    int n = sqlite3_column_bytes(s, column) / 2;
    std::u16string name(static_cast<size_t>(n), u'\0');
    for (int i = 0; i < n; ++i) name[i] = static_cast<char16_t>(p[2 * i] | p[2 * i + 1] << 8);
    return name;
}

// A prepared statement in use: bound on construction by the caller, reset when
// it goes so the next user finds it clean.
class Use {
public:
    explicit Use(sqlite3_stmt* s) : s_(s) {}
    ~Use() {
        if (s_ != nullptr) {
            sqlite3_reset(s_);
            sqlite3_clear_bindings(s_);
        }
    }
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;

    bool Ok() const { return s_ != nullptr; }
    sqlite3_stmt* operator*() const { return s_; }
    void Int(int i, int64_t v) { sqlite3_bind_int64(s_, i, v); }
    // Empty blobs are bound as zero-length blobs, never as NULL.
    void Blob(int i, const void* p, size_t n) {
        if (n == 0) {
            sqlite3_bind_zeroblob(s_, i, 0);
        } else {
            sqlite3_bind_blob64(s_, i, p, n, SQLITE_TRANSIENT);
        }
    }
    void Blob(int i, const std::string& bytes) { Blob(i, bytes.data(), bytes.size()); }
    int Step() { return sqlite3_step(s_); }

private:
    sqlite3_stmt* s_;
};

void ReadKey(sqlite3_stmt* s, KeyRecord* key) {
    key->id = sqlite3_column_int64(s, 0);
    key->parent = sqlite3_column_int64(s, 1);
    key->name = NameFromColumn(s, 2);
    key->className = NameFromColumn(s, 3);
    key->flags = sqlite3_column_int(s, 4);
    key->depth = sqlite3_column_int(s, 5);
    key->lastWriteTime = sqlite3_column_int64(s, 6);
}

void ReadValue(sqlite3_stmt* s, ValueRecord* value) {
    value->name = NameFromColumn(s, 0);
    value->type = static_cast<uint32_t>(sqlite3_column_int64(s, 1));
    const auto* p = static_cast<const uint8_t*>(sqlite3_column_blob(s, 2));
    size_t n = static_cast<size_t>(sqlite3_column_bytes(s, 2));
    value->data.assign(p, p + n);
}

// A fingerprint of the case-folding table: stored names were folded with it,
// so a change of the table means stored folds must be recomputed.
int64_t FoldingFingerprint() {
    uint64_t h = 1469598103934665603ull;
    for (uint32_t c = 0; c < 0x10000; ++c) {
        h ^= RtlUpcaseUnicodeChar(static_cast<WCHAR>(c));
        h *= 1099511628211ull;
    }
    return static_cast<int64_t>(h);
}

}  // namespace

std::unique_ptr<Store> Store::Open(const std::string& path, Durability durability, std::string* error) {
    std::unique_ptr<Store> store(new Store());
    int rc = sqlite3_open_v2(path.c_str(), &store->db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                             nullptr);
    auto fail = [&](const std::string& what) {
        *error = what + ": " + (store->db_ ? sqlite3_errmsg(store->db_) : sqlite3_errstr(rc));
        return nullptr;
    };
    if (rc != SQLITE_OK) return fail("cannot open " + path);
    sqlite3_busy_timeout(store->db_, kBusyTimeoutMs);
    sqlite3_extended_result_codes(store->db_, 1);
    if (!store->Exec("PRAGMA journal_mode=WAL")) return fail(path + " is not a usable registry database");
    if (!store->Exec(durability == Durability::Full ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=OFF")) {
        return fail("cannot configure " + path);
    }
    if (!store->Exec("BEGIN IMMEDIATE")) return fail(path + " is not a usable registry database");
    bool ok = store->Exec(kSchema);
    if (ok) {
        sqlite3_stmt* s = nullptr;
        sqlite3_prepare_v2(store->db_, "SELECT value FROM meta WHERE name='schema'", -1, &s, nullptr);
        int step = s ? sqlite3_step(s) : SQLITE_ERROR;
        if (step == SQLITE_ROW && sqlite3_column_int(s, 0) != kSchemaVersion) {
            *error = path + " holds a registry of another format (schema " +
                     std::to_string(sqlite3_column_int(s, 0)) + ")";
            sqlite3_finalize(s);
            store->Exec("ROLLBACK");
            return nullptr;
        }
        ok = step == SQLITE_ROW || step == SQLITE_DONE;
        sqlite3_finalize(s);
    }
    if (ok) {
        std::string statement = "INSERT OR IGNORE INTO meta(name, value) VALUES('schema', " +
                                std::to_string(kSchemaVersion) + ")";
        ok = store->Exec(statement.c_str());
    }
    if (ok) {
        // The root of everything, \REGISTRY.
        sqlite3_stmt* s = nullptr;
        sqlite3_prepare_v2(store->db_,
                           "INSERT OR IGNORE INTO keys(id, parent, name, fold, class, flags, depth, last_write) "
                           "VALUES(1, 0, ?1, ?2, x'', ?3, 0, ?4)",
                           -1, &s, nullptr);
        std::string name = NameBytes(u"REGISTRY"), fold = FoldName(u"REGISTRY");
        if (s) {
            sqlite3_bind_blob(s, 1, name.data(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
            sqlite3_bind_blob(s, 2, fold.data(), static_cast<int>(fold.size()), SQLITE_TRANSIENT);
            sqlite3_bind_int(s, 3, kKeyMountPoint);
            sqlite3_bind_int64(s, 4, SystemTimeNow());
        }
        ok = s != nullptr && sqlite3_step(s) == SQLITE_DONE;
        sqlite3_finalize(s);
    }
    if (ok) ok = store->CheckFolding();
    if (!ok || !store->Exec("COMMIT")) {
        std::string message = sqlite3_errmsg(store->db_);
        store->Exec("ROLLBACK");
        *error = path + " is not a usable registry database: " + message;
        return nullptr;
    }
    return store;
}

Store::~Store() {
    for (auto& [sql, statement] : statements_) sqlite3_finalize(statement);
    if (db_ != nullptr) sqlite3_close(db_);
}

bool Store::Exec(const char* sql) { return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }

sqlite3_stmt* Store::Statement(const char* sql) {
    auto it = statements_.find(sql);
    if (it != statements_.end()) return it->second;
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &s, nullptr) != SQLITE_OK) return nullptr;
    statements_.emplace(sql, s);
    return s;
}

// Runs inside the opening transaction.
bool Store::CheckFolding() {
    int64_t fingerprint = FoldingFingerprint();
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db_, "SELECT value FROM meta WHERE name='fold'", -1, &s, nullptr);
    if (s == nullptr) return false;
    int step = sqlite3_step(s);
    bool same = step == SQLITE_ROW && sqlite3_column_int64(s, 0) == fingerprint;
    bool empty = step == SQLITE_DONE;
    sqlite3_finalize(s);
    if (step != SQLITE_ROW && step != SQLITE_DONE) return false;
    if (!same && !empty) {
        // The folding table changed since the names were stored: fold them again.
        for (const char* table : {"keys", "vals"}) {
            std::string select = std::string("SELECT rowid, name FROM ") + table;
            std::string update = std::string("UPDATE ") + table + " SET fold=?1 WHERE rowid=?2";
            sqlite3_stmt* q = nullptr;
            sqlite3_stmt* u = nullptr;
            sqlite3_prepare_v2(db_, select.c_str(), -1, &q, nullptr);
            sqlite3_prepare_v2(db_, update.c_str(), -1, &u, nullptr);
            bool ok = q != nullptr && u != nullptr;
            while (ok && sqlite3_step(q) == SQLITE_ROW) {
                std::string fold = FoldName(NameFromColumn(q, 1));
                sqlite3_bind_blob(u, 1, fold.data(), static_cast<int>(fold.size()), SQLITE_TRANSIENT);
                if (fold.empty()) sqlite3_bind_zeroblob(u, 1, 0);
                sqlite3_bind_int64(u, 2, sqlite3_column_int64(q, 0));
                ok = sqlite3_step(u) == SQLITE_DONE;
                sqlite3_reset(u);
            }
            sqlite3_finalize(q);
            sqlite3_finalize(u);
            if (!ok) return false;
        }
    }
    sqlite3_prepare_v2(db_, "INSERT OR REPLACE INTO meta(name, value) VALUES('fold', ?1)", -1, &s, nullptr);
    if (s == nullptr) return false;
    sqlite3_bind_int64(s, 1, fingerprint);
    bool ok = sqlite3_step(s) == SQLITE_DONE;
    sqlite3_finalize(s);
    return ok;
}

// ---- transactions -------------------------------------------------------------

Store::Txn::Txn(Store& store, Mode mode) : store_(store), guard_(store.lock_), write_(mode == Mode::Write) {
    if (!store_.Exec(write_ ? "BEGIN IMMEDIATE" : "BEGIN")) {
        SqlFailure(write_ ? "cannot start a change" : "cannot start a read");
        return;
    }
    open_ = true;
}

Store::Txn::~Txn() {
    if (open_) store_.Exec("ROLLBACK");
}

NTSTATUS Store::Txn::Commit() {
    if (!open_) return status_ == STATUS_SUCCESS ? STATUS_UNSUCCESSFUL : status_;
    if (status_ != STATUS_SUCCESS) {
        store_.Exec("ROLLBACK");
        open_ = false;
        return status_;
    }
    if (!store_.Exec("COMMIT")) {
        NTSTATUS status = SqlFailure("cannot commit");
        store_.Exec("ROLLBACK");
        open_ = false;
        return status;
    }
    open_ = false;
    return STATUS_SUCCESS;
}

NTSTATUS Store::Txn::Fail(NTSTATUS status) {
    if (status_ == STATUS_SUCCESS) status_ = status;
    return status;
}

NTSTATUS Store::Txn::SqlFailure(const char* what) {
    int code = sqlite3_extended_errcode(store_.db_);
    DbgPrint("REGISTRY: %s: %s (%d)\n", what, sqlite3_errmsg(store_.db_), code);
    int primary = code & 0xFF;
    return Fail(primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB ? STATUS_REGISTRY_CORRUPT
                                                                      : STATUS_REGISTRY_IO_FAILED);
}

// ---- keys -----------------------------------------------------------------------

NTSTATUS Store::Txn::GetKey(KeyId id, KeyRecord* key) {
    if (!Usable()) return status_ ? status_ : STATUS_UNSUCCESSFUL;
    Use s(store_.Statement("SELECT id, parent, name, class, flags, depth, last_write FROM keys WHERE id=?1"));
    if (!s.Ok()) return SqlFailure("cannot read a key");
    s.Int(1, id);
    int rc = s.Step();
    if (rc == SQLITE_DONE) return STATUS_KEY_DELETED;
    if (rc != SQLITE_ROW) return SqlFailure("cannot read a key");
    ReadKey(*s, key);
    return STATUS_SUCCESS;
}

NTSTATUS Store::Txn::FindSubKey(KeyId parent, std::u16string_view name, KeyRecord* key) {
    if (!Usable()) return status_ ? status_ : STATUS_UNSUCCESSFUL;
    Use s(store_.Statement(
        "SELECT id, parent, name, class, flags, depth, last_write FROM keys WHERE parent=?1 AND fold=?2"));
    if (!s.Ok()) return SqlFailure("cannot look up a key");
    s.Int(1, parent);
    s.Blob(2, FoldName(name));
    int rc = s.Step();
    if (rc == SQLITE_DONE) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (rc != SQLITE_ROW) return SqlFailure("cannot look up a key");
    ReadKey(*s, key);
    return STATUS_SUCCESS;
}

NTSTATUS Store::Txn::Resolve(KeyId from, const std::vector<std::u16string>& levels, KeyRecord* key) {
    NTSTATUS status = GetKey(from, key);
    if (!NT_SUCCESS(status)) return status;
    for (const auto& level : levels) {
        KeyId parent = key->id;
        status = FindSubKey(parent, level, key);
        if (!NT_SUCCESS(status)) return status;
    }
    return STATUS_SUCCESS;
}

NTSTATUS Store::Txn::CreateSubKey(KeyId parentId, std::u16string_view name, std::u16string_view className,
                                  bool isVolatile, KeyRecord* key, bool* created) {
    *created = false;
    KeyRecord parent;
    NTSTATUS status = GetKey(parentId, &parent);
    if (!NT_SUCCESS(status)) return status;
    status = FindSubKey(parentId, name, key);
    if (NT_SUCCESS(status) || status != STATUS_OBJECT_NAME_NOT_FOUND) return status;
    if (!IsValidKeyName(name)) return STATUS_OBJECT_NAME_INVALID;
    if (parent.flags & kKeyMountPoint) return STATUS_ACCESS_DENIED;
    if ((parent.flags & kKeyVolatile) && !isVolatile) return STATUS_CHILD_MUST_BE_VOLATILE;
    if (static_cast<size_t>(parent.depth) + 1 > kMaxDepth) return STATUS_OBJECT_NAME_INVALID;
    if (!write_) return STATUS_ACCESS_DENIED;
    Use s(store_.Statement("INSERT INTO keys(parent, name, fold, class, flags, depth, last_write) "
                           "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7)"));
    if (!s.Ok()) return SqlFailure("cannot create a key");
    int64_t now = SystemTimeNow();
    s.Int(1, parentId);
    s.Blob(2, NameBytes(name));
    s.Blob(3, FoldName(name));
    s.Blob(4, NameBytes(className));
    s.Int(5, isVolatile ? kKeyVolatile : 0);
    s.Int(6, parent.depth + 1);
    s.Int(7, now);
    if (s.Step() != SQLITE_DONE) return SqlFailure("cannot create a key");
    key->id = sqlite3_last_insert_rowid(store_.db_);
    key->parent = parentId;
    key->name = std::u16string(name);
    key->className = std::u16string(className);
    key->flags = isVolatile ? kKeyVolatile : 0;
    key->depth = parent.depth + 1;
    key->lastWriteTime = now;
    *created = true;
    return Touch(parentId);
}

NTSTATUS Store::Txn::CreateSystemKey(KeyId parentId, std::u16string_view name, int flags, KeyRecord* key) {
    NTSTATUS status = FindSubKey(parentId, name, key);
    if (status != STATUS_OBJECT_NAME_NOT_FOUND) return status;
    KeyRecord parent;
    status = GetKey(parentId, &parent);
    if (!NT_SUCCESS(status)) return status;
    Use s(store_.Statement("INSERT INTO keys(parent, name, fold, class, flags, depth, last_write) "
                           "VALUES(?1, ?2, ?3, x'', ?4, ?5, ?6)"));
    if (!s.Ok()) return SqlFailure("cannot create a hive");
    s.Int(1, parentId);
    s.Blob(2, NameBytes(name));
    s.Blob(3, FoldName(name));
    s.Int(4, flags);
    s.Int(5, parent.depth + 1);
    s.Int(6, SystemTimeNow());
    if (s.Step() != SQLITE_DONE) return SqlFailure("cannot create a hive");
    return FindSubKey(parentId, name, key);
}

NTSTATUS Store::Txn::SubKeyAt(KeyId parent, uint32_t index, KeyRecord* key) {
    if (!Usable()) return status_ ? status_ : STATUS_UNSUCCESSFUL;
    Use s(store_.Statement("SELECT id, parent, name, class, flags, depth, last_write FROM keys WHERE parent=?1 "
                           "ORDER BY fold LIMIT 1 OFFSET ?2"));
    if (!s.Ok()) return SqlFailure("cannot enumerate keys");
    s.Int(1, parent);
    s.Int(2, index);
    int rc = s.Step();
    if (rc == SQLITE_DONE) return STATUS_NO_MORE_ENTRIES;
    if (rc != SQLITE_ROW) return SqlFailure("cannot enumerate keys");
    ReadKey(*s, key);
    return STATUS_SUCCESS;
}

NTSTATUS Store::Txn::SubKeys(KeyId parent, std::vector<KeyRecord>* keys) {
    keys->clear();
    if (!Usable()) return status_ ? status_ : STATUS_UNSUCCESSFUL;
    Use s(store_.Statement(
        "SELECT id, parent, name, class, flags, depth, last_write FROM keys WHERE parent=?1 ORDER BY fold"));
    if (!s.Ok()) return SqlFailure("cannot enumerate keys");
    s.Int(1, parent);
    int rc;
    while ((rc = s.Step()) == SQLITE_ROW) ReadKey(*s, &keys->emplace_back());
    return rc == SQLITE_DONE ? STATUS_SUCCESS : SqlFailure("cannot enumerate keys");
}

NTSTATUS Store::Txn::Counts(KeyId id, KeyCounts* counts) {
    if (!Usable()) return status_ ? status_ : STATUS_UNSUCCESSFUL;
    {
        Use s(store_.Statement("SELECT count(*), coalesce(max(length(name)), 0), coalesce(max(length(class)), 0) "
                               "FROM keys WHERE parent=?1"));
        if (!s.Ok()) return SqlFailure("cannot count keys");
        s.Int(1, id);
        if (s.Step() != SQLITE_ROW) return SqlFailure("cannot count keys");
        counts->subKeys = static_cast<uint32_t>(sqlite3_column_int64(*s, 0));
        counts->maxSubKeyNameBytes = static_cast<uint32_t>(sqlite3_column_int64(*s, 1));
        counts->maxClassBytes = static_cast<uint32_t>(sqlite3_column_int64(*s, 2));
    }
    Use s(store_.Statement("SELECT count(*), coalesce(max(length(name)), 0), coalesce(max(length(data)), 0) "
                           "FROM vals WHERE key=?1"));
    if (!s.Ok()) return SqlFailure("cannot count values");
    s.Int(1, id);
    if (s.Step() != SQLITE_ROW) return SqlFailure("cannot count values");
    counts->values = static_cast<uint32_t>(sqlite3_column_int64(*s, 0));
    counts->maxValueNameBytes = static_cast<uint32_t>(sqlite3_column_int64(*s, 1));
    counts->maxValueDataBytes = static_cast<uint32_t>(sqlite3_column_int64(*s, 2));
    return STATUS_SUCCESS;
}

NTSTATUS Store::Txn::PathOf(KeyId id, std::vector<std::u16string>* levels) {
    levels->clear();
    KeyRecord key;
    NTSTATUS status = GetKey(id, &key);
    // Bounded walk: a damaged parent chain must not loop.
    for (size_t steps = 0; NT_SUCCESS(status) && key.id != kRootKeyId; ++steps) {
        if (steps > kMaxDepth) return Fail(STATUS_REGISTRY_CORRUPT);
        levels->push_back(key.name);
        status = GetKey(key.parent, &key);
    }
    if (!NT_SUCCESS(status)) return status;
    std::reverse(levels->begin(), levels->end());
    return STATUS_SUCCESS;
}

NTSTATUS Store::Txn::Touch(KeyId id) {
    Use s(store_.Statement("UPDATE keys SET last_write=?2 WHERE id=?1"));
    if (!s.Ok()) return SqlFailure("cannot update a key");
    s.Int(1, id);
    s.Int(2, SystemTimeNow());
    return s.Step() == SQLITE_DONE ? STATUS_SUCCESS : SqlFailure("cannot update a key");
}

NTSTATUS Store::Txn::DeleteKey(KeyId id) {
    KeyRecord key;
    NTSTATUS status = GetKey(id, &key);
    if (!NT_SUCCESS(status)) return status;
    if (key.flags & (kKeyHiveRoot | kKeyMountPoint)) return STATUS_CANNOT_DELETE;
    {
        Use s(store_.Statement("SELECT 1 FROM keys WHERE parent=?1 LIMIT 1"));
        if (!s.Ok()) return SqlFailure("cannot delete a key");
        s.Int(1, id);
        int rc = s.Step();
        if (rc == SQLITE_ROW) return STATUS_CANNOT_DELETE;
        if (rc != SQLITE_DONE) return SqlFailure("cannot delete a key");
    }
    if (!write_) return STATUS_ACCESS_DENIED;
    {
        Use s(store_.Statement("DELETE FROM vals WHERE key=?1"));
        if (!s.Ok()) return SqlFailure("cannot delete a key");
        s.Int(1, id);
        if (s.Step() != SQLITE_DONE) return SqlFailure("cannot delete a key");
    }
    {
        Use s(store_.Statement("DELETE FROM keys WHERE id=?1"));
        if (!s.Ok()) return SqlFailure("cannot delete a key");
        s.Int(1, id);
        if (s.Step() != SQLITE_DONE) return SqlFailure("cannot delete a key");
    }
    return Touch(key.parent);
}

NTSTATUS Store::Txn::DeleteTree(KeyId id, bool includeSelf) {
    KeyRecord key;
    NTSTATUS status = GetKey(id, &key);
    if (!NT_SUCCESS(status)) return status;
    if (!write_) return STATUS_ACCESS_DENIED;
    // The tree below the key: the recursion follows the stored parent links
    // only downwards, so it ends at the leaves.
#define QK_TREE "WITH RECURSIVE tree(id) AS (SELECT id FROM keys WHERE parent=?1 UNION ALL " \
                "SELECT keys.id FROM keys JOIN tree ON keys.parent=tree.id) "
    {
        Use s(store_.Statement(QK_TREE "SELECT count(*) FROM keys WHERE id IN tree AND (flags & 6) != 0"));
        if (!s.Ok()) return SqlFailure("cannot delete a tree");
        s.Int(1, id);
        if (s.Step() != SQLITE_ROW) return SqlFailure("cannot delete a tree");
        if (sqlite3_column_int64(*s, 0) != 0) return STATUS_CANNOT_DELETE;
    }
    if (includeSelf && (key.flags & (kKeyHiveRoot | kKeyMountPoint))) return STATUS_CANNOT_DELETE;
    for (const char* sql : {QK_TREE "DELETE FROM vals WHERE key IN tree", QK_TREE "DELETE FROM keys WHERE id IN tree"}) {
        Use s(store_.Statement(sql));
        if (!s.Ok()) return SqlFailure("cannot delete a tree");
        s.Int(1, id);
        if (s.Step() != SQLITE_DONE) return SqlFailure("cannot delete a tree");
    }
#undef QK_TREE
    if (includeSelf) {
        for (const char* sql : {"DELETE FROM vals WHERE key=?1", "DELETE FROM keys WHERE id=?1"}) {
            Use s(store_.Statement(sql));
            if (!s.Ok()) return SqlFailure("cannot delete a key");
            s.Int(1, id);
            if (s.Step() != SQLITE_DONE) return SqlFailure("cannot delete a key");
        }
        return Touch(key.parent);
    }
    // Clearing a key leaves it without values too (RegDeleteTree with no subkey).
    Use s(store_.Statement("DELETE FROM vals WHERE key=?1"));
    if (!s.Ok()) return SqlFailure("cannot clear a key");
    s.Int(1, id);
    if (s.Step() != SQLITE_DONE) return SqlFailure("cannot clear a key");
    return Touch(id);
}

NTSTATUS Store::Txn::DropVolatileKeys() {
    if (!Usable()) return status_ ? status_ : STATUS_UNSUCCESSFUL;
    for (const char* sql : {"DELETE FROM vals WHERE key IN (SELECT id FROM keys WHERE (flags & 1) != 0)",
                            "DELETE FROM keys WHERE (flags & 1) != 0"}) {
        Use s(store_.Statement(sql));
        if (!s.Ok() || s.Step() != SQLITE_DONE) return SqlFailure("cannot drop volatile keys");
    }
    return STATUS_SUCCESS;
}

// ---- values ------------------------------------------------------------------------

NTSTATUS Store::Txn::GetValue(KeyId key, std::u16string_view name, ValueRecord* value) {
    if (!Usable()) return status_ ? status_ : STATUS_UNSUCCESSFUL;
    Use s(store_.Statement("SELECT name, type, data FROM vals WHERE key=?1 AND fold=?2"));
    if (!s.Ok()) return SqlFailure("cannot read a value");
    s.Int(1, key);
    s.Blob(2, FoldName(name));
    int rc = s.Step();
    if (rc == SQLITE_DONE) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (rc != SQLITE_ROW) return SqlFailure("cannot read a value");
    ReadValue(*s, value);
    return STATUS_SUCCESS;
}

NTSTATUS Store::Txn::ValueAt(KeyId key, uint32_t index, ValueRecord* value) {
    if (!Usable()) return status_ ? status_ : STATUS_UNSUCCESSFUL;
    Use s(store_.Statement("SELECT name, type, data FROM vals WHERE key=?1 ORDER BY rowid LIMIT 1 OFFSET ?2"));
    if (!s.Ok()) return SqlFailure("cannot enumerate values");
    s.Int(1, key);
    s.Int(2, index);
    int rc = s.Step();
    if (rc == SQLITE_DONE) return STATUS_NO_MORE_ENTRIES;
    if (rc != SQLITE_ROW) return SqlFailure("cannot enumerate values");
    ReadValue(*s, value);
    return STATUS_SUCCESS;
}

NTSTATUS Store::Txn::Values(KeyId key, std::vector<ValueRecord>* values) {
    values->clear();
    if (!Usable()) return status_ ? status_ : STATUS_UNSUCCESSFUL;
    Use s(store_.Statement("SELECT name, type, data FROM vals WHERE key=?1 ORDER BY rowid"));
    if (!s.Ok()) return SqlFailure("cannot enumerate values");
    s.Int(1, key);
    int rc;
    while ((rc = s.Step()) == SQLITE_ROW) ReadValue(*s, &values->emplace_back());
    return rc == SQLITE_DONE ? STATUS_SUCCESS : SqlFailure("cannot enumerate values");
}

NTSTATUS Store::Txn::SetValue(KeyId key, std::u16string_view name, uint32_t type, std::span<const uint8_t> data) {
    KeyRecord record;
    NTSTATUS status = GetKey(key, &record);
    if (!NT_SUCCESS(status)) return status;
    if (!IsValidValueName(name)) return STATUS_INVALID_PARAMETER;
    if (data.size() > kMaxValueDataBytes) return STATUS_INSUFFICIENT_RESOURCES;
    if (record.flags & kKeyMountPoint) return STATUS_ACCESS_DENIED;
    if (!write_) return STATUS_ACCESS_DENIED;
    Use s(store_.Statement("INSERT INTO vals(key, name, fold, type, data) VALUES(?1, ?2, ?3, ?4, ?5) "
                           "ON CONFLICT(key, fold) DO UPDATE SET type=excluded.type, data=excluded.data"));
    if (!s.Ok()) return SqlFailure("cannot write a value");
    s.Int(1, key);
    s.Blob(2, NameBytes(name));
    s.Blob(3, FoldName(name));
    s.Int(4, type);
    s.Blob(5, data.data(), data.size());
    if (s.Step() != SQLITE_DONE) return SqlFailure("cannot write a value");
    return Touch(key);
}

NTSTATUS Store::Txn::DeleteValue(KeyId key, std::u16string_view name) {
    KeyRecord record;
    NTSTATUS status = GetKey(key, &record);
    if (!NT_SUCCESS(status)) return status;
    if (!write_) return STATUS_ACCESS_DENIED;
    Use s(store_.Statement("DELETE FROM vals WHERE key=?1 AND fold=?2"));
    if (!s.Ok()) return SqlFailure("cannot delete a value");
    s.Int(1, key);
    s.Blob(2, FoldName(name));
    if (s.Step() != SQLITE_DONE) return SqlFailure("cannot delete a value");
    if (sqlite3_changes(store_.db_) == 0) return STATUS_OBJECT_NAME_NOT_FOUND;
    return Touch(key);
}

}  // namespace qk::registry
