// The capture driver's effects stage on 640 x 480 frames, as the pin calls it
// for every frame (the stage's state, lock, media type and buffers around the
// library), against libyuv's bilinear scaling of the same framing, in one
// run: face tracking (a session of the standard scene replayed, each step's
// framing scaled by libyuv for the anchor) and the manual zoom (zoom 75,
// pan 20, tilt -10). Frames are warm, as the driver's conversion leaves them.
// Medians of CPU time; the summary prints each ratio with its target.
#include <benchmark/benchmark.h>
#include <libyuv.h>
#include <libyuv/scale_rgb.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "capture/k0340dev.h"
#include "imaging/vpe/vpe.h"
#include "platform/nt/kernel.h"
#include "platform/nt/machine.h"
#include "sim/scene/scene.h"

namespace {

namespace sim = qk::sim;
using namespace k0340;

constexpr int kW = 640, kH = 480;
constexpr int kPrerollFrames = 60, kCycleFrames = 90, kSteps = 6 * kCycleFrames;
constexpr double kTarget = 1.3;

int Pitch(ULONG format) { return format == kFormatRgb24 ? 3 * kW : 2 * kW; }
size_t Bytes(ULONG format) { return size_t(Pitch(format)) * kH; }
const char* Name(ULONG format) { return format == kFormatRgb24 ? "RGB24" : "YUY2"; }

// A machine for the driver's pool and locks.
void Boot() {
    static std::unique_ptr<qk::Machine> machine = [] {
        auto root = std::filesystem::temp_directory_path() / ("qk-bench-effects-" + std::to_string(::getpid()));
        auto m = std::make_unique<qk::Machine>(root);
        qk::nt::Boot(*m);
        return m;
    }();
}

struct Session {
    std::vector<std::vector<uint8_t>> frames;
    std::vector<VPE_FRAMING> framings;  // the framing each timed step chose
};

// A camera context with the effects stage started for a 640 x 480 stream.
struct Stage {
    CameraContext* camera = nullptr;
    std::vector<uint8_t> work, sample;
    Stage(ULONG format, LONG tracking, LONG zoom) : work(Bytes(format)), sample(Bytes(format)) {
        Boot();
        camera = static_cast<CameraContext*>(Allocate(sizeof(CameraContext)));
        camera->workBuffer = work.data();
        camera->workBufferBytes = static_cast<ULONG>(work.size());
        EffectsCameraStart(camera);
        camera->effects->trackingMode = tracking;
        camera->effects->zoom = zoom;
        camera->effects->pan = 20;
        camera->effects->tilt = -10;
        EffectsStreamStart(camera, kW, kH, format);
    }
    ~Stage() {
        EffectsCameraStop(camera);
        Free(camera);
    }
    void Run(ULONG format, const std::vector<uint8_t>& frame) {
        EffectsFrame f{const_cast<UCHAR*>(frame.data()), static_cast<ULONG>(frame.size()), work.data(),
                       static_cast<ULONG>(work.size()), sample.data(), static_cast<ULONG>(sample.size()), kW, kH, kW, kH,
                       format, 0, 0};
        if (EffectsProcessFrame(camera, f) != 0) std::abort();
    }
};

const Session& SessionOf(ULONG format) {
    static std::map<ULONG, Session> sessions;
    Session& s = sessions[format];
    if (!s.frames.empty()) return s;
    const sim::Scene scene(sim::Scene::Standard());
    for (int f = 0; f < kPrerollFrames + kCycleFrames; ++f) {
        s.frames.emplace_back(Bytes(format));
        scene.Render(f, kW, kH, format == kFormatRgb24 ? sim::PixelFormat::kRgb24 : sim::PixelFormat::kYuy2,
                     s.frames.back().data(), Pitch(format));
    }
    Stage stage(format, 1, 50);
    for (int f = 0; f < kPrerollFrames; ++f) stage.Run(format, s.frames[size_t(f)]);
    for (int step = 0; step < kSteps; ++step) {
        stage.Run(format, s.frames[size_t(kPrerollFrames + step % kCycleFrames)]);
        VPE_FRAMING framing;
        vpeGetFraming(stage.camera->effects->context, &framing);
        s.framings.push_back(framing);
    }
    return s;
}

void Warm(const std::vector<uint8_t>& frame) {
    uint8_t sum = 0;
    for (size_t at = 0; at < frame.size(); at += 64) sum = uint8_t(sum + frame[at]);
    benchmark::DoNotOptimize(sum);
}

void Scale(ULONG format, const uint8_t* src, uint8_t* dst, int x, int y, int w, int h) {
    if (format == kFormatRgb24) {
        libyuv::RGBScale(src + size_t(y) * 3 * kW + 3 * size_t(x), 3 * kW, w, h, dst, 3 * kW, kW, kH,
                         libyuv::kFilterBilinear);
    } else {
        // No YUY2 scaler in libyuv: the pixel pairs as four-byte pixels.
        libyuv::ARGBScale(src + size_t(y) * 2 * kW + 2 * size_t(x & ~1), 2 * kW, w / 2, h, dst, 2 * kW, kW / 2, kH,
                          libyuv::kFilterBilinear);
    }
}

void BM_StageTracking(benchmark::State& state, ULONG format) {
    const Session& s = SessionOf(format);
    Stage stage(format, 1, 50);
    for (int f = 0; f < kPrerollFrames; ++f) stage.Run(format, s.frames[size_t(f)]);
    int step = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const auto& frame = s.frames[size_t(kPrerollFrames + step % kCycleFrames)];
        Warm(frame);
        state.ResumeTiming();
        stage.Run(format, frame);
        benchmark::DoNotOptimize(stage.sample.data());
        if (++step == kSteps) {
            state.PauseTiming();
            step = 0;
            stage.~Stage();
            new (&stage) Stage(format, 1, 50);
            for (int f = 0; f < kPrerollFrames; ++f) stage.Run(format, s.frames[size_t(f)]);
            state.ResumeTiming();
        }
    }
}

