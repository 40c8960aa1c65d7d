// Rates, block sizes and sample values from outside: every stage must set up
// or refuse, never read or write out of bounds, never give back more samples
// than it was given, and keep its output finite for finite input.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "audiofilter/dsp/bfa.h"
#include "audiofilter/dsp/bfa3.h"
#include "audiofilter/dsp/echo_quell.h"
#include "audiofilter/dsp/noise_guard.h"

namespace {

struct Reader {
    const uint8_t* data;
    size_t size;
    size_t pos = 0;
    template <class T>
    T Take() {
        T v{};
        if (pos + sizeof(T) <= size) std::memcpy(&v, data + pos, sizeof(T));
        pos += sizeof(T);
        return v;
    }
    bool more() const { return pos < size; }
};

void CheckFinite(const float* x, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (!std::isfinite(x[i])) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Reader in{data, size};
    // Mostly sensible rates, sometimes anything.
    uint32_t raw = in.Take<uint32_t>();
    static const ULONG kRates[] = {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000};
    ULONG rate = (raw & 0x80000000u) ? raw & 0xFFFFu : kRates[raw % 9];
    uint8_t which = in.Take<uint8_t>();
    uint8_t scaleBits = in.Take<uint8_t>() & 15;  // up to 32-bit sample values
    const float scale = float(1u << scaleBits);

    qk::dsp::NoiseGuard ng;
    qk::dsp::Bfa bfa;
    qk::dsp::Bfa3 bfa3;
    qk::dsp::EchoQuell eq;
    switch (which % 4) {
        case 0: ng.Setup(rate); ng.SetEnabled(which & 4); break;
        case 1: bfa.Setup(rate); bfa.SetNoiseGuard(which & 4); break;
        case 2: bfa3.Setup(rate); break;
        default: eq.Setup(rate); eq.SetDelay(LONG(in.Take<int16_t>())); eq.SetEnabled(which & 4); break;
    }
    std::vector<float> left, right, out;
    std::vector<int16_t> mic, ref, out16;
    size_t total = 0;
    while (in.more() && total < 20000) {
        size_t n = size_t(in.Take<uint16_t>() % 5000);
        left.assign(n, 0.0f);
        right.assign(n, 0.0f);
        mic.assign(n, 0);
        ref.assign(n, 0);
        for (size_t i = 0; i < n && in.more(); ++i) {
            int16_t a = in.Take<int16_t>(), b = in.Take<int16_t>();
            left[i] = float(a) * scale;
            right[i] = float(b) * scale;
            mic[i] = a;
            ref[i] = b;
        }
        out.assign(n, 0.0f);
        out16.assign(n, 0);
        size_t got = n;
        switch (which % 4) {
            case 0: got = ng.Process(left.data(), n, out.data()); break;
            case 1: got = bfa.Process(left.data(), right.data(), n, out.data()); break;
            case 2: got = bfa3.Process(left.data(), right.data(), n, out.data()); break;
            default: eq.Process(mic.data(), ref.data(), n, out16.data()); break;
        }
        if (got > n) std::abort();
        CheckFinite(out.data(), got);
        if (eq.EchoReduction() > 100) std::abort();
        total += n;
    }
    return 0;
}
