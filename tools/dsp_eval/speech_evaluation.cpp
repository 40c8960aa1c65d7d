#include "tools/dsp_eval/speech_evaluation.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "audiofilter/dsp/dc_blocker.h"
#include "audiofilter/dsp/echo_quell.h"
#include "sim/sound/scene.h"
#include "tools/dsp_eval/espeak_speech.h"

namespace qk::dsp {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

double Db(double a, double b) { return 10 * std::log10((a + 1e-9) / (b + 1e-9)); }

Sound Stereo(const std::vector<float>& a, const std::vector<float>& b, int rate) {
    Sound s{rate, 2, std::vector<float>(a.size() * 2)};
    for (size_t i = 0; i < a.size(); ++i) {
        s.samples[2 * i] = a[i];
        s.samples[2 * i + 1] = b[i];
    }
    return s;
}

std::vector<float> HalfSum(const std::vector<float>& a, const std::vector<float>& b) {
    std::vector<float> y(a.size());
    for (size_t i = 0; i < y.size(); ++i) y[i] = 0.5f * (a[i] + b[i]);
    return y;
}

std::vector<float> Dc(const std::vector<float>& x, int rate) {
    DcBlocker dc;
    dc.SetRate(ULONG(rate));
    std::vector<float> y(x.size());
    dc.Process(x.data(), y.data(), x.size());
    return y;
}

double Energy(const std::vector<float>& x, size_t from, const std::vector<uint8_t>* mask = nullptr, bool where = true) {
    double e = 0;
    for (size_t i = from; i < x.size(); ++i) {
        if (mask && ((*mask)[i] != 0) != where) continue;
        e += double(x[i]) * x[i];
    }
    return e;
}

// Error of `y` against `x` (dB below x) over `mask`, after `from`.
double ErrorDb(const std::vector<float>& x, const std::vector<float>& y, size_t from,
               const std::vector<uint8_t>* mask = nullptr) {
    double err = 0, ref = 0;
    for (size_t i = from; i < x.size() && i < y.size(); ++i) {
        if (mask && !(*mask)[i]) continue;
        const double d = double(y[i]) - x[i];
        err += d * d;
        ref += double(x[i]) * x[i];
    }
    return Db(err, ref);
}

// Lines a driver recording up with the stages' output (which has no latency).
std::vector<float> LinedUp(const std::vector<float>& stages, const std::vector<float>& recorded, int rate) {
    const size_t lag = Latency(stages, recorded, size_t(rate) / 4);
    std::vector<float> y(stages.size(), 0.0f);
    for (size_t i = 0; i < y.size() && i + lag < recorded.size(); ++i) y[i] = recorded[i + lag];
    return y;
}

const std::vector<std::string> kFrontText = {
    "The camera sits on top of the screen and listens to the person in front of it.",
    "Please say your name and the city you are calling from.",
    "We will meet again on Tuesday at half past ten in the small room.",
};
const std::vector<std::string> kSideText = {
    "Somebody else in the office is talking on the phone about the weather.",
    "Could you pass me the report from last week, the blue one?",
};
const std::vector<std::string> kFarText = {
    "Hello, can you hear me? The line was quiet for a moment.",
    "I am sending the numbers now, tell me when they arrive.",
};

}  // namespace

size_t Latency(const std::vector<float>& early, const std::vector<float>& late, size_t maxLag) {
    size_t best = 0;
    double bestValue = -std::numeric_limits<double>::infinity();
    for (size_t k = 0; k <= maxLag; ++k) {
        double dot = 0;
        for (size_t i = 0; i + k < late.size() && i < early.size(); i += 2) dot += double(early[i]) * late[i + k];
        if (dot > bestValue) {
            bestValue = dot;
            best = k;
        }
    }
    return best;
}

