// The kernel's registry calls as drivers make them.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "platform/nt/testing/machine_test.h"
#include "platform/nt/thread_context.h"
#include "platform/nt/wformat.h"
#include "platform/registry/registry.h"
#include "platform/registry/tests/registry_test_util.h"
#include "wdm.h"

namespace {

using namespace qk::registry::testing;
using qk::verifier::Violation;

constexpr char16_t kProduct[] = u"\\Registry\\Machine\\Software\\Lumora Tech";
constexpr uint8_t kSentinel = 0xCD;

class KernelKeysTest : public qk::testing::MachineTest {
protected:
    HANDLE Create(const std::u16string& path, ULONG options = REG_OPTION_NON_VOLATILE) {
        HANDLE h = nullptr;
        EXPECT_EQ(CreateKey(path, &h, nullptr, KEY_ALL_ACCESS, options), STATUS_SUCCESS) << qk::ToUtf8(path);
        return h;
    }

    std::u16string NameOf(HANDLE key) {
        std::vector<uint8_t> buffer(1024);
        ULONG needed;
        EXPECT_EQ(ZwQueryKey(key, KeyNameInformation, buffer.data(), 1024, &needed), STATUS_SUCCESS);
        ULONG length;
        std::memcpy(&length, buffer.data(), 4);
        std::u16string name(length / 2, u'\0');
        std::memcpy(name.data(), buffer.data() + 4, length);
        return name;
    }
};

TEST_F(KernelKeysTest, CreateReportsDispositionAndKeepsTheCaseItWasCreatedWith) {
    ULONG disposition = 0;
    HANDLE a, b;
    ASSERT_EQ(CreateKey(kProduct, &a, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    ASSERT_EQ(CreateKey(u"\\REGISTRY\\MACHINE\\SOFTWARE\\LUMORA TECH", &b, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
    EXPECT_EQ(NameOf(b), u"\\REGISTRY\\MACHINE\\SOFTWARE\\Lumora Tech");
    EXPECT_NE(a, b);  // two handles to one key
    ASSERT_EQ(SetDword(a, u"Brightness", 7), STATUS_SUCCESS);
    ULONG type;
    std::vector<uint8_t> data;
    ASSERT_EQ(GetValue(b, u"BRIGHTNESS", &type, &data), STATUS_SUCCESS);
    EXPECT_EQ(data, Bytes({7, 0, 0, 0}));
    // Non-ASCII letters fold too.
    HANDLE umlaut;
    ASSERT_EQ(CreateKey(u"\\Registry\\Machine\\Software\\\u00C4rger", &umlaut), STATUS_SUCCESS);
    ASSERT_EQ(OpenKey(u"\\Registry\\Machine\\Software\\\u00E4RGER", &umlaut), STATUS_SUCCESS);
    EXPECT_EQ(NameOf(umlaut), u"\\REGISTRY\\MACHINE\\SOFTWARE\\\u00C4rger");
    for (HANDLE h : {a, b, umlaut}) ZwClose(h);
}

TEST_F(KernelKeysTest, CreateMakesOnlyTheLastLevel) {
    HANDLE h;
    EXPECT_EQ(CreateKey(u"\\Registry\\Machine\\Software\\Halvard Electronics\\Driver\\Settings", &h),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(OpenKey(u"\\Registry\\Machine\\Software\\Halvard Electronics", &h), STATUS_OBJECT_NAME_NOT_FOUND);
    // Level by level, as the audio filter falls back to doing.
    for (const char16_t* level : {u"\\Registry\\Machine\\Software\\Halvard Electronics",
                                  u"\\Registry\\Machine\\Software\\Halvard Electronics\\Driver",
                                  u"\\Registry\\Machine\\Software\\Halvard Electronics\\Driver\\Settings"}) {
        ASSERT_EQ(CreateKey(level, &h), STATUS_SUCCESS);
        ZwClose(h);
    }
}

TEST_F(KernelKeysTest, RelativeOpensNeedNoRightsOnTheRootHandle) {
    // The capture driver opens its device key with standard rights only and
    // creates "Settings\VPE" below it one level at a time.
    HANDLE device = Create(kProduct);
    HANDLE standardOnly;
    ASSERT_EQ(OpenKey(kProduct, &standardOnly, STANDARD_RIGHTS_ALL), STATUS_SUCCESS);
    HANDLE settings, vpe, again;
    ASSERT_EQ(CreateKey(u"Settings", &settings, nullptr, KEY_ALL_ACCESS, 0, standardOnly), STATUS_SUCCESS);
    ASSERT_EQ(CreateKey(u"VPE", &vpe, nullptr, KEY_ALL_ACCESS, 0, settings), STATUS_SUCCESS);
    ASSERT_EQ(SetDword(vpe, u"Zoom", 50), STATUS_SUCCESS);
    ASSERT_EQ(OpenKey(u"settings\\vpe", &again, KEY_READ, device), STATUS_SUCCESS);
    EXPECT_EQ(NameOf(again), u"\\REGISTRY\\MACHINE\\SOFTWARE\\Lumora Tech\\Settings\\VPE");
    // An empty name opens the root key itself again.
    HANDLE self;
    ASSERT_EQ(OpenKey(u"", &self, KEY_READ, vpe), STATUS_SUCCESS);
    EXPECT_EQ(NameOf(self), NameOf(vpe));
    for (HANDLE h : {device, standardOnly, settings, vpe, again, self}) ZwClose(h);
}

TEST_F(KernelKeysTest, MalformedNamesAreRefused) {
    HANDLE root = Create(kProduct);
    struct Case {
        const char* what;
        std::u16string path;
        bool relative;
        NTSTATUS expected;
    } cases[] = {
        {"empty absolute", u"", false, STATUS_OBJECT_NAME_INVALID},
        {"no leading backslash", u"Registry\\Machine", false, STATUS_OBJECT_PATH_SYNTAX_BAD},
        {"outside the registry", u"\\Device\\Camera", false, STATUS_OBJECT_PATH_NOT_FOUND},
        {"prefix only", u"\\RegistryMachine", false, STATUS_OBJECT_PATH_NOT_FOUND},
        {"empty level", u"\\Registry\\Machine\\\\Software", false, STATUS_OBJECT_NAME_INVALID},
        {"trailing backslash", u"\\Registry\\Machine\\Software\\", false, STATUS_OBJECT_NAME_INVALID},
        {"level too long", u"\\Registry\\Machine\\Software\\" + std::u16string(256, u'x'), false,
         STATUS_OBJECT_NAME_INVALID},
        {"control character", u"\\Registry\\Machine\\Software\\a\tb", false, STATUS_OBJECT_NAME_INVALID},
        {"unpaired surrogate", u"\\Registry\\Machine\\Software\\a\xD800", false, STATUS_OBJECT_NAME_INVALID},
        {"relative with backslash", u"\\Settings", true, STATUS_OBJECT_PATH_SYNTAX_BAD},
        {"a hive below MACHINE", u"\\Registry\\Machine\\NEWHIVE", false, STATUS_ACCESS_DENIED},
        {"a key below REGISTRY", u"\\Registry\\Elsewhere", false, STATUS_ACCESS_DENIED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        HANDLE h = nullptr;
        EXPECT_EQ(CreateKey(c.path, &h, nullptr, KEY_ALL_ACCESS, 0, c.relative ? root : nullptr), c.expected);
    }
    // A level of exactly 255 characters is fine.
    HANDLE longest;
    EXPECT_EQ(CreateKey(std::u16string(255, u'y'), &longest, nullptr, KEY_ALL_ACCESS, 0, root), STATUS_SUCCESS);
    ZwClose(longest);

    UNICODE_STRING odd{3, 4, const_cast<PWSTR>(u"ab")};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &odd, OBJ_CASE_INSENSITIVE, root, nullptr);
    HANDLE h;
    EXPECT_EQ(ZwOpenKey(&h, KEY_READ, &attributes), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(ZwOpenKey(&h, KEY_READ, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ZwCreateKey(&h, KEY_READ, &attributes, 0, nullptr, 0x80000000u, nullptr), STATUS_INVALID_PARAMETER);
    ZwClose(root);
}

TEST_F(KernelKeysTest, EveryTypeRoundTripsExactly) {
    HANDLE key = Create(kProduct);
    std::vector<uint8_t> big(65536);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7);
    struct Case {
        const char* what;
        std::u16string name;
        ULONG type;
        std::vector<uint8_t> data;
    } cases[] = {
        {"none, empty", u"None", REG_NONE, {}},
        {"string", u"Description", REG_SZ, WideBytes(u"QK0340 Camera")},
        {"string without terminator", u"Raw", REG_SZ, WideBytes(u"abc", 0)},
        {"expandable", u"ImagePath", REG_EXPAND_SZ, WideBytes(u"%SystemRoot%\\System32")},
        {"binary", u"VideoInfo", REG_BINARY, Bytes({0, 1, 2, 0xFF, 0x80})},
        {"dword", u"Brightness", REG_DWORD, Bytes({0x78, 0x56, 0x34, 0x12})},
        {"dword of three bytes", u"Short", REG_DWORD, Bytes({1, 2, 3})},
        {"big-endian dword", u"BigEndian", REG_DWORD_BIG_ENDIAN, Bytes({0x12, 0x34, 0x56, 0x78})},
        {"multi-string", u"UpperFilters", REG_MULTI_SZ, WideBytes(std::u16string(u"K0340Aud\0Other", 14), 2)},
        {"qword", u"Counter", REG_QWORD, Bytes({1, 2, 3, 4, 5, 6, 7, 8})},
        {"unknown type", u"Custom", 0x12345, Bytes({9})},
        {"default value", u"", REG_SZ, WideBytes(u"default")},
        {"64 KiB", u"Big", REG_BINARY, big},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(SetValue(key, c.name, c.type, c.data.data(), static_cast<ULONG>(c.data.size())), STATUS_SUCCESS);
    }
    RestartMachine();  // what was read back must be what reached the disk
    ASSERT_EQ(OpenKey(kProduct, &key, KEY_READ), STATUS_SUCCESS);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ULONG type = 0;
        std::vector<uint8_t> data;
        ASSERT_EQ(GetValue(key, c.name, &type, &data), STATUS_SUCCESS);
        EXPECT_EQ(type, c.type);
        EXPECT_EQ(data, c.data);
    }
    ZwClose(key);
}

TEST_F(KernelKeysTest, ValueNamesAreCaseInsensitiveAndKeepTheirFirstSpelling) {
    HANDLE key = Create(kProduct);
    ASSERT_EQ(SetDword(key, u"FocusFlag", 1), STATUS_SUCCESS);
    ASSERT_EQ(SetDword(key, u"FOCUSFLAG", 2), STATUS_SUCCESS);
    uint8_t buffer[64];
    ULONG needed;
    ASSERT_EQ(ZwEnumerateValueKey(key, 0, KeyValueBasicInformation, buffer, sizeof buffer, &needed), STATUS_SUCCESS);
    auto* basic = reinterpret_cast<KEY_VALUE_BASIC_INFORMATION*>(buffer);
    EXPECT_EQ(std::u16string(basic->Name, basic->NameLength / 2), u"FocusFlag");
    EXPECT_EQ(ZwEnumerateValueKey(key, 1, KeyValueBasicInformation, buffer, sizeof buffer, &needed),
              STATUS_NO_MORE_ENTRIES);
    ULONG type;
    std::vector<uint8_t> data;
    ASSERT_EQ(GetValue(key, u"focusflag", &type, &data), STATUS_SUCCESS);
    EXPECT_EQ(data, Bytes({2, 0, 0, 0}));
    UNICODE_STRING missing = Counted(u"Missing");
    EXPECT_EQ(ZwQueryValueKey(key, &missing, KeyValuePartialInformation, buffer, sizeof buffer, &needed),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(ZwDeleteValueKey(key, &missing), STATUS_OBJECT_NAME_NOT_FOUND);
    ZwClose(key);
}

// The size protocol of the value information classes: the fixed part, then
// the name, then the data. Buffers carry sentinel bytes so that every byte
// written where it should not be shows.
TEST_F(KernelKeysTest, ValueInformationFollowsTheSizeProtocolInEveryClass) {
    HANDLE key = Create(kProduct);
    ASSERT_EQ(SetDword(key, u"Hue", 0xA1B2C3D4), STATUS_SUCCESS);  // a 6-byte name
    struct Case {
        const char* what;
        KEY_VALUE_INFORMATION_CLASS informationClass;
        ULONG fixed;
        ULONG dataOffset;  // 0: the class carries no data
        ULONG required;
    } cases[] = {
        {"basic", KeyValueBasicInformation, 12, 0, 18},
        {"full", KeyValueFullInformation, 20, 28, 32},  // data aligned to 4 after the name
        {"full, 64-bit aligned", KeyValueFullInformationAlign64, 20, 32, 36},
        {"partial", KeyValuePartialInformation, 12, 12, 16},
        {"partial, 64-bit aligned", KeyValuePartialInformationAlign64, 8, 8, 12},
    };
    UNICODE_STRING name = Counted(u"Hue");
    for (const auto& c : cases) {
        for (ULONG length : {0u, c.fixed - 1, c.fixed, c.required - 1, c.required, c.required + 8}) {
            SCOPED_TRACE(std::string(c.what) + ", length " + std::to_string(length));
            std::vector<uint8_t> buffer(length + 16, kSentinel);
            ULONG needed = 0;
            NTSTATUS status = ZwQueryValueKey(key, &name, c.informationClass, length ? buffer.data() : nullptr, length,
                                              &needed);
            EXPECT_EQ(needed, c.required);
            for (size_t i = std::max(length, c.required); i < buffer.size(); ++i) ASSERT_EQ(buffer[i], kSentinel);
            if (length < c.fixed) {
                EXPECT_EQ(status, STATUS_BUFFER_TOO_SMALL);
                for (size_t i = 0; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], kSentinel) << "byte " << i;
                continue;
            }
            EXPECT_EQ(status, length < c.required ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS);
            // The type is in the fixed part of every class.
            ULONG type;
            std::memcpy(&type, buffer.data() + (c.informationClass == KeyValuePartialInformationAlign64 ? 0 : 4), 4);
            EXPECT_EQ(type, static_cast<ULONG>(REG_DWORD));
            if (c.dataOffset != 0) {
                uint8_t expected[4] = {0xD4, 0xC3, 0xB2, 0xA1};
                bool written = std::memcmp(buffer.data() + c.dataOffset, expected, 4) == 0;
                EXPECT_EQ(written, status == STATUS_SUCCESS) << "data is never partial";
                if (status != STATUS_SUCCESS) {
                    for (ULONG i = c.dataOffset; i < length; ++i) ASSERT_EQ(buffer[i], kSentinel);
                }
            }
            if (c.informationClass == KeyValueFullInformation && status == STATUS_SUCCESS) {
                auto* full = reinterpret_cast<KEY_VALUE_FULL_INFORMATION*>(buffer.data());
                EXPECT_EQ(full->DataOffset, 28u);
                EXPECT_EQ(full->DataLength, 4u);
                EXPECT_EQ(full->NameLength, 6u);
                EXPECT_EQ(std::u16string(full->Name, 3), u"Hue");
            }
        }
    }
    // The drivers' own reads: the audio filter's 20-byte partial buffer, and a
    // full query sized as "name plus 24 plus the expected length".
    uint8_t twenty[20];
    ULONG needed;
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, twenty, sizeof twenty, &needed), STATUS_SUCCESS);
    std::vector<uint8_t> full(6 + 24 + 4);
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValueFullInformation, full.data(), static_cast<ULONG>(full.size()), &needed),
              STATUS_SUCCESS);
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValueLayerInformation, full.data(), 34, &needed),
              STATUS_INVALID_INFO_CLASS);
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, nullptr, 8, &needed), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, twenty, 20, nullptr), STATUS_INVALID_PARAMETER);
    ZwClose(key);
}

