// The simulated QK0340: a composite USB device with the video function
// (controls, probe and commit, isochronous video) and the two-microphone
// audio function, built from a CameraConfig. Plug it into the bus:
//
//   auto camera = std::make_shared<qk::sim::Camera>(config);
//   qk::usb::Plug(camera);
//   camera->SetPrivacySwitch(true);   // the hardware switch, at any time
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/usb/standard_device.h"
#include "sim/camera/camera_config.h"
#include "sim/camera/controls.h"
#include "sim/camera/descriptors.h"
#include "sim/camera/frame_source.h"
#include "sim/camera/video_stream.h"
#include "sim/microphone/microphone.h"

namespace qk::sim {

class Camera : public qk::usb::StandardDevice, private FrameMaker {
public:
    // Without a frame source the camera films the synthetic face scene; without a
    // sound source it hears the two-microphone scene.
    explicit Camera(CameraConfig config = {}, std::shared_ptr<FrameSource> frames = nullptr,
                    std::shared_ptr<SoundSource> sound = nullptr);

    // ---- qk::usb::Device ---------------------------------------------------------------------------------
    qk::usb::Speed DeviceSpeed() const override { return qk::usb::Speed::High; }
    int64_t ControlLatency(const qk::usb::SetupPacket& setup) override;
    qk::usb::IsoResult IsochronousIn(uint8_t endpoint, uint32_t frame, std::span<uint8_t> packet) override;
    qk::usb::IsoResult IsochronousOut(uint8_t endpoint, uint32_t frame, std::span<const uint8_t> packet) override;
    std::string Name() const override;

    // ---- The hardware ---------------------------------------------------------------------------------------
    void SetPrivacySwitch(bool on);
    bool PrivacySwitch() const;
    // Faults can change while the camera runs (they count from each stream's start).
    void SetFaults(const Faults& faults);

    // ---- Inspection --------------------------------------------------------------------------------------------
    const CameraConfig& Config() const { return config_; }
    const std::vector<StreamingFormat>& Formats() const { return formats_; }
    std::optional<int32_t> ControlValue(Unit unit, uint8_t selector) const;
    uint8_t Register(uint16_t address) const;
    uint8_t StreamingAlternate() const;
    ProbeCommit Committed() const;
    uint64_t FramesStarted() const;
    // The faults as the camera met them on its video endpoint since it was plugged.
    StreamCounters Counters() const;
    // The last frames sent (at most 64), oldest first.
    std::vector<SentFrame> SentFrames() const;
    // Called (under the camera's lock, from the bus) for every frame as it starts going out.
    void OnFrame(std::function<void(const SentFrame&)> observer);
    // Called (under the camera's lock, from the bus) for every class request to
    // the video control interface once it is answered: the setup, the data as
    // it went either way, and whether the camera accepted it.
    using ControlObserver = std::function<void(const qk::usb::SetupPacket&, std::span<const uint8_t>, bool)>;
    void OnControl(ControlObserver observer);
    uint32_t MicrophoneRate() const;
    bool MicrophoneMuted() const;

protected:
    qk::usb::ControlResult OtherRequest(const qk::usb::SetupPacket& setup, std::span<uint8_t> data,
                                        uint32_t frame) override;
    bool OnSetInterface(uint8_t interfaceNumber, uint8_t alternate, uint32_t frame) override;
    void OnConfiguration(uint8_t value, uint32_t frame) override;
    void OnReset(uint32_t frame) override;

private:
    void MakeFrame(SentFrame& frame, bool firstOfStream) override;

    CameraConfig config_;
    std::vector<StreamingFormat> formats_;
    std::shared_ptr<FrameSource> frames_;
    std::unique_ptr<MicrophoneFunction> microphone_;
    VideoControls controls_;
    VideoStream stream_;
    bool attached_ = false;
    std::vector<uint8_t> rgb_;  // scratch picture
    std::deque<SentFrame> sent_;
    std::function<void(const SentFrame&)> observer_;
    ControlObserver controlObserver_;
};

// RGB24 (R, G, B) to YUY2 with the BT.601 limited-range coefficients of
// uncompressed USB video; the two pixels of a pair share their mean chroma.
void RgbToYuy2(const uint8_t* rgb, int width, int height, uint8_t* yuy2);

}  // namespace qk::sim
