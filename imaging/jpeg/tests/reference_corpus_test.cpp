// Our decoder against libjpeg-turbo over a generated corpus: many sizes,
// sampling factors 1-4, grey, progressive, restart intervals, qualities and
// both standard and optimised tables. Luma and chroma must stay within the
// usual distance of a fast integer IDCT from the accurate one; the output
// kinds must agree with each other exactly.
#include <gtest/gtest.h>

#include <cmath>

#include "imaging/convert/colour_tables.h"
#include "imaging/jpeg/jpeg.h"
#include "imaging/jpeg/tests/harness.h"

namespace qk::jpeg::test {
namespace {

struct Distance {
    double psnr = 99;
    double within2 = 1;
    size_t count = 0;
};

struct DistanceMeter {
    double squared = 0;
    size_t count = 0, close = 0;
    void Add(int a, int b) {
        const int d = a - b;
        squared += double(d) * d;
        close += std::abs(d) <= 2;
        ++count;
    }
    Distance Result() const {
        Distance r;
        r.count = count;
        if (count == 0) return r;
        const double mse = squared / double(count);
        r.psnr = mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
        r.within2 = double(close) / double(count);
        return r;
    }
};

std::string Describe(const EncodeOptions& o) {
    char text[160];
    std::snprintf(text, sizeof text, "%dx%d q%d %s %s%s restart %d%s", o.width, o.height, o.quality,
                  o.grey ? "grey" : "colour", o.separateScans ? "separate scans" : o.progressive ? "progressive" : "sequential",
                  o.optimize ? " optimised" : "", o.restartMcus, o.forceBaseline ? "" : " 16-bit tables");
    std::string s = text;
    if (!o.grey) {
        s += " sampling";
        for (int i = 0; i < 3; ++i) s += " " + std::to_string(o.sampling.h[i]) + "x" + std::to_string(o.sampling.v[i]);
    }
    return s;
}

std::vector<EncodeOptions> Corpus() {
    const Sampling samplings[] = {
        k444, k422, k420,
        {{1, 1, 1}, {2, 1, 1}},  // 4:4:0
        {{4, 1, 1}, {1, 1, 1}},  // 4:1:1
        {{4, 1, 1}, {2, 1, 1}},  // luma 4x2 against 1x1 chroma
        {{3, 1, 1}, {1, 1, 1}},  // thirds
        {{2, 2, 1}, {2, 1, 2}},  // each chroma halved along one axis
        {{1, 2, 1}, {1, 2, 1}},  // luma subsampled against Cb
        {{4, 1, 1}, {1, 1, 2}},  // factors 4 and 2 mixed, luma halved against Cr
    };
    const int sizes[][2] = {{1, 1}, {7, 5}, {8, 8}, {16, 8}, {17, 9}, {33, 31}, {64, 48}, {160, 120}, {173, 91},
                            {320, 240}};
    const int qualities[] = {10, 50, 75, 90, 100};
    std::vector<EncodeOptions> corpus;
    int n = 0;
    for (const auto& size : sizes) {
        for (const auto& sampling : samplings) {
            EncodeOptions o;
            o.width = size[0];
            o.height = size[1];
            o.sampling = sampling;
            o.quality = qualities[n % 5];
            o.progressive = n % 3 == 1;
            o.restartMcus = n % 4 == 2 ? 1 + n % 7 : 0;
            o.optimize = n % 5 == 3;
            o.seed = n;
            corpus.push_back(o);
            ++n;
        }
        EncodeOptions grey;
        grey.width = size[0];
        grey.height = size[1];
        grey.grey = true;
        grey.quality = qualities[n % 5];
        grey.progressive = n % 2 == 0;
        grey.restartMcus = n % 3;
        grey.seed = n++;
        corpus.push_back(grey);
    }
    // Camera-sized frames and 16-bit quantisation tables.
    for (bool progressive : {false, true}) {
        EncodeOptions o;
        o.width = 640;
        o.height = 480;
        o.progressive = progressive;
        o.restartMcus = progressive ? 0 : 40;
        corpus.push_back(o);
    }
    for (Sampling sampling : {k420, k422, Sampling{{1, 2, 1}, {1, 2, 1}}}) {
        EncodeOptions o;
        o.width = 37;
        o.height = 29;
        o.sampling = sampling;
        o.separateScans = true;
        o.restartMcus = sampling.h[0] == 2 ? 3 : 0;
        corpus.push_back(o);
    }
    EncodeOptions wide;
    wide.forceBaseline = false;
    wide.quality = 3;
    wide.width = 96;
    wide.height = 64;
    corpus.push_back(wide);
    wide.progressive = true;
    corpus.push_back(wide);
    return corpus;
}

TEST(ReferenceCorpus, LumaAndChromaMatchLibjpegTurbo) {
    Distance worstLuma{99, 1, 0}, worstChroma{99, 1, 0};
    for (const EncodeOptions& o : Corpus()) {
        SCOPED_TRACE(Describe(o));
        const std::vector<uint8_t> jpeg = Encode(o);
        const Reference ref = DecodeReference(jpeg);
        if (o.width < 2) continue;  // no pixel pair for the YUV kinds; the RGB test covers it

        DecodeOptions options;
        options.kind = JPG_KIND_YUY2;
        const Decoded ours = Decode(jpeg, options);
        ASSERT_EQ(ours.result, JPG_SUCCESS);
        ASSERT_EQ(ours.width, o.width & ~1);
        ASSERT_EQ(ours.height, o.height);
        ASSERT_TRUE(ours.paddingIntact);

        DistanceMeter luma, chroma;
        for (int y = 0; y < ours.height; ++y) {
            for (int x = 0; x < ours.width; ++x) {
                const uint8_t* p = &ours.pixels[(size_t(y) * ours.width + (x & ~1)) * 2];
                const uint8_t* r = &ref.samples[(size_t(y) * ref.width + x) * ref.channels];
                luma.Add(p[(x & 1) * 2], r[0]);
                if (x % 2 == 0) {
                    if (ref.channels == 3) {
                        chroma.Add(p[1], r[1]);
                        chroma.Add(p[3], r[2]);
                    } else {
                        EXPECT_EQ(p[1], 128);
                        EXPECT_EQ(p[3], 128);
                    }
                }
            }
        }
        const Distance l = luma.Result(), c = chroma.Result();
        EXPECT_GE(l.psnr, 44.0);
        EXPECT_GE(l.within2, 0.99);
        if (c.count > 0) {
            EXPECT_GE(c.psnr, 44.0);
            EXPECT_GE(c.within2, 0.99);
        }
        if (l.psnr < worstLuma.psnr) worstLuma = l;
        if (c.count > 0 && c.psnr < worstChroma.psnr) worstChroma = c;
    }
    std::printf("worst luma: %.1f dB, %.2f%% within 2; worst chroma: %.1f dB, %.2f%% within 2\n", worstLuma.psnr,
                100 * worstLuma.within2, worstChroma.psnr, 100 * worstChroma.within2);
}

// The RGB kinds carry the same pixels in other layouts: 0 and 3 byte for
// byte, 2 their truncation; 1 is 4 with its bytes swapped. Where pixel pairs
// share chroma, kind 0 is exactly the table conversion of kind 4.
TEST(ReferenceCorpus, OutputKindsAgree) {
    for (const EncodeOptions& o : Corpus()) {
        SCOPED_TRACE(Describe(o));
        const std::vector<uint8_t> jpeg = Encode(o);
        Decoded kinds[5];
        for (int kind = 0; kind < 5; ++kind) {
            DecodeOptions options;
            options.kind = kind;
            kinds[kind] = Decode(jpeg, options);
            const bool pairs = kind == 1 || kind == 2 || kind == 4;
            if (pairs && o.width < 2) {
                EXPECT_EQ(kinds[kind].result, JPG_ERR_DATA);
                continue;
            }
            ASSERT_EQ(kinds[kind].result, JPG_SUCCESS) << kind;
            ASSERT_TRUE(kinds[kind].paddingIntact) << kind;
        }
        const Decoded &rgb = kinds[0], &xrgb = kinds[3];
        for (size_t i = 0; i < size_t(rgb.width) * rgb.height; ++i) {
            ASSERT_EQ(xrgb.pixels[4 * i + 0], 0);
            ASSERT_EQ(xrgb.pixels[4 * i + 1], rgb.pixels[3 * i + 2]);
            ASSERT_EQ(xrgb.pixels[4 * i + 2], rgb.pixels[3 * i + 1]);
            ASSERT_EQ(xrgb.pixels[4 * i + 3], rgb.pixels[3 * i + 0]);
        }
        if (o.width < 2) continue;
        const Decoded &uyvy = kinds[1], &rgb565 = kinds[2], &yuy2 = kinds[4];
        ASSERT_EQ(uyvy.pixels.size(), yuy2.pixels.size());
        for (size_t i = 0; i < yuy2.pixels.size(); i += 2) {
            ASSERT_EQ(uyvy.pixels[i], yuy2.pixels[i + 1]);
            ASSERT_EQ(uyvy.pixels[i + 1], yuy2.pixels[i]);
        }
        const bool sharedChroma = o.grey || (o.sampling.h[0] == 2 * o.sampling.h[1] &&
                                             o.sampling.h[1] == o.sampling.h[2] && o.sampling.v[1] == o.sampling.v[2]);
        for (int y = 0; y < yuy2.height; ++y) {
            for (int x = 0; x < yuy2.width; ++x) {
                const uint8_t* b = &rgb.pixels[(size_t(y) * rgb.width + x) * 3];
                const uint8_t* w = &rgb565.pixels[(size_t(y) * yuy2.width + x) * 2];
                ASSERT_EQ(w[0] | w[1] << 8, (b[2] >> 3) << 11 | (b[1] >> 2) << 5 | (b[0] >> 3));
                if (!sharedChroma || o.sampling.v[0] > 2 * o.sampling.v[1]) continue;
                const uint8_t* p = &yuy2.pixels[(size_t(y) * yuy2.width + (x & ~1)) * 2];
                const int luma = p[(x & 1) * 2], u = p[1], v = p[3];
                ASSERT_EQ(b[0], kColourClamp[(luma + kColourUToB[u]) & 1023]);
                ASSERT_EQ(b[1], kColourClamp[(luma - kColourUToG[u] - kColourVToG[v]) & 1023]);
                ASSERT_EQ(b[2], kColourClamp[(luma + kColourVToR[v]) & 1023]);
            }
        }
    }
}

}  // namespace
}  // namespace qk::jpeg::test
