// The kernel-streaming class driver: driver and device dispatch, filter
// factories and filters, object bags, the device mutex.
#include <cstring>
#include <new>

#include "platform/ks/ks_objects.h"
#include "platform/nt/kernel.h"
#include "platform/nt/thread_context.h"
#include "platform/nt/wformat.h"

namespace qk::ks {

void ObjectBag::Add(PVOID item, PFNKSFREE free) {
    std::lock_guard guard(lock_);
    items_.emplace_back(item, free);
}

ULONG ObjectBag::Remove(PVOID item, bool freeIt) {
    std::pair<PVOID, PFNKSFREE> removed{nullptr, nullptr};
    ULONG left = 0;
    {
        std::lock_guard guard(lock_);
        for (auto it = items_.begin(); it != items_.end(); ++it) {
            if (it->first == item) {
                removed = *it;
                items_.erase(it);
                break;
            }
        }
        for (auto& i : items_) left += i.first == item;
    }
    if (removed.first != nullptr && freeIt && left == 0) {
        if (removed.second) removed.second(removed.first);
        else ExFreePool(removed.first);
    }
    return left;
}

void ObjectBag::FreeAll() {
    std::vector<std::pair<PVOID, PFNKSFREE>> items;
    {
        std::lock_guard guard(lock_);
        items.swap(items_);
    }
    // Newest first: a later item may refer to an earlier one.
    for (auto it = items.rbegin(); it != items.rend(); ++it) {
        bool duplicate = false;
        for (auto later = items.rbegin(); later != it; ++later) duplicate = duplicate || later->first == it->first;
        if (duplicate) continue;
        if (it->second) it->second(it->first);
        else ExFreePool(it->first);
    }
}

namespace {

const KSDEVICE_DESCRIPTOR* g_descriptorTag;  // address used as the driver extension key

Device* DeviceFromFdo(PDEVICE_OBJECT fdo) { return static_cast<Device*>(fdo->DeviceExtension); }

NTSTATUS SignalEvent(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), 0, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS ForwardAndWait(Device* device, PIRP irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalEvent, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(device->ks.NextDeviceObject, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    return irp->IoStatus.Status;
}

NTSTATUS CompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS PassDown(Device* device, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(device->ks.NextDeviceObject, irp);
}

void SetInterfaces(FilterFactory* factory, bool enable) {
    if (factory->interfacesEnabled == enable) return;
    for (auto& link : factory->interfaces) IoSetDeviceInterfaceState(&link, enable ? TRUE : FALSE);
    factory->interfacesEnabled = enable;
}

void ReleaseFactories(Device* device) {
    for (auto& f : device->factories) {
        SetInterfaces(f.get(), false);
        for (auto& link : f->interfaces) RtlFreeUnicodeString(&link);
        f->interfaces.clear();
    }
    device->factories.clear();
}

NTSTATUS DispatchPnp(PDEVICE_OBJECT fdo, PIRP irp) {
    Device* device = DeviceFromFdo(fdo);
    const KSDEVICE_DISPATCH* dispatch = device->ks.Descriptor ? device->ks.Descriptor->Dispatch : nullptr;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
        case IRP_MN_START_DEVICE: {
            NTSTATUS status = ForwardAndWait(device, irp);
            if (NT_SUCCESS(status) && dispatch && dispatch->Start) {
                status = dispatch->Start(&device->ks, irp, nullptr, nullptr);
            }
            if (NT_SUCCESS(status)) {
                device->ks.Started = TRUE;
                device->ks.DevicePowerState = PowerDeviceD0;
                for (auto& f : device->factories) SetInterfaces(f.get(), true);
                if (dispatch && dispatch->PostStart) {
                    // Post-start runs after the start has completed, from a work item.
                    PIO_WORKITEM item = IoAllocateWorkItem(fdo);
                    if (item != nullptr) {
                        IoQueueWorkItem(
                            item,
                            [](PDEVICE_OBJECT d, PVOID context) {
                                Device* dev = DeviceFromFdo(d);
                                NTSTATUS s = dev->ks.Descriptor->Dispatch->PostStart(&dev->ks);
                                if (!NT_SUCCESS(s)) DbgPrint("KS: post-start failed 0x%08lX\n", static_cast<ULONG>(s));
                                IoFreeWorkItem(static_cast<PIO_WORKITEM>(context));
                            },
                            DelayedWorkQueue, item);
                    }
                }
            }
            return CompleteIrp(irp, status);
        }
        case IRP_MN_QUERY_CAPABILITIES: {
            NTSTATUS status = ForwardAndWait(device, irp);
            if (NT_SUCCESS(status) && dispatch && dispatch->QueryCapabilities) {
                status = dispatch->QueryCapabilities(&device->ks, irp, stack->Parameters.DeviceCapabilities.Capabilities);
            }
            return CompleteIrp(irp, status, irp->IoStatus.Information);
        }
        case IRP_MN_QUERY_REMOVE_DEVICE:
            if (dispatch && dispatch->QueryRemove) {
                NTSTATUS status = dispatch->QueryRemove(&device->ks, irp);
                if (!NT_SUCCESS(status)) return CompleteIrp(irp, status);
            }
            irp->IoStatus.Status = STATUS_SUCCESS;
            return PassDown(device, irp);
        case IRP_MN_CANCEL_REMOVE_DEVICE:
            if (dispatch && dispatch->CancelRemove) dispatch->CancelRemove(&device->ks, irp);
            irp->IoStatus.Status = STATUS_SUCCESS;
            return PassDown(device, irp);
        case IRP_MN_SURPRISE_REMOVAL:
            device->surpriseRemoved = true;
            if (dispatch && dispatch->SurpriseRemoval) dispatch->SurpriseRemoval(&device->ks, irp);
            for (auto& f : device->factories) SetInterfaces(f.get(), false);
            irp->IoStatus.Status = STATUS_SUCCESS;
            return PassDown(device, irp);
        case IRP_MN_REMOVE_DEVICE: {
            if (dispatch && dispatch->Remove) dispatch->Remove(&device->ks, irp);
            device->removed = true;
            device->ks.Started = FALSE;
            ReleaseFactories(device);
            irp->IoStatus.Status = STATUS_SUCCESS;
            NTSTATUS status = PassDown(device, irp);
            device->bag.FreeAll();
            IoDetachDevice(device->ks.NextDeviceObject);
            device->~Device();
            IoDeleteDevice(fdo);
            return status;
        }
        case IRP_MN_STOP_DEVICE:
            if (dispatch && dispatch->Stop) dispatch->Stop(&device->ks, irp);
            device->ks.Started = FALSE;
            irp->IoStatus.Status = STATUS_SUCCESS;
            return PassDown(device, irp);
        case IRP_MN_QUERY_STOP_DEVICE:
            if (dispatch && dispatch->QueryStop) {
                NTSTATUS status = dispatch->QueryStop(&device->ks, irp);
                if (!NT_SUCCESS(status)) return CompleteIrp(irp, status);
            }
            irp->IoStatus.Status = STATUS_SUCCESS;
            return PassDown(device, irp);
        default:
            return PassDown(device, irp);
    }
}

NTSTATUS DispatchPower(PDEVICE_OBJECT fdo, PIRP irp) {
    Device* device = DeviceFromFdo(fdo);
    const KSDEVICE_DISPATCH* dispatch = device->ks.Descriptor ? device->ks.Descriptor->Dispatch : nullptr;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == DevicePowerState) {
        DEVICE_POWER_STATE to = stack->Parameters.Power.State.DeviceState;
        DEVICE_POWER_STATE from = device->ks.DevicePowerState;
        if (dispatch && dispatch->SetPower) dispatch->SetPower(&device->ks, irp, to, from);
        device->ks.DevicePowerState = to;
    } else if (stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == SystemPowerState) {
        device->ks.SystemPowerState = stack->Parameters.Power.State.SystemState;
    }
    PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(device->ks.NextDeviceObject, irp);
}

bool EqualInsensitive(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (RtlUpcaseUnicodeChar(a[i]) != RtlUpcaseUnicodeChar(b[i])) return false;
    }
    return true;
}

