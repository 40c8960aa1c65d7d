// A driver built as a loadable module: its DriverEntry creates a named device
// with a symbolic link, and its unload routine removes them.
#include "wdm.h"

namespace {

UNICODE_STRING g_link;

NTSTATUS Succeed(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

VOID Unload(PDRIVER_OBJECT driver) {
    IoDeleteSymbolicLink(&g_link);
    IoDeleteDevice(driver->DeviceObject);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\QkModuleTest");
    RtlInitUnicodeString(&g_link, u"\\DosDevices\\QkModuleTest");
    PDEVICE_OBJECT device;
    NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    status = IoCreateSymbolicLink(&g_link, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return status;
    }
    driver->MajorFunction[IRP_MJ_CREATE] = Succeed;
    driver->MajorFunction[IRP_MJ_CLOSE] = Succeed;
    driver->MajorFunction[IRP_MJ_CLEANUP] = Succeed;
    driver->DriverUnload = Unload;
    DbgPrint("QkModuleTest: loaded from %wZ\n", path);
    return STATUS_SUCCESS;
}