TEST_F(KernelKeysTest, KeyInformationFollowsTheSizeProtocol) {
    HANDLE parent = Create(kProduct);
    std::u16string className = u"Camera";
    UNICODE_STRING classString = Counted(className);
    UNICODE_STRING name = Counted(u"QK0340");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, parent, nullptr);
    HANDLE child;
    ULONG disposition;
    ASSERT_EQ(ZwCreateKey(&child, KEY_ALL_ACCESS, &attributes, 0, &classString, 0, &disposition), STATUS_SUCCESS);
    ASSERT_EQ(SetDword(child, u"Privacy", 1), STATUS_SUCCESS);
    HANDLE grandChild;
    ASSERT_EQ(CreateKey(u"Console", &grandChild, nullptr, KEY_ALL_ACCESS, 0, child), STATUS_SUCCESS);

    struct Case {
        const char* what;
        KEY_INFORMATION_CLASS informationClass;
        bool enumerate;  // through the parent with ZwEnumerateKey
        ULONG fixed;
        ULONG required;
    } cases[] = {
        {"basic", KeyBasicInformation, true, 16, 16 + 12},
        {"node with class", KeyNodeInformation, true, 24, 36 + 12},  // class at 24 + 12 = 36
        {"full", KeyFullInformation, false, 44, 44 + 12},
        {"cached", KeyCachedInformation, false, 40, 40},
        {"name", KeyNameInformation, false, 4,
         4 + static_cast<ULONG>(sizeof(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Lumora Tech\\QK0340") - 2)},
    };
    for (const auto& c : cases) {
        for (ULONG length : {c.fixed - 1, c.fixed, c.required - 1, c.required}) {
            if (length < c.fixed - 1 || (length == c.required - 1 && c.required == c.fixed)) continue;
            SCOPED_TRACE(std::string(c.what) + ", length " + std::to_string(length));
            std::vector<uint8_t> buffer(length + 16, kSentinel);
            ULONG needed = 0;
            NTSTATUS status = c.enumerate ? ZwEnumerateKey(parent, 0, c.informationClass, buffer.data(), length, &needed)
                                          : ZwQueryKey(child, c.informationClass, buffer.data(), length, &needed);
            EXPECT_EQ(needed, c.required);
            EXPECT_EQ(status, length < c.fixed      ? STATUS_BUFFER_TOO_SMALL
                              : length < c.required ? STATUS_BUFFER_OVERFLOW
                                                    : STATUS_SUCCESS);
            for (size_t i = length; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], kSentinel);
        }
    }
    uint8_t buffer[256];
    ULONG needed;
    ASSERT_EQ(ZwQueryKey(child, KeyFullInformation, buffer, sizeof buffer, &needed), STATUS_SUCCESS);
    auto* full = reinterpret_cast<KEY_FULL_INFORMATION*>(buffer);
    EXPECT_EQ(full->SubKeys, 1u);
    EXPECT_EQ(full->MaxNameLen, 14u);  // "Console"
    EXPECT_EQ(full->Values, 1u);
    EXPECT_EQ(full->MaxValueNameLen, 14u);  // "Privacy"
    EXPECT_EQ(full->MaxValueDataLen, 4u);
    EXPECT_EQ(full->ClassOffset, 44u);
    EXPECT_EQ(std::u16string(full->Class, full->ClassLength / 2), u"Camera");
    ASSERT_EQ(ZwEnumerateKey(parent, 0, KeyNodeInformation, buffer, sizeof buffer, &needed), STATUS_SUCCESS);
    auto* node = reinterpret_cast<KEY_NODE_INFORMATION*>(buffer);
    EXPECT_EQ(node->ClassOffset, 36u);
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(buffer + node->ClassOffset), node->ClassLength / 2), u"Camera");
    EXPECT_GT(node->LastWriteTime.QuadPart, 0);
    ASSERT_EQ(ZwEnumerateKey(child, 0, KeyNodeInformation, buffer, sizeof buffer, &needed), STATUS_SUCCESS);
    EXPECT_EQ(node->ClassOffset, 0xFFFFFFFFu);  // no class
    for (HANDLE h : {parent, child, grandChild}) ZwClose(h);
}

