// The loader reading a module compiled by the resource compiler: lookups by
// number, by name and by "#number", languages, reference counting, and
// damaged modules refused without reading past their bytes.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/nt/testing/machine_test.h"
#include "platform/win32/pe_resources.h"
#include "windows.h"

namespace {

std::vector<uint8_t> ReadHostFile(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string Text(HMODULE module, HRSRC r) {
    const auto* p = static_cast<const char*>(LockResource(LoadResource(module, r)));
    return std::string(p, SizeofResource(module, r));
}

class LoaderTest : public qk::testing::MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        std::filesystem::create_directories(Root() / "Windows" / "System32");
        std::filesystem::copy_file(QK_TEST_RESOURCES, Root() / "Windows" / "System32" / "Test.crl");
    }
};

TEST_F(LoaderTest, FindsResourcesByNumberNameAndHashNumber) {
    HMODULE m = LoadLibraryExW(u"Test.crl", nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(m, nullptr) << GetLastError();

    HRSRC seven = FindResourceW(m, MAKEINTRESOURCEW(7), MAKEINTRESOURCEW(10));
    ASSERT_NE(seven, nullptr);
    EXPECT_EQ(Text(m, seven), std::string("seven\x07\x08", 7));
    EXPECT_EQ(FindResourceW(m, u"#7", MAKEINTRESOURCEW(10)), seven);

    HRSRC named = FindResourceA(m, "namedblob", MAKEINTRESOURCEA(10));
    ASSERT_NE(named, nullptr) << "names compare without case";
    EXPECT_EQ(Text(m, named), "named");

    HRSRC dialog = FindResourceW(m, MAKEINTRESOURCEW(115), MAKEINTRESOURCEW(5));
    ASSERT_NE(dialog, nullptr);
    const auto* t = static_cast<const uint16_t*>(LockResource(LoadResource(m, dialog)));
    EXPECT_EQ(t[0], 1);       // extended template: dlgVer 1
    EXPECT_EQ(t[1], 0xFFFF);  // signature

    SetLastError(0);
    EXPECT_EQ(FindResourceW(m, MAKEINTRESOURCEW(116), MAKEINTRESOURCEW(5)), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));
    EXPECT_TRUE(FreeLibrary(m));
}

TEST_F(LoaderTest, PrefersTheMachinesLanguage) {
    HMODULE m = LoadLibraryExW(u"C:\\Windows\\System32\\Test.crl", nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(m, nullptr);
    HRSRC eight = FindResourceW(m, MAKEINTRESOURCEW(8), MAKEINTRESOURCEW(10));
    ASSERT_NE(eight, nullptr);
    EXPECT_EQ(Text(m, eight), "English");
    FreeLibrary(m);
}

TEST_F(LoaderTest, CountsReferencesAndRefusesWhatItCannotLoad) {
    HMODULE a = LoadLibraryExA("test.crl", nullptr, LOAD_LIBRARY_AS_DATAFILE);
    HMODULE b = LoadLibraryExW(u"C:\\WINDOWS\\system32\\TEST.CRL", nullptr, LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a, b);
    EXPECT_TRUE(FreeLibrary(a));
    EXPECT_NE(FindResourceW(b, MAKEINTRESOURCEW(7), MAKEINTRESOURCEW(10)), nullptr) << "still loaded once";
    EXPECT_TRUE(FreeLibrary(b));
    EXPECT_EQ(FindResourceW(b, MAKEINTRESOURCEW(7), MAKEINTRESOURCEW(10)), nullptr);
    EXPECT_FALSE(FreeLibrary(b));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    EXPECT_EQ(LoadLibraryExW(u"Missing.crl", nullptr, LOAD_LIBRARY_AS_DATAFILE), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));

    std::ofstream(Root() / "Windows" / "System32" / "Text.crl") << "not a module";
    EXPECT_EQ(LoadLibraryExW(u"Text.crl", nullptr, LOAD_LIBRARY_AS_DATAFILE), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_EXE_FORMAT));

    EXPECT_EQ(LoadLibraryExW(u"Test.crl", nullptr, 0), nullptr) << "only data loads here";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
}

