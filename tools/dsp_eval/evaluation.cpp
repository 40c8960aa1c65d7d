#include "tools/dsp_eval/evaluation.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "audiofilter/dsp/dc_blocker.h"
#include "audiofilter/dsp/echo_quell.h"
#include "audiofilter/dsp/noise_guard.h"
#include "tools/dsp_eval/anchor.h"
#include "tools/dsp_eval/feature_runner.h"
#include "sim/sound/scene.h"

namespace qk::dsp {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

double Db(double a, double b) { return 10 * std::log10((a + 1e-9) / (b + 1e-9)); }

Sound Mono(const std::vector<float>& x, int rate) { return Sound{rate, 1, x}; }
Sound Stereo(const std::vector<float>& a, const std::vector<float>& b, int rate) {
    Sound s{rate, 2, std::vector<float>(a.size() * 2)};
    for (size_t i = 0; i < a.size(); ++i) {
        s.samples[2 * i] = a[i];
        s.samples[2 * i + 1] = b[i];
    }
    return s;
}

// Lag (0..maxLag) at which y best matches x.
size_t BestLag(const std::vector<float>& x, const std::vector<float>& y, size_t maxLag) {
    size_t best = 0;
    double bestValue = -1e300;
    for (size_t k = 0; k <= maxLag; ++k) {
        double dot = 0;
        for (size_t i = 0; i + k < y.size() && i < x.size(); i += 3) dot += double(x[i]) * y[i + k];
        if (dot > bestValue) {
            bestValue = dot;
            best = k;
        }
    }
    return best;
}

// Speech distortion (dB, lower is better) from the runs on s+n and s-n.
double Distortion(const std::vector<float>& s, const std::vector<float>& plus, const std::vector<float>& minus,
                  const std::vector<uint8_t>& active, size_t from) {
    std::vector<float> est(plus.size());
    for (size_t i = 0; i < est.size(); ++i) est[i] = 0.5f * (plus[i] - minus[i]);
    size_t lag = BestLag(s, est, 2048);
    double err = 0, ref = 0;
    for (size_t i = from; i + lag < est.size() && i < s.size(); ++i) {
        if (!active[i]) continue;
        double d = est[i + lag] - s[i];
        err += d * d;
        ref += double(s[i]) * s[i];
    }
    return Db(err, ref);
}

std::vector<float> Dc(const std::vector<float>& x, int rate) {
    DcBlocker dc;
    dc.SetRate(ULONG(rate));
    std::vector<float> y(x.size());
    dc.Process(x.data(), y.data(), x.size());
    return y;
}

// NoiseGuard's chain with suppression switched off, lined up with its input.
std::vector<float> BankOnly(const std::vector<float>& x, int rate) {
    NoiseGuard ng;
    ng.Setup(ULONG(rate));
    ng.SetEnabled(false);
    std::vector<float> in = x, out(x.size() + ng.Delay());
    in.resize(out.size(), 0.0f);
    size_t written = 0;
    for (size_t at = 0; at < in.size(); at += kMaxBlock)
        written += ng.Process(in.data() + at, std::min(kMaxBlock, in.size() - at), out.data() + written);
    out.resize(x.size());
    return out;
}

}  // namespace