TEST_F(KernelKeysTest, EnumerationOrders) {
    HANDLE key = Create(kProduct);
    for (const char16_t* sub : {u"beta", u"Alpha", u"GAMMA", u"_under"}) {
        HANDLE h;
        ASSERT_EQ(CreateKey(sub, &h, nullptr, KEY_ALL_ACCESS, 0, key), STATUS_SUCCESS);
        ZwClose(h);
    }
    // Subkeys by upper-cased name, as the target sorts them ('_' after letters).
    std::vector<std::u16string> names;
    uint8_t buffer[128];
    ULONG needed;
    for (ULONG i = 0; ZwEnumerateKey(key, i, KeyBasicInformation, buffer, sizeof buffer, &needed) == STATUS_SUCCESS; ++i) {
        auto* basic = reinterpret_cast<KEY_BASIC_INFORMATION*>(buffer);
        names.emplace_back(basic->Name, basic->NameLength / 2);
    }
    EXPECT_EQ(names, (std::vector<std::u16string>{u"Alpha", u"beta", u"GAMMA", u"_under"}));

    // Values in the order they were first written; a rewrite keeps its place,
    // a deleted and rewritten value goes to the end.
    for (const char16_t* value : {u"Zoom", u"Pan", u"Tilt"}) ASSERT_EQ(SetDword(key, value, 1), STATUS_SUCCESS);
    ASSERT_EQ(SetDword(key, u"Zoom", 2), STATUS_SUCCESS);
    UNICODE_STRING pan = Counted(u"Pan");
    ASSERT_EQ(ZwDeleteValueKey(key, &pan), STATUS_SUCCESS);
    ASSERT_EQ(SetDword(key, u"Pan", 3), STATUS_SUCCESS);
    names.clear();
    for (ULONG i = 0;
         ZwEnumerateValueKey(key, i, KeyValueBasicInformation, buffer, sizeof buffer, &needed) == STATUS_SUCCESS; ++i) {
        auto* basic = reinterpret_cast<KEY_VALUE_BASIC_INFORMATION*>(buffer);
        names.emplace_back(basic->Name, basic->NameLength / 2);
    }
    EXPECT_EQ(names, (std::vector<std::u16string>{u"Zoom", u"Tilt", u"Pan"}));
    ZwClose(key);
}

