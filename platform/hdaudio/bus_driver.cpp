// The high-definition audio bus driver: the FDO on the root-enumerated
// controller, one child PDO per codec on the link, and the streams that move
// the codecs' samples on the controller's period (the platform clock, so a
// stepped clock paces them as it paces the USB bus).
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <set>
#include <vector>

#include "platform/hdaudio/bus_interface.h"
#include "platform/hdaudio/hdaudio_bus.h"
#include "platform/nt/bus_support.h"
#include "platform/nt/io_manager.h"
#include "platform/nt/kernel.h"
#include "platform/nt/machine.h"
#include "platform/nt/pnp.h"
#include "platform/nt/pool.h"
#include "platform/nt/reg_util.h"

namespace qk::hdaudio {
namespace {

constexpr ULONG kStringTag = qk::nt::pool::Tag("HdaS");
constexpr int kAddresses = 15;  // codec addresses on one link
// A stream that fell further behind than this (a stalled machine) skips
// ahead, as a converter that overran would.
constexpr ULONG kCatchUpMs = 500;

struct Slot {
    int address = 0;
    std::shared_ptr<Codec> codec;
    ULONGLONG attached = 0;        // interrupt time of the codec's frame 0 at every rate
    bool present = true;           // guarded by the controller's lock
    PDEVICE_OBJECT pdo = nullptr;  // guarded by the controller's lock
};

struct BusStream {
    std::shared_ptr<Slot> slot;
    bool capture = true;
    ULONG rate = 0;
    ULONG channels = 0;
    PBUS_TRANSFER_CALLBACK callback = nullptr;
    PVOID context = nullptr;
    // Guarded by the controller's lock.
    bool running = false;
    int busy = 0;  // DPC passes servicing it right now
    // Touched by the DPC only while `busy`, and by SetRunState only while not running and not busy.
    ULONGLONG start = 0;  // interrupt time of frame 0 (the codec's attachment)
    int64_t done = 0;     // the codec's next frame to hand over
    std::vector<int16_t> buffer;
};

struct Controller {
    std::mutex lock;  // guards everything below and the fields of slots and streams it names
    std::condition_variable idle;
    std::vector<std::shared_ptr<Slot>> slots;  // on the link
    std::set<BusStream*> streams;
    PDEVICE_OBJECT fdo = nullptr;
    PDEVICE_OBJECT busPdo = nullptr;
    std::u16string path;  // instance path of the controller once added
    std::atomic<uint64_t> refused{0};
};

// The machine holds its controller until its components go; the bus's device
// objects hold it too, since Plug and Play removes them after that.
struct ControllerSlot {
    explicit ControllerSlot(Machine&) : controller(std::make_shared<Controller>()) {}
    std::shared_ptr<Controller> controller;
};

std::shared_ptr<Controller> ControllerOf() { return Machine::Current().Component<ControllerSlot>().controller; }
Controller& TheController() { return *ControllerOf(); }

struct Extension {
    static constexpr ULONG kMagic = 0x41444851;  // "QHDA"
    ULONG magic = kMagic;
    bool isPdo = false;
    std::shared_ptr<Controller> controller;
    std::shared_ptr<Slot> slot;       // PDO
    PDEVICE_OBJECT lower = nullptr;   // FDO
    KTIMER timer;                     // FDO: the period
    KDPC dpc;                         // FDO: services the streams
};

Extension* Ext(PDEVICE_OBJECT device) { return static_cast<Extension*>(device->DeviceExtension); }

using qk::nt::bus::Complete;
using qk::nt::bus::ForwardAndWait;
using qk::nt::bus::PoolString;

std::u16string Hex4(unsigned value) {
    static const char16_t digits[] = u"0123456789ABCDEF";
    std::u16string s;
    for (int shift = 12; shift >= 0; shift -= 4) s.push_back(digits[(value >> shift) & 0xF]);
    return s;
}

// ---- Streams -------------------------------------------------------------------------------------

void Service(BusStream* s, ULONGLONG now) {
    const int64_t due = static_cast<int64_t>((now - s->start) * s->rate / 10'000'000ULL);
    if (due - s->done > int64_t{s->rate} * kCatchUpMs / 1000) s->done = due - int64_t{s->rate} * kCatchUpMs / 1000;
    const int64_t chunk = std::max<int64_t>(1, int64_t{s->rate} * kPeriodMs / 1000);
    while (s->done < due) {
        const int64_t frames = std::min(chunk, due - s->done);
        s->buffer.assign(static_cast<size_t>(frames * s->channels), 0);
        const auto bytes = static_cast<ULONG>(s->buffer.size() * sizeof(int16_t));
        auto* data = reinterpret_cast<PUCHAR>(s->buffer.data());
        if (s->capture) {
            s->slot->codec->Capture(s->rate, s->done, s->buffer);
            s->callback(s->context, data, bytes);
        } else {
            s->callback(s->context, data, bytes);
            s->slot->codec->Render(s->rate, s->done, s->buffer);
        }
        s->done += frames;
    }
}

VOID PeriodDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* c = static_cast<Controller*>(context);
    const ULONGLONG now = KeQueryInterruptTime();
    std::vector<BusStream*> due;
    {
        std::lock_guard guard(c->lock);
        for (BusStream* s : c->streams) {
            if (!s->running || !s->slot->present) continue;
            ++s->busy;
            due.push_back(s);
        }
    }
    for (BusStream* s : due) Service(s, now);
    std::lock_guard guard(c->lock);
    for (BusStream* s : due) --s->busy;
    c->idle.notify_all();
}

bool HasRate(const Codec& codec, ULONG rate) {
    const auto rates = codec.Rates();
    return std::find(rates.begin(), rates.end(), rate) != rates.end();
}

NTSTATUS AllocateStream(PVOID context, BOOLEAN capture, ULONG rate, PBUS_TRANSFER_CALLBACK callback,
                        PVOID callbackContext, PVOID* stream) {
    auto* pdoExt = static_cast<Extension*>(context);
    const Codec& codec = *pdoExt->slot->codec;
    const ULONG channels = capture ? codec.CaptureChannels() : codec.RenderChannels();
    if (stream == nullptr || callback == nullptr || channels == 0 || !HasRate(codec, rate)) {
        return STATUS_INVALID_PARAMETER;
    }
    auto* s = new (std::nothrow) BusStream;
    if (s == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    s->slot = pdoExt->slot;
    s->capture = capture != FALSE;
    s->rate = rate;
    s->channels = channels;
    s->callback = callback;
    s->context = callbackContext;
    Controller* c = pdoExt->controller.get();
    std::lock_guard guard(c->lock);
    if (!s->slot->present) {
        delete s;
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    c->streams.insert(s);
    *stream = s;
    return STATUS_SUCCESS;
}

NTSTATUS SetRunState(PVOID context, PVOID stream, BOOLEAN run) {
    Controller* c = static_cast<Extension*>(context)->controller.get();
    auto* s = static_cast<BusStream*>(stream);
    std::unique_lock guard(c->lock);
    if (!run) {
        s->running = false;
        c->idle.wait(guard, [&] { return s->busy == 0; });
        return STATUS_SUCCESS;
    }
    if (!s->slot->present) return STATUS_DEVICE_NOT_CONNECTED;
    if (!s->running) {
        c->idle.wait(guard, [&] { return s->busy == 0; });
        // The converter runs on the codec's own timeline: what a stream
        // starting now gets is what the codec's microphones hear now.
        s->start = s->slot->attached;
        s->done = static_cast<int64_t>((KeQueryInterruptTime() - s->start) * s->rate / 10'000'000ULL);
        s->running = true;
    }
    return STATUS_SUCCESS;
}

VOID FreeStream(PVOID context, PVOID stream) {
    Controller* c = static_cast<Extension*>(context)->controller.get();
    auto* s = static_cast<BusStream*>(stream);
    {
        std::unique_lock guard(c->lock);
        s->running = false;
        c->idle.wait(guard, [&] { return s->busy == 0; });
        c->streams.erase(s);
    }
    delete s;
}

VOID NoReference(PVOID) {}

NTSTATUS QueryInterface(Extension* ext, PIO_STACK_LOCATION stack) {
    auto& q = stack->Parameters.QueryInterface;
    if (q.InterfaceType == nullptr || !IsEqualGUID(*q.InterfaceType, kBusInterfaceGuid)) return STATUS_NOT_SUPPORTED;
    if (q.Interface == nullptr || q.Size < sizeof(BusInterface) || q.Version != kBusInterfaceVersion) {
        return STATUS_INVALID_PARAMETER;
    }
    const Codec& codec = *ext->slot->codec;
    auto* bus = reinterpret_cast<BusInterface*>(q.Interface);
    std::memset(bus, 0, sizeof *bus);
    bus->base.Size = sizeof *bus;
    bus->base.Version = kBusInterfaceVersion;
    bus->base.Context = ext;
    bus->base.InterfaceReference = NoReference;
    bus->base.InterfaceDereference = NoReference;
    bus->captureChannels = codec.CaptureChannels();
    bus->renderChannels = codec.RenderChannels();
    for (uint32_t rate : codec.Rates()) {
        if (bus->rateCount < kMaxRates) bus->rates[bus->rateCount++] = rate;
    }
    bus->AllocateStream = AllocateStream;
    bus->SetRunState = SetRunState;
    bus->FreeStream = FreeStream;
    return STATUS_SUCCESS;
}

// ---- The controller's FDO ------------------------------------------------------------------------

NTSTATUS PassDown(Extension* ext, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(ext->lower, irp);
}

PDEVICE_RELATIONS ChildRelations(Extension* ext, PDEVICE_RELATIONS previous) {
    Controller* c = ext->controller.get();
    std::vector<PDEVICE_OBJECT> children;
    if (previous != nullptr) {
        for (ULONG i = 0; i < previous->Count; ++i) children.push_back(previous->Objects[i]);
    }
    std::lock_guard guard(c->lock);
    for (auto& slot : c->slots) {
        if (slot->pdo == nullptr) {
            PDEVICE_OBJECT pdo;
            if (!NT_SUCCESS(IoCreateDevice(c->fdo->DriverObject, sizeof(Extension), nullptr, FILE_DEVICE_SOUND,
                                           FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo))) {
                continue;
            }
            auto* child = new (pdo->DeviceExtension) Extension();
            child->isPdo = true;
            child->controller = ext->controller;
            child->slot = slot;
            pdo->Flags |= DO_POWER_PAGABLE;
            pdo->Flags &= ~DO_DEVICE_INITIALIZING;
            slot->pdo = pdo;
        }
        children.push_back(slot->pdo);
        ObReferenceObject(slot->pdo);
    }
    const size_t bytes = sizeof(DEVICE_RELATIONS) + (children.empty() ? 0 : children.size() - 1) * sizeof(PDEVICE_OBJECT);
    auto* relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, bytes, kStringTag));
    if (relations == nullptr) return nullptr;
    relations->Count = static_cast<ULONG>(children.size());
    for (size_t i = 0; i < children.size(); ++i) relations->Objects[i] = children[i];
    if (previous != nullptr) ExFreePool(previous);
    return relations;
}

void DeletePdo(PDEVICE_OBJECT pdo) {
    Ext(pdo)->~Extension();
    IoDeleteDevice(pdo);
}

NTSTATUS FdoPnp(PDEVICE_OBJECT device, PIRP irp) {
    Extension* ext = Ext(device);
    Controller* c = ext->controller.get();
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
        case IRP_MN_START_DEVICE: {
            NTSTATUS status = ForwardAndWait(ext->lower, irp);
            if (NT_SUCCESS(status)) {
                LARGE_INTEGER due;
                due.QuadPart = -10'000LL * kPeriodMs;
                KeSetTimerEx(&ext->timer, due, kPeriodMs, &ext->dpc);
            }
            return Complete(irp, status);
        }
        case IRP_MN_QUERY_DEVICE_RELATIONS: {
            if (stack->Parameters.QueryDeviceRelations.Type != BusRelations) break;
            auto* previous = reinterpret_cast<PDEVICE_RELATIONS>(irp->IoStatus.Information);
            PDEVICE_RELATIONS relations = ChildRelations(ext, previous);
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
            KeCancelTimer(&ext->timer);
            KeFlushQueuedDpcs();
            std::vector<PDEVICE_OBJECT> pdos;
            {
                std::lock_guard guard(c->lock);
                for (auto& slot : c->slots) {
                    slot->present = false;
                    if (slot->pdo != nullptr) pdos.push_back(slot->pdo);
                    slot->pdo = nullptr;
                }
                c->slots.clear();
                c->fdo = c->busPdo = nullptr;
            }
            for (PDEVICE_OBJECT pdo : pdos) DeletePdo(pdo);
            irp->IoStatus.Status = STATUS_SUCCESS;
            PDEVICE_OBJECT lower = ext->lower;
            IoSkipCurrentIrpStackLocation(irp);
            NTSTATUS status = IoCallDriver(lower, irp);
            IoDetachDevice(lower);
            ext->~Extension();
            IoDeleteDevice(device);
            return status;
        }
        default:
            break;
    }
    return PassDown(ext, irp);
}

