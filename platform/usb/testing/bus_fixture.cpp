#include "platform/usb/testing/bus_fixture.h"

#include <cstring>

#include "platform/nt/io_manager.h"
#include "platform/nt/kernel.h"
#include "platform/nt/pnp.h"
#include "platform/nt/processor_time.h"
#include "platform/nt/reg_util.h"

namespace qk::usb::testing {

void Put16(std::vector<uint8_t>& v, uint16_t value) {
    v.push_back(static_cast<uint8_t>(value & 0xFF));
    v.push_back(static_cast<uint8_t>(value >> 8));
}

namespace {

void Interface(std::vector<uint8_t>& c, uint8_t number, uint8_t alternate, uint8_t endpoints, uint8_t cls,
               uint8_t subclass) {
    c.insert(c.end(), {9, USB_INTERFACE_DESCRIPTOR_TYPE, number, alternate, endpoints, cls, subclass, 0, 0});
}

void Endpoint(std::vector<uint8_t>& c, uint8_t address, uint16_t maxPacket, uint8_t interval) {
    c.insert(c.end(), {7, USB_ENDPOINT_DESCRIPTOR_TYPE, address, USB_ENDPOINT_TYPE_ISOCHRONOUS | USB_ENDPOINT_SYNC_ASYNCHRONOUS});
    Put16(c, maxPacket);
    c.push_back(interval);
}

}  // namespace

TestDevice::TestDevice(bool composite) {
    DescriptorSet set;
    auto& d = set.device;
    d = {18, USB_DEVICE_DESCRIPTOR_TYPE};
    Put16(d, 0x0200);
    if (composite) {
        d.insert(d.end(), {0xEF, 0x02, 0x01, 64});
    } else {
        d.insert(d.end(), {0xFF, 0x00, 0x00, 64});
    }
    Put16(d, 0x1234);
    Put16(d, composite ? 0x5678 : 0x5679);
    Put16(d, 0x0102);
    d.insert(d.end(), {1, 2, 3, 1});
    auto& c = set.configuration;
    c = {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, static_cast<uint8_t>(composite ? 3 : 1), 1, 0, 0x80, 250};
    if (composite) {
        c.insert(c.end(), {8, USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE, 0, 2, 0xFF, 0x03, 0x00, 4});
        Interface(c, 0, 0, 0, 0xFF, 1);
        c.insert(c.end(), {5, 0x24, 0x01, 0xAB, 0xCD});  // a class-specific descriptor of interface 0
        Interface(c, 1, 0, 0, 0xFF, 2);
        Interface(c, 1, 1, 1, 0xFF, 2);
        Endpoint(c, 0x81, 0x0200, 1);
        Interface(c, 1, 2, 1, 0xFF, 2);
        Endpoint(c, 0x81, 0x1400, 1);
        Interface(c, 2, 0, 0, 0x01, 2);
        Interface(c, 2, 1, 1, 0x01, 2);
        Endpoint(c, 0x02, 0x00C0, 4);
    } else {
        Interface(c, 0, 0, 0, 0xFF, 2);
        Interface(c, 0, 1, 1, 0xFF, 2);
        Endpoint(c, 0x81, 0x0200, 1);
    }
    c[2] = static_cast<uint8_t>(c.size() & 0xFF);
    c[3] = static_cast<uint8_t>(c.size() >> 8);
    set.strings = {{1, u"Test Maker"}, {2, u"Test Device"}, {3, u"SN0001"}, {4, u"Test Streaming Function"}};
    SetDescriptors(std::move(set));
}

ControlResult TestDevice::OtherRequest(const SetupPacket& setup, std::span<uint8_t> data, uint32_t) {
    {
        std::lock_guard guard(recordLock_);
        requests_.push_back(setup);
    }
    if (brokenConfiguration) return Stall();
    switch (setup.bRequest) {
        case 0x01: {  // IN: a counting pattern
            if (!setup.In()) return Stall();
            uint32_t n = std::min<uint32_t>(answerLength, static_cast<uint32_t>(data.size()));
            for (uint32_t i = 0; i < n; ++i) data[i] = static_cast<uint8_t>(0xA0 + i);
            return Ack(n);
        }
        case 0x02: {  // OUT: kept
            if (setup.In()) return Stall();
            std::lock_guard guard(recordLock_);
            lastOut_.assign(data.begin(), data.end());
            return Ack(static_cast<uint32_t>(data.size()));
        }
        case 0xDD: return {Handshake::NoResponse, 0};
        default: return Stall();
    }
}

bool TestDevice::OnSetInterface(uint8_t interfaceNumber, uint8_t alternate, uint32_t) {
    std::lock_guard guard(recordLock_);
    interfaceChanges_.emplace_back(interfaceNumber, alternate);
    return true;
}

IsoResult TestDevice::IsochronousIn(uint8_t endpoint, uint32_t frame, std::span<uint8_t> packet) {
    {
        std::lock_guard guard(recordLock_);
        inFrames_.push_back(frame);
    }
    if (frame == stallFrame) return {IsoResult::Status::Stall, 0};
    if (frame == detachFrame) return {IsoResult::Status::Detached, 0};
    if (const int64_t busy = busyNs.load(); busy > 0) {
        const int64_t start = qk::nt::CurrentThreadProcessorNs();
        while (qk::nt::CurrentThreadProcessorNs() - start < busy) {
        }
    }
    uint32_t length = packetLength ? packetLength.load() : 16 + frame % 5 * 100;
    length = std::min<uint32_t>(length, static_cast<uint32_t>(packet.size()));
    for (uint32_t i = 0; i < length; ++i) packet[i] = static_cast<uint8_t>(frame + i);
    if (length >= 4) std::memcpy(packet.data(), &frame, 4);
    return {IsoResult::Status::Ok, length};
}

IsoResult TestDevice::IsochronousOut(uint8_t, uint32_t frame, std::span<const uint8_t> packet) {
    std::lock_guard guard(recordLock_);
    outPackets_.emplace_back(frame, packet.size());
    return {IsoResult::Status::Ok, static_cast<uint32_t>(packet.size())};
}

std::vector<SetupPacket> TestDevice::Requests() {
    std::lock_guard guard(recordLock_);
    return requests_;
}
std::vector<uint32_t> TestDevice::InFrames() {
    std::lock_guard guard(recordLock_);
    return inFrames_;
}
std::vector<std::pair<uint32_t, size_t>> TestDevice::OutPackets() {
    std::lock_guard guard(recordLock_);
    return outPackets_;
}
std::vector<uint8_t> TestDevice::LastOut() {
    std::lock_guard guard(recordLock_);
    return lastOut_;
}
std::vector<std::pair<uint8_t, uint8_t>> TestDevice::InterfaceChanges() {
    std::lock_guard guard(recordLock_);
    return interfaceChanges_;
}

// ---- A pass-through function driver --------------------------------------------------------

namespace {

struct FunctionExtension {
    PDEVICE_OBJECT lower;
};

NTSTATUS PassDown(PDEVICE_OBJECT device, PIRP irp) {
    auto* ext = static_cast<FunctionExtension*>(device->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PDEVICE_OBJECT lower = ext->lower;
    if (stack->MajorFunction == IRP_MJ_CREATE || stack->MajorFunction == IRP_MJ_CLOSE ||
        stack->MajorFunction == IRP_MJ_CLEANUP) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }
    if (stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_REMOVE_DEVICE) {
        IoSkipCurrentIrpStackLocation(irp);
        NTSTATUS status = IoCallDriver(lower, irp);
        IoDetachDevice(lower);
        IoDeleteDevice(device);
        return status;
    }
    if (stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_SURPRISE_REMOVAL) {
        irp->IoStatus.Status = STATUS_SUCCESS;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(lower, irp);
}

NTSTATUS FunctionAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT fdo;
    NTSTATUS status = IoCreateDevice(driver, sizeof(FunctionExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status)) return status;
    static_cast<FunctionExtension*>(fdo->DeviceExtension)->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

VOID FunctionUnload(PDRIVER_OBJECT) {}

NTSTATUS FunctionEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (auto& f : driver->MajorFunction) f = PassDown;
    driver->DriverExtension->AddDevice = FunctionAddDevice;
    driver->DriverUnload = FunctionUnload;
    return STATUS_SUCCESS;
}

}  // namespace

void InstallTestFunctionDriver(const std::u16string& hardwareId) {
    namespace reg = qk::nt::reg;
    std::u16string id = hardwareId;
    for (auto& c : id) {
        if (c == u'\\') c = u'#';
    }
    HANDLE key;
    ASSERT_EQ(reg::CreatePath(u"\\Registry\\Machine\\SYSTEM\\DriverDatabase\\DeviceIds\\" + id, KEY_ALL_ACCESS, &key),
              STATUS_SUCCESS);
    reg::SetString(key, u"Service", u"QkUsbTestFn");
    reg::SetString(key, u"ClassGUID", u"{88bae032-5a81-49f0-bc3d-a4ff138216d6}");
    reg::SetString(key, u"Class", u"USBDevice");
    reg::SetString(key, u"DeviceDesc", u"Test function");
    ZwClose(key);
}

// ---- Asynchronous URBs -------------------------------------------------------------------------

AsyncUrb::AsyncUrb(PDEVICE_OBJECT target, size_t urbBytes)
    : target_(target), storage_((urbBytes + 7) / 8 + 1, 0), irp_(IoAllocateIrp(target->StackSize, FALSE)) {}

AsyncUrb::~AsyncUrb() { IoFreeIrp(irp_); }

NTSTATUS AsyncUrb::Completed(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* self = static_cast<AsyncUrb*>(context);
    self->irql_ = KeGetCurrentIrql();
    self->status_ = irp->IoStatus.Status;
    self->done_ = true;
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS AsyncUrb::Send() {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp_);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = Urb();
    IoSetCompletionRoutine(irp_, Completed, this, TRUE, TRUE, TRUE);
    return IoCallDriver(target_, irp_);
}

// ---- Fixture ----------------------------------------------------------------------------------------

void UsbBusTest::SetUp() {
    MachineTest::SetUp();
    qk::nt::Kernel::Get().TheClock().SetManual();
    ASSERT_EQ(WriteInstallationEntries(), STATUS_SUCCESS);
    qk::nt::io::RegisterStaticDriver(u"QkUsbTestFn.sys", FunctionEntry);
    HANDLE key;
    ASSERT_EQ(qk::nt::reg::CreatePath(u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\QkUsbTestFn",
                                      KEY_ALL_ACCESS, &key),
              STATUS_SUCCESS);
    qk::nt::reg::SetString(key, u"ImagePath", u"\\SystemRoot\\System32\\drivers\\QkUsbTestFn.sys", REG_EXPAND_SZ);
    ZwClose(key);
    InstallTestFunctionDriver(u"USB\\VID_1234&PID_5678&MI_00");
    InstallTestFunctionDriver(u"USB\\VID_1234&PID_5678&MI_02");
    InstallTestFunctionDriver(u"USB\\VID_1234&PID_5679");
    Advance(5000);  // frames are numbered from boot; start away from 0
}

void UsbBusTest::TearDown() { MachineTest::TearDown(); }

void UsbBusTest::Advance(int64_t milliseconds) { qk::nt::Kernel::Get().Advance(milliseconds * qk::nt::kMillisecond); }

std::u16string UsbBusTest::PathOf(const std::u16string& deviceId) {
    for (const auto& d : qk::nt::pnp::Devices()) {
        if (d.present && d.instancePath.rfind(deviceId + u"\\", 0) == 0) return d.instancePath;
    }
    return {};
}

PDEVICE_OBJECT UsbBusTest::Top(const std::u16string& instancePath) {
    qk::nt::pnp::DeviceInfo info;
    if (!qk::nt::pnp::FindDevice(instancePath, &info) || info.pdo == nullptr) return nullptr;
    return IoGetAttachedDevice(info.pdo);
}

NTSTATUS UsbBusTest::Send(PDEVICE_OBJECT target, PURB urb) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK io{};
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, target, nullptr, 0, nullptr, 0, TRUE, &done, &io);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
    NTSTATUS status = IoCallDriver(target, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = io.Status;
    }
    return status;
}

