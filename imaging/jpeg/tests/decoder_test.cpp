// The decoder's interface and edge cases: chunked input and the SOI search,
// odd widths, grey frames, the general path's byte order, restarts, 16-bit
// tables, tables kept between frames, options, progress, smoothing, memory
// hooks and the refusals of broken streams.
#include <gtest/gtest.h>

#include <algorithm>

#include "imaging/convert/colour_tables.h"
#include "imaging/jpeg/jpeg.h"
#include "imaging/jpeg/jpeg_private.h"
#include "imaging/jpeg/tests/harness.h"

namespace qk::jpeg::test {
namespace {

bool Said(const Decoded& d, const std::string& text) {
    return std::find(d.messages.begin(), d.messages.end(), text) != d.messages.end();
}

std::vector<uint8_t> Frame(int width = 64, int height = 48, Sampling sampling = k422, int restart = 0) {
    EncodeOptions o;
    o.width = width;
    o.height = height;
    o.sampling = sampling;
    o.restartMcus = restart;
    return Encode(o);
}

TEST(JpegInterface, VersionAndOptions) {
    std::vector<std::string> messages;
    static std::vector<std::string>* sink;
    sink = &messages;
    jpgSetLogSink([](const char* m) { sink->emplace_back(m); });
    ASSERT_EQ(jpgInit(JPG_VERSION, nullptr), JPG_SUCCESS);
    ASSERT_EQ(jpgSetOption(JPG_OPT_OUTPUT_KIND, JPG_KIND_YUY2), JPG_SUCCESS);
    // A wrong version changes nothing, so the stream keeps its kind.
    EXPECT_EQ(jpgInit(34, nullptr), JPG_ERR_VERSION);
    EXPECT_EQ(messages, std::vector<std::string>{"Expecting version 35 but get version 34"});
    EXPECT_EQ(g_record.kind, JPG_KIND_YUY2);
    EXPECT_EQ(jpgSetOption(7, 1), JPG_ERR_OPTION);
    EXPECT_EQ(jpgSetOption(0xFFFF, 1), JPG_ERR_OPTION);
    EXPECT_EQ(jpgSetOption(JPG_OPT_OUTPUT_KIND, 5), JPG_SUCCESS);  // unknown kind: writers unchanged
    EXPECT_EQ(g_record.kind, JPG_KIND_YUY2);
    EXPECT_EQ(g_record.bytesPerPixel, 2);
    for (uint16_t option : {0, 3, 4, 5}) EXPECT_EQ(jpgSetOption(option, 1), JPG_SUCCESS) << option;
    // jpgInit restores the defaults of a stream.
    ASSERT_EQ(jpgInit(JPG_VERSION, nullptr), JPG_SUCCESS);
    EXPECT_EQ(g_record.kind, JPG_KIND_RGB24);
    EXPECT_TRUE(g_record.fastPath);
    EXPECT_FALSE(g_record.smoothChroma);
    jpgSetLogSink(nullptr);
}

TEST(JpegInput, ChunksOfAnySizeDecodeTheSame) {
    const auto jpeg = Frame(64, 48, k420, 3);
    const Decoded whole = Decode(jpeg);
    ASSERT_EQ(whole.result, JPG_SUCCESS);
    for (size_t size : {1, 2, 7, 9, 64, 1000}) {
        SCOPED_TRACE(size);
        DecodeOptions options;
        options.chunks.assign(jpeg.size() / size + 1, size);
        const Decoded chunked = Decode(jpeg, options);
        ASSERT_EQ(chunked.result, JPG_SUCCESS);
        EXPECT_EQ(chunked.pixels, whole.pixels);
    }
}

TEST(JpegInput, SoiSearchSkipsUpToOneHundredBytes) {
    const auto jpeg = Frame();
    const Decoded clean = Decode(jpeg);
    for (size_t junk : {1, 57, 100, 101}) {
        SCOPED_TRACE(junk);
        std::vector<uint8_t> input(junk, 0x3C);
        input.insert(input.end(), jpeg.begin(), jpeg.end());
        DecodeOptions options;
        options.chunks = {junk};  // the stray bytes arrive in a chunk of their own
        const Decoded d = Decode(input, options);
        if (junk <= 100) {
            EXPECT_EQ(d.result, JPG_SUCCESS);
            EXPECT_EQ(d.pixels, clean.pixels);
        } else {
            EXPECT_EQ(d.result, JPG_ERR_DATA);
            EXPECT_EQ(d.imageCalls, 0);
        }
    }
    // 0xFF fill in front of SOI does not hide it.
    std::vector<uint8_t> filled = {0x00, 0xFF, 0xFF};
    filled.insert(filled.end(), jpeg.begin(), jpeg.end());
    DecodeOptions options;
    options.chunks = {2};
    EXPECT_EQ(Decode(filled, options).pixels, clean.pixels);
}

TEST(JpegInput, SingleChunkGetsOneAttemptThenParsesOn) {
    const auto jpeg = Frame();
    // One attempt fails on the stray bytes; the marker reader then finds
    // SOI among the markers and the frame still decodes.
    std::vector<uint8_t> input = {0x12, 0x34, 0x56};
    input.insert(input.end(), jpeg.begin(), jpeg.end());
    const Decoded d = Decode(input);
    EXPECT_EQ(d.result, JPG_SUCCESS);
    EXPECT_EQ(d.pixels, Decode(jpeg).pixels);

    const Decoded empty = Decode({});
    EXPECT_EQ(empty.result, JPG_ERR_DATA);
    EXPECT_TRUE(Said(empty, "Unable to Find Jpeg image in file"));
    const Decoded soiOnly = Decode({0xFF, 0xD8});
    EXPECT_EQ(soiOnly.result, JPG_ERR_DATA);
    EXPECT_EQ(soiOnly.imageCalls, 0);
}

TEST(JpegOutput, OddWidthLosesItsLastColumnInTwoByteKinds) {
    const auto jpeg = Frame(33, 17, k422);
    for (int kind = 0; kind < 5; ++kind) {
        SCOPED_TRACE(kind);
        DecodeOptions options;
        options.kind = kind;
        const Decoded d = Decode(jpeg, options);
        ASSERT_EQ(d.result, JPG_SUCCESS);
        EXPECT_EQ(d.width, kind == 0 || kind == 3 ? 33 : 32);
        EXPECT_EQ(d.height, 17);
        EXPECT_TRUE(d.paddingIntact);
    }
}

TEST(JpegOutput, BottomUpIsTheTopDownPictureFlipped) {
    struct Case {
        int width, height;
        Sampling sampling;
        bool progressive;
    } cases[] = {{160, 128, k422, false}, {150, 97, k420, false}, {64, 48, k444, false}, {90, 70, k422, true}};
    for (const auto& c : cases) {
        EncodeOptions e;
        e.width = c.width;
        e.height = c.height;
        e.sampling = c.sampling;
        e.progressive = c.progressive;
        const auto jpeg = Encode(e);
        for (int kind : {JPG_KIND_RGB24, JPG_KIND_YUY2}) {
            for (bool fast : {true, false}) {
                SCOPED_TRACE(::testing::Message() << c.width << "x" << c.height << " kind " << kind << " fast " << fast);
                DecodeOptions topDown, bottomUp;
                topDown.kind = bottomUp.kind = kind;
                topDown.fastPath = bottomUp.fastPath = fast;
                bottomUp.bottomUp = true;
                const Decoded a = Decode(jpeg, topDown), b = Decode(jpeg, bottomUp);
                ASSERT_EQ(a.result, JPG_SUCCESS);
                ASSERT_EQ(b.result, JPG_SUCCESS);
                EXPECT_EQ(a.pixels, b.pixels);
                EXPECT_TRUE(b.paddingIntact);
            }
        }
    }
    // jpgInit goes back to top-down.
    ASSERT_EQ(jpgInit(JPG_VERSION, nullptr), JPG_SUCCESS);
    EXPECT_FALSE(g_record.bottomUp);
}

TEST(JpegOutput, GreyFramesHaveNeutralChroma) {
    EncodeOptions o;
    o.grey = true;
    o.width = 40;
    o.height = 24;
    const auto jpeg = Encode(o);
    DecodeOptions yuy2;
    yuy2.kind = JPG_KIND_YUY2;
    const Decoded y = Decode(jpeg, yuy2);
    ASSERT_EQ(y.result, JPG_SUCCESS);
    const Decoded rgb = Decode(jpeg);
    ASSERT_EQ(rgb.result, JPG_SUCCESS);
    for (size_t i = 0; i < size_t(40 * 24); ++i) {
        ASSERT_EQ(y.pixels[2 * i + 1], 128);
        const uint8_t luma = y.pixels[2 * i];
        ASSERT_EQ(rgb.pixels[3 * i], luma);
        ASSERT_EQ(rgb.pixels[3 * i + 1], luma);
        ASSERT_EQ(rgb.pixels[3 * i + 2], luma);
    }
}

TEST(JpegPaths, GeneralPathWritesTheFastPathsBytes) {
    for (Sampling sampling : {k422, k420}) {
        const auto jpeg = Frame(160, 128, sampling);
        for (int kind = 0; kind < 5; ++kind) {
            SCOPED_TRACE(kind);
            DecodeOptions fast, general;
            fast.kind = general.kind = kind;
            general.fastPath = false;
            general.progress = true;
            fast.progress = true;
            const Decoded a = Decode(jpeg, fast), b = Decode(jpeg, general);
            ASSERT_EQ(a.result, JPG_SUCCESS);
            ASSERT_EQ(b.result, JPG_SUCCESS);
            EXPECT_EQ(a.pixels, b.pixels);
            EXPECT_TRUE(a.progress.empty());  // only the general path reports progress
            EXPECT_FALSE(b.progress.empty());
        }
    }
}

TEST(JpegPaths, A160x120Frame420TakesTheGeneralPathWithTheSameBytes) {
    // 120 lines are not a multiple of 16: the general path decodes the frame.
    // The first seven MCU rows are coded exactly as in a 160x128 frame of
    // the same scene, so they must come out byte for byte the same.
    EncodeOptions o;
    o.sampling = k420;
    o.width = 160;
    o.height = 128;
    const auto scene = Scene(160, 128, 3, 5);
    const auto tall = EncodePixels(scene, o);
    o.height = 120;
    const auto frame = EncodePixels(std::vector<uint8_t>(scene.begin(), scene.begin() + 160 * 120 * 3), o);
    for (int kind : {JPG_KIND_RGB24, JPG_KIND_YUY2}) {
        SCOPED_TRACE(kind);
        DecodeOptions options;
        options.kind = kind;
        options.progress = true;
        const Decoded a = Decode(tall, options), b = Decode(frame, options);
        ASSERT_EQ(b.result, JPG_SUCCESS);
        ASSERT_EQ(b.height, 120);
        EXPECT_TRUE(a.progress.empty());
        // (0, MCU rows), then one call per row, then (2, 100).
        ASSERT_EQ(b.progress.size(), 10u);
        EXPECT_EQ(b.progress.front(), std::make_pair(0, 8));
        EXPECT_EQ(b.progress[2], std::make_pair(1, 12));
        EXPECT_EQ(b.progress.back(), std::make_pair(2, 100));
        const size_t bytes = size_t(160) * 112 * b.bytesPerPixel;
        EXPECT_TRUE(std::equal(b.pixels.begin(), b.pixels.begin() + bytes, a.pixels.begin()));
    }
}

TEST(JpegPaths, ProgressRefusalStopsTheDecode) {
    const auto jpeg = Frame(48, 40, k444);  // general path, five MCU rows
    DecodeOptions options;
    options.progress = true;
    options.stopAtRow = 2;
    const Decoded d = Decode(jpeg, options);
    EXPECT_EQ(d.result, JPG_SUCCESS);
    EXPECT_EQ(d.progress.back(), std::make_pair(2, 100));
    const size_t line = 48 * 3;
    EXPECT_NE(d.pixels[15 * line], kSentinel);
    for (size_t i = 16 * line; i < d.pixels.size(); ++i) ASSERT_EQ(d.pixels[i], kSentinel);
}

TEST(JpegRestarts, MarkersInAnyOrderAreAccepted) {
    const auto jpeg = Frame(64, 48, k420, 1);
    const Decoded clean = Decode(jpeg);
    const auto restarts = FindMarkers(jpeg, 0xD0);
    ASSERT_FALSE(restarts.empty());
    auto shuffled = jpeg;
    int n = 7;
    for (size_t i = 0; i + 1 < shuffled.size(); ++i) {
        if (shuffled[i] == 0xFF && shuffled[i + 1] >= 0xD0 && shuffled[i + 1] <= 0xD7) shuffled[i + 1] = uint8_t(0xD0 + (n-- & 7));
    }
    ASSERT_NE(shuffled, jpeg);
    const Decoded d = Decode(shuffled);
    EXPECT_EQ(d.result, JPG_SUCCESS);
    EXPECT_EQ(d.pixels, clean.pixels);
}

TEST(JpegRestarts, EndOfImageAtARestartPointEndsTheFrame) {
    // Restart every MCU row (4 MCUs of 16x16); the third restart becomes EOI.
    auto jpeg = Frame(64, 48, k420, 4);
    const Decoded clean = Decode(jpeg);
    std::vector<size_t> at;
    for (size_t i = 0; i + 1 < jpeg.size(); ++i) {
        if (jpeg[i] == 0xFF && jpeg[i + 1] >= 0xD0 && jpeg[i + 1] <= 0xD7) at.push_back(i);
    }
    ASSERT_EQ(at.size(), 2u);  // three MCU rows, two restarts
    jpeg[at[1] + 1] = 0xD9;
    const Decoded d = Decode(jpeg);
    EXPECT_EQ(d.result, JPG_SUCCESS);
    const size_t written = size_t(64) * 32 * 3;
    EXPECT_TRUE(std::equal(d.pixels.begin(), d.pixels.begin() + written, clean.pixels.begin()));
    for (size_t i = written; i < d.pixels.size(); ++i) ASSERT_EQ(d.pixels[i], kSentinel);

    jpeg[at[0] + 1] = 0xC4;  // not a restart marker
    const Decoded bad = Decode(jpeg);
    EXPECT_EQ(bad.result, JPG_ERR_DATA);
    EXPECT_TRUE(Said(bad, "Bad restart marker ff c4\n"));
}

TEST(JpegTables, SixteenBitQuantisationTablesLogAndDecode) {
    EncodeOptions o;
    o.forceBaseline = false;
    o.quality = 2;
    o.width = 48;
    o.height = 32;
    const auto jpeg = Encode(o);
    const auto dqt = FindMarkers(jpeg, 0xDB);
    ASSERT_FALSE(dqt.empty());
    ASSERT_EQ(jpeg[dqt[0] + 4] >> 4, 1) << "the encoder wrote an 8-bit table";
    DecodeOptions options;
    options.kind = JPG_KIND_YUY2;
    const Decoded d = Decode(jpeg, options);
    EXPECT_EQ(d.result, JPG_SUCCESS);
    EXPECT_TRUE(Said(d, "Error: Only support 8 bpp\n"));
    const Reference ref = DecodeReference(jpeg);
    int worst = 0;
    for (size_t i = 0; i < size_t(48 * 32); ++i) worst = std::max(worst, std::abs(d.pixels[2 * i] - ref.samples[3 * i]));
    EXPECT_LE(worst, 8);  // coarse tables amplify IDCT differences a little
}

TEST(JpegTables, TablesStayFromFrameToFrame) {
    const auto first = Frame(32, 16, k422);
    const auto second = Frame(48, 32, k420);  // standard tables: the same DHT and DQT
    const Decoded full = Decode(second);
    ASSERT_EQ(full.result, JPG_SUCCESS);
    const auto bare = WithoutSegments(WithoutSegments(second, 0xC4), 0xDB);
    ASSERT_TRUE(FindMarkers(bare, 0xC4).empty());
    ASSERT_EQ(Decode(first).result, JPG_SUCCESS);
    const Decoded d = Decode(bare);
    EXPECT_EQ(d.result, JPG_SUCCESS);
    EXPECT_EQ(d.pixels, full.pixels);

    // With nothing defined since load, the scan is refused before decoding.
    for (auto& set : g_record.huffman) {
        for (auto& t : set) t = HuffmanTable{};
    }
    const Decoded undefined = Decode(bare);
    EXPECT_EQ(undefined.result, JPG_ERR_DATA);
    EXPECT_TRUE(Said(undefined, "Huffman table class 0 id 0 not defined\n"));
    for (auto& defined : g_record.quantDefined) defined = false;
    ASSERT_EQ(Decode(WithoutSegments(second, 0xDB)).result, JPG_ERR_DATA);
    ASSERT_EQ(Decode(second).result, JPG_SUCCESS);
}

// A table that arrives again unchanged stands; one that differs replaces it
// (optimised tables differ from frame to frame and from the standard ones).
TEST(JpegTables, RedefinedTablesReplaceTheKeptOnesOnlyWhenTheyDiffer) {
    std::vector<std::vector<uint8_t>> frames;
    for (int seed : {1, 2, 3}) {
        EncodeOptions o;
        o.optimize = seed != 2;
        o.seed = seed;
        frames.push_back(Encode(o));
    }
    std::vector<Decoded> alone;
    for (const auto& frame : frames) {
        for (auto& set : g_record.huffman) {
            for (auto& t : set) t = HuffmanTable{};
        }
        alone.push_back(Decode(frame));
        ASSERT_EQ(alone.back().result, JPG_SUCCESS);
    }
    int index = 0;
    for (int f : {0, 0, 1, 0, 2, 2, 1, 0}) {
        SCOPED_TRACE(index++);
        const Decoded d = Decode(frames[size_t(f)]);
        ASSERT_EQ(d.result, JPG_SUCCESS);
        EXPECT_EQ(d.pixels, alone[size_t(f)].pixels);
    }
}

TEST(JpegSmoothing, InterpolatesChromaInsideTheBlock) {
    for (Sampling sampling : {k422, k420}) {
        const auto jpeg = Frame(32, 32, sampling);
        DecodeOptions yuy2;
        yuy2.kind = JPG_KIND_YUY2;
        const Decoded plain = Decode(jpeg, yuy2);
        yuy2.smooth = true;
        EXPECT_EQ(Decode(jpeg, yuy2).pixels, plain.pixels);  // YUV kinds carry samples as they are
        DecodeOptions rgb;
        rgb.smooth = true;
        const Decoded smooth = Decode(jpeg, rgb);
        ASSERT_EQ(smooth.result, JPG_SUCCESS);
        const bool vertical = sampling.v[0] == 2;
        // Chroma sample (column j, row i) as the plain YUY2 output carries it.
        const auto sample = [&](int plane, int j, int i) {
            const int line = vertical ? 2 * i : i;
            return int(plain.pixels[(size_t(line) * 32 + 2 * j) * 2 + (plane == 0 ? 1 : 3)]);
        };
        for (int y = 0; y < 32; ++y) {
            for (int x = 0; x < 32; ++x) {
                int chroma[2];
                for (int plane = 0; plane < 2; ++plane) {
                    const int j = x / 2, i = vertical ? y / 2 : y;
                    // Neighbours within the 8x8 chroma block only.
                    const int j2 = (x & 1) && (j % 8) != 7 ? j + 1 : j;
                    const int i2 = vertical && (y & 1) && (i % 8) != 7 ? i + 1 : i;
                    const bool h = x & 1, v = vertical && (y & 1);
                    const int a = sample(plane, j, i), b = sample(plane, j2, i), c = sample(plane, j, i2),
                              d = sample(plane, j2, i2);
                    chroma[plane] = h && v ? (a + b + c + d + 2) >> 2 : h ? (a + b + 1) >> 1 : v ? (a + c + 1) >> 1 : a;
                }
                const int luma = plain.pixels[(size_t(y) * 32 + x) * 2];
                const uint8_t* p = &smooth.pixels[(size_t(y) * 32 + x) * 3];
                ASSERT_EQ(p[0], kColourClamp[(luma + kColourUToB[chroma[0]]) & 1023]) << x << "," << y;
                ASSERT_EQ(p[1], kColourClamp[(luma - kColourUToG[chroma[0]] - kColourVToG[chroma[1]]) & 1023]);
                ASSERT_EQ(p[2], kColourClamp[(luma + kColourVToR[chroma[1]]) & 1023]);
            }
        }
    }
}

TEST(JpegMemory, ProgressiveFramesReleaseWhatTheyTake) {
    static int live, calls;
    static bool fail;
    live = calls = 0;
    fail = false;
    jpgSetMemoryHooks(
        [](size_t bytes) -> void* {
            ++calls;
            if (fail) return nullptr;
            ++live;
            return std::malloc(bytes);
        },
        [](void* block) {
            --live;
            std::free(block);
        });
    EncodeOptions o;
    o.progressive = true;
    const auto jpeg = Encode(o);
    EXPECT_EQ(Decode(jpeg).result, JPG_SUCCESS);
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(live, 0);
    fail = true;
    const Decoded d = Decode(jpeg);
    EXPECT_EQ(d.result, JPG_ERR_NO_MEMORY);
    EXPECT_EQ(live, 0);
    jpgSetMemoryHooks(nullptr, nullptr);
    // Sequential frames take nothing.
    calls = 0;
    EXPECT_EQ(Decode(Frame()).result, JPG_SUCCESS);
    EXPECT_EQ(calls, 0);
}

// Streams the decoder refuses, each with its result and message.
TEST(JpegRefusals, BrokenAndUnsupportedStreams) {
    const auto good = Frame(32, 16, k422);
    const size_t sof = FindMarkers(good, 0xC0).at(0);
    const size_t sos = FindMarkers(good, 0xDA).at(0);
    const size_t dht = FindMarkers(good, 0xC4).at(0);
    const auto patched = [&](size_t at, std::initializer_list<uint8_t> bytes) {
        auto copy = good;
        std::copy(bytes.begin(), bytes.end(), copy.begin() + at);
        return copy;
    };
    struct Case {
        const char* name;
        std::vector<uint8_t> jpeg;
        int result;
        const char* message;
        bool refuse = false;
    } cases[] = {
        {"12-bit precision", patched(sof + 4, {12}), JPG_ERR_PRECISION, "ERROR: Only support 8 bpp precision\n"},
        {"lossless frame", patched(sof + 1, {0xC3}), JPG_ERR_UNSUPPORTED, "Unsupported format c3. Only Baseline JPEG for now.\n"},
        {"arithmetic frame", patched(sof + 1, {0xC9}), JPG_ERR_UNSUPPORTED, "Unsupported format c9. Only Baseline JPEG for now.\n"},
        {"no components", patched(sof + 9, {0}), JPG_ERR_DATA, "MaxFrequency = 0\n"},
        {"four components", patched(sof + 9, {4}), JPG_ERR_UNSUPPORTED, "Unsupported component count 4\n"},
        {"zero sampling factor", patched(sof + 11, {0x20}), JPG_ERR_DATA, "Frequency = 0\n"},
        {"sampling factor 5", patched(sof + 11, {0x51}), JPG_ERR_DATA, "Sampling factors 5 x 1 out of range\n"},
        {"quantisation table 3", patched(sof + 12, {3}), JPG_ERR_DATA, "Quantisation table 3 out of range\n"},
        {"zero width", patched(sof + 7, {0, 0}), JPG_ERR_DATA, "Empty image 0 x 16\n"},
        {"duplicate component", patched(sof + 13, {1}), JPG_ERR_DATA, "Component 1 appears twice\n"},
        {"scan names unknown component", patched(sos + 5, {9}), JPG_ERR_DATA, "Scan names unknown component 9\n"},
        {"scan with table id 4", patched(sos + 6, {0x40}), JPG_ERR_DATA, "Huffman table class 0 id 4 out of range\n"},
        {"scan of one of three components", patched(sos + 2, {0, 8, 1}), JPG_ERR_UNSUPPORTED,
         "Unsupported scan of 1 of 3 components\n"},
        {"huffman table id 5", patched(dht + 4, {0x05}), JPG_ERR_DATA, "Huffman table class 0 id 5 out of range\n"},
        {"huffman segment too short", patched(dht + 2, {0, 20}), JPG_ERR_DATA,
         "Huffman table segment length does not match its tables\n"},
        {"oversubscribed huffman code", patched(dht + 5, {2, 0, 4}), JPG_ERR_DATA,
         "Huffman table has more codes than its lengths hold\n"},
        {"image refused", good, JPG_ERR_IMAGE_REFUSED, nullptr, true},
        {"scan before frame", patched(sof + 1, {0xFE}), JPG_ERR_DATA, "Scan before frame header\n"},
        {"end of image only", {0xFF, 0xD8, 0xFF, 0xD9}, JPG_ERR_DATA, "jpg:EOI\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DecodeOptions options;
        options.refuse = c.refuse;
        const Decoded d = Decode(c.jpeg, options);
        EXPECT_EQ(d.result, c.result);
        if (c.message != nullptr) {
            EXPECT_TRUE(Said(d, c.message)) << (d.messages.empty() ? "" : d.messages.back());
        }
        EXPECT_TRUE(d.paddingIntact);
    }
}

TEST(JpegRefusals, MarkerSyncAndUnknownTokens) {
    std::vector<uint8_t> lost = {0xFF, 0xD8};
    lost.insert(lost.end(), 10002, 0x00);
    lost.insert(lost.end(), {0xFF, 0xD9});
    const Decoded d = Decode(lost);
    EXPECT_EQ(d.result, JPG_ERR_DATA);
    EXPECT_TRUE(Said(d, "Expecting 0xFF but got 0\n"));

    // 10,001 stray bytes and an unknown segment are passed over.
    const auto good = Frame();
    std::vector<uint8_t> padded(good.begin(), good.begin() + 2);
    padded.insert(padded.end(), 10001, 0x11);
    padded.insert(padded.end(), {0xFF, 0xF3, 0x00, 0x04, 0xAB, 0xCD});
    padded.insert(padded.end(), good.begin() + 2, good.end());
    const Decoded ok = Decode(padded);
    EXPECT_EQ(ok.result, JPG_SUCCESS);
    EXPECT_TRUE(Said(ok, "Unknown Token f3\n"));
    EXPECT_EQ(ok.pixels, Decode(good).pixels);
}

TEST(JpegRefusals, TruncatedFramesStayInsideTheirBuffers) {
    for (bool progressive : {false, true}) {
        EncodeOptions o;
        o.progressive = progressive;
        o.restartMcus = progressive ? 0 : 2;
        const auto jpeg = Encode(o);
        for (size_t keep = 0; keep < jpeg.size(); keep += 37) {
            SCOPED_TRACE(keep);
            const std::vector<uint8_t> cut(jpeg.begin(), jpeg.begin() + keep);
            for (bool chunked : {false, true}) {
                DecodeOptions options;
                if (chunked) options.chunks.assign(keep, 1);
                const Decoded d = Decode(cut, options);
                EXPECT_TRUE(d.paddingIntact);
                // A progressive frame without its end is shown but fails.
                if (d.imageCalls == 0 || progressive) {
                    EXPECT_NE(d.result, JPG_SUCCESS);
                }
            }
        }
    }
}

TEST(JpegRefusals, DestinationChecks) {
    // A destination whose pitch cannot hold a line is refused.
    static uint8_t small[16];
    jpgInit(JPG_VERSION, nullptr);
    const auto jpeg = Frame(16, 8);
    static const std::vector<uint8_t>* data;
    data = &jpeg;
    const JPG_GET_DATA get = [](const uint8_t** chunk, uint32_t* length) {
        *chunk = data->data();
        *length = uint32_t(data->size());
        return 1;
    };
    std::vector<std::string> messages;
    static std::vector<std::string>* sink;
    sink = &messages;
    jpgSetLogSink([](const char* m) { sink->emplace_back(m); });
    EXPECT_EQ(jpgDecode(
                  [](uint8_t** d, uint16_t* p, int, int) {
                      *d = small;
                      *p = 47;
                      return 1;
                  },
                  get),
              JPG_ERR_IMAGE_REFUSED);
    EXPECT_EQ(jpgDecode(
                  [](uint8_t** d, uint16_t* p, int, int) {
                      *d = nullptr;
                      *p = 48;
                      return 1;
                  },
                  get),
              JPG_ERR_IMAGE_REFUSED);
    EXPECT_EQ(jpgDecode(nullptr, get), JPG_ERR_DATA);
    EXPECT_EQ(jpgDecode(nullptr, nullptr), JPG_ERR_DATA);
    jpgSetLogSink(nullptr);
    EXPECT_EQ(messages.at(0), "Destination refused: pitch 47 for width 16\n");
    EXPECT_EQ(messages.at(2), "gpucGetImage == NULL in SOF token processing\n");
    EXPECT_EQ(messages.at(3), "Unable to Find Jpeg image in file");
}

}  // namespace
}  // namespace qk::jpeg::test
