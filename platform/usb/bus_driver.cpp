// The bus driver: the FDO on the root-enumerated host controller and the
// child PDOs it reports, with the Plug and Play, power and internal
// device-control dispatch a USB hub gives the drivers above it.
#include <cstring>
#include <mutex>

#include "platform/nt/bus_support.h"
#include "platform/nt/io_manager.h"
#include "platform/nt/machine.h"
#include "platform/nt/pnp.h"
#include "platform/nt/pool.h"
#include "platform/nt/reg_util.h"
#include "platform/usb/host_controller.h"
#include "platform/usb/usb_bus.h"

namespace qk::usb {
namespace {

using qk::nt::bus::Complete;
using qk::nt::bus::ForwardAndWait;
using qk::nt::bus::PoolMulti;
using qk::nt::bus::PoolString;

BusExtension* Ext(PDEVICE_OBJECT device) { return static_cast<BusExtension*>(device->DeviceExtension); }

NTSTATUS PassDown(BusExtension* ext, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(ext->lower, irp);
}

VOID BusDpc(PKDPC, PVOID context, PVOID, PVOID) { static_cast<BusExtension*>(context)->controller->RunDpc(); }

// ---- The bus FDO ---------------------------------------------------------------------------------

NTSTATUS FdoPnp(PDEVICE_OBJECT device, PIRP irp) {
    BusExtension* ext = Ext(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
        case IRP_MN_START_DEVICE: {
            NTSTATUS status = ForwardAndWait(ext->lower, irp);
            if (NT_SUCCESS(status)) ext->controller->AttachBus(device, ext->pdo, &ext->timer, &ext->dpc);
            return Complete(irp, status);
        }
        case IRP_MN_QUERY_DEVICE_RELATIONS: {
            if (stack->Parameters.QueryDeviceRelations.Type != BusRelations) break;
            auto* previous = reinterpret_cast<PDEVICE_RELATIONS>(irp->IoStatus.Information);
            PDEVICE_RELATIONS relations = ext->controller->QueryBusRelations(previous);
            if (relations == nullptr) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
            irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
            irp->IoStatus.Status = STATUS_SUCCESS;
            break;
        }
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
            irp->IoStatus.Status = STATUS_SUCCESS;
            break;
        case IRP_MN_REMOVE_DEVICE: {
            ext->controller->DeleteAllPdos();
            ext->controller->DetachBus();
            irp->IoStatus.Status = STATUS_SUCCESS;
            PDEVICE_OBJECT lower = ext->lower;
            IoSkipCurrentIrpStackLocation(irp);
            NTSTATUS status = IoCallDriver(lower, irp);
            IoDetachDevice(lower);
            ext->~BusExtension();
            IoDeleteDevice(device);
            return status;
        }
        default:
            break;
    }
    return PassDown(ext, irp);
}

// ---- Child PDOs ------------------------------------------------------------------------------------

NTSTATUS PdoPnp(PDEVICE_OBJECT device, PIRP irp) {
    BusExtension* ext = Ext(device);
    HostController& hc = *ext->controller;
    Function* f = ext->function;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    ULONG_PTR information = irp->IoStatus.Information;
    switch (stack->MinorFunction) {
        case IRP_MN_QUERY_ID: {
            PWSTR answer = nullptr;
            switch (stack->Parameters.QueryId.IdType) {
                case BusQueryDeviceID: answer = PoolString(hc.DeviceId(f), false); break;
                case BusQueryHardwareIDs: answer = PoolMulti(hc.HardwareIds(f)); break;
                case BusQueryCompatibleIDs: {
                    auto ids = hc.CompatibleIds(f);
                    if (ids.empty()) goto done;
                    answer = PoolMulti(ids);
                    break;
                }
                case BusQueryInstanceID: answer = PoolString(hc.InstanceId(f), false); break;
                default: goto done;
            }
            if (answer == nullptr) {
                status = STATUS_INSUFFICIENT_RESOURCES;
            } else {
                status = STATUS_SUCCESS;
                information = reinterpret_cast<ULONG_PTR>(answer);
            }
            break;
        }
        case IRP_MN_QUERY_DEVICE_TEXT: {
            PWSTR answer = nullptr;
            if (stack->Parameters.QueryDeviceText.DeviceTextType == DeviceTextDescription) {
                answer = PoolString(hc.Description(f), false);
            } else if (stack->Parameters.QueryDeviceText.DeviceTextType == DeviceTextLocationInformation) {
                answer = PoolString(hc.Location(f), false);
            } else {
                break;
            }
            status = answer ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
            information = reinterpret_cast<ULONG_PTR>(answer);
            break;
        }
        case IRP_MN_QUERY_CAPABILITIES:
            hc.Capabilities(f, stack->Parameters.DeviceCapabilities.Capabilities);
            status = STATUS_SUCCESS;
            break;
        case IRP_MN_QUERY_DEVICE_RELATIONS:
            if (stack->Parameters.QueryDeviceRelations.Type != TargetDeviceRelation) break;
            status = qk::nt::bus::TargetRelation(device, &information);
            break;
        case IRP_MN_START_DEVICE:
            hc.StartFunction(f);
            status = STATUS_SUCCESS;
            break;
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_STOP_DEVICE:
            status = STATUS_SUCCESS;
            break;
        case IRP_MN_SURPRISE_REMOVAL:
            hc.SurpriseRemoveFunction(f);
            status = STATUS_SUCCESS;
            break;
        case IRP_MN_REMOVE_DEVICE: {
            bool gone = hc.RemoveFunction(f);
            Complete(irp, STATUS_SUCCESS);
            // A function whose device left the bus goes for good; one whose
            // device is still there stays for the next enumeration.
            if (gone) {
                ext->~BusExtension();
                IoDeleteDevice(device);
            }
            return STATUS_SUCCESS;
        }
        default:
            break;
    }
done:
    return Complete(irp, status, information);
}

NTSTATUS PdoInternalControl(PDEVICE_OBJECT device, PIRP irp) {
    BusExtension* ext = Ext(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
        case IOCTL_INTERNAL_USB_SUBMIT_URB:
            return ext->controller->SubmitUrb(ext->function, irp, static_cast<PURB>(stack->Parameters.Others.Argument1));
        case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
            auto* status = static_cast<PULONG>(stack->Parameters.Others.Argument1);
            if (status == nullptr) return Complete(irp, STATUS_INVALID_PARAMETER);
            *status = ext->controller->PortStatus(ext->function);
            return Complete(irp, STATUS_SUCCESS);
        }
        default:
            // Port reset and cycling are not offered by this bus.
            return Complete(irp, STATUS_NOT_SUPPORTED);
    }
}

// ---- Dispatch --------------------------------------------------------------------------------------------

NTSTATUS DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
    return Ext(device)->isPdo ? PdoPnp(device, irp) : FdoPnp(device, irp);
}

