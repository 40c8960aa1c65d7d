// The user-mode registry calls as the console and the Video-for-Windows
// library make them.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/nt/testing/machine_test.h"
#include "platform/nt/wformat.h"
#include "platform/registry/registry.h"
#include "platform/registry/tests/registry_test_util.h"
#include "wdm.h"
#include "winreg.h"

namespace {

using namespace qk::registry::testing;
using qk::verifier::Violation;

constexpr char16_t kConsoleKey[] = u"Software\\Lumora Tech\\Web Cameras\\QK0340\\Console";

class UserKeysTest : public qk::testing::MachineTest {
protected:
    void TearDown() override {
        EXPECT_EQ(qk::registry::OpenUserKeyHandles(), 0u) << "a test leaked a key handle";
        MachineTest::TearDown();
    }

    HKEY Create(HKEY root, const std::u16string& path, REGSAM access = KEY_ALL_ACCESS, DWORD options = 0) {
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExW(root, path.c_str(), 0, nullptr, options, access, nullptr, &key, nullptr),
                  ERROR_SUCCESS)
            << qk::ToUtf8(path);
        return key;
    }

    // The native path of the key behind a handle, "\REGISTRY\...".
    std::u16string RealPath(HKEY key) {
        std::vector<std::u16string> levels;
        EXPECT_EQ(qk::registry::KeyPathOfHandle(key, &levels), ERROR_SUCCESS);
        std::u16string path = u"\\REGISTRY";
        for (const auto& level : levels) path += u"\\" + level;
        return path;
    }

    bool KernelKeyExists(const std::u16string& path) {
        HANDLE h;
        if (OpenKey(path, &h, KEY_READ) != STATUS_SUCCESS) return false;
        ZwClose(h);
        return true;
    }

    void Set32BitCaller(bool is32) {
        qk::registry::SetCallerBitnessResolver([is32] { return is32; });
    }
};

TEST_F(UserKeysTest, CreateMakesEveryMissingLevel) {
    HKEY key;
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Halvard Electronics\\Driver\\Settings", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    EXPECT_TRUE(KernelKeyExists(u"\\Registry\\Machine\\Software\\Halvard Electronics\\Driver\\Settings"));
    RegCloseKey(key);
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\halvard electronics\\Driver\\Settings\\", 0, nullptr, 0,
                              KEY_READ, nullptr, &key, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    EXPECT_EQ(RealPath(key), u"\\REGISTRY\\MACHINE\\SOFTWARE\\Halvard Electronics\\Driver\\Settings");
    RegCloseKey(key);

    HKEY bad;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"\\Software", 0, KEY_READ, &bad), ERROR_BAD_PATHNAME);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\\\X", 0, KEY_READ, &bad), ERROR_INVALID_NAME);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Missing", 0, KEY_READ, &bad), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Stray", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &bad, nullptr),
              ERROR_ACCESS_DENIED);  // keys directly below HKEY_LOCAL_MACHINE are hives
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software", 0, KEY_READ, nullptr), ERROR_INVALID_PARAMETER);
}

