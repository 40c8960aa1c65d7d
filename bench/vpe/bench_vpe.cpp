// The effects library against libyuv's bilinear scaling of the same crop, in
// one run: the manual zoom (640 x 480, zoom 75: a centred 480 x 360 box) for
// the three media types, and a whole face-tracking step per frame (analysis,
// tracking, zoom) against scaling the framing it chose.
//
// libyuv has no YUY2 scaler; its anchor for YUY2 is ARGBScale over the pixel
// pairs (four bytes each), the usual way to scale packed 4:2:2.
#include <benchmark/benchmark.h>
#include <libyuv.h>
#include <libyuv/scale_rgb.h>

#include <cstdlib>
#include <vector>

#include "imaging/vpe/vpe.h"
#include "sim/scene/scene.h"

namespace {

namespace sim = qk::sim;

constexpr int kW = 640, kH = 480;
constexpr int kBoxX = 80, kBoxY = 60, kBoxW = 480, kBoxH = 360;  // zoom 75

void Alloc(void** p, uint32_t n, int32_t, void*) { *p = std::aligned_alloc(64, (size_t(n) + 63) / 64 * 64); }
void Free(void* p, void*) { std::free(p); }

struct Library {
    Library() { vpeInit(nullptr, nullptr, Alloc, Free, VPE_VERSION); }
};
PVPE_CONTEXT NewContext() {
    static Library library;
    PVPE_CONTEXT c = nullptr;
    vpeCreate(&c, 0, nullptr);
    return c;
}

int MediaType(int index) { return index == 0 ? MT_RGB24 : index == 1 ? MT_I420 : MT_YUY2; }
const char* Name(int mediaType) { return mediaType == MT_RGB24 ? "RGB24" : mediaType == MT_I420 ? "I420" : "YUY2"; }
int Pitch(int mediaType, int w) { return mediaType == MT_RGB24 ? 3 * w : mediaType == MT_YUY2 ? 2 * w : w; }
size_t Bytes(int mediaType) { return mediaType == MT_I420 ? size_t(kW) * kH * 3 / 2 : size_t(Pitch(mediaType, kW)) * kH; }

std::vector<uint8_t> Picture(int mediaType) {
    const sim::PixelFormat format = mediaType == MT_RGB24 ? sim::PixelFormat::kRgb24
                                    : mediaType == MT_I420 ? sim::PixelFormat::kI420
                                                           : sim::PixelFormat::kYuy2;
    std::vector<uint8_t> out(Bytes(mediaType));
    sim::Scene(sim::Scene::Standard()).Render(150, kW, kH, format, out.data(), Pitch(mediaType, kW));
    return out;
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

void BM_vpeDigitalZoom(benchmark::State& state) {
    const int mediaType = MediaType(int(state.range(0)));
    state.SetLabel(Name(mediaType));
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
BENCHMARK(BM_vpeDigitalZoom)->DenseRange(0, 2)->Unit(benchmark::kMicrosecond);

// range(1): 0 the SIMD path, 1 libyuv's plain C path.
void BM_LibyuvZoom(benchmark::State& state) {
    const int mediaType = MediaType(int(state.range(0)));
    state.SetLabel(std::string(Name(mediaType)) + (state.range(1) ? " C" : " SIMD"));
    libyuv::MaskCpuFlags(state.range(1) ? 1 : -1);
    const auto src = Picture(mediaType);
    std::vector<uint8_t> dst(Bytes(mediaType));
    for (auto _ : state) {
        LibyuvScale(mediaType, src.data(), dst.data(), kBoxX, kBoxY, kBoxW, kBoxH);
        benchmark::DoNotOptimize(dst.data());
    }
    libyuv::MaskCpuFlags(-1);
}
BENCHMARK(BM_LibyuvZoom)->ArgsProduct({{0, 1, 2}, {0, 1}})->Unit(benchmark::kMicrosecond);

// Frames of the scene while the face is framed (it moves, then rests), and
// the framings face tracking chose for them.
struct TrackingRun {
    std::vector<std::vector<uint8_t>> frames;
    std::vector<VPE_FRAMING> framings;
};
constexpr int kFirstFrame = 60, kFrames = 90;

const TrackingRun& Run(int mediaType) {
    static TrackingRun runs[3];
    TrackingRun& run = runs[mediaType == MT_RGB24 ? 0 : mediaType == MT_I420 ? 1 : 2];
    if (!run.frames.empty()) return run;
    const sim::Scene scene(sim::Scene::Standard());
    const sim::PixelFormat format = mediaType == MT_RGB24 ? sim::PixelFormat::kRgb24 : sim::PixelFormat::kYuy2;
    PVPE_CONTEXT c = NewContext();
    vpeFtkInit(c, kW, kH);
    vpeSetAttrib(c, VPE_ATTR_PIP, 0);
    std::vector<uint8_t> dst(Bytes(mediaType));
    for (int f = 0; f < kFirstFrame + kFrames; ++f) {
        std::vector<uint8_t> frame(Bytes(mediaType));
        scene.Render(f, kW, kH, format, frame.data(), Pitch(mediaType, kW));
        vpeFtk(c, dst.data(), kW, kH, Pitch(mediaType, kW), frame.data(), kW, kH, Pitch(mediaType, kW), nullptr,
               mediaType, uint32_t(f * 33));
        if (f < kFirstFrame) continue;
        VPE_FRAMING framing{};
        vpeGetFraming(c, &framing);
        run.frames.push_back(std::move(frame));
        run.framings.push_back(framing);
    }
    vpeDestroy(c);
    return run;
}

void BM_vpeFtk(benchmark::State& state) {
    const int mediaType = state.range(0) == 0 ? MT_RGB24 : MT_YUY2;
    state.SetLabel(Name(mediaType));
    const TrackingRun& run = Run(mediaType);
    PVPE_CONTEXT c = NewContext();
    vpeFtkInit(c, kW, kH);
    vpeSetAttrib(c, VPE_ATTR_PIP, 0);
    std::vector<uint8_t> dst(Bytes(mediaType));
    size_t i = 0;
    uint32_t stamp = 0;
    for (auto _ : state) {
        const auto& frame = run.frames[i];
        vpeFtk(c, dst.data(), kW, kH, Pitch(mediaType, kW), frame.data(), kW, kH, Pitch(mediaType, kW), nullptr,
               mediaType, stamp += 33);
        benchmark::DoNotOptimize(dst.data());
        i = (i + 1) % run.frames.size();
    }
    vpeDestroy(c);
}
BENCHMARK(BM_vpeFtk)->DenseRange(0, 1)->Unit(benchmark::kMicrosecond);

void BM_LibyuvFraming(benchmark::State& state) {
    const int mediaType = state.range(0) == 0 ? MT_RGB24 : MT_YUY2;
    state.SetLabel(std::string(Name(mediaType)) + (state.range(1) ? " C" : " SIMD"));
    libyuv::MaskCpuFlags(state.range(1) ? 1 : -1);
    const TrackingRun& run = Run(mediaType);
    std::vector<uint8_t> dst(Bytes(mediaType));
    size_t i = 0;
    for (auto _ : state) {
        const VPE_FRAMING& f = run.framings[i];
        LibyuvScale(mediaType, run.frames[i].data(), dst.data(), f.x >> 16, f.y >> 16, (f.width >> 16) & ~1,
                    f.height >> 16);
        benchmark::DoNotOptimize(dst.data());
        i = (i + 1) % run.frames.size();
    }
    libyuv::MaskCpuFlags(-1);
}
BENCHMARK(BM_LibyuvFraming)->ArgsProduct({{0, 1}, {0, 1}})->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
