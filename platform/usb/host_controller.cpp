#include "platform/usb/host_controller.h"

#include <algorithm>
#include <cstring>

#include "platform/nt/kernel.h"
#include "platform/nt/machine.h"
#include "platform/nt/pool.h"
#include "platform/nt/processor_time.h"
#include "platform/nt/wformat.h"

namespace qk::usb {

namespace {

// The machine's host controller; the bus FDO and every PDO hold it too, so it
// lives until the last of them is gone.
struct ControllerSlot {
    explicit ControllerSlot(Machine&) : controller(std::make_shared<HostController>()) {}
    std::shared_ptr<HostController> controller;
};

int64_t Now() { return qk::nt::Kernel::Get().TheClock().Now(); }

std::u16string Utf16(const std::string& s) { return qk::ToUtf16(s); }

// Every URB whose data stage has a length keeps it at the same place.
static_assert(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, TransferBufferLength) ==
              offsetof(struct _URB_CONTROL_TRANSFER, TransferBufferLength));
static_assert(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferBufferLength) ==
              offsetof(struct _URB_CONTROL_TRANSFER, TransferBufferLength));
static_assert(offsetof(struct _URB_CONTROL_GET_STATUS_REQUEST, TransferBufferLength) ==
              offsetof(struct _URB_CONTROL_TRANSFER, TransferBufferLength));
static_assert(offsetof(struct _URB_CONTROL_GET_INTERFACE_REQUEST, TransferBufferLength) ==
              offsetof(struct _URB_CONTROL_TRANSFER, TransferBufferLength));

}  // namespace

std::shared_ptr<HostController> TheHostController() { return Machine::Current().Component<ControllerSlot>().controller; }

uint16_t Port::VendorId() const {
    return deviceDescriptor.size() >= 18 ? static_cast<uint16_t>(deviceDescriptor[8] | deviceDescriptor[9] << 8) : 0;
}
uint16_t Port::ProductId() const {
    return deviceDescriptor.size() >= 18 ? static_cast<uint16_t>(deviceDescriptor[10] | deviceDescriptor[11] << 8) : 0;
}
uint16_t Port::Revision() const {
    return deviceDescriptor.size() >= 18 ? static_cast<uint16_t>(deviceDescriptor[12] | deviceDescriptor[13] << 8) : 0;
}

HostController::HostController() = default;

HostController::~HostController() {
    for (Transfer* t : live_) delete t;
}

// ---- Frame clock ------------------------------------------------------------------------

uint64_t HostController::FrameAt(int64_t time) { return time <= 0 ? 0 : static_cast<uint64_t>(time / qk::nt::kMillisecond); }

int64_t HostController::FrameStart(uint64_t frame) { return static_cast<int64_t>(frame) * qk::nt::kMillisecond; }

uint64_t HostController::CurrentFrame() const { return FrameAt(Now()); }

uint64_t HostController::Widen(ULONG frame, uint64_t current) {
    auto delta = static_cast<int32_t>(frame - static_cast<ULONG>(current));
    if (delta < 0 && static_cast<uint64_t>(-static_cast<int64_t>(delta)) > current) return 0;
    return current + delta;
}

// ---- Ports ----------------------------------------------------------------------------------

namespace {

bool ControlIn(Device& device, uint8_t requestType, uint8_t request, uint16_t value, uint16_t index, uint16_t length,
               uint32_t frame, std::vector<uint8_t>* out) {
    SetupPacket setup{requestType, request, value, index, length};
    out->assign(length, 0);
    ControlResult r = device.Control(setup, *out, frame);
    if (r.handshake != Handshake::Ack) return false;
    out->resize(std::min<size_t>(r.length, length));
    return true;
}

std::u16string StringOf(const std::vector<uint8_t>& d) {
    std::u16string s;
    if (d.size() < 2 || d[1] != USB_STRING_DESCRIPTOR_TYPE) return s;
    size_t end = std::min<size_t>(d[0], d.size());
    for (size_t i = 2; i + 1 < end; i += 2) s.push_back(static_cast<char16_t>(d[i] | d[i + 1] << 8));
    return s;
}

}  // namespace

