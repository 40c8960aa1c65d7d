// Every entry point of the in-driver imaging code (effects library, JPEG
// decoder, conversions) runs on a kernel thread's stack: 24 KB in all, of
// which the capture pin and the kernel-streaming class driver above it need
// their share. Each call here runs on a thread of its own whose stack was
// painted beforehand; the bytes it no longer finds painted are what the call
// used, and each must stay within kBudget.
//
// Optimised builds only: the sanitizers pad every frame, and the kernel never
// runs them.
#include <gtest/gtest.h>
#include <pthread.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "imaging/convert/convert.h"
#include "imaging/jpeg/jpeg.h"
#include "imaging/jpeg/tests/harness.h"
#include "imaging/vpe/vpe.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QK_STACK_MEASURED 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define QK_STACK_MEASURED 0
#endif
#endif
#ifndef QK_STACK_MEASURED
#define QK_STACK_MEASURED 1
#endif

namespace {

constexpr size_t kKernelStack = 24 * 1024;
constexpr size_t kBudget = 12 * 1024;  // half of it, leaving the rest to the callers
constexpr size_t kThreadStack = 256 * 1024;
constexpr uint8_t kPaint = 0xA5;

struct Call {
    const std::function<void()>* body;
};

void* RunCall(void* argument) {
    (*static_cast<Call*>(argument)->body)();
    return nullptr;
}

// Bytes of a painted thread stack that running `body` touched, thread start
// and end included.
size_t TouchedBy(const std::function<void()>& body) {
    void* memory = std::aligned_alloc(4096, kThreadStack);
    std::memset(memory, kPaint, kThreadStack);
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstack(&attributes, memory, kThreadStack);
    Call call{&body};
    pthread_t thread;
    size_t touched = kThreadStack;
    if (pthread_create(&thread, &attributes, RunCall, &call) == 0) {
        pthread_join(thread, nullptr);
        const auto* bytes = static_cast<const uint8_t*>(memory);
        size_t low = 0;
        while (low < kThreadStack && bytes[low] == kPaint) ++low;
        touched = kThreadStack - low;
    }
    pthread_attr_destroy(&attributes);
    std::free(memory);
    return touched;
}

// What a call itself used: the touched bytes less those of an empty call.
size_t StackUse(const std::function<void()>& body) {
    static const size_t baseline = TouchedBy([] {});
    const size_t touched = TouchedBy(body);
    return touched > baseline ? touched - baseline : 0;
}

void HostAlloc(void** pointer, uint32_t size, int32_t, void*) {
    *pointer = std::aligned_alloc(64, (size_t(size) + 63) / 64 * 64);
}
void HostFree(void* pointer, void*) { std::free(pointer); }

struct Measured {
    std::string name;
    size_t bytes;
};

class StackUseTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!QK_STACK_MEASURED) GTEST_SKIP() << "frame sizes are only meaningful in an optimised build";
    }
    void Measure(const std::string& name, const std::function<void()>& body) {
        const size_t bytes = StackUse(body);
        measured_.push_back({name, bytes});
        EXPECT_LE(bytes, kBudget) << name << " uses " << bytes << " bytes of stack";
    }
    void TearDown() override {
        size_t most = 0;
        std::string which;
        for (const Measured& m : measured_) {
            if (m.bytes > most) most = m.bytes, which = m.name;
        }
        if (!measured_.empty()) {
            std::printf("[ figures  ] %zu entry calls, the deepest %s with %zu bytes of %zu (kernel stack %zu)\n",
                        measured_.size(), which.c_str(), most, kBudget, kKernelStack);
        }
    }
    std::vector<Measured> measured_;
};

std::vector<uint8_t> Noise(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(n);
    for (auto& b : v) b = uint8_t(rng());
    return v;
}

