// Thumbnails through FreeImage, from memory: the panel reads the file with
// the system's file calls (its paths are the machine's) and hands the bytes
// here. This file includes no window header (see thumbnails.h).
#include "console/panels/thumbnails.h"

#include <FreeImage.h>

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
    if (reader != FIF_UNKNOWN && FreeImage_FIFSupportsReading(reader)) {
        if (FIBITMAP* picture = FreeImage_LoadFromMemory(reader, memory, 0)) {
            FIBITMAP* rgba = FreeImage_HasPixels(picture) ? FreeImage_ConvertTo32Bits(picture) : nullptr;
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
