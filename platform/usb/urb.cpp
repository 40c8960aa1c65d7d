// URBs a function driver submits to its PDO: each is checked against its own
// Hdr.Length before any field past the header is read, so a short or hostile
// URB gets an error status and never an access outside it.
#include <algorithm>
#include <cstring>

#include "platform/nt/kernel.h"
#include "platform/nt/thread_context.h"
#include "platform/nt/wformat.h"
#include "platform/usb/host_controller.h"
#include "usbdlib.h"

namespace qk::usb {

namespace {

constexpr size_t kInterfaceInfoMinimum = offsetof(USBD_INTERFACE_INFORMATION, Pipes);  // 24: no pipe entries

USBD_PIPE_TYPE PipeTypeOf(uint8_t type) {
    switch (type & 3) {
        case USB_ENDPOINT_TYPE_ISOCHRONOUS: return UsbdPipeTypeIsochronous;
        case USB_ENDPOINT_TYPE_BULK: return UsbdPipeTypeBulk;
        case USB_ENDPOINT_TYPE_INTERRUPT: return UsbdPipeTypeInterrupt;
        default: return UsbdPipeTypeControl;
    }
}

bool IsPeriodic(const EndpointInfo& e) {
    return e.Type() == USB_ENDPOINT_TYPE_ISOCHRONOUS || e.Type() == USB_ENDPOINT_TYPE_INTERRUPT;
}

}  // namespace

// One URB on its way through the bus; every method runs with the bus lock held.
class UrbHandler {
public:
    UrbHandler(HostController& hc, std::unique_lock<std::mutex>& held, Function* function, PIRP irp, PURB urb)
        : hc_(hc), held_(held), f_(function), irp_(irp), urb_(urb), length_(urb->UrbHeader.Length) {}