TEST_F(UserKeysTest, QueryValueFollowsTheMoreDataProtocol) {
    HKEY key = Create(HKEY_CURRENT_USER, kConsoleKey);
    std::vector<uint8_t> text = WideBytes(u"QK0340 Camera");
    ASSERT_EQ(RegSetValueExW(key, u"Camera", 0, REG_SZ, text.data(), static_cast<DWORD>(text.size())), ERROR_SUCCESS);

    DWORD type = 0, size = 0;
    ASSERT_EQ(RegQueryValueExW(key, u"Camera", nullptr, &type, nullptr, &size), ERROR_SUCCESS);  // the size only
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(size, text.size());

    std::vector<uint8_t> buffer(64, 0xCD);
    size = static_cast<DWORD>(text.size() - 1);
    EXPECT_EQ(RegQueryValueExW(key, u"Camera", nullptr, &type, buffer.data(), &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, text.size());
    EXPECT_EQ(buffer[0], 0xCD) << "nothing is copied when it does not fit";

    size = static_cast<DWORD>(buffer.size());
    ASSERT_EQ(RegQueryValueExW(key, u"camera", nullptr, &type, buffer.data(), &size), ERROR_SUCCESS);
    EXPECT_EQ(size, text.size());
    EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + size), text);
    EXPECT_EQ(buffer[size], 0xCD);

    DWORD reserved = 0;
    EXPECT_EQ(RegQueryValueExW(key, u"Camera", &reserved, &type, nullptr, &size), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegQueryValueExW(key, u"Camera", nullptr, &type, buffer.data(), nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegQueryValueExW(key, u"Missing", nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueExW(key, u"Camera", nullptr, &type, nullptr, nullptr), ERROR_SUCCESS);

    // The default value has no name (null or empty).
    DWORD one = 1;
    ASSERT_EQ(RegSetValueExW(key, nullptr, 0, REG_DWORD, reinterpret_cast<BYTE*>(&one), 4), ERROR_SUCCESS);
    DWORD read = 0;
    size = 4;
    ASSERT_EQ(RegQueryValueExW(key, u"", nullptr, &type, reinterpret_cast<BYTE*>(&read), &size), ERROR_SUCCESS);
    EXPECT_EQ(read, 1u);
    EXPECT_EQ(RegDeleteValueW(key, u"Camera"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueW(key, u"Camera"), ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);
}

TEST_F(UserKeysTest, AnsiCallsConvertStringData) {
    HKEY key = Create(HKEY_LOCAL_MACHINE, u"Software\\Lumora Tech");
    const char cafe[] = "Caf\xE9";  // Latin-1, with its terminator
    ASSERT_EQ(RegSetValueExA(key, "Name", 0, REG_SZ, reinterpret_cast<const BYTE*>(cafe), sizeof cafe), ERROR_SUCCESS);
    DWORD type, size = 0;
    std::vector<uint8_t> wide(32);
    size = static_cast<DWORD>(wide.size());
    ASSERT_EQ(RegQueryValueExW(key, u"Name", nullptr, &type, wide.data(), &size), ERROR_SUCCESS);
    EXPECT_EQ(std::vector<uint8_t>(wide.begin(), wide.begin() + size), WideBytes(u"Caf\u00E9"));

    std::vector<uint8_t> wideText = WideBytes(u"\u0416uk");
    ASSERT_EQ(RegSetValueExW(key, u"Cyrillic", 0, REG_SZ, wideText.data(), static_cast<DWORD>(wideText.size())),
              ERROR_SUCCESS);
    size = 0;
    ASSERT_EQ(RegQueryValueExA(key, "Cyrillic", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 4u);  // the ANSI size, not the UTF-16 one
    char narrow[8] = {};
    size = sizeof narrow;
    ASSERT_EQ(RegQueryValueExA(key, "Cyrillic", nullptr, &type, reinterpret_cast<BYTE*>(narrow), &size),
              ERROR_SUCCESS);
    EXPECT_STREQ(narrow, "?uk");

    DWORD number = 0x01020304;
    ASSERT_EQ(RegSetValueExA(key, "Number", 0, REG_DWORD, reinterpret_cast<BYTE*>(&number), 4), ERROR_SUCCESS);
    DWORD read = 0;
    size = 4;
    ASSERT_EQ(RegQueryValueExA(key, "NUMBER", nullptr, &type, reinterpret_cast<BYTE*>(&read), &size), ERROR_SUCCESS);
    EXPECT_EQ(read, number);

    char name[16];
    DWORD nameLength = sizeof name;
    size = sizeof narrow;
    ASSERT_EQ(RegEnumValueA(key, 0, name, &nameLength, nullptr, &type, reinterpret_cast<BYTE*>(narrow), &size),
              ERROR_SUCCESS);
    EXPECT_STREQ(name, "Name");
    EXPECT_EQ(nameLength, 4u);
    EXPECT_STREQ(narrow, "Caf\xE9");
    EXPECT_EQ(RegDeleteValueA(key, "Number"), ERROR_SUCCESS);
    RegCloseKey(key);
}

// The parental-lock check value travels from the 64-bit driver to the 32-bit
// console through the Wow6432Node copy of the product key.
TEST_F(UserKeysTest, ThirtyTwoBitCallersSeeWow6432Node) {
    HANDLE product, console;
    ASSERT_EQ(CreateKey(u"\\Registry\\Machine\\Software\\Wow6432Node\\Lumora Tech", &product), STATUS_SUCCESS);
    ZwClose(product);
    for (const char16_t* level : {u"\\Registry\\Machine\\Software\\Wow6432Node\\Lumora Tech\\Web Cameras",
                                  u"\\Registry\\Machine\\Software\\Wow6432Node\\Lumora Tech\\Web Cameras\\QK0340",
                                  u"\\Registry\\Machine\\Software\\Wow6432Node\\Lumora Tech\\Web Cameras\\QK0340\\"
                                  u"Console"}) {
        ASSERT_EQ(CreateKey(level, &console, nullptr, KEY_WRITE), STATUS_SUCCESS);
        if (std::u16string(level).ends_with(u"Console")) break;
        ZwClose(console);
    }
    ASSERT_EQ(SetDword(console, u"Reserved2", 0x5A5A), STATUS_SUCCESS);
    ZwClose(console);

    auto readReserved2 = [&](REGSAM view) {
        HKEY key;
        LONG error = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kConsoleKey, 0, KEY_QUERY_VALUE | view, &key);
        if (error != ERROR_SUCCESS) return error;
        DWORD value = 0, size = 4;
        error = RegQueryValueExW(key, u"Reserved2", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size);
        RegCloseKey(key);
        return error == ERROR_SUCCESS && value == 0x5A5A ? ERROR_SUCCESS : error;
    };
    EXPECT_EQ(readReserved2(0), ERROR_FILE_NOT_FOUND);  // a 64-bit caller by default
    EXPECT_EQ(readReserved2(KEY_WOW64_32KEY), ERROR_SUCCESS);
    Set32BitCaller(true);
    EXPECT_EQ(readReserved2(0), ERROR_SUCCESS);
    EXPECT_EQ(readReserved2(KEY_WOW64_64KEY), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(readReserved2(KEY_WOW64_32KEY | KEY_WOW64_64KEY), ERROR_INVALID_PARAMETER);

    // The other way: what a 32-bit caller creates lands below Wow6432Node.
    HKEY vfw = Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Lumora Tech\\Web Cameras\\QK0340\\VFWConfig");
    EXPECT_EQ(RealPath(vfw), u"\\REGISTRY\\MACHINE\\SOFTWARE\\Wow6432Node\\Lumora Tech\\Web Cameras\\QK0340\\VFWConfig");
    EXPECT_FALSE(KernelKeyExists(u"\\Registry\\Machine\\Software\\Lumora Tech"));
    RegCloseKey(vfw);

    // A handle keeps the view it was opened in.
    HKEY webCameras;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Lumora Tech\\Web Cameras", 0, KEY_READ, &webCameras),
              ERROR_SUCCESS);
    Set32BitCaller(false);
    HKEY below;
    ASSERT_EQ(RegOpenKeyExW(webCameras, u"QK0340", 0, KEY_READ, &below), ERROR_SUCCESS);
    EXPECT_EQ(RealPath(below), u"\\REGISTRY\\MACHINE\\SOFTWARE\\Wow6432Node\\Lumora Tech\\Web Cameras\\QK0340");
    RegCloseKey(below);
    RegCloseKey(webCameras);

    // Explicit Wow6432Node paths are not redirected twice.
    Set32BitCaller(true);
    HKEY explicitKey;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Wow6432Node\\Lumora Tech", 0, KEY_READ, &explicitKey),
              ERROR_SUCCESS);
    EXPECT_EQ(RealPath(explicitKey), u"\\REGISTRY\\MACHINE\\SOFTWARE\\Wow6432Node\\Lumora Tech");
    RegCloseKey(explicitKey);
}

TEST_F(UserKeysTest, ClassesAndUserKeysInTheThirtyTwoBitView) {
    Set32BitCaller(true);
    struct Case {
        HKEY root;
        const char16_t* path;
        const char16_t* real;
    } cases[] = {
        {HKEY_CLASSES_ROOT, u"CLSID\\{12345678-0000-0000-0000-000000000001}",
         u"\\REGISTRY\\MACHINE\\SOFTWARE\\Classes\\Wow6432Node\\CLSID\\{12345678-0000-0000-0000-000000000001}"},
        {HKEY_LOCAL_MACHINE, u"Software\\Classes\\DirectShow\\MediaObjects",
         u"\\REGISTRY\\MACHINE\\SOFTWARE\\Classes\\Wow6432Node\\DirectShow\\MediaObjects"},
        {HKEY_CLASSES_ROOT, u".avi", u"\\REGISTRY\\MACHINE\\SOFTWARE\\Classes\\.avi"},
        {HKEY_CURRENT_USER, kConsoleKey,
         u"\\REGISTRY\\USER\\S-1-5-21-1004336348-1177238915-682003330-1001\\Software\\Lumora Tech\\Web Cameras\\"
         u"QK0340\\Console"},
        {HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet", u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(qk::ToUtf8(c.path));
        HKEY key = Create(c.root, c.path);
        EXPECT_EQ(RealPath(key), c.real);
        RegCloseKey(key);
    }
}

TEST_F(UserKeysTest, PredefinedKeys) {
    EXPECT_EQ(RealPath(HKEY_LOCAL_MACHINE), u"\\REGISTRY\\MACHINE");
    EXPECT_EQ(RealPath(HKEY_USERS), u"\\REGISTRY\\USER");
    EXPECT_EQ(RealPath(HKEY_CURRENT_USER), u"\\REGISTRY\\USER\\S-1-5-21-1004336348-1177238915-682003330-1001");
    EXPECT_EQ(RealPath(HKEY_CLASSES_ROOT), u"\\REGISTRY\\MACHINE\\SOFTWARE\\Classes");
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);  // harmless
    HKEY key;
    EXPECT_EQ(RegOpenKeyExW(HKEY_PERFORMANCE_DATA, u"", 0, KEY_READ, &key), ERROR_INVALID_HANDLE);

    // Every user hive below HKEY_USERS, as unregistration walks them.
    std::vector<std::u16string> users;
    char16_t name[256];
    for (DWORD i = 0;; ++i) {
        DWORD length = 256;
        LONG error = RegEnumKeyExW(HKEY_USERS, i, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (error == ERROR_NO_MORE_ITEMS) break;
        ASSERT_EQ(error, ERROR_SUCCESS);
        users.emplace_back(name, length);
    }
    EXPECT_EQ(users, (std::vector<std::u16string>{u".DEFAULT", qk::registry::kMachineUserSid}));
}

TEST_F(UserKeysTest, HandlesAreDistinctFromKernelHandles) {
    HKEY user = Create(HKEY_LOCAL_MACHINE, u"Software\\Lumora Tech");
    HANDLE kernel;
    ASSERT_EQ(OpenKey(u"\\Registry\\Machine\\Software\\Lumora Tech", &kernel), STATUS_SUCCESS);
    EXPECT_NE(reinterpret_cast<uintptr_t>(user), reinterpret_cast<uintptr_t>(kernel));
    EXPECT_EQ(RegCloseKey(reinterpret_cast<HKEY>(kernel)), ERROR_INVALID_HANDLE);
    uint8_t buffer[256];
    ULONG needed;
    EXPECT_EQ(ZwQueryKey(reinterpret_cast<HANDLE>(user), KeyNameInformation, buffer, sizeof buffer, &needed),
              STATUS_INVALID_HANDLE);
    EXPECT_EQ(TakeViolations(Violation::HandleMisuse), 1u);
    ZwClose(kernel);
    EXPECT_EQ(RegCloseKey(user), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(user), ERROR_INVALID_HANDLE);
    DWORD size;
    EXPECT_EQ(RegQueryValueExW(user, u"x", nullptr, nullptr, nullptr, &size), ERROR_INVALID_HANDLE);
}

TEST_F(UserKeysTest, AccessRightsAndAStandardUser) {
    HKEY writer = Create(HKEY_LOCAL_MACHINE, kConsoleKey);
    DWORD one = 1;
    ASSERT_EQ(RegSetValueExW(writer, u"Reserved2", 0, REG_DWORD, reinterpret_cast<BYTE*>(&one), 4), ERROR_SUCCESS);
    RegCloseKey(writer);
    HKEY reader;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kConsoleKey, 0, KEY_READ, &reader), ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExW(reader, u"Reserved2", 0, REG_DWORD, reinterpret_cast<BYTE*>(&one), 4),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueW(reader, u"Reserved2"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteTreeW(reader, nullptr), ERROR_ACCESS_DENIED);
    RegCloseKey(reader);

    // The console asks for query-and-set and falls back to query alone.
    qk::registry::SetUsersMayWriteMachineHive(false);
    HKEY key;
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kConsoleKey, 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE,
                              nullptr, &key, nullptr),
              ERROR_ACCESS_DENIED);
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kConsoleKey, 0, nullptr, 0, KEY_QUERY_VALUE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    DWORD value = 0, size = 4;
    EXPECT_EQ(RegQueryValueExW(key, u"Reserved2", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size),
              ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(RegSetValueExW(HKEY_LOCAL_MACHINE, u"x", 0, REG_DWORD, reinterpret_cast<BYTE*>(&one), 4),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteTreeW(HKEY_LOCAL_MACHINE, u"Software\\Lumora Tech"), ERROR_ACCESS_DENIED);
    // The user's own hive stays writable.
    HKEY own = Create(HKEY_CURRENT_USER, kConsoleKey, KEY_QUERY_VALUE | KEY_SET_VALUE);
    EXPECT_EQ(RegSetValueExW(own, u"AlwaysOnTop", 0, REG_DWORD, reinterpret_cast<BYTE*>(&one), 4), ERROR_SUCCESS);
    RegCloseKey(own);
}