TEST_F(KernelKeysTest, DeleteRules) {
    HANDLE parent = Create(kProduct);
    HANDLE child;
    ASSERT_EQ(CreateKey(u"AudioFilter", &child, nullptr, KEY_ALL_ACCESS, 0, parent), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteKey(parent), STATUS_CANNOT_DELETE);  // it has a subkey
    HANDLE noDelete;
    ASSERT_EQ(OpenKey(u"AudioFilter", &noDelete, KEY_READ | KEY_WRITE, parent), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteKey(noDelete), STATUS_ACCESS_DENIED);
    ASSERT_EQ(SetDword(child, u"BFA", 1), STATUS_SUCCESS);
    ASSERT_EQ(ZwDeleteKey(child), STATUS_SUCCESS);

    // The handles stay open on a key that is gone, even when one of the same
    // name is created again.
    uint8_t buffer[64];
    ULONG needed;
    UNICODE_STRING bfa = Counted(u"BFA");
    EXPECT_EQ(ZwQueryValueKey(noDelete, &bfa, KeyValuePartialInformation, buffer, sizeof buffer, &needed),
              STATUS_KEY_DELETED);
    HANDLE again;
    ASSERT_EQ(CreateKey(u"AudioFilter", &again, nullptr, KEY_ALL_ACCESS, 0, parent), STATUS_SUCCESS);
    EXPECT_EQ(SetDword(child, u"BFA", 1), STATUS_KEY_DELETED);
    EXPECT_EQ(ZwEnumerateKey(child, 0, KeyBasicInformation, buffer, sizeof buffer, &needed), STATUS_KEY_DELETED);
    EXPECT_EQ(ZwDeleteKey(child), STATUS_KEY_DELETED);
    EXPECT_EQ(ZwQueryValueKey(again, &bfa, KeyValuePartialInformation, buffer, sizeof buffer, &needed),
              STATUS_OBJECT_NAME_NOT_FOUND);  // the new key starts empty

    // Hives and their mount points stay.
    for (const char16_t* path : {u"\\Registry\\Machine\\Software", u"\\Registry\\Machine", u"\\Registry"}) {
        HANDLE hive;
        ASSERT_EQ(OpenKey(path, &hive), STATUS_SUCCESS);
        EXPECT_EQ(ZwDeleteKey(hive), STATUS_CANNOT_DELETE) << qk::ToUtf8(path);
        ZwClose(hive);
    }
    for (HANDLE h : {parent, child, noDelete, again}) ZwClose(h);
}

