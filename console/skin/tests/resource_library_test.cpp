// The console's resource library by name: the resource source while it is
// loaded, unloaded after, kept by the integrated window, and a missing
// library making no noise.
#include <gtest/gtest.h>

#include <filesystem>

#include "console/skin/info_panel.h"
#include "console/skin/resource_library.h"
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

}  // namespace
