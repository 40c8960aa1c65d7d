// Registration as the installer runs it, with and without a camera manager:
// the blocks the manager receives byte for byte, the `Run` entry that
// arranges the retry, the shortcut's folder, and unregistration closing a
// running console and removing every user's settings.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "capture/tests/capture_fixture.h"
#include "console/k0340cvw.h"
#include "platform/shell/shell.h"
#include "shlobj.h"
#include "outside/LuCamMgr/lucammgr.h"
#include "platform/nt/machine.h"
#include "platform/win32/code_modules.h"
#include "platform/win32/module_table.h"

namespace {

using namespace k0340cvw;

// The camera manager as the console sees it: every command with a copy of
// its block, and a scripted answer to the attach command.
struct ManagerLog {
    std::mutex lock;
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> calls;
    uint32_t attachAnswer = 0;
};
ManagerLog* g_manager = nullptr;

size_t BlockBytes(uint32_t command, const uint8_t* block) {
    if (block == nullptr) return 0;
    switch (command) {
        case kMgrRegisterViewers:
        case kMgrUnregisterViewers: {
            uint32_t count = 0;
            std::memcpy(&count, block + 4, 4);
            return 8 + kViewerRecordBytes * count;
        }
        case kMgrAttachViewer: {
            uint32_t count = 0;
            std::memcpy(&count, block + 392, 4);
            return kDeviceBlockBytes + kDeviceViewerRecordBytes * count;
        }
        case kMgrDetachDevice: return kDeviceBlockBytes;
        default: return 0;
    }
}

uint32_t RecordingEntry(uint32_t command, void* block) {
    auto* bytes = static_cast<const uint8_t*>(block);
    std::lock_guard guard(g_manager->lock);
    g_manager->calls.push_back({command, std::vector<uint8_t>(bytes, bytes + BlockBytes(command, bytes))});
    return command == kMgrAttachViewer ? g_manager->attachAnswer : 0;
}

FARPROC ManagerExport(const char* name) {
    return std::strcmp(name, "LuCamMgrInstallEntryPoint") == 0 ? reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&RecordingEntry)) : nullptr;
}

std::string Text(const std::vector<uint8_t>& block, size_t offset) {
    return std::string(reinterpret_cast<const char*>(block.data() + offset));
}
uint32_t Word(const std::vector<uint8_t>& block, size_t offset) {
    uint32_t w = 0;
    std::memcpy(&w, block.data() + offset, 4);
    return w;
}

class RegistrationTest : public k0340::testing::CaptureTest {
protected:
    void SetUp() override {
        CaptureTest::SetUp();
        g_manager = &log_;
        root_ = qk::Machine::Current().SystemRoot();
        std::filesystem::copy_file(QK_CONSOLE_CRL, root_ / "Windows/System32/K0340Cvw.crl",
                                   std::filesystem::copy_options::overwrite_existing);
    }
    void TearDown() override {
        CaptureTest::TearDown();
        g_manager = nullptr;
    }
    void InstallManager() {
        std::ofstream(root_ / "Windows/System32/LuCamMgr.dll") << "";
        qk::win32::RegisterStaticModule(u"LuCamMgr.dll", ManagerExport);
    }
    void PlugWithProductName() {
        PlugCamera();
        ASSERT_FALSE(FilterLink().empty());
        std::u16string path = DriverKeyPath();
        path = u"SYSTEM" + path.substr(std::u16string(u"\\Registry\\Machine\\SYSTEM").size());
        HKEY key = nullptr;
        ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_SET_VALUE, &key), ERROR_SUCCESS);
        const char16_t name[] = u"QK0340 Web Camera";
        ASSERT_EQ(RegSetValueExW(key, u"LuProductName", 0, REG_SZ, reinterpret_cast<const BYTE*>(name), sizeof name),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }
    static std::string RunEntry() {
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion\\Run", 0,
                          KEY_QUERY_VALUE | KEY_WOW64_32KEY, &key) != ERROR_SUCCESS) {
            return {};
        }
        char data[512] = {};
        DWORD bytes = sizeof data - 1, type = 0;
        const bool found = RegQueryValueExA(key, "C:\\Windows\\System32\\K0340Cvw.dll", nullptr, &type,
                                            reinterpret_cast<BYTE*>(data), &bytes) == ERROR_SUCCESS;
        RegCloseKey(key);
        return found ? std::string(data) : std::string();
    }
    std::vector<uint32_t> Commands() {
        std::vector<uint32_t> c;
        for (auto& call : log_.calls) c.push_back(call.first);
        return c;
    }

    ManagerLog log_;
    std::filesystem::path root_;
};

// As RegSvr32 calls it: through the module's export table.
HRESULT CallExport(const char* name) {
    RegisterBuiltin();
    std::string error;
    qk::win32::CodeModule* module = qk::win32::LoadCodeModule(u"K0340Cvw.dll", &error);
    EXPECT_NE(module, nullptr) << error;
    if (module == nullptr) return E_FAIL;
    auto call = reinterpret_cast<HRESULT (*)()>(qk::win32::CodeModuleExport(module, name));
    EXPECT_NE(call, nullptr);
    HRESULT hr = call ? call() : E_FAIL;
    qk::win32::ReleaseCodeModule(module);
    return hr;
}

