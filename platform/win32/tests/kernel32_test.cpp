#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include "platform/nt/io_manager.h"
#include "platform/nt/testing/machine_test.h"
#include "wdm.h"
#include "windows.h"

namespace {

constexpr ULONG kEcho = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS);
// Held until kRelease answers it (with the release's first byte) or it is cancelled.
constexpr ULONG kHold = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x910, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kRelease = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x911, METHOD_BUFFERED, FILE_ANY_ACCESS);

KSPIN_LOCK g_heldLock;
std::vector<PIRP> g_held;  // guarded by g_heldLock

VOID CancelHeld(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    KIRQL old;
    KeAcquireSpinLock(&g_heldLock, &old);
    std::erase(g_held, irp);
    KeReleaseSpinLock(&g_heldLock, old);
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS Dispatch(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL && stack->Parameters.DeviceIoControl.IoControlCode == kHold) {
        IoMarkIrpPending(irp);
        KIRQL old;
        KeAcquireSpinLock(&g_heldLock, &old);
        g_held.push_back(irp);
        IoSetCancelRoutine(irp, CancelHeld);
        KeReleaseSpinLock(&g_heldLock, old);
        return STATUS_PENDING;
    }
    if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL && stack->Parameters.DeviceIoControl.IoControlCode == kRelease) {
        uint8_t value = *static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
        std::vector<PIRP> taken;
        KIRQL old;
        KeAcquireSpinLock(&g_heldLock, &old);
        for (PIRP held : g_held) {
            if (IoSetCancelRoutine(held, nullptr) != nullptr) taken.push_back(held);
        }
        g_held.clear();
        KeReleaseSpinLock(&g_heldLock, old);
        for (PIRP held : taken) {
            *static_cast<uint8_t*>(held->AssociatedIrp.SystemBuffer) = value;
            held->IoStatus.Status = STATUS_SUCCESS;
            held->IoStatus.Information = 1;
            IoCompleteRequest(held, IO_NO_INCREMENT);
        }
    } else if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
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

TEST_F(Kernel32Test, OverlappedRequestsCompleteLaterAndAreCancelledWithTheLastHandle) {
    KeInitializeSpinLock(&g_heldLock);
    HANDLE h = CreateFileW(u"\\\\.\\K32Test", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    HANDLE event = CreateEventW(nullptr, TRUE, TRUE, nullptr);  // signalled: the call must reset it
    ASSERT_NE(event, nullptr);
    OVERLAPPED ov{};
    ov.hEvent = event;
    uint8_t answer[4] = {0, 0, 0, 0};
    DWORD returned = 99;
    EXPECT_FALSE(DeviceIoControl(h, kHold, nullptr, 0, answer, sizeof answer, &returned, &ov));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_EQ(WaitForSingleObject(event, 50), WAIT_TIMEOUT);
    EXPECT_FALSE(GetOverlappedResult(h, &ov, &returned, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));

    // A synchronous request on the same handle answers the held one.
    uint8_t value = 0x5A;
    ASSERT_TRUE(DeviceIoControl(h, kRelease, &value, 1, nullptr, 0, &returned, nullptr));
    EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
    ASSERT_TRUE(GetOverlappedResult(h, &ov, &returned, TRUE));
    EXPECT_EQ(returned, 1u);
    EXPECT_EQ(answer[0], 0x5A);

    // One that finishes in the dispatch routine reports at once.
    char text[4] = "ab";
    OVERLAPPED quick{};
    quick.hEvent = event;
    ASSERT_TRUE(DeviceIoControl(h, kEcho, text, 2, text, sizeof text, &returned, &quick));
    EXPECT_EQ(returned, 2u);
    EXPECT_EQ(std::string(text, 2), "ba");

    // Two held requests, one without an event: closing the handle cancels both.
    OVERLAPPED first{}, second{};
    first.hEvent = event;
    EXPECT_FALSE(DeviceIoControl(h, kHold, nullptr, 0, answer, 1, nullptr, &first));
    EXPECT_FALSE(DeviceIoControl(h, kHold, nullptr, 0, answer, 1, nullptr, &second));
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(WaitForSingleObject(event, 1000), WAIT_OBJECT_0);
    EXPECT_FALSE(GetOverlappedResult(h, &first, &returned, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_FALSE(GetOverlappedResult(h, &second, &returned, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_TRUE(g_held.empty());
    EXPECT_EQ(qk::nt::io::LiveIrpCount(), 0u);

    EXPECT_TRUE(CloseHandle(event));
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
