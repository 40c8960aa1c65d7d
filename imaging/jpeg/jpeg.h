// The capture driver's JPEG frame decoder: one process-wide decoder that
// turns the camera's compressed frames into uncompressed pictures.
//
// Sequential (baseline and extended) and progressive Huffman-coded frames,
// 8-bit samples, one or three components with sampling factors 1 to 4, and
// restart intervals (ITU-T T.81). Lossless, hierarchical and arithmetic-coded
// frames are refused.
//
// The decoder is not re-entrant: the caller serialises every call. A stream
// starts with jpgInit, may be configured with jpgSetOption between frames,
// and then decodes one frame per jpgDecode. Quantisation and Huffman tables
// stay from one frame to the next, so a frame may rely on tables defined by
// an earlier one.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr int JPG_VERSION = 35;

// Result codes of jpgInit, jpgSetOption and jpgDecode.
enum : int {
    JPG_SUCCESS = 0,
    JPG_ERR_DATA = 1,            // no image, lost marker sync, bad table, bad entropy data, bad restart
    JPG_ERR_VERSION = 11,        // jpgInit with another interface version
    JPG_ERR_PRECISION = 12,      // sample precision other than 8
    JPG_ERR_UNSUPPORTED = 14,    // lossless/hierarchical/arithmetic frame or a scan shape not decoded here
    JPG_ERR_IMAGE_REFUSED = 16,  // gpucGetImage said no, or gave no usable destination
    JPG_ERR_OPTION = 17,         // jpgSetOption with an unknown option
    JPG_ERR_NO_MEMORY = 18,      // no memory for a progressive frame's coefficients
};

// Options of jpgSetOption.
enum : uint16_t {
    JPG_OPT_NONE = 0,
    JPG_OPT_OUTPUT_KIND = 1,    // value: one of JPG_KIND_*
    JPG_OPT_FAST_PATH = 2,      // non-zero: fast 4:2:2 and 4:2:0 paths allowed (on after jpgInit)
    JPG_OPT_SCALE_ENABLE = 3,   // scaled-output switches: accepted, no effect
    JPG_OPT_SCALE_EXACT = 4,
    JPG_OPT_MCU_INDEX = 5,      // MCU position index: accepted, no effect
    JPG_OPT_SMOOTH_CHROMA = 6,  // non-zero: RGB output with interpolated chroma
};

// Output kinds: bytes per pixel and byte order written.
enum : int {
    JPG_KIND_RGB24 = 0,   // 3: B, G, R
    JPG_KIND_UYVY = 1,    // 2: U, Y0, V, Y1
    JPG_KIND_RGB565 = 2,  // 2: little-endian R5 G6 B5
    JPG_KIND_XRGB = 3,    // 4: 0, R, G, B
    JPG_KIND_YUY2 = 4,    // 2: Y0, U, Y1, V
};

// Input: called whenever the current chunk is used up. Sets the next chunk's
// address and length and returns non-zero when that chunk is the last one.
// A call that delivers no bytes ends the input.
typedef int (*JPG_GET_DATA)(const uint8_t** chunk, uint32_t* length);

// Destination: called once per frame with the decoded size (for two-byte
// kinds an odd width is reduced by one). Returns non-zero and sets the
// address of the top line and the line pitch in bytes, or zero to refuse the
// frame. The destination must hold pitch * height bytes; a pitch shorter than
// a line of the decoded width refuses the frame.
typedef int (*JPG_GET_IMAGE)(uint8_t** destination, uint16_t* pitch, int width, int height);

// Progress of the general sequential path: (0, MCU rows) before the first
// row, (1, percent) before each MCU row, (2, 100) at the end. Returning zero
// for a row stops the decode (the frame then counts as decoded).
typedef int (*JPG_PROGRESS)(int stage, int value);

int jpgInit(int version, JPG_PROGRESS progress);
int jpgSetOption(uint16_t option, int value);
int jpgDecode(JPG_GET_IMAGE gpucGetImage, JPG_GET_DATA gpucGetData);

// Diagnostics: every message is formatted (at most 511 characters) and handed
// to the sink; with no sink (the default) messages are discarded.
typedef void (*JPG_LOG_SINK)(const char* message);
void jpgSetLogSink(JPG_LOG_SINK sink);

// Non-zero: the picture's first line goes to the destination's last line, so
// a bottom-up picture (RGB24 samples) needs no flip afterwards. Off after
// jpgInit; the same bytes as a top-down decode flipped.
void jpgSetBottomUp(int bottomUp);

// Memory for progressive frames' coefficients, freed before jpgDecode
// returns. With null hooks (the default) the standard library's.
typedef void* (*JPG_ALLOCATE)(size_t bytes);
typedef void (*JPG_RELEASE)(void* block);
void jpgSetMemoryHooks(JPG_ALLOCATE allocate, JPG_RELEASE release);
