#include "imaging/jpeg/tests/harness.h"

#include <gtest/gtest.h>

#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <jpeglib.h>
#include <random>

#include "imaging/jpeg/jpeg.h"

namespace qk::jpeg::test {

std::vector<uint8_t> Scene(int width, int height, int channels, int seed) {
    std::mt19937 rng(uint32_t(seed) * 7919u + 17u);
    std::uniform_int_distribution<int> noise(-6, 6);
    std::vector<uint8_t> out(size_t(width) * height * channels);
    const double cx = width * 0.4, cy = height * 0.55, radius = std::min(width, height) * 0.3;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const double dx = x - cx, dy = y - cy;
            const bool inside = dx * dx + dy * dy < radius * radius;
            const bool stripe = ((x / 3) + (y / 5)) % 2 == 0 && x > width * 0.7;
            double r = 40 + 180.0 * x / std::max(1, width - 1);
            double g = 30 + 190.0 * y / std::max(1, height - 1);
            double b = 120 + 90 * std::sin(x * 0.11 + seed) * std::cos(y * 0.07);
            if (inside) {
                r = 220;
                g = 170 + 30 * std::sin(x * 0.5);
                b = 130;
            }
            if (stripe) r = g = b = (x + y) % 7 < 3 ? 250 : 10;
            uint8_t* p = &out[(size_t(y) * width + x) * channels];
            const auto put = [&](double value) { return uint8_t(std::clamp(int(value) + noise(rng), 0, 255)); };
            if (channels == 1) {
                p[0] = put(0.3 * r + 0.59 * g + 0.11 * b);
            } else {
                p[0] = put(r);
                p[1] = put(g);
                p[2] = put(b);
            }
        }
    }
    return out;
}

std::vector<uint8_t> EncodePixels(const std::vector<uint8_t>& pixels, const EncodeOptions& o) {
    jpeg_compress_struct cinfo{};
    jpeg_error_mgr jerr{};
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &buffer, &size);
    cinfo.image_width = JDIMENSION(o.width);
    cinfo.image_height = JDIMENSION(o.height);
    cinfo.input_components = o.grey ? 1 : 3;
    cinfo.in_color_space = o.grey ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, o.quality, o.forceBaseline ? TRUE : FALSE);
    if (!o.grey) {
        for (int i = 0; i < 3; ++i) {
            cinfo.comp_info[i].h_samp_factor = o.sampling.h[i];
            cinfo.comp_info[i].v_samp_factor = o.sampling.v[i];
        }
    }
    cinfo.dct_method = JDCT_ISLOW;
    cinfo.optimize_coding = o.optimize ? TRUE : FALSE;
    cinfo.restart_interval = unsigned(o.restartMcus);
    if (o.progressive) jpeg_simple_progression(&cinfo);
    // Single-component DC scans, split spectral bands and refinements of
    // every kind: the shapes jpeg_simple_progression does not produce.
    static const jpeg_scan_info kSeparate[] = {
        {1, {0}, 0, 0, 0, 1},  {1, {1}, 0, 0, 0, 0},  {1, {2}, 0, 0, 0, 0},  {1, {0}, 1, 5, 0, 2},
        {1, {2}, 1, 63, 0, 1}, {1, {1}, 1, 63, 0, 1}, {1, {0}, 6, 63, 0, 2}, {1, {0}, 1, 63, 2, 1},
        {1, {0}, 0, 0, 1, 0},  {1, {2}, 1, 63, 1, 0}, {1, {1}, 1, 63, 1, 0}, {1, {0}, 1, 63, 1, 0},
    };
    if (o.separateScans && !o.grey) {
        cinfo.scan_info = kSeparate;
        cinfo.num_scans = int(sizeof kSeparate / sizeof kSeparate[0]);
    }
    jpeg_start_compress(&cinfo, TRUE);
    const int channels = o.grey ? 1 : 3;
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(&pixels[size_t(cinfo.next_scanline) * o.width * channels]);
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    std::vector<uint8_t> out(buffer, buffer + size);
    std::free(buffer);
    return out;
}

std::vector<uint8_t> Encode(const EncodeOptions& o) {
    return EncodePixels(Scene(o.width, o.height, o.grey ? 1 : 3, o.seed), o);
}

Reference DecodeReference(const std::vector<uint8_t>& jpeg) {
    jpeg_decompress_struct cinfo{};
    jpeg_error_mgr jerr{};
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
    jpeg_read_header(&cinfo, TRUE);
    cinfo.out_color_space = cinfo.num_components == 1 ? JCS_GRAYSCALE : JCS_YCbCr;
    cinfo.dct_method = JDCT_ISLOW;
    cinfo.do_fancy_upsampling = FALSE;
    jpeg_start_decompress(&cinfo);
    Reference ref;
    ref.width = int(cinfo.output_width);
    ref.height = int(cinfo.output_height);
    ref.channels = cinfo.output_components;
    ref.samples.resize(size_t(ref.width) * ref.height * ref.channels);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = &ref.samples[size_t(cinfo.output_scanline) * ref.width * ref.channels];
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return ref;
}