NTSTATUS DispatchCreate(PDEVICE_OBJECT fdo, PIRP irp) {
    Device* device = DeviceFromFdo(fdo);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PFILE_OBJECT file = stack->FileObject;
    if (device->removed || device->surpriseRemoved) return CompleteIrp(irp, STATUS_DELETE_PENDING);
    PFILE_OBJECT related = file->RelatedFileObject;
    if (related != nullptr && related->FsContext != nullptr &&
        static_cast<Header*>(related->FsContext)->kind == Kind::Filter) {
        return CreatePin(irp, reinterpret_cast<Filter*>(related->FsContext));
    }
    // A filter: the file name is "\<reference string>".
    std::u16string_view name(file->FileName.Buffer ? file->FileName.Buffer : u"", file->FileName.Length / 2);
    if (!name.empty() && name.front() == u'\\') name.remove_prefix(1);
    FilterFactory* factory = nullptr;
    for (auto& f : device->factories) {
        if (EqualInsensitive(name, f->reference)) factory = f.get();
    }
    if (factory == nullptr) return CompleteIrp(irp, STATUS_OBJECT_NAME_NOT_FOUND);
    auto* filter = new (std::nothrow) Filter;
    if (filter == nullptr) return CompleteIrp(irp, STATUS_INSUFFICIENT_RESOURCES);
    filter->factory = factory;
    filter->ks.Descriptor = factory->descriptor;
    filter->ks.Bag = &filter->bag;
    filter->pins.resize(factory->descriptor->PinDescriptorsCount);
    file->FsContext = &filter->header;
    if (factory->descriptor->Dispatch && factory->descriptor->Dispatch->Create) {
        NTSTATUS status = factory->descriptor->Dispatch->Create(&filter->ks, irp);
        if (!NT_SUCCESS(status)) {
            file->FsContext = nullptr;
            delete filter;
            return CompleteIrp(irp, status);
        }
    }
    return CompleteIrp(irp, STATUS_SUCCESS);
}

