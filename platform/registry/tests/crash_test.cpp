// A process killed in the middle of writing leaves every value whole, and
// every write whose call had returned is there.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/registry/store.h"
#include "wdm.h"

namespace {

using qk::registry::KeyRecord;
using qk::registry::Store;
using Txn = qk::registry::Store::Txn;

constexpr size_t kValueBytes = 16384;  // large enough to span several pages
constexpr int kSlots = 8;

// A value whose bytes all derive from one counter, so half of one shows.
std::vector<uint8_t> Pattern(uint32_t counter) {
    std::vector<uint8_t> data(kValueBytes, static_cast<uint8_t>(counter * 31 + 7));
    std::memcpy(data.data(), &counter, 4);
    return data;
}

[[noreturn]] void WriteForever(const std::string& path, int reportFd) {
    std::string error;
    auto store = Store::Open(path, Store::Durability::Full, &error);
    if (store == nullptr) _exit(2);
    KeyRecord key;
    {
        Txn txn(*store, Txn::Mode::Write);
        KeyRecord root;
        bool created;
        if (!NT_SUCCESS(txn.GetKey(qk::registry::kRootKeyId, &root))) _exit(3);
        if (!NT_SUCCESS(txn.CreateSystemKey(root.id, u"MACHINE", qk::registry::kKeyMountPoint, &key))) _exit(3);
        if (!NT_SUCCESS(txn.CreateSystemKey(key.id, u"SOFTWARE", qk::registry::kKeyHiveRoot, &key))) _exit(3);
        if (!NT_SUCCESS(txn.CreateSubKey(key.id, u"Crash", u"", false, &key, &created))) _exit(3);
        if (!NT_SUCCESS(txn.Commit())) _exit(4);
    }
    for (uint32_t counter = 1;; ++counter) {
        Txn txn(*store, Txn::Mode::Write);
        std::u16string name = u"Slot" + std::u16string(1, static_cast<char16_t>(u'0' + counter % kSlots));
        if (!NT_SUCCESS(txn.SetValue(key.id, name, REG_BINARY, Pattern(counter)))) _exit(5);
        if (!NT_SUCCESS(txn.Commit())) _exit(6);
        // Only now is the write promised; tell the parent.
        if (write(reportFd, &counter, sizeof counter) != sizeof counter) _exit(7);
    }
}

TEST(RegistryCrashTest, AKilledWriterLeavesWholeValuesAndKeepsWhatItCommitted) {
    auto dir = std::filesystem::temp_directory_path() / ("qk-crash-" + std::to_string(getpid()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    std::string path = (dir / "registry.db").string();

    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(pipeFds[0]);
        WriteForever(path, pipeFds[1]);
    }
    close(pipeFds[1]);
    // Let it commit a few dozen values, then kill it mid-stride.
    uint32_t lastCommitted = 0, counter;
    while (lastCommitted < 40 && read(pipeFds[0], &counter, sizeof counter) == sizeof counter) lastCommitted = counter;
    kill(child, SIGKILL);
    int status;
    waitpid(child, &status, 0);
    while (read(pipeFds[0], &counter, sizeof counter) == sizeof counter) lastCommitted = counter;
    close(pipeFds[0]);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the writer stopped by itself with " << WEXITSTATUS(status);
    ASSERT_GE(lastCommitted, 40u);

    std::string error;
    auto store = Store::Open(path, Store::Durability::Full, &error);
    ASSERT_NE(store, nullptr) << error;
    Txn txn(*store, Txn::Mode::Read);
    KeyRecord key;
    ASSERT_EQ(txn.Resolve(qk::registry::kRootKeyId, {u"MACHINE", u"SOFTWARE", u"Crash"}, &key), STATUS_SUCCESS);
    std::vector<qk::registry::ValueRecord> values;
    ASSERT_EQ(txn.Values(key.id, &values), STATUS_SUCCESS);
    ASSERT_EQ(values.size(), static_cast<size_t>(kSlots));
    uint32_t newest = 0;
    for (const auto& value : values) {
        ASSERT_EQ(value.data.size(), kValueBytes);
        uint32_t stored;
        std::memcpy(&stored, value.data.data(), 4);
        EXPECT_EQ(value.data, Pattern(stored)) << "a half-written value";
        newest = std::max(newest, stored);
    }
    EXPECT_GE(newest, lastCommitted) << "a write whose commit had returned was lost";
    std::filesystem::remove_all(dir);
}

}  // namespace