// ---- Child PDOs ----------------------------------------------------------------------------------

NTSTATUS PdoPnp(PDEVICE_OBJECT device, PIRP irp) {
    Extension* ext = Ext(device);
    const Codec& codec = *ext->slot->codec;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    ULONG_PTR information = irp->IoStatus.Information;
    const std::u16string hardwareId = FunctionHardwareId(codec.VendorId(), codec.DeviceId());
    auto answer = [&](PWSTR text) {
        status = text != nullptr ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
        information = reinterpret_cast<ULONG_PTR>(text);
    };
    switch (stack->MinorFunction) {
        case IRP_MN_QUERY_ID:
            switch (stack->Parameters.QueryId.IdType) {
                case BusQueryDeviceID: answer(PoolString(hardwareId, false)); break;
                case BusQueryHardwareIDs:
                    answer(PoolString(hardwareId + u'\0' + u"HDAUDIO\\FUNC_01&VEN_" + Hex4(codec.VendorId()), true));
                    break;
                case BusQueryCompatibleIDs: answer(PoolString(u"HDAUDIO\\FUNC_01", true)); break;
                case BusQueryInstanceID: answer(PoolString(u"QK" + Hex4(unsigned(ext->slot->address)), false)); break;
                default: break;
            }
            break;
        case IRP_MN_QUERY_DEVICE_TEXT:
            if (stack->Parameters.QueryDeviceText.DeviceTextType == DeviceTextDescription) {
                answer(PoolString(codec.Description(), false));
            } else if (stack->Parameters.QueryDeviceText.DeviceTextType == DeviceTextLocationInformation) {
                answer(PoolString(u"Internal High Definition Audio Bus", false));
            }
            break;
        case IRP_MN_QUERY_CAPABILITIES: {
            PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
            caps->Address = static_cast<ULONG>(ext->slot->address);
            caps->UINumber = static_cast<ULONG>(ext->slot->address);
            status = STATUS_SUCCESS;
            break;
        }
        case IRP_MN_QUERY_INTERFACE:
            status = QueryInterface(ext, stack);
            if (status == STATUS_NOT_SUPPORTED) status = irp->IoStatus.Status;  // not ours: left as it was
            break;
        case IRP_MN_QUERY_DEVICE_RELATIONS:
            if (stack->Parameters.QueryDeviceRelations.Type != TargetDeviceRelation) break;
            status = qk::nt::bus::TargetRelation(device, &information);
            break;
        case IRP_MN_START_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
            status = STATUS_SUCCESS;
            break;
        case IRP_MN_REMOVE_DEVICE: {
            bool gone;
            {
                std::lock_guard guard(ext->controller->lock);
                gone = !ext->slot->present;
                if (gone) ext->slot->pdo = nullptr;
            }
            Complete(irp, STATUS_SUCCESS);
            // A codec that left the link goes for good; one still there stays
            // for the next enumeration.
            if (gone) DeletePdo(device);
            return STATUS_SUCCESS;
        }
        default:
            break;
    }
    return Complete(irp, status, information);
}