NTSTATUS UsbBusTest::GetDescriptor(PDEVICE_OBJECT target, UCHAR type, UCHAR index, ULONG length,
                                   std::vector<uint8_t>* out) {
    URB urb{};
    out->assign(length, 0xEE);
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type, index, 0, out->data(), nullptr,
                                 length, nullptr);
    NTSTATUS status = Send(target, &urb);
    out->resize(urb.UrbControlDescriptorRequest.TransferBufferLength);
    return status;
}

USBD_CONFIGURATION_HANDLE UsbBusTest::Configure(PDEVICE_OBJECT target) {
    std::vector<uint8_t> configuration;
    if (!NT_SUCCESS(GetDescriptor(target, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 1024, &configuration))) return nullptr;
    auto* c = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configuration.data());
    std::vector<USBD_INTERFACE_LIST_ENTRY> list;
    for (auto* p = USBD_ParseConfigurationDescriptorEx(c, c, -1, 0, -1, -1, -1); p != nullptr;
         p = USBD_ParseConfigurationDescriptorEx(c, reinterpret_cast<PUCHAR>(p) + p->bLength, -1, 0, -1, -1, -1)) {
        list.push_back({p, nullptr});
    }
    list.push_back({nullptr, nullptr});
    PURB urb = USBD_CreateConfigurationRequestEx(c, list.data());
    if (urb == nullptr) return nullptr;
    NTSTATUS status = Send(target, urb);
    USBD_CONFIGURATION_HANDLE handle = NT_SUCCESS(status) ? urb->UrbSelectConfiguration.ConfigurationHandle : nullptr;
    ExFreePool(urb);
    return handle;
}