std::vector<SpeechRow> EvaluateSpeech(const std::vector<int>& rates, double seconds, const DriverCapture& driver,
                                      const DriverCall& call, std::string* skipped,
                                      const std::function<void(size_t, size_t)>& progress) {
    std::vector<SpeechRow> rows;
    skipped->clear();
    size_t step = 0;
    const size_t steps = rates.size() * 3 + 1;
    auto tick = [&] {
        if (progress) progress(++step, steps);
    };
    for (int rate : rates) {
        qk::sim::SpeechSignal front, side;
        SpokenOptions o{.voice = "en-us", .sentences = kFrontText, .rateHz = double(rate), .seconds = seconds,
                        .level = 3000};
        if (std::string e = Speak(o, &front); !e.empty()) {
            *skipped = e;
            return {};
        }
        SpokenOptions s{.voice = "en-gb+f3", .sentences = kSideText, .words = 165, .rateHz = double(rate),
                        .seconds = seconds, .level = 1500, .pauseS = 0.3};
        if (std::string e = Speak(s, &side); !e.empty()) {
            *skipped = e;
            return {};
        }
        const size_t settle = size_t(rate) * 2;  // the adaptive parts settle first

        // NoiseGuard: the talker in front, steady noise from the side and all around.
        qk::sim::Scene n = qk::sim::RenderScene({.rateHz = double(rate), .seconds = seconds, .seed = 11,
                                                 .noise = {{.angleDeg = 60, .level = 400}}, .diffuseLevel = 150,
                                                 .talkerSpeech = &front});
        {
            const Sound mic = Stereo(n.Mic(0), n.Mic(1), rate);
            Sound alone, through;
            RunFeature(Feature::kNoiseGuard, mic, nullptr, alone);
            const std::vector<float> noise =
                HalfSum(n.Mix(0, false, true, true, false), n.Mix(1, false, true, true, false));
            const double inPause = Energy(noise, settle, &n.talkerActive, false);
            SpeechRow reduction{"NoiseGuard", rate, "noise reduction in the talker's pauses (dB)",
                                Db(inPause, Energy(alone.samples, settle, &n.talkerActive, false)), kNaN};
            SpeechRow same{"NoiseGuard", rate, "driver against the stages alone (dB, error)", kNaN, kNaN};
            if (driver) {
                Sound rec;
                if (std::string e = driver(Feature::kNoiseGuard, mic, &rec); !e.empty()) {
                    *skipped = "through the driver: " + e;
                } else {
                    std::vector<float> y = LinedUp(alone.samples, rec.samples, rate);
                    reduction.driver = Db(inPause, Energy(y, settle, &n.talkerActive, false));
                    same.driver = ErrorDb(alone.samples, y, settle);
                }
            }
            rows.push_back(reduction);
            rows.push_back(same);
        }
        tick();

        // BFA and BFA3: a second talker 60 degrees to the side, the first in front.
        qk::sim::Scene b = qk::sim::RenderScene({.rateHz = double(rate), .seconds = seconds, .seed = 13,
                                                 .noise = {{.angleDeg = 60, .level = 0, .speech = &side}},
                                                 .diffuseLevel = 20, .talkerSpeech = &front});
        const Sound sideOnly = Stereo(b.Mix(0, false, true, true, false), b.Mix(1, false, true, true, false), rate);
        const Sound frontOnly = Stereo(b.Mix(0, true, false, true, false), b.Mix(1, true, false, true, false), rate);
        const std::vector<float> beamSide = HalfSum(b.side[0], b.side[1]);
        for (Feature f : {Feature::kBfa, Feature::kBfa3}) {
            const char* name = f == Feature::kBfa ? "BFA" : "BFA3";
            // BFA's path removes DC first, BFA3's does not.
            const std::vector<float> talker = f == Feature::kBfa ? HalfSum(Dc(b.talker[0], rate), Dc(b.talker[1], rate))
                                                                 : HalfSum(b.talker[0], b.talker[1]);
            Sound sideOut, frontOut;
            RunFeature(f, sideOnly, nullptr, sideOut);
            RunFeature(f, frontOnly, nullptr, frontOut);
            const double beam = Energy(beamSide, settle);
            SpeechRow below{name, rate, "second talker below the beam (dB)", Db(beam, Energy(sideOut.samples, settle)),
                            kNaN};
            SpeechRow kept{name, rate, "front talker distortion (dB, lower is better)",
                           ErrorDb(talker, frontOut.samples, settle, &b.talkerActive), kNaN};
            SpeechRow same{name, rate, "driver against the stages alone, both runs (dB, error)", kNaN, kNaN};
            if (driver) {
                Sound recSide, recFront;
                std::string e = driver(f, sideOnly, &recSide);
                if (e.empty()) e = driver(f, frontOnly, &recFront);
                if (!e.empty()) {
                    *skipped = "through the driver: " + e;
                } else {
                    std::vector<float> ys = LinedUp(sideOut.samples, recSide.samples, rate);
                    std::vector<float> yf = LinedUp(frontOut.samples, recFront.samples, rate);
                    below.driver = Db(beam, Energy(ys, settle));
                    kept.driver = ErrorDb(talker, yf, settle, &b.talkerActive);
                    // Both runs against the stages' own output.
                    same.driver = 10 * std::log10(0.5 * (std::pow(10.0, ErrorDb(frontOut.samples, yf, settle) / 10) +
                                                         std::pow(10.0, ErrorDb(sideOut.samples, ys, settle) / 10)));
                }
            }
            rows.push_back(below);
            rows.push_back(kept);
            rows.push_back(same);
            tick();
        }
    }

    // EchoQuell: a far end of speech through the room, nobody talking near;
    // the echo left in the last 4 s against the echo itself.
    constexpr int kCallRate = 16000;
    const double callSeconds = std::max(seconds, 8.0) + 4;
    qk::sim::SpeechSignal far;
    SpokenOptions f{.voice = "en-us+m3", .sentences = kFarText, .rateHz = kCallRate, .seconds = callSeconds,
                    .level = 3000, .pauseS = 0.3};
    if (std::string e = Speak(f, &far); !e.empty()) {
        *skipped = e;
        return {};
    }
    qk::sim::Scene room = qk::sim::RenderScene({.rateHz = kCallRate, .seconds = callSeconds, .seed = 17,
                                                .talker = false, .diffuseLevel = 5, .echo = true,
                                                .echoDelayMs = 12, .farSpeech = &far});
    const size_t from = room.size() - size_t(kCallRate) * 4;
    const std::vector<float> echo = room.Mix(0, false, false, true, true);
    Sound alone, reference{kCallRate, 1, room.farEnd};
    // The delay as the filter finds it: its probe played through the room.
    long delay = 0;
    {
        EchoQuell eq;
        eq.Setup(ULONG(kCallRate));
        std::vector<float> played;
        while (!eq.ResponseFull()) {
            std::vector<float> chunk(size_t(kCallRate) / 10);
            for (float& v : chunk) v = eq.NextCalibrationSample();
            played.insert(played.end(), chunk.begin(), chunk.end());
            const std::vector<float> heard = room.ThroughEchoPath(played, 0);
            std::vector<int16_t> m16(chunk.size());
            for (size_t i = 0; i < chunk.size(); ++i) {
                m16[i] = int16_t(std::lround(heard[heard.size() - chunk.size() + i]));
            }
            eq.RecordResponse(m16.data(), m16.size());
        }
        delay = long(eq.EstimateDelay());
    }
    // Both microphones, as the headset records them (the canceller takes their half sum).
    RunFeature(Feature::kEchoQuell, Stereo(echo, room.Mix(1, false, false, true, true), kCallRate), &reference, alone, {},
               delay);
    SpeechRow erle{"EchoQuell", kCallRate, "echo return loss enhancement, last 4 s (dB)",
                   Db(Energy(echo, from), Energy(alone.samples, from)), kNaN};
    if (call) {
        CallRoom r{kCallRate, room.farEnd, {room.echoPath[0], room.echoPath[1]}};
        Sound plain, cancelled;
        std::string e = call(r, false, &plain);
        if (e.empty()) e = call(r, true, &cancelled);
        if (!e.empty()) {
            *skipped = "through the driver: " + e;
        } else {
            const size_t n = std::min(plain.samples.size(), cancelled.samples.size());
            plain.samples.resize(n);
            cancelled.samples.resize(n);
            const size_t last = n > size_t(kCallRate) * 4 ? n - size_t(kCallRate) * 4 : 0;
            erle.driver = Db(Energy(plain.samples, last), Energy(cancelled.samples, last));
        }
    }
    rows.push_back(erle);
    tick();
    return rows;
}

}  // namespace qk::dsp
