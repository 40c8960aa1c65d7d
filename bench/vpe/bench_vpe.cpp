// The effects library against libyuv's bilinear scaling of the same crop, in
// one run: the manual zoom (640 x 480, zoom 75: a centred 480 x 360 box) for
// the three media types, and a whole face-tracking step per frame (analysis,
// tracking, zoom) against scaling the framing it chose. The summary at the
// end prints each time as a ratio to its anchor (medians of the repetitions,
// CPU time: the machines are shared).
//
// libyuv has no YUY2 scaler; its anchor for YUY2 is ARGBScale over the pixel
// pairs (four bytes each), the usual way to scale packed 4:2:2.
//
// Fairness of the tracking comparison: both sides go through the same list of
// steps (frame, framing) and start each step with the frame in the same
// cache state. The list is a tracking session replayed deterministically: the
// library restarted (which resets its shared frame-rate estimate), a fresh
// context, 60 frames of the standard scene untimed so that the face is
// framed, then kSteps timed frames cycling through the next 90 (the face
// moves, then rests). The anchor scales exactly the framing the session chose
// for each of its frames, and the tracking benchmark checks that its own run
// chose the same framings. Cache states: "cold" flushes the frame from every
// cache level before the step, as a frame written by the camera's DMA is
// found; "warm" reads it first, as a frame copied by the processor is found.
#include <benchmark/benchmark.h>
#include <immintrin.h>
#include <libyuv.h>
#include <libyuv/scale_rgb.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "imaging/vpe/vpe.h"
#include "sim/scene/scene.h"

