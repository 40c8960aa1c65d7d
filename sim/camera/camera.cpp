#include "sim/camera/camera.h"

#include <algorithm>
#include <cstring>

#include "sim/camera/jpeg_encoder.h"
#include "usbspec.h"

namespace qk::sim {

namespace {

using qk::usb::ControlResult;
using qk::usb::Handshake;
using qk::usb::IsoResult;


MicrophoneOptions MicrophoneFor(const CameraConfig& config) {
    MicrophoneOptions o;
    o.controlInterface = ids::kAudioControlInterface;
    o.captureInterface = ids::kAudioStreamingInterface;
    o.renderInterface = static_cast<uint8_t>(ids::kAudioStreamingInterface + 1);
    o.speaker = config.speaker;
    o.iFunction = kStringAudio;
    return o;
}

// Wrong bytes in the entropy-coded data after the start of scan, spread over
// it, as a bad cable or a failing encoder leaves them.
bool CorruptEntropyData(std::vector<uint8_t>& jpeg, uint32_t count) {
    for (size_t i = 0; i + 3 < jpeg.size(); ++i) {
        if (jpeg[i] != 0xFF || jpeg[i + 1] != 0xDA) continue;
        size_t start = i + 2 + (jpeg[i + 2] << 8 | jpeg[i + 3]);
        size_t end = jpeg.size() >= 2 ? jpeg.size() - 2 : 0;  // keep the end-of-image marker
        if (start >= end) return false;
        for (uint32_t k = 0; k < count; ++k) {
            size_t at = start + (end - start) * (k + 1) / (count + 1);
            jpeg[at] ^= 0x5A;
        }
        return true;
    }
    return false;
}

}  // namespace

void RgbToYuy2(const uint8_t* rgb, int width, int height, uint8_t* yuy2) {
    for (int y = 0; y < height; ++y) {
        const uint8_t* line = rgb + size_t(y) * width * 3;
        uint8_t* target = yuy2 + size_t(y) * width * 2;
        for (int i = 0; i < width / 2; ++i) {
            const uint8_t* p = line + 6 * i;
            int r0 = p[0], g0 = p[1], b0 = p[2], r1 = p[3], g1 = p[4], b1 = p[5];
            int u0 = ((-38 * r0 - 74 * g0 + 112 * b0 + 128) >> 8) + 128;
            int u1 = ((-38 * r1 - 74 * g1 + 112 * b1 + 128) >> 8) + 128;
            int v0 = ((112 * r0 - 94 * g0 - 18 * b0 + 128) >> 8) + 128;
            int v1 = ((112 * r1 - 94 * g1 - 18 * b1 + 128) >> 8) + 128;
            uint8_t* out = target + 4 * i;
            out[0] = static_cast<uint8_t>(((66 * r0 + 129 * g0 + 25 * b0 + 128) >> 8) + 16);
            out[1] = static_cast<uint8_t>((u0 + u1 + 1) >> 1);
            out[2] = static_cast<uint8_t>(((66 * r1 + 129 * g1 + 25 * b1 + 128) >> 8) + 16);
            out[3] = static_cast<uint8_t>((v0 + v1 + 1) >> 1);
        }
    }
}

Camera::Camera(CameraConfig config, std::shared_ptr<FrameSource> frames, std::shared_ptr<SoundSource> sound)
    : config_(std::move(config)),
      formats_(StreamingFormats(config_)),
      frames_(frames ? std::move(frames) : std::make_shared<SyntheticScene>()),
      controls_(config_),
      stream_(config_, formats_) {
    std::vector<uint8_t> audio;
    uint8_t audioInterfaces = 0;
    if (config_.microphone) {
        if (!sound) sound = std::make_shared<TwoMicrophoneScene>();
        microphone_ = std::make_unique<MicrophoneFunction>(MicrophoneFor(config_), std::move(sound));
        audio = microphone_->Descriptors();
        audioInterfaces = microphone_->InterfaceCount();
    }
    SetDescriptors(BuildDescriptors(config_, audio, audioInterfaces).set);
}

std::string Camera::Name() const { return "QK0340 camera (variant " + std::to_string(config_.variant) + ")"; }

int64_t Camera::ControlLatency(const qk::usb::SetupPacket& setup) {
    std::lock_guard guard(lock_);
    return setup.Type() == BMREQUEST_CLASS ? config_.faults.controlLatency : 0;
}

void Camera::SetPrivacySwitch(bool on) {
    std::lock_guard guard(lock_);
    controls_.SetPrivacySwitch(on);
}

bool Camera::PrivacySwitch() const {
    std::lock_guard guard(lock_);
    return controls_.PrivacySwitch();
}

void Camera::SetFaults(const Faults& faults) {
    std::lock_guard guard(lock_);
    config_.faults = faults;
}

std::optional<int32_t> Camera::ControlValue(Unit unit, uint8_t selector) const {
    std::lock_guard guard(lock_);
    return controls_.Value(unit, selector);
}

uint8_t Camera::Register(uint16_t address) const {
    std::lock_guard guard(lock_);
    return controls_.Register(address);
}

StreamCounters Camera::Counters() const {
    std::lock_guard guard(lock_);
    return stream_.Counters();
}

uint8_t Camera::StreamingAlternate() const {
    std::lock_guard guard(lock_);
    return stream_.Alternate();
}

ProbeCommit Camera::Committed() const {
    std::lock_guard guard(lock_);
    return stream_.Commit();
}

uint64_t Camera::FramesStarted() const {
    std::lock_guard guard(lock_);
    return stream_.FramesStarted();
}

std::vector<SentFrame> Camera::SentFrames() const {
    std::lock_guard guard(lock_);
    return {sent_.begin(), sent_.end()};
}

void Camera::OnFrame(std::function<void(const SentFrame&)> observer) {
    std::lock_guard guard(lock_);
    observer_ = std::move(observer);
}

void Camera::OnControl(ControlObserver observer) {
    std::lock_guard guard(lock_);
    controlObserver_ = std::move(observer);
}

uint32_t Camera::MicrophoneRate() const {
    std::lock_guard guard(lock_);
    return microphone_ ? microphone_->CaptureRate() : 0;
}

bool Camera::MicrophoneMuted() const {
    std::lock_guard guard(lock_);
    return microphone_ && microphone_->Muted();
}

void Camera::OnReset(uint32_t frame) {
    if (!attached_) {
        // Plugged in: power-on state, and the clocks of the scenes start.
        attached_ = true;
        controls_.PowerOn();
        stream_.PowerOn(frame);
        if (microphone_) microphone_->Attach(frame);
        return;
    }
    stream_.SetAlternate(0, frame);
    if (microphone_) microphone_->Reset();
}

void Camera::OnConfiguration(uint8_t value, uint32_t frame) {
    if (value == 0) stream_.SetAlternate(0, frame);
}

bool Camera::OnSetInterface(uint8_t interfaceNumber, uint8_t alternate, uint32_t frame) {
    if (interfaceNumber == ids::kVideoStreamingInterface) return stream_.SetAlternate(alternate, frame);
    if (microphone_ && microphone_->OwnsInterface(interfaceNumber)) {
        return microphone_->SetInterface(interfaceNumber, alternate, frame);
    }
    return true;
}

ControlResult Camera::OtherRequest(const qk::usb::SetupPacket& setup, std::span<uint8_t> data, uint32_t) {
    // Class requests reach a configured device's interfaces and endpoints only.
    if (setup.Type() != BMREQUEST_CLASS || !ConfiguredLocked()) return {Handshake::Stall, 0};
    auto target = static_cast<uint8_t>(setup.wIndex & 0xFF);
    if (setup.Recipient() == BMREQUEST_TO_INTERFACE) {
        if (target == ids::kVideoControlInterface) {
            ControlResult result = controls_.Request(setup, data);
            if (controlObserver_) {
                size_t n = std::min<size_t>(result.length, data.size());
                controlObserver_(setup, data.first(setup.In() ? n : std::min<size_t>(setup.wLength, data.size())),
                                 result.handshake == Handshake::Ack);
            }
            return result;
        }
        if (target == ids::kVideoStreamingInterface) return stream_.Request(setup, data);
        if (microphone_ && microphone_->OwnsInterface(target)) return microphone_->Request(setup, data);
    } else if (setup.Recipient() == BMREQUEST_TO_ENDPOINT) {
        if (microphone_ && microphone_->OwnsEndpoint(target)) return microphone_->Request(setup, data);
    }
    return {Handshake::Stall, 0};
}

IsoResult Camera::IsochronousIn(uint8_t endpoint, uint32_t frame, std::span<uint8_t> packet) {
    std::lock_guard guard(lock_);
    if (endpoint == kVideoEndpoint) return stream_.Packet(frame, packet, *this);
    if (microphone_ && microphone_->OwnsEndpoint(endpoint)) return microphone_->CaptureIn(frame, packet);
    return {IsoResult::Status::NoResponse, 0};
}

IsoResult Camera::IsochronousOut(uint8_t endpoint, uint32_t frame, std::span<const uint8_t> packet) {
    std::lock_guard guard(lock_);
    if (microphone_ && microphone_->OwnsEndpoint(endpoint)) return microphone_->RenderOut(frame, packet);
    return {IsoResult::Status::NoResponse, 0};
}

void Camera::MakeFrame(SentFrame& frame, bool firstOfStream) {
    int w = frame.width, h = frame.height;
    frames_->Render(frame.captureTime, w, h, rgb_);
    rgb_.resize(size_t(w) * h * 3);
    frame.face = frames_->Face(frame.captureTime, w, h);
    frame.blanked = controls_.SensorBlanked();
    if (frame.blanked) {
        std::fill(rgb_.begin(), rgb_.end(), 0);
        frame.face.reset();
    }
    uint8_t mirror = controls_.MirrorBits();
    if (mirror & 1) {
        for (int y = 0; y < h; ++y) {
            uint8_t* line = &rgb_[size_t(y) * w * 3];
            for (int a = 0, b = w - 1; a < b; ++a, --b) std::swap_ranges(line + 3 * a, line + 3 * a + 3, line + 3 * b);
        }
        if (frame.face) {
            int x0 = w - frame.face->x1;
            frame.face->x1 = w - frame.face->x0;
            frame.face->x0 = x0;
        }
    }
    if (mirror & 2) {
        for (int a = 0, b = h - 1; a < b; ++a, --b) {
            std::swap_ranges(rgb_.begin() + ptrdiff_t(a) * w * 3, rgb_.begin() + ptrdiff_t(a + 1) * w * 3,
                             rgb_.begin() + ptrdiff_t(b) * w * 3);
        }
        if (frame.face) {
            int y0 = h - frame.face->y1;
            frame.face->y1 = h - frame.face->y0;
            frame.face->y0 = y0;
        }
    }
    if (frame.format == VideoFormat::Yuy2) {
        frame.bytes.resize(size_t(w) * h * 2);
        RgbToYuy2(rgb_.data(), w, h, frame.bytes.data());
    } else {
        bool tables = firstOfStream || !config_.mjpeg.omitHuffmanTablesAfterFirst;
        frame.bytes = EncodeJpeg(rgb_.data(), w, h, config_.mjpeg, tables);
        const auto& corrupt = config_.faults.corruptJpegFrames;
        if (std::find(corrupt.begin(), corrupt.end(), frame.number) != corrupt.end()) {
            frame.corrupted = CorruptEntropyData(frame.bytes, config_.faults.corruptBytes);
        }
    }
    // The kept copy reuses the memory of the oldest one it replaces: a fresh
    // frame-sized block every frame costs page faults on every thread.
    if (config_.keptFrames > 0) {
        std::vector<uint8_t> kept;
        if (sent_.size() >= config_.keptFrames) {
            kept = std::move(sent_.front().bytes);
            sent_.pop_front();
        }
        kept.assign(frame.bytes.begin(), frame.bytes.end());
        std::vector<uint8_t> sending = std::move(frame.bytes);
        frame.bytes.clear();
        sent_.push_back(frame);
        sent_.back().bytes = std::move(kept);
        frame.bytes = std::move(sending);
    }
    if (observer_) observer_(frame);
}

}  // namespace qk::sim
