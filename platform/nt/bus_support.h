// What the machine's bus drivers (USB, high-definition audio) share: answers
// to their children's Plug and Play queries in pool strings, completing and
// forwarding requests, and the installation entries of a root-enumerated bus.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/nt/pool.h"
#include "platform/nt/reg_util.h"
#include "wdm.h"

namespace qk::nt::bus {

inline constexpr ULONG kStringTag = qk::nt::pool::Tag("BusS");

inline NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// A string (`multi`: with the second terminator of a list) in paged pool, as
// IRP_MN_QUERY_ID and IRP_MN_QUERY_DEVICE_TEXT answer.
inline PWSTR PoolString(const std::u16string& s, bool multi) {
    const size_t units = s.size() + (multi ? 2 : 1);
    auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, units * sizeof(WCHAR), kStringTag));
    if (buffer == nullptr) return nullptr;
    std::memcpy(buffer, s.data(), s.size() * sizeof(WCHAR));
    for (size_t i = s.size(); i < units; ++i) buffer[i] = 0;
    return buffer;
}

inline PWSTR PoolMulti(const std::vector<std::u16string>& ids) {
    std::u16string joined;
    for (const auto& id : ids) {
        joined += id;
        joined.push_back(0);
    }
    if (!joined.empty()) joined.pop_back();
    return PoolString(joined, true);
}

inline NTSTATUS SignalEvent(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends the request down and waits for it to come back (start: the device
// below starts first); the caller completes it.
inline NTSTATUS ForwardAndWait(PDEVICE_OBJECT lower, PIRP irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalEvent, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(lower, irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return irp->IoStatus.Status;
}

// A child's answer to TargetDeviceRelation: itself, referenced.
inline NTSTATUS TargetRelation(PDEVICE_OBJECT device, ULONG_PTR* information) {
    auto* relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kStringTag));
    if (relations == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    relations->Count = 1;
    relations->Objects[0] = device;
    ObReferenceObject(device);
    *information = reinterpret_cast<ULONG_PTR>(relations);
    return STATUS_SUCCESS;
}

// The bus driver's service entry (a kernel driver Plug and Play loads on
// demand) and the driver-database entry of its root device.
inline NTSTATUS WriteRootBusEntries(const std::u16string& service, const std::u16string& image,
                                    const std::u16string& deviceId, const std::u16string& description,
                                    const std::u16string& classGuid, const std::u16string& className) {
    HANDLE key;
    NTSTATUS status = reg::CreatePath(u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\" + service,
                                      KEY_ALL_ACCESS, &key);
    if (!NT_SUCCESS(status)) return status;
    reg::SetString(key, u"ImagePath", u"\\SystemRoot\\System32\\drivers\\" + image, REG_EXPAND_SZ);
    reg::SetDword(key, u"Type", 1);   // kernel driver
    reg::SetDword(key, u"Start", 3);  // on demand, loaded by Plug and Play
    reg::SetDword(key, u"ErrorControl", 1);
    reg::SetString(key, u"DisplayName", description);
    ZwClose(key);
    std::u16string id = deviceId;
    std::replace(id.begin(), id.end(), u'\\', u'#');
    status = reg::CreatePath(u"\\Registry\\Machine\\SYSTEM\\DriverDatabase\\DeviceIds\\" + id, KEY_ALL_ACCESS, &key);
    if (!NT_SUCCESS(status)) return status;
    reg::SetString(key, u"Service", service);
    reg::SetString(key, u"ClassGUID", classGuid);
    reg::SetString(key, u"Class", className);
    reg::SetString(key, u"DeviceDesc", description);
    ZwClose(key);
    return STATUS_SUCCESS;
}

}  // namespace qk::nt::bus
