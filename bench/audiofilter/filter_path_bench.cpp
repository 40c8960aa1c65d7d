// Processor time per 10 ms of audio (counter "us_per_10ms") of the camera's
// default processing (BFA3 then NoiseGuard on the two microphones) as the
// filter runs it on each captured buffer (16-bit stereo PCM in place: the
// floating-point and vector state saves, the capture processor's framing and conversions, the
// level meter when on) against the same stages fed float samples directly.
#include <benchmark/benchmark.h>

#include <cmath>
#include <filesystem>
#include <map>
#include <memory>
#include <vector>

#include <time.h>
#include <unistd.h>

#include "audiofilter/capture_processor.h"
#include "audiofilter/dsp/bfa3.h"
#include "audiofilter/dsp/noise_guard.h"
#include "audiofilter/filter.h"
#include "platform/nt/kernel.h"
#include "platform/nt/machine.h"
#include "sim/sound/scene.h"

namespace {

constexpr double kSeconds = 5;

void BootOnce() {
    static std::unique_ptr<qk::Machine> machine = [] {
        auto root = std::filesystem::temp_directory_path() / ("qk-bench-audio-" + std::to_string(::getpid()));
        std::filesystem::remove_all(root);
        auto m = std::make_unique<qk::Machine>(root);
        qk::nt::Boot(*m);
        return m;
    }();
}

struct Signal {
    std::vector<float> left, right;
    std::vector<int16_t> pcm;  // interleaved
};

const Signal& SignalAt(int rate) {
    static std::map<int, Signal> signals;
    auto it = signals.find(rate);
    if (it != signals.end()) return it->second;
    qk::sim::Scene s = qk::sim::RenderScene({.rateHz = double(rate), .seconds = kSeconds,
                                             .noise = {{.angleDeg = 60, .level = 500}}, .diffuseLevel = 100});
    Signal sig;
    std::vector<float> l = s.Mix(0, true, true, true, false), r = s.Mix(1, true, true, true, false);
    for (size_t i = 0; i < l.size(); ++i) {
        int16_t a = int16_t(std::lround(std::fmax(-32767.0f, std::fmin(32767.0f, l[i]))));
        int16_t b = int16_t(std::lround(std::fmax(-32767.0f, std::fmin(32767.0f, r[i]))));
        sig.pcm.push_back(a);
        sig.pcm.push_back(b);
        sig.left.push_back(a);
        sig.right.push_back(b);
    }
    return signals.emplace(rate, std::move(sig)).first->second;
}

void SetPer10ms(benchmark::State& state) {
    // Seconds per iteration / (kSeconds * 100) chunks, in microseconds.
    state.counters["us_per_10ms"] =
        benchmark::Counter(double(state.iterations()) * kSeconds * 100.0 / 1e6,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void StagesAlone(benchmark::State& state) {
    const int rate = int(state.range(0));
    const Signal& sig = SignalAt(rate);
    const size_t chunk = size_t(rate / 100);
    qk::dsp::Bfa3 bfa3;
    qk::dsp::NoiseGuard ng;
    bfa3.Setup(ULONG(rate));
    ng.Setup(ULONG(rate));
    ng.SetEnabled(true);
    std::vector<float> out(chunk);
    for (auto _ : state) {
        for (size_t at = 0; at + chunk <= sig.left.size(); at += chunk) {
            size_t n = bfa3.Process(sig.left.data() + at, sig.right.data() + at, chunk, out.data());
            n = ng.Process(out.data(), n, out.data());
            benchmark::DoNotOptimize(out.data());
        }
    }
    SetPer10ms(state);
}

void FilterPath(benchmark::State& state) {
    BootOnce();
    const int rate = int(state.range(0));
    const bool metersOn = state.range(1) != 0;
    const Signal& sig = SignalAt(rate);
    const size_t chunk = size_t(rate / 100);
    using namespace k0340aud;
    CaptureProcessor* p = CaptureProcessor::Create();
    p->SetFeature(FEATURE_NOISEGUARD, 1);
    p->SetFeature(FEATURE_BFA, 0);
    p->SetFeature(FEATURE_BFA3, 1);
    p->SetFormat(ULONG(rate), 2, 16);
    p->RequestReset();
    LevelMeter meter{};
    ResetMeter(&meter, ULONG(rate), 2);
    std::vector<int16_t> buffer(chunk * 2);
    for (auto _ : state) {
        for (size_t at = 0; at + chunk * 2 <= sig.pcm.size(); at += chunk * 2) {
            std::copy_n(sig.pcm.data() + at, chunk * 2, buffer.data());
            DspStateScope state;  // the floating-point and vector state, as the worker saves them
            ULONG n = p->Process(reinterpret_cast<UCHAR*>(buffer.data()), ULONG(chunk * 4));
            if (metersOn) UpdateMeter(&meter, reinterpret_cast<const UCHAR*>(buffer.data()), n, false);
            benchmark::DoNotOptimize(buffer.data());
        }
    }
    CaptureProcessor::Destroy(p);
    SetPer10ms(state);
}

double ThreadSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// Both sides on the same thread, alternating every 100 ms of audio, each
// block timed in this thread's processor time: a burst of load elsewhere on
// the machine (other builds, the simulated machine's own threads) falls on
// both sides alike instead of on whichever benchmark happened to run then.
// Counters: processor time per 10 ms of audio of each side and the path's
// overhead over the stages in per cent.
void Interleaved(benchmark::State& state) {
    BootOnce();
    const int rate = int(state.range(0));
    const Signal& sig = SignalAt(rate);
    const size_t chunk = size_t(rate / 100);
    constexpr size_t kBlock = 10;  // chunks timed together
    qk::dsp::Bfa3 bfa3;
    qk::dsp::NoiseGuard ng;
    bfa3.Setup(ULONG(rate));
    ng.Setup(ULONG(rate));
    ng.SetEnabled(true);
    using namespace k0340aud;
    CaptureProcessor* p = CaptureProcessor::Create();
    p->SetFeature(FEATURE_NOISEGUARD, 1);
    p->SetFeature(FEATURE_BFA, 0);
    p->SetFeature(FEATURE_BFA3, 1);
    p->SetFormat(ULONG(rate), 2, 16);
    p->RequestReset();
    std::vector<float> out(chunk);
    std::vector<int16_t> buffer(chunk * 2 * kBlock);
    double stagesSeconds = 0, pathSeconds = 0;
    size_t chunks = 0;
    for (auto _ : state) {
        const size_t frames = sig.left.size();
        for (size_t at = 0; at + chunk * kBlock <= frames; at += chunk * kBlock) {
            const bool pathFirst = (at / (chunk * kBlock)) % 2 != 0;  // neither side always warms the cache
            for (int side = 0; side < 2; ++side) {
                const bool path = (side == 0) == pathFirst;
                if (path) std::copy_n(sig.pcm.data() + at * 2, chunk * 2 * kBlock, buffer.data());
                const double begin = ThreadSeconds();
                for (size_t c = 0; c < kBlock; ++c) {
                    if (path) {
                        DspStateScope saved;
                        p->Process(reinterpret_cast<UCHAR*>(buffer.data() + c * chunk * 2), ULONG(chunk * 4));
                        benchmark::DoNotOptimize(buffer.data());
                    } else {
                        const size_t i = at + c * chunk;
                        size_t n = bfa3.Process(sig.left.data() + i, sig.right.data() + i, chunk, out.data());
                        n = ng.Process(out.data(), n, out.data());
                        benchmark::DoNotOptimize(out.data());
                    }
                }
                (path ? pathSeconds : stagesSeconds) += ThreadSeconds() - begin;
            }
            chunks += kBlock;
        }
    }
    CaptureProcessor::Destroy(p);
    state.counters["stages_us_per_10ms"] = stagesSeconds * 1e6 / double(chunks);
    state.counters["path_us_per_10ms"] = pathSeconds * 1e6 / double(chunks);
    state.counters["overhead_pct"] = (pathSeconds / stagesSeconds - 1) * 100;
}

BENCHMARK(StagesAlone)->Arg(16000)->Arg(48000)->Unit(benchmark::kMillisecond);
// Second argument: the level meters on (they are off until a client asks).
BENCHMARK(FilterPath)->Args({16000, 0})->Args({48000, 0})->Args({16000, 1})->Args({48000, 1})->Unit(benchmark::kMillisecond);
// The overhead target (<= 10 %) is read from this one: both sides in one loop.
BENCHMARK(Interleaved)->Arg(16000)->Arg(48000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
