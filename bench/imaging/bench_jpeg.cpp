// Decoding camera frames: our decoder against libjpeg-turbo on the same
// frames. YUY2 output is compared with libjpeg-turbo's planar decode plus
// libyuv's packing; RGB24 with its BGR decode, both with its SIMD kernels and
// in plain C (a thread that starts with JSIMD_FORCENONE=1 set; libjpeg-turbo
// reads it once per thread).
#include <benchmark/benchmark.h>
#include <libyuv.h>
#include <turbojpeg.h>

#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <thread>

#include "bench/imaging/bench_common.h"
#include "imaging/jpeg/jpeg.h"

namespace {

using qk::bench::ExpectRatio;

struct Frame {
    std::string name;
    int width, height, subsampling;
    bool progressive;
    std::vector<uint8_t> jpeg;
};

Frame MakeFrame(const std::string& name, int width, int height, int subsampling, bool progressive) {
    const auto rgb = qk::bench::CameraScene(width, height);
    tjhandle h = tjInitCompress();
    unsigned char* out = nullptr;
    unsigned long size = 0;
    const int flags = TJFLAG_ACCURATEDCT | (progressive ? TJFLAG_PROGRESSIVE : 0);
    if (tjCompress2(h, rgb.data(), width, 0, height, TJPF_RGB, &out, &size, subsampling, 85, flags) != 0) {
        throw std::runtime_error(tjGetErrorStr2(h));
    }
    Frame f{name, width, height, subsampling, progressive, std::vector<uint8_t>(out, out + size)};
    tjFree(out);
    tjDestroy(h);
    return f;
}

// The decoder's callbacks carry no context: the frame being decoded.
const Frame* g_frame;
std::vector<uint8_t> g_picture;
int g_bytesPerPixel;

int GetData(const uint8_t** chunk, uint32_t* length) {
    *chunk = g_frame->jpeg.data();
    *length = uint32_t(g_frame->jpeg.size());
    return 1;
}

int GetImage(uint8_t** destination, uint16_t* pitch, int width, int height) {
    *destination = g_picture.data();
    *pitch = uint16_t(width * g_bytesPerPixel);
    return 1;
}

void Ours(benchmark::State& state, const Frame& f, int kind) {
    g_frame = &f;
    g_bytesPerPixel = kind == JPG_KIND_RGB24 ? 3 : 2;
    g_picture.assign(size_t(f.width) * f.height * g_bytesPerPixel, 0);
    jpgInit(JPG_VERSION, nullptr);
    jpgSetOption(JPG_OPT_OUTPUT_KIND, kind);
    for (auto _ : state) {
        if (jpgDecode(GetImage, GetData) != JPG_SUCCESS) state.SkipWithError("decode failed");
        benchmark::DoNotOptimize(g_picture.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(g_picture.size()));
}

void TurboBgr(benchmark::State& state, const Frame& f) {
    tjhandle h = tjInitDecompress();
    std::vector<uint8_t> out(size_t(f.width) * f.height * 3);
    for (auto _ : state) {
        if (tjDecompress2(h, f.jpeg.data(), f.jpeg.size(), out.data(), f.width, 0, f.height, TJPF_BGR, 0) != 0) {
            state.SkipWithError("tjDecompress2 failed");
        }
        benchmark::DoNotOptimize(out.data());
    }
    tjDestroy(h);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(out.size()));
}

void TurboBgrPlainC(benchmark::State& state, const Frame& f) {
    std::thread worker([&] {
        setenv("JSIMD_FORCENONE", "1", 1);
        tjhandle h = tjInitDecompress();
        std::vector<uint8_t> out(size_t(f.width) * f.height * 3);
        tjDecompress2(h, f.jpeg.data(), f.jpeg.size(), out.data(), f.width, 0, f.height, TJPF_BGR, 0);
        unsetenv("JSIMD_FORCENONE");
        for (auto _ : state) {
            tjDecompress2(h, f.jpeg.data(), f.jpeg.size(), out.data(), f.width, 0, f.height, TJPF_BGR, 0);
            benchmark::DoNotOptimize(out.data());
        }
        tjDestroy(h);
    });
    worker.join();
}

void TurboPlanarPlusPacking(benchmark::State& state, const Frame& f) {
    tjhandle h = tjInitDecompress();
    const int cw = (f.width + 1) / 2;
    const int ch = f.subsampling == TJSAMP_420 ? (f.height + 1) / 2 : f.height;
    std::vector<uint8_t> planes(size_t(f.width) * f.height + 2 * size_t(cw) * ch);
    std::vector<uint8_t> yuy2(size_t(f.width) * f.height * 2);
    uint8_t* y = planes.data();
    uint8_t* u = y + size_t(f.width) * f.height;
    uint8_t* v = u + size_t(cw) * ch;
    for (auto _ : state) {
        if (tjDecompressToYUV2(h, f.jpeg.data(), f.jpeg.size(), planes.data(), f.width, 1, f.height, 0) != 0) {
            state.SkipWithError("tjDecompressToYUV2 failed");
        }
        if (f.subsampling == TJSAMP_420) {
            libyuv::I420ToYUY2(y, f.width, u, cw, v, cw, yuy2.data(), f.width * 2, f.width, f.height);
        } else {
            libyuv::I422ToYUY2(y, f.width, u, cw, v, cw, yuy2.data(), f.width * 2, f.width, f.height);
        }
        benchmark::DoNotOptimize(yuy2.data());
    }
    tjDestroy(h);
}

struct Registrar {
    Registrar() {
        static const Frame frames[] = {
            MakeFrame("640x480_422", 640, 480, TJSAMP_422, false),
            MakeFrame("1280x960_422", 1280, 960, TJSAMP_422, false),
            MakeFrame("160x120_420", 160, 120, TJSAMP_420, false),
            MakeFrame("640x480_422_progressive", 640, 480, TJSAMP_422, true),
        };
        for (const Frame& f : frames) {
            const std::string base = "jpeg/" + f.name;
            const std::string toYuy2 = base + "_to_yuy2/", toRgb = base + "_to_rgb24/";
            if (!f.progressive) {
                benchmark::RegisterBenchmark((toYuy2 + "ours").c_str(), Ours, f, JPG_KIND_YUY2)->UseRealTime();
                benchmark::RegisterBenchmark((toYuy2 + "turbo_planar_plus_libyuv").c_str(), TurboPlanarPlusPacking, f)
                    ->UseRealTime();
                ExpectRatio(toYuy2 + "ours", toYuy2 + "turbo_planar_plus_libyuv", f.name == "640x480_422" ? 1.2 : 0);
            }
            benchmark::RegisterBenchmark((toRgb + "ours").c_str(), Ours, f, JPG_KIND_RGB24)->UseRealTime();
            benchmark::RegisterBenchmark((toRgb + "turbo_simd").c_str(), TurboBgr, f)->UseRealTime();
            ExpectRatio(toRgb + "ours", toRgb + "turbo_simd",
                        f.name == "640x480_422" || f.name == "640x480_422_progressive" ? 1.5 : 0);
            if (f.name == "640x480_422") {
                benchmark::RegisterBenchmark((toRgb + "turbo_plain_c").c_str(), TurboBgrPlainC, f)->UseRealTime();
                ExpectRatio(toRgb + "ours", toRgb + "turbo_plain_c", 1.0, "(must be faster)");
            }
        }
    }
} g_registrar;

}  // namespace