TEST_F(KernelKeysTest, HandlesGrantOnlyTheAccessTheyWereOpenedWith) {
    HANDLE writer = Create(kProduct);
    ASSERT_EQ(SetDword(writer, u"Reserved", 1), STATUS_SUCCESS);
    UNICODE_STRING reserved = Counted(u"Reserved");
    uint8_t buffer[64];
    ULONG needed;
    ULONG one = 1;
    struct Case {
        const char* what;
        ACCESS_MASK access;
        bool query, set, enumerate;
    } cases[] = {
        {"KEY_READ", KEY_READ, true, false, true},
        {"KEY_QUERY_VALUE", KEY_QUERY_VALUE, true, false, false},
        {"GENERIC_READ", GENERIC_READ, true, false, true},
        {"KEY_WRITE", KEY_WRITE, false, true, false},
        {"KEY_SET_VALUE", KEY_SET_VALUE, false, true, false},
        {"KEY_ALL_ACCESS", KEY_ALL_ACCESS, true, true, true},
        {"MAXIMUM_ALLOWED", MAXIMUM_ALLOWED, true, true, true},
        {"standard rights only", STANDARD_RIGHTS_ALL, false, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        HANDLE key;
        ASSERT_EQ(OpenKey(kProduct, &key, c.access), STATUS_SUCCESS);
        EXPECT_EQ(ZwQueryValueKey(key, &reserved, KeyValuePartialInformation, buffer, sizeof buffer, &needed),
                  c.query ? STATUS_SUCCESS : STATUS_ACCESS_DENIED);
        EXPECT_EQ(ZwSetValueKey(key, &reserved, 0, REG_DWORD, &one, 4), c.set ? STATUS_SUCCESS : STATUS_ACCESS_DENIED);
        EXPECT_EQ(ZwEnumerateKey(key, 0, KeyBasicInformation, buffer, sizeof buffer, &needed),
                  c.enumerate ? STATUS_NO_MORE_ENTRIES : STATUS_ACCESS_DENIED);
        UNICODE_STRING missing = Counted(u"NotThere");
        EXPECT_EQ(ZwDeleteValueKey(key, &missing), c.set ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_ACCESS_DENIED);
        // Any handle tells its key's name.
        uint8_t path[256];
        EXPECT_EQ(ZwQueryKey(key, KeyNameInformation, path, sizeof path, &needed), STATUS_SUCCESS);
        ZwClose(key);
    }
    ZwClose(writer);
}

// The capture driver opens its device key with standard rights only and then
// reads and writes "Privacy" through it; the I/O manager hands such keys out
// with the rights it chooses.
TEST_F(KernelKeysTest, TheIoManagerCanGrantAKeyItsOwnRights) {
    constexpr char16_t kDeviceKey[] =
        u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class\\{6bdd1fc6-810f-11d0-bec7-08002be2092f}\\0000";
    HANDLE device;
    EXPECT_EQ(qk::registry::OpenKernelKeyGranting(kDeviceKey, KEY_ALL_ACCESS, false, &device),
              STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_EQ(qk::registry::OpenKernelKeyGranting(kDeviceKey, KEY_ALL_ACCESS, true, &device), STATUS_SUCCESS);
    EXPECT_EQ(SetDword(device, u"Privacy", 1), STATUS_SUCCESS);
    ZwClose(device);
    ASSERT_EQ(qk::registry::OpenKernelKeyGranting(kDeviceKey, KEY_READ, false, &device), STATUS_SUCCESS);
    EXPECT_EQ(SetDword(device, u"Privacy", 0), STATUS_ACCESS_DENIED);
    ULONG type;
    std::vector<uint8_t> data;
    EXPECT_EQ(GetValue(device, u"Privacy", &type, &data), STATUS_SUCCESS);
    ZwClose(device);
    EXPECT_EQ(qk::registry::OpenKernelKeyGranting(u"\\Registry\\Machine\\Stray", KEY_ALL_ACCESS, true, &device),
              STATUS_ACCESS_DENIED);
}

TEST_F(KernelKeysTest, VolatileKeysVanishAtRestartAndHoldOnlyVolatileKeys) {
    HANDLE product = Create(kProduct);
    HANDLE running = Create(u"\\Registry\\Machine\\Software\\Lumora Tech\\Running", REG_OPTION_VOLATILE);
    ASSERT_EQ(SetDword(running, u"AudioStreamOpen", 1), STATUS_SUCCESS);
    HANDLE h;
    EXPECT_EQ(CreateKey(u"Lasting", &h, nullptr, KEY_ALL_ACCESS, REG_OPTION_NON_VOLATILE, running),
              STATUS_CHILD_MUST_BE_VOLATILE);
    ASSERT_EQ(CreateKey(u"Passing", &h, nullptr, KEY_ALL_ACCESS, REG_OPTION_VOLATILE, running), STATUS_SUCCESS);
    ZwClose(h);
    ASSERT_EQ(SetDword(product, u"Reserved", 1), STATUS_SUCCESS);
    ZwClose(running);
    ZwClose(product);

    RestartMachine();
    EXPECT_EQ(OpenKey(u"\\Registry\\Machine\\Software\\Lumora Tech\\Running", &h), STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_EQ(OpenKey(kProduct, &h, KEY_READ), STATUS_SUCCESS);
    ULONG type;
    std::vector<uint8_t> data;
    EXPECT_EQ(GetValue(h, u"Reserved", &type, &data), STATUS_SUCCESS);
    ZwClose(h);
}

TEST_F(KernelKeysTest, MisuseIsCaught) {
    HANDLE key = Create(kProduct);
    {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        SetDword(key, u"Exposure", 3);
        KeLowerIrql(old);
    }
    EXPECT_EQ(TakeViolations(Violation::IrqlTooHigh), 1u);

    HANDLE never = reinterpret_cast<HANDLE>(0xFFFFFFFF80001234ull);
    EXPECT_EQ(SetDword(never, u"Exposure", 3), STATUS_INVALID_HANDLE);
    EXPECT_EQ(TakeViolations(Violation::HandleMisuse), 1u);
    ASSERT_EQ(ZwClose(key), STATUS_SUCCESS);
    EXPECT_EQ(SetDword(key, u"Exposure", 3), STATUS_INVALID_HANDLE);
    EXPECT_EQ(TakeViolations(Violation::HandleMisuse), 1u);

    key = Create(kProduct);
    EXPECT_EQ(SetValue(key, u"Exposure", REG_DWORD, nullptr, 4), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(SetValue(key, std::u16string(16384, u'v'), REG_DWORD, "abcd", 4), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(SetValue(key, std::u16string(16383, u'v'), REG_DWORD, "abcd", 4), STATUS_SUCCESS);
    std::vector<uint8_t> huge((4u << 20) + 1);
    EXPECT_EQ(SetValue(key, u"Huge", REG_BINARY, huge.data(), static_cast<ULONG>(huge.size())),
              STATUS_INSUFFICIENT_RESOURCES);
    HANDLE machine;
    ASSERT_EQ(OpenKey(u"\\Registry\\Machine", &machine), STATUS_SUCCESS);
    EXPECT_EQ(SetDword(machine, u"Stray", 1), STATUS_ACCESS_DENIED);  // mount points hold no values
    ZwClose(machine);
    ZwClose(key);
}

TEST_F(KernelKeysTest, DamagedDatabaseFailsCleanly) {
    {
        std::ofstream garbage(Root() / "registry.db", std::ios::binary);
        garbage << std::string(8192, 'x');
    }
    HANDLE h;
    EXPECT_EQ(CreateKey(kProduct, &h), STATUS_REGISTRY_IO_FAILED);
    EXPECT_NE(qk::registry::StoreError().find("registry.db"), std::string::npos);
    HKEY user;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software", 0, KEY_READ, &user), ERROR_REGISTRY_IO_FAILED);
}

}  // namespace
