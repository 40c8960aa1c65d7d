#include "sim/microphone/microphone.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "sim/microphone/uac.h"
#include "usbspec.h"

namespace qk::sim {

namespace {

using qk::usb::ControlResult;
using qk::usb::Handshake;
using qk::usb::IsoResult;

void Put16(std::vector<uint8_t>& v, uint32_t value) {
    v.push_back(static_cast<uint8_t>(value & 0xFF));
    v.push_back(static_cast<uint8_t>((value >> 8) & 0xFF));
}

void Put24(std::vector<uint8_t>& v, uint32_t value) {
    Put16(v, value & 0xFFFF);
    v.push_back(static_cast<uint8_t>((value >> 16) & 0xFF));
}

ControlResult Stall() { return {Handshake::Stall, 0}; }

ControlResult Answer(std::span<uint8_t> data, uint32_t value, size_t size) {
    size_t n = std::min(size, data.size());
    for (size_t i = 0; i < n; ++i) data[i] = static_cast<uint8_t>(value >> (8 * i));
    return {Handshake::Ack, static_cast<uint32_t>(n)};
}

// Bytes of one stereo 16-bit frame.
constexpr uint32_t kFrameBytes = 4;

}  // namespace

MicrophoneFunction::MicrophoneFunction(MicrophoneOptions options, std::shared_ptr<SoundSource> source)
    : options_(std::move(options)), source_(std::move(source)) {
    if (options_.ratesHz.empty()) options_.ratesHz = {16000};
    captureRate_ = Nearest(16000);
    renderRate_ = Nearest(48000);
}

bool MicrophoneFunction::OwnsInterface(uint8_t number) const {
    return number == options_.controlInterface || number == options_.captureInterface ||
           (options_.speaker && number == options_.renderInterface);
}

bool MicrophoneFunction::OwnsEndpoint(uint8_t address) const {
    return address == options_.captureEndpoint || (options_.speaker && address == options_.renderEndpoint);
}

uint32_t MicrophoneFunction::Nearest(uint32_t rate) const {
    uint32_t best = options_.ratesHz.front();
    for (uint32_t r : options_.ratesHz) {
        if (std::llabs(int64_t{r} - rate) < std::llabs(int64_t{best} - rate)) best = r;
    }
    return best;
}

std::vector<uint8_t> MicrophoneFunction::Descriptors() const {
    std::vector<uint8_t> c;
    uint8_t count = InterfaceCount();
    c.insert(c.end(), {8, USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE, options_.controlInterface, count, uac::kClassAudio,
                       uac::kSubclassControl, 0, options_.iFunction});
    c.insert(c.end(), {9, USB_INTERFACE_DESCRIPTOR_TYPE, options_.controlInterface, 0, 0, uac::kClassAudio,
                       uac::kSubclassControl, 0, 0});
    size_t header = c.size();
    uint8_t collection = options_.speaker ? 2 : 1;
    c.insert(c.end(), {static_cast<uint8_t>(8 + collection), uac::kCsInterface, uac::kAcHeader});
    Put16(c, 0x0100);  // bcdADC
    Put16(c, 0);       // wTotalLength, patched below
    c.push_back(collection);
    c.push_back(options_.captureInterface);
    if (options_.speaker) c.push_back(options_.renderInterface);
    // Microphone array (two channels, left and right front) -> feature unit -> USB streaming.
    c.insert(c.end(), {12, uac::kCsInterface, uac::kAcInputTerminal, kMicTerminal});
    Put16(c, uac::kTtMicrophoneArray);
    c.insert(c.end(), {0, 2});
    Put16(c, 0x0003);
    c.insert(c.end(), {0, 0});
    c.insert(c.end(), {10, uac::kCsInterface, uac::kAcFeatureUnit, kMicFeature, kMicTerminal, 1, 0x03, 0x00, 0x00, 0});
    c.insert(c.end(), {9, uac::kCsInterface, uac::kAcOutputTerminal, kMicOutput});
    Put16(c, uac::kTtStreaming);
    c.insert(c.end(), {0, kMicFeature, 0});
    if (options_.speaker) {
        c.insert(c.end(), {12, uac::kCsInterface, uac::kAcInputTerminal, kSpeakerInput});
        Put16(c, uac::kTtStreaming);
        c.insert(c.end(), {0, 2});
        Put16(c, 0x0003);
        c.insert(c.end(), {0, 0});
        c.insert(c.end(),
                 {10, uac::kCsInterface, uac::kAcFeatureUnit, kSpeakerFeature, kSpeakerInput, 1, 0x03, 0x00, 0x00, 0});
        c.insert(c.end(), {9, uac::kCsInterface, uac::kAcOutputTerminal, kSpeakerOutput});
        Put16(c, uac::kTtSpeaker);
        c.insert(c.end(), {0, kSpeakerFeature, 0});
    }
    size_t total = c.size() - header;
    c[header + 5] = static_cast<uint8_t>(total & 0xFF);
    c[header + 6] = static_cast<uint8_t>(total >> 8);

    auto streaming = [&](uint8_t number, uint8_t terminal, uint8_t endpoint, uint8_t attributes) {
        c.insert(c.end(), {9, USB_INTERFACE_DESCRIPTOR_TYPE, number, 0, 0, uac::kClassAudio, uac::kSubclassStreaming, 0, 0});
        c.insert(c.end(), {9, USB_INTERFACE_DESCRIPTOR_TYPE, number, 1, 1, uac::kClassAudio, uac::kSubclassStreaming, 0, 0});
        c.insert(c.end(), {7, uac::kCsInterface, uac::kAsGeneral, terminal, 1});
        Put16(c, uac::kFormatPcm);
        c.insert(c.end(), {static_cast<uint8_t>(8 + 3 * options_.ratesHz.size()), uac::kCsInterface, uac::kAsFormatType,
                           uac::kFormatTypeI, 2, 2, 16, static_cast<uint8_t>(options_.ratesHz.size())});
        for (uint32_t rate : options_.ratesHz) Put24(c, rate);
        // Audio class endpoint: the standard seven bytes, bRefresh and bSynchAddress.
        uint32_t largest = *std::max_element(options_.ratesHz.begin(), options_.ratesHz.end());
        c.insert(c.end(), {9, USB_ENDPOINT_DESCRIPTOR_TYPE, endpoint, attributes});
        Put16(c, (largest + 999) / 1000 * kFrameBytes);
        c.insert(c.end(), {options_.endpointInterval, 0, 0});
        c.insert(c.end(), {7, uac::kCsEndpoint, uac::kEpGeneral, 0x01, 0, 0, 0});  // sampling frequency control
    };
    streaming(options_.captureInterface, kMicOutput, options_.captureEndpoint,
              USB_ENDPOINT_TYPE_ISOCHRONOUS | USB_ENDPOINT_SYNC_ASYNCHRONOUS);
    if (options_.speaker) {
        streaming(options_.renderInterface, kSpeakerInput, options_.renderEndpoint,
                  USB_ENDPOINT_TYPE_ISOCHRONOUS | USB_ENDPOINT_SYNC_ADAPTIVE);
    }
    return c;
}

void MicrophoneFunction::Attach(uint32_t frame) {
    attachFrame_ = frame;
    Reset();
}

void MicrophoneFunction::Reset() {
    captureAlternate_ = renderAlternate_ = 0;
    muted_ = speakerMuted_ = false;
    volumeQ8_ = speakerVolumeQ8_ = 0;
    captureRate_ = Nearest(16000);
    renderRate_ = Nearest(48000);
}

bool MicrophoneFunction::SetInterface(uint8_t number, uint8_t alternate, uint32_t) {
    if (number == options_.captureInterface) captureAlternate_ = alternate;
    if (number == options_.renderInterface) renderAlternate_ = alternate;
    return true;
}

ControlResult MicrophoneFunction::Request(const qk::usb::SetupPacket& setup, std::span<uint8_t> data) {
    if (setup.Type() != 1) return Stall();  // class requests only
    if (setup.Recipient() == BMREQUEST_TO_ENDPOINT) {
        auto endpoint = static_cast<uint8_t>(setup.wIndex & 0xFF);
        if (!OwnsEndpoint(endpoint) || (setup.wValue >> 8) != uac::kSamplingFrequencyControl) return Stall();
        uint32_t& rate = endpoint == options_.captureEndpoint ? captureRate_ : renderRate_;
        if (setup.bRequest == uac::kSetCur) {
            if (setup.wLength != 3) return Stall();
            // The clock takes the supported rate nearest to the one asked for;
            // GET_CUR tells the host which.
            rate = Nearest(static_cast<uint32_t>(data[0] | data[1] << 8 | data[2] << 16));
            return {Handshake::Ack, 3};
        }
        if (setup.bRequest == uac::kGetCur) return Answer(data, rate, 3);
        return Stall();
    }
    if (setup.Recipient() != BMREQUEST_TO_INTERFACE || (setup.wIndex & 0xFF) != options_.controlInterface) return Stall();
    auto unit = static_cast<uint8_t>(setup.wIndex >> 8);
    auto control = static_cast<uint8_t>(setup.wValue >> 8);
    auto channel = static_cast<uint8_t>(setup.wValue & 0xFF);
    bool mic = unit == kMicFeature;
    if (!mic && !(options_.speaker && unit == kSpeakerFeature)) return Stall();
    if (channel != 0) return Stall();  // master controls only
    bool& mute = mic ? muted_ : speakerMuted_;
    int16_t& volume = mic ? volumeQ8_ : speakerVolumeQ8_;
    if (control == uac::kMuteControl) {
        if (setup.bRequest == uac::kSetCur) {
            if (setup.wLength != 1 || data[0] > 1) return Stall();
            mute = data[0] != 0;
            return {Handshake::Ack, 1};
        }
        if (setup.bRequest == uac::kGetCur) return Answer(data, mute ? 1 : 0, 1);
        return Stall();
    }
    if (control == uac::kVolumeControl) {
        switch (setup.bRequest) {
            case uac::kSetCur: {
                if (setup.wLength != 2) return Stall();
                auto value = static_cast<int16_t>(data[0] | data[1] << 8);
                if (value < kVolumeMin || value > kVolumeMax) return Stall();
                volume = value;
                return {Handshake::Ack, 2};
            }
            case uac::kGetCur: return Answer(data, static_cast<uint16_t>(volume), 2);
            case uac::kGetMin: return Answer(data, static_cast<uint16_t>(kVolumeMin), 2);
            case uac::kGetMax: return Answer(data, static_cast<uint16_t>(kVolumeMax), 2);
            case uac::kGetRes: return Answer(data, static_cast<uint16_t>(kVolumeRes), 2);
            default: return Stall();
        }
    }
    return Stall();
}

int64_t MicrophoneFunction::SampleAt(uint32_t frame, uint32_t rate) const {
    // Frames on the device's own timeline; 44.1 kHz comes as 44 and 45 samples.
    uint32_t elapsed = frame - attachFrame_;
    return static_cast<int64_t>(uint64_t{elapsed} * rate / 1000);
}

IsoResult MicrophoneFunction::CaptureIn(uint32_t frame, std::span<uint8_t> packet) {
    if (captureAlternate_ == 0) return {IsoResult::Status::NoResponse, 0};
    int64_t first = SampleAt(frame, captureRate_);
    int64_t count = SampleAt(frame + 1, captureRate_) - first;
    count = std::min<int64_t>(count, static_cast<int64_t>(packet.size() / kFrameBytes));
    scratch_.assign(static_cast<size_t>(count) * 2, 0.0f);
    if (source_) source_->Capture(static_cast<int>(captureRate_), first, scratch_);
    double gain = muted_ ? 0.0 : std::pow(10.0, volumeQ8_ / 256.0 / 20.0);
    for (size_t i = 0; i < scratch_.size(); ++i) {
        double v = std::clamp(scratch_[i] * gain * 32767.0, -32768.0, 32767.0);
        auto s = static_cast<int16_t>(std::lround(v));
        packet[2 * i] = static_cast<uint8_t>(s & 0xFF);
        packet[2 * i + 1] = static_cast<uint8_t>((s >> 8) & 0xFF);
    }
    return {IsoResult::Status::Ok, static_cast<uint32_t>(count * kFrameBytes)};
}

IsoResult MicrophoneFunction::RenderOut(uint32_t frame, std::span<const uint8_t> packet) {
    if (renderAlternate_ == 0) return {IsoResult::Status::NoResponse, 0};
    size_t frames = packet.size() / kFrameBytes;
    if (frames == 0) ++silentRenderFrames_;
    scratch_.assign(frames * 2, 0.0f);
    double gain = speakerMuted_ ? 0.0 : std::pow(10.0, speakerVolumeQ8_ / 256.0 / 20.0);
    for (size_t i = 0; i < frames * 2; ++i) {
        auto s = static_cast<int16_t>(packet[2 * i] | packet[2 * i + 1] << 8);
        scratch_[i] = static_cast<float>(s / 32768.0 * gain);
    }
    if (source_) source_->Play(static_cast<int>(renderRate_), SampleAt(frame, renderRate_), scratch_);
    return {IsoResult::Status::Ok, static_cast<uint32_t>(packet.size())};
}

}  // namespace qk::sim