    // Returns USBD_STATUS_PENDING when the URB was queued (the IRP is then
    // marked pending and completes later), else the status to complete with.
    USBD_STATUS Run() {
        if (length_ < sizeof(struct _URB_HEADER)) return USBD_STATUS_INVALID_PARAMETER;
        if (f_->port == nullptr || !f_->port->connected || f_->surpriseRemoved || !f_->failureId.empty()) {
            return USBD_STATUS_DEVICE_GONE;
        }
        switch (urb_->UrbHeader.Function) {
            case URB_FUNCTION_SELECT_CONFIGURATION: return SelectConfiguration();
            case URB_FUNCTION_SELECT_INTERFACE: return SelectInterface();
            case URB_FUNCTION_ABORT_PIPE: return AbortPipe();
            case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
            case URB_FUNCTION_SYNC_RESET_PIPE:
            case URB_FUNCTION_SYNC_CLEAR_STALL: return ResetPipe();
            case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER: return CurrentFrameNumber();
            case URB_FUNCTION_ISOCH_TRANSFER: return Isochronous();
            case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: return BulkOrInterrupt();
            case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: return Descriptor(BMREQUEST_TO_DEVICE, true);
            case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE: return Descriptor(BMREQUEST_TO_INTERFACE, true);
            case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT: return Descriptor(BMREQUEST_TO_ENDPOINT, true);
            case URB_FUNCTION_SET_DESCRIPTOR_TO_DEVICE: return Descriptor(BMREQUEST_TO_DEVICE, false);
            case URB_FUNCTION_SET_DESCRIPTOR_TO_INTERFACE: return Descriptor(BMREQUEST_TO_INTERFACE, false);
            case URB_FUNCTION_SET_DESCRIPTOR_TO_ENDPOINT: return Descriptor(BMREQUEST_TO_ENDPOINT, false);
            case URB_FUNCTION_CLASS_DEVICE: return VendorOrClass(BMREQUEST_CLASS, BMREQUEST_TO_DEVICE);
            case URB_FUNCTION_CLASS_INTERFACE: return VendorOrClass(BMREQUEST_CLASS, BMREQUEST_TO_INTERFACE);
            case URB_FUNCTION_CLASS_ENDPOINT: return VendorOrClass(BMREQUEST_CLASS, BMREQUEST_TO_ENDPOINT);
            case URB_FUNCTION_CLASS_OTHER: return VendorOrClass(BMREQUEST_CLASS, BMREQUEST_TO_OTHER);
            case URB_FUNCTION_VENDOR_DEVICE: return VendorOrClass(BMREQUEST_VENDOR, BMREQUEST_TO_DEVICE);
            case URB_FUNCTION_VENDOR_INTERFACE: return VendorOrClass(BMREQUEST_VENDOR, BMREQUEST_TO_INTERFACE);
            case URB_FUNCTION_VENDOR_ENDPOINT: return VendorOrClass(BMREQUEST_VENDOR, BMREQUEST_TO_ENDPOINT);
            case URB_FUNCTION_VENDOR_OTHER: return VendorOrClass(BMREQUEST_VENDOR, BMREQUEST_TO_OTHER);
            case URB_FUNCTION_GET_STATUS_FROM_DEVICE: return GetStatus(BMREQUEST_TO_DEVICE);
            case URB_FUNCTION_GET_STATUS_FROM_INTERFACE: return GetStatus(BMREQUEST_TO_INTERFACE);
            case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT: return GetStatus(BMREQUEST_TO_ENDPOINT);
            case URB_FUNCTION_GET_STATUS_FROM_OTHER: return GetStatus(BMREQUEST_TO_OTHER);
            case URB_FUNCTION_SET_FEATURE_TO_DEVICE: return Feature(USB_REQUEST_SET_FEATURE, BMREQUEST_TO_DEVICE);
            case URB_FUNCTION_SET_FEATURE_TO_INTERFACE: return Feature(USB_REQUEST_SET_FEATURE, BMREQUEST_TO_INTERFACE);
            case URB_FUNCTION_SET_FEATURE_TO_ENDPOINT: return Feature(USB_REQUEST_SET_FEATURE, BMREQUEST_TO_ENDPOINT);
            case URB_FUNCTION_SET_FEATURE_TO_OTHER: return Feature(USB_REQUEST_SET_FEATURE, BMREQUEST_TO_OTHER);
            case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE: return Feature(USB_REQUEST_CLEAR_FEATURE, BMREQUEST_TO_DEVICE);
            case URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE:
                return Feature(USB_REQUEST_CLEAR_FEATURE, BMREQUEST_TO_INTERFACE);
            case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT:
                return Feature(USB_REQUEST_CLEAR_FEATURE, BMREQUEST_TO_ENDPOINT);
            case URB_FUNCTION_CLEAR_FEATURE_TO_OTHER: return Feature(USB_REQUEST_CLEAR_FEATURE, BMREQUEST_TO_OTHER);
            case URB_FUNCTION_GET_CONFIGURATION: return GetConfiguration();
            case URB_FUNCTION_GET_INTERFACE: return GetInterface();
            case URB_FUNCTION_CONTROL_TRANSFER: return ControlTransfer();
            case URB_FUNCTION_TAKE_FRAME_LENGTH_CONTROL:
            case URB_FUNCTION_RELEASE_FRAME_LENGTH_CONTROL:
            case URB_FUNCTION_GET_FRAME_LENGTH:
            case URB_FUNCTION_SET_FRAME_LENGTH:
            case URB_FUNCTION_GET_MS_FEATURE_DESCRIPTOR: return USBD_STATUS_NOT_SUPPORTED;
            default: return USBD_STATUS_INVALID_URB_FUNCTION;
        }
    }

private:
    Port& ThePort() { return *f_->port; }
    bool Owns(uint8_t interfaceNumber) const {
        return std::find(f_->interfaces.begin(), f_->interfaces.end(), interfaceNumber) != f_->interfaces.end();
    }
    void RequirePassive(const char* what) { qk::nt::CheckIrqlAtMost(PASSIVE_LEVEL, what); }

    // A standard request the bus itself sends while handling a URB.
    Handshake SendStandard(uint8_t request, uint16_t value, uint16_t index, uint8_t recipient) {
        SetupPacket setup;
        setup.bmRequestType = recipient;
        setup.bRequest = request;
        setup.wValue = value;
        setup.wIndex = index;
        return ThePort().device->Control(setup, {}, static_cast<uint32_t>(hc_.CurrentFrame())).handshake;
    }

    // Checks one interface entry of a select request; returns the alternate
    // setting it names or an error in *status.
    const AlternateInfo* CheckInterface(const USBD_INTERFACE_INFORMATION* info, size_t room, USBD_STATUS* status) {
        if (room < kInterfaceInfoMinimum || info->Length < kInterfaceInfoMinimum || info->Length > room) {
            *status = USBD_STATUS_INVALID_PARAMETER;
            return nullptr;
        }
        const InterfaceInfo* iface = ThePort().configuration.Interface(info->InterfaceNumber);
        const AlternateInfo* alternate = iface ? iface->Alternate(info->AlternateSetting) : nullptr;
        if (alternate == nullptr || !Owns(info->InterfaceNumber)) {
            *status = USBD_STATUS_INTERFACE_NOT_FOUND;
            return nullptr;
        }
        if (info->Length < GET_USBD_INTERFACE_SIZE(alternate->endpoints.size()) &&
            !(alternate->endpoints.empty() && info->Length >= kInterfaceInfoMinimum)) {
            *status = USBD_STATUS_BUFFER_TOO_SMALL;
            return nullptr;
        }
        *status = USBD_STATUS_SUCCESS;
        return alternate;
    }