NTSTATUS DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
    PoStartNextPowerIrp(irp);
    BusExtension* ext = Ext(device);
    if (ext->isPdo) return Complete(irp, STATUS_SUCCESS);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(ext->lower, irp);
}

NTSTATUS DispatchInternalControl(PDEVICE_OBJECT device, PIRP irp) {
    BusExtension* ext = Ext(device);
    if (!ext->isPdo) return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    return PdoInternalControl(device, irp);
}

NTSTATUS DispatchOther(PDEVICE_OBJECT device, PIRP irp) {
    BusExtension* ext = Ext(device);
    if (!ext->isPdo) return PassDown(ext, irp);
    return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT fdo;
    NTSTATUS status = IoCreateDevice(driver, sizeof(BusExtension), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status)) return status;
    auto* ext = new (fdo->DeviceExtension) BusExtension();
    ext->controller = TheHostController();
    ext->pdo = pdo;
    KeInitializeTimer(&ext->timer);
    KeInitializeDpc(&ext->dpc, BusDpc, ext);
    ext->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    if (ext->lower == nullptr) {
        ext->~BusExtension();
        IoDeleteDevice(fdo);
        return STATUS_NO_SUCH_DEVICE;
    }
    fdo->Flags |= DO_POWER_PAGABLE;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

VOID Unload(PDRIVER_OBJECT) {}

NTSTATUS BusDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (auto& f : driver->MajorFunction) f = DispatchOther;
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalControl;
    driver->DriverExtension->AddDevice = AddDevice;
    driver->DriverUnload = Unload;
    return STATUS_SUCCESS;
}

void RegisterDriver() {
    static std::once_flag once;
    std::call_once(once, [] { qk::nt::io::RegisterStaticDriver(kBusImage, BusDriverEntry); });
}

// The instance path of the machine's host controller once it was added.
struct BusInstance {
    explicit BusInstance(Machine&) {}
    std::mutex lock;  // guards path
    std::u16string path;
};

}  // namespace

NTSTATUS WriteInstallationEntries() {
    RegisterDriver();
    return qk::nt::bus::WriteRootBusEntries(kBusService, kBusImage, kBusDeviceId, kBusDescription,
                                            u"{36fc9e60-c465-11cf-8056-444553540000}", u"USB");
}

std::u16string StartHostController() {
    RegisterDriver();
    qk::nt::pnp::WaitIdle();  // the Plug and Play manager exists before the bus
    auto& instance = Machine::Current().Component<BusInstance>();
    std::lock_guard guard(instance.lock);
    if (!instance.path.empty() && TheHostController()->BusPdo() != nullptr) return instance.path;
    std::u16string path = qk::nt::pnp::AddRootDevice(kBusDeviceId, {kBusDeviceId}, kBusDescription);
    qk::nt::pnp::DeviceInfo info;
    if (path.empty() || !qk::nt::pnp::FindDevice(path, &info) || !info.started) return {};
    instance.path = path;
    return path;
}

int Plug(std::shared_ptr<Device> device, Wait wait) {
    StartHostController();
    int port = TheHostController()->Plug(std::move(device));
    if (wait == Wait::ForPnp) qk::nt::pnp::WaitIdle();
    return port;
}

bool Unplug(int port, Wait wait) {
    bool done = TheHostController()->Unplug(port);
    if (wait == Wait::ForPnp) qk::nt::pnp::WaitIdle();
    return done;
}

uint32_t CurrentFrame() { return static_cast<uint32_t>(TheHostController()->CurrentFrame()); }

}  // namespace qk::usb
