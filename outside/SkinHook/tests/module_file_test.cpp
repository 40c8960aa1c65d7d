// SkinHook.DLL as the console meets it: a file in the console's folder of
// the system root, loaded by LoadLibrary and bound through GetProcAddress.
// This test links no copy of the library, so whatever paints the window
// came from the module file.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "outside/SkinHook/skin_descriptors.h"
#include "platform/nt/testing/machine_test.h"
#include "platform/ui/presentation.h"
#include "windows.h"
#include "wingdi.h"
#include "winuser.h"

#if !defined(QK_SKINHOOK_MODULE) || !defined(QK_SKIN_BUNDLE)
#error "QK_SKINHOOK_MODULE and QK_SKIN_BUNDLE must name the built module and bundle"
#endif

namespace {

using namespace skinhook;

constexpr const char* kConsoleFolder = "C:\\Windows\\TWAIN_32\\Lumora\\QK0340\\SkinHook.DLL";

class SkinHookModuleTest : public qk::testing::MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        folder_ = Root() / "Windows" / "TWAIN_32" / "Lumora" / "QK0340";
        std::filesystem::create_directories(folder_);
        std::filesystem::create_directories(Root() / "Windows" / "System32");
        std::filesystem::copy_file(QK_SKIN_BUNDLE, Root() / "Windows" / "System32" / "K0340Cvw.bff");
    }
    void Install() { std::filesystem::copy_file(QK_SKINHOOK_MODULE, folder_ / "SkinHook.DLL"); }
    std::filesystem::path folder_;
};

TEST_F(SkinHookModuleTest, TheInstalledFileIsLoadedAndItsCodePaintsTheWindow) {
    SetLastError(0);
    EXPECT_EQ(LoadLibraryA(kConsoleFolder), nullptr) << "not installed yet";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));

    Install();
    HMODULE library = LoadLibraryA(kConsoleFolder);
    ASSERT_NE(library, nullptr) << GetLastError();
    EXPECT_EQ(LoadLibraryA("skinhook.dll"), library) << "a bare name finds the module already loaded";
    EXPECT_TRUE(FreeLibrary(library));
    auto entry = reinterpret_cast<CallSkinHookFn>(reinterpret_cast<void*>(GetProcAddress(library, "CallSkinHook")));
    ASSERT_NE(entry, nullptr);
    SetLastError(0);
    EXPECT_EQ(GetProcAddress(library, "SkinHookInternal"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));

    // The entry's code lies in the installed file, not in this program.
    Dl_info info{};
    ASSERT_NE(dladdr(reinterpret_cast<void*>(entry), &info), 0);
    ASSERT_NE(info.dli_fname, nullptr);
    EXPECT_TRUE(std::filesystem::equivalent(info.dli_fname, folder_ / "SkinHook.DLL")) << info.dli_fname;

    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = DefWindowProcW;
    wc.lpszClassName = u"Plain";
    wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<ULONG_PTR>(COLOR_BTNFACE + 1));
    ASSERT_NE(RegisterClassExW(&wc), 0);
    HWND window = CreateWindowExW(0, u"Plain", u"", WS_POPUP | WS_VISIBLE, 0, 0, 200, 120, nullptr, nullptr, nullptr, nullptr);
    HWND close = CreateWindowExW(0, u"Button", u"", WS_CHILD | WS_VISIBLE, 170, 4, 24, 24, window,
                                 reinterpret_cast<HMENU>(1058), nullptr, nullptr);
    ASSERT_NE(close, nullptr);
    EXPECT_EQ(qk::ui::CaptureWindow(window).At(100, 100), 0xF0F0F0u) << "unskinned: the class brush";

    const DWORD_PTR skin = entry(kCreate, 0, 0, 0, 0);
    ASSERT_NE(skin, 0u);
    ControlStyle style{sizeof(ControlStyle), 2, "Close.png", {}};
    ChildDescriptor child{sizeof(ChildDescriptor), 1058, &style};
    SkinDescriptor descriptor{sizeof(SkinDescriptor), "C:\\Windows\\System32\\K0340Cvw.bff", kNamedPiece, "BG.png", {}, 1, &child};
    ASSERT_EQ(entry(kAttach, skin, 0, reinterpret_cast<DWORD_PTR>(window), reinterpret_cast<DWORD_PTR>(&descriptor)), 1u);
    qk::ui::Picture skinned = qk::ui::CaptureWindow(window);
    const uint32_t p = skinned.At(100, 100);
    EXPECT_LT((p >> 16) & 0xFF, 0x40u) << "the console's navy background";
    EXPECT_LT(p & 0xFF, 0x60u);
    EXPECT_EQ(skinned.At(182, 16), 0xFFFFFFu) << "the close button's white cross";
    ValueRequest margin{0, "InfoPanelData_InfoPanel.png", "TopBorderMargin", 99};
    EXPECT_EQ(entry(kReadInteger, skin, 0, 0, reinterpret_cast<DWORD_PTR>(&margin)), 24u);

    // The window gets its own procedure back before the code goes away.
    EXPECT_EQ(entry(kDetach, skin, 0, 0, 0), 1u);
    EXPECT_EQ(entry(kDestroy, skin, 0, 0, 0), 1u);
    EXPECT_EQ(qk::ui::CaptureWindow(window).At(100, 100), 0xF0F0F0u);
    DestroyWindow(window);
    EXPECT_TRUE(FreeLibrary(library));
    SetLastError(0);
    EXPECT_EQ(GetProcAddress(library, "CallSkinHook"), nullptr) << "the module is gone with its last reference";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(SkinHookModuleTest, AFileThatIsNoModuleIsRefused) {
    std::ofstream(folder_ / "SkinHook.DLL") << "MZ but nothing a loader can run";
    SetLastError(0);
    EXPECT_EQ(LoadLibraryA(kConsoleFolder), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_EXE_FORMAT));
    EXPECT_EQ(LoadLibraryA("SkinHook.DLL"), nullptr) << "nor is it found in the system folders";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

}  // namespace
