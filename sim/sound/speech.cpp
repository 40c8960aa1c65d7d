#include "sim/sound/speech.h"

#include <algorithm>
#include <cmath>

namespace qk::sim {

namespace {

constexpr double kPi = 3.14159265358979323846;

struct Random {
    uint64_t state;
    explicit Random(uint32_t seed) : state(0x9E3779B97F4A7C15ull ^ (uint64_t(seed) * 0xD1B54A32D192ED03ull)) {}
    uint64_t Next() {
        state ^= state >> 12;
        state ^= state << 25;
        state ^= state >> 27;
        return state * 2685821657736338717ull;
    }
    double Uniform() { return double(Next() >> 11) / 9007199254740992.0; }
    double Range(double lo, double hi) { return lo + (hi - lo) * Uniform(); }
};

// Vowel formants (Hz) and bandwidths.
struct Vowel {
    double f[3];
};
constexpr Vowel kVowels[] = {{{730, 1090, 2440}}, {{270, 2290, 3010}}, {{300, 870, 2240}},
                             {{530, 1840, 2480}}, {{570, 840, 2410}},  {{440, 1020, 2240}}};

double FormantGain(double f, const Vowel& v) {
    double g = 0;
    const double bw[3] = {90, 110, 170};
    const double amp[3] = {1.0, 0.6, 0.3};
    for (int i = 0; i < 3; ++i) {
        double d = (f - v.f[i]) / bw[i];
        g += amp[i] / (1 + d * d);
    }
    return g;
}

// Band-pass resonance of a fricative: centred at 5 kHz (or just below the
// Nyquist frequency at low rates), 3 kHz wide; `scale` gives its output the
// RMS of a first difference of the same noise (sqrt(2) times the noise).
struct Resonance {
    double b0, a1, a2, scale;
};

Resonance FricativeResonance(double rateHz) {
    const double centre = std::min(5000.0, 0.42 * rateHz), width = 3000.0;
    const double w0 = 2 * kPi * centre / rateHz;
    const double alpha = std::sin(w0) * std::sinh(std::log(2.0) / 2 * (width / centre) * w0 / std::sin(w0));
    const double a0 = 1 + alpha;
    Resonance r{alpha / a0, -2 * std::cos(w0) / a0, (1 - alpha) / a0, 1.0};
    // Power gain for white noise from the impulse response.
    double y1 = 0, y2 = 0, power = 0;
    for (int i = 0; i < 4096; ++i) {
        double x = i == 0 ? 1.0 : 0.0, x2 = i == 2 ? 1.0 : 0.0;
        double y = r.b0 * (x - x2) - r.a1 * y1 - r.a2 * y2;
        y2 = y1;
        y1 = y;
        power += y * y;
    }
    r.scale = power > 0 ? std::sqrt(2.0 / power) : 0.0;
    return r;
}

}  // namespace

std::vector<float> WhiteNoise(size_t count, uint32_t seed) {
    Random r(seed);
    std::vector<float> out(count);
    for (float& v : out) v = float((r.Uniform() - 0.5) * std::sqrt(12.0));
    return out;
}

SpeechSignal RenderSpeech(const SpeechOptions& o) {
    SpeechSignal s;
    size_t total = size_t(o.rateHz * o.seconds);
    s.samples.assign(total, 0.0f);
    s.active.assign(total, 0);
    Random r(o.seed);
    size_t pos = size_t(o.rateHz * 0.25);  // starts after a short pause
    double maxHarmonicHz = std::min(4000.0, o.rateHz * 0.45);
    while (pos < total) {
        // A "word": 1-3 syllables, then a pause.
        int syllables = 1 + int(r.Uniform() * 3);
        for (int syl = 0; syl < syllables && pos < total; ++syl) {
            bool fricative = r.Uniform() < 0.2;
            size_t len = size_t(o.rateHz * r.Range(0.09, 0.26));
            len = std::min(len, total - pos);
            if (fricative) {
                // "s"-like: noise through a resonance fixed in hertz (not in
                // fractions of the rate), so the sound has the same spectrum
                // at every sampling rate, with as much energy as a noise of
                // the old level had.
                Resonance bp = FricativeResonance(o.rateHz);
                double y1 = 0, y2 = 0, x1 = 0, x2 = 0;
                for (size_t i = 0; i < len; ++i) {
                    double env = std::sin(kPi * double(i) / len);
                    double n = (r.Uniform() - 0.5) * 2;
                    double y = bp.b0 * (n - x2) - bp.a1 * y1 - bp.a2 * y2;
                    x2 = x1;
                    x1 = n;
                    y2 = y1;
                    y1 = y;
                    s.samples[pos + i] += float(0.25 * o.level * env * y * bp.scale);
                    s.active[pos + i] = 1;
                }
            } else {
                const Vowel& v = kVowels[size_t(r.Uniform() * 6) % 6];
                double f0 = o.pitchHz * r.Range(0.85, 1.2);
                double glide = r.Range(-0.25, 0.25);
                int harmonics = int(maxHarmonicHz / (f0 * 0.8));
                std::vector<double> phase(size_t(harmonics) + 1, 0.0);
                for (size_t i = 0; i < len; ++i) {
                    double t = double(i) / len;
                    double env = std::pow(std::sin(kPi * t), 0.6);
                    double f = f0 * (1 + glide * (t - 0.5));
                    double sample = 0;
                    for (int h = 1; h <= harmonics; ++h) {
                        double fh = f * h;
                        if (fh > maxHarmonicHz) break;
                        phase[size_t(h)] += 2 * kPi * fh / o.rateHz;
                        sample += FormantGain(fh, v) / std::sqrt(double(h)) * std::sin(phase[size_t(h)]);
                    }
                    s.samples[pos + i] += float(0.35 * o.level * env * sample);
                    s.active[pos + i] = 1;
                }
            }
            pos += len + size_t(o.rateHz * r.Range(0.01, 0.05));
        }
        double pause = r.Range(0.4, 1.6) * o.pauseShare / 0.35 * 0.45;
        pos += size_t(o.rateHz * pause);
    }
    return s;
}

}  // namespace qk::sim
