// The camera's microphone function (USB Audio Class 1.0): a two-channel
// 16-bit capture path at 8000-48000 Hz from a microphone-array terminal
// through a feature unit (mute, volume), and optionally a render path to a
// loudspeaker for tests that need an echo. The same function stands alone as
// a USB microphone of another maker. Not thread-safe: its device's lock guards it.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "platform/usb/device.h"
#include "sim/microphone/sound_source.h"

namespace qk::sim {

struct MicrophoneOptions {
    uint8_t controlInterface = 2;    // AudioControl
    uint8_t captureInterface = 3;    // AudioStreaming, microphone
    uint8_t renderInterface = 4;     // AudioStreaming, loudspeaker (with `speaker`)
    uint8_t captureEndpoint = 0x82;  // isochronous IN
    uint8_t renderEndpoint = 0x03;   // isochronous OUT
    bool speaker = false;
    uint8_t iFunction = 0;
    // bInterval of the streaming endpoints: 4 (every 8 microframes) on a
    // high-speed device, 1 (every frame) on a full-speed one; once a frame either way.
    uint8_t endpointInterval = 4;
    std::vector<uint32_t> ratesHz = {8000, 11025, 16000, 22050, 32000, 44100, 48000};
};

class MicrophoneFunction {
public:
    MicrophoneFunction(MicrophoneOptions options, std::shared_ptr<SoundSource> source);

    // The function's descriptors: an interface association, the AudioControl
    // interface and the streaming interfaces with their alternate settings.
    std::vector<uint8_t> Descriptors() const;
    uint8_t InterfaceCount() const { return options_.speaker ? 3 : 2; }
    bool OwnsInterface(uint8_t number) const;
    bool OwnsEndpoint(uint8_t address) const;

    // Class requests to its interfaces or endpoints.
    qk::usb::ControlResult Request(const qk::usb::SetupPacket& setup, std::span<uint8_t> data);
    bool SetInterface(uint8_t number, uint8_t alternate, uint32_t frame);
    qk::usb::IsoResult CaptureIn(uint32_t frame, std::span<uint8_t> packet);
    qk::usb::IsoResult RenderOut(uint32_t frame, std::span<const uint8_t> packet);

    // The device was plugged (the timeline starts) or reset.
    void Attach(uint32_t frame);
    void Reset();

    uint32_t CaptureRate() const { return captureRate_; }
    uint32_t RenderRate() const { return renderRate_; }
    bool Muted() const { return muted_; }
    int16_t VolumeQ8() const { return volumeQ8_; }  // 1/256 dB
    bool Capturing() const { return captureAlternate_ != 0; }
    uint64_t SilentRenderFrames() const { return silentRenderFrames_; }

    // Feature unit volume range (1/256 dB).
    static constexpr int16_t kVolumeMin = -0x1000;  // -16 dB
    static constexpr int16_t kVolumeMax = 0x1E00;   // +30 dB
    static constexpr int16_t kVolumeRes = 0x0100;   // 1 dB

private:
    static constexpr uint8_t kMicTerminal = 1, kMicFeature = 2, kMicOutput = 3;
    static constexpr uint8_t kSpeakerInput = 4, kSpeakerFeature = 5, kSpeakerOutput = 6;
    uint32_t Nearest(uint32_t rate) const;
    int64_t SampleAt(uint32_t frame, uint32_t rate) const;

    MicrophoneOptions options_;
    std::shared_ptr<SoundSource> source_;
    uint32_t attachFrame_ = 0;
    uint32_t captureRate_ = 16000;
    uint32_t renderRate_ = 48000;
    uint8_t captureAlternate_ = 0;
    uint8_t renderAlternate_ = 0;
    bool muted_ = false;
    int16_t volumeQ8_ = 0;
    bool speakerMuted_ = false;
    int16_t speakerVolumeQ8_ = 0;
    uint64_t silentRenderFrames_ = 0;
    std::vector<float> scratch_;
};

}  // namespace qk::sim