void HostController::EnumerateLocked(Port* port, uint32_t frame) {
    Device& device = *port->device;
    device.Reset(frame);
    // As a hub driver does: the first 8 bytes for the default pipe's packet
    // size, an address, the whole device descriptor, then the configuration.
    std::vector<uint8_t> bytes;
    auto fail = [&](const char16_t* id) {
        auto f = std::make_unique<Function>();
        f->port = port;
        f->failureId = id;
        port->functions.clear();
        port->functions.push_back(std::move(f));
        DbgPrint("USB: port %d: enumeration of %s failed (%S)\n", port->number, device.Name().c_str(), id);
    };
    if (!ControlIn(device, 0x80, USB_REQUEST_GET_DESCRIPTOR, USB_DEVICE_DESCRIPTOR_TYPE << 8, 0, 64, frame, &bytes) ||
        bytes.size() < 8 || bytes[1] != USB_DEVICE_DESCRIPTOR_TYPE) {
        return fail(u"USB\\DEVICE_DESCRIPTOR_FAILURE");
    }
    port->address = static_cast<uint8_t>(port->number + 1);
    SetupPacket address{0x00, USB_REQUEST_SET_ADDRESS, port->address, 0, 0};
    if (device.Control(address, {}, frame).handshake != Handshake::Ack) return fail(u"USB\\SET_ADDRESS_FAILURE");
    if (!ControlIn(device, 0x80, USB_REQUEST_GET_DESCRIPTOR, USB_DEVICE_DESCRIPTOR_TYPE << 8, 0, 18, frame, &bytes) ||
        bytes.size() < 18 || bytes[0] < 18 || bytes[1] != USB_DEVICE_DESCRIPTOR_TYPE) {
        return fail(u"USB\\DEVICE_DESCRIPTOR_FAILURE");
    }
    port->deviceDescriptor = bytes;
    std::vector<uint8_t> header;
    if (!ControlIn(device, 0x80, USB_REQUEST_GET_DESCRIPTOR, USB_CONFIGURATION_DESCRIPTOR_TYPE << 8, 0, 9, frame,
                   &header) ||
        header.size() < 9) {
        return fail(u"USB\\CONFIGURATION_DESCRIPTOR_VALIDATION_FAILURE");
    }
    uint16_t total = static_cast<uint16_t>(header[2] | header[3] << 8);
    std::string error;
    if (!ControlIn(device, 0x80, USB_REQUEST_GET_DESCRIPTOR, USB_CONFIGURATION_DESCRIPTOR_TYPE << 8, 0, total, frame,
                   &bytes) ||
        !ParseConfiguration(bytes, device.DeviceSpeed(), &port->configuration, &error)) {
        DbgPrint("USB: port %d: configuration descriptor: %s\n", port->number, error.c_str());
        return fail(u"USB\\CONFIGURATION_DESCRIPTOR_VALIDATION_FAILURE");
    }
    port->configurationDescriptor = bytes;
    // Strings in the first language the device lists.
    uint16_t language = 0x0409;
    if (ControlIn(device, 0x80, USB_REQUEST_GET_DESCRIPTOR, USB_STRING_DESCRIPTOR_TYPE << 8, 0, 255, frame, &bytes) &&
        bytes.size() >= 4) {
        language = static_cast<uint16_t>(bytes[2] | bytes[3] << 8);
    }
    auto readString = [&](uint8_t index) {
        if (index == 0) return std::u16string();
        std::vector<uint8_t> s;
        if (!ControlIn(device, 0x80, USB_REQUEST_GET_DESCRIPTOR, static_cast<uint16_t>(USB_STRING_DESCRIPTOR_TYPE << 8 | index),
                       language, 255, frame, &s)) {
            return std::u16string();
        }
        return StringOf(s);
    };
    port->product = readString(port->deviceDescriptor[15]);
    port->serial = readString(port->deviceDescriptor[16]);

    const auto& d = port->deviceDescriptor;
    bool interfaceClasses = d[4] == 0 || (d[4] == USB_DEVICE_CLASS_MISCELLANEOUS && d[5] == 2 && d[6] == 1);
    port->composite = interfaceClasses && d[17] == 1 && port->configuration.numInterfaces > 1;
    port->functions.clear();
    if (port->composite) {
        // The composite parent selects the configuration once for all its functions.
        SetupPacket set{0x00, USB_REQUEST_SET_CONFIGURATION, port->configuration.configurationValue, 0, 0};
        if (device.Control(set, {}, frame).handshake != Handshake::Ack) {
            return fail(u"USB\\CONFIGURATION_DESCRIPTOR_VALIDATION_FAILURE");
        }
        port->configured = true;
        for (auto& group : GroupFunctions(port->configuration)) {
            auto f = std::make_unique<Function>();
            f->port = port;
            f->compositePart = true;
            f->interfaces = group;
            const AlternateInfo* first = port->configuration.Interface(group.front())->Alternate(0);
            f->functionClass = first->interfaceClass;
            f->functionSubClass = first->interfaceSubClass;
            f->functionProtocol = first->interfaceProtocol;
            for (const auto& a : port->configuration.associations) {
                if (a.firstInterface == group.front()) {
                    f->functionClass = a.functionClass;
                    f->functionSubClass = a.functionSubClass;
                    f->functionProtocol = a.functionProtocol;
                    f->iFunction = a.iFunction;
                }
            }
            if (f->iFunction == 0) f->iFunction = first->iInterface;
            f->configurationView = FunctionView(port->configurationDescriptor, group);
            port->functions.push_back(std::move(f));
        }
    } else {
        auto f = std::make_unique<Function>();
        f->port = port;
        for (const auto& i : port->configuration.interfaces) f->interfaces.push_back(i.number);
        const AlternateInfo* first = port->configuration.interfaces.front().Alternate(0);
        bool deviceClass = d[4] != 0;
        f->functionClass = deviceClass ? d[4] : first->interfaceClass;
        f->functionSubClass = deviceClass ? d[5] : first->interfaceSubClass;
        f->functionProtocol = deviceClass ? d[6] : first->interfaceProtocol;
        f->configurationView = port->configurationDescriptor;
        port->functions.push_back(std::move(f));
    }
    port->enumerated = true;
}

