// Writers on several threads, and a second connection to the same database as
// another process would hold, lose nothing.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/nt/testing/machine_test.h"
#include "platform/registry/store.h"
#include "platform/registry/tests/registry_test_util.h"
#include "wdm.h"
#include "winreg.h"

namespace {

using namespace qk::registry::testing;

constexpr int kThreads = 4;
constexpr int kWritesPerThread = 25;

class RegistryConcurrencyTest : public qk::testing::MachineTest {};

std::u16string ValueName(int thread, int i) {
    return u"T" + std::u16string(1, static_cast<char16_t>(u'A' + thread)) + u"_" +
           std::u16string(1, static_cast<char16_t>(u'a' + i / 26)) + std::u16string(1, static_cast<char16_t>(u'a' + i % 26));
}

TEST_F(RegistryConcurrencyTest, ConcurrentWritersLoseNothing) {
    HANDLE shared;
    ASSERT_EQ(CreateKey(u"\\Registry\\Machine\\Software\\Lumora Tech", &shared), STATUS_SUCCESS);
    std::atomic<int> createdByThisCall{0};
    std::atomic<int> failures{0};
    std::atomic<bool> writing{true};

    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            // Every thread races to create the same subkey: one makes it.
            HANDLE race;
            ULONG disposition = 0;
            if (CreateKey(u"Race", &race, &disposition, KEY_ALL_ACCESS, 0, shared) != STATUS_SUCCESS) ++failures;
            if (disposition == REG_CREATED_NEW_KEY) ++createdByThisCall;
            ZwClose(race);
            HKEY user;
            if (RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\Lumora Tech", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                &user, nullptr) != ERROR_SUCCESS) {
                ++failures;
                return;
            }
            for (int i = 0; i < kWritesPerThread; ++i) {
                ULONG value = static_cast<ULONG>(t * 1000 + i);
                std::u16string name = ValueName(t, i);
                if (SetDword(shared, name, value) != STATUS_SUCCESS) ++failures;
                if (RegSetValueExW(user, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4) !=
                    ERROR_SUCCESS) {
                    ++failures;
                }
            }
            RegCloseKey(user);
        });
    }
    // A reader enumerates all the while.
    std::thread reader([&] {
        uint8_t buffer[128];
        ULONG needed;
        while (writing) {
            for (ULONG i = 0; ZwEnumerateValueKey(shared, i, KeyValueBasicInformation, buffer, sizeof buffer,
                                                  &needed) == STATUS_SUCCESS;
                 ++i) {
            }
        }
    });
    for (auto& thread : threads) thread.join();
    writing = false;
    reader.join();

    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(createdByThisCall.load(), 1);
    HKEY user;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Lumora Tech", 0, KEY_READ, &user), ERROR_SUCCESS);
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kWritesPerThread; ++i) {
            std::u16string name = ValueName(t, i);
            ULONG type;
            std::vector<uint8_t> data;
            ASSERT_EQ(GetValue(shared, name, &type, &data), STATUS_SUCCESS);
            ULONG expected = static_cast<ULONG>(t * 1000 + i);
            ASSERT_EQ(data.size(), 4u);
            EXPECT_EQ(std::memcmp(data.data(), &expected, 4), 0);
            DWORD read = 0, size = 4;
            ASSERT_EQ(RegQueryValueExW(user, name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(&read), &size),
                      ERROR_SUCCESS);
            EXPECT_EQ(read, expected);
        }
    }
    RegCloseKey(user);
    ZwClose(shared);
}

// Another process (the command-line tool) writes while the machine does.
TEST_F(RegistryConcurrencyTest, ASecondConnectionWritesAlongside) {
    HANDLE key;
    ASSERT_EQ(CreateKey(u"\\Registry\\Machine\\Software\\Lumora Tech", &key), STATUS_SUCCESS);
    std::string error;
    auto other = qk::registry::Store::Open((Root() / "registry.db").string(), qk::registry::Store::Durability::Full,
                                           &error);
    ASSERT_NE(other, nullptr) << error;
    std::atomic<int> failures{0};
    std::thread outside([&] {
        for (int i = 0; i < kWritesPerThread; ++i) {
            qk::registry::Store::Txn txn(*other, qk::registry::Store::Txn::Mode::Write);
            qk::registry::KeyRecord record;
            NTSTATUS status = txn.Resolve(qk::registry::kRootKeyId, {u"MACHINE", u"SOFTWARE", u"Lumora Tech"}, &record);
            uint32_t value = 5000 + static_cast<uint32_t>(i);
            if (NT_SUCCESS(status)) {
                status = txn.SetValue(record.id, ValueName(9, i),
                                      REG_DWORD, {reinterpret_cast<const uint8_t*>(&value), 4});
            }
            if (NT_SUCCESS(status)) status = txn.Commit();
            if (!NT_SUCCESS(status)) ++failures;
        }
    });
    for (int i = 0; i < kWritesPerThread; ++i) {
        if (SetDword(key, ValueName(0, i), static_cast<ULONG>(i)) != STATUS_SUCCESS) ++failures;
    }
    outside.join();
    EXPECT_EQ(failures.load(), 0);
    for (int i = 0; i < kWritesPerThread; ++i) {
        ULONG type;
        std::vector<uint8_t> data;
        EXPECT_EQ(GetValue(key, ValueName(9, i), &type, &data), STATUS_SUCCESS);
        EXPECT_EQ(GetValue(key, ValueName(0, i), &type, &data), STATUS_SUCCESS);
    }
    ZwClose(key);
}

}  // namespace
