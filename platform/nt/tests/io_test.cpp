#include <gtest/gtest.h>
#include <sys/mman.h>

#include <string>
#include <vector>

#include "platform/nt/io_manager.h"
#include "platform/nt/kernel.h"
#include "platform/nt/testing/machine_test.h"
#include "wdm.h"

namespace {

using qk::verifier::Violation;

// One test driver plays three roles in a stack, chosen by the device extension.
enum class Role { Bottom, Middle, Top };
enum class BottomMode { CompleteNow, PendLater, PendWithoutMark };

struct Extension {
    Role role;
    PDEVICE_OBJECT lower;
    BottomMode mode;
    std::vector<std::string>* log;
    PIRP held;
    KEVENT forwarded;
    bool pendingSeenByTop;
};

constexpr ULONG kIoctlEcho = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kIoctlDirect = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);

NTSTATUS MiddleCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    auto* ext = static_cast<Extension*>(device->DeviceExtension);
    ext->log->push_back("middle completion");
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    return STATUS_SUCCESS;
}

NTSTATUS TopCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    auto* ext = static_cast<Extension*>(device->DeviceExtension);
    ext->log->push_back("top completion");
    ext->pendingSeenByTop = irp->PendingReturned;
    KeSetEvent(&ext->forwarded, 0, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void CompleteHeld(PDEVICE_OBJECT device, PVOID context) {
    auto* ext = static_cast<Extension*>(device->DeviceExtension);
    PIRP irp = ext->held;
    ext->held = nullptr;
    ext->log->push_back("bottom completes later");
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 4;
    std::memcpy(irp->AssociatedIrp.SystemBuffer, "done", 4);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    IoFreeWorkItem(static_cast<PIO_WORKITEM>(context));
}

NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    auto* ext = static_cast<Extension*>(device->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction == IRP_MJ_CREATE || stack->MajorFunction == IRP_MJ_CLOSE ||
        stack->MajorFunction == IRP_MJ_CLEANUP) {
        if (ext->role != Role::Bottom) {
            IoSkipCurrentIrpStackLocation(irp);
            return IoCallDriver(ext->lower, irp);
        }
        ext->log->push_back(stack->MajorFunction == IRP_MJ_CREATE    ? "create"
                            : stack->MajorFunction == IRP_MJ_CLEANUP ? "cleanup"
                                                                     : "close");
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }
    switch (ext->role) {
        case Role::Top: {
            ext->log->push_back("top dispatch");
            KeInitializeEvent(&ext->forwarded, NotificationEvent, FALSE);
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, TopCompletion, nullptr, TRUE, TRUE, TRUE);
            if (IoCallDriver(ext->lower, irp) == STATUS_PENDING) {
                KeWaitForSingleObject(&ext->forwarded, Executive, KernelMode, FALSE, nullptr);
            }
            NTSTATUS status = irp->IoStatus.Status;
            ext->log->push_back("top completes");
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return status;
        }
        case Role::Middle:
            ext->log->push_back("middle dispatch");
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, MiddleCompletion, nullptr, TRUE, TRUE, TRUE);
            return IoCallDriver(ext->lower, irp);
        case Role::Bottom:
            ext->log->push_back("bottom dispatch");
            if (stack->Parameters.DeviceIoControl.IoControlCode == kIoctlDirect) {
                auto* out = static_cast<char*>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
                std::memcpy(out, "mdl!", 4);
                irp->IoStatus.Status = STATUS_SUCCESS;
                irp->IoStatus.Information = 4;
                IoCompleteRequest(irp, IO_NO_INCREMENT);
                return STATUS_SUCCESS;
            }
            if (ext->mode == BottomMode::CompleteNow) {
                irp->IoStatus.Status = STATUS_SUCCESS;
                irp->IoStatus.Information = 3;
                std::memcpy(irp->AssociatedIrp.SystemBuffer, "now", 3);
                IoCompleteRequest(irp, IO_NO_INCREMENT);
                return STATUS_SUCCESS;
            }
            if (ext->mode == BottomMode::PendLater) IoMarkIrpPending(irp);
            ext->held = irp;
            PIO_WORKITEM item = IoAllocateWorkItem(device);
            IoQueueWorkItem(item, CompleteHeld, DelayedWorkQueue, item);
            return STATUS_PENDING;
    }
    return STATUS_INVALID_DEVICE_REQUEST;
}

