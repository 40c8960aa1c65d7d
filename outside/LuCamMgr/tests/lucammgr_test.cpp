// The camera manager's installation commands: viewers and device
// attachments stored and removed, and blocks a library gets wrong (wrong
// version, strings that run past their field, counts beyond a block, names
// no key can carry, no session open) refused with nothing stored.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "outside/LuCamMgr/lucammgr.h"
#include "platform/nt/testing/machine_test.h"
#include "windows.h"
#include "winreg.h"

namespace {

using namespace lucammgr;

void Put(std::vector<uint8_t>& b, size_t at, uint32_t w) { std::memcpy(b.data() + at, &w, 4); }
void Put(std::vector<uint8_t>& b, size_t at, const std::string& s) { std::memcpy(b.data() + at, s.data(), s.size()); }

std::vector<uint8_t> Viewers(const std::string& name) {
    std::vector<uint8_t> b(8 + 144 * 2, 0);
    Put(b, 0, 0x101u);
    Put(b, 4, 1u);
    Put(b, 8, name);
    Put(b, 8 + 128, 4u);
    Put(b, 8 + 132, 0x104u);
    return b;
}

std::vector<uint8_t> Attach(const std::string& id, const std::string& viewer) {
    std::vector<uint8_t> b(784 + 388, 0);
    Put(b, 0, 0x101u);
    Put(b, 8, std::string("{6bdd1fc6-810f-11d0-bec7-08002be2092f}"));
    Put(b, 72, id);
    Put(b, 392, 1u);
    Put(b, 396, viewer);
    Put(b, 396 + 128, 0x100u);
    Put(b, 396 + 132, std::string("K0340Cvw.dll"));
    Put(b, 396 + 260, std::string("luCVWEntryPoint"));
    return b;
}

bool KeyExists(const std::string& path) {
    HKEY key = nullptr;
    const std::string full = "Software\\Lumora Tech\\Camera Manager\\" + path;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, full.c_str(), 0, KEY_READ | KEY_WOW64_32KEY, &key) != ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(key);
    return true;
}

std::string Text(const std::string& path, const char* value) {
    char data[256] = {};
    DWORD bytes = sizeof data - 1;
    const std::string full = "Software\\Lumora Tech\\Camera Manager\\" + path;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, full.c_str(), 0, KEY_READ | KEY_WOW64_32KEY, &key) != ERROR_SUCCESS) {
        return {};
    }
    RegQueryValueExA(key, value, nullptr, nullptr, reinterpret_cast<BYTE*>(data), &bytes);
    RegCloseKey(key);
    return data;
}

class CameraManagerTest : public qk::testing::MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        ASSERT_EQ(InstallEntryPoint(0x202, nullptr), kOk);
    }
    void TearDown() override {
        InstallEntryPoint(0x203, nullptr);
        MachineTest::TearDown();
    }
};

TEST_F(CameraManagerTest, ViewersAndAttachmentsAreStoredAndRemoved) {
    auto viewers = Viewers("CustomViewWin");
    ASSERT_EQ(InstallEntryPoint(0x204, viewers.data()), kOk);
    EXPECT_TRUE(KeyExists("Viewers\\CustomViewWin"));
    auto attach = Attach("USB\\VID_FA57&PID_0340&MI_00", "CustomViewWin");
    ASSERT_EQ(InstallEntryPoint(0x206, attach.data()), kOk);
    const std::string device = "Devices\\USB#VID_FA57&PID_0340&MI_00";
    EXPECT_EQ(Text(device, "Class"), "{6bdd1fc6-810f-11d0-bec7-08002be2092f}");
    EXPECT_EQ(Text(device + "\\CustomViewWin", "File"), "K0340Cvw.dll");
    EXPECT_EQ(Text(device + "\\CustomViewWin", "Entry"), "luCVWEntryPoint");

    ASSERT_EQ(InstallEntryPoint(0x207, attach.data()), kOk);
    EXPECT_FALSE(KeyExists(device));
    ASSERT_EQ(InstallEntryPoint(0x205, viewers.data()), kOk);
    EXPECT_FALSE(KeyExists("Viewers\\CustomViewWin"));
    EXPECT_EQ(InstallEntryPoint(0x207, attach.data()), kOk) << "detaching twice is no error";
}

TEST_F(CameraManagerTest, BadBlocksAreRefusedWithNothingStored) {
    struct Case {
        const char* name;
        uint32_t command;
        std::vector<uint8_t> block;
        uint32_t want;
    };
    std::vector<Case> cases;
    auto wrongVersion = Viewers("A");
    Put(wrongVersion, 0, 0x102u);
    cases.push_back({"wrong version", 0x204, wrongVersion, kBadBlock});
    auto manyViewers = Viewers("A");
    Put(manyViewers, 4, kMaxRecords + 1);
    cases.push_back({"more viewers than a block holds", 0x204, manyViewers, kBadBlock});
    cases.push_back({"a name that fills its field", 0x204, Viewers(std::string(128, 'N')), kBadBlock});
    cases.push_back({"an empty name", 0x204, Viewers(""), kBadBlock});
    cases.push_back({"a backslash in a name", 0x204, Viewers("A\\B"), kBadBlock});
    cases.push_back({"an empty hardware ID", 0x206, Attach("", "V"), kBadBlock});
    cases.push_back({"a hardware ID that fills its field", 0x206, Attach(std::string(64, 'I'), "V"), kBadBlock});
    auto noRecords = Attach("USB\\X", "V");
    Put(noRecords, 392, 0u);
    cases.push_back({"an attachment without viewers", 0x206, noRecords, kBadBlock});
    auto longEntry = Attach("USB\\X", "V");
    Put(longEntry, 396 + 260, std::string(128, 'E'));
    cases.push_back({"an entry name that fills its field", 0x206, longEntry, kBadBlock});
    cases.push_back({"an unknown command", 0x208, Viewers("A"), kNotSupported});
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(InstallEntryPoint(c.command, c.block.data()), c.want);
    }
    EXPECT_EQ(InstallEntryPoint(0x204, nullptr), kBadBlock);
    EXPECT_FALSE(KeyExists("Viewers"));
    EXPECT_FALSE(KeyExists("Devices"));

    // Without an open session nothing is taken.
    ASSERT_EQ(InstallEntryPoint(0x203, nullptr), kOk);
    auto viewers = Viewers("CustomViewWin");
    EXPECT_EQ(InstallEntryPoint(0x204, viewers.data()), kNotOpen);
    EXPECT_EQ(InstallEntryPoint(0x203, nullptr), kNotOpen);
    ASSERT_EQ(InstallEntryPoint(0x202, nullptr), kOk);
    EXPECT_FALSE(KeyExists("Viewers\\CustomViewWin"));
}

}  // namespace
