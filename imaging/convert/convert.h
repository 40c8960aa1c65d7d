// Pixel-format conversion, nearest-neighbour resize and top-to-bottom flip
// between the three uncompressed formats the capture driver delivers.
//
// Plain C-style routines: the capture pin, the substitute pictures and the
// effects library call them with raw pointers, sizes in pixels and pitches in
// bytes. Images are processed in memory order (first line first). None of
// them allocates or keeps state; all colour arithmetic is integer.
//
// Every routine checks its parameters before it touches memory and writes
// nothing when a check fails. A buffer is assumed to hold exactly what its
// size and pitch describe:
//   RGB24  pitch * height bytes, lines of 3 * width bytes (B, G, R);
//   YUY2   pitch * height bytes, lines of 2 * width bytes (Y0, U, Y1, V);
//   I420   width * height luma bytes, then (width / 2) * (height / 2) bytes
//          of U and as many of V; planes tightly packed.
// When width or height is odd, the I420 chroma planes cover the even part
// (their sizes are rounded down), so the last column or line has luma only.
#pragma once

#include <cstddef>
#include <cstdint>

#include "imaging/convert/colour_tables.h"

// Effects media-type codes, shared with the effects library.
enum : int {
    MT_RGB24 = 100,  // packed B, G, R; any pitch
    MT_I420 = 101,   // planar Y, U, V; pitch = width
    MT_YUY2 = 102,   // packed Y0, U, Y1, V; any pitch
};

// Result codes, shared with the effects library (which adds its own).
enum : int {
    IMG_SUCCESS = 0,
    IMG_UNKNOWN_MEDIA_TYPE = 11,  // FlipTopBottom only
    IMG_INVALID_PARAM = 12,       // null pointer, non-positive size, pitch shorter than a line, odd pair width
    IMG_PITCH_NOT_WIDTH = 15,     // I420 resize with a pitch other than the width
};

// Copies src to dst with the line order reversed. RGB24 and YUY2 copy whole
// lines of pitch bytes; I420 reverses each of its three planes. dst may be src
// itself (the lines are swapped in place); other overlaps are not supported.
// Width or height of 0 copies nothing.
int FlipTopBottom(uint8_t* dst, const uint8_t* src, int width, int height, int pitch, int mediaType);

// RGB24 lines (srcPitch apart) to a tightly packed I420 picture.
int ConvertRgb24ToI420(uint8_t* dst, const uint8_t* src, int width, int height, int srcPitch);

// RGB24 to YUY2; width must be even.
int ConvertRgb24ToYuy2(uint8_t* dst, int dstPitch, const uint8_t* src, int width, int height, int srcPitch);

// YUY2 to I420: luma copied, chroma of each line pair averaged (a + b) >> 1.
// Width must be even.
int ConvertYuy2ToI420(uint8_t* dst, const uint8_t* src, int width, int height, int srcPitch);

// Contiguous YUY2 lines (2 * width bytes each) to RGB24 lines dstPitch apart,
// through the shared colour tables. Width must be even.
int ConvertYuy2ToRgb24(uint8_t* dst, int dstPitch, const uint8_t* src, int width, int height);

// Nearest-neighbour resize in one media type. An unknown media type does
// nothing and succeeds. YUY2 needs even widths; I420 needs pitch = width
// (else IMG_PITCH_NOT_WIDTH) and, when the destination has chroma planes, a
// source of at least 2 x 2 pixels.
int ResizeNearest(uint8_t* dst, int dstWidth, int dstHeight, int dstPitch, const uint8_t* src, int srcWidth,
                  int srcHeight, int srcPitch, int mediaType);

// Nearest-neighbour resize of YUY2 into a tightly packed I420 picture:
// exactly the bytes of ResizeNearest in YUY2 to dstWidth x dstHeight followed
// by ConvertYuy2ToI420, with the same parameter checks, but it reads only the
// source lines and bytes it samples and writes nothing in between. Widths
// must be even.
int ResizeYuy2ToI420(uint8_t* dst, int dstWidth, int dstHeight, const uint8_t* src, int srcWidth, int srcHeight,
                     int srcPitch);

// Nearest-neighbour resize of I420 into I420 that takes its chroma as
// ResizeYuy2ToI420 does: exactly the bytes of ResizeYuy2ToI420 on the YUY2
// picture whose line pairs share the I420 chroma samples of their pair (U of
// a pixel pair from its first pixel's chroma column, V from its second
// pixel's, each the mean (a + b) >> 1 over the two source lines that the
// output line pair samples). Luma is the ResizeNearest luma. Both pictures
// are tightly packed; widths must be even and the source at least 2 x 2.
int ResizeI420AsYuy2(uint8_t* dst, int dstWidth, int dstHeight, const uint8_t* src, int srcWidth, int srcHeight);