namespace {

namespace sim = qk::sim;

constexpr int kW = 640, kH = 480;
constexpr int kBoxX = 80, kBoxY = 60, kBoxW = 480, kBoxH = 360;  // zoom 75

void Alloc(void** p, uint32_t n, int32_t, void*) { *p = std::aligned_alloc(64, (size_t(n) + 63) / 64 * 64); }
void Free(void* p, void*) { std::free(p); }

// Restarts the library: its frame-rate estimator starts afresh, so a
// tracking session chooses the same framings every time it is replayed.
void StartLibrary() { vpeInit(nullptr, nullptr, Alloc, Free, VPE_VERSION); }

PVPE_CONTEXT NewContext() {
    PVPE_CONTEXT c = nullptr;
    vpeCreate(&c, 0, nullptr);
    return c;
}

const char* Name(int mediaType) { return mediaType == MT_RGB24 ? "RGB24" : mediaType == MT_I420 ? "I420" : "YUY2"; }
int Pitch(int mediaType, int w) { return mediaType == MT_RGB24 ? 3 * w : mediaType == MT_YUY2 ? 2 * w : w; }
size_t Bytes(int mediaType) { return mediaType == MT_I420 ? size_t(kW) * kH * 3 / 2 : size_t(Pitch(mediaType, kW)) * kH; }
sim::PixelFormat Format(int mediaType) {
    return mediaType == MT_RGB24 ? sim::PixelFormat::kRgb24
           : mediaType == MT_I420 ? sim::PixelFormat::kI420
                                  : sim::PixelFormat::kYuy2;
}

std::vector<uint8_t> Picture(int mediaType) {
    std::vector<uint8_t> out(Bytes(mediaType));
    sim::Scene(sim::Scene::Standard()).Render(150, kW, kH, Format(mediaType), out.data(), Pitch(mediaType, kW));
    return out;
}

enum class Cache { kCold, kWarm };
const char* Name(Cache cache) { return cache == Cache::kCold ? "cold" : "warm"; }

// Puts a frame in the given cache state (called with the timer paused).
void Prepare(const std::vector<uint8_t>& frame, Cache cache) {
    if (cache == Cache::kCold) {
        for (size_t at = 0; at < frame.size(); at += 64) _mm_clflush(frame.data() + at);
        _mm_mfence();
    } else {
        uint8_t sum = 0;
        for (size_t at = 0; at < frame.size(); at += 64) sum = uint8_t(sum + frame[at]);
        benchmark::DoNotOptimize(sum);
    }
}

// libyuv's bilinear scaling of the crop (x, y, w, h) to the whole destination.
void LibyuvScale(int mediaType, const uint8_t* src, uint8_t* dst, int x, int y, int w, int h) {
    switch (mediaType) {
    case MT_RGB24:
        libyuv::RGBScale(src + size_t(y) * 3 * kW + 3 * size_t(x), 3 * kW, w, h, dst, 3 * kW, kW, kH,
                         libyuv::kFilterBilinear);
        break;
    case MT_I420: {
        const uint8_t* u = src + size_t(kW) * kH;
        const uint8_t* v = u + size_t(kW / 2) * (kH / 2);
        const size_t c = size_t(y / 2) * (kW / 2) + size_t(x / 2);
        libyuv::I420Scale(src + size_t(y) * kW + size_t(x), kW, u + c, kW / 2, v + c, kW / 2, w, h, dst, kW,
                          dst + size_t(kW) * kH, kW / 2, dst + size_t(kW) * kH * 5 / 4, kW / 2, kW, kH,
                          libyuv::kFilterBilinear);
        break;
    }
    default:
        libyuv::ARGBScale(src + size_t(y) * 2 * kW + 2 * size_t(x & ~1), 2 * kW, w / 2, h, dst, 2 * kW, kW / 2, kH,
                          libyuv::kFilterBilinear);
        break;
    }
}

void BM_vpeDigitalZoom(benchmark::State& state, int mediaType) {
    StartLibrary();
    PVPE_CONTEXT c = NewContext();
    const auto src = Picture(mediaType);
    std::vector<uint8_t> dst(Bytes(mediaType));
    for (auto _ : state) {
        vpeDigitalZoom(c, dst.data(), kW, kH, Pitch(mediaType, kW), src.data(), kW, kH, Pitch(mediaType, kW),
                       10 * kBoxX, 10 * kBoxY, 10 * kBoxW, 10 * kBoxH, mediaType, 0);
        benchmark::DoNotOptimize(dst.data());
    }
    vpeDestroy(c);
}

// The context-free zooms (the workspace on the stack, in smaller strips).
void BM_DirectZoom(benchmark::State& state, int mediaType) {
    StartLibrary();
    const auto src = Picture(mediaType);
    std::vector<uint8_t> dst(Bytes(mediaType));
    const int pitch = Pitch(mediaType, kW);
    const auto zoom = mediaType == MT_RGB24 ? vpeZoomLinRgb24 : mediaType == MT_I420 ? vpeZoomLinI420 : ftkZoomYuy2;
    for (auto _ : state) {
        zoom(dst.data(), kW, kH, pitch, src.data(), kW, kH, pitch, kBoxX << 16, kBoxY << 16, kBoxW << 16, kBoxH << 16);
        benchmark::DoNotOptimize(dst.data());
    }
}

// plainC: libyuv's plain C path instead of its SIMD one.
void BM_LibyuvZoom(benchmark::State& state, int mediaType, bool plainC) {
    libyuv::MaskCpuFlags(plainC ? 1 : -1);
    const auto src = Picture(mediaType);
    std::vector<uint8_t> dst(Bytes(mediaType));
    for (auto _ : state) {
        LibyuvScale(mediaType, src.data(), dst.data(), kBoxX, kBoxY, kBoxW, kBoxH);
        benchmark::DoNotOptimize(dst.data());
    }
    libyuv::MaskCpuFlags(-1);
}

// The tracking session both sides replay.
constexpr int kPrerollFrames = 60, kCycleFrames = 90;
constexpr int kSteps = 20 * kCycleFrames;
constexpr uint32_t kFrameMs = 33;

struct Session {
    std::vector<std::vector<uint8_t>> frames;  // scene frames 0 .. kPrerollFrames + kCycleFrames - 1
    std::vector<VPE_FRAMING> framings;         // chosen at each timed step
};

int FrameOfStep(int step) { return kPrerollFrames + step % kCycleFrames; }
uint32_t StampOfStep(int step) { return uint32_t(kPrerollFrames + step) * kFrameMs; }

// A started context that has tracked the untimed frames.
PVPE_CONTEXT StartSession(const Session& s, int mediaType, std::vector<uint8_t>& dst) {
    StartLibrary();
    PVPE_CONTEXT c = NewContext();
    vpeFtkInit(c, kW, kH);
    vpeSetAttrib(c, VPE_ATTR_PIP, 0);
    for (int f = 0; f < kPrerollFrames; ++f) {
        vpeFtk(c, dst.data(), kW, kH, Pitch(mediaType, kW), s.frames[size_t(f)].data(), kW, kH, Pitch(mediaType, kW),
               nullptr, mediaType, uint32_t(f) * kFrameMs);
    }
    return c;
}

const Session& SessionOf(int mediaType) {
    static Session sessions[2];
    Session& s = sessions[mediaType == MT_RGB24 ? 0 : 1];
    if (!s.frames.empty()) return s;
    const sim::Scene scene(sim::Scene::Standard());
    for (int f = 0; f < kPrerollFrames + kCycleFrames; ++f) {
        s.frames.emplace_back(Bytes(mediaType));
        scene.Render(f, kW, kH, Format(mediaType), s.frames.back().data(), Pitch(mediaType, kW));
    }
    std::vector<uint8_t> dst(Bytes(mediaType));
    PVPE_CONTEXT c = StartSession(s, mediaType, dst);
    for (int step = 0; step < kSteps; ++step) {
        vpeFtk(c, dst.data(), kW, kH, Pitch(mediaType, kW), s.frames[size_t(FrameOfStep(step))].data(), kW, kH,
               Pitch(mediaType, kW), nullptr, mediaType, StampOfStep(step));
        VPE_FRAMING framing{};
        vpeGetFraming(c, &framing);
        s.framings.push_back(framing);
    }
    vpeDestroy(c);
    return s;
}

bool SameFraming(const VPE_FRAMING& a, const VPE_FRAMING& b) {
    return a.x == b.x && a.y == b.y && a.width == b.width && a.height == b.height;
}

void BM_vpeFtk(benchmark::State& state, int mediaType, Cache cache) {
    const Session& s = SessionOf(mediaType);
    std::vector<uint8_t> dst(Bytes(mediaType));
    PVPE_CONTEXT c = StartSession(s, mediaType, dst);
    int step = 0;
    bool same = true;
    for (auto _ : state) {
        state.PauseTiming();
        const auto& frame = s.frames[size_t(FrameOfStep(step))];
        Prepare(frame, cache);
        state.ResumeTiming();
        vpeFtk(c, dst.data(), kW, kH, Pitch(mediaType, kW), frame.data(), kW, kH, Pitch(mediaType, kW), nullptr,
               mediaType, StampOfStep(step));
        benchmark::DoNotOptimize(dst.data());
        VPE_FRAMING framing{};
        vpeGetFraming(c, &framing);
        same = same && SameFraming(framing, s.framings[size_t(step)]);
        ++step;
    }
    vpeDestroy(c);
    if (!same) state.SkipWithError("the session chose other framings than the anchor scales");
}

void BM_LibyuvFraming(benchmark::State& state, int mediaType, Cache cache, bool plainC) {
    const Session& s = SessionOf(mediaType);
    libyuv::MaskCpuFlags(plainC ? 1 : -1);
    std::vector<uint8_t> dst(Bytes(mediaType));
    int step = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const auto& frame = s.frames[size_t(FrameOfStep(step))];
        const VPE_FRAMING& f = s.framings[size_t(step)];
        Prepare(frame, cache);
        state.ResumeTiming();
        LibyuvScale(mediaType, frame.data(), dst.data(), f.x >> 16, f.y >> 16, (f.width >> 16) & ~1, f.height >> 16);
        benchmark::DoNotOptimize(dst.data());
        ++step;
    }
    libyuv::MaskCpuFlags(-1);
}

