// Files and folders of drive C: as programs use them, the version query and
// the memory probes.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "fileapi.h"
#include "platform/nt/testing/machine_test.h"
#include "winbase.h"

namespace {

class FilesTest : public qk::testing::MachineTest {
protected:
    std::set<std::string> List(const char* folder) {
        std::set<std::string> names;
        WIN32_FIND_DATAA data;
        HANDLE find = FindFirstFileA((std::string(folder) + "\\*").c_str(), &data);
        if (find == INVALID_HANDLE_VALUE) return names;
        do {
            names.insert(data.cFileName + std::string(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY ? "/" : ""));
        } while (FindNextFileA(find, &data));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
        EXPECT_TRUE(FindClose(find));
        return names;
    }
};

TEST_F(FilesTest, AFolderIsListedAttributedAndEmptiedWithoutRegardToCase) {
    ASSERT_TRUE(CreateDirectoryA("C:\\Shortcuts", nullptr));
    ASSERT_TRUE(CreateDirectoryA("C:\\Shortcuts\\Inner", nullptr));
    std::ofstream(Root() / "Shortcuts" / "Camera.lnk") << "link";
    EXPECT_EQ(List("c:\\SHORTCUTS"), (std::set<std::string>{"./", "../", "Inner/", "Camera.lnk"}));
    EXPECT_EQ(GetFileAttributesA("C:\\shortcuts\\camera.LNK"), static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(GetFileAttributesA("C:\\Shortcuts\\Inner"), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_EQ(GetFileAttributesA("C:\\Shortcuts\\None.lnk"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    // A read-only file is refused until it is made writable again.
    ASSERT_TRUE(SetFileAttributesA("C:\\Shortcuts\\Camera.lnk", FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(GetFileAttributesA("C:\\Shortcuts\\Camera.lnk"), static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    EXPECT_FALSE(DeleteFileA("C:\\Shortcuts\\Camera.lnk"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    ASSERT_TRUE(SetFileAttributesA("C:\\Shortcuts\\Camera.lnk", FILE_ATTRIBUTE_NORMAL));
    // A folder with something in it stays.
    EXPECT_FALSE(RemoveDirectoryA("C:\\Shortcuts"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIR_NOT_EMPTY));
    EXPECT_FALSE(DeleteFileA("C:\\Shortcuts\\Inner")) << "a folder is no file";
    EXPECT_TRUE(DeleteFileA("C:\\Shortcuts\\Camera.lnk"));
    EXPECT_TRUE(RemoveDirectoryA("C:\\Shortcuts\\Inner"));
    EXPECT_TRUE(RemoveDirectoryA("C:\\Shortcuts"));
    EXPECT_FALSE(std::filesystem::exists(Root() / "Shortcuts"));
    EXPECT_FALSE(RemoveDirectoryA("C:\\Shortcuts"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST_F(FilesTest, PathsOutsideTheDriveOrAboveItAndBadHandlesAreRefused) {
    std::ofstream(Root().parent_path() / "outside.txt") << "not the machine's";
    for (const char* path : {"C:\\..\\outside.txt", "D:\\outside.txt", "\\outside.txt", "", "C:\\a/../..\\outside.txt"}) {
        EXPECT_EQ(GetFileAttributesA(path), INVALID_FILE_ATTRIBUTES) << path;
        EXPECT_FALSE(DeleteFileA(path)) << path;
    }
    EXPECT_TRUE(std::filesystem::exists(Root().parent_path() / "outside.txt"));
    std::filesystem::remove(Root().parent_path() / "outside.txt");
    EXPECT_FALSE(RemoveDirectoryA("C:\\")) << "the drive's root stays";
    EXPECT_EQ(GetFileAttributesA(nullptr), INVALID_FILE_ATTRIBUTES);
    WIN32_FIND_DATAA data;
    EXPECT_EQ(FindFirstFileA("C:\\Windows", &data), INVALID_HANDLE_VALUE) << "a pattern ends in \\*";
    EXPECT_EQ(FindFirstFileA("C:\\Nowhere\\*", &data), INVALID_HANDLE_VALUE);
    EXPECT_EQ(FindFirstFileA("C:\\*", nullptr), INVALID_HANDLE_VALUE);
    EXPECT_FALSE(FindNextFileA(reinterpret_cast<HANDLE>(0x1234), &data));
    EXPECT_FALSE(FindClose(reinterpret_cast<HANDLE>(0x1234)));
    HANDLE find = FindFirstFileA("C:\\*", &data);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(FindClose(find));
    EXPECT_FALSE(FindClose(find)) << "closed once";
}

TEST_F(FilesTest, TheVersionAndTheMemoryProbes) {
    OSVERSIONINFOA version{};
    EXPECT_FALSE(GetVersionExA(&version)) << "the size field must be set";
    version.dwOSVersionInfoSize = sizeof version;
    ASSERT_TRUE(GetVersionExA(&version));
    EXPECT_EQ(version.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_NT));
    EXPECT_EQ(version.dwMajorVersion, 6u);
    EXPECT_EQ(version.dwMinorVersion, 1u);

    const long page = sysconf(_SC_PAGESIZE);
    auto* pages = static_cast<uint8_t*>(mmap(nullptr, page * 3, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(pages, MAP_FAILED);
    ASSERT_EQ(mprotect(pages + page, page, PROT_READ), 0);
    ASSERT_EQ(mprotect(pages + 2 * page, page, PROT_NONE), 0);
    EXPECT_FALSE(IsBadReadPtr(pages, page * 2));
    EXPECT_TRUE(IsBadReadPtr(pages + page * 2 - 4, 8)) << "runs into the page nobody may read";
    EXPECT_FALSE(IsBadWritePtr(pages, page));
    EXPECT_TRUE(IsBadWritePtr(pages + page - 4, 8)) << "runs into the read-only page";
    EXPECT_TRUE(IsBadReadPtr(nullptr, 4));
    EXPECT_FALSE(IsBadReadPtr(pages, 0));
    EXPECT_TRUE(IsBadReadPtr(reinterpret_cast<void*>(UINTPTR_MAX - 2), 8)) << "wraps around";
    munmap(pages, page * 3);
}

}  // namespace
