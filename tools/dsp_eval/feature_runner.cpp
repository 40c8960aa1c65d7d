#include "tools/dsp_eval/feature_runner.h"

#include <algorithm>
#include <cmath>

#include "audiofilter/dsp/bfa.h"
#include "audiofilter/dsp/bfa3.h"
#include "audiofilter/dsp/dc_blocker.h"
#include "audiofilter/dsp/echo_quell.h"
#include "audiofilter/dsp/noise_guard.h"

namespace qk::dsp {

namespace {

constexpr size_t kBlock = 4096;

std::vector<float> Channel(const Sound& s, int c) {
    std::vector<float> out(s.frames());
    int pick = std::min(c, s.channels - 1);
    for (size_t i = 0; i < out.size(); ++i) out[i] = s.samples[i * size_t(s.channels) + size_t(pick)];
    return out;
}

int16_t Clip16(float v) { return int16_t(std::clamp(std::lround(v), -32767l, 32767l)); }

}  // namespace

bool ParseFeature(const std::string& name, Feature& feature) {
    if (name == "noiseguard") feature = Feature::kNoiseGuard;
    else if (name == "bfa") feature = Feature::kBfa;
    else if (name == "bfa3") feature = Feature::kBfa3;
    else if (name == "echoquell") feature = Feature::kEchoQuell;
    else return false;
    return true;
}

std::string RunFeature(Feature feature, const Sound& mic, const Sound* reference, Sound& out,
                       const std::function<void(size_t, size_t)>& progress, long knownDelay,
                       bool residualSuppression) {
    if (mic.channels < 1 || mic.rateHz < 8000 || mic.rateHz > 48000) return "unsupported input";
    const size_t frames = mic.frames();
    const ULONG rate = ULONG(mic.rateHz);
    std::vector<float> left = Channel(mic, 0), right = Channel(mic, 1);
    out.rateHz = mic.rateHz;
    out.channels = 1;
    out.samples.assign(frames, 0.0f);
    auto report = [&](size_t done) {
        if (progress) progress(done, frames);
    };

    if (feature == Feature::kEchoQuell) {
        if (!reference) return "echoquell needs --ref (the far-end signal as played)";
        if (reference->rateHz != mic.rateHz) return "the reference must have the microphone's sample rate";
        std::vector<float> far = Channel(*reference, 0);
        if (reference->channels == 2) {
            std::vector<float> r2 = Channel(*reference, 1);
            for (size_t i = 0; i < far.size(); ++i) far[i] = 0.5f * (far[i] + r2[i]);
        }
        far.resize(frames, 0.0f);
        std::vector<int16_t> m(frames), r(frames), o(frames);
        for (size_t i = 0; i < frames; ++i) {
            m[i] = Clip16(mic.channels == 2 ? 0.5f * (left[i] + right[i]) : left[i]);
            r[i] = Clip16(far[i]);
        }
        auto eq = MakeStage<EchoQuell>();
        eq->Setup(rate);
        eq->SetResidualSuppression(residualSuppression);
        // A recording cannot replay the probe, so the delay comes from
        // correlating the recording with the reference unless it is given.
        if (knownDelay < 0) {
            size_t span = std::min<size_t>(frames, size_t(rate) * 4);
            long best = 0;
            double bestValue = -1;
            long maxLag = long(rate) / 2;
            size_t step = rate > 12000 ? rate / 8000 : 1;
            for (long k = 0; k < maxLag && size_t(k) < span; k += long(step)) {
                double dot = 0, e1 = 0, e2 = 0;
                for (size_t i = 0; i + size_t(k) < span; i += step) {
                    dot += double(r[i]) * m[i + size_t(k)];
                    e1 += double(r[i]) * r[i];
                    e2 += double(m[i + size_t(k)]) * m[i + size_t(k)];
                }
                double v = e1 > 0 && e2 > 0 ? dot / std::sqrt(e1 * e2) : 0;
                if (v > bestValue) {
                    bestValue = v;
                    best = k;
                }
            }
            knownDelay = best;
        }
        eq->SetDelay(LONG(knownDelay));
        for (size_t at = 0; at < frames; at += EchoQuell::kMaxStep) {
            size_t n = std::min(EchoQuell::kMaxStep, frames - at);
            eq->Process(m.data() + at, r.data() + at, n, o.data() + at);
            report(at + n);
        }
        for (size_t i = 0; i < frames; ++i) out.samples[i] = o[i];
        return {};
    }

    // The capture path: DC removal per channel (not before BFA3), then the stage; the stage's
    // start-up delay is made up with its tail, fed with silence.
    DcBlocker dcLeft, dcRight;
    dcLeft.SetRate(rate);
    dcRight.SetRate(rate);
    const bool stereo = mic.channels == 2;
    std::vector<float> l(kBlock), r(kBlock), y(kBlock);
    size_t produced = 0;
    auto noiseGuard = MakeStage<NoiseGuard>();
    auto bfa = MakeStage<Bfa>();
    auto bfa3 = MakeStage<Bfa3>();
    size_t delay = 0;
    if (feature == Feature::kNoiseGuard || !stereo) {
        noiseGuard->Setup(rate);
        delay = noiseGuard->Delay();
    } else if (feature == Feature::kBfa) {
        bfa->Setup(rate);
        bfa->SetNoiseGuard(false);
        delay = bfa->Delay();
    } else {
        bfa3->Setup(rate);
        delay = bfa3->Delay();
    }
    for (size_t at = 0; at < frames + delay; at += kBlock) {
        size_t n = std::min(kBlock, frames + delay - at);
        for (size_t i = 0; i < n; ++i) {
            float a = at + i < frames ? left[at + i] : 0.0f;
            float b = at + i < frames ? right[at + i] : 0.0f;
            l[i] = a;
            r[i] = b;
        }
        size_t got = 0;
        if (feature == Feature::kNoiseGuard || !stereo) {
            for (size_t i = 0; i < n; ++i) l[i] = dcLeft.Process(stereo ? 0.5f * (l[i] + r[i]) : l[i]);
            got = noiseGuard->Process(l.data(), n, y.data());
        } else if (feature == Feature::kBfa) {
            dcLeft.Process(l.data(), n);
            dcRight.Process(r.data(), n);
            got = bfa->Process(l.data(), r.data(), n, y.data());
        } else {
            // BFA3 takes the microphones as they come, as the capture processor gives them.
            got = bfa3->Process(l.data(), r.data(), n, y.data());
        }
        for (size_t i = 0; i < got && produced < frames; ++i) out.samples[produced++] = y[i];
        report(std::min(frames, at + n));
    }
    return {};
}

}  // namespace qk::dsp