uint64_t ThreadCpuNs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return uint64_t(t.tv_sec) * 1000000000u + uint64_t(t.tv_nsec);
}

// Both sides in one loop, step by step: each step prepares the frame and
// times the tracking step, then prepares it again and times the anchor's
// scaling of the framing chosen (the order swaps every step), on this
// thread's CPU clock. Whatever else the machine does falls on both sides
// alike; the ratio reported is the median of the ratios of each cycle of
// 90 frames, which a burst of interference cannot move much.
void BM_PairedFtk(benchmark::State& state, int mediaType, Cache cache) {
    const Session& s = SessionOf(mediaType);
    std::vector<uint8_t> dst(Bytes(mediaType)), anchorDst(Bytes(mediaType));
    PVPE_CONTEXT c = StartSession(s, mediaType, dst);
    uint64_t ours = 0, anchor = 0, oursCycle = 0, anchorCycle = 0;
    std::vector<double> cycleRatios;
    int step = 0;
    for (auto _ : state) {
        const auto& frame = s.frames[size_t(FrameOfStep(step))];
        const VPE_FRAMING& f = s.framings[size_t(step)];
        for (int side = 0; side < 2; ++side) {
            const bool tracking = (side == 0) == (step % 2 == 0);
            Prepare(frame, cache);
            const uint64_t start = ThreadCpuNs();
            if (tracking) {
                vpeFtk(c, dst.data(), kW, kH, Pitch(mediaType, kW), frame.data(), kW, kH, Pitch(mediaType, kW),
                       nullptr, mediaType, StampOfStep(step));
                benchmark::DoNotOptimize(dst.data());
            } else {
                LibyuvScale(mediaType, frame.data(), anchorDst.data(), f.x >> 16, f.y >> 16, (f.width >> 16) & ~1,
                            f.height >> 16);
                benchmark::DoNotOptimize(anchorDst.data());
            }
            (tracking ? oursCycle : anchorCycle) += ThreadCpuNs() - start;
        }
        if (++step % kCycleFrames == 0) {
            cycleRatios.push_back(double(oursCycle) / double(std::max<uint64_t>(anchorCycle, 1)));
            ours += oursCycle;
            anchor += anchorCycle;
            oursCycle = anchorCycle = 0;
        }
    }
    vpeDestroy(c);
    if (cycleRatios.empty()) return;
    std::sort(cycleRatios.begin(), cycleRatios.end());
    const double steps = double(cycleRatios.size()) * kCycleFrames;
    state.counters["ours_us"] = double(ours) / steps / 1000;
    state.counters["anchor_us"] = double(anchor) / steps / 1000;
    state.counters["ratio"] = cycleRatios[cycleRatios.size() / 2];
}

