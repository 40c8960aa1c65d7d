// Thumbnails through FreeImage, from memory: the panel reads the file with
// the system's file calls (its paths are the machine's) and hands the bytes
// here. This file includes no window header (see thumbnails.h).
#include "console/panels/thumbnails.h"

#include <FreeImage.h>

#include <algorithm>
#include <cstdio>
#include <mutex>

namespace k0340cvw {
namespace {

struct Extension {
    const char* name;
    int format;
};
constexpr Extension kExtensions[] = {
    {"bmp", 1},  {"gif", 2},  {"jpg", 3},  {"jpeg", 3}, {"png", 4},  {"ico", 5},  {"tif", 6},  {"tiff", 6},
    {"tga", 7},  {"pcx", 8},  {"wbmp", 9}, {"wmf", 10}, {"emf", 10}, {"j2k", 12}, {"jp2", 11}, {"j2c", 12},
    {"jpc", 12}, {"pgx", 13}, {"pnm", 14}, {"pgm", 14}, {"ppm", 14}, {"ras", 15},
};

// The decoder's reader for a format number; FIF_UNKNOWN where it has none
// (metafiles, PGX). PNM-family files say which of their kinds they are in
// their first bytes.
FREE_IMAGE_FORMAT ReaderOf(int format, FIMEMORY* memory) {
    switch (format) {
    case 1: return FIF_BMP;
    case 2: return FIF_GIF;
    case 3: return FIF_JPEG;
    case 4: return FIF_PNG;
    case 5: return FIF_ICO;
    case 6: return FIF_TIFF;
    case 7: return FIF_TARGA;
    case 8: return FIF_PCX;
    case 9: return FIF_WBMP;
    case 11: return FIF_JP2;
    case 12: return FIF_J2K;
    case 14: {
        const FREE_IMAGE_FORMAT kind = FreeImage_GetFileTypeFromMemory(memory, 0);
        return kind == FIF_PBM || kind == FIF_PBMRAW || kind == FIF_PGM || kind == FIF_PGMRAW || kind == FIF_PPM ||
                       kind == FIF_PPMRAW
                   ? kind
                   : FIF_UNKNOWN;
    }
    case 15: return FIF_RAS;
    default: return FIF_UNKNOWN;
    }
}

// A thumbnail is a small picture: a header that promises more than this is
// refused before any pixel is decoded (a few bytes could otherwise ask for
// gigabytes). Readers that cannot read a header alone get the size from
// the format's own header here.
constexpr unsigned kLargestSide = 4096;

uint32_t BigEndian(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

// The picture size from the header, for the readers that cannot read a
// header alone; false when the header is not there or not readable.
bool HeaderSize(FREE_IMAGE_FORMAT reader, const uint8_t* b, size_t size, uint64_t* width, uint64_t* height,
                uint64_t* planes) {
    *planes = 1;
    switch (reader) {
    case FIF_GIF: {
        // The logical screen and every image in the file: the reader
        // allocates each image as large as its descriptor says.
        if (size < 13) return false;
        *width = b[6] | b[7] << 8;
        *height = b[8] | b[9] << 8;
        size_t at = 13 + ((b[10] & 0x80) ? 3u * (2u << (b[10] & 7)) : 0u);
        // Data sub-blocks: a length byte each, a zero length ends them.
        const auto skipBlocks = [&] {
            while (at < size && b[at] != 0) at += 1 + b[at];
            ++at;
        };
        while (at < size && b[at] != 0x3B) {
            if (b[at] == 0x21) {  // an extension: its label, then its blocks
                at += 2;
                skipBlocks();
            } else if (b[at] == 0x2C) {  // an image: its descriptor, colours, code size and blocks
                if (at + 10 > size) break;
                const uint64_t w = b[at + 5] | b[at + 6] << 8, h = b[at + 7] | b[at + 8] << 8;
                *width = std::max(*width, w);
                *height = std::max(*height, h);
                const uint8_t flags = b[at + 9];
                at += 10 + ((flags & 0x80) ? 3u * (2u << (flags & 7)) : 0u) + 1;
                skipBlocks();
            } else {
                break;  // not a block the reader takes either
            }
        }
        return true;
    }
    case FIF_WBMP: {  // type 0, a plain fixed header, then two variable-length numbers
        if (size < 3 || b[0] != 0 || (b[1] & 0x80) != 0) return false;
        size_t at = 2;
        uint64_t* out[2] = {width, height};
        for (uint64_t* v : out) {
            *v = 0;
            for (int n = 0;; ++n) {
                if (at >= size || n == 5) return false;
                *v = *v << 7 | (b[at] & 0x7F);
                if ((b[at++] & 0x80) == 0) break;
            }
        }
        return true;
    }
    case FIF_J2K:
    case FIF_JP2:  // the code stream's SIZ segment, inside a JP2 file's boxes
        for (size_t at = 0; at + 40 <= size; ++at) {
            if (b[at] == 0xFF && b[at + 1] == 0x4F && b[at + 2] == 0xFF && b[at + 3] == 0x51) {
                const uint8_t* siz = b + at + 4;
                const uint32_t xs = BigEndian(siz + 4), ys = BigEndian(siz + 8);
                const uint32_t xo = BigEndian(siz + 12), yo = BigEndian(siz + 16);
                if (xo > xs || yo > ys) return false;
                *width = xs - xo;
                *height = ys - yo;
                *planes = uint64_t(siz[34]) << 8 | siz[35];
                return true;
            }
        }
        return false;
    default: return false;
    }
}

bool Reasonable(FREE_IMAGE_FORMAT reader, FIMEMORY* memory) {
    if (!FreeImage_FIFSupportsNoPixels(reader)) {
        BYTE* data = nullptr;
        DWORD size = 0;
        uint64_t width = 0, height = 0, planes = 0;
        return FreeImage_AcquireMemory(memory, &data, &size) &&
               HeaderSize(reader, data, size, &width, &height, &planes) && width <= kLargestSide &&
               height <= kLargestSide && planes <= 4;
    }
    FreeImage_SeekMemory(memory, 0, SEEK_SET);
    FIBITMAP* header = FreeImage_LoadFromMemory(reader, memory, FIF_LOAD_NOPIXELS);
    if (header == nullptr) return false;
    const bool ok = FreeImage_GetWidth(header) <= kLargestSide && FreeImage_GetHeight(header) <= kLargestSide;
    FreeImage_Unload(header);
    return ok;
}

void Initialise() {
    static std::once_flag once;
    std::call_once(once, [] { FreeImage_Initialise(FALSE); });
}

}  // namespace

int ThumbnailFormat(const std::string& path) {
    const auto dot = path.find_last_of('.');
    const auto slash = path.find_last_of("\\/");
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return 0;
    std::string extension = path.substr(dot + 1);
    for (char& c : extension) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    for (const auto& e : kExtensions) {
        if (extension == e.name) return e.format;
    }
    return 0;
}

bool DecodeThumbnail(int format, const uint8_t* bytes, size_t size, int side, std::vector<uint32_t>* pixels) {
    if (format == 0 || bytes == nullptr || size == 0 || size > 0x7FFFFFFF || side <= 0) return false;
    Initialise();
    FIMEMORY* memory = FreeImage_OpenMemory(const_cast<BYTE*>(bytes), static_cast<DWORD>(size));
    if (memory == nullptr) return false;
    bool ok = false;
    const FREE_IMAGE_FORMAT reader = ReaderOf(format, memory);
    if (reader != FIF_UNKNOWN && FreeImage_FIFSupportsReading(reader) && Reasonable(reader, memory)) {
        FreeImage_SeekMemory(memory, 0, SEEK_SET);
        if (FIBITMAP* picture = FreeImage_LoadFromMemory(reader, memory, 0)) {
            const bool small = FreeImage_GetWidth(picture) <= kLargestSide && FreeImage_GetHeight(picture) <= kLargestSide;
            FIBITMAP* rgba = small && FreeImage_HasPixels(picture) ? FreeImage_ConvertTo32Bits(picture) : nullptr;
            const unsigned width = rgba ? FreeImage_GetWidth(rgba) : 0, height = rgba ? FreeImage_GetHeight(rgba) : 0;
            if (width > 0 && height > 0) {
                std::vector<uint32_t> out(static_cast<size_t>(side) * side);
                for (int y = 0; y < side; ++y) {
                    // The decoder keeps rows bottom to top.
                    const unsigned sourceRow = height - 1 - static_cast<unsigned>(uint64_t(y) * height / side);
                    const BYTE* row = FreeImage_GetScanLine(rgba, static_cast<int>(sourceRow));
                    for (int x = 0; x < side; ++x) {
                        const BYTE* p = row + 4 * (uint64_t(x) * width / side);
                        out[static_cast<size_t>(y) * side + x] =
                            uint32_t(p[FI_RGBA_RED]) << 16 | uint32_t(p[FI_RGBA_GREEN]) << 8 | p[FI_RGBA_BLUE];
                    }
                }
                pixels->swap(out);
                ok = true;
            }
            if (rgba != nullptr) FreeImage_Unload(rgba);
            FreeImage_Unload(picture);
        }
    }
    FreeImage_CloseMemory(memory);
    return ok;
}

}  // namespace k0340cvw