USBD_PIPE_INFORMATION UsbBusTest::SelectAlternate(PDEVICE_OBJECT target, USBD_CONFIGURATION_HANDLE configuration,
                                                  UCHAR interfaceNumber, UCHAR alternate, USBD_STATUS* status) {
    std::vector<uint64_t> storage(GET_SELECT_INTERFACE_REQUEST_SIZE(2) / 8 + 1, 0);
    auto* urb = reinterpret_cast<PURB>(storage.data());
    UsbBuildSelectInterfaceRequest(urb, static_cast<USHORT>(GET_SELECT_INTERFACE_REQUEST_SIZE(2)), configuration,
                                   interfaceNumber, alternate);
    Send(target, urb);
    auto& request = *reinterpret_cast<struct _URB_SELECT_INTERFACE*>(urb);
    if (status) *status = request.Hdr.Status;
    USBD_PIPE_INFORMATION pipe{};
    if (USBD_SUCCESS(request.Hdr.Status) && request.Interface.NumberOfPipes > 0) pipe = request.Interface.Pipes[0];
    return pipe;
}

std::unique_ptr<AsyncUrb> UsbBusTest::Isochronous(PDEVICE_OBJECT target, USBD_PIPE_HANDLE pipe, ULONG packets,
                                                  ULONG packetBytes, ULONG startFrame, bool asap,
                                                  std::vector<uint8_t>* buffer, bool in) {
    auto async = std::make_unique<AsyncUrb>(target, GET_ISO_URB_SIZE(packets));
    auto& r = async->As<struct _URB_ISOCH_TRANSFER>();
    buffer->assign(size_t{packets} * packetBytes, 0xEE);
    r.Hdr.Length = static_cast<USHORT>(GET_ISO_URB_SIZE(packets));
    r.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
    r.PipeHandle = pipe;
    r.TransferFlags = (in ? USBD_TRANSFER_DIRECTION_IN : USBD_TRANSFER_DIRECTION_OUT) |
                      (asap ? USBD_START_ISO_TRANSFER_ASAP : 0);
    r.TransferBufferLength = packets * packetBytes;
    r.TransferBuffer = buffer->data();
    r.StartFrame = startFrame;
    r.NumberOfPackets = packets;
    for (ULONG i = 0; i < packets; ++i) r.IsoPacket[i].Offset = i * packetBytes;
    return async;
}

}  // namespace qk::usb::testing