TEST_F(LoaderTest, Kernel32IsAlwaysLoadedAndHandsOutItsRunTimeCalls) {
    HMODULE kernel = GetModuleHandleA("Kernel32.dll");
    ASSERT_NE(kernel, nullptr);
    EXPECT_EQ(GetModuleHandleA("KERNEL32"), kernel) << "the extension is implied";
    EXPECT_EQ(GetModuleHandleW(u"C:\\Windows\\System32\\kernel32.dll"), kernel);
    EXPECT_EQ(LoadLibraryA("kernel32.dll"), kernel);
    EXPECT_TRUE(FreeLibrary(kernel));
    EXPECT_TRUE(FreeLibrary(kernel)) << "the process's own use stays";
    EXPECT_EQ(GetModuleHandleA("kernel32.dll"), kernel);

    using IsWow64ProcessFn = BOOL (*)(HANDLE, BOOL*);
    using DirectoryFn = UINT (*)(LPSTR, UINT);
    auto isWow64 = reinterpret_cast<IsWow64ProcessFn>(reinterpret_cast<void*>(GetProcAddress(kernel, "IsWow64Process")));
    auto wow64Directory = reinterpret_cast<DirectoryFn>(reinterpret_cast<void*>(GetProcAddress(kernel, "GetSystemWow64DirectoryA")));
    auto systemDirectory = reinterpret_cast<DirectoryFn>(reinterpret_cast<void*>(GetProcAddress(kernel, "GetSystemDirectoryA")));
    ASSERT_NE(isWow64, nullptr);
    ASSERT_NE(wow64Directory, nullptr);
    ASSERT_NE(systemDirectory, nullptr);
    BOOL wow64 = TRUE;
    EXPECT_TRUE(isWow64(GetCurrentProcess(), &wow64));
    EXPECT_FALSE(wow64) << "the machine's processes are native";
    char folder[260] = {};
    EXPECT_EQ(wow64Directory(folder, sizeof folder), 0u);
    EXPECT_EQ(systemDirectory(folder, sizeof folder), 19u);
    EXPECT_STREQ(folder, "C:\\Windows\\System32");
    SetLastError(0);
    EXPECT_EQ(GetProcAddress(kernel, "CreateRemoteThreadEx"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));

    // Only code modules are found: a file opened as data is not loaded for the program.
    HMODULE data = LoadLibraryExA("Test.crl", nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(data, nullptr);
    SetLastError(0);
    EXPECT_EQ(GetModuleHandleA("Test.crl"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    EXPECT_EQ(GetModuleHandleA("SkinHook.DLL"), nullptr);
    EXPECT_EQ(GetModuleHandleA(nullptr), nullptr);
    FreeLibrary(data);
}

// Every prefix of a sound module either parses or is refused; the entries a
// parse yields lie inside the bytes it was given (ASan checks the rest).
TEST(ResourceImage, TruncatedModulesAreRefusedOrStayInBounds) {
    const std::vector<uint8_t> whole = ReadHostFile(QK_TEST_RESOURCES);
    ASSERT_GT(whole.size(), 512u);
    size_t refused = 0;
    for (size_t n = 0; n < whole.size(); n += 7) {
        std::string error;
        auto image = qk::win32::ResourceImage::Parse({whole.begin(), whole.begin() + n}, &error);
        if (!image) {
            EXPECT_FALSE(error.empty());
            ++refused;
        }
    }
    EXPECT_GT(refused, 0u);
    std::string error;
    auto image = qk::win32::ResourceImage::Parse(whole, &error);
    ASSERT_NE(image, nullptr) << error;
    EXPECT_EQ(image->Entries().size(), 7u);  // 2 string blocks, 7, NAMEDBLOB, 8 twice, 115
}

TEST(ResourceImage, CorruptedWordsAreRefusedOrStayInBounds) {
    std::vector<uint8_t> bytes = ReadHostFile(QK_TEST_RESOURCES);
    std::string error;
    auto image = qk::win32::ResourceImage::Parse(bytes, &error);
    ASSERT_NE(image, nullptr);
    // Make every word of the module point far away, one at a time (offsets,
    // counts and sizes among them), and expect a reason rather than a crash.
    size_t refused = 0;
    for (size_t at = 0; at + 4 <= bytes.size(); at += 4) {
        std::vector<uint8_t> copy = bytes;
        copy[at + 2] = 0x7F;
        copy[at + 1] = 0xFF;
        std::string why;
        if (!qk::win32::ResourceImage::Parse(std::move(copy), &why)) {
            EXPECT_FALSE(why.empty());
            ++refused;
        }
    }
    EXPECT_GT(refused, 10u);
}

}  // namespace