    uint32_t BandwidthOf(const AlternateInfo& alternate) {
        uint32_t bytes = 0;
        for (const auto& e : alternate.endpoints) {
            if (IsPeriodic(e)) bytes += e.bytesPerFrame;
        }
        return bytes;
    }

    // Opens the pipes of `alternate` and reports them in `info`.
    void OpenInterface(const AlternateInfo& alternate, PUSBD_INTERFACE_INFORMATION info) {
        f_->alternates[alternate.interfaceNumber] = alternate.alternate;
        auto& handle = f_->interfaceHandles[alternate.interfaceNumber];
        handle = reinterpret_cast<USBD_INTERFACE_HANDLE>(hc_.nextHandle_++);
        info->Class = alternate.interfaceClass;
        info->SubClass = alternate.interfaceSubClass;
        info->Protocol = alternate.interfaceProtocol;
        info->Reserved = 0;
        info->InterfaceHandle = handle;
        info->NumberOfPipes = static_cast<ULONG>(alternate.endpoints.size());
        for (size_t i = 0; i < alternate.endpoints.size(); ++i) {
            const EndpointInfo& e = alternate.endpoints[i];
            auto pipe = std::make_unique<Pipe>();
            pipe->handle = reinterpret_cast<USBD_PIPE_HANDLE>(hc_.nextHandle_++);
            pipe->function = f_;
            pipe->interfaceNumber = alternate.interfaceNumber;
            pipe->endpoint = e;
            pipe->maximumTransferSize = info->Pipes[i].MaximumTransferSize;
            hc_.pipeHandles_[pipe->handle] = pipe.get();
            PUSBD_PIPE_INFORMATION p = &info->Pipes[i];
            p->MaximumPacketSize = static_cast<USHORT>(std::min<uint32_t>(e.bytesPerFrame, 0xFFFF));
            p->EndpointAddress = e.address;
            p->Interval = e.interval;
            p->PipeType = PipeTypeOf(e.Type());
            p->PipeHandle = pipe->handle;
            f_->pipes.push_back(std::move(pipe));
        }
    }

    USBD_STATUS SelectConfiguration() {
        RequirePassive("URB_FUNCTION_SELECT_CONFIGURATION");
        constexpr size_t kFirst = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
        if (length_ < offsetof(struct _URB_SELECT_CONFIGURATION, ConfigurationHandle) + sizeof(PVOID)) {
            return USBD_STATUS_INVALID_PARAMETER;
        }
        auto& request = urb_->UrbSelectConfiguration;
        if (request.ConfigurationDescriptor == nullptr) {
            // Unconfigure: every pipe of the function closes.
            hc_.AbortFunctionLocked(f_, USBD_STATUS_CANCELED);
            hc_.ClosePipesLocked(f_, 0xFF);
            for (auto& [number, alternate] : f_->alternates) {
                if (alternate != 0 && ThePort().composite) SendStandard(USB_REQUEST_SET_INTERFACE, 0, number, 1);
            }
            f_->alternates.clear();
            f_->interfaceHandles.clear();
            f_->configured = false;
            f_->configurationHandle = nullptr;
            if (!ThePort().composite && ThePort().configured) {
                SendStandard(USB_REQUEST_SET_CONFIGURATION, 0, 0, 0);
                ThePort().configured = false;
            }
            return USBD_STATUS_SUCCESS;
        }
        if (request.ConfigurationDescriptor->bConfigurationValue != ThePort().configuration.configurationValue) {
            return USBD_STATUS_SET_CONFIG_FAILED;
        }
        // Check every entry before anything changes.
        struct Entry {
            PUSBD_INTERFACE_INFORMATION info;
            const AlternateInfo* alternate;
        };
        std::vector<Entry> entries;
        size_t offset = kFirst;
        while (offset < length_) {
            auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<PUCHAR>(urb_) + offset);
            USBD_STATUS status;
            const AlternateInfo* alternate = CheckInterface(info, length_ - offset, &status);
            if (alternate == nullptr) return status;
            for (const auto& e : entries) {
                if (e.alternate->interfaceNumber == alternate->interfaceNumber) return USBD_STATUS_INVALID_PARAMETER;
            }
            entries.push_back({info, alternate});
            offset += info->Length;
        }
        uint32_t needed = 0;
        for (const auto& e : entries) needed += BandwidthOf(*e.alternate);
        if (needed + hc_.PeriodicBytesLocked(f_, -1) > kPeriodicBytesPerFrame) return USBD_STATUS_NO_BANDWIDTH;
        if (!ThePort().composite && !ThePort().configured) {
            if (SendStandard(USB_REQUEST_SET_CONFIGURATION, ThePort().configuration.configurationValue, 0, 0) !=
                Handshake::Ack) {
                return USBD_STATUS_SET_CONFIG_FAILED;
            }
            ThePort().configured = true;
        }
        hc_.AbortFunctionLocked(f_, USBD_STATUS_CANCELED);
        hc_.ClosePipesLocked(f_, 0xFF);
        auto previous = f_->alternates;
        f_->alternates.clear();
        f_->interfaceHandles.clear();
        for (const auto& e : entries) {
            uint8_t number = e.alternate->interfaceNumber;
            bool wasOther = previous.count(number) && previous[number] != 0;
            if (e.alternate->alternate != 0 || wasOther) {
                if (SendStandard(USB_REQUEST_SET_INTERFACE, e.alternate->alternate, number, 1) != Handshake::Ack) {
                    return USBD_STATUS_SET_CONFIG_FAILED;
                }
            }
            OpenInterface(*e.alternate, e.info);
        }
        f_->configured = true;
        f_->configurationHandle = reinterpret_cast<USBD_CONFIGURATION_HANDLE>(hc_.nextHandle_++);
        request.ConfigurationHandle = f_->configurationHandle;
        return USBD_STATUS_SUCCESS;
    }

