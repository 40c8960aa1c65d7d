// Real-time factor (counter "rtf": seconds of audio per second of one core)
// of each stage and of the SpeexDSP anchor on the same synthetic scene.
#include <benchmark/benchmark.h>

#include <cmath>
#include <map>
#include <vector>

#include "audiofilter/dsp/bfa.h"
#include "audiofilter/dsp/bfa3.h"
#include "audiofilter/dsp/echo_quell.h"
#include "tools/dsp_eval/anchor.h"
#include "audiofilter/dsp/noise_guard.h"
#include "sim/sound/scene.h"

namespace {

constexpr double kSeconds = 5;

const qk::sim::Scene& SceneAt(int rate) {
    static std::map<int, qk::sim::Scene> scenes;
    auto it = scenes.find(rate);
    if (it == scenes.end())
        it = scenes
                 .emplace(rate, qk::sim::RenderScene({.rateHz = double(rate), .seconds = kSeconds,
                                                      .noise = {{.angleDeg = 60, .level = 500}},
                                                      .diffuseLevel = 100, .echo = true}))
                 .first;
    return it->second;
}

void SetRtf(benchmark::State& state) {
    state.counters["rtf"] = benchmark::Counter(kSeconds * double(state.iterations()), benchmark::Counter::kIsRate);
}

void NoiseGuardMono(benchmark::State& state) {
    int rate = int(state.range(0));
    std::vector<float> x = SceneAt(rate).Mic(0), y(x.size());
    for (auto _ : state) {
        qk::dsp::NoiseGuard ng;
        ng.Setup(ULONG(rate));
        for (size_t at = 0; at < x.size(); at += 4096)
            ng.Process(x.data() + at, std::min<size_t>(4096, x.size() - at), y.data() + at);
        benchmark::DoNotOptimize(y.data());
    }
    SetRtf(state);
}

void SpeexSuppressorMono(benchmark::State& state) {
    int rate = int(state.range(0));
    std::vector<float> x = SceneAt(rate).Mic(0);
    for (auto _ : state) benchmark::DoNotOptimize(qk::dsp::anchor::SpeexDenoise(x, rate));
    SetRtf(state);
}

void BfaStereo(benchmark::State& state) {
    int rate = int(state.range(0));
    std::vector<float> l = SceneAt(rate).Mic(0), r = SceneAt(rate).Mic(1), y(l.size());
    for (auto _ : state) {
        qk::dsp::Bfa bfa;
        bfa.Setup(ULONG(rate));
        for (size_t at = 0; at < l.size(); at += 4096) {
            size_t n = std::min<size_t>(4096, l.size() - at);
            bfa.Process(l.data() + at, r.data() + at, n, y.data() + at);
        }
        benchmark::DoNotOptimize(y.data());
    }
    SetRtf(state);
}

void Bfa3Stereo(benchmark::State& state) {
    int rate = int(state.range(0));
    std::vector<float> l = SceneAt(rate).Mic(0), r = SceneAt(rate).Mic(1), y(l.size());
    for (auto _ : state) {
        qk::dsp::Bfa3 b;
        b.Setup(ULONG(rate));
        for (size_t at = 0; at < l.size(); at += 4096) {
            size_t n = std::min<size_t>(4096, l.size() - at);
            b.Process(l.data() + at, r.data() + at, n, y.data() + at);
        }
        benchmark::DoNotOptimize(y.data());
    }
    SetRtf(state);
}

void EchoQuellMono(benchmark::State& state) {
    int rate = int(state.range(0));
    const qk::sim::Scene& s = SceneAt(rate);
    std::vector<float> m = s.Mic(0);
    std::vector<int16_t> mic(m.size()), ref(m.size()), out(m.size());
    for (size_t i = 0; i < m.size(); ++i) {
        mic[i] = int16_t(std::lround(std::fmax(-32767.0, std::fmin(32767.0, m[i]))));
        ref[i] = int16_t(std::lround(s.farEnd[i]));
    }
    for (auto _ : state) {
        qk::dsp::EchoQuell eq;
        eq.Setup(ULONG(rate));
        eq.SetDelay(s.echoDelaySamples);
        for (size_t at = 0; at < mic.size(); at += 2048) {
            size_t n = std::min<size_t>(2048, mic.size() - at);
            eq.Process(mic.data() + at, ref.data() + at, n, out.data() + at);
        }
        benchmark::DoNotOptimize(out.data());
    }
    SetRtf(state);
}

void SpeexEchoCanceller200ms(benchmark::State& state) {
    int rate = int(state.range(0));
    const qk::sim::Scene& s = SceneAt(rate);
    std::vector<float> m = s.Mic(0);
    for (auto _ : state) benchmark::DoNotOptimize(qk::dsp::anchor::SpeexEcho(m, s.farEnd, rate, 200));
    SetRtf(state);
}

BENCHMARK(NoiseGuardMono)->Arg(16000)->Arg(48000)->Unit(benchmark::kMillisecond);
BENCHMARK(SpeexSuppressorMono)->Arg(16000)->Arg(48000)->Unit(benchmark::kMillisecond);
BENCHMARK(EchoQuellMono)->Arg(16000)->Unit(benchmark::kMillisecond);
BENCHMARK(SpeexEchoCanceller200ms)->Arg(16000)->Unit(benchmark::kMillisecond);
BENCHMARK(BfaStereo)->Arg(16000)->Unit(benchmark::kMillisecond);
BENCHMARK(Bfa3Stereo)->Arg(16000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
