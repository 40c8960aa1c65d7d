#include "sim/sound/scene.h"

#include <kiss_fftr.h>

#include <algorithm>
#include <cmath>

namespace qk::sim {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kFractionalHalf = 16;  // taps each side of the fractional delay
constexpr int kDiffuseSources = 12;

// Adds `gain * x[n - delay]` for a fractional delay (windowed sinc).
void AddDelayed(const std::vector<float>& x, double delay, double gain, std::vector<float>& out) {
    long whole = long(std::floor(delay));
    double frac = delay - double(whole);
    double taps[2 * kFractionalHalf + 1];
    for (int i = -kFractionalHalf; i <= kFractionalHalf; ++i) {
        double t = double(i) - frac;
        double sinc = t == 0 ? 1.0 : std::sin(kPi * t) / (kPi * t);
        double w = 0.5 + 0.5 * std::cos(kPi * t / (kFractionalHalf + 1));
        taps[i + kFractionalHalf] = gain * sinc * w;
    }
    long n = long(out.size());
    for (long o = 0; o < n; ++o) {
        double acc = 0;
        for (int i = -kFractionalHalf; i <= kFractionalHalf; ++i) {
            long src = o - whole - i;
            if (src >= 0 && src < long(x.size())) acc += taps[i + kFractionalHalf] * x[size_t(src)];
        }
        out[size_t(o)] += float(acc);
    }
}

// Pink-ish noise: white noise through a gentle low-pass, scaled to `rms`.
std::vector<float> ColouredNoise(size_t count, uint32_t seed, double rms, double rateHz) {
    std::vector<float> w = WhiteNoise(count, seed);
    double a = std::exp(-2 * kPi * 1500.0 / rateHz), y = 0, energy = 0;
    for (float& v : w) {
        y = (1 - a) * v + a * y;
        v = float(y + 0.3 * v);
        energy += double(v) * v;
    }
    double scale = count && energy > 0 ? rms / std::sqrt(energy / double(count)) : 0;
    for (float& v : w) v = float(v * scale);
    return w;
}

// Inter-microphone delay of a plane wave from `angleDeg`, in samples;
// microphone 0 hears it this much earlier.
double Tdoa(double angleDeg, const SceneOptions& o) {
    return o.spacingM * std::sin(angleDeg * kPi / 180.0) / o.speedOfSoundMps * o.rateHz;
}

void AddPlaneWave(const std::vector<float>& source, double angleDeg, const SceneOptions& o, std::vector<float>* pair) {
    // A common lead-in keeps both delays positive.
    const double base = kFractionalHalf + 8;
    double tdoa = Tdoa(angleDeg, o);
    AddDelayed(source, base - tdoa / 2, 1.0, pair[0]);
    AddDelayed(source, base + tdoa / 2, 1.0, pair[1]);
}

}  // namespace

std::vector<float> Scene::Mix(int channel, bool withTalker, bool withSide, bool withDiffuse, bool withEcho,
                              float talkerSign) const {
    std::vector<float> out(size(), 0.0f);
    for (size_t i = 0; i < out.size(); ++i) {
        float v = 0;
        if (withTalker) v += talkerSign * talker[channel][i];
        if (withSide) v += side[channel][i];
        if (withDiffuse) v += diffuse[channel][i];
        if (withEcho) v += echo[channel][i];
        out[i] = v;
    }
    return out;
}

std::vector<float> Scene::ThroughEchoPath(const std::vector<float>& played, int channel) const {
    // Overlap-add fast convolution: the responses are thousands of taps long.
    const std::vector<float>& h = echoPath[channel];
    std::vector<float> out(played.size(), 0.0f);
    if (h.empty() || played.empty()) return out;
    size_t fft = 1;
    while (fft < 2 * h.size()) fft *= 2;
    const size_t block = fft - h.size() + 1;
    kiss_fftr_cfg forward = kiss_fftr_alloc(int(fft), 0, nullptr, nullptr);
    kiss_fftr_cfg inverse = kiss_fftr_alloc(int(fft), 1, nullptr, nullptr);
    std::vector<float> buf(fft, 0.0f);
    std::vector<kiss_fft_cpx> H(fft / 2 + 1), X(fft / 2 + 1);
    std::copy(h.begin(), h.end(), buf.begin());
    kiss_fftr(forward, buf.data(), H.data());
    for (size_t at = 0; at < played.size(); at += block) {
        size_t n = std::min(block, played.size() - at);
        std::fill(buf.begin(), buf.end(), 0.0f);
        std::copy_n(played.begin() + long(at), n, buf.begin());
        kiss_fftr(forward, buf.data(), X.data());
        for (size_t k = 0; k < X.size(); ++k) {
            float re = X[k].r * H[k].r - X[k].i * H[k].i;
            float im = X[k].r * H[k].i + X[k].i * H[k].r;
            X[k].r = re / float(fft);
            X[k].i = im / float(fft);
        }
        kiss_fftri(inverse, X.data(), buf.data());
        for (size_t i = 0; i < fft && at + i < out.size(); ++i) out[at + i] += buf[i];
    }
    kiss_fftr_free(forward);
    kiss_fftr_free(inverse);
    return out;
}

