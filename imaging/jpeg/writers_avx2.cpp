// AVX2 row writers for the 16-pixel rows of the fast paths; each gives
// exactly the reference writer's bytes (tested).
#include "imaging/convert/colour_avx2.h"
#include "imaging/jpeg/jpeg_private.h"

#if QK_IMAGING_HAVE_AVX2

namespace qk::jpeg {
namespace {

using qk::imaging::simd::CenteredChromaPairs;

QK_AVX2 void Rgb24Pairs16(uint8_t* dst, const uint8_t* y, const uint8_t* u, const uint8_t* v, int) {
    const __m256i luma = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(y)));
    const __m256i cb = CenteredChromaPairs(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(u)));
    const __m256i cr = CenteredChromaPairs(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(v)));
    qk::imaging::simd::StoreBgr16(dst, luma, cb, cr);
}

template <bool kChromaFirst>
QK_AVX2 void YuvPairs16(uint8_t* dst, const uint8_t* y, const uint8_t* u, const uint8_t* v, int) {
    const __m128i luma = _mm_loadu_si128(reinterpret_cast<const __m128i*>(y));
    const __m128i chroma = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(u)),
                                             _mm_loadl_epi64(reinterpret_cast<const __m128i*>(v)));
    __m128i lo, hi;
    if (kChromaFirst) {
        lo = _mm_unpacklo_epi8(chroma, luma);
        hi = _mm_unpackhi_epi8(chroma, luma);
    } else {
        lo = _mm_unpacklo_epi8(luma, chroma);
        hi = _mm_unpackhi_epi8(luma, chroma);
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), lo);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 16), hi);
}

WriterSet MakeFast(int kind) {
    WriterSet set = ReferenceWriters(kind);
    if (kind == JPG_KIND_RGB24) set.pairs16 = Rgb24Pairs16;
    if (kind == JPG_KIND_UYVY) set.pairs16 = YuvPairs16<true>;
    if (kind == JPG_KIND_YUY2) set.pairs16 = YuvPairs16<false>;
    return set;
}

}  // namespace

const WriterSet* Avx2Writers(int kind) {
    static const WriterSet sets[5] = {MakeFast(0), MakeFast(1), MakeFast(2), MakeFast(3), MakeFast(4)};
    return qk::imaging::simd::CpuHasAvx2() ? &sets[kind] : nullptr;
}

}  // namespace qk::jpeg

#else

namespace qk::jpeg {
const WriterSet* Avx2Writers(int) { return nullptr; }
}  // namespace qk::jpeg

#endif
