// The camera on the bus, talked to with the URBs a capture driver and an
// audio driver send: identification, configuration, the register block,
// probe and commit, a stream of isochronous transfers reassembled by the
// reference reader, the microphone, and hot unplug in the middle of it all.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/nt/kernel.h"
#include "platform/nt/pnp.h"
#include "platform/nt/wformat.h"
#include "platform/usb/testing/bus_fixture.h"
#include "sim/camera/camera.h"
#include "sim/camera/payload_reader.h"
#include "sim/microphone/usb_microphone.h"

namespace qk::sim::testing {
namespace {

using qk::usb::testing::AsyncUrb;

class CameraBusTest : public qk::usb::testing::UsbBusTest {
protected:
    void SetUp() override {
        UsbBusTest::SetUp();
        qk::usb::testing::InstallTestFunctionDriver(u"USB\\VID_FA57&PID_0340&MI_00");
        qk::usb::testing::InstallTestFunctionDriver(u"USB\\VID_FA57&PID_0340&MI_02");
        qk::usb::testing::InstallTestFunctionDriver(u"USB\\VID_FA01&PID_0007&MI_00");
    }
    void PlugCamera(CameraConfig config = {}) {
        camera_ = std::make_shared<Camera>(std::move(config));
        port_ = qk::usb::Plug(camera_);
        video_ = Top(PathOf(u"USB\\VID_FA57&PID_0340&MI_00"));
        ASSERT_NE(video_, nullptr);
    }
    // A class request to the video function, as the driver's wrapper sends it.
    NTSTATUS Class(bool in, UCHAR request, USHORT value, USHORT index, std::vector<uint8_t>& data,
                   ULONG* moved = nullptr) {
        URB urb{};
        UsbBuildVendorRequest(&urb, URB_FUNCTION_CLASS_INTERFACE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                              in ? USBD_TRANSFER_DIRECTION_IN : USBD_TRANSFER_DIRECTION_OUT, 0, request, value, index,
                              data.data(), nullptr, static_cast<ULONG>(data.size()), nullptr);
        NTSTATUS status = Send(video_, &urb);
        if (moved) *moved = urb.UrbControlVendorClassRequest.TransferBufferLength;
        return status;
    }
    uint8_t ReadRegister(uint16_t address) {
        std::vector<uint8_t> block = {0x00, static_cast<uint8_t>(address), static_cast<uint8_t>(address >> 8), 0};
        EXPECT_EQ(Class(false, 0x01, 0x0400, 0x0400, block), STATUS_SUCCESS);
        EXPECT_EQ(Class(true, 0x81, 0x0400, 0x0400, block), STATUS_SUCCESS);
        return block[3];
    }