    USBD_STATUS SelectInterface() {
        RequirePassive("URB_FUNCTION_SELECT_INTERFACE");
        constexpr size_t kInfo = offsetof(struct _URB_SELECT_INTERFACE, Interface);
        if (length_ < kInfo + kInterfaceInfoMinimum) return USBD_STATUS_INVALID_PARAMETER;
        auto& request = urb_->UrbSelectInterface;
        if (!f_->configured || request.ConfigurationHandle != f_->configurationHandle) {
            return USBD_STATUS_INVALID_PARAMETER;
        }
        USBD_STATUS status;
        const AlternateInfo* alternate = CheckInterface(&request.Interface, length_ - kInfo, &status);
        if (alternate == nullptr) return status;
        uint8_t number = alternate->interfaceNumber;
        uint32_t others = hc_.PeriodicBytesLocked(f_, number);
        if (BandwidthOf(*alternate) + others > kPeriodicBytesPerFrame) return USBD_STATUS_NO_BANDWIDTH;
        if (SendStandard(USB_REQUEST_SET_INTERFACE, alternate->alternate, number, 1) != Handshake::Ack) {
            return USBD_STATUS_STALL_PID;
        }
        for (auto& pipe : f_->pipes) {
            if (pipe->open && pipe->interfaceNumber == number) {
                hc_.AbortPipeLocked(pipe.get(), USBD_STATUS_CANCELED, 0);
            }
        }
        hc_.ClosePipesLocked(f_, number);
        OpenInterface(*alternate, &request.Interface);
        return USBD_STATUS_SUCCESS;
    }

    Pipe* PipeOf(USBD_PIPE_HANDLE handle) { return hc_.FindPipeLocked(f_, handle); }

    USBD_STATUS AbortPipe() {
        RequirePassive("URB_FUNCTION_ABORT_PIPE");
        if (length_ < sizeof(struct _URB_PIPE_REQUEST)) return USBD_STATUS_INVALID_PARAMETER;
        Pipe* pipe = PipeOf(urb_->UrbPipeRequest.PipeHandle);
        if (pipe == nullptr) return USBD_STATUS_INVALID_PIPE_HANDLE;
        uint64_t generation = ++hc_.abortGeneration_;
        std::vector<uint64_t> waiting;
        for (Transfer* t : pipe->queue) waiting.push_back(t->serial);
        hc_.AbortPipeLocked(pipe, USBD_STATUS_CANCELED, generation);
        pipe->nextFrame = 0;
        // The abort completes after every transfer that was queued on the
        // pipe has completed (those whose cancellation was already under way
        // included). At DISPATCH_LEVEL there is no waiting.
        if (KeGetCurrentIrql() == PASSIVE_LEVEL) {
            hc_.changed_.wait(held_, [&] {
                return std::none_of(waiting.begin(), waiting.end(),
                                    [&](uint64_t serial) { return hc_.completing_.count(serial) != 0; });
            });
        }
        return USBD_STATUS_SUCCESS;
    }

