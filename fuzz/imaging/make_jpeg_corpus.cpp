// Writes the seed corpus of fuzz_jpeg: small frames of every shape the
// decoder handles, each prefixed with the fuzz target's control byte.
// Build target qk_make_jpeg_corpus, run it with the corpus folder.
#include <cstdio>
#include <string>
#include <vector>

#include "imaging/jpeg/tests/harness.h"

using qk::jpeg::test::EncodeOptions;

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s CORPUS_DIR\n", argv[0]);
        return 2;
    }
    struct Seed {
        const char* name;
        EncodeOptions options;
        uint8_t control;
    };
    const auto with = [](auto change) {
        EncodeOptions o;
        o.width = 24;
        o.height = 16;
        o.quality = 60;
        change(o);
        return o;
    };
    const Seed seeds[] = {
        {"baseline_422_yuy2", with([](EncodeOptions& o) { o.width = 32; }), 4},
        {"baseline_420_rgb_chunked", with([](EncodeOptions& o) { o.sampling = qk::jpeg::test::k420; o.height = 32; }), 0x40},
        {"general_444_odd_uyvy", with([](EncodeOptions& o) { o.sampling = qk::jpeg::test::k444; o.width = 13; o.height = 7; }), 1},
        {"restart_every_mcu_565", with([](EncodeOptions& o) { o.restartMcus = 1; }), 2},
        {"progressive_420_smooth", with([](EncodeOptions& o) { o.progressive = true; o.sampling = qk::jpeg::test::k420; }), 8},
        {"progressive_grey_restart", with([](EncodeOptions& o) { o.progressive = true; o.grey = true; o.restartMcus = 2; }), 3},
        {"optimised_411_xrgb", with([](EncodeOptions& o) { o.optimize = true; o.sampling = {{4, 1, 1}, {1, 1, 1}}; }), 0x23},
        {"sixteen_bit_tables", with([](EncodeOptions& o) { o.forceBaseline = false; o.quality = 2; }), 0x64},
        {"thirds_general_path", with([](EncodeOptions& o) { o.sampling = {{3, 1, 1}, {1, 1, 1}}; }), 0x10},
    };
    for (const auto& seed : seeds) {
        std::vector<uint8_t> bytes = {seed.control};
        const auto jpeg = qk::jpeg::test::Encode(seed.options);
        bytes.insert(bytes.end(), jpeg.begin(), jpeg.end());
        const std::string path = std::string(argv[1]) + "/" + seed.name;
        FILE* f = std::fopen(path.c_str(), "wb");
        if (f == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) return 1;
        std::fclose(f);
    }
    return 0;
}
