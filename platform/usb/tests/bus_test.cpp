// Scripted conversations between a driver's URBs and a test device through
// the bus: identification, descriptors, configuration, control requests,
// hot plug.
#include <gtest/gtest.h>

#include "platform/nt/io_manager.h"
#include "platform/nt/kernel.h"
#include "platform/nt/pnp.h"
#include "platform/usb/testing/bus_fixture.h"

namespace qk::usb::testing {
namespace {

using qk::nt::pnp::DeviceInfo;

class BusTest : public UsbBusTest {};

TEST_F(BusTest, CompositeDeviceGetsOnePdoPerFunctionWithUsualIds) {
    auto device = std::make_shared<TestDevice>();
    int port = Plug(device);
    EXPECT_EQ(port, 1);
    // The hub read the descriptors, gave an address and configured the composite device.
    EXPECT_NE(device->Address(), 0);
    EXPECT_TRUE(device->Configured());

    std::u16string video = PathOf(u"USB\\VID_1234&PID_5678&MI_00");
    std::u16string other = PathOf(u"USB\\VID_1234&PID_5678&MI_02");
    ASSERT_FALSE(video.empty());
    ASSERT_FALSE(other.empty());
    EXPECT_NE(video.find(u"\\6&"), std::u16string::npos);
    EXPECT_EQ(video.substr(video.size() - 5), u"&0000");
    EXPECT_EQ(other.substr(other.size() - 5), u"&0002");

    DeviceInfo info;
    ASSERT_TRUE(qk::nt::pnp::FindDevice(video, &info));
    EXPECT_TRUE(info.started);
    EXPECT_EQ(info.service, u"QkUsbTestFn");
    EXPECT_EQ(info.hardwareIds,
              (std::vector<std::u16string>{u"USB\\VID_1234&PID_5678&REV_0102&MI_00", u"USB\\VID_1234&PID_5678&MI_00"}));
    // The function's class comes from its interface association.
    EXPECT_EQ(info.compatibleIds, (std::vector<std::u16string>{u"USB\\Class_ff&SubClass_03&Prot_00",
                                                               u"USB\\Class_ff&SubClass_03", u"USB\\Class_ff"}));
    ASSERT_TRUE(qk::nt::pnp::FindDevice(other, &info));
    EXPECT_EQ(info.compatibleIds[0], u"USB\\Class_01&SubClass_02&Prot_00");
    DeviceInfo bus;
    ASSERT_TRUE(qk::nt::pnp::FindDevice(info.parentInstancePath, &bus));
    EXPECT_EQ(bus.service, u"QkUsbHub");

    // Named PDOs, so that device interfaces can be registered on them.
    ULONG needed = 0;
    WCHAR name[64];
    EXPECT_EQ(IoGetDeviceProperty(info.pdo, DevicePropertyPhysicalDeviceObjectName, sizeof name, name, &needed),
              STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(name).rfind(u"\\Device\\", 0), 0u);
}

TEST_F(BusTest, SingleFunctionDeviceKeepsThePlainIdsAndItsSerialNumber) {
    Plug(std::make_shared<TestDevice>(false));
    std::u16string path = PathOf(u"USB\\VID_1234&PID_5679");
    EXPECT_EQ(path, u"USB\\VID_1234&PID_5679\\SN0001");
    DeviceInfo info;
    ASSERT_TRUE(qk::nt::pnp::FindDevice(path, &info));
    EXPECT_EQ(info.hardwareIds,
              (std::vector<std::u16string>{u"USB\\VID_1234&PID_5679&REV_0102", u"USB\\VID_1234&PID_5679"}));
    EXPECT_EQ(info.compatibleIds.front(), u"USB\\Class_ff&SubClass_00&Prot_00");
}

TEST_F(BusTest, DescriptorsOfAnyLengthAndTheFunctionsOwnConfiguration) {
    auto device = std::make_shared<TestDevice>();
    Plug(device);
    PDEVICE_OBJECT top = Top(PathOf(u"USB\\VID_1234&PID_5678&MI_00"));
    ASSERT_NE(top, nullptr);
    std::vector<uint8_t> d;
    ASSERT_EQ(GetDescriptor(top, USB_DEVICE_DESCRIPTOR_TYPE, 0, 255, &d), STATUS_SUCCESS);
    ASSERT_EQ(d.size(), 18u);
    EXPECT_EQ(d[8] | d[9] << 8, 0x1234);
    ASSERT_EQ(GetDescriptor(top, USB_DEVICE_DESCRIPTOR_TYPE, 0, 8, &d), STATUS_SUCCESS);
    EXPECT_EQ(d.size(), 8u);

    // The function sees its own interfaces only (0 and 1), as under a composite parent.
    ASSERT_EQ(GetDescriptor(top, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 9, &d), STATUS_SUCCESS);
    ASSERT_EQ(d.size(), 9u);
    size_t total = d[2] | d[3] << 8;
    EXPECT_EQ(d[4], 2);  // bNumInterfaces
    ASSERT_EQ(GetDescriptor(top, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 4096, &d), STATUS_SUCCESS);
    ASSERT_EQ(d.size(), total);
    EXPECT_EQ(d[9 + 1], USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE);
    auto* c = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(d.data());
    EXPECT_NE(USBD_ParseConfigurationDescriptorEx(c, c, 1, 2, -1, -1, -1), nullptr);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(c, c, 2, -1, -1, -1, -1), nullptr);