    USBD_STATUS ResetPipe() {
        RequirePassive("URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL");
        if (length_ < sizeof(struct _URB_PIPE_REQUEST)) return USBD_STATUS_INVALID_PARAMETER;
        Pipe* pipe = PipeOf(urb_->UrbPipeRequest.PipeHandle);
        if (pipe == nullptr) return USBD_STATUS_INVALID_PIPE_HANDLE;
        if (!pipe->queue.empty()) return USBD_STATUS_ERROR_BUSY;
        USHORT function = urb_->UrbHeader.Function;
        bool clearStall = function != URB_FUNCTION_SYNC_RESET_PIPE;
        // Isochronous endpoints have no halt feature on the device (USB 2.0
        // 9.4.5); the others get CLEAR_FEATURE(ENDPOINT_HALT).
        if (clearStall && pipe->endpoint.Type() != USB_ENDPOINT_TYPE_ISOCHRONOUS) {
            if (SendStandard(USB_REQUEST_CLEAR_FEATURE, USB_FEATURE_ENDPOINT_STALL, pipe->endpoint.address, 2) !=
                Handshake::Ack) {
                return USBD_STATUS_STALL_PID;
            }
        }
        if (function != URB_FUNCTION_SYNC_CLEAR_STALL) {
            pipe->halted = false;
            pipe->nextFrame = 0;
        }
        return USBD_STATUS_SUCCESS;
    }

