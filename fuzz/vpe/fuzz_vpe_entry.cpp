// The entry points with hostile sizes, pitches, boxes and attributes. Every
// buffer is exactly as large as its description says, so any access the
// checks let through beyond it is caught.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "imaging/vpe/vpe.h"

namespace {

void Alloc(void** p, uint32_t n, int32_t, void*) { *p = std::aligned_alloc(64, (size_t(n) + 63) / 64 * 64); }
void Free(void* p, void*) { std::free(p); }

// Bytes a picture description covers (what the library may touch).
size_t Extent(int mediaType, int width, int height, int pitch) {
    if (width <= 0 || height <= 0 || pitch <= 0) return 1;
    if (mediaType == MT_I420) return size_t(pitch) * size_t(height) + 2 * size_t(pitch / 2) * size_t(height / 2);
    return size_t(pitch) * size_t(height);
}

constexpr int kWidths[] = {160, 176, 320, 352, 480, 640, 200, 2, 0, -160};
constexpr int32_t kIds[] = {100, 101, 200, 201, 204, 205, 206, 207, 208, 211, 212, 213, 215, 216, 217, 218, 219,
                            220, 221, 222, 223, 224, 225, 230, 231, 232, 234, 235, 236, 250, 251, 252, 243, 237};

int Side(FuzzedDataProvider& in, int typical) {
    switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0: return typical;
    case 1: return in.ConsumeIntegralInRange(-4, 1100);
    case 2: return typical + in.ConsumeIntegralInRange(-3, 3);
    default: return in.ConsumeIntegralInRange(0, 64);
    }
}

int PitchFor(FuzzedDataProvider& in, int mediaType, int width) {
    const int bytes = mediaType == MT_RGB24 ? 3 : mediaType == MT_YUY2 ? 2 : 1;
    return bytes * width + in.ConsumeIntegralInRange(-3, 8);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool started = vpeInit(nullptr, nullptr, Alloc, Free, VPE_VERSION) == VPE_SUCCESS;
    if (!started) std::abort();
    FuzzedDataProvider in(data, size);
    PVPE_CONTEXT c = nullptr;
    if (vpeCreate(&c, in.ConsumeIntegralInRange<int32_t>(0, 7), nullptr) != VPE_SUCCESS) std::abort();

    const int width = kWidths[in.ConsumeIntegralInRange<size_t>(0, std::size(kWidths) - 1)];
    const int height = in.ConsumeBool() ? width * 3 / 4 : in.ConsumeIntegralInRange(-2, 800);
    vpeFtkInit(c, width, height);
    const int attributes = in.ConsumeIntegralInRange(0, 12);
    for (int i = 0; i < attributes; ++i) {
        const int32_t id = in.ConsumeBool() ? kIds[in.ConsumeIntegralInRange<size_t>(0, std::size(kIds) - 1)]
                                            : in.ConsumeIntegral<int32_t>();
        // Verbose switches stay off: the fuzzer measures the code, not the sink.
        if (id == VPE_ATTR_VERBOSE_MASK || id == VPE_ATTR_VERBOSE_LEVEL) continue;
        vpeSetAttrib(c, id, in.ConsumeBool() ? in.ConsumeIntegral<int32_t>() : in.ConsumeIntegralInRange(-2, 1000));
    }

    const int mediaType = in.ConsumeBool() ? 100 + in.ConsumeIntegralInRange(0, 2) : in.ConsumeIntegral<int>();
    const int srcW = in.ConsumeBool() ? width : Side(in, width), srcH = in.ConsumeBool() ? height : Side(in, height);
    const int dstW = Side(in, srcW), dstH = Side(in, srcH);
    const int srcPitch = PitchFor(in, mediaType, srcW), dstPitch = PitchFor(in, mediaType, dstW);
    const size_t srcBytes = Extent(mediaType, srcW, srcH, srcPitch), dstBytes = Extent(mediaType, dstW, dstH, dstPitch);
    if (srcBytes > (size_t(8) << 20) || dstBytes > (size_t(8) << 20)) {
        vpeDestroy(c);
        return 0;
    }
    std::vector<uint8_t> src(srcBytes), dst(dstBytes);
    for (size_t i = 0; i < src.size(); ++i) src[i] = uint8_t(i * 31 + (i >> 9));
    const bool withAux = in.ConsumeBool();
    std::vector<uint8_t> aux(withAux ? 176 * 144 * 3 : 0);
    const int frames = in.ConsumeIntegralInRange(1, 8);
    for (int f = 0; f < frames; ++f) {
        vpeFtk(c, dst.data(), dstW, dstH, dstPitch, src.data(), srcW, srcH, srcPitch, withAux ? aux.data() : nullptr,
               mediaType, in.ConsumeIntegral<uint16_t>());
    }
    vpeDigitalZoom(c, dst.data(), dstW, dstH, dstPitch, src.data(), srcW, srcH, srcPitch, in.ConsumeIntegral<int>(),
                   in.ConsumeIntegral<int>(), in.ConsumeIntegral<int>(), in.ConsumeIntegral<int>(), mediaType, 0);
    // Boxes near the picture's own size, in tenths.
    const int tenthsW = std::max(0, 10 * srcW), tenthsH = std::max(0, 10 * srcH);
    vpeDigitalZoom(c, dst.data(), dstW, dstH, dstPitch, src.data(), srcW, srcH, srcPitch,
                   in.ConsumeIntegralInRange(-10, tenthsW), in.ConsumeIntegralInRange(-10, tenthsH),
                   in.ConsumeIntegralInRange(-10, tenthsW), in.ConsumeIntegralInRange(-10, tenthsH), mediaType, 0);
    vpeDestroy(c);
    return 0;
}
