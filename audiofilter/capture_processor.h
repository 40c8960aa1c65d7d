// The capture processor's switches and format: what the control interface and
// the first read of a pin ask for, applied by the capture worker at its next
// buffer. One per started device.
#pragma once

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

    struct Requested {
        bool noiseGuard, bfa, bfa3;
        ULONG rateHz, channels, bits;
    };
    Requested requested() const { return requested_; }
    ULONG microphones() const { return microphones_; }
    bool resetPending() const { return resetPending_; }

private:
    CaptureProcessor() = default;
    Requested requested_{.noiseGuard = true, .bfa = true, .bfa3 = false, .rateHz = 22050, .channels = 1, .bits = 16};
    ULONG microphones_ = 1;
    bool resetPending_ = false;
};

}  // namespace k0340aud