// The summary: ratios of median CPU times, measured in this run.
class CollectingReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration && run.iterations > 0 && !run.error_occurred) {
                cpu[run.run_name.function_name].push_back(run.GetAdjustedCPUTime());
                const auto ratio = run.counters.find("ratio");
                if (ratio != run.counters.end()) paired[run.run_name.function_name].push_back(ratio->second.value);
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    static double Median(const std::map<std::string, std::vector<double>>& values, const std::string& name) {
        const auto it = values.find(name);
        if (it == values.end()) return 0;
        std::vector<double> v = it->second;
        std::sort(v.begin(), v.end());
        const size_t n = v.size();
        return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
    }
    std::map<std::string, std::vector<double>> cpu, paired;
};

struct Ratio {
    std::string ours, anchor;  // anchor empty: a paired benchmark's own ratio
    double target;             // 0: report only
};

}  // namespace

int main(int argc, char** argv) {
    const int zoomTypes[] = {MT_RGB24, MT_I420, MT_YUY2};
    const int trackingTypes[] = {MT_RGB24, MT_YUY2};
    const Cache caches[] = {Cache::kCold, Cache::kWarm};
    std::vector<Ratio> ratios;
    for (int mt : zoomTypes) {
        const std::string ours = std::string("vpeDigitalZoom/") + Name(mt);
        const std::string simd = std::string("libyuv_zoom/") + Name(mt) + "/SIMD";
        const std::string plain = std::string("libyuv_zoom/") + Name(mt) + "/C";
        const std::string direct = std::string("direct_zoom/") + Name(mt);
        benchmark::RegisterBenchmark(ours.c_str(), BM_vpeDigitalZoom, mt)->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark(direct.c_str(), BM_DirectZoom, mt)->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark(simd.c_str(), BM_LibyuvZoom, mt, false)->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark(plain.c_str(), BM_LibyuvZoom, mt, true)->Unit(benchmark::kMicrosecond);
        ratios.push_back({ours, simd, 1.5});
        ratios.push_back({ours, plain, 1.0});
        ratios.push_back({direct, simd, 1.5});
        ratios.push_back({direct, ours, 0});
    }
    for (int mt : trackingTypes) {
        for (Cache cache : caches) {
            const std::string tail = std::string(Name(mt)) + "/" + Name(cache);
            const std::string ours = "vpeFtk/" + tail;
            const std::string simd = "libyuv_framing/" + tail + "/SIMD";
            const std::string plain = "libyuv_framing/" + tail + "/C";
            benchmark::RegisterBenchmark(ours.c_str(), BM_vpeFtk, mt, cache)->Iterations(kSteps)->Unit(benchmark::kMicrosecond);
            benchmark::RegisterBenchmark(simd.c_str(), BM_LibyuvFraming, mt, cache, false)
                ->Iterations(kSteps)
                ->Unit(benchmark::kMicrosecond);
            benchmark::RegisterBenchmark(plain.c_str(), BM_LibyuvFraming, mt, cache, true)
                ->Iterations(kSteps)
                ->Unit(benchmark::kMicrosecond);
            ratios.push_back({ours, simd, 1.3});
            ratios.push_back({ours, plain, 0});
            const std::string paired = "paired/" + tail;
            benchmark::RegisterBenchmark(paired.c_str(), BM_PairedFtk, mt, cache)
                ->Iterations(kSteps)
                ->Unit(benchmark::kMicrosecond);
            ratios.push_back({paired, "", 1.3});
        }
    }

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    CollectingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\n%-28s %-32s %9s %7s\n", "ours", "anchor", "cpu ratio", "target");
    int missed = 0;
    for (const Ratio& r : ratios) {
        double ratio = 0;
        if (r.anchor.empty()) {
            ratio = CollectingReporter::Median(reporter.paired, r.ours);
        } else {
            const double a = CollectingReporter::Median(reporter.cpu, r.ours);
            const double b = CollectingReporter::Median(reporter.cpu, r.anchor);
            if (b > 0) ratio = a / b;
        }
        if (ratio <= 0) continue;
        const bool met = r.target <= 0 || ratio <= r.target;
        missed += !met;
        char target[16] = "-";
        if (r.target > 0) std::snprintf(target, sizeof target, "<=%.2g", r.target);
        const char* anchor = r.anchor.empty() ? "(libyuv SIMD, step by step)" : r.anchor.c_str();
        std::printf("%-28s %-32s %9.2f %7s %s\n", r.ours.c_str(), anchor, ratio, target, met ? "" : "MISSED");
    }
    if (missed > 0) std::printf("%d ratio(s) above target\n", missed);
    benchmark::Shutdown();
    return 0;
}