    USBD_STATUS CurrentFrameNumber() {
        if (length_ < sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER)) return USBD_STATUS_INVALID_PARAMETER;
        urb_->UrbGetCurrentFrameNumber.FrameNumber = static_cast<ULONG>(hc_.CurrentFrame());
        return USBD_STATUS_SUCCESS;
    }

    // The system address of a transfer buffer: the MDL's when there is one.
    bool BufferOf(PVOID buffer, PMDL mdl, ULONG length, PUCHAR* out) {
        *out = nullptr;
        if (length == 0) return true;
        if (mdl != nullptr) {
            if (MmGetMdlByteCount(mdl) < length) return false;
            *out = static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
        } else {
            *out = static_cast<PUCHAR>(buffer);
        }
        return *out != nullptr;
    }

    // Queues a control transfer on the default pipe.
    USBD_STATUS QueueControl(const SetupPacket& setup, PVOID buffer, PMDL mdl, ULONG length) {
        if (length > 0xFFFF) return USBD_STATUS_INVALID_PARAMETER;
        auto transfer = std::make_unique<Transfer>();
        transfer->kind = TransferKind::Control;
        if (!BufferOf(buffer, mdl, length, &transfer->buffer)) return USBD_STATUS_INVALID_PARAMETER;
        transfer->irp = irp_;
        transfer->urb = urb_;
        transfer->port = f_->port;
        transfer->function = f_;
        transfer->device = ThePort().device;
        transfer->length = length;
        transfer->setup = setup;
        transfer->setup.wLength = static_cast<uint16_t>(length);
        transfer->in = setup.In();
        transfer->fromFunctionView = ThePort().composite && setup.bmRequestType == 0x80 &&
                                     setup.bRequest == USB_REQUEST_GET_DESCRIPTOR &&
                                     (setup.wValue >> 8) == USB_CONFIGURATION_DESCRIPTOR_TYPE;
        int64_t now = qk::nt::Kernel::Get().TheClock().Now();
        int64_t latency = transfer->fromFunctionView ? 0 : ThePort().device->ControlLatency(transfer->setup);
        transfer->due = std::max(now, ThePort().controlFreeAt) + std::max<int64_t>(latency, 0);
        ThePort().controlFreeAt = transfer->due;
        Transfer* raw = transfer.release();
        if (!Pend(raw)) return USBD_STATUS_PENDING;
        ThePort().controlQueue.push_back(raw);
        hc_.RescheduleLocked();
        return USBD_STATUS_PENDING;
    }

    // Marks the IRP pending with the bus's cancel routine. Returns false when
    // it was cancelled before it could be queued (it then completes cancelled).
    bool Pend(Transfer* transfer);

    USBD_STATUS Descriptor(uint8_t recipient, bool get) {
        if (length_ < sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)) return USBD_STATUS_INVALID_PARAMETER;
        auto& r = urb_->UrbControlDescriptorRequest;
        SetupPacket setup;
        setup.bmRequestType = static_cast<uint8_t>((get ? 0x80 : 0x00) | recipient);
        setup.bRequest = get ? USB_REQUEST_GET_DESCRIPTOR : USB_REQUEST_SET_DESCRIPTOR;
        setup.wValue = USB_DESCRIPTOR_MAKE_TYPE_AND_INDEX(r.DescriptorType, r.Index);
        setup.wIndex = r.LanguageId;
        return QueueControl(setup, r.TransferBuffer, r.TransferBufferMDL, r.TransferBufferLength);
    }

    USBD_STATUS VendorOrClass(uint8_t type, uint8_t recipient) {
        if (length_ < sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST)) return USBD_STATUS_INVALID_PARAMETER;
        auto& r = urb_->UrbControlVendorClassRequest;
        SetupPacket setup;
        bool in = USBD_TRANSFER_DIRECTION(r.TransferFlags) == USBD_TRANSFER_DIRECTION_IN;
        setup.bmRequestType =
            static_cast<uint8_t>((in ? 0x80 : 0x00) | type << 5 | recipient | (r.RequestTypeReservedBits & 0x1F));
        setup.bRequest = r.Request;
        setup.wValue = r.Value;
        setup.wIndex = r.Index;
        return QueueControl(setup, r.TransferBuffer, r.TransferBufferMDL, r.TransferBufferLength);
    }

    USBD_STATUS GetStatus(uint8_t recipient) {
        if (length_ < sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST)) return USBD_STATUS_INVALID_PARAMETER;
        auto& r = urb_->UrbControlGetStatusRequest;
        if (r.TransferBufferLength != sizeof(USHORT)) return USBD_STATUS_INVALID_PARAMETER;
        SetupPacket setup{static_cast<uint8_t>(0x80 | recipient), USB_REQUEST_GET_STATUS, 0, r.Index, 2};
        return QueueControl(setup, r.TransferBuffer, r.TransferBufferMDL, r.TransferBufferLength);
    }

    USBD_STATUS Feature(uint8_t request, uint8_t recipient) {
        if (length_ < sizeof(struct _URB_CONTROL_FEATURE_REQUEST)) return USBD_STATUS_INVALID_PARAMETER;
        auto& r = urb_->UrbControlFeatureRequest;
        SetupPacket setup{recipient, request, r.FeatureSelector, r.Index, 0};
        return QueueControl(setup, nullptr, nullptr, 0);
    }

    USBD_STATUS GetConfiguration() {
        if (length_ < sizeof(struct _URB_CONTROL_GET_CONFIGURATION_REQUEST)) return USBD_STATUS_INVALID_PARAMETER;
        auto& r = urb_->UrbControlGetConfigurationRequest;
        if (r.TransferBufferLength != 1) return USBD_STATUS_INVALID_PARAMETER;
        SetupPacket setup{0x80, USB_REQUEST_GET_CONFIGURATION, 0, 0, 1};
        return QueueControl(setup, r.TransferBuffer, r.TransferBufferMDL, r.TransferBufferLength);
    }

    USBD_STATUS GetInterface() {
        if (length_ < sizeof(struct _URB_CONTROL_GET_INTERFACE_REQUEST)) return USBD_STATUS_INVALID_PARAMETER;
        auto& r = urb_->UrbControlGetInterfaceRequest;
        if (r.TransferBufferLength != 1) return USBD_STATUS_INVALID_PARAMETER;
        SetupPacket setup{0x81, USB_REQUEST_GET_INTERFACE, 0, r.Interface, 1};
        return QueueControl(setup, r.TransferBuffer, r.TransferBufferMDL, r.TransferBufferLength);
    }

    USBD_STATUS ControlTransfer() {
        if (length_ < sizeof(struct _URB_CONTROL_TRANSFER)) return USBD_STATUS_INVALID_PARAMETER;
        auto& r = urb_->UrbControlTransfer;
        // Only the default pipe carries control transfers on these devices.
        if (!(r.TransferFlags & USBD_DEFAULT_PIPE_TRANSFER) && r.PipeHandle != nullptr) {
            return PipeOf(r.PipeHandle) ? USBD_STATUS_INVALID_PARAMETER : USBD_STATUS_INVALID_PIPE_HANDLE;
        }
        SetupPacket setup;
        setup.bmRequestType = r.SetupPacket[0];
        setup.bRequest = r.SetupPacket[1];
        setup.wValue = static_cast<uint16_t>(r.SetupPacket[2] | r.SetupPacket[3] << 8);
        setup.wIndex = static_cast<uint16_t>(r.SetupPacket[4] | r.SetupPacket[5] << 8);
        bool in = USBD_TRANSFER_DIRECTION(r.TransferFlags) == USBD_TRANSFER_DIRECTION_IN;
        if (in != setup.In()) return USBD_STATUS_INVALID_PARAMETER;
        // The bus owns the device's address, configuration and interface
        // settings; a driver changes them through the select URBs.
        if (setup.Type() == BMREQUEST_STANDARD &&
            (setup.bRequest == USB_REQUEST_SET_ADDRESS || setup.bRequest == USB_REQUEST_SET_CONFIGURATION ||
             setup.bRequest == USB_REQUEST_SET_INTERFACE)) {
            return USBD_STATUS_INVALID_PARAMETER;
        }
        return QueueControl(setup, r.TransferBuffer, r.TransferBufferMDL, r.TransferBufferLength);
    }

    USBD_STATUS BulkOrInterrupt() {
        if (length_ < sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)) return USBD_STATUS_INVALID_PARAMETER;
        Pipe* pipe = PipeOf(urb_->UrbBulkOrInterruptTransfer.PipeHandle);
        if (pipe == nullptr) return USBD_STATUS_INVALID_PIPE_HANDLE;
        // The devices of this bus have isochronous data endpoints only.
        return pipe->endpoint.Type() == USB_ENDPOINT_TYPE_ISOCHRONOUS ? USBD_STATUS_INVALID_PARAMETER
                                                                        : USBD_STATUS_NOT_SUPPORTED;
    }

    USBD_STATUS Isochronous();

    HostController& hc_;
    std::unique_lock<std::mutex>& held_;
    Function* f_;
    PIRP irp_;
    PURB urb_;
    size_t length_;
};