Scene RenderScene(const SceneOptions& o) {
    Scene s;
    s.rateHz = o.rateHz;
    size_t n = size_t(o.rateHz * o.seconds);
    for (int c = 0; c < 2; ++c) {
        s.talker[c].assign(n, 0.0f);
        s.side[c].assign(n, 0.0f);
        s.diffuse[c].assign(n, 0.0f);
        s.echo[c].assign(n, 0.0f);
    }
    s.talkerActive.assign(n, 0);
    s.farActive.assign(n, 0);
    s.farEnd.assign(n, 0.0f);

    auto window = [&](std::vector<float>& x, std::vector<uint8_t>& active, double start, double end) {
        for (size_t i = 0; i < x.size(); ++i) {
            double t = double(i) / o.rateHz;
            if (t < start || t >= end) {
                x[i] = 0;
                active[i] = 0;
            }
        }
    };

    // A recorded signal fitted to the scene's length.
    auto fitted = [n](const SpeechSignal& recorded) {
        SpeechSignal sp = recorded;
        sp.samples.resize(n, 0.0f);
        sp.active.resize(n, 0);
        return sp;
    };
    if (o.talker) {
        SpeechSignal sp = o.talkerSpeech ? fitted(*o.talkerSpeech)
                                         : RenderSpeech({.rateHz = o.rateHz, .seconds = o.seconds, .seed = o.seed,
                                                         .pitchHz = 125, .level = o.talkerLevel});
        window(sp.samples, sp.active, o.talkerStartS, o.talkerEndS);
        // Straight ahead: the same wave reaches both microphones at once.
        AddPlaneWave(sp.samples, 0.0, o, s.talker);
        // The activity mask follows the same lead-in.
        const size_t lead = kFractionalHalf + 8;
        for (size_t i = 0; i < n; ++i) s.talkerActive[i] = i >= lead ? sp.active[i - lead] : 0;
    }
    for (const NoiseSource& src : o.noise) {
        std::vector<float> x;
        if (src.speech) {
            x = fitted(*src.speech).samples;
        } else if (src.speechLike) {
            SpeechSignal sp = RenderSpeech({.rateHz = o.rateHz, .seconds = o.seconds, .seed = src.seed,
                                            .pitchHz = 190, .level = src.level * 3});
            x = sp.samples;
        } else {
            x = ColouredNoise(n, src.seed, src.level, o.rateHz);
        }
        AddPlaneWave(x, src.angleDeg, o, s.side);
    }
    if (o.diffuseLevel > 0) {
        double per = o.diffuseLevel / std::sqrt(double(kDiffuseSources));
        for (int k = 0; k < kDiffuseSources; ++k) {
            double angle = -180.0 + 360.0 * (k + 0.5) / kDiffuseSources;
            std::vector<float> x = ColouredNoise(n, o.seed * 977 + 31 * k + 5, per, o.rateHz);
            AddPlaneWave(x, angle, o, s.diffuse);
        }
    }
    if (o.echo) {
        SpeechSignal far = o.farSpeech ? fitted(*o.farSpeech)
                                       : RenderSpeech({.rateHz = o.rateHz, .seconds = o.seconds, .seed = o.seed + 1000,
                                                       .pitchHz = 200, .level = o.farLevel, .pauseShare = 0.25});
        window(far.samples, far.active, o.farStartS, o.farEndS);
        s.farEnd = far.samples;
        s.farActive = far.active;
        s.echoDelaySamples = long(std::lround(o.echoDelayMs * o.rateHz / 1000.0));
        // Loudspeaker-to-microphone impulse responses: the first arrival, a
        // few early reflections and a dense diffuse tail whose high
        // frequencies die away three times faster than its low ones, as
        // absorption in a room makes them.
        const size_t tail = size_t(o.echoDecayMs * 4 * o.rateHz / 1000.0);
        const size_t start = size_t(s.echoDelaySamples);
        for (int c = 0; c < 2; ++c) {
            std::vector<float> jitter = WhiteNoise(tail + 64, o.seed * 131 + 17 + uint32_t(c));
            std::vector<float>& h = s.echoPath[c];
            h.assign(start + tail + 1, 0.0f);
            h[start + size_t(c)] = float(o.echoGain * (c ? 0.9 : 1.0));
            for (int r = 0; r < 8; ++r) {
                size_t at = start + size_t((0.5 + double(jitter[size_t(r)]) / std::sqrt(12.0)) * 0.012 * o.rateHz) + 1;
                if (at < h.size()) h[at] += float(o.echoGain * 0.5 * (jitter[size_t(r) + 8] > 0 ? 1 : -1) *
                                                  std::exp(-double(at - start) / o.rateHz * 1000.0 / o.echoDecayMs));
            }
            const double a = std::exp(-2 * kPi * 800.0 / o.rateHz);
            double low = 0, energy = 0;
            std::vector<double> diffuse(tail, 0.0);
            for (size_t i = 2; i < tail; ++i) {
                double t = double(i) / o.rateHz * 1000.0;
                double v = jitter[i + 16];
                low = (1 - a) * v + a * low;
                diffuse[i] = 2.5 * low * std::exp(-t / o.echoDecayMs) + v * std::exp(-t * 3 / o.echoDecayMs);
                energy += diffuse[i] * diffuse[i];
            }
            // The loudspeaker sits in the camera next to the microphones, so
            // the direct path carries twice the energy of the room's tail.
            const double direct = o.echoGain * o.echoGain;
            const double scale = energy > 0 ? std::sqrt(0.5 * direct / energy) : 0.0;
            for (size_t i = 2; i < tail; ++i) h[start + i] += float(scale * diffuse[i]);
            s.echo[c] = s.ThroughEchoPath(s.farEnd, c);
        }
    }
    return s;
}

}  // namespace qk::sim