// ---- Dispatch ------------------------------------------------------------------------------------

NTSTATUS DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
    return Ext(device)->isPdo ? PdoPnp(device, irp) : FdoPnp(device, irp);
}

NTSTATUS DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
    PoStartNextPowerIrp(irp);
    Extension* ext = Ext(device);
    if (ext->isPdo) return Complete(irp, STATUS_SUCCESS);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(ext->lower, irp);
}

NTSTATUS DispatchOther(PDEVICE_OBJECT device, PIRP irp) {
    Extension* ext = Ext(device);
    if (!ext->isPdo) return PassDown(ext, irp);
    // A codec function answers no USB request (nor any other this bus does not define).
    ++ext->controller->refused;
    return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT fdo;
    NTSTATUS status = IoCreateDevice(driver, sizeof(Extension), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status)) return status;
    std::shared_ptr<Controller> controller = ControllerOf();
    Controller& c = *controller;
    auto* ext = new (fdo->DeviceExtension) Extension();
    ext->controller = controller;
    KeInitializeTimer(&ext->timer);
    KeInitializeDpc(&ext->dpc, PeriodDpc, &c);
    ext->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    if (ext->lower == nullptr) {
        ext->~Extension();
        IoDeleteDevice(fdo);
        return STATUS_NO_SUCH_DEVICE;
    }
    {
        std::lock_guard guard(c.lock);
        c.fdo = fdo;
        c.busPdo = pdo;
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
    driver->DriverExtension->AddDevice = AddDevice;
    driver->DriverUnload = Unload;
    return STATUS_SUCCESS;
}

