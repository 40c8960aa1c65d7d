// The conversion routines on 640x480 frames against libyuv's SIMD paths and
// a memcpy of the frame.
#include <benchmark/benchmark.h>
#include <libyuv.h>
#include <libyuv/scale_rgb.h>

#include <cstring>

#include "bench/imaging/bench_common.h"
#include "imaging/convert/convert.h"

namespace {

using qk::bench::ExpectRatio;

constexpr int kW = 640, kH = 480, kW2 = 800, kH2 = 600;

const std::vector<uint8_t>& Rgb24() {
    static const std::vector<uint8_t> rgb = [] {
        auto scene = qk::bench::CameraScene(kW, kH);
        for (size_t i = 0; i < scene.size(); i += 3) std::swap(scene[i], scene[i + 2]);  // to B, G, R
        return scene;
    }();
    return rgb;
}

const std::vector<uint8_t>& Yuy2() {
    static const std::vector<uint8_t> yuy2 = [] {
        std::vector<uint8_t> out(size_t(kW) * kH * 2);
        ConvertRgb24ToYuy2(out.data(), kW * 2, Rgb24().data(), kW, kH, kW * 3);
        return out;
    }();
    return yuy2;
}

const std::vector<uint8_t>& I420() {
    static const std::vector<uint8_t> i420 = [] {
        std::vector<uint8_t> out(size_t(kW) * kH * 3 / 2);
        ConvertRgb24ToI420(out.data(), Rgb24().data(), kW, kH, kW * 3);
        return out;
    }();
    return i420;
}

void Yuy2ToRgb24Ours(benchmark::State& state) {
    std::vector<uint8_t> out(size_t(kW) * kH * 3);
    for (auto _ : state) {
        ConvertYuy2ToRgb24(out.data(), kW * 3, Yuy2().data(), kW, kH);
        benchmark::DoNotOptimize(out.data());
    }
}

void Yuy2ToRgb24ViaArgb(benchmark::State& state) {
    std::vector<uint8_t> argb(size_t(kW) * kH * 4), out(size_t(kW) * kH * 3);
    for (auto _ : state) {
        libyuv::YUY2ToARGB(Yuy2().data(), kW * 2, argb.data(), kW * 4, kW, kH);
        libyuv::ARGBToRGB24(argb.data(), kW * 4, out.data(), kW * 3, kW, kH);
        benchmark::DoNotOptimize(out.data());
    }
}

void Yuy2ToRgb24ViaI422(benchmark::State& state) {
    std::vector<uint8_t> planes(size_t(kW) * kH * 2), out(size_t(kW) * kH * 3);
    uint8_t* y = planes.data();
    uint8_t* u = y + kW * kH;
    uint8_t* v = u + kW / 2 * kH;
    for (auto _ : state) {
        libyuv::YUY2ToI422(Yuy2().data(), kW * 2, y, kW, u, kW / 2, v, kW / 2, kW, kH);
        libyuv::I422ToRGB24(y, kW, u, kW / 2, v, kW / 2, out.data(), kW * 3, kW, kH);
        benchmark::DoNotOptimize(out.data());
    }
}

void Rgb24ToI420Ours(benchmark::State& state) {
    std::vector<uint8_t> out(size_t(kW) * kH * 3 / 2);
    for (auto _ : state) {
        ConvertRgb24ToI420(out.data(), Rgb24().data(), kW, kH, kW * 3);
        benchmark::DoNotOptimize(out.data());
    }
}

void Rgb24ToI420Libyuv(benchmark::State& state) {
    std::vector<uint8_t> out(size_t(kW) * kH * 3 / 2);
    uint8_t* y = out.data();
    uint8_t* u = y + kW * kH;
    uint8_t* v = u + kW * kH / 4;
    for (auto _ : state) {
        libyuv::RGB24ToI420(Rgb24().data(), kW * 3, y, kW, u, kW / 2, v, kW / 2, kW, kH);
        benchmark::DoNotOptimize(out.data());
    }
}

void ResizeOurs(benchmark::State& state, int mediaType) {
    const int bpp = mediaType == MT_RGB24 ? 3 : mediaType == MT_YUY2 ? 2 : 1;
    const auto& src = mediaType == MT_RGB24 ? Rgb24() : mediaType == MT_YUY2 ? Yuy2() : I420();
    std::vector<uint8_t> out(size_t(kW2) * kH2 * 3);
    for (auto _ : state) {
        ResizeNearest(out.data(), kW2, kH2, kW2 * bpp, src.data(), kW, kH, kW * bpp, mediaType);
        benchmark::DoNotOptimize(out.data());
    }
}

void ResizeLibyuvRgb24(benchmark::State& state) {
    std::vector<uint8_t> out(size_t(kW2) * kH2 * 3);
    for (auto _ : state) {
        libyuv::RGBScale(Rgb24().data(), kW * 3, kW, kH, out.data(), kW2 * 3, kW2, kH2, libyuv::kFilterNone);
        benchmark::DoNotOptimize(out.data());
    }
}

void ResizeLibyuvI420(benchmark::State& state) {
    std::vector<uint8_t> out(size_t(kW2) * kH2 * 3 / 2);
    const uint8_t* y = I420().data();
    const uint8_t* u = y + kW * kH;
    const uint8_t* v = u + kW * kH / 4;
    uint8_t* dy = out.data();
    uint8_t* du = dy + kW2 * kH2;
    uint8_t* dv = du + kW2 * kH2 / 4;
    for (auto _ : state) {
        libyuv::I420Scale(y, kW, u, kW / 2, v, kW / 2, kW, kH, dy, kW2, du, kW2 / 2, dv, kW2 / 2, kW2, kH2,
                          libyuv::kFilterNone);
        benchmark::DoNotOptimize(out.data());
    }
}

// libyuv has no YUY2 scaler; nearest sampling of its pixel pairs as 4-byte
// units is the same amount of work.
void ResizeLibyuvYuy2AsPairs(benchmark::State& state) {
    std::vector<uint8_t> out(size_t(kW2) * kH2 * 2);
    for (auto _ : state) {
        libyuv::ARGBScale(Yuy2().data(), kW * 2, kW / 2, kH, out.data(), kW2 * 2, kW2 / 2, kH2, libyuv::kFilterNone);
        benchmark::DoNotOptimize(out.data());
    }
}

// libyuv's route for a YUY2 picture: to planes, each plane scaled, packed again.
void ResizeLibyuvYuy2ViaPlanes(benchmark::State& state) {
    std::vector<uint8_t> planes(size_t(kW) * kH * 2), scaled(size_t(kW2) * kH2 * 2), out(size_t(kW2) * kH2 * 2);
    uint8_t* y = planes.data();
    uint8_t* u = y + kW * kH;
    uint8_t* v = u + kW / 2 * kH;
    uint8_t* sy = scaled.data();
    uint8_t* su = sy + kW2 * kH2;
    uint8_t* sv = su + kW2 / 2 * kH2;
    for (auto _ : state) {
        libyuv::YUY2ToI422(Yuy2().data(), kW * 2, y, kW, u, kW / 2, v, kW / 2, kW, kH);
        libyuv::ScalePlane(y, kW, kW, kH, sy, kW2, kW2, kH2, libyuv::kFilterNone);
        libyuv::ScalePlane(u, kW / 2, kW / 2, kH, su, kW2 / 2, kW2 / 2, kH2, libyuv::kFilterNone);
        libyuv::ScalePlane(v, kW / 2, kW / 2, kH, sv, kW2 / 2, kW2 / 2, kH2, libyuv::kFilterNone);
        libyuv::I422ToYUY2(sy, kW2, su, kW2 / 2, sv, kW2 / 2, out.data(), kW2 * 2, kW2, kH2);
        benchmark::DoNotOptimize(out.data());
    }
}

void FlipOurs(benchmark::State& state) {
    std::vector<uint8_t> out(Rgb24().size());
    for (auto _ : state) {
        FlipTopBottom(out.data(), Rgb24().data(), kW, kH, kW * 3, MT_RGB24);
        benchmark::DoNotOptimize(out.data());
    }
}

void FlipMemcpy(benchmark::State& state) {
    std::vector<uint8_t> out(Rgb24().size());
    for (auto _ : state) {
        std::memcpy(out.data(), Rgb24().data(), out.size());
        benchmark::DoNotOptimize(out.data());
    }
}

void FlipLibyuv(benchmark::State& state) {
    std::vector<uint8_t> out(Rgb24().size());
    for (auto _ : state) {
        libyuv::CopyPlane(Rgb24().data(), kW * 3, out.data(), kW * 3, kW * 3, -kH);  // negative height flips
        benchmark::DoNotOptimize(out.data());
    }
}

struct Registrar {
    Registrar() {
        const auto add = [](const std::string& name, auto fn, auto... args) {
            benchmark::RegisterBenchmark(name.c_str(), fn, args...)->UseRealTime();
        };
        add("convert/yuy2_to_rgb24_640x480/ours", Yuy2ToRgb24Ours);
        add("convert/yuy2_to_rgb24_640x480/libyuv_via_argb", Yuy2ToRgb24ViaArgb);
        add("convert/yuy2_to_rgb24_640x480/libyuv_via_i422", Yuy2ToRgb24ViaI422);
        ExpectRatio("convert/yuy2_to_rgb24_640x480/ours", "convert/yuy2_to_rgb24_640x480/libyuv_via_argb", 1.5);
        ExpectRatio("convert/yuy2_to_rgb24_640x480/ours", "convert/yuy2_to_rgb24_640x480/libyuv_via_i422", 1.5);
        add("convert/rgb24_to_i420_640x480/ours", Rgb24ToI420Ours);
        add("convert/rgb24_to_i420_640x480/libyuv", Rgb24ToI420Libyuv);
        ExpectRatio("convert/rgb24_to_i420_640x480/ours", "convert/rgb24_to_i420_640x480/libyuv", 1.5);
        add("convert/resize_rgb24_640x480_to_800x600/ours", [](benchmark::State& s) { ResizeOurs(s, MT_RGB24); });
        add("convert/resize_rgb24_640x480_to_800x600/libyuv", ResizeLibyuvRgb24);
        ExpectRatio("convert/resize_rgb24_640x480_to_800x600/ours", "convert/resize_rgb24_640x480_to_800x600/libyuv", 1.0);
        add("convert/resize_i420_640x480_to_800x600/ours", [](benchmark::State& s) { ResizeOurs(s, MT_I420); });
        add("convert/resize_i420_640x480_to_800x600/libyuv", ResizeLibyuvI420);
        ExpectRatio("convert/resize_i420_640x480_to_800x600/ours", "convert/resize_i420_640x480_to_800x600/libyuv", 1.0);
        add("convert/resize_yuy2_640x480_to_800x600/ours", [](benchmark::State& s) { ResizeOurs(s, MT_YUY2); });
        add("convert/resize_yuy2_640x480_to_800x600/libyuv_via_planes", ResizeLibyuvYuy2ViaPlanes);
        add("convert/resize_yuy2_640x480_to_800x600/libyuv_pairs", ResizeLibyuvYuy2AsPairs);
        ExpectRatio("convert/resize_yuy2_640x480_to_800x600/ours",
                    "convert/resize_yuy2_640x480_to_800x600/libyuv_via_planes", 1.0);
        ExpectRatio("convert/resize_yuy2_640x480_to_800x600/ours",
                    "convert/resize_yuy2_640x480_to_800x600/libyuv_pairs", 0, "(4-byte units only, not the same work)");
        add("convert/flip_rgb24_640x480/ours", FlipOurs);
        add("convert/flip_rgb24_640x480/memcpy", FlipMemcpy);
        add("convert/flip_rgb24_640x480/libyuv", FlipLibyuv);
        ExpectRatio("convert/flip_rgb24_640x480/ours", "convert/flip_rgb24_640x480/memcpy", 1.3);
        ExpectRatio("convert/flip_rgb24_640x480/ours", "convert/flip_rgb24_640x480/libyuv", 0);
    }
} g_registrar;

}  // namespace