TEST_F(StackUseTest, ConversionsStayWithinTheBudget) {
    const int w = 640, h = 480;
    auto rgb = Noise(size_t(3 * w) * h, 1), yuy2 = Noise(size_t(2 * w) * h, 2), i420 = Noise(size_t(w) * h * 3 / 2, 3);
    std::vector<uint8_t> out(size_t(4 * 800) * 600);
    Measure("FlipTopBottom RGB24 in place", [&] { FlipTopBottom(rgb.data(), rgb.data(), w, h, 3 * w, MT_RGB24); });
    Measure("FlipTopBottom I420", [&] { FlipTopBottom(out.data(), i420.data(), w, h, w, MT_I420); });
    Measure("ConvertRgb24ToI420", [&] { ConvertRgb24ToI420(out.data(), rgb.data(), w, h, 3 * w); });
    Measure("ConvertRgb24ToYuy2", [&] { ConvertRgb24ToYuy2(out.data(), 2 * w, rgb.data(), w, h, 3 * w); });
    Measure("ConvertYuy2ToI420", [&] { ConvertYuy2ToI420(out.data(), yuy2.data(), w, h, 2 * w); });
    Measure("ConvertYuy2ToRgb24", [&] { ConvertYuy2ToRgb24(out.data(), 3 * w, yuy2.data(), w, h); });
    for (int mt : {MT_RGB24, MT_YUY2, MT_I420}) {
        const auto& src = mt == MT_RGB24 ? rgb : mt == MT_YUY2 ? yuy2 : i420;
        const int bpp = mt == MT_RGB24 ? 3 : mt == MT_YUY2 ? 2 : 1;
        Measure("ResizeNearest " + std::to_string(mt) + " up", [&] {
            ResizeNearest(out.data(), 800, 600, 800 * bpp, src.data(), w, h, w * bpp, mt);
        });
        Measure("ResizeNearest " + std::to_string(mt) + " down", [&] {
            ResizeNearest(out.data(), 160, 120, 160 * bpp, src.data(), w, h, w * bpp, mt);
        });
    }
    Measure("ResizeYuy2ToI420", [&] { ResizeYuy2ToI420(out.data(), 160, 120, yuy2.data(), w, h, 2 * w); });
    Measure("ResizeI420AsYuy2", [&] { ResizeI420AsYuy2(out.data(), 176, 144, i420.data(), w, h); });
}

// The decoder's one frame in flight.
std::vector<uint8_t> g_jpeg, g_picture;

int GetData(const uint8_t** chunk, uint32_t* length) {
    *chunk = g_jpeg.data();
    *length = uint32_t(g_jpeg.size());
    return 1;
}

int GetImage(uint8_t** destination, uint16_t* pitch, int width, int height) {
    g_picture.assign(size_t(width) * size_t(height) * 4, 0);
    *destination = g_picture.data();
    *pitch = uint16_t(width * 4);
    return 1;
}

TEST_F(StackUseTest, JpegDecoderStaysWithinTheBudget) {
    using qk::jpeg::test::EncodeOptions;
    const struct {
        const char* name;
        EncodeOptions options;
        int kind;
        bool smooth;
    } frames[] = {
        {"4:2:2 fast path YUY2", {.width = 640, .height = 480}, JPG_KIND_YUY2, false},
        {"4:2:0 fast path RGB24", {.width = 640, .height = 480, .sampling = qk::jpeg::test::k420}, JPG_KIND_RGB24, false},
        {"4:4:4 general path with restarts, smoothed RGB",
         {.width = 161, .height = 121, .sampling = qk::jpeg::test::k444, .restartMcus = 3}, JPG_KIND_RGB24, true},
        {"progressive 4:2:0 XRGB",
         {.width = 320, .height = 240, .sampling = qk::jpeg::test::k420, .progressive = true, .separateScans = true},
         JPG_KIND_XRGB, false},
        {"grey UYVY", {.width = 96, .height = 64, .grey = true}, JPG_KIND_UYVY, false},
    };
    Measure("jpgInit", [] { jpgInit(JPG_VERSION, nullptr); });
    Measure("jpgSetOption", [] { jpgSetOption(JPG_OPT_OUTPUT_KIND, JPG_KIND_YUY2); });
    for (const auto& f : frames) {
        g_jpeg = qk::jpeg::test::Encode(f.options);
        jpgInit(JPG_VERSION, nullptr);
        jpgSetOption(JPG_OPT_OUTPUT_KIND, f.kind);
        jpgSetOption(JPG_OPT_SMOOTH_CHROMA, f.smooth ? 1 : 0);
        int result = -1;
        Measure(std::string("jpgDecode ") + f.name, [&] { result = jpgDecode(GetImage, GetData); });
        EXPECT_EQ(result, JPG_SUCCESS) << f.name;  // the path measured is the one meant
    }
}

