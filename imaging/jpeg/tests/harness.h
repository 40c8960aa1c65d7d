// Test support: a synthetic scene, an encoder and a reference decoder built
// on libjpeg-turbo, and a driver that runs our decoder as the capture pin
// does (callbacks, chunks, a sentinel-filled destination).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qk::jpeg::test {

struct Sampling {
    int h[3];
    int v[3];
};
inline constexpr Sampling k444{{1, 1, 1}, {1, 1, 1}};
inline constexpr Sampling k422{{2, 1, 1}, {1, 1, 1}};
inline constexpr Sampling k420{{2, 1, 1}, {2, 1, 1}};

struct EncodeOptions {
    int width = 64, height = 48;
    int quality = 85;
    bool grey = false;
    Sampling sampling = k422;
    bool progressive = false;
    bool separateScans = false;  // progressive with a DC scan per component and split AC bands
    int restartMcus = 0;     // restart interval in MCUs
    bool optimize = false;   // optimised Huffman tables instead of the standard ones
    bool forceBaseline = true;  // false allows 16-bit quantisation tables at low quality
    int seed = 1;
};

// R, G, B bytes (grey: one byte) of a scene with gradients, edges, texture
// and a little noise.
std::vector<uint8_t> Scene(int width, int height, int channels, int seed);
std::vector<uint8_t> Encode(const EncodeOptions& options);
std::vector<uint8_t> EncodePixels(const std::vector<uint8_t>& pixels, const EncodeOptions& options);

// libjpeg-turbo's decode with the accurate integer IDCT and chroma repeated
// (not interpolated): Y, Cb, Cr per pixel (grey: Y only).
struct Reference {
    int width = 0, height = 0, channels = 0;
    std::vector<uint8_t> samples;
};
Reference DecodeReference(const std::vector<uint8_t>& jpeg);

struct DecodeOptions {
    int kind = 0;
    bool fastPath = true;
    bool smooth = false;
    std::vector<size_t> chunks;  // chunk sizes before the rest; empty: one final chunk
    int extraPitch = 6;          // bytes of padding after each line (kept as sentinels)
    bool refuse = false;         // gpucGetImage says no
    bool progress = false;       // pass a progress callback
    int stopAtRow = -1;          // progress callback refuses this MCU row
    bool bottomUp = false;       // decoded bottom-up; `pixels` still lists the lines top first
};

struct Decoded {
    int result = -1;
    int width = 0, height = 0, imageCalls = 0;
    int bytesPerPixel = 0;
    std::vector<uint8_t> pixels;  // width * bpp per line, padding removed
    bool paddingIntact = true;    // no byte written outside the lines
    std::vector<std::string> messages;
    std::vector<std::pair<int, int>> progress;
    size_t dataCalls = 0;
};
Decoded Decode(const std::vector<uint8_t>& jpeg, const DecodeOptions& options = {});

inline constexpr uint8_t kSentinel = 0xA7;

// Byte offsets of every marker with the given code, scanning segments.
std::vector<size_t> FindMarkers(const std::vector<uint8_t>& jpeg, uint8_t code);
// The stream without the segments of the given marker code.
std::vector<uint8_t> WithoutSegments(const std::vector<uint8_t>& jpeg, uint8_t code);

}  // namespace qk::jpeg::test
