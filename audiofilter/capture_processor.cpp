#include "audiofilter/capture_processor.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>

#include "audiofilter/filter.h"

namespace k0340aud {

namespace {

float ReadSample(const UCHAR* p, ULONG bits) {
    if (bits == 16) {
        int16_t v;
        std::memcpy(&v, p, 2);
        return float(v);
    }
    int32_t v;
    std::memcpy(&v, p, 4);
    return float(v);
}

void WriteSample(UCHAR* p, ULONG bits, float x) {
    if (bits == 16) {
        int16_t v = x > 32767.0f ? int16_t(32767) : x < -32767.0f ? int16_t(-32767) : int16_t(x >= 0 ? x + 0.5f : x - 0.5f);
        std::memcpy(p, &v, 2);
        return;
    }
    // 2^31 itself does not fit: it saturates with everything above it.
    int32_t v;
    if (x >= 2147483648.0f) {
        v = 0x7FFFFFFF;
    } else if (x < -2147483648.0f) {
        v = int32_t(0x80000001u);
    } else {
        const double r = x >= 0 ? double(x) + 0.5 : double(x) - 0.5;
        v = r >= 2147483647.0 ? 0x7FFFFFFF : r <= -2147483647.0 ? int32_t(0x80000001u) : int32_t(r);
    }
    std::memcpy(p, &v, 4);
}

}  // namespace

CaptureProcessor* CaptureProcessor::Create() {
    void* memory = ExAllocatePoolWithTag(NonPagedPool, sizeof(CaptureProcessor), kPoolTag);
    if (memory == nullptr) return nullptr;
    return new (memory) CaptureProcessor();
}

void CaptureProcessor::Destroy(CaptureProcessor* processor) {
    if (processor == nullptr) return;
    processor->~CaptureProcessor();
    ExFreePoolWithTag(processor, kPoolTag);
}

void CaptureProcessor::SetFeature(ULONG feature, ULONG value) {
    switch (feature) {
        case FEATURE_NOISEGUARD: requested_.noiseGuard = value != 0; break;
        case FEATURE_BFA: requested_.bfa = value != 0; break;
        case FEATURE_BFA3: requested_.bfa3 = value != 0; break;
        default: break;
    }
}

void CaptureProcessor::SetFormat(ULONG rateHz, ULONG channels, ULONG bits) {
    if (rateHz < 4000 || rateHz > 48000 || channels < 1 || channels > 4 || (bits != 16 && bits != 32)) return;
    requested_.rateHz = rateHz;
    requested_.channels = channels;
    requested_.bits = bits;
}

void CaptureProcessor::Apply() {
    const ULONG rate = requested_.rateHz;
    bool justReset = false;
    if (resetPending_) {
        noiseGuard_.Setup(rate);
        bfa_.Setup(rate);
        bfa3Ready_ = bfa3_.Setup(rate);
        resetPending_ = false;
        justReset = true;
        // A reset starts a new stream: bytes split off the old one do not
        // belong to it, nor is its last sample the DC filters' previous input.
        dcLeft_.Reset();
        dcRight_.Reset();
        stashInBytes_ = stashOutBytes_ = 0;
        alignment_ = 0;
    }
    const bool rateChanged = rate != applied_.rateHz;
    if (requested_.bfa != applied_.bfa || rateChanged) {
        applied_.bfa = requested_.bfa;
        if (!justReset) bfa_.Setup(rate);
    }
    if (requested_.bfa3 != applied_.bfa3 || rateChanged) {
        applied_.bfa3 = requested_.bfa3;
        bfa3Ready_ = bfa3_.Setup(rate);
    }
    if (requested_.noiseGuard != applied_.noiseGuard || rateChanged) {
        applied_.noiseGuard = requested_.noiseGuard;
        if (!justReset) noiseGuard_.Setup(rate);
        noiseGuard_.SetEnabled(applied_.noiseGuard);
        bfa_.SetNoiseGuard(applied_.noiseGuard);
        dcLeft_.SetRate(rate);
        dcRight_.SetRate(rate);
    }
    applied_.rateHz = rate;
    if (requested_.channels != applied_.channels || requested_.bits != applied_.bits) {
        // Another frame size: whatever was split belongs to the old format.
        stashInBytes_ = stashOutBytes_ = 0;
        alignment_ = 0;
    }
    applied_.channels = requested_.channels;
    applied_.bits = requested_.bits;
}

CaptureProcessor::Mode CaptureProcessor::ModeNow() const {
    const ULONG channels = applied_.channels;
    if (channels == 1) return applied_.noiseGuard ? Mode::Mono : Mode::Unchanged;
    // Three or four channels have no processing of their own.
    if (channels != 2) return Mode::Unchanged;
    if (applied_.bfa3 && bfa3Ready_) return Mode::Bfa3;
    if (applied_.bfa) return Mode::Bfa;
    if (applied_.noiseGuard) return Mode::HalfSum;
    return Mode::Unchanged;
}

// Runs the stages over `frames` frames in left_/right_; the result (one
// sample per frame) is in left_. Returns the frames produced.
// Loops per format without branches inside, so that the compiler can
// vectorise them: the conversions are most of what the filter adds to the stages.
void CaptureProcessor::Deinterleave(size_t frames) {
    const size_t channels = applied_.channels;
    if (applied_.bits == 16) {
        const auto* s = reinterpret_cast<const int16_t*>(raw_);
        if (channels == 2) {
            for (size_t i = 0; i < frames; ++i) {
                left_[i] = float(s[2 * i]);
                right_[i] = float(s[2 * i + 1]);
            }
        } else {
            for (size_t i = 0; i < frames; ++i) left_[i] = float(s[i * channels]);
        }
        return;
    }
    for (size_t i = 0; i < frames; ++i) {
        left_[i] = ReadSample(raw_ + i * channels * 4, 32);
        right_[i] = channels > 1 ? ReadSample(raw_ + i * channels * 4 + 4, 32) : 0.0f;
    }
}

void CaptureProcessor::Interleave(size_t produced) {
    const size_t channels = applied_.channels;
    if (applied_.bits == 16) {
        auto* d = reinterpret_cast<int16_t*>(raw_);
        // std::max and std::min with the bound first treat NaN as fmax and
        // fmin did (it becomes -32767), but compile to vector max and min:
        // with the library calls this loop was a third of the filter path's
        // overhead at 48000 Hz.
        auto round16 = [](float sample) {
            const float x = std::min(32767.0f, std::max(-32767.0f, sample));
            return int16_t(x + (x >= 0.0f ? 0.5f : -0.5f));
        };
        if (channels == 2) {
            for (size_t i = 0; i < produced; ++i) d[2 * i] = d[2 * i + 1] = round16(left_[i]);
        } else if (channels == 1) {
            for (size_t i = 0; i < produced; ++i) d[i] = round16(left_[i]);
        } else {
            for (size_t i = 0; i < produced; ++i) {
                const int16_t v = round16(left_[i]);
                for (size_t c = 0; c < channels; ++c) d[i * channels + c] = v;
            }
        }
        return;
    }
    for (size_t i = 0; i < produced; ++i) {
        UCHAR* frame = raw_ + i * channels * 4;
        WriteSample(frame, 32, left_[i]);
        for (size_t c = 1; c < channels; ++c) std::memcpy(frame + c * 4, frame, 4);
    }
}

size_t CaptureProcessor::RunPass(Mode mode, size_t frames) {
    switch (mode) {
        case Mode::Mono:
            dcLeft_.Process(left_, frames);
            return noiseGuard_.Process(left_, frames, left_);
        case Mode::Bfa3: {
            size_t n = bfa3_.Process(left_, right_, frames, left_);
            return applied_.noiseGuard ? noiseGuard_.Process(left_, n, left_) : n;
        }
        case Mode::Bfa:
            dcLeft_.Process(left_, frames);
            dcRight_.Process(right_, frames);
            return bfa_.Process(left_, right_, frames, left_);
        case Mode::HalfSum:
            for (size_t i = 0; i < frames; ++i) left_[i] = (left_[i] + right_[i]) * 0.5f;
            dcLeft_.Process(left_, frames);
            return noiseGuard_.Process(left_, frames, left_);
        case Mode::Unchanged: return frames;
    }
    return frames;
}

void CaptureProcessor::FlushPending(UCHAR* data, ULONG limit, ULONG* written) {
    const size_t n = std::min<size_t>(stashOutBytes_, limit - *written);
    std::memcpy(data + *written, stashOut_, n);
    *written += ULONG(n);
    std::memmove(stashOut_, stashOut_ + n, stashOutBytes_ - n);
    stashOutBytes_ -= n;
}

void CaptureProcessor::Emit(UCHAR* data, ULONG limit, ULONG* written, const UCHAR* bytes, size_t count) {
    FlushPending(data, limit, written);
    size_t n = 0;
    if (stashOutBytes_ == 0) {
        n = std::min<size_t>(count, limit - *written);
        std::memcpy(data + *written, bytes, n);
        *written += ULONG(n);
    }
    // What does not fit waits; it is bounded by a frame or two (see Process).
    const size_t rest = std::min(count - n, kStashBytes - stashOutBytes_);
    std::memcpy(stashOut_ + stashOutBytes_, bytes + n, rest);
    stashOutBytes_ += rest;
}

ULONG CaptureProcessor::Process(UCHAR* data, ULONG bytes) {
    Apply();
    const ULONG bits = applied_.bits;
    const size_t sampleBytes = bits / 8;
    const size_t frameBytes = sampleBytes * applied_.channels;
    const Mode mode = ModeNow();
    if (mode == Mode::Unchanged && stashInBytes_ == 0 && stashOutBytes_ == 0) {
        alignment_ = (alignment_ + bytes) % frameBytes;
        return bytes;
    }
    ULONG read = 0;  // bytes of `data` consumed
    if (stashInBytes_ == 0 && alignment_ != 0) {
        // Processing resumes inside a frame: its tail passes as it is.
        read = ULONG(std::min<size_t>(frameBytes - alignment_, bytes));
        alignment_ = 0;
    }
    ULONG written = read;  // bytes of `data` holding output
    float last = 0.0f;
    bool any = false;
    while (true) {
        // Gather up to a pass of whole frames: the stashed partial frame first.
        const size_t available = stashInBytes_ + (bytes - read);
        size_t frames = std::min(available / frameBytes, kPassSamples / applied_.channels);
        if (frames == 0) break;
        const size_t passBytes = frames * frameBytes;
        std::memcpy(raw_, stashIn_, stashInBytes_);
        std::memcpy(raw_ + stashInBytes_, data + read, passBytes - stashInBytes_);
        read += ULONG(passBytes - stashInBytes_);
        stashInBytes_ = 0;
        if (mode == Mode::Unchanged) {
            // Byte for byte: 32-bit samples would not survive a float.
            Emit(data, read, &written, raw_, passBytes);
            continue;
        }
        Deinterleave(frames);
        const size_t produced = RunPass(mode, frames);
        // Back to integers, each output sample to every channel of its frame;
        // the pass's input bytes are spent, so raw_ takes the frames.
        Interleave(produced);
        if (produced > 0) {
            Emit(data, read, &written, raw_, produced * frameBytes);
            last = left_[produced - 1];
            any = true;
        }
    }
    // A trailing partial frame waits for the next buffer.
    const size_t tail = bytes - read;
    std::memcpy(stashIn_ + stashInBytes_, data + read, tail);
    stashInBytes_ += tail;
    read = bytes;
    FlushPending(data, bytes, &written);
    // The stages' start-up delay leaves the end of the buffer short.
    if (written < bytes) {
        UCHAR fill[4] = {};
        if (any) WriteSample(fill, bits, last);
        for (ULONG i = written; i < bytes; ++i) data[i] = fill[(i - written) % sampleBytes];
    }
    return written;
}

void ApplyMicBoost(UCHAR* data, ULONG bytes, ULONG bits, ULONG gain, ULONG* carry) {
    if (bits != 16 && bits != 32) return;
    const ULONG sampleBytes = bits / 8;
    ULONG start = std::min(*carry, bytes);
    *carry -= start;
    if (*carry > 0) return;  // the whole buffer was the rest of one sample
    ULONG end = start + (bytes - start) / sampleBytes * sampleBytes;
    for (ULONG i = start; i < end; i += sampleBytes) {
        if (bits == 16) {
            int16_t s;
            std::memcpy(&s, data + i, 2);
            const int32_t v = std::clamp<int32_t>(int32_t(s) * int32_t(gain), -32767, 32767);
            s = int16_t(v);
            std::memcpy(data + i, &s, 2);
        } else {
            int32_t s;
            std::memcpy(&s, data + i, 4);
            const int64_t v = int64_t(s) * int64_t(gain);
            s = v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? int32_t(0x80000001u) : int32_t(v);
            std::memcpy(data + i, &s, 4);
        }
    }
    // A sample split at the end: its bytes in the next buffer are skipped.
    if (end < bytes) *carry = sampleBytes - (bytes - end);
}

}  // namespace k0340aud