namespace {

// The callbacks have no context argument (the decoder is single-instance),
// so the run in progress is reached through this pointer.
struct Run {
    const std::vector<uint8_t>* jpeg;
    const DecodeOptions* options;
    size_t offset = 0, chunkIndex = 0;
    std::vector<uint8_t> destination;
    int pitch = 0;
    Decoded* out;
};
Run* g_run = nullptr;

int GetData(const uint8_t** chunk, uint32_t* length) {
    Run& run = *g_run;
    ++run.out->dataCalls;
    const auto& sizes = run.options->chunks;
    size_t n = run.jpeg->size() - run.offset;
    bool last = true;
    if (run.chunkIndex < sizes.size()) {
        n = std::min(n, sizes[run.chunkIndex++]);
        last = run.offset + n == run.jpeg->size();
    }
    *chunk = run.jpeg->data() + run.offset;
    *length = uint32_t(n);
    run.offset += n;
    return last ? 1 : 0;
}

int GetImage(uint8_t** destination, uint16_t* pitch, int width, int height) {
    Run& run = *g_run;
    Decoded& d = *run.out;
    ++d.imageCalls;
    d.width = width;
    d.height = height;
    if (run.options->refuse) return 0;
    run.pitch = width * d.bytesPerPixel + run.options->extraPitch;
    run.destination.assign(size_t(run.pitch) * height + 64, kSentinel);
    *destination = run.destination.data();
    *pitch = uint16_t(run.pitch);
    return 1;
}

int Progress(int stage, int value) {
    Run& run = *g_run;
    run.out->progress.emplace_back(stage, value);
    return !(stage == 1 && run.options->stopAtRow >= 0 && int(run.out->progress.size()) - 2 == run.options->stopAtRow);
}

void Sink(const char* message) { g_run->out->messages.emplace_back(message); }

}  // namespace

Decoded Decode(const std::vector<uint8_t>& jpeg, const DecodeOptions& options) {
    Decoded d;
    Run run{&jpeg, &options, 0, 0, {}, 0, &d};
    g_run = &run;
    jpgSetLogSink(Sink);
    EXPECT_EQ(jpgInit(JPG_VERSION, options.progress ? Progress : nullptr), JPG_SUCCESS);
    EXPECT_EQ(jpgSetOption(JPG_OPT_OUTPUT_KIND, options.kind), JPG_SUCCESS);
    EXPECT_EQ(jpgSetOption(JPG_OPT_FAST_PATH, options.fastPath), JPG_SUCCESS);
    EXPECT_EQ(jpgSetOption(JPG_OPT_SMOOTH_CHROMA, options.smooth), JPG_SUCCESS);
    jpgSetBottomUp(options.bottomUp);
    static constexpr int kBytes[] = {3, 2, 2, 4, 2};
    d.bytesPerPixel = kBytes[options.kind];
    d.result = jpgDecode(GetImage, GetData);
    jpgSetLogSink(nullptr);
    g_run = nullptr;
    if (!run.destination.empty()) {
        const size_t line = size_t(d.width) * d.bytesPerPixel;
        d.pixels.reserve(line * d.height);
        for (int y = 0; y < d.height; ++y) {
            const int row = options.bottomUp ? d.height - 1 - y : y;
            const uint8_t* at = &run.destination[size_t(row) * run.pitch];
            d.pixels.insert(d.pixels.end(), at, at + line);
            for (size_t i = line; i < size_t(run.pitch); ++i) d.paddingIntact = d.paddingIntact && at[i] == kSentinel;
        }
        for (size_t i = size_t(run.pitch) * d.height; i < run.destination.size(); ++i) {
            d.paddingIntact = d.paddingIntact && run.destination[i] == kSentinel;
        }
    }
    return d;
}

std::vector<size_t> FindMarkers(const std::vector<uint8_t>& jpeg, uint8_t code) {
    std::vector<size_t> found;
    for (size_t i = 0; i + 1 < jpeg.size(); ++i) {
        if (jpeg[i] == 0xFF && jpeg[i + 1] == code) found.push_back(i);
    }
    return found;
}

std::vector<uint8_t> WithoutSegments(const std::vector<uint8_t>& jpeg, uint8_t code) {
    std::vector<uint8_t> out(jpeg.begin(), jpeg.begin() + 2);  // SOI
    size_t i = 2;
    while (i + 4 <= jpeg.size()) {
        const uint8_t marker = jpeg[i + 1];
        const size_t length = size_t(jpeg[i + 2]) << 8 | jpeg[i + 3];
        if (marker == 0xDA) break;  // the scan and everything after it is kept
        if (marker != code) out.insert(out.end(), jpeg.begin() + i, jpeg.begin() + i + 2 + length);
        i += 2 + length;
    }
    out.insert(out.end(), jpeg.begin() + i, jpeg.end());
    return out;
}

}  // namespace qk::jpeg::test