int HostController::Plug(std::shared_ptr<Device> device) {
    int number;
    {
        std::lock_guard guard(lock_);
        // The lowest port whose previous device has left completely, so that a
        // device plugged back into its port keeps its instance path.
        for (number = 1;; ++number) {
            bool busy = std::any_of(ports_.begin(), ports_.end(), [number](const std::unique_ptr<Port>& p) {
                if (p->number != number) return false;
                if (p->connected) return true;
                return std::any_of(p->functions.begin(), p->functions.end(),
                                   [](const std::unique_ptr<Function>& f) { return f->pdo != nullptr; });
            });
            if (!busy) break;
        }
        auto port = std::make_unique<Port>();
        port->number = number;
        port->device = std::move(device);
        port->uid = 0x2A5C17u + static_cast<uint32_t>(number) * 0x1F3D5Bu;
        EnumerateLocked(port.get(), static_cast<uint32_t>(CurrentFrame()));
        port->connected = true;
        ports_.push_back(std::move(port));
    }
    if (PDEVICE_OBJECT bus = BusPdo()) IoInvalidateDeviceRelations(bus, BusRelations);
    return number;
}

bool HostController::Unplug(int number) {
    {
        std::lock_guard guard(lock_);
        Port* port = nullptr;
        for (auto& p : ports_) {
            if (p->number == number && p->connected) port = p.get();
        }
        if (port == nullptr) return false;
        port->connected = false;
        for (auto& f : port->functions) AbortFunctionLocked(f.get(), USBD_STATUS_DEVICE_GONE);
        ReleasePortIfUnusedLocked(port);
    }
    if (PDEVICE_OBJECT bus = BusPdo()) IoInvalidateDeviceRelations(bus, BusRelations);
    return true;
}

bool HostController::Connected(int number) {
    std::lock_guard guard(lock_);
    return std::any_of(ports_.begin(), ports_.end(),
                       [number](const std::unique_ptr<Port>& p) { return p->number == number && p->connected; });
}

void HostController::ReleasePortIfUnusedLocked(Port* port) {
    if (port->connected) return;
    for (auto& f : port->functions) {
        if (f->pdo != nullptr) return;
    }
    for (Transfer* t : live_) {
        if (t->port == port) return;
    }
    for (auto& f : port->functions) {
        for (auto& pipe : f->pipes) pipeHandles_.erase(pipe->handle);
    }
    ports_.erase(std::remove_if(ports_.begin(), ports_.end(), [port](const std::unique_ptr<Port>& p) { return p.get() == port; }),
                 ports_.end());
}

// ---- Bus FDO ------------------------------------------------------------------------------------

void HostController::AttachBus(PDEVICE_OBJECT fdo, PDEVICE_OBJECT pdo, PKTIMER timer, PKDPC dpc) {
    std::lock_guard guard(lock_);
    fdo_ = fdo;
    busPdo_ = pdo;
    timer_ = timer;
    dpc_ = dpc;
    timerDue_ = -1;
}

