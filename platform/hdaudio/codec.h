// The contract between the high-definition audio bus and the codec models on
// its link: what a codec's audio function group offers and how its
// converters exchange samples. No kernel is needed to implement it.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace qk::hdaudio {

class Codec {
public:
    virtual ~Codec() = default;
    // The identifiers the bus reports in the function's hardware ID.
    virtual uint16_t VendorId() const = 0;
    virtual uint16_t DeviceId() const = 0;
    virtual std::u16string Description() const = 0;
    // 16-bit PCM converters: the input converter's channel count, the output
    // converter's (0: none) and the rates both run at.
    virtual uint32_t CaptureChannels() const = 0;
    virtual uint32_t RenderChannels() const = 0;
    virtual std::vector<uint32_t> Rates() const = 0;
    // Frames `start` .. of the input converter at `rate`, interleaved. Called
    // from the bus's DPC, one stream at a time.
    virtual void Capture(uint32_t rate, int64_t start, std::span<int16_t> interleaved) = 0;
    // What the output converter plays from frame `start` on.
    virtual void Render(uint32_t rate, int64_t start, std::span<const int16_t> interleaved) = 0;
};

}  // namespace qk::hdaudio