void RegisterDriver() {
    static std::once_flag once;
    std::call_once(once, [] { qk::nt::io::RegisterStaticDriver(kBusImage, BusDriverEntry); });
}

PDEVICE_OBJECT BusPdo() {
    Controller& c = TheController();
    std::lock_guard guard(c.lock);
    return c.busPdo;
}

}  // namespace

std::u16string FunctionHardwareId(uint16_t vendorId, uint16_t deviceId) {
    return u"HDAUDIO\\FUNC_01&VEN_" + Hex4(vendorId) + u"&DEV_" + Hex4(deviceId);
}

NTSTATUS WriteInstallationEntries() {
    RegisterDriver();
    return qk::nt::bus::WriteRootBusEntries(kBusService, kBusImage, kBusDeviceId, kBusDescription,
                                            u"{4d36e97d-e325-11ce-bfc1-08002be10318}", u"System");
}

std::u16string StartController() {
    RegisterDriver();
    qk::nt::pnp::WaitIdle();
    Controller& c = TheController();
    {
        std::lock_guard guard(c.lock);
        if (!c.path.empty() && c.busPdo != nullptr) return c.path;
    }
    std::u16string path = qk::nt::pnp::AddRootDevice(kBusDeviceId, {kBusDeviceId}, kBusDescription);
    qk::nt::pnp::DeviceInfo info;
    if (path.empty() || !qk::nt::pnp::FindDevice(path, &info) || !info.started) return {};
    std::lock_guard guard(c.lock);
    c.path = path;
    return path;
}