std::vector<EvalRow> Evaluate(const std::vector<int>& rates, double seconds,
                              const std::function<void(size_t, size_t)>& progress, bool echoResidualSuppression,
                              uint32_t variant) {
    std::vector<EvalRow> rows;
    size_t step = 0, steps = rates.size() * 4;
    auto tick = [&] {
        if (progress) progress(++step, steps);
    };
    for (int rate : rates) {
        const size_t settle = size_t(rate) * 3;
        // Scene 1: talker in front, noise from the side, diffuse noise.
        qk::sim::Scene s = qk::sim::RenderScene({.rateHz = double(rate), .seconds = seconds, .seed = 3 + 10 * variant,
                                                 .talkerLevel = 3000,
                                                 .noise = {{.angleDeg = 60, .level = 500}},
                                                 .diffuseLevel = 200});
        // NoiseGuard on microphone 1 against the suppressor.
        std::vector<float> plus = s.Mix(0, true, true, true, false), minus = s.Mix(0, true, true, true, false, -1);
        std::vector<float> noise = s.Mix(0, false, true, true, false);
        Sound outPlus, outMinus;
        RunFeature(Feature::kNoiseGuard, Mono(plus, rate), nullptr, outPlus);
        RunFeature(Feature::kNoiseGuard, Mono(minus, rate), nullptr, outMinus);
        std::vector<float> spPlus = anchor::SpeexDenoise(Dc(plus, rate), rate);
        std::vector<float> spMinus = anchor::SpeexDenoise(Dc(minus, rate), rate);
        double inPause = 0, oursPause = 0, speexPause = 0;
        for (size_t i = settle; i < plus.size(); ++i) {
            if (s.talkerActive[i]) continue;
            inPause += double(noise[i]) * noise[i];
            oursPause += double(outPlus.samples[i]) * outPlus.samples[i];
            speexPause += double(spPlus[i]) * spPlus[i];
        }
        rows.push_back({"NoiseGuard", rate, "noise reduction in pauses (dB)", Db(inPause, oursPause),
                        Db(inPause, speexPause)});
        // Both processors remove DC first (the capture path does), so the
        // talker they are held to is DC-free too.
        const std::vector<float> talker = Dc(s.talker[0], rate);
        rows.push_back({"NoiseGuard", rate, "speech distortion (dB, lower is better)",
                        Distortion(talker, outPlus.samples, outMinus.samples, s.talkerActive, settle),
                        Distortion(talker, spPlus, spMinus, s.talkerActive, settle)});
        // The same with suppression off: what the bank and the rate
        // converters alone cost the talker (the rest is the gain rule's).
        std::vector<float> bankPlus = BankOnly(Dc(plus, rate), rate), bankMinus = BankOnly(Dc(minus, rate), rate);
        rows.push_back({"NoiseGuard", rate, "  of which bank and rate converters alone (dB)",
                        Distortion(talker, bankPlus, bankMinus, s.talkerActive, settle), kNaN});
        tick();

        // BFA and BFA3: side noise against the beam alone.
        for (Feature f : {Feature::kBfa, Feature::kBfa3}) {
            Sound out;
            RunFeature(f, Stereo(s.side[0], s.side[1], rate), nullptr, out);
            double beam = 0, ours = 0;
            for (size_t i = settle; i < out.samples.size(); ++i) {
                double b = 0.5 * (s.side[0][i] + s.side[1][i]);
                beam += b * b;
                ours += double(out.samples[i]) * out.samples[i];
            }
            rows.push_back({f == Feature::kBfa ? "BFA" : "BFA3", rate, "side noise below the beam (dB)",
                            Db(beam, ours), kNaN});
            tick();
        }

        // Scene 2: echo from the loudspeaker; the near end talks in the
        // last third (double talk).
        // Far end alone while the cancellers converge (at least 20 s), then
        // 6 s of double talk.
        const double dtStart = std::max(seconds, 20.0);
        qk::sim::Scene e = qk::sim::RenderScene({.rateHz = double(rate), .seconds = dtStart + 6, .seed = 5 + 10 * variant,
                                                 .talkerLevel = 2500, .talkerStartS = dtStart,
                                                 .diffuseLevel = 20, .echo = true, .echoDelayMs = 28});
        EchoQuell eq;
        eq.Setup(ULONG(rate));
        std::vector<float> played;
        while (!eq.ResponseFull()) {
            std::vector<float> chunk(size_t(rate) / 10);
            for (float& v : chunk) v = eq.NextCalibrationSample();
            played.insert(played.end(), chunk.begin(), chunk.end());
            std::vector<float> mic = e.ThroughEchoPath(played, 0);
            std::vector<int16_t> m16(chunk.size());
            for (size_t i = 0; i < chunk.size(); ++i) m16[i] = int16_t(std::lround(mic[mic.size() - chunk.size() + i]));
            eq.RecordResponse(m16.data(), m16.size());
        }
        double measured = eq.EstimateDelay();
        rows.push_back({"EchoQuell", rate, "measured delay (samples)", measured, double(e.echoDelaySamples)});
        std::vector<float> micPlus = e.Mix(0, true, false, true, true), micMinus = e.Mix(0, true, false, true, true, -1);
        Sound ref = Mono(e.farEnd, rate), oPlus, oMinus;
        RunFeature(Feature::kEchoQuell, Mono(micPlus, rate), &ref, oPlus, {}, long(measured), echoResidualSuppression);
        RunFeature(Feature::kEchoQuell, Mono(micMinus, rate), &ref, oMinus, {}, long(measured),
                   echoResidualSuppression);
        std::vector<float> xPlus = anchor::SpeexEcho(Dc(micPlus, rate), e.farEnd, rate, 200);
        std::vector<float> xMinus = anchor::SpeexEcho(Dc(micMinus, rate), e.farEnd, rate, 200);
        size_t from = size_t(rate * (dtStart - 4)), to = size_t(rate * dtStart);
        double in = 0, ours = 0, speex = 0;
        for (size_t i = from; i < to; ++i) {
            in += double(micPlus[i]) * micPlus[i];
            ours += double(oPlus.samples[i]) * oPlus.samples[i];
            speex += double(xPlus[i]) * xPlus[i];
        }
        rows.push_back({"EchoQuell", rate, "echo return loss enhancement (dB)", Db(in, ours), Db(in, speex)});
        std::vector<uint8_t> dt(e.size(), 0);
        for (size_t i = size_t(rate * dtStart); i < e.size(); ++i) dt[i] = e.talkerActive[i] && e.farActive[i];
        std::vector<float> near = Dc(e.talker[0], rate);
        rows.push_back({"EchoQuell", rate, "near-end distortion in double talk (dB, lower is better)",
                        Distortion(near, oPlus.samples, oMinus.samples, dt, 0),
                        Distortion(near, xPlus, xMinus, dt, 0)});
        // The anchor with its own residual echo suppressor, for comparison
        // with ours (which always has one unless --linear-echo).
        std::vector<float> rPlus = anchor::SpeexEcho(Dc(micPlus, rate), e.farEnd, rate, 200, true);
        std::vector<float> rMinus = anchor::SpeexEcho(Dc(micMinus, rate), e.farEnd, rate, 200, true);
        double suppressed = 0;
        for (size_t i = from; i < to; ++i) suppressed += double(rPlus[i]) * rPlus[i];
        rows.push_back({"EchoQuell", rate, "ERLE; anchor with residual suppression (dB)", Db(in, ours), Db(in, suppressed)});
        rows.push_back({"EchoQuell", rate, "double-talk distortion; anchor with residual suppression",
                        Distortion(near, oPlus.samples, oMinus.samples, dt, 0), Distortion(near, rPlus, rMinus, dt, 0)});
        tick();
    }
    return rows;
}

}  // namespace qk::dsp
