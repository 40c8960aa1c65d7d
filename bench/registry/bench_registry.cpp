// The registry's cost over the database it keeps its keys in: each call is
// measured beside the bare SQLite statement that does the same work (the
// anchor), in the same run, so the ratio is the layer's own overhead.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>

#include "platform/nt/kernel.h"
#include "platform/nt/machine.h"
#include "platform/registry/tests/registry_test_util.h"
#include "wdm.h"

namespace {

using namespace qk::registry::testing;

std::filesystem::path TempRoot(const char* name) {
    auto root = std::filesystem::temp_directory_path() / (std::string("qk-bench-") + name + "-" + std::to_string(getpid()));
    std::filesystem::remove_all(root);
    return root;
}

// A machine with a driver's settings key open.
struct Rig {
    explicit Rig(const char* name) : root(TempRoot(name)), machine(std::make_unique<qk::Machine>(root)) {
        qk::nt::Boot(*machine);
        CreateKey(u"\\Registry\\Machine\\Software\\Lumora Tech", &key);
        SetDword(key, u"Brightness", 128);
    }
    ~Rig() {
        ZwClose(key);
        machine.reset();
        std::filesystem::remove_all(root);
    }
    std::filesystem::path root;
    std::unique_ptr<qk::Machine> machine;
    HANDLE key = nullptr;
};

// The same rows in a bare database: one table of (key, name, data).
struct Anchor {
    explicit Anchor(const char* name, bool durable) : root(TempRoot(name)) {
        std::filesystem::create_directories(root);
        sqlite3_open((root / "anchor.db").c_str(), &db);
        sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
        sqlite3_exec(db, durable ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=OFF", nullptr, nullptr, nullptr);
        sqlite3_exec(db, "CREATE TABLE v(key INTEGER, name BLOB, data BLOB, UNIQUE(key, name))", nullptr, nullptr,
                     nullptr);
        sqlite3_exec(db, "INSERT INTO v VALUES(7, x'42007200', x'80000000')", nullptr, nullptr, nullptr);
        sqlite3_prepare_v2(db, "SELECT data FROM v WHERE key=7 AND name=x'42007200'", -1, &select, nullptr);
        sqlite3_prepare_v2(db, "INSERT INTO v VALUES(7, ?1, ?2) ON CONFLICT(key, name) DO UPDATE SET data=excluded.data",
                           -1, &upsert, nullptr);
    }
    ~Anchor() {
        sqlite3_finalize(select);
        sqlite3_finalize(upsert);
        sqlite3_close(db);
        std::filesystem::remove_all(root);
    }
    std::filesystem::path root;
    sqlite3* db = nullptr;
    sqlite3_stmt* select = nullptr;
    sqlite3_stmt* upsert = nullptr;
};

void QueryValue(benchmark::State& state) {
    Rig rig("query");
    UNICODE_STRING name = Counted(u"Brightness");
    uint8_t buffer[20];  // the audio filter's partial-information buffer
    ULONG needed;
    for (auto _ : state) {
        NTSTATUS status = ZwQueryValueKey(rig.key, &name, KeyValuePartialInformation, buffer, sizeof buffer, &needed);
        benchmark::DoNotOptimize(status);
    }
}

void QueryValueAnchor(benchmark::State& state) {
    Anchor anchor("query-anchor", true);
    for (auto _ : state) {
        sqlite3_exec(anchor.db, "BEGIN", nullptr, nullptr, nullptr);
        sqlite3_step(anchor.select);
        benchmark::DoNotOptimize(sqlite3_column_blob(anchor.select, 0));
        sqlite3_reset(anchor.select);
        sqlite3_exec(anchor.db, "COMMIT", nullptr, nullptr, nullptr);
    }
}

void OpenKeyFiveLevels(benchmark::State& state) {
    Rig rig("open");
    HANDLE h;
    CreateKey(u"\\Registry\\Machine\\Software\\Lumora Tech\\Web Cameras", &h);
    ZwClose(h);
    for (auto _ : state) {
        OpenKey(u"\\Registry\\Machine\\Software\\Lumora Tech\\Web Cameras", &h, KEY_READ);
        ZwClose(h);
    }
}

void SetValueDurable(benchmark::State& state) {
    Rig rig("set");
    ULONG n = 0;
    for (auto _ : state) benchmark::DoNotOptimize(SetDword(rig.key, u"Brightness", n++));
}

void SetValueDurableAnchor(benchmark::State& state) {
    Anchor anchor("set-anchor", true);
    uint32_t n = 0;
    for (auto _ : state) {
        ++n;  // a changed value: an unchanged one is not written at all
        sqlite3_exec(anchor.db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
        sqlite3_bind_blob(anchor.upsert, 1, "B\0r\0", 4, SQLITE_STATIC);
        sqlite3_bind_blob(anchor.upsert, 2, &n, 4, SQLITE_STATIC);
        sqlite3_step(anchor.upsert);
        sqlite3_reset(anchor.upsert);
        sqlite3_exec(anchor.db, "COMMIT", nullptr, nullptr, nullptr);
    }
}

BENCHMARK(QueryValue);
BENCHMARK(QueryValueAnchor);
BENCHMARK(OpenKeyFiveLevels);
BENCHMARK(SetValueDurable)->Iterations(200);
BENCHMARK(SetValueDurableAnchor)->Iterations(200);

}  // namespace

BENCHMARK_MAIN();