    // Strings: the language list and a string in that language.
    ASSERT_EQ(GetDescriptor(top, USB_STRING_DESCRIPTOR_TYPE, 2, 255, &d), STATUS_SUCCESS);
    EXPECT_EQ(d[0], 2 + 2 * 11);  // "Test Device"
    // A descriptor the device does not have: the request stalls.
    URB urb{};
    std::vector<uint8_t> buffer(64);
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), USB_STRING_DESCRIPTOR_TYPE, 9, 0x0409,
                                 buffer.data(), nullptr, 64, nullptr);
    EXPECT_EQ(Send(top, &urb), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
}

TEST_F(BusTest, SelectConfigurationAndInterfaceReportPipesAndSetTheDevice) {
    auto device = std::make_shared<TestDevice>();
    Plug(device);
    PDEVICE_OBJECT top = Top(PathOf(u"USB\\VID_1234&PID_5678&MI_00"));
    USBD_CONFIGURATION_HANDLE configuration = Configure(top);
    ASSERT_NE(configuration, nullptr);

    USBD_STATUS status;
    USBD_PIPE_INFORMATION pipe = SelectAlternate(top, configuration, 1, 2, &status);
    EXPECT_EQ(status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(pipe.EndpointAddress, 0x81);
    EXPECT_EQ(pipe.PipeType, UsbdPipeTypeIsochronous);
    // One packet is one 1 ms frame: 8 microframes of 3 x 1024 bytes.
    EXPECT_EQ(pipe.MaximumPacketSize, 24576);
    EXPECT_NE(pipe.PipeHandle, nullptr);
    EXPECT_EQ(device->AlternateOf(1), 2);
    EXPECT_EQ(device->InterfaceChanges().back(), std::make_pair(uint8_t{1}, uint8_t{2}));

    // An interface of the other function, an alternate setting that does not
    // exist, a stale configuration handle, a request too short for the pipes.
    SelectAlternate(top, configuration, 2, 1, &status);
    EXPECT_EQ(status, USBD_STATUS_INTERFACE_NOT_FOUND);
    SelectAlternate(top, configuration, 1, 7, &status);
    EXPECT_EQ(status, USBD_STATUS_INTERFACE_NOT_FOUND);
    SelectAlternate(top, reinterpret_cast<USBD_CONFIGURATION_HANDLE>(0x1), 1, 1, &status);
    EXPECT_EQ(status, USBD_STATUS_INVALID_PARAMETER);
    std::vector<uint64_t> storage(sizeof(URB) / 8 + 1, 0);
    auto* urb = reinterpret_cast<PURB>(storage.data());
    UsbBuildSelectInterfaceRequest(urb, static_cast<USHORT>(offsetof(struct _URB_SELECT_INTERFACE, Interface) + 24),
                                   configuration, 1, 1);
    EXPECT_EQ(Send(top, urb), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_BUFFER_TOO_SMALL);

    // The old pipe closed with its interface's new setting.
    USBD_PIPE_INFORMATION smaller = SelectAlternate(top, configuration, 1, 1, &status);
    EXPECT_EQ(smaller.MaximumPacketSize, 4096);
    URB abort{};
    abort.UrbPipeRequest.Hdr.Length = sizeof(struct _URB_PIPE_REQUEST);
    abort.UrbPipeRequest.Hdr.Function = URB_FUNCTION_ABORT_PIPE;
    abort.UrbPipeRequest.PipeHandle = pipe.PipeHandle;
    EXPECT_EQ(Send(top, &abort), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(abort.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);

    // Unconfigure: the streaming interface goes back to setting 0 on the device.
    URB unconfigure{};
    UsbBuildSelectConfigurationRequest(&unconfigure, sizeof(struct _URB_SELECT_CONFIGURATION), nullptr);
    EXPECT_EQ(Send(top, &unconfigure), STATUS_SUCCESS);
    EXPECT_EQ(device->AlternateOf(1), 0);
}

TEST_F(BusTest, PeriodicBandwidthIsSharedAcrossTheBus) {
    auto first = std::make_shared<TestDevice>();
    auto second = std::make_shared<TestDevice>();
    Plug(first);
    Plug(second);
    std::vector<PDEVICE_OBJECT> tops;
    for (const auto& d : qk::nt::pnp::Devices()) {
        if (d.present && d.instancePath.rfind(u"USB\\VID_1234&PID_5678&MI_00\\", 0) == 0) tops.push_back(Top(d.instancePath));
    }
    ASSERT_EQ(tops.size(), 2u);
    USBD_STATUS status;
    SelectAlternate(tops[0], Configure(tops[0]), 1, 2, &status);
    EXPECT_EQ(status, USBD_STATUS_SUCCESS);
    USBD_CONFIGURATION_HANDLE other = Configure(tops[1]);
    SelectAlternate(tops[1], other, 1, 2, &status);
    EXPECT_EQ(status, USBD_STATUS_NO_BANDWIDTH);  // 2 x 24576 bytes a frame is more than a bus carries
    SelectAlternate(tops[1], other, 1, 1, &status);
    EXPECT_EQ(status, USBD_STATUS_SUCCESS);
}

TEST_F(BusTest, ClassRequestsMoveDataBothWaysAndReportLengths) {
    auto device = std::make_shared<TestDevice>();
    Plug(device);
    PDEVICE_OBJECT top = Top(PathOf(u"USB\\VID_1234&PID_5678&MI_00"));
    struct Case {
        const char* name;
        USHORT function;
        ULONG flags;
        UCHAR request;
        ULONG length;
        uint32_t answer;
        NTSTATUS status;
        USBD_STATUS usbd;
        ULONG moved;
    };
    const Case cases[] = {
        {"in, device answers in full", URB_FUNCTION_CLASS_INTERFACE, USBD_TRANSFER_DIRECTION_IN, 0x01, 10, 10,
         STATUS_SUCCESS, USBD_STATUS_SUCCESS, 10},
        {"in, short answer", URB_FUNCTION_CLASS_INTERFACE, USBD_TRANSFER_DIRECTION_IN, 0x01, 34, 26, STATUS_SUCCESS,
         USBD_STATUS_SUCCESS, 26},
        {"in, host asks less", URB_FUNCTION_VENDOR_DEVICE, USBD_TRANSFER_DIRECTION_IN, 0x01, 2, 10, STATUS_SUCCESS,
         USBD_STATUS_SUCCESS, 2},
        {"out", URB_FUNCTION_CLASS_INTERFACE, USBD_TRANSFER_DIRECTION_OUT, 0x02, 4, 0, STATUS_SUCCESS,
         USBD_STATUS_SUCCESS, 4},
        {"stalled", URB_FUNCTION_CLASS_INTERFACE, USBD_TRANSFER_DIRECTION_IN, 0x7E, 4, 0, STATUS_UNSUCCESSFUL,
         USBD_STATUS_STALL_PID, 0},
        {"no answer", URB_FUNCTION_CLASS_ENDPOINT, USBD_TRANSFER_DIRECTION_IN, 0xDD, 4, 0, STATUS_UNSUCCESSFUL,
         USBD_STATUS_DEV_NOT_RESPONDING, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        device->answerLength = c.answer;
        URB urb{};
        std::vector<uint8_t> buffer(c.length, 0x11);
        for (ULONG i = 0; i < c.length; ++i) buffer[i] = static_cast<uint8_t>(0x50 + i);
        UsbBuildVendorRequest(&urb, c.function, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), c.flags, 0,
                              c.request, 0x0200, 0x0401, buffer.data(), nullptr, c.length, nullptr);
        EXPECT_EQ(Send(top, &urb), c.status);
        EXPECT_EQ(urb.UrbHeader.Status, c.usbd);
        EXPECT_EQ(urb.UrbControlVendorClassRequest.TransferBufferLength, c.moved);
        SetupPacket seen = device->Requests().back();
        EXPECT_EQ(seen.bRequest, c.request);
        EXPECT_EQ(seen.wValue, 0x0200);
        EXPECT_EQ(seen.wIndex, 0x0401);
        EXPECT_EQ(seen.wLength, c.length);
        if (c.usbd == USBD_STATUS_SUCCESS && (c.flags & USBD_TRANSFER_DIRECTION_IN)) {
            EXPECT_EQ(buffer[0], 0xA0);
            if (c.moved < c.length) {
                EXPECT_EQ(buffer[c.moved], 0x50 + c.moved);  // untouched past the answer
            }
        }
    }
    EXPECT_EQ(device->LastOut(), (std::vector<uint8_t>{0x50, 0x51, 0x52, 0x53}));
    EXPECT_EQ(device->Requests()[0].bmRequestType, 0xA1);  // class, interface, in
    EXPECT_EQ(device->Requests()[2].bmRequestType, 0xC0);  // vendor, device, in
}

TEST_F(BusTest, ControlTransfersCompleteAtDispatchLevelWhenASlowDeviceAnswers) {
    auto device = std::make_shared<TestDevice>();
    Plug(device);
    PDEVICE_OBJECT top = Top(PathOf(u"USB\\VID_1234&PID_5678&MI_00"));
    device->latency = 30 * qk::nt::kMillisecond;
    std::vector<uint8_t> first(4), second(4);
    AsyncUrb a(top, sizeof(URB)), b(top, sizeof(URB));
    UsbBuildVendorRequest(a.Urb(), URB_FUNCTION_CLASS_INTERFACE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          USBD_TRANSFER_DIRECTION_IN, 0, 0x01, 0, 0, first.data(), nullptr, 4, nullptr);
    UsbBuildVendorRequest(b.Urb(), URB_FUNCTION_CLASS_INTERFACE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          USBD_TRANSFER_DIRECTION_IN, 0, 0x01, 0, 0, second.data(), nullptr, 4, nullptr);
    EXPECT_EQ(a.Send(), STATUS_PENDING);
    EXPECT_EQ(b.Send(), STATUS_PENDING);
    Advance(29);
    EXPECT_FALSE(a.Done());
    Advance(1);
    EXPECT_TRUE(a.Done());
    EXPECT_FALSE(b.Done());  // the default pipe answers one request at a time
    Advance(30);
    EXPECT_TRUE(b.Done());
    EXPECT_EQ(a.Status(), STATUS_SUCCESS);
    EXPECT_EQ(a.CompletionIrql(), DISPATCH_LEVEL);
}

TEST_F(BusTest, CancelledControlTransferCompletesCancelled) {
    auto device = std::make_shared<TestDevice>();
    Plug(device);
    PDEVICE_OBJECT top = Top(PathOf(u"USB\\VID_1234&PID_5678&MI_00"));
    device->latency = 6 * qk::nt::kSecond;  // longer than a driver's time-out
    std::vector<uint8_t> buffer(4);
    AsyncUrb a(top, sizeof(URB));
    UsbBuildVendorRequest(a.Urb(), URB_FUNCTION_CLASS_INTERFACE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          USBD_TRANSFER_DIRECTION_IN, 0, 0x01, 0, 0, buffer.data(), nullptr, 4, nullptr);
    EXPECT_EQ(a.Send(), STATUS_PENDING);
    Advance(5000);
    EXPECT_FALSE(a.Done());
    EXPECT_TRUE(IoCancelIrp(a.Irp()));
    KeFlushQueuedDpcs();
    ASSERT_TRUE(a.Done());
    EXPECT_EQ(a.Status(), STATUS_CANCELLED);
    EXPECT_EQ(a.Urb()->UrbHeader.Status, USBD_STATUS_CANCELED);
    EXPECT_EQ(a.CompletionIrql(), DISPATCH_LEVEL);
}

TEST_F(BusTest, HostileUrbsGetErrorsNotAccesses) {
    auto device = std::make_shared<TestDevice>();
    Plug(device);
    PDEVICE_OBJECT top = Top(PathOf(u"USB\\VID_1234&PID_5678&MI_00"));
    struct Case {
        const char* name;
        USHORT function;
        USHORT length;
        USBD_STATUS usbd;
    };
    const Case cases[] = {
        {"header shorter than a header", URB_FUNCTION_GET_CURRENT_FRAME_NUMBER, 8, USBD_STATUS_INVALID_PARAMETER},
        {"frame number too short", URB_FUNCTION_GET_CURRENT_FRAME_NUMBER, 24, USBD_STATUS_INVALID_PARAMETER},
        {"descriptor request too short", URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, 100, USBD_STATUS_INVALID_PARAMETER},
        {"class request too short", URB_FUNCTION_CLASS_INTERFACE, 135, USBD_STATUS_INVALID_PARAMETER},
        {"select configuration without room", URB_FUNCTION_SELECT_CONFIGURATION, 30, USBD_STATUS_INVALID_PARAMETER},
        {"unknown function", 0x7777, sizeof(URB), USBD_STATUS_INVALID_URB_FUNCTION},
        {"obsolete frame length control", URB_FUNCTION_TAKE_FRAME_LENGTH_CONTROL, sizeof(URB), USBD_STATUS_NOT_SUPPORTED},
        {"abort of a pipe that never was", URB_FUNCTION_ABORT_PIPE, sizeof(struct _URB_PIPE_REQUEST),
         USBD_STATUS_INVALID_PIPE_HANDLE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        URB urb{};
        urb.UrbHeader.Function = c.function;
        urb.UrbHeader.Length = c.length;
        urb.UrbPipeRequest.PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(0xDEAD);
        EXPECT_FALSE(NT_SUCCESS(Send(top, &urb)));
        EXPECT_EQ(urb.UrbHeader.Status, c.usbd);
    }
    // A control transfer may not change what the bus owns.
    URB urb{};
    urb.UrbControlTransfer.Hdr.Length = sizeof(struct _URB_CONTROL_TRANSFER);
    urb.UrbControlTransfer.Hdr.Function = URB_FUNCTION_CONTROL_TRANSFER;
    urb.UrbControlTransfer.TransferFlags = USBD_DEFAULT_PIPE_TRANSFER;
    const UCHAR setConfiguration[8] = {0x00, USB_REQUEST_SET_CONFIGURATION, 0, 0, 0, 0, 0, 0};
    std::memcpy(urb.UrbControlTransfer.SetupPacket, setConfiguration, 8);
    EXPECT_EQ(Send(top, &urb), STATUS_INVALID_PARAMETER);
    // The frame number, for the record, is the bus clock's milliseconds.
    URB frame{};
    frame.UrbGetCurrentFrameNumber.Hdr.Length = sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER);
    frame.UrbGetCurrentFrameNumber.Hdr.Function = URB_FUNCTION_GET_CURRENT_FRAME_NUMBER;
    EXPECT_EQ(Send(top, &frame), STATUS_SUCCESS);
    EXPECT_EQ(frame.UrbGetCurrentFrameNumber.FrameNumber,
              static_cast<ULONG>(qk::nt::Kernel::Get().TheClock().Now() / qk::nt::kMillisecond));
}

TEST_F(BusTest, UnplugRemovesTheFunctionsAndReplugKeepsTheirInstancePaths) {
    auto device = std::make_shared<TestDevice>();
    int port = Plug(device);
    std::u16string video = PathOf(u"USB\\VID_1234&PID_5678&MI_00");
    PDEVICE_OBJECT top = Top(video);
    ASSERT_NE(top, nullptr);
    EXPECT_TRUE(Unplug(port));
    EXPECT_FALSE(Unplug(port));
    EXPECT_TRUE(PathOf(u"USB\\VID_1234&PID_5678&MI_00").empty());
    EXPECT_EQ(qk::nt::io::FindDriver(u"QkUsbTestFn"), nullptr);  // its stacks went, so it unloaded

    Plug(std::make_shared<TestDevice>());
    EXPECT_EQ(PathOf(u"USB\\VID_1234&PID_5678&MI_00"), video);
}

TEST_F(BusTest, RequestsToAGoneDeviceFailAsOnARealBus) {
    auto device = std::make_shared<TestDevice>();
    int port = Plug(device);
    std::u16string video = PathOf(u"USB\\VID_1234&PID_5678&MI_00");
    DeviceInfo info;
    ASSERT_TRUE(qk::nt::pnp::FindDevice(video, &info));
    // An open handle keeps the stack after the device left (surprise removal).
    HANDLE handle;
    ASSERT_EQ(qk::nt::io::OpenDevice(qk::nt::io::DeviceName(info.pdo), GENERIC_READ, &handle), STATUS_SUCCESS);
    PDEVICE_OBJECT top = Top(video);
    Unplug(port);
    URB urb{};
    std::vector<uint8_t> buffer(18);
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), USB_DEVICE_DESCRIPTOR_TYPE, 0, 0,
                                 buffer.data(), nullptr, 18, nullptr);
    EXPECT_EQ(Send(top, &urb), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    ZwClose(handle);
    qk::nt::pnp::WaitIdle();
    EXPECT_EQ(qk::nt::io::FindDriver(u"QkUsbTestFn"), nullptr);
}

// A device whose descriptors a hub cannot read shows as an unknown device.
class BrokenDevice : public TestDevice {
public:
    BrokenDevice() {
        DescriptorSet set = Descriptors();
        set.configuration[4] = 5;  // bNumInterfaces does not match
        SetDescriptors(set, false);
    }
};

TEST_F(BusTest, DeviceWithBrokenDescriptorsBecomesAnUnknownDevice) {
    Plug(std::make_shared<BrokenDevice>());
    std::u16string path = PathOf(u"USB\\CONFIGURATION_DESCRIPTOR_VALIDATION_FAILURE");
    ASSERT_FALSE(path.empty());
    DeviceInfo info;
    ASSERT_TRUE(qk::nt::pnp::FindDevice(path, &info));
    EXPECT_EQ(info.problem, qk::nt::pnp::Problem::NoDriver);
}

}  // namespace
}  // namespace qk::usb::testing
