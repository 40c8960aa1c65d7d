// A stand-alone USB microphone (a partner maker's, say): the microphone
// function on interfaces 0 and 1 of a device of its own identifiers.
#pragma once

#include <memory>
#include <string>

#include "platform/usb/standard_device.h"
#include "sim/microphone/microphone.h"

namespace qk::sim {

struct UsbMicrophoneConfig {
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint16_t revision = 0x0100;
    std::u16string product = u"USB Microphone";
    bool speaker = false;
};

class UsbMicrophone : public qk::usb::StandardDevice {
public:
    UsbMicrophone(UsbMicrophoneConfig config, std::shared_ptr<SoundSource> source);

    qk::usb::Speed DeviceSpeed() const override { return qk::usb::Speed::Full; }
    qk::usb::IsoResult IsochronousIn(uint8_t endpoint, uint32_t frame, std::span<uint8_t> packet) override;
    qk::usb::IsoResult IsochronousOut(uint8_t endpoint, uint32_t frame, std::span<const uint8_t> packet) override;
    std::string Name() const override { return "USB microphone"; }
    uint32_t CaptureRate() const;

protected:
    qk::usb::ControlResult OtherRequest(const qk::usb::SetupPacket& setup, std::span<uint8_t> data,
                                        uint32_t frame) override;
    bool OnSetInterface(uint8_t interfaceNumber, uint8_t alternate, uint32_t frame) override;
    void OnReset(uint32_t frame) override;

private:
    MicrophoneFunction function_;
    bool attached_ = false;
};

}  // namespace qk::sim