void HostController::DetachBus() {
    PKTIMER timer;
    {
        std::lock_guard guard(lock_);
        timer = timer_;
        timer_ = nullptr;
        dpc_ = nullptr;
        fdo_ = nullptr;
        busPdo_ = nullptr;
    }
    if (timer != nullptr) KeCancelTimer(timer);
    KeFlushQueuedDpcs();
}

PDEVICE_OBJECT HostController::BusPdo() {
    std::lock_guard guard(lock_);
    return busPdo_;
}

PDEVICE_RELATIONS HostController::QueryBusRelations(PDEVICE_RELATIONS previous) {
    std::lock_guard guard(lock_);
    std::vector<PDEVICE_OBJECT> children;
    if (previous != nullptr) {
        for (ULONG i = 0; i < previous->Count; ++i) children.push_back(previous->Objects[i]);
    }
    for (auto& port : ports_) {
        if (!port->connected) continue;
        for (auto& f : port->functions) {
            if (f->pdo == nullptr) {
                PDEVICE_OBJECT pdo;
                if (!NT_SUCCESS(IoCreateDevice(fdo_->DriverObject, sizeof(BusExtension), nullptr, FILE_DEVICE_UNKNOWN,
                                               FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo))) {
                    continue;
                }
                auto* ext = new (pdo->DeviceExtension) BusExtension();
                ext->isPdo = true;
                ext->controller = shared_from_this();
                ext->function = f.get();
                pdo->Flags |= DO_POWER_PAGABLE;
                pdo->Flags &= ~DO_DEVICE_INITIALIZING;
                f->pdo = pdo;
            }
            children.push_back(f->pdo);
            ObReferenceObject(f->pdo);
        }
    }
    size_t bytes = sizeof(DEVICE_RELATIONS) + (children.empty() ? 0 : children.size() - 1) * sizeof(PDEVICE_OBJECT);
    auto* relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, bytes, qk::nt::pool::Tag("UsbR")));
    if (relations == nullptr) return nullptr;
    relations->Count = static_cast<ULONG>(children.size());
    for (size_t i = 0; i < children.size(); ++i) relations->Objects[i] = children[i];
    if (previous != nullptr) ExFreePool(previous);
    return relations;
}

void HostController::DeleteAllPdos() {
    std::vector<PDEVICE_OBJECT> pdos;
    {
        std::lock_guard guard(lock_);
        for (auto& port : ports_) {
            for (auto& f : port->functions) {
                if (f->pdo == nullptr) continue;
                AbortFunctionLocked(f.get(), USBD_STATUS_DEVICE_GONE);
                pdos.push_back(f->pdo);
                f->pdo = nullptr;
            }
        }
    }
    for (PDEVICE_OBJECT pdo : pdos) {
        static_cast<BusExtension*>(pdo->DeviceExtension)->~BusExtension();
        IoDeleteDevice(pdo);
    }
    std::lock_guard guard(lock_);
    for (size_t i = ports_.size(); i-- > 0;) ReleasePortIfUnusedLocked(ports_[i].get());
}

// ---- Child PDOs ------------------------------------------------------------------------------------------

void HostController::StartFunction(Function* function) {
    std::lock_guard guard(lock_);
    function->pdoStarted = true;
}

void HostController::SurpriseRemoveFunction(Function* function) {
    std::lock_guard guard(lock_);
    function->surpriseRemoved = true;
    AbortFunctionLocked(function, USBD_STATUS_DEVICE_GONE);
}

bool HostController::RemoveFunction(Function* function) {
    std::lock_guard guard(lock_);
    Port* port = function->port;
    bool gone = !port->connected || function->surpriseRemoved;
    AbortFunctionLocked(function, gone ? USBD_STATUS_DEVICE_GONE : USBD_STATUS_CANCELED);
    ClosePipesLocked(function, 0xFF);
    if (!gone) {
        // The device stays: its interfaces go back to alternate setting 0 for the next driver.
        for (auto& [number, alternate] : function->alternates) {
            if (alternate == 0) continue;
            SetupPacket setup{0x01, USB_REQUEST_SET_INTERFACE, 0, number, 0};
            port->device->Control(setup, {}, static_cast<uint32_t>(CurrentFrame()));
        }
    }
    function->alternates.clear();
    function->interfaceHandles.clear();
    function->configured = false;
    function->configurationHandle = nullptr;
    function->pdoStarted = false;
    if (!gone) return false;
    function->pdo = nullptr;
    ReleasePortIfUnusedLocked(port);
    return true;
}