TEST_F(RegistrationTest, WithoutAManagerTheRetryAtLogonIsArranged) {
    PlugWithProductName();
    EXPECT_EQ(CallExport("DllRegisterServer"), 1);
    EXPECT_EQ(RunEntry(), "C:\\Windows\\System32\\RegSvr32.exe /s C:\\Windows\\System32\\K0340Cvw.dll");
    // The shortcut's folders are made before the link would be written.
    EXPECT_TRUE(std::filesystem::is_directory(
        root_ / "ProgramData/Microsoft/Windows/Start Menu/Programs/Lumora/QK0340 Web Camera"));

    EXPECT_EQ(CallExport("DllUnregisterServer"), 1);
    EXPECT_EQ(RunEntry(), "") << "the entry goes even when nothing else can be undone";
}

TEST_F(RegistrationTest, TheManagerReceivesTheViewerAndTheDeviceBlocks) {
    InstallManager();
    PlugWithProductName();
    EXPECT_EQ(DllRegisterServer(), 1) << "the shortcut cannot be written yet";
    ASSERT_EQ(Commands(), (std::vector<uint32_t>{kMgrOpen, kMgrRegisterViewers, kMgrAttachViewer, kMgrClose}));

    const auto& viewers = log_.calls[1].second;
    ASSERT_EQ(viewers.size(), 8 + kViewerRecordBytes);
    EXPECT_EQ(Word(viewers, 0), kMgrBlockVersion);
    EXPECT_EQ(Word(viewers, 4), 1u);
    EXPECT_EQ(Text(viewers, 8), "CustomViewWin");
    EXPECT_EQ(Word(viewers, 8 + 128), 4u);
    EXPECT_EQ(Word(viewers, 8 + 132), 0x104u);
    EXPECT_EQ(Word(viewers, 8 + 136), 0x1403u);
    EXPECT_EQ(Word(viewers, 8 + 140), 0u);

    const auto& device = log_.calls[2].second;
    ASSERT_EQ(device.size(), kDeviceBlockBytes + kDeviceViewerRecordBytes);
    EXPECT_EQ(Word(device, 0), kMgrBlockVersion);
    EXPECT_EQ(Word(device, 4), 0u);
    EXPECT_EQ(Text(device, 8), "{6bdd1fc6-810f-11d0-bec7-08002be2092f}");
    EXPECT_EQ(Text(device, 72), "USB\\VID_FA57&PID_0340&MI_00");
    EXPECT_EQ(Text(device, 136), "");
    EXPECT_EQ(Word(device, 392), 1u);
    EXPECT_EQ(Text(device, 396), "CustomViewWin");
    EXPECT_EQ(Word(device, 396 + 128), 0x100u);
    EXPECT_EQ(Text(device, 396 + 132), "K0340Cvw.dll");
    EXPECT_EQ(Text(device, 396 + 260), "luCVWEntryPoint");

    log_.calls.clear();
    EXPECT_EQ(DllUnregisterServer(), 0);
    ASSERT_EQ(Commands(), (std::vector<uint32_t>{kMgrOpen, kMgrDetachDevice, kMgrUnregisterViewers, kMgrClose}));
    const auto& detach = log_.calls[1].second;
    EXPECT_EQ(Text(detach, 8), "{6bdd1fc6-810f-11d0-bec7-08002be2092f}");
    EXPECT_EQ(Text(detach, 72), "USB\\VID_FA57&PID_0340&MI_00");
    const auto& names = log_.calls[2].second;
    EXPECT_EQ(Text(names, 8), "CustomViewWin");
    EXPECT_EQ(Word(names, 8 + 128), 0u) << "only names for unregistering";
    EXPECT_FALSE(std::filesystem::exists(root_ / "ProgramData/Microsoft/Windows/Start Menu/Programs/Lumora"));
}

TEST_F(RegistrationTest, WithTheShellTheShortcutIsWrittenAndNoRetryIsLeft) {
    ASSERT_EQ(qk::shell::InstallShellServer(), S_OK);
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    InstallManager();
    PlugWithProductName();
    EXPECT_EQ(DllRegisterServer(), 0);
    EXPECT_EQ(RunEntry(), "") << "nothing left to retry at logon";
    const char link[] = "C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs\\Lumora\\QK0340 Web Camera\\Camera Console.lnk";
    // Read back through the shell, as the Start menu would.
    IShellLinkA* reader = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA, reinterpret_cast<void**>(&reader)), S_OK);
    IPersistFile* file = nullptr;
    ASSERT_EQ(reader->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)), S_OK);
    std::u16string name(link, link + sizeof link - 1);
    const HRESULT loaded = file->Load(name.c_str(), 0);
    file->Release();
    char target[MAX_PATH] = {}, arguments[MAX_PATH] = {};
    if (loaded == S_OK) {
        reader->GetPath(target, MAX_PATH, nullptr, 0);
        reader->GetArguments(arguments, MAX_PATH);
    }
    reader->Release();
    CoUninitialize();
    ASSERT_EQ(loaded, S_OK) << "no link at " << link;
    EXPECT_STREQ(target, "C:\\Windows\\System32\\rundll32.exe");
    EXPECT_STREQ(arguments, "K0340Cvw.dll,luCVWConsoleRunDLL32EP");
}