namespace {
VOID BusCancelRoutine(PDEVICE_OBJECT, PIRP irp);
}

bool UrbHandler::Pend(Transfer* transfer) {
    transfer->serial = hc_.nextSerial_++;
    hc_.live_.insert(transfer);
    hc_.completing_.insert(transfer->serial);
    IoMarkIrpPending(irp_);
    IoSetCancelRoutine(irp_, BusCancelRoutine);
    if (irp_->Cancel && IoSetCancelRoutine(irp_, nullptr) != nullptr) {
        // Cancelled before it was queued: it completes cancelled from the DPC.
        hc_.FinishLocked(transfer, USBD_STATUS_CANCELED);
        return false;
    }
    return true;
}

USBD_STATUS UrbHandler::Isochronous() {
    constexpr size_t kPackets = offsetof(struct _URB_ISOCH_TRANSFER, IsoPacket);
    if (length_ < kPackets) return USBD_STATUS_INVALID_PARAMETER;
    auto& r = urb_->UrbIsochronousTransfer;
    ULONG packets = r.NumberOfPackets;
    // At most 1024 packets (USBD_ISO_START_FRAME_RANGE frames), each with its descriptor inside the URB.
    if (packets == 0 || packets > USBD_ISO_START_FRAME_RANGE ||
        length_ < kPackets + size_t{packets} * sizeof(USBD_ISO_PACKET_DESCRIPTOR)) {
        return USBD_STATUS_INVALID_PARAMETER;
    }
    Pipe* pipe = PipeOf(r.PipeHandle);
    if (pipe == nullptr) return USBD_STATUS_INVALID_PIPE_HANDLE;
    if (pipe->endpoint.Type() != USB_ENDPOINT_TYPE_ISOCHRONOUS) return USBD_STATUS_INVALID_PARAMETER;
    bool in = USBD_TRANSFER_DIRECTION(r.TransferFlags) == USBD_TRANSFER_DIRECTION_IN;
    if (in != pipe->endpoint.In()) return USBD_STATUS_INVALID_PARAMETER;
    if (r.TransferBufferLength == 0) return USBD_STATUS_INVALID_PARAMETER;
    if (pipe->halted) return USBD_STATUS_ENDPOINT_HALTED;
    auto transfer = std::make_unique<Transfer>();
    if (!BufferOf(r.TransferBuffer, r.TransferBufferMDL, r.TransferBufferLength, &transfer->buffer)) {
        return USBD_STATUS_INVALID_PARAMETER;
    }
    // Packets lie in ascending order inside the buffer; each one's room runs
    // to the next packet's offset (the last one's to the end of the buffer).
    transfer->packetLength.resize(packets);
    for (ULONG i = 0; i < packets; ++i) {
        ULONG offset = r.IsoPacket[i].Offset;
        ULONG next = i + 1 < packets ? r.IsoPacket[i + 1].Offset : r.TransferBufferLength;
        if (offset >= r.TransferBufferLength || next > r.TransferBufferLength || next <= offset) {
            return USBD_STATUS_INVALID_PARAMETER;
        }
        transfer->packetLength[i] = next - offset;
    }
    uint64_t current = hc_.CurrentFrame();
    uint64_t start;
    if (r.TransferFlags & USBD_START_ISO_TRANSFER_ASAP) {
        // Continue the pipe's stream when it still runs ahead of the bus;
        // otherwise the host controller starts two frames ahead.
        start = pipe->nextFrame > current ? pipe->nextFrame : current + 2;
    } else {
        start = HostController::Widen(r.StartFrame, current);
        uint64_t distance = start > current ? start - current : current - start;
        if (distance > USBD_ISO_START_FRAME_RANGE) return USBD_STATUS_BAD_START_FRAME;
    }
    transfer->kind = TransferKind::Isochronous;
    transfer->irp = irp_;
    transfer->urb = urb_;
    transfer->port = f_->port;
    transfer->function = f_;
    transfer->pipe = pipe;
    transfer->device = ThePort().device;
    transfer->length = r.TransferBufferLength;
    transfer->startFrame = start;
    transfer->packets = packets;
    transfer->in = in;
    transfer->late.resize(packets);
    size_t late = 0;
    for (ULONG i = 0; i < packets; ++i) {
        uint64_t frame = start + i;
        // A frame in progress or gone cannot be scheduled any more, nor one
        // an earlier transfer of the pipe already holds.
        bool missed = frame <= current || (pipe->nextFrame != 0 && frame < pipe->nextFrame);
        transfer->late[i] = missed;
        if (missed) ++late;
        r.IsoPacket[i].Length = 0;
        r.IsoPacket[i].Status = USBD_STATUS_PENDING;
    }
    r.StartFrame = static_cast<ULONG>(start);
    r.ErrorCount = 0;
    uint64_t end = start + packets;
    if (late < packets) pipe->nextFrame = std::max(pipe->nextFrame, end);
    transfer->due = HostController::FrameStart(end);
    Transfer* raw = transfer.release();
    if (!Pend(raw)) return USBD_STATUS_PENDING;
    if (late == packets) {
        // Every frame has passed: the request fails at once (unless a
        // cancellation got there first and finishes it).
        if (IoSetCancelRoutine(irp_, nullptr) != nullptr) hc_.FinishLocked(raw, USBD_STATUS_ISOCH_REQUEST_FAILED);
        return USBD_STATUS_PENDING;
    }
    pipe->queue.push_back(raw);
    hc_.RescheduleLocked();
    return USBD_STATUS_PENDING;
}