std::u16string HostController::DeviceId(const Function* f) {
    std::lock_guard guard(lock_);
    if (!f->failureId.empty()) return f->failureId;
    const Port& p = *f->port;
    std::string id = qk::Format("USB\\VID_%04X&PID_%04X", p.VendorId(), p.ProductId());
    if (f->compositePart) id += qk::Format("&MI_%02X", f->interfaces.front());
    return Utf16(id);
}

std::vector<std::u16string> HostController::HardwareIds(const Function* f) {
    std::lock_guard guard(lock_);
    if (!f->failureId.empty()) return {f->failureId};
    const Port& p = *f->port;
    std::string base = qk::Format("USB\\VID_%04X&PID_%04X", p.VendorId(), p.ProductId());
    std::string revision = qk::Format("&REV_%04X", p.Revision());
    if (f->compositePart) {
        std::string mi = qk::Format("&MI_%02X", f->interfaces.front());
        return {Utf16(base + revision + mi), Utf16(base + mi)};
    }
    return {Utf16(base + revision), Utf16(base)};
}

std::vector<std::u16string> HostController::CompatibleIds(const Function* f) {
    std::lock_guard guard(lock_);
    if (!f->failureId.empty()) return {};
    std::string c = qk::Format("USB\\Class_%02x", f->functionClass);
    std::string s = c + qk::Format("&SubClass_%02x", f->functionSubClass);
    std::string full = s + qk::Format("&Prot_%02x", f->functionProtocol);
    std::vector<std::u16string> ids = {Utf16(full), Utf16(s), Utf16(c)};
    if (f->port->composite && !f->compositePart) ids.push_back(u"USB\\COMPOSITE");
    return ids;
}

std::u16string HostController::InstanceId(const Function* f) {
    std::lock_guard guard(lock_);
    const Port& p = *f->port;
    if (f->compositePart) return Utf16(qk::Format("6&%lx&0&%04X", p.uid, f->interfaces.front()));
    if (!p.serial.empty()) return p.serial;
    return Utf16(qk::Format("5&%lx&0&%d", p.uid, p.number));
}

std::u16string HostController::Description(const Function* f) {
    std::lock_guard guard(lock_);
    if (!f->failureId.empty()) return u"Unknown USB Device";
    const Port& p = *f->port;
    if (f->compositePart && f->iFunction != 0) {
        SetupPacket setup{0x80, USB_REQUEST_GET_DESCRIPTOR, static_cast<uint16_t>(USB_STRING_DESCRIPTOR_TYPE << 8 | f->iFunction),
                          0x0409, 255};
        std::vector<uint8_t> s(255);
        if (p.connected) {
            ControlResult r = p.device->Control(setup, s, static_cast<uint32_t>(CurrentFrame()));
            if (r.handshake == Handshake::Ack) {
                s.resize(r.length);
                std::u16string text = StringOf(s);
                if (!text.empty()) return text;
            }
        }
    }
    return p.product.empty() ? u"USB Device" : p.product;
}

std::u16string HostController::Location(const Function* f) {
    std::lock_guard guard(lock_);
    return Utf16(qk::Format("Port_#%04d.Hub_#0001", f->port->number));
}

void HostController::Capabilities(const Function* f, PDEVICE_CAPABILITIES c) {
    std::lock_guard guard(lock_);
    c->Removable = 1;
    c->UniqueID = f->port->serial.empty() ? 0 : 1;
    c->DeviceD1 = 1;
    c->DeviceD2 = 1;
    c->Address = static_cast<ULONG>(f->port->number);
    c->UINumber = static_cast<ULONG>(f->port->number);
    c->DeviceState[PowerSystemWorking] = PowerDeviceD0;
    for (int s = PowerSystemSleeping1; s < PowerSystemMaximum; ++s) c->DeviceState[s] = PowerDeviceD3;
    c->SystemWake = PowerSystemUnspecified;
    c->DeviceWake = PowerDeviceUnspecified;
}

ULONG HostController::PortStatus(const Function* f) {
    std::lock_guard guard(lock_);
    return f->port->connected ? USBD_PORT_ENABLED | USBD_PORT_CONNECTED : 0;
}

// ---- Queues ------------------------------------------------------------------------------------------------

bool HostController::ClaimLocked(Transfer* t) { return IoSetCancelRoutine(t->irp, nullptr) != nullptr; }