int Plug(std::shared_ptr<Codec> codec) {
    if (StartController().empty() || codec == nullptr) return -1;
    Controller& c = TheController();
    int address = -1;
    {
        std::lock_guard guard(c.lock);
        for (int a = 0; a < kAddresses && address < 0; ++a) {
            if (std::none_of(c.slots.begin(), c.slots.end(), [&](const auto& s) { return s->address == a; })) address = a;
        }
        if (address < 0) return -1;
        auto slot = std::make_shared<Slot>();
        slot->address = address;
        slot->attached = KeQueryInterruptTime();
        slot->codec = std::move(codec);
        c.slots.push_back(std::move(slot));
    }
    if (PDEVICE_OBJECT bus = BusPdo()) IoInvalidateDeviceRelations(bus, BusRelations);
    qk::nt::pnp::WaitIdle();
    return address;
}

uint64_t RefusedRequests() { return TheController().refused.load(); }

bool Unplug(int address, bool waitForPnp) {
    Controller& c = TheController();
    {
        std::lock_guard guard(c.lock);
        auto it = std::find_if(c.slots.begin(), c.slots.end(), [&](const auto& s) { return s->address == address; });
        if (it == c.slots.end()) return false;
        (*it)->present = false;
        c.slots.erase(it);
    }
    if (PDEVICE_OBJECT bus = BusPdo()) IoInvalidateDeviceRelations(bus, BusRelations);
    if (waitForPnp) qk::nt::pnp::WaitIdle();
    return true;
}

}  // namespace qk::hdaudio