namespace {

VOID BusCancelRoutine(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    static_cast<BusExtension*>(device->DeviceExtension)->controller->CancelIrp(irp);
}

}  // namespace

NTSTATUS HostController::SubmitUrb(Function* function, PIRP irp, PURB urb) {
    USBD_STATUS status;
    if (urb == nullptr) {
        status = USBD_STATUS_INVALID_PARAMETER;
    } else {
        std::unique_lock held(lock_);
        UrbHandler handler(*this, held, function, irp, urb);
        status = handler.Run();
    }
    if (status == USBD_STATUS_PENDING) return STATUS_PENDING;
    NTSTATUS result = NtStatusOf(status);
    if (urb != nullptr) urb->UrbHeader.Status = status;
    irp->IoStatus.Status = result;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return result;
}

NTSTATUS HostController::NtStatusOf(USBD_STATUS status) {
    switch (status) {
        case USBD_STATUS_SUCCESS: return STATUS_SUCCESS;
        case USBD_STATUS_PENDING: return STATUS_PENDING;
        case USBD_STATUS_INSUFFICIENT_RESOURCES: return STATUS_INSUFFICIENT_RESOURCES;
        case USBD_STATUS_INVALID_URB_FUNCTION:
        case USBD_STATUS_INVALID_PARAMETER:
        case USBD_STATUS_INVALID_PIPE_HANDLE:
        case USBD_STATUS_INTERFACE_NOT_FOUND: return STATUS_INVALID_PARAMETER;
        case USBD_STATUS_BUFFER_TOO_SMALL: return STATUS_BUFFER_TOO_SMALL;
        case USBD_STATUS_NOT_SUPPORTED: return STATUS_NOT_SUPPORTED;
        case USBD_STATUS_DEVICE_GONE: return STATUS_DEVICE_NOT_CONNECTED;
        case USBD_STATUS_CANCELED: return STATUS_CANCELLED;
        case USBD_STATUS_TIMEOUT: return STATUS_IO_TIMEOUT;
        default: return STATUS_UNSUCCESSFUL;
    }
}

}  // namespace qk::usb