void HostController::FinishLocked(Transfer* t, USBD_STATUS status) {
    if (t->pipe != nullptr) t->pipe->queue.remove(t);
    if (t->port != nullptr) {
        auto& q = t->port->controlQueue;
        q.erase(std::remove(q.begin(), q.end(), t), q.end());
    }
    t->finished = true;
    t->finishStatus = status;
    finished_.push_back(t);
    QueueDpcLocked();
}

void HostController::QueueDpcLocked() {
    if (dpc_ != nullptr) KeInsertQueueDpc(dpc_, nullptr, nullptr);
}

void HostController::AbortPipeLocked(Pipe* pipe, USBD_STATUS status, uint64_t generation) {
    std::vector<Transfer*> queued(pipe->queue.begin(), pipe->queue.end());
    for (Transfer* t : queued) {
        // A transfer whose cancel routine already runs is finished by it.
        if (!ClaimLocked(t)) continue;
        t->abortGeneration = generation;
        FinishLocked(t, status);
    }
}

void HostController::AbortFunctionLocked(Function* function, USBD_STATUS status) {
    for (auto& pipe : function->pipes) AbortPipeLocked(pipe.get(), status, 0);
    std::vector<Transfer*> queued(function->port->controlQueue.begin(), function->port->controlQueue.end());
    for (Transfer* t : queued) {
        if (t->function == function && ClaimLocked(t)) FinishLocked(t, status);
    }
}

void HostController::ClosePipesLocked(Function* function, uint8_t interfaceNumber) {
    for (auto& pipe : function->pipes) {
        if (!pipe->open || (interfaceNumber != 0xFF && pipe->interfaceNumber != interfaceNumber)) continue;
        pipe->open = false;
        pipeHandles_.erase(pipe->handle);
    }
    // Closed pipes go once no transfer refers to them any more (a finished
    // one may still wait for the DPC), so reselecting settings costs nothing.
    auto& pipes = function->pipes;
    pipes.erase(std::remove_if(pipes.begin(), pipes.end(),
                               [this](const std::unique_ptr<Pipe>& pipe) {
                                   return !pipe->open && std::none_of(live_.begin(), live_.end(), [&](Transfer* t) {
                                       return t->pipe == pipe.get();
                                   });
                               }),
                pipes.end());
}

uint32_t HostController::PeriodicBytesLocked(const Function* excludeFunction, int excludeInterface) const {
    uint32_t bytes = 0;
    for (const auto& port : ports_) {
        if (!port->connected) continue;
        for (const auto& f : port->functions) {
            for (const auto& pipe : f->pipes) {
                if (!pipe->open) continue;
                if (f.get() == excludeFunction && (excludeInterface < 0 || pipe->interfaceNumber == excludeInterface)) {
                    continue;
                }
                uint8_t type = pipe->endpoint.Type();
                if (type == USB_ENDPOINT_TYPE_ISOCHRONOUS || type == USB_ENDPOINT_TYPE_INTERRUPT) {
                    bytes += pipe->endpoint.bytesPerFrame;
                }
            }
        }
    }
    return bytes;
}

Pipe* HostController::FindPipeLocked(Function* function, USBD_PIPE_HANDLE handle) {
    auto it = pipeHandles_.find(handle);
    if (it == pipeHandles_.end() || it->second->function != function || !it->second->open) return nullptr;
    return it->second;
}

void HostController::RescheduleLocked() {
    if (timer_ == nullptr) return;
    if (!finished_.empty()) QueueDpcLocked();
    int64_t next = INT64_MAX;
    for (auto& port : ports_) {
        if (!port->controlQueue.empty()) next = std::min(next, port->controlQueue.front()->due);
        for (auto& f : port->functions) {
            for (auto& pipe : f->pipes) {
                for (Transfer* t : pipe->queue) next = std::min(next, t->due);
            }
        }
    }
    if (next == INT64_MAX) {
        if (timerDue_ >= 0) KeCancelTimer(timer_);
        timerDue_ = -1;
        return;
    }
    if (next == timerDue_) return;
    LARGE_INTEGER due;
    due.QuadPart = qk::nt::Kernel::Get().TheClock().BootSystemTime() + next;
    KeSetTimer(timer_, due, dpc_);
    timerDue_ = next;
}

void HostController::CancelIrp(PIRP irp) {
    std::lock_guard guard(lock_);
    for (Transfer* t : live_) {
        if (t->irp == irp && !t->finished) {
            FinishLocked(t, USBD_STATUS_CANCELED);
            return;
        }
    }
}

