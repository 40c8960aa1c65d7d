// A codec on the high-definition audio bus with a two-microphone array on its
// input converter and a loudspeaker on its output converter, hearing (and
// playing into) the same sound sources as the camera's microphone.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "platform/hdaudio/codec.h"
#include "sim/microphone/sound_source.h"

namespace qk::sim {

struct ArrayCodecConfig {
    uint16_t vendorId = 0xFB20;
    uint16_t deviceId = 0x0A20;
    std::vector<uint32_t> ratesHz = {16000, 44100, 48000};
};

class ArrayCodec : public qk::hdaudio::Codec {
public:
    ArrayCodec(ArrayCodecConfig config, std::shared_ptr<SoundSource> source);

    uint16_t VendorId() const override { return config_.vendorId; }
    uint16_t DeviceId() const override { return config_.deviceId; }
    std::u16string Description() const override { return u"High Definition Audio Microphone Array"; }
    uint32_t CaptureChannels() const override { return 2; }
    uint32_t RenderChannels() const override { return 2; }
    std::vector<uint32_t> Rates() const override { return config_.ratesHz; }
    void Capture(uint32_t rate, int64_t start, std::span<int16_t> interleaved) override;
    void Render(uint32_t rate, int64_t start, std::span<const int16_t> interleaved) override;

    // Frames the input converter has delivered since it was plugged.
    int64_t CapturedFrames() const;

private:
    ArrayCodecConfig config_;
    std::shared_ptr<SoundSource> source_;
    mutable std::mutex lock_;  // guards the scratch buffer and the count
    std::vector<float> scratch_;
    int64_t captured_ = 0;
};

}  // namespace qk::sim
