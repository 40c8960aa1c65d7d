// A writer of uncompressed 24-bit Windows bitmaps, the form the capture
// driver reads its substitute pictures in: a 14-byte file header, a 40-byte
// info header, no palette, then B, G, R rows from the bottom up, each padded
// to a multiple of four bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qk::artwork {

// The file for a picture given as 32-bit pixels 0x00RRGGBB (Cairo's RGB24
// image format), `stride` bytes a row, rows from the top.
std::vector<uint8_t> EncodeBmp24(const uint8_t* pixels, int width, int height, int stride);

// Writes the bytes to `path`; false with a message on failure.
bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes, std::string* error);

}  // namespace qk::artwork