// ---- Completion ----------------------------------------------------------------------------------------------

void HostController::RunDpc() {
    std::vector<Transfer*> work;
    {
        std::lock_guard guard(lock_);
        timerDue_ = -1;  // the timer fired (or will be set again below)
        int64_t now = Now();
        work.swap(finished_);
        for (auto& port : ports_) {
            for (auto it = port->controlQueue.begin(); it != port->controlQueue.end();) {
                Transfer* t = *it;
                if (t->due > now) break;  // the default pipe answers in order
                if (ClaimLocked(t)) {
                    it = port->controlQueue.erase(it);
                    work.push_back(t);
                } else {
                    ++it;
                }
            }
            for (auto& f : port->functions) {
                for (auto& pipe : f->pipes) {
                    for (auto it = pipe->queue.begin(); it != pipe->queue.end();) {
                        Transfer* t = *it;
                        if (t->due <= now && ClaimLocked(t)) {
                            it = pipe->queue.erase(it);
                            work.push_back(t);
                        } else {
                            ++it;
                        }
                    }
                }
            }
        }
    }
    for (Transfer* t : work) Execute(t);
    std::vector<int> unplugs;
    {
        std::lock_guard guard(lock_);
        RescheduleLocked();
        unplugs.swap(pendingUnplugs_);
    }
    for (int port : unplugs) Unplug(port);
}

void HostController::Execute(Transfer* t) {
    if (t->finished) {
        if (t->kind == TransferKind::Isochronous) {
            auto& r = t->urb->UrbIsochronousTransfer;
            for (ULONG i = 0; i < t->packets; ++i) {
                r.IsoPacket[i].Length = 0;
                r.IsoPacket[i].Status = t->late[i] ? USBD_STATUS_ISO_NA_LATE_USBPORT : t->finishStatus;
            }
            r.ErrorCount = t->packets;
            if (t->in) r.TransferBufferLength = 0;
        } else {
            t->urb->UrbControlTransfer.TransferBufferLength = 0;
        }
        return Complete(t, t->finishStatus);
    }
    if (t->kind == TransferKind::Control) return ExecuteControl(t);
    return ExecuteIsochronous(t);
}

void HostController::ExecuteControl(Transfer* t) {
    ULONG& moved = t->urb->UrbControlTransfer.TransferBufferLength;
    bool connected;
    {
        std::lock_guard guard(lock_);
        connected = t->port->connected;
    }
    if (!connected) {
        moved = 0;
        return Complete(t, USBD_STATUS_DEVICE_GONE);
    }
    if (t->fromFunctionView) {
        const auto& view = t->function->configurationView;
        ULONG n = std::min<ULONG>(t->length, static_cast<ULONG>(view.size()));
        if (n > 0) std::memcpy(t->buffer, view.data(), n);
        moved = n;
        return Complete(t, USBD_STATUS_SUCCESS);
    }
    std::vector<uint8_t> data(t->length);
    if (!t->in && t->length > 0) std::memcpy(data.data(), t->buffer, t->length);
    const bool timing = deviceTiming_.load(std::memory_order_relaxed);
    const int64_t modelStart = timing ? qk::nt::CurrentThreadProcessorNs() : 0;
    ControlResult r = t->device->Control(t->setup, data, static_cast<uint32_t>(CurrentFrame()));
    if (timing) CountDeviceTime(modelStart);
    switch (r.handshake) {
        case Handshake::Ack: {
            ULONG n = std::min<ULONG>(r.length, t->length);
            if (t->in && n > 0) std::memcpy(t->buffer, data.data(), n);
            moved = n;
            return Complete(t, USBD_STATUS_SUCCESS);
        }
        case Handshake::Stall:
            moved = 0;
            return Complete(t, USBD_STATUS_STALL_PID);
        case Handshake::NoResponse:
            moved = 0;
            return Complete(t, USBD_STATUS_DEV_NOT_RESPONDING);
    }
}