void BM_AnchorTracking(benchmark::State& state, ULONG format) {
    const Session& s = SessionOf(format);
    std::vector<uint8_t> dst(Bytes(format));
    int step = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const auto& frame = s.frames[size_t(kPrerollFrames + step % kCycleFrames)];
        const VPE_FRAMING& f = s.framings[size_t(step)];
        Warm(frame);
        state.ResumeTiming();
        Scale(format, frame.data(), dst.data(), f.x >> 16, f.y >> 16, std::max(2, f.width >> 16),
              std::max(2, f.height >> 16));
        benchmark::DoNotOptimize(dst.data());
        step = (step + 1) % kSteps;
    }
}

void BM_StageZoom(benchmark::State& state, ULONG format) {
    const auto& frame = SessionOf(format).frames[size_t(kPrerollFrames)];
    Stage stage(format, 0, 75);
    for (auto _ : state) {
        stage.Run(format, frame);
        benchmark::DoNotOptimize(stage.sample.data());
    }
}

void BM_AnchorZoom(benchmark::State& state, ULONG format) {
    const auto& frame = SessionOf(format).frames[size_t(kPrerollFrames)];
    ZoomBox box = ManualZoomBox(75, 20, -10, kW, kH);
    std::vector<uint8_t> dst(Bytes(format));
    for (auto _ : state) {
        Scale(format, frame.data(), dst.data(), box.x / 10, box.y / 10, box.width / 10, box.height / 10);
        benchmark::DoNotOptimize(dst.data());
    }
}

// Collects the medians for the summary.
class Summary : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) {
            if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median") {
                medians_[r.run_name.function_name] = r.GetAdjustedCPUTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    void Print() const {
        std::printf("\nEffects stage, 640x480 per frame (median CPU time), against libyuv's bilinear scaling:\n");
        for (const char* what : {"Tracking", "Zoom"}) {
            for (const char* format : {"YUY2", "RGB24"}) {
                double ours = Find(std::string("Stage") + what, format), anchor = Find(std::string("Anchor") + what, format);
                if (ours <= 0 || anchor <= 0) continue;
                double ratio = ours / anchor;
                std::printf("  %-8s %-5s  stage %8.1f us  libyuv %8.1f us  ratio %.2f (target <= %.1f) %s\n", what, format,
                            ours, anchor, ratio, kTarget, ratio <= kTarget ? "met" : "NOT MET");
            }
        }
    }

private:
    double Find(const std::string& name, const char* format) const {
        auto it = medians_.find("BM_" + name + "/" + format);
        return it == medians_.end() ? 0 : it->second;
    }
    std::map<std::string, double> medians_;
};

}  // namespace

int main(int argc, char** argv) {
    for (ULONG format : {kFormatYuy2, kFormatRgb24}) {
        std::string suffix = std::string("/") + Name(format);
        for (auto* b : {benchmark::RegisterBenchmark(("BM_StageTracking" + suffix).c_str(), BM_StageTracking, format),
                        benchmark::RegisterBenchmark(("BM_AnchorTracking" + suffix).c_str(), BM_AnchorTracking, format),
                        benchmark::RegisterBenchmark(("BM_StageZoom" + suffix).c_str(), BM_StageZoom, format),
                        benchmark::RegisterBenchmark(("BM_AnchorZoom" + suffix).c_str(), BM_AnchorZoom, format)}) {
            b->Repetitions(5)->ReportAggregatesOnly(true)->Unit(benchmark::kMicrosecond)->MinTime(0.3);
        }
    }
    benchmark::Initialize(&argc, argv);
    Summary summary;
    benchmark::RunSpecifiedBenchmarks(&summary);
    summary.Print();
    return 0;
}
