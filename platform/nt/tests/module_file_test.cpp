#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/nt/debug.h"
#include "platform/nt/io_manager.h"
#include "platform/nt/testing/machine_test.h"
#include "wdm.h"

#ifndef QK_TEST_MODULE_PATH
#error "QK_TEST_MODULE_PATH must name the built test module"
#endif

namespace {

class ModuleAndFileTest : public qk::testing::MachineTest {};

TEST_F(ModuleAndFileTest, DriverLoadsFromItsModuleFileAndUnloads) {
    PDRIVER_OBJECT driver = nullptr;
    EXPECT_EQ(qk::nt::io::LoadDriver(u"QkModuleTest", u"\\SystemRoot\\System32\\drivers\\QkModuleTest.sys", &driver),
              STATUS_DRIVER_UNABLE_TO_LOAD);  // not installed yet
    std::filesystem::copy_file(QK_TEST_MODULE_PATH, TheMachine().DriversFolder() / "QkModuleTest.sys");
    ASSERT_EQ(qk::nt::io::LoadDriver(u"QkModuleTest", u"\\SystemRoot\\System32\\drivers\\QkModuleTest.sys", &driver),
              STATUS_SUCCESS);
    EXPECT_TRUE(qk::debug::Contains("QkModuleTest: loaded from \\Registry\\Machine\\System\\CurrentControlSet\\Services\\QkModuleTest"));
    HANDLE h;
    ASSERT_EQ(qk::nt::io::OpenDevice(u"\\\\.\\QkModuleTest", GENERIC_READ, &h), STATUS_SUCCESS);
    ZwClose(h);
    EXPECT_EQ(qk::nt::io::UnloadDriver(driver), STATUS_SUCCESS);
    EXPECT_FALSE(qk::nt::io::SymbolicLinkExists(u"\\DosDevices\\QkModuleTest"));
}

NTSTATUS OpenKernelFile(const char16_t* path, ULONG disposition, ACCESS_MASK access, HANDLE* h) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, path);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    IO_STATUS_BLOCK iosb;
    return ZwCreateFile(h, access, &oa, &iosb, nullptr, FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ, disposition,
                        FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, nullptr, 0);
}

TEST_F(ModuleAndFileTest, KernelFilesAreReadFromTheSystemRootOnly) {
    std::ofstream(TheMachine().DriversFolder() / "Picture.bmp", std::ios::binary) << "BM-picture-bytes";
    HANDLE h;
    ASSERT_EQ(OpenKernelFile(u"\\SystemRoot\\system32\\DRIVERS\\picture.BMP", FILE_OPEN, GENERIC_READ, &h),
              STATUS_SUCCESS);
    FILE_STANDARD_INFORMATION info;
    IO_STATUS_BLOCK iosb;
    ASSERT_EQ(ZwQueryInformationFile(h, &iosb, &info, sizeof info, FileStandardInformation), STATUS_SUCCESS);
    EXPECT_EQ(info.EndOfFile.QuadPart, 16);
    char buffer[8];
    LARGE_INTEGER offset;
    offset.QuadPart = 3;
    ASSERT_EQ(ZwReadFile(h, nullptr, nullptr, nullptr, &iosb, buffer, sizeof buffer, &offset, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 8u);
    EXPECT_EQ(std::string(buffer, 8), "picture-");
    offset.QuadPart = 100;
    EXPECT_EQ(ZwReadFile(h, nullptr, nullptr, nullptr, &iosb, buffer, sizeof buffer, &offset, nullptr), STATUS_END_OF_FILE);
    char one;
    EXPECT_EQ(ZwWriteFile(h, nullptr, nullptr, nullptr, &iosb, &one, 1, nullptr, nullptr), STATUS_ACCESS_DENIED);
    ZwClose(h);

    EXPECT_EQ(OpenKernelFile(u"\\SystemRoot\\System32\\drivers\\missing.bmp", FILE_OPEN, GENERIC_READ, &h),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(OpenKernelFile(u"\\SystemRoot\\..\\..\\..\\etc\\passwd", FILE_OPEN, GENERIC_READ, &h),
              STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(OpenKernelFile(u"\\Device\\HarddiskVolume1\\x", FILE_OPEN, GENERIC_READ, &h), STATUS_OBJECT_PATH_NOT_FOUND);
    ASSERT_EQ(OpenKernelFile(u"\\??\\C:\\Windows\\new.txt", FILE_CREATE, GENERIC_WRITE, &h), STATUS_SUCCESS);
    EXPECT_EQ(ZwWriteFile(h, nullptr, nullptr, nullptr, &iosb, const_cast<char*>("abc"), 3, nullptr, nullptr), STATUS_SUCCESS);
    ZwClose(h);
    EXPECT_EQ(std::filesystem::file_size(Root() / "Windows" / "new.txt"), 3u);
}

}  // namespace
