#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "platform/nt/io_manager.h"
#include "platform/nt/testing/machine_test.h"
#include "wdm.h"
#include "windows.h"

namespace {

constexpr ULONG kEcho = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS);

NTSTATUS Dispatch(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
        ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
        ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
        if (stack->Parameters.DeviceIoControl.IoControlCode != kEcho) {
            status = STATUS_INVALID_DEVICE_REQUEST;
        } else if (out < in) {
            status = STATUS_BUFFER_TOO_SMALL;
        } else {
            // The system buffer holds the input; the answer goes back in place, reversed.
            auto* b = static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
            for (ULONG i = 0; i < in / 2; ++i) std::swap(b[i], b[in - 1 - i]);
            information = in;
        }
    }
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

VOID Unload(PDRIVER_OBJECT driver) {
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, u"\\DosDevices\\K32Test");
    IoDeleteSymbolicLink(&link);
    IoDeleteDevice(driver->DeviceObject);
}

NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    UNICODE_STRING name, link;
    RtlInitUnicodeString(&name, u"\\Device\\K32Test");
    RtlInitUnicodeString(&link, u"\\DosDevices\\K32Test");
    PDEVICE_OBJECT device;
    NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (NT_SUCCESS(status)) status = IoCreateSymbolicLink(&link, &name);
    for (auto& f : driver->MajorFunction) f = Dispatch;
    driver->DriverUnload = Unload;
    return status;
}

class Kernel32Test : public qk::testing::MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        ASSERT_EQ(qk::nt::io::CreateDriver(u"K32Test", Entry, &driver_), STATUS_SUCCESS);
    }
    void TearDown() override {
        qk::nt::io::UnloadDriver(driver_);
        MachineTest::TearDown();
    }
    PDRIVER_OBJECT driver_ = nullptr;
};

TEST_F(Kernel32Test, ANamedDeviceIsReachedThroughCreateFileAndDeviceIoControl) {
    HANDLE h = CreateFileW(u"\\\\.\\K32Test", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    char buffer[8] = "abcd";
    DWORD returned = 0;
    ASSERT_TRUE(DeviceIoControl(h, kEcho, buffer, 4, buffer, sizeof buffer, &returned, nullptr));
    EXPECT_EQ(returned, 4u);
    EXPECT_EQ(std::string(buffer, 4), "dcba");
    EXPECT_FALSE(DeviceIoControl(h, kEcho, buffer, 4, buffer, 2, &returned, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_FALSE(DeviceIoControl(h, kEcho + 4, buffer, 4, buffer, 8, &returned, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_FALSE(CloseHandle(h));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(DeviceIoControl(INVALID_HANDLE_VALUE, kEcho, buffer, 4, buffer, 8, &returned, nullptr));

    EXPECT_EQ(CreateFileA("\\\\.\\NoSuchDevice", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(Kernel32Test, FilesOfTheSystemRootReadAndWrite) {
    HANDLE h = CreateFileW(u"C:\\Windows\\note.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(h, "hello", 5, &written, nullptr));
    EXPECT_EQ(written, 5u);
    CloseHandle(h);
    h = CreateFileW(u"c:\\windows\\NOTE.TXT", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    char buffer[16] = {};
    DWORD read = 0;
    ASSERT_TRUE(ReadFile(h, buffer, sizeof buffer, &read, nullptr));
    EXPECT_EQ(std::string(buffer, read), "hello");
    ASSERT_TRUE(ReadFile(h, buffer, sizeof buffer, &read, nullptr));
    EXPECT_EQ(read, 0u);  // at the end
    CloseHandle(h);
    EXPECT_EQ(CreateFileW(u"C:\\Windows\\missing.txt", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(CreateFileW(u"relative\\path", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_PATHNAME));
    EXPECT_EQ(CreateFileW(u"C:\\Windows\\note.txt", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
}

}  // namespace