TEST_F(UserKeysTest, DeleteKeysAndTrees) {
    HKEY product = Create(HKEY_CURRENT_USER, u"Software\\Lumora Tech\\Web Cameras\\QK0340");
    HKEY camera = Create(product, u"Console\\Camera 1\\Effects");
    DWORD one = 1;
    ASSERT_EQ(RegSetValueExW(camera, u"State", 0, REG_DWORD, reinterpret_cast<BYTE*>(&one), 4), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(product, u"Kept", 0, REG_DWORD, reinterpret_cast<BYTE*>(&one), 4), ERROR_SUCCESS);
    RegCloseKey(camera);

    EXPECT_EQ(RegDeleteKeyW(product, u"Console"), ERROR_ACCESS_DENIED);  // it has subkeys
    EXPECT_EQ(RegDeleteKeyW(product, u"Nothing"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyW(product, nullptr), ERROR_INVALID_PARAMETER);
    // Unregistration: every user hive loses the console's settings.
    char16_t user[256];
    for (DWORD i = 0;; ++i) {
        DWORD length = 256;
        if (RegEnumKeyExW(HKEY_USERS, i, user, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        std::u16string path = std::u16string(user) + u"\\" + kConsoleKey;
        LONG error = RegDeleteTreeW(HKEY_USERS, path.c_str());
        EXPECT_TRUE(error == ERROR_SUCCESS || error == ERROR_FILE_NOT_FOUND) << error;
    }
    HKEY gone;
    EXPECT_EQ(RegOpenKeyExW(product, u"Console", 0, KEY_READ, &gone), ERROR_FILE_NOT_FOUND);
    DWORD values = 99, subKeys = 99;
    ASSERT_EQ(RegQueryInfoKeyW(product, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, &values, nullptr,
                               nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(subKeys, 0u);
    EXPECT_EQ(values, 1u);

    // With no subkey the key stays and loses everything in it.
    RegCloseKey(Create(product, u"A\\B"));
    ASSERT_EQ(RegDeleteTreeW(product, nullptr), ERROR_SUCCESS);
    ASSERT_EQ(RegQueryInfoKeyW(product, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, &values, nullptr,
                               nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(subKeys + values, 0u);
    RegCloseKey(product);

    // Hives cannot go, and a failed tree delete deletes nothing.
    EXPECT_EQ(RegDeleteTreeW(HKEY_LOCAL_MACHINE, nullptr), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(KernelKeyExists(u"\\Registry\\Machine\\Software\\Classes"));
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE"), ERROR_ACCESS_DENIED);
}

TEST_F(UserKeysTest, EnumerationAndKeyInformation) {
    HKEY key = Create(HKEY_LOCAL_MACHINE, u"Software\\Lumora Tech\\Web Cameras\\QK0340");
    RegCloseKey(Create(key, u"AudioFilter"));
    RegCloseKey(Create(key, u"Console"));
    std::vector<uint8_t> info(88, 7);
    ASSERT_EQ(RegSetValueExW(key, u"VideoInfo", 0, REG_BINARY, info.data(), 88), ERROR_SUCCESS);

    char16_t name[16];
    DWORD length = 16;
    FILETIME written{};
    ASSERT_EQ(RegEnumKeyExW(key, 0, name, &length, nullptr, nullptr, nullptr, &written), ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(name, length), u"AudioFilter");
    EXPECT_NE(written.dwHighDateTime, 0u);
    length = 7;  // "Console" needs 8 with its terminator
    EXPECT_EQ(RegEnumKeyExW(key, 1, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
    length = 8;
    EXPECT_EQ(RegEnumKeyExW(key, 1, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(name, length), u"Console");
    EXPECT_EQ(RegEnumKeyExW(key, 2, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);

    char16_t valueName[16];
    DWORD nameLength = 16, type = 0, size = 10;
    uint8_t small[10];
    EXPECT_EQ(RegEnumValueW(key, 0, valueName, &nameLength, nullptr, &type, small, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 88u);
    nameLength = 9;  // "VideoInfo" without room for the terminator
    EXPECT_EQ(RegEnumValueW(key, 0, valueName, &nameLength, nullptr, &type, nullptr, &size), ERROR_MORE_DATA);

    DWORD subKeys, maxSubKey, values, maxValueName, maxValue;
    ASSERT_EQ(RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subKeys, &maxSubKey, nullptr, &values, &maxValueName,
                               &maxValue, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(subKeys, 2u);
    EXPECT_EQ(maxSubKey, 11u);  // characters of "AudioFilter"
    EXPECT_EQ(values, 1u);
    EXPECT_EQ(maxValueName, 9u);
    EXPECT_EQ(maxValue, 88u);
    RegCloseKey(key);
}

TEST_F(UserKeysTest, VolatileAndPersistentKeysAcrossARestart) {
    HKEY lasting = Create(HKEY_CURRENT_USER, kConsoleKey);
    DWORD left = 120;
    ASSERT_EQ(RegSetValueExW(lasting, u"CurrentWinPosL", 0, REG_DWORD, reinterpret_cast<BYTE*>(&left), 4),
              ERROR_SUCCESS);
    HKEY passing = Create(lasting, u"Session\\Now", KEY_ALL_ACCESS, REG_OPTION_VOLATILE);
    RegCloseKey(passing);
    RegCloseKey(lasting);
    RestartMachine();
    HKEY key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, kConsoleKey, 0, KEY_READ, &key), ERROR_SUCCESS);
    DWORD value = 0, size = 4;
    EXPECT_EQ(RegQueryValueExW(key, u"CurrentWinPosL", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(value, 120u);
    HKEY gone;
    EXPECT_EQ(RegOpenKeyExW(key, u"Session", 0, KEY_READ, &gone), ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);
}

}  // namespace
