#include "sim/microphone/array_codec.h"

#include <algorithm>
#include <cmath>

namespace qk::sim {

ArrayCodec::ArrayCodec(ArrayCodecConfig config, std::shared_ptr<SoundSource> source)
    : config_(std::move(config)), source_(std::move(source)) {}

void ArrayCodec::Capture(uint32_t rate, int64_t start, std::span<int16_t> interleaved) {
    std::lock_guard guard(lock_);
    scratch_.assign(interleaved.size(), 0.0f);
    if (source_) source_->Capture(static_cast<int>(rate), start, scratch_);
    for (size_t i = 0; i < scratch_.size(); ++i) {
        const double v = std::clamp(scratch_[i] * 32767.0, -32768.0, 32767.0);
        interleaved[i] = static_cast<int16_t>(std::lround(v));
    }
    captured_ += static_cast<int64_t>(interleaved.size() / 2);
}

void ArrayCodec::Render(uint32_t rate, int64_t start, std::span<const int16_t> interleaved) {
    std::lock_guard guard(lock_);
    scratch_.resize(interleaved.size());
    for (size_t i = 0; i < interleaved.size(); ++i) scratch_[i] = static_cast<float>(interleaved[i] / 32768.0);
    if (source_) source_->Play(static_cast<int>(rate), start, scratch_);
}

int64_t ArrayCodec::CapturedFrames() const {
    std::lock_guard guard(lock_);
    return captured_;
}

}  // namespace qk::sim
