// URBs from a driver, with hostile lengths, offsets, counts and handles: the
// bus answers every one with a status and never reads or writes outside the
// URB (as long as its Hdr.Length) or the transfer buffer (as long as its
// TransferBufferLength), which is what a driver vouches for.
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

#include <unistd.h>

#include "fuzz/common/fuzz_world.h"
#include "platform/nt/kernel.h"
#include "platform/nt/machine.h"
#include "platform/nt/pnp.h"
#include "platform/usb/standard_device.h"
#include "platform/usb/usb_bus.h"
#include "usbdi.h"
#include "usbdlib.h"

namespace {

// A small device: interface 0 with an isochronous IN endpoint on setting 1,
// interface 1 with an isochronous OUT endpoint on setting 1.
class FuzzDevice : public qk::usb::StandardDevice {
public:
    FuzzDevice() {
        qk::usb::DescriptorSet set;
        set.device = {18, 1, 0x00, 0x02, 0xFF, 0, 0, 64, 0x34, 0x12, 0x78, 0x56, 0x00, 0x01, 0, 0, 0, 1};
        set.configuration = {9, 2, 0, 0, 2, 1, 0, 0x80, 50,
                             9, 4, 0, 0, 0, 0xFF, 0, 0, 0, 9, 4, 0, 1, 1, 0xFF, 0, 0, 0, 7, 5, 0x81, 0x05, 0x00, 0x14, 1,
                             9, 4, 1, 0, 0, 0xFF, 0, 0, 0, 9, 4, 1, 1, 1, 0xFF, 0, 0, 0, 7, 5, 0x02, 0x09, 0xC0, 0x00, 4};
        set.configuration[2] = static_cast<uint8_t>(set.configuration.size());
        SetDescriptors(set);
    }
    qk::usb::Speed DeviceSpeed() const override { return qk::usb::Speed::High; }
    qk::usb::IsoResult IsochronousIn(uint8_t, uint32_t frame, std::span<uint8_t> packet) override {
        uint32_t n = static_cast<uint32_t>(frame % 7 * 3000 % (packet.size() + 1));
        std::memset(packet.data(), static_cast<int>(frame), n);
        return {frame % 97 == 0 ? qk::usb::IsoResult::Status::NoResponse : qk::usb::IsoResult::Status::Ok, n};
    }
    qk::usb::IsoResult IsochronousOut(uint8_t, uint32_t, std::span<const uint8_t> packet) override {
        volatile uint8_t sum = 0;
        for (uint8_t b : packet) sum = static_cast<uint8_t>(sum + b);  // every byte of the packet is read
        return {qk::usb::IsoResult::Status::Ok, static_cast<uint32_t>(packet.size())};
    }
    std::string Name() const override { return "fuzz device"; }

protected:
    qk::usb::ControlResult OtherRequest(const qk::usb::SetupPacket& setup, std::span<uint8_t> data, uint32_t) override {
        if (setup.In()) {
            std::memset(data.data(), 0x5A, data.size());
            return Ack(static_cast<uint32_t>(data.size()) / 2);
        }
        return setup.bRequest & 1 ? Stall() : Ack(static_cast<uint32_t>(data.size()));
    }
};

struct World {
    PDEVICE_OBJECT pdo = nullptr;
};

World& TheWorld() {
    static World* world = [] {
        auto* w = new World;
        qk::fuzzing::BootMachine("urb");
        qk::nt::Kernel::Get().TheClock().SetManual();
        qk::nt::Kernel::Get().Advance(5000 * qk::nt::kMillisecond);
        qk::usb::WriteInstallationEntries();
        qk::usb::Plug(std::make_shared<FuzzDevice>());
        for (const auto& d : qk::nt::pnp::Devices()) {
            if (d.instancePath.rfind(u"USB\\VID_1234&PID_5678\\", 0) == 0) w->pdo = d.pdo;
        }
        return w;
    }();
    return *world;
}

NTSTATUS Signal(PDEVICE_OBJECT, PIRP, PVOID context) {
    *static_cast<bool*>(context) = true;
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS Submit(PDEVICE_OBJECT pdo, void* urb) {
    bool done = false;
    PIRP irp = IoAllocateIrp(pdo->StackSize, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(irp, Signal, &done, TRUE, TRUE, TRUE);
    IoCallDriver(pdo, irp);
    // Isochronous transfers end with their frames; control transfers at once.
    for (int step = 0; step < 12 && !done; ++step) qk::nt::Kernel::Get().Advance(100 * qk::nt::kMillisecond);
    if (!done) IoCancelIrp(irp);
    KeFlushQueuedDpcs();
    NTSTATUS status = irp->IoStatus.Status;
    if (done) IoFreeIrp(irp);  // never: a transfer still pending after cancel would leak, not corrupt
    return status;
}

// Selects the configuration with both interfaces at setting 1 and returns the pipes.
std::vector<USBD_PIPE_HANDLE> Configure(PDEVICE_OBJECT pdo, USBD_CONFIGURATION_HANDLE* configuration,
                                        std::vector<uint8_t>& descriptor) {
    std::vector<uint64_t> urb(64, 0);
    auto* r = reinterpret_cast<struct _URB_CONTROL_DESCRIPTOR_REQUEST*>(urb.data());
    descriptor.assign(256, 0);
    UsbBuildGetDescriptorRequest(r, sizeof *r, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, descriptor.data(), nullptr, 256,
                                 nullptr);
    Submit(pdo, r);
    auto* c = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(descriptor.data());
    USBD_INTERFACE_LIST_ENTRY list[] = {{USBD_ParseConfigurationDescriptor(c, 0, 1), nullptr},
                                        {USBD_ParseConfigurationDescriptor(c, 1, 1), nullptr},
                                        {nullptr, nullptr}};
    std::vector<USBD_PIPE_HANDLE> pipes;
    if (list[0].InterfaceDescriptor == nullptr || list[1].InterfaceDescriptor == nullptr) return pipes;
    PURB select = USBD_CreateConfigurationRequestEx(c, list);
    if (select == nullptr) return pipes;
    if (NT_SUCCESS(Submit(pdo, select))) {
        *configuration = select->UrbSelectConfiguration.ConfigurationHandle;
        pipes.push_back(list[0].Interface->Pipes[0].PipeHandle);
        pipes.push_back(list[1].Interface->Pipes[0].PipeHandle);
    }
    ExFreePool(select);
    return pipes;
}

bool HasTransferBuffer(USHORT function) {
    switch (function) {
        case URB_FUNCTION_SELECT_CONFIGURATION:
        case URB_FUNCTION_SELECT_INTERFACE:
        case URB_FUNCTION_ABORT_PIPE:
        case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
        case URB_FUNCTION_SYNC_RESET_PIPE:
        case URB_FUNCTION_SYNC_CLEAR_STALL:
        case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER:
        case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
        case URB_FUNCTION_SET_FEATURE_TO_INTERFACE:
        case URB_FUNCTION_SET_FEATURE_TO_ENDPOINT:
        case URB_FUNCTION_SET_FEATURE_TO_OTHER:
        case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE:
        case URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE:
        case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT:
        case URB_FUNCTION_CLEAR_FEATURE_TO_OTHER: return false;
        default: return true;
    }
}

}  // namespace

// Input: a selector byte (which pipe handle to use, whether the configuration
// descriptor pointer is given), a 16-bit transfer length, then the URB's bytes.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    World& world = TheWorld();
    if (world.pdo == nullptr || size < 3 + sizeof(struct _URB_HEADER)) return 0;
    USBD_CONFIGURATION_HANDLE configuration = nullptr;
    std::vector<uint8_t> descriptor;
    std::vector<USBD_PIPE_HANDLE> pipes = Configure(world.pdo, &configuration, descriptor);
    uint8_t selector = data[0];
    size_t transferLength = static_cast<size_t>(data[1] | data[2] << 8);
    data += 3;
    size -= 3;
    // The URB is exactly as long as its header says (at least the header).
    std::vector<uint64_t> storage(0x10000 / 8 + 1, 0);
    auto* bytes = reinterpret_cast<uint8_t*>(storage.data());
    std::memcpy(bytes, data, size < 0x10000 ? size : 0x10000);
    auto* header = reinterpret_cast<struct _URB_HEADER*>(bytes);
    size_t length = header->Length < sizeof(struct _URB_HEADER) ? sizeof(struct _URB_HEADER) : header->Length;
    std::vector<uint64_t> exact((length + 7) / 8, 0);
    std::memcpy(exact.data(), bytes, length);
    auto* urb = reinterpret_cast<uint8_t*>(exact.data());
    std::vector<uint8_t> buffer(transferLength, 0xA5);
    auto put = [&](size_t offset, const void* value) {
        if (offset + sizeof(void*) <= length) std::memcpy(urb + offset, &value, sizeof(void*));
    };
    USHORT function = header->Function;
    // Pointers a driver gives: the transfer buffer of the length it says, no MDL, no link.
    if (HasTransferBuffer(function) && length >= 40) {
        ULONG n = static_cast<ULONG>(transferLength);
        std::memcpy(urb + 36, &n, 4);
        put(40, buffer.data());
        put(48, nullptr);
        put(56, nullptr);
    }
    if (function == URB_FUNCTION_SELECT_CONFIGURATION) {
        put(24, (selector & 0x80) ? nullptr : descriptor.data());
    } else if (function == URB_FUNCTION_SELECT_INTERFACE) {
        if (selector & 0x40) put(24, configuration);
    } else if (!pipes.empty() && (selector & 3) < 2) {
        put(24, pipes[selector & 1]);  // a live pipe; otherwise the handle stays as given
    }
    Submit(world.pdo, urb);
    return 0;
}