NTSTATUS TestDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) driver->MajorFunction[i] = Dispatch;
    return STATUS_SUCCESS;
}

class IoTest : public qk::testing::MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        ASSERT_EQ(qk::nt::io::CreateDriver(u"StackTest", TestDriverEntry, &driver_), STATUS_SUCCESS);
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, u"\\Device\\StackBottom");
        ASSERT_EQ(IoCreateDevice(driver_, sizeof(Extension), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &bottom_),
                  STATUS_SUCCESS);
        ASSERT_EQ(IoCreateDevice(driver_, sizeof(Extension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &middle_),
                  STATUS_SUCCESS);
        ASSERT_EQ(IoCreateDevice(driver_, sizeof(Extension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &top_),
                  STATUS_SUCCESS);
        Setup(bottom_, Role::Bottom, nullptr);
        Setup(middle_, Role::Middle, IoAttachDeviceToDeviceStack(middle_, bottom_));
        Setup(top_, Role::Top, IoAttachDeviceToDeviceStack(top_, bottom_));
        UNICODE_STRING link;
        RtlInitUnicodeString(&link, u"\\DosDevices\\StackTest");
        ASSERT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_SUCCESS);
    }
    void TearDown() override {
        IoDetachDevice(middle_);
        IoDetachDevice(bottom_);
        IoDeleteDevice(top_);
        IoDeleteDevice(middle_);
        IoDeleteDevice(bottom_);
        UNICODE_STRING link;
        RtlInitUnicodeString(&link, u"\\DosDevices\\StackTest");
        IoDeleteSymbolicLink(&link);
        EXPECT_EQ(qk::nt::io::UnloadDriver(driver_), STATUS_SUCCESS);
        MachineTest::TearDown();
    }
    void Setup(PDEVICE_OBJECT device, Role role, PDEVICE_OBJECT lower) {
        auto* ext = static_cast<Extension*>(device->DeviceExtension);
        ext->role = role;
        ext->lower = lower;
        ext->mode = BottomMode::CompleteNow;
        ext->log = &log_;
        device->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    Extension* Bottom() { return static_cast<Extension*>(bottom_->DeviceExtension); }

    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT bottom_ = nullptr, middle_ = nullptr, top_ = nullptr;
    std::vector<std::string> log_;
};

TEST_F(IoTest, StackIsBuiltWithGrowingStackSizes) {
    EXPECT_EQ(bottom_->StackSize, 1);
    EXPECT_EQ(middle_->StackSize, 2);
    EXPECT_EQ(top_->StackSize, 3);
    EXPECT_EQ(IoGetAttachedDevice(bottom_), top_);
    EXPECT_EQ(qk::nt::io::BottomDevice(top_), bottom_);
    std::u16string rest;
    EXPECT_EQ(qk::nt::io::ResolveDevice(u"\\\\.\\StackTest\\pin", &rest), bottom_);
    EXPECT_EQ(rest, u"\\pin");
    EXPECT_EQ(qk::nt::io::ResolveDevice(u"\\??\\NoSuchThing", &rest), nullptr);
}