TEST_F(StackUseTest, EffectsLibraryStaysWithinTheBudget) {
    Measure("vpeInit", [] { vpeInit(nullptr, nullptr, HostAlloc, HostFree, VPE_VERSION); });
    PVPE_CONTEXT c = nullptr;
    Measure("vpeCreate", [&] { vpeCreate(&c, VPE_FLIP_RGB24, nullptr); });
    ASSERT_NE(c, nullptr);
    const int w = 640, h = 480;
    Measure("vpeFtkInit", [&] { vpeFtkInit(c, w, h); });
    Measure("vpeSetAttrib", [&] { vpeSetAttrib(c, VPE_ATTR_VERBOSE_MASK, 0); });
    // Every per-frame path: tracking with the overlay drawn into the output
    // and an aux picture, the picture-in-picture, and detection on each frame.
    vpeSetAttrib(c, VPE_ATTR_TEST_FREQ, 0);
    vpeSetAttrib(c, VPE_ATTR_VIS, VPE_VIS_DRAW_OUTPUT);
    vpeSetAttrib(c, VPE_ATTR_PIP, 2);
    const auto rgb = Noise(size_t(3 * w) * h, 4), yuy2 = Noise(size_t(2 * w) * h, 5), i420 = Noise(size_t(w) * h * 3 / 2, 6);
    std::vector<uint8_t> dst(size_t(3 * w) * h), aux(size_t(3 * 160) * 120);
    uint32_t stamp = 0;
    for (int mt : {MT_RGB24, MT_YUY2, MT_I420}) {
        const auto& src = mt == MT_RGB24 ? rgb : mt == MT_YUY2 ? yuy2 : i420;
        const int pitch = mt == MT_RGB24 ? 3 * w : mt == MT_YUY2 ? 2 * w : w;
        int result = -1;
        Measure("vpeFtk " + std::to_string(mt), [&] {
            result = vpeFtk(c, dst.data(), w, h, pitch, src.data(), w, h, pitch, aux.data(), mt, stamp += 33);
        });
        EXPECT_EQ(result, VPE_SUCCESS);
        Measure("vpeDigitalZoom " + std::to_string(mt), [&] {
            result = vpeDigitalZoom(c, dst.data(), w, h, pitch, src.data(), w, h, pitch, 800, 600, 3200, 2400, mt, 0);
        });
        EXPECT_EQ(result, VPE_SUCCESS);
    }
    // The context-free zooms, each over lines wider than a strip.
    int result = -1;
    Measure("vpeZoomLinRgb24", [&] {
        result = vpeZoomLinRgb24(dst.data(), w, h, 3 * w, rgb.data(), w, h, 3 * w, 80 << 16, 60 << 16, 320 << 16, 240 << 16);
    });
    EXPECT_EQ(result, VPE_SUCCESS);
    Measure("vpeZoomLinI420", [&] {
        result = vpeZoomLinI420(dst.data(), w, h, w, i420.data(), w, h, w, 80 << 16, 60 << 16, 320 << 16, 240 << 16);
    });
    EXPECT_EQ(result, VPE_SUCCESS);
    Measure("ftkZoomYuy2", [&] {
        result = ftkZoomYuy2(dst.data(), w, h, 2 * w, yuy2.data(), w, h, 2 * w, 80 << 16, 60 << 16, 320 << 16, 240 << 16);
    });
    EXPECT_EQ(result, VPE_SUCCESS);
    Measure("vpeDrawBorderRgb24", [&] { vpeDrawBorderRgb24(dst.data(), 3 * w, 10, 10, 200, 100); });
    Measure("vpeDrawBorderI420", [&] { vpeDrawBorderI420(dst.data(), w, 10, 10, 200, 100); });
    Measure("vpeDrawBorderYuy2", [&] { vpeDrawBorderYuy2(dst.data(), 2 * w, 10, 10, 200, 100); });
    VPE_FRAMING framing{};
    Measure("vpeGetFraming", [&] { vpeGetFraming(c, &framing); });
    Measure("vpeDestroy", [&] { vpeDestroy(c); });
    Measure("vpeExit", [] { vpeExit(); });
}

}  // namespace