    std::shared_ptr<Camera> camera_;
    int port_ = 0;
    PDEVICE_OBJECT video_ = nullptr;
};

TEST_F(CameraBusTest, DriverStartConversation) {
    PlugCamera();
    // Identification: "VID_%04x&PID_%04x" from the device descriptor.
    std::vector<uint8_t> d;
    ASSERT_EQ(GetDescriptor(video_, USB_DEVICE_DESCRIPTOR_TYPE, 0, 18, &d), STATUS_SUCCESS);
    auto* device = reinterpret_cast<PUSB_DEVICE_DESCRIPTOR>(d.data());
    EXPECT_EQ(qk::Format("VID_%04x&PID_%04x", device->idVendor, device->idProduct), "VID_fa57&PID_0340");
    // Configuration: 521 bytes first, then all of it.
    std::vector<uint8_t> c;
    ASSERT_EQ(GetDescriptor(video_, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 521, &c), STATUS_SUCCESS);
    ASSERT_EQ(c.size(), 521u);
    auto total = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(c.data())->wTotalLength;
    ASSERT_GT(total, 521);
    ASSERT_EQ(GetDescriptor(video_, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, total, &c), STATUS_SUCCESS);
    ASSERT_EQ(c.size(), total);
    auto* configuration = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(c.data());
    EXPECT_EQ(configuration->bNumInterfaces, 2);  // the video function's view
    // Select the configuration with the VideoControl interface only.
    PUSB_INTERFACE_DESCRIPTOR control = USBD_ParseConfigurationDescriptorEx(configuration, configuration, 0, -1, -1, -1, -1);
    PUSB_INTERFACE_DESCRIPTOR streaming = USBD_ParseConfigurationDescriptorEx(configuration, configuration, 1, -1, -1, -1, -1);
    ASSERT_NE(control, nullptr);
    ASSERT_NE(streaming, nullptr);
    EXPECT_EQ(control->bInterfaceClass, 0x0E);
    EXPECT_EQ(streaming->bInterfaceSubClass, 2);
    USBD_INTERFACE_LIST_ENTRY list[] = {{control, nullptr}, {nullptr, nullptr}};
    PURB select = USBD_CreateConfigurationRequestEx(configuration, list);
    ASSERT_EQ(Send(video_, select), STATUS_SUCCESS);
    USBD_CONFIGURATION_HANDLE handle = select->UrbSelectConfiguration.ConfigurationHandle;
    EXPECT_EQ(list[0].Interface->NumberOfPipes, 0u);
    ExFreePool(select);

    // The camera variant through the register block of unit 4, and the status byte.
    EXPECT_EQ(ReadRegister(0x8100), 2);
    std::vector<uint8_t> status(1);
    EXPECT_EQ(Class(true, 0x81, 0x0300, 0x0400, status), STATUS_SUCCESS);
    EXPECT_EQ(status[0], 1);
    // An unknown selector stalls: the request fails.
    EXPECT_EQ(Class(true, 0x81, 0x0900, 0x0400, status), STATUS_UNSUCCESSFUL);
    // GET_DEF of brightness: transfer length as asked.
    std::vector<uint8_t> value(2);
    ULONG moved = 0;
    EXPECT_EQ(Class(true, 0x87, 0x0200, 0x0200, value, &moved), STATUS_SUCCESS);
    EXPECT_EQ(moved, 2u);

    // Probe and commit: 640 x 480 YUY2 at 30 fps.
    std::vector<uint8_t> probe(34);
    ASSERT_EQ(Class(true, 0x81, 0x0100, 0x0001, probe), STATUS_SUCCESS);
    probe[0] = 1;
    probe[2] = 1;
    probe[3] = 1;
    uint32_t interval = kInterval30;
    std::memcpy(&probe[4], &interval, 4);
    ASSERT_EQ(Class(false, 0x01, 0x0100, 0x0001, probe), STATUS_SUCCESS);
    ASSERT_EQ(Class(true, 0x81, 0x0100, 0x0001, probe), STATUS_SUCCESS);
    ASSERT_EQ(Class(false, 0x01, 0x0200, 0x0001, probe), STATUS_SUCCESS);

    // Select streaming alternate setting 7 with room for one pipe.
    USBD_STATUS usbd;
    USBD_PIPE_INFORMATION pipe = SelectAlternate(video_, handle, 1, 7, &usbd);
    ASSERT_EQ(usbd, USBD_STATUS_SUCCESS);
    EXPECT_EQ(pipe.MaximumPacketSize, 24576);
    EXPECT_EQ(camera_->StreamingAlternate(), 7);

    // Six requests of 32 packets, the first ten frames ahead, each following 32 frames later,
    // sent again as soon as they come back, as the driver keeps them circulating.
    PayloadReader reader(PayloadReader::Split::FrameIdOnly);
    std::vector<std::vector<uint8_t>> buffers(6);
    std::vector<std::unique_ptr<AsyncUrb>> requests(6);
    ULONG start = qk::usb::CurrentFrame() + 10;
    for (size_t i = 0; i < 6; ++i) {
        requests[i] = Isochronous(video_, pipe.PipeHandle, 32, pipe.MaximumPacketSize, start + 32 * ULONG(i), false,
                                  &buffers[i]);
        ASSERT_EQ(requests[i]->Send(), STATUS_PENDING);
    }
    for (int round = 0; round < 12; ++round) {
        Advance(32);
        for (size_t i = 0; i < 6; ++i) {
            if (!requests[i]->Done()) continue;
            auto& r = requests[i]->As<struct _URB_ISOCH_TRANSFER>();
            ASSERT_EQ(requests[i]->Status(), STATUS_SUCCESS);
            EXPECT_EQ(requests[i]->CompletionIrql(), DISPATCH_LEVEL);
            for (ULONG p = 0; p < r.NumberOfPackets; ++p) {
                if (r.IsoPacket[p].Status != USBD_STATUS_SUCCESS) {
                    reader.LostPacket(r.StartFrame + p);
                    continue;
                }
                reader.Packet(std::span<const uint8_t>(buffers[i].data() + r.IsoPacket[p].Offset, r.IsoPacket[p].Length),
                              r.StartFrame + p);
            }
            requests[i] = Isochronous(video_, pipe.PipeHandle, 32, pipe.MaximumPacketSize, 0, true, &buffers[i]);
            ASSERT_EQ(requests[i]->Send(), STATUS_PENDING);
        }
    }
    auto frames = reader.TakeFrames();
    auto sent = camera_->SentFrames();
    ASSERT_GE(frames.size(), 8u);
    EXPECT_EQ(reader.Totals().lost, 0u);
    size_t matched = 0;
    for (const auto& f : frames) {
        for (const auto& s : sent) {
            if (s.presentationTime == f.presentationTime && f.endOfFrame && !f.startUnseen) {
                EXPECT_EQ(f.data, s.bytes);
                ++matched;
            }
        }
    }
    EXPECT_GE(matched, 7u);

    // Unplugged with the requests in flight: each completes with an error.
    qk::usb::Unplug(port_);
    for (auto& r : requests) {
        ASSERT_TRUE(r->Done());
        EXPECT_EQ(r->Status(), STATUS_DEVICE_NOT_CONNECTED);
    }
}

TEST_F(CameraBusTest, PrivacySwitchFlippedAtRunTimeShowsInItsRegister) {
    CameraConfig config;
    config.variant = 1;
    PlugCamera(config);
    Configure(video_);
    EXPECT_EQ(ReadRegister(0x8100), 1);
    EXPECT_EQ(ReadRegister(0x8108), 0);
    camera_->SetPrivacySwitch(true);
    EXPECT_EQ(ReadRegister(0x8108), 1);
}

TEST_F(CameraBusTest, SlowCameraAnswersLate) {
    CameraConfig config;
    config.faults.controlLatency = 200 * qk::nt::kMillisecond;
    PlugCamera(config);
    std::vector<uint8_t> value(2);
    AsyncUrb a(video_, sizeof(URB));
    UsbBuildVendorRequest(a.Urb(), URB_FUNCTION_CLASS_INTERFACE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          USBD_TRANSFER_DIRECTION_IN, 0, 0x81, 0x0200, 0x0200, value.data(), nullptr, 2, nullptr);
    a.Send();
    Advance(199);
    EXPECT_FALSE(a.Done());
    Advance(1);
    EXPECT_TRUE(a.Done());
    EXPECT_EQ(a.Status(), STATUS_SUCCESS);
}

TEST_F(CameraBusTest, CameraLeavingInTheMiddleOfAStreamGoesThroughSurpriseRemoval) {
    CameraConfig config;
    config.faults.detachAfterFrames = 2;
    PlugCamera(config);
    USBD_PIPE_INFORMATION pipe = SelectAlternate(video_, Configure(video_), 1, 7);
    ASSERT_NE(pipe.PipeHandle, nullptr);
    std::vector<uint8_t> a, b;
    auto first = Isochronous(video_, pipe.PipeHandle, 32, pipe.MaximumPacketSize, 0, true, &a);
    auto second = Isochronous(video_, pipe.PipeHandle, 32, pipe.MaximumPacketSize, 0, true, &b);
    first->Send();
    second->Send();
    Advance(80);
    qk::nt::pnp::WaitIdle();
    EXPECT_TRUE(first->Done());
    EXPECT_TRUE(second->Done());
    EXPECT_EQ(second->Status(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_TRUE(PathOf(u"USB\\VID_FA57&PID_0340&MI_00").empty());
    EXPECT_TRUE(PathOf(u"USB\\VID_FA57&PID_0340&MI_02").empty());
}

TEST_F(CameraBusTest, MicrophoneFunctionDeliversTheSceneAtTheRateAsked) {
    auto sound = std::make_shared<TwoMicrophoneScene>();
    camera_ = std::make_shared<Camera>(CameraConfig{}, nullptr, sound);
    uint32_t plugged = qk::usb::CurrentFrame();  // the stepped clock stands still meanwhile
    qk::usb::Plug(camera_);
    PDEVICE_OBJECT audio = Top(PathOf(u"USB\\VID_FA57&PID_0340&MI_02"));
    ASSERT_NE(audio, nullptr);
    qk::nt::pnp::DeviceInfo info;
    ASSERT_TRUE(qk::nt::pnp::FindDevice(PathOf(u"USB\\VID_FA57&PID_0340&MI_02"), &info));
    EXPECT_EQ(info.compatibleIds.front(), u"USB\\Class_01&SubClass_01&Prot_00");
    // The audio driver identifies the device from its device descriptor.
    std::vector<uint8_t> d;
    ASSERT_EQ(GetDescriptor(audio, USB_DEVICE_DESCRIPTOR_TYPE, 0, 18, &d), STATUS_SUCCESS);
    EXPECT_EQ(d[8] | d[9] << 8, 0xFA57);
    USBD_PIPE_INFORMATION pipe = SelectAlternate(audio, Configure(audio), 3, 1);
    ASSERT_EQ(pipe.EndpointAddress, 0x82);
    // 16 kHz on the endpoint's sampling frequency control.
    std::vector<uint8_t> rate = {0x80, 0x3E, 0x00};
    URB urb{};
    UsbBuildVendorRequest(&urb, URB_FUNCTION_CLASS_ENDPOINT, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          USBD_TRANSFER_DIRECTION_OUT, 0, 0x01, 0x0100, 0x0082, rate.data(), nullptr, 3, nullptr);
    ASSERT_EQ(Send(audio, &urb), STATUS_SUCCESS);
    EXPECT_EQ(camera_->MicrophoneRate(), 16000u);
    std::vector<uint8_t> buffer;
    auto t = Isochronous(audio, pipe.PipeHandle, 10, pipe.MaximumPacketSize, 0, true, &buffer);
    ULONG start = qk::usb::CurrentFrame() + 2;
    t->Send();
    Advance(13);
    ASSERT_TRUE(t->Done());
    auto& r = t->As<struct _URB_ISOCH_TRANSFER>();
    EXPECT_EQ(r.StartFrame, start);
    // 16 stereo 16-bit frames a millisecond, exactly the scene's samples.
    std::vector<float> expected(2 * 16);
    for (ULONG p = 0; p < 10; ++p) {
        ASSERT_EQ(r.IsoPacket[p].Length, 64u);
        int64_t first = int64_t(start + p - plugged) * 16;
        sound->Capture(16000, first, expected);
        for (int i = 0; i < 32; ++i) {
            auto s = static_cast<int16_t>(buffer[r.IsoPacket[p].Offset + 2 * i] | buffer[r.IsoPacket[p].Offset + 2 * i + 1] << 8);
            ASSERT_NEAR(s, expected[i] * 32767.0, 1.0) << p << " " << i;
        }
    }
}

TEST_F(CameraBusTest, PartnerMicrophoneIsItsOwnDevice) {
    UsbMicrophoneConfig config;
    config.vendorId = 0xFA01;
    config.productId = 0x0007;
    qk::usb::Plug(std::make_shared<UsbMicrophone>(config, std::make_shared<TwoMicrophoneScene>()));
    std::u16string path = PathOf(u"USB\\VID_FA01&PID_0007&MI_00");
    ASSERT_FALSE(path.empty());
    PDEVICE_OBJECT top = Top(path);
    std::vector<uint8_t> d;
    ASSERT_EQ(GetDescriptor(top, USB_DEVICE_DESCRIPTOR_TYPE, 0, 18, &d), STATUS_SUCCESS);
    EXPECT_EQ(d[8] | d[9] << 8, 0xFA01);
    // A descriptor request shorter than its structure on this target is refused.
    URB urb{};
    UsbBuildGetDescriptorRequest(&urb, 80, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, d.data(), nullptr, 18, nullptr);
    EXPECT_EQ(Send(top, &urb), STATUS_INVALID_PARAMETER);
    USBD_PIPE_INFORMATION pipe = SelectAlternate(top, Configure(top), 1, 1);
    EXPECT_EQ(pipe.MaximumPacketSize, 192);
}

}  // namespace
}  // namespace qk::sim::testing