NTSTATUS DispatchClose(PDEVICE_OBJECT fdo, PIRP irp) {
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    auto* header = static_cast<Header*>(file->FsContext);
    if (header == nullptr) return CompleteIrp(irp, STATUS_SUCCESS);
    if (header->kind == Kind::Pin) return ClosePin(irp, reinterpret_cast<Pin*>(header));
    auto* filter = reinterpret_cast<Filter*>(header);
    if (filter->ks.Descriptor->Dispatch && filter->ks.Descriptor->Dispatch->Close) {
        filter->ks.Descriptor->Dispatch->Close(&filter->ks, irp);
    }
    file->FsContext = nullptr;
    delete filter;
    return CompleteIrp(irp, STATUS_SUCCESS);
}

NTSTATUS DispatchCleanup(PDEVICE_OBJECT, PIRP irp) { return CompleteIrp(irp, STATUS_SUCCESS); }

NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT fdo, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    auto* header = stack->FileObject ? static_cast<Header*>(stack->FileObject->FsContext) : nullptr;
    if (header == nullptr) return CompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST);
    Filter* filter = header->kind == Kind::Filter ? reinterpret_cast<Filter*>(header) : nullptr;
    Pin* pin = header->kind == Kind::Pin ? reinterpret_cast<Pin*>(header) : nullptr;
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
        case IOCTL_KS_PROPERTY:
            return DispatchProperty(irp, pin ? pin->filter : filter, pin);
        case IOCTL_KS_READ_STREAM:
        case IOCTL_KS_WRITE_STREAM:
            if (pin == nullptr) return CompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST);
            return QueueStream(irp, pin, stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_KS_WRITE_STREAM);
        default:
            return CompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    auto* descriptor =
        *static_cast<const KSDEVICE_DESCRIPTOR**>(IoGetDriverObjectExtension(driver, &g_descriptorTag));
    PDEVICE_OBJECT fdo;
    NTSTATUS status = IoCreateDevice(driver, sizeof(Device), nullptr, FILE_DEVICE_KS, FILE_DEVICE_SECURE_OPEN, FALSE, &fdo);
    if (!NT_SUCCESS(status)) return status;
    auto* device = new (fdo->DeviceExtension) Device;
    device->ks.Descriptor = descriptor;
    device->ks.Bag = &device->bag;
    device->ks.FunctionalDeviceObject = fdo;
    device->ks.PhysicalDeviceObject = pdo;
    device->ks.SystemPowerState = PowerSystemWorking;
    device->ks.DevicePowerState = PowerDeviceD3;
    KeInitializeMutex(&device->mutex, 0);
    device->ks.NextDeviceObject = IoAttachDeviceToDeviceStack(fdo, pdo);
    if (device->ks.NextDeviceObject == nullptr) {
        device->~Device();
        IoDeleteDevice(fdo);
        return STATUS_NO_SUCH_DEVICE;
    }
    fdo->Flags |= DO_POWER_PAGABLE | DO_DIRECT_IO;
    if (descriptor->Dispatch && descriptor->Dispatch->Add) {
        status = descriptor->Dispatch->Add(&device->ks);
        if (!NT_SUCCESS(status)) {
            device->bag.FreeAll();
            IoDetachDevice(device->ks.NextDeviceObject);
            device->~Device();
            IoDeleteDevice(fdo);
            return status;
        }
    }
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS DispatchOther(PDEVICE_OBJECT fdo, PIRP irp) { return PassDown(DeviceFromFdo(fdo), irp); }

}  // namespace

