// The console's resource library by name: the resource source while it is
// loaded, unloaded after, kept by the integrated window, and a missing
// library making no noise. The skin bundle's folder as the process's kind
// decides it, asked of Kernel32.dll at run time.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "console/skin/info_panel.h"
#include "console/skin/resource_library.h"
#include "console/skin/skin_hook_client.h"
#include "platform/win32/code_modules.h"
#include "platform/nt/testing/machine_test.h"
#include "winuser.h"

namespace {

class ResourceLibraryTest : public qk::testing::MachineTest {
protected:
    void Install() {
        std::filesystem::create_directories(Root() / "Windows" / "System32");
        std::filesystem::copy_file(QK_CONSOLE_CRL, Root() / "Windows" / "System32" / "K0340Cvw.crl");
    }
};

TEST_F(ResourceLibraryTest, IsTheResourceSourceWhileLoaded) {
    Install();
    HMODULE seen = nullptr;
    {
        console::ResourceLibrary library;
        ASSERT_TRUE(library.Loaded());
        seen = library.Module();
        EXPECT_EQ(console::ResourceModule(), seen);
        char16_t title[64];
        EXPECT_GT(LoadStringW(console::ResourceModule(), 57673, title, 64), 0);
        EXPECT_NE(FindResourceW(seen, MAKEINTRESOURCEW(120), MAKEINTRESOURCEW(5)), nullptr);
    }
    EXPECT_EQ(console::ResourceModule(), nullptr) << "the source goes with the library";
    EXPECT_EQ(FindResourceW(seen, MAKEINTRESOURCEW(120), MAKEINTRESOURCEW(5)), nullptr) << "unloaded";
}

TEST_F(ResourceLibraryTest, TheIntegratedWindowKeepsItsHandle) {
    Install();
    HMODULE kept;
    {
        console::ResourceLibrary library;
        kept = library.Release();
    }
    EXPECT_NE(FindResourceW(kept, MAKEINTRESOURCEW(127), MAKEINTRESOURCEW(5)), nullptr) << "still loaded";
    EXPECT_TRUE(FreeLibrary(kept));
    console::SetResourceModule(nullptr);
}

TEST_F(ResourceLibraryTest, AMissingLibraryIsNotReported) {
    HWND before = GetActiveWindow();
    console::ResourceLibrary library;
    EXPECT_FALSE(library.Loaded());
    EXPECT_EQ(console::ResourceModule(), nullptr);
    EXPECT_EQ(GetActiveWindow(), before) << "no message box";
}

// Stand-ins for Kernel32.dll: one of a 64-bit system running the console
// under WOW64, and one of a system old enough to lack the WOW64 calls.
BOOL ReportsWow64(HANDLE, BOOL* wow64) {
    *wow64 = TRUE;
    return TRUE;
}
UINT Wow64Directory(LPSTR buffer, UINT size) {
    constexpr char kFolder[] = "C:\\Windows\\SysWOW64";
    if (size < sizeof kFolder) return sizeof kFolder;
    std::memcpy(buffer, kFolder, sizeof kFolder);
    return sizeof kFolder - 1;
}
FARPROC Wow64Kernel(const char* name) {
    if (std::strcmp(name, "IsWow64Process") == 0) return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&ReportsWow64));
    if (std::strcmp(name, "GetSystemWow64DirectoryA") == 0) return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&Wow64Directory));
    return nullptr;
}
FARPROC OldKernel(const char* name) {
    // IsWow64Process alone, claiming WOW64: without the folder's call the system folder stands.
    if (std::strcmp(name, "IsWow64Process") == 0) return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&ReportsWow64));
    return nullptr;
}

class BundleFolderTest : public qk::testing::MachineTest {
protected:
    void TearDown() override {
        qk::win32::RegisterStaticModule(u"Kernel32.dll", nullptr);
        MachineTest::TearDown();
    }
};

TEST_F(BundleFolderTest, IsTheSystemFolderOfANativeProcess) {
    EXPECT_EQ(console::SkinBundlePath(), "C:\\Windows\\System32\\K0340Cvw.bff");
}

TEST_F(BundleFolderTest, IsThe32BitSystemFolderUnderWow64) {
    qk::win32::RegisterStaticModule(u"Kernel32.dll", Wow64Kernel);
    EXPECT_EQ(console::SkinBundlePath(), "C:\\Windows\\SysWOW64\\K0340Cvw.bff");
}

TEST_F(BundleFolderTest, IsTheSystemFolderWhenTheWow64CallsAreMissing) {
    qk::win32::RegisterStaticModule(u"Kernel32.dll", OldKernel);
    EXPECT_EQ(console::SkinBundlePath(), "C:\\Windows\\System32\\K0340Cvw.bff");
}

}  // namespace