void HostController::ExecuteIsochronous(Transfer* t) {
    auto& r = t->urb->UrbIsochronousTransfer;
    Pipe* pipe = t->pipe;
    bool halted, connected;
    {
        std::lock_guard guard(lock_);
        halted = pipe->halted;
        connected = t->port->connected;
    }
    const uint32_t frameBytes = pipe->endpoint.bytesPerFrame;
    // Only a packet with less room than the endpoint moves in a frame needs a
    // frame's worth elsewhere, to tell an overrun; the others are written in place.
    std::vector<uint8_t> scratch;
    ULONG errors = 0, total = 0;
    bool stalled = false, detached = !connected;
    const bool timing = deviceTiming_.load(std::memory_order_relaxed);
    const int64_t modelStart = timing ? qk::nt::CurrentThreadProcessorNs() : 0;
    for (ULONG i = 0; i < t->packets; ++i) {
        USBD_ISO_PACKET_DESCRIPTOR& packet = r.IsoPacket[i];
        packet.Length = 0;
        if (t->late[i]) {
            packet.Status = USBD_STATUS_ISO_NA_LATE_USBPORT;
            ++errors;
            continue;
        }
        if (halted || stalled || detached) {
            packet.Status = halted ? USBD_STATUS_ENDPOINT_HALTED : USBD_STATUS_ISO_NOT_ACCESSED_BY_HW;
            ++errors;
            continue;
        }
        auto frame = static_cast<uint32_t>(t->startFrame + i);
        ULONG room = t->packetLength[i];
        PUCHAR at = t->buffer + packet.Offset;
        IsoResult result;
        const bool inPlace = room >= frameBytes;
        if (t->in) {
            if (!inPlace && scratch.empty()) scratch.resize(frameBytes);
            std::span<uint8_t> into = inPlace ? std::span<uint8_t>(at, frameBytes) : std::span<uint8_t>(scratch);
            result = t->device->IsochronousIn(pipe->endpoint.address, frame, into);
        } else {
            result = t->device->IsochronousOut(pipe->endpoint.address, frame, std::span<const uint8_t>(at, room));
        }
        switch (result.status) {
            case IsoResult::Status::Ok: {
                uint32_t produced = std::min<uint32_t>(result.length, frameBytes);
                if (t->in) {
                    ULONG copied = std::min<ULONG>(produced, room);
                    if (copied > 0 && !inPlace) std::memcpy(at, scratch.data(), copied);
                    packet.Length = copied;
                    total += copied;
                    packet.Status = produced > room ? USBD_STATUS_DATA_OVERRUN : USBD_STATUS_SUCCESS;
                } else {
                    packet.Status = USBD_STATUS_SUCCESS;
                }
                break;
            }
            case IsoResult::Status::NoResponse: packet.Status = USBD_STATUS_XACT_ERROR; break;
            case IsoResult::Status::Stall:
                packet.Status = USBD_STATUS_STALL_PID;
                stalled = true;
                break;
            case IsoResult::Status::Detached:
                packet.Status = USBD_STATUS_DEV_NOT_RESPONDING;
                detached = true;
                break;
        }
        if (packet.Status != USBD_STATUS_SUCCESS) ++errors;
    }
    if (timing) CountDeviceTime(modelStart);
    r.ErrorCount = errors;
    if (t->in) r.TransferBufferLength = total;
    USBD_STATUS status = errors == t->packets ? USBD_STATUS_ISOCH_REQUEST_FAILED : USBD_STATUS_SUCCESS;
    if (halted) status = USBD_STATUS_ENDPOINT_HALTED;
    if (stalled) {
        status = USBD_STATUS_STALL_PID;
        std::lock_guard guard(lock_);
        pipe->halted = true;
    }
    if (detached) {
        status = USBD_STATUS_DEVICE_GONE;
        std::lock_guard guard(lock_);
        if (t->port->connected) pendingUnplugs_.push_back(t->port->number);
    }
    Complete(t, status);
}

void HostController::CountDeviceTime(int64_t startNs) {
    deviceNs_.fetch_add(qk::nt::CurrentThreadProcessorNs() - startNs, std::memory_order_relaxed);
    deviceSpans_.fetch_add(1, std::memory_order_relaxed);
}

void HostController::Complete(Transfer* t, USBD_STATUS status) {
    PIRP irp = t->irp;
    uint64_t serial = t->serial;
    t->urb->UrbHeader.Status = status;
    irp->IoStatus.Status = NtStatusOf(status);
    irp->IoStatus.Information = 0;
    // The completion routine may send the IRP again at once, so the record
    // goes first; a waiting abort is released only once the IRP has completed.
    {
        std::lock_guard guard(lock_);
        live_.erase(t);
    }
    delete t;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    std::lock_guard guard(lock_);
    completing_.erase(serial);
    changed_.notify_all();
}

}  // namespace qk::usb