bool FormatInRange(const KSDATAFORMAT* format, const KSDATARANGE* range) {
    auto matches = [](const GUID& value, const GUID& wanted) {
        return IsEqualGUID(wanted, KSDATAFORMAT_TYPE_WILDCARD) || IsEqualGUID(value, wanted);
    };
    return matches(format->MajorFormat, range->MajorFormat) && matches(format->SubFormat, range->SubFormat) &&
           matches(format->Specifier, range->Specifier);
}

}  // namespace qk::ks

using namespace qk::ks;

NTSTATUS KsInitializeDriver(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPathName,
                            const KSDEVICE_DESCRIPTOR* Descriptor) {
    PVOID extension;
    NTSTATUS status = IoAllocateDriverObjectExtension(DriverObject, &g_descriptorTag, sizeof(Descriptor), &extension);
    if (!NT_SUCCESS(status)) return status;
    *static_cast<const KSDEVICE_DESCRIPTOR**>(extension) = Descriptor;
    DriverObject->DriverExtension->AddDevice = AddDevice;
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchOther;
    // Internal requests (URBs from a filter above) go on to the bus, as the
    // class driver forwards every request it has no use for.
    DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchOther;
    // The class driver's own unload; a minidriver may wrap it.
    DriverObject->DriverUnload = [](PDRIVER_OBJECT) {};
    return STATUS_SUCCESS;
}

NTSTATUS KsCreateFilterFactory(PDEVICE_OBJECT DeviceObject, const KSFILTER_DESCRIPTOR* Descriptor, PWSTR RefString,
                               PSECURITY_DESCRIPTOR SecurityDescriptor, ULONG CreateItemFlags,
                               PFNKSFILTERFACTORYPOWER SleepCallback, PFNKSFILTERFACTORYPOWER WakeCallback,
                               PKSFILTERFACTORY* FilterFactory) {
    qk::nt::CheckIrqlAtMost(PASSIVE_LEVEL, "KsCreateFilterFactory");
    if (Descriptor == nullptr) return STATUS_INVALID_PARAMETER;
    Device* device = static_cast<Device*>(DeviceObject->DeviceExtension);
    auto factory = std::make_unique<qk::ks::FilterFactory>();
    factory->device = device;
    factory->descriptor = Descriptor;
    factory->reference = RefString ? std::u16string(RefString) : std::u16string();
    UNICODE_STRING reference;
    RtlInitUnicodeString(&reference, RefString);
    for (ULONG i = 0; i < Descriptor->CategoriesCount; ++i) {
        UNICODE_STRING link{};
        NTSTATUS status = IoRegisterDeviceInterface(device->ks.PhysicalDeviceObject, &Descriptor->Categories[i],
                                                    RefString ? &reference : nullptr, &link);
        if (!NT_SUCCESS(status)) {
            for (auto& l : factory->interfaces) RtlFreeUnicodeString(&l);
            return status;
        }
        factory->interfaces.push_back(link);
    }
    // During start the interfaces come on once the start succeeds; a factory
    // created on a running device is visible at once.
    if (device->ks.Started) {
        for (auto& link : factory->interfaces) IoSetDeviceInterfaceState(&link, TRUE);
        factory->interfacesEnabled = true;
    }
    if (FilterFactory) *FilterFactory = reinterpret_cast<PKSFILTERFACTORY>(factory.get());
    device->factories.push_back(std::move(factory));
    return STATUS_SUCCESS;
}

