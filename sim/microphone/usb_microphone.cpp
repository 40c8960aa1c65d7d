#include "sim/microphone/usb_microphone.h"

#include "usbspec.h"

namespace qk::sim {

namespace {

MicrophoneOptions OptionsFor(const UsbMicrophoneConfig& config) {
    MicrophoneOptions o;
    o.controlInterface = 0;
    o.captureInterface = 1;
    o.renderInterface = 2;
    o.captureEndpoint = 0x81;
    o.renderEndpoint = 0x02;
    o.speaker = config.speaker;
    o.iFunction = 2;
    o.endpointInterval = 1;
    return o;
}

void Put16(std::vector<uint8_t>& v, uint32_t value) {
    v.push_back(static_cast<uint8_t>(value & 0xFF));
    v.push_back(static_cast<uint8_t>((value >> 8) & 0xFF));
}

}  // namespace

UsbMicrophone::UsbMicrophone(UsbMicrophoneConfig config, std::shared_ptr<SoundSource> source)
    : function_(OptionsFor(config), std::move(source)) {
    qk::usb::DescriptorSet set;
    auto& d = set.device;
    d = {18, USB_DEVICE_DESCRIPTOR_TYPE};
    Put16(d, 0x0110);
    d.insert(d.end(), {USB_DEVICE_CLASS_MISCELLANEOUS, 0x02, 0x01, 8});
    Put16(d, config.vendorId);
    Put16(d, config.productId);
    Put16(d, config.revision);
    d.insert(d.end(), {1, 2, 0, 1});
    std::vector<uint8_t> function = function_.Descriptors();
    auto& c = set.configuration;
    c = {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, function_.InterfaceCount(), 1, 0, USB_CONFIG_BUS_POWERED, 50};
    c.insert(c.end(), function.begin(), function.end());
    c[2] = static_cast<uint8_t>(c.size() & 0xFF);
    c[3] = static_cast<uint8_t>(c.size() >> 8);
    set.strings = {{1, u"Partner"}, {2, config.product}};
    SetDescriptors(std::move(set));
}

uint32_t UsbMicrophone::CaptureRate() const {
    std::lock_guard guard(lock_);
    return function_.CaptureRate();
}

void UsbMicrophone::OnReset(uint32_t frame) {
    if (!attached_) {
        function_.Attach(frame);
        attached_ = true;
    } else {
        function_.Reset();
    }
}

qk::usb::ControlResult UsbMicrophone::OtherRequest(const qk::usb::SetupPacket& setup, std::span<uint8_t> data,
                                                   uint32_t) {
    return function_.Request(setup, data);
}

bool UsbMicrophone::OnSetInterface(uint8_t interfaceNumber, uint8_t alternate, uint32_t frame) {
    return function_.SetInterface(interfaceNumber, alternate, frame);
}

qk::usb::IsoResult UsbMicrophone::IsochronousIn(uint8_t endpoint, uint32_t frame, std::span<uint8_t> packet) {
    std::lock_guard guard(lock_);
    if (!function_.OwnsEndpoint(endpoint)) return {qk::usb::IsoResult::Status::NoResponse, 0};
    return function_.CaptureIn(frame, packet);
}

qk::usb::IsoResult UsbMicrophone::IsochronousOut(uint8_t endpoint, uint32_t frame, std::span<const uint8_t> packet) {
    std::lock_guard guard(lock_);
    if (!function_.OwnsEndpoint(endpoint)) return {qk::usb::IsoResult::Status::NoResponse, 0};
    return function_.RenderOut(frame, packet);
}

}  // namespace qk::sim