TEST_F(IoTest, CompletionRunsBottomUpWhenCompletedAtOnce) {
    HANDLE h;
    ASSERT_EQ(qk::nt::io::OpenDevice(u"\\\\.\\StackTest", GENERIC_READ, &h), STATUS_SUCCESS);
    char out[8] = {};
    ULONG returned = 0;
    EXPECT_EQ(qk::nt::io::DeviceControl(h, kIoctlEcho, "in", 2, out, sizeof out, &returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, 3u);
    EXPECT_STREQ(out, "now");
    EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
    std::vector<std::string> expected = {"create",          "top dispatch",      "middle dispatch", "bottom dispatch",
                                         "middle completion", "top completion", "top completes",   "cleanup",
                                         "close"};
    EXPECT_EQ(log_, expected);
    EXPECT_FALSE(Bottom()->pendingSeenByTop || static_cast<Extension*>(top_->DeviceExtension)->pendingSeenByTop);
    EXPECT_EQ(qk::nt::io::LiveIrpCount(), 0u);
}

TEST_F(IoTest, PendingPropagatesToTheTopAndTheCallerWaits) {
    Bottom()->mode = BottomMode::PendLater;
    HANDLE h;
    ASSERT_EQ(qk::nt::io::OpenDevice(u"\\\\.\\StackTest", GENERIC_READ, &h), STATUS_SUCCESS);
    char out[8] = {};
    ULONG returned = 0;
    EXPECT_EQ(qk::nt::io::DeviceControl(h, kIoctlEcho, nullptr, 0, out, sizeof out, &returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, 4u);
    EXPECT_STREQ(out, "done");
    EXPECT_TRUE(static_cast<Extension*>(top_->DeviceExtension)->pendingSeenByTop);
    ZwClose(h);
    std::vector<std::string> expected = {"create",           "top dispatch",      "middle dispatch",
                                         "bottom dispatch",  "bottom completes later", "middle completion",
                                         "top completion",   "top completes",     "cleanup",
                                         "close"};
    EXPECT_EQ(log_, expected);
}

TEST_F(IoTest, DirectIoDescribesTheCallersBuffer) {
    HANDLE h;
    ASSERT_EQ(qk::nt::io::OpenDevice(u"\\??\\StackTest", GENERIC_READ, &h), STATUS_SUCCESS);
    char out[4] = {};
    ULONG returned = 0;
    EXPECT_EQ(qk::nt::io::DeviceControl(h, kIoctlDirect, nullptr, 0, out, sizeof out, &returned), STATUS_SUCCESS);
    EXPECT_EQ(std::string(out, 4), "mdl!");
    ZwClose(h);
}

TEST_F(IoTest, PendingWithoutMarkIsReported) {
    Bottom()->mode = BottomMode::PendWithoutMark;
    KEVENT done;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    char out[8];
    PIRP irp = IoBuildDeviceIoControlRequest(kIoctlEcho, bottom_, nullptr, 0, out, sizeof out, FALSE, &done, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoCallDriver(bottom_, irp), STATUS_PENDING);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(TakeViolations(Violation::IrpPendingNotMarked), 1u);
}

NTSTATUS FreeOnCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    *static_cast<PDEVICE_OBJECT*>(context) = device;
    return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(IoTest, DoubleCompletionAndCompletionOfAFreedIrpAreCaught) {
    PIRP irp = IoAllocateIrp(bottom_->StackSize, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = kIoctlEcho;
    char buffer[8];
    irp->AssociatedIrp.SystemBuffer = buffer;
    PDEVICE_OBJECT seen = reinterpret_cast<PDEVICE_OBJECT>(1);
    IoSetCompletionRoutine(irp, FreeOnCompletion, &seen, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(bottom_, irp), STATUS_SUCCESS);
    EXPECT_EQ(seen, nullptr);  // the allocator's routine runs with no device of its own
    IoCompleteRequest(irp, IO_NO_INCREMENT);  // already completed past its last location
    EXPECT_EQ(TakeViolations(Violation::IrpDoubleCompletion), 1u);
    IoFreeIrp(irp);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_EQ(TakeViolations(Violation::IrpFreedInUse), 1u);
    EXPECT_EQ(qk::nt::io::LiveIrpCount(), 0u);
}

VOID CancelHeld(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS NoteStatus(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    *static_cast<NTSTATUS*>(context) = irp->IoStatus.Status;
    return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(IoTest, CancelCallsTheCancelRoutine) {
    PIRP irp = IoAllocateIrp(1, FALSE);
    NTSTATUS seen = STATUS_PENDING;
    IoSetCompletionRoutine(irp, NoteStatus, &seen, TRUE, TRUE, TRUE);
    EXPECT_FALSE(IoCancelIrp(irp));  // no cancel routine: only flagged
    EXPECT_TRUE(irp->Cancel);
    irp->Cancel = FALSE;
    // Pretend a driver holds it in a queue.
    irp->CurrentLocation--;
    irp->Tail.Overlay.CurrentStackLocation--;
    irp->Tail.Overlay.CurrentStackLocation->DeviceObject = bottom_;
    IoSetCancelRoutine(irp, CancelHeld);
    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_EQ(seen, STATUS_CANCELLED);
    IoFreeIrp(irp);
}

TEST_F(IoTest, NamesAreUniqueAndLinksResolve) {
    UNICODE_STRING name, link;
    RtlInitUnicodeString(&name, u"\\device\\STACKBOTTOM");
    PDEVICE_OBJECT dup;
    EXPECT_EQ(IoCreateDevice(driver_, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &dup), STATUS_OBJECT_NAME_COLLISION);
    RtlInitUnicodeString(&link, u"\\GLOBAL??\\stacktest");
    EXPECT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_TRUE(qk::nt::io::SymbolicLinkExists(u"\\DosDevices\\STACKTEST"));
    HANDLE h;
    EXPECT_EQ(qk::nt::io::OpenDevice(u"\\\\.\\Missing", GENERIC_READ, &h), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST(IoVersion, WdmVersionQueryIsOrdered) {
    qk::Machine machine(std::filesystem::temp_directory_path() / "qk-wdm-version");
    qk::nt::Boot(machine);
    qk::nt::io::SetWdmVersion(1, 0x10);
    EXPECT_TRUE(IoIsWdmVersionAvailable(1, 0x05));
    EXPECT_TRUE(IoIsWdmVersionAvailable(1, 0x10));
    EXPECT_FALSE(IoIsWdmVersionAvailable(1, 0x20));
    EXPECT_FALSE(IoIsWdmVersionAvailable(2, 0x00));
}

// The probe of a caller's buffer finds a page it may not touch anywhere in a
// long range (past the first batch of pages it checks at once), and leaves
// the bytes of the pages it may touch as they were.
TEST(IoProbe, EveryPageOfALongBufferIsChecked) {
    constexpr size_t kPages = 600;
    void* block = mmap(nullptr, kPages * 0x1000, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(block, MAP_FAILED);
    auto* bytes = static_cast<unsigned char*>(block);
    for (size_t i = 0; i < kPages * 0x1000; i += 0x1000) bytes[i] = static_cast<unsigned char>(i / 0x1000);
    auto probe = [&](size_t offset, size_t length, LOCK_OPERATION operation) {
        PMDL mdl = IoAllocateMdl(bytes + offset, static_cast<ULONG>(length), FALSE, FALSE, nullptr);
        NTSTATUS status = STATUS_SUCCESS;
        try {
            MmProbeAndLockPages(mdl, UserMode, operation);
            MmUnlockPages(mdl);
        } catch (const qk::nt::StatusException& e) {
            status = e.Status();
        }
        IoFreeMdl(mdl);
        return status;
    };
    EXPECT_EQ(probe(100, kPages * 0x1000 - 200, IoWriteAccess), STATUS_SUCCESS);
    for (size_t i = 0; i < kPages; ++i) ASSERT_EQ(bytes[i * 0x1000], static_cast<unsigned char>(i)) << "page " << i;
    // Page 520 can be read, not written; page 590 is gone.
    ASSERT_EQ(mprotect(bytes + 520 * 0x1000, 0x1000, PROT_READ), 0);
    EXPECT_EQ(probe(0, kPages * 0x1000 - 0x2000, IoReadAccess), STATUS_SUCCESS);
    EXPECT_EQ(probe(0, kPages * 0x1000 - 0x2000, IoWriteAccess), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(probe(0, 520 * 0x1000, IoWriteAccess), STATUS_SUCCESS);
    ASSERT_EQ(munmap(bytes + 590 * 0x1000, 0x1000), 0);
    EXPECT_EQ(probe(0x1000, 589 * 0x1000, IoReadAccess), STATUS_SUCCESS);
    EXPECT_EQ(probe(0x1000, 589 * 0x1000 + 1, IoReadAccess), STATUS_ACCESS_VIOLATION);
    munmap(bytes, 590 * 0x1000);
    munmap(bytes + 591 * 0x1000, (kPages - 591) * 0x1000);
}

}  // namespace