NTSTATUS KsFilterFactorySetDeviceClassesState(PKSFILTERFACTORY FilterFactory, BOOLEAN NewState) {
    auto* factory = reinterpret_cast<qk::ks::FilterFactory*>(FilterFactory);
    for (auto& link : factory->interfaces) IoSetDeviceInterfaceState(&link, NewState);
    factory->interfacesEnabled = NewState != FALSE;
    return STATUS_SUCCESS;
}

VOID KsAcquireDevice(PKSDEVICE Device) {
    KeWaitForSingleObject(&DeviceOf(Device)->mutex, Executive, KernelMode, FALSE, nullptr);
}

VOID KsReleaseDevice(PKSDEVICE Device) { KeReleaseMutex(&DeviceOf(Device)->mutex, FALSE); }

PKSDEVICE KsGetDeviceForDeviceObject(PDEVICE_OBJECT FunctionalDeviceObject) {
    return &static_cast<qk::ks::Device*>(FunctionalDeviceObject->DeviceExtension)->ks;
}

PKSDEVICE KsGetDevice(PVOID Object) {
    Header* header = reinterpret_cast<Header*>(static_cast<uint8_t*>(Object) - sizeof(Header));
    switch (header->kind) {
        case Kind::Device: return &reinterpret_cast<qk::ks::Device*>(header)->ks;
        case Kind::Filter: return &reinterpret_cast<Filter*>(header)->factory->device->ks;
        case Kind::Pin: return &reinterpret_cast<Pin*>(header)->filter->factory->device->ks;
    }
    return nullptr;
}

PKSFILTER KsPinGetParentFilter(PKSPIN Pin) { return &PinOf(Pin)->filter->ks; }

PKSFILTER KsGetFilterFromIrp(PIRP Irp) {
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    auto* header = file ? static_cast<Header*>(file->FsContext) : nullptr;
    if (header == nullptr) return nullptr;
    if (header->kind == Kind::Filter) return &reinterpret_cast<Filter*>(header)->ks;
    if (header->kind == Kind::Pin) return &reinterpret_cast<Pin*>(header)->filter->ks;
    return nullptr;
}

PKSPIN KsGetPinFromIrp(PIRP Irp) {
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    auto* header = file ? static_cast<Header*>(file->FsContext) : nullptr;
    return header && header->kind == Kind::Pin ? &reinterpret_cast<Pin*>(header)->ks : nullptr;
}

NTSTATUS KsAddItemToObjectBag(KSOBJECT_BAG ObjectBag, PVOID Item, PFNKSFREE Free) {
    if (ObjectBag == nullptr || Item == nullptr) return STATUS_INVALID_PARAMETER;
    static_cast<qk::ks::ObjectBag*>(ObjectBag)->Add(Item, Free);
    return STATUS_SUCCESS;
}

ULONG KsRemoveItemFromObjectBag(KSOBJECT_BAG ObjectBag, PVOID Item, BOOLEAN Free) {
    return static_cast<qk::ks::ObjectBag*>(ObjectBag)->Remove(Item, Free != FALSE);
}

NTSTATUS _KsEdit(KSOBJECT_BAG ObjectBag, PVOID* PointerToPointerToItem, ULONG NewSize, ULONG OldSize, ULONG Tag) {
    if (ObjectBag == nullptr || PointerToPointerToItem == nullptr) return STATUS_INVALID_PARAMETER;
    auto* copy = ExAllocatePoolWithTag(NonPagedPool, NewSize ? NewSize : 1, Tag);
    if (copy == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    std::memset(copy, 0, NewSize);
    if (*PointerToPointerToItem != nullptr) {
        std::memcpy(copy, *PointerToPointerToItem, OldSize < NewSize ? OldSize : NewSize);
    }
    auto* bag = static_cast<qk::ks::ObjectBag*>(ObjectBag);
    // An item already edited in this bag is replaced; the old copy goes.
    bag->Remove(*PointerToPointerToItem, true);
    bag->Add(copy, nullptr);
    *PointerToPointerToItem = copy;
    return STATUS_SUCCESS;
}
