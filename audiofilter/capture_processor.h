// The capture processor: DC removal, the two-microphone modes and noise
// suppression on captured PCM, in place, one buffer at a time. Samples split
// across buffers are carried in stashes, so any buffer size works. Feature
// switches and the format are requested from outside (control interface,
// first read of a pin) and applied at the next buffer by the capture worker.
#pragma once

#include <cstddef>

#include "audiofilter/dsp/bfa.h"
#include "audiofilter/dsp/bfa3.h"
#include "audiofilter/dsp/dc_blocker.h"
#include "audiofilter/dsp/noise_guard.h"
#include "wdm.h"

namespace k0340aud {

class CaptureProcessor {
public:
    // Pool-backed (tag "Wdm "), so the leak check at unload sees it; null on failure.
    static CaptureProcessor* Create();
    static void Destroy(CaptureProcessor* processor);

    // NoiseGuard, BFA and BFA3 take the value; EchoQuell (and any other
    // number) is not the capture processor's and is ignored.
    void SetFeature(ULONG feature, ULONG value);
    // Ignored unless 4000 <= rate <= 48000 Hz, 1..4 channels and 16 or 32 bits.
    void SetFormat(ULONG rateHz, ULONG channels, ULONG bits);
    void SetMicrophones(ULONG count) { microphones_ = count; }
    void RequestReset() { resetPending_ = true; }

    // Processes `bytes` of interleaved PCM in place; returns the bytes
    // produced (fewer while the stages fill; the rest of the buffer then
    // repeats the last sample written, or holds zeros).
    ULONG Process(UCHAR* data, ULONG bytes);

    struct Switches {
        bool noiseGuard, bfa, bfa3;
        ULONG rateHz, channels, bits;
    };
    Switches requested() const { return requested_; }
    Switches applied() const { return applied_; }
    ULONG microphones() const { return microphones_; }
    bool resetPending() const { return resetPending_; }
    bool bfa3Ready() const { return bfa3Ready_; }

    static constexpr size_t kPassSamples = 4096;
    static constexpr size_t kWorkSamples = 4106;
    static constexpr size_t kStashBytes = 64;

private:
    CaptureProcessor() = default;
    enum class Mode { Unchanged, Mono, Bfa3, Bfa, HalfSum };
    void Apply();
    Mode ModeNow() const;
    size_t RunPass(Mode mode, size_t frames);
    void Deinterleave(size_t frames);
    void Interleave(size_t produced);
    void Emit(UCHAR* data, ULONG limit, ULONG* written, const UCHAR* bytes, size_t count);
    void FlushPending(UCHAR* data, ULONG limit, ULONG* written);

    Switches requested_{.noiseGuard = true, .bfa = true, .bfa3 = false, .rateHz = 22050, .channels = 1, .bits = 16};
    Switches applied_{.noiseGuard = false, .bfa = false, .bfa3 = false, .rateHz = 0, .channels = 1, .bits = 16};
    ULONG microphones_ = 1;
    bool resetPending_ = false;
    bool bfa3Ready_ = false;

    // Bytes of a frame that a buffer ended inside of, taken first next time.
    UCHAR stashIn_[kStashBytes] = {};
    size_t stashInBytes_ = 0;
    // Output bytes that could not be written yet (never past what was read).
    UCHAR stashOut_[kStashBytes] = {};
    size_t stashOutBytes_ = 0;
    // Stream position modulo the frame while nothing is processed.
    size_t alignment_ = 0;

    qk::dsp::NoiseGuard noiseGuard_;
    qk::dsp::Bfa bfa_;
    qk::dsp::Bfa3 bfa3_;
    qk::dsp::DcBlocker dcLeft_, dcRight_;
    float left_[kWorkSamples] = {};
    float right_[kWorkSamples] = {};
    // The raw bytes of the pass, for the modes that leave the samples as they are.
    alignas(16) UCHAR raw_[kPassSamples * 4 + kStashBytes] = {};
};

// MicBoost: multiplies 16- and 32-bit samples by `gain` (2..20) with
// saturation. `carry` holds the bytes of a sample split at the end of the
// previous buffer that begin this one (they are left alone).
void ApplyMicBoost(UCHAR* data, ULONG bytes, ULONG bits, ULONG gain, ULONG* carry);

}  // namespace k0340aud