TEST_F(RegistrationTest, WithoutACameraThereIsNoShortcutFolder) {
    InstallManager();
    EXPECT_EQ(DllRegisterServer(), 1);
    EXPECT_NE(RunEntry(), "");
    EXPECT_FALSE(std::filesystem::exists(
        root_ / "ProgramData/Microsoft/Windows/Start Menu/Programs/Lumora/QK0340 Web Camera"));
}

TEST_F(RegistrationTest, UnregisteringClosesTheConsoleAndRemovesEveryUsersSettings) {
    InstallManager();
    PlugWithProductName();
    // A shortcut folder with a read-only file and a sub-folder in it.
    const auto folder = root_ / "ProgramData/Microsoft/Windows/Start Menu/Programs/Lumora/QK0340 Web Camera";
    std::filesystem::create_directories(folder / "More");
    std::ofstream(folder / "More" / "a.lnk") << "x";
    std::ofstream(folder / "Camera Console.lnk") << "x";
    std::filesystem::permissions(folder / "Camera Console.lnk", std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::remove);
    // Two users' console settings and a value beside them that stays.
    for (const char* user : {".DEFAULT", "S-1-5-21-1004336348-1177238915-682003330-1001"}) {
        HKEY key = nullptr;
        const std::string path = std::string(user) + "\\" + kConsoleKeyPath + "\\Sub";
        ASSERT_EQ(RegCreateKeyExA(HKEY_USERS, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }
    HKEY product = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Lumora Tech\\Web Cameras\\QK0340\\Keep", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &product, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(product);
    HANDLE quit = CreateEventA(nullptr, FALSE, FALSE, kQuitEventName);  // a running console's

    EXPECT_EQ(DllUnregisterServer(), 0);
    EXPECT_EQ(WaitForSingleObject(quit, 0), WAIT_OBJECT_0);
    CloseHandle(quit);
    EXPECT_FALSE(std::filesystem::exists(folder.parent_path()));
    for (const char* user : {".DEFAULT", "S-1-5-21-1004336348-1177238915-682003330-1001"}) {
        SCOPED_TRACE(user);
        HKEY key = nullptr;
        EXPECT_EQ(RegOpenKeyExA(HKEY_USERS, (std::string(user) + "\\" + kConsoleKeyPath).c_str(), 0, KEY_READ, &key),
                  ERROR_FILE_NOT_FOUND);
    }
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Lumora Tech\\Web Cameras\\QK0340\\Keep", 0, KEY_READ,
                            &product),
              ERROR_SUCCESS);
    RegCloseKey(product);
}

TEST_F(RegistrationTest, TheCameraManagerKeepsTheConsoleAsTheCamerasViewerUntilUnregistered) {
    std::ofstream(root_ / "Windows/System32/LuCamMgr.dll") << "";
    qk::win32::RegisterStaticModule(u"LuCamMgr.dll", lucammgr::LookupExport);
    PlugWithProductName();
    EXPECT_EQ(CallExport("DllRegisterServer"), 1) << "the shortcut cannot be written yet";
    HKEY key = nullptr;
    const char viewer[] = "Software\\Lumora Tech\\Camera Manager\\Devices\\USB#VID_FA57&PID_0340&MI_00\\CustomViewWin";
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, viewer, 0, KEY_READ | KEY_WOW64_32KEY, &key), ERROR_SUCCESS);
    char entry[64] = {};
    DWORD bytes = sizeof entry - 1;
    EXPECT_EQ(RegQueryValueExA(key, "Entry", nullptr, nullptr, reinterpret_cast<BYTE*>(entry), &bytes), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_STREQ(entry, "luCVWEntryPoint");

    EXPECT_EQ(CallExport("DllUnregisterServer"), 0);
    EXPECT_NE(RegOpenKeyExA(HKEY_LOCAL_MACHINE, viewer, 0, KEY_READ | KEY_WOW64_32KEY, &key), ERROR_SUCCESS);
    EXPECT_EQ(RunEntry(), "");
}

TEST(LinkName, TheMakersNameInFrontIsDropped) {
    EXPECT_EQ(LinkName("Lumora Camera Console"), "Camera Console");
    EXPECT_EQ(LinkName("Camera Console"), "Camera Console");
    EXPECT_EQ(LinkName("Lumora "), "Lumora ");
    EXPECT_EQ(LinkName("LumoraX Console"), "LumoraX Console");
}

}  // namespace
