#include "platform/ui/image_reader.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace qk::ui {

namespace {

constexpr int kMaxSide = 4096;  // no resource picture is larger

uint16_t U16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t U32(const uint8_t* p) { return p[0] | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24; }

cairo_surface_t* Fail(std::string* error, const char* why) {
    if (error) *error = why;
    return nullptr;
}

}  // namespace

cairo_surface_t* DecodeDib(std::span<const uint8_t> bytes, bool iconWithMask, std::string* error) {
    if (bytes.size() < 40) return Fail(error, "truncated bitmap header");
    const uint32_t headerSize = U32(&bytes[0]);
    if (headerSize < 40 || headerSize > bytes.size()) return Fail(error, "bad bitmap header size");
    const int32_t width = static_cast<int32_t>(U32(&bytes[4]));
    int32_t height = static_cast<int32_t>(U32(&bytes[8]));
    const uint16_t bits = U16(&bytes[14]);
    const uint32_t compression = U32(&bytes[16]);
    uint32_t colours = U32(&bytes[32]);
    if (compression != 0 && !(compression == 3 && (bits == 32 || bits == 16))) return Fail(error, "compressed bitmaps are not read");
    if (bits != 1 && bits != 4 && bits != 8 && bits != 24 && bits != 32) return Fail(error, "unsupported bits per pixel");
    const bool bottomUp = height > 0;
    if (height == INT32_MIN) return Fail(error, "bad bitmap size");
    height = std::abs(height);
    if (iconWithMask) height /= 2;
    if (width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide) return Fail(error, "bad bitmap size");
    size_t at = headerSize;
    if (compression == 3) at += 12;  // the three colour masks of BI_BITFIELDS
    std::vector<uint32_t> palette;
    if (bits <= 8) {
        if (colours == 0 || colours > (1u << bits)) colours = 1u << bits;
        if (at + size_t{colours} * 4 > bytes.size()) return Fail(error, "truncated colour table");
        for (uint32_t i = 0; i < colours; ++i) {
            const uint8_t* q = &bytes[at + i * 4];
            palette.push_back(0xFF000000u | uint32_t{q[2]} << 16 | uint32_t{q[1]} << 8 | q[0]);
        }
        at += size_t{colours} * 4;
    }
    const size_t stride = ((static_cast<size_t>(width) * bits + 31) / 32) * 4;
    const size_t maskStride = ((static_cast<size_t>(width) + 31) / 32) * 4;
    if (at + stride * height > bytes.size()) return Fail(error, "truncated bitmap rows");
    const bool haveMask = iconWithMask && at + stride * height + maskStride * height <= bytes.size();
    cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
    if (cairo_surface_status(s) != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(s);
        return Fail(error, "no memory for the picture");
    }
    uint8_t* out = cairo_image_surface_get_data(s);
    const int outStride = cairo_image_surface_get_stride(s);
    bool anyAlpha = false;
    for (int y = 0; y < height; ++y) {
        const uint8_t* row = &bytes[at + stride * static_cast<size_t>(bottomUp ? height - 1 - y : y)];
        auto* dst = reinterpret_cast<uint32_t*>(out + static_cast<size_t>(y) * outStride);
        for (int x = 0; x < width; ++x) {
            uint32_t p = 0;
            switch (bits) {
                case 1: p = palette[std::min<size_t>((row[x / 8] >> (7 - x % 8)) & 1, palette.size() - 1)]; break;
                case 4: p = palette[std::min<size_t>((row[x / 2] >> (x % 2 ? 0 : 4)) & 15, palette.size() - 1)]; break;
                case 8: p = palette[std::min<size_t>(row[x], palette.size() - 1)]; break;
                case 24: p = 0xFF000000u | uint32_t{row[x * 3 + 2]} << 16 | uint32_t{row[x * 3 + 1]} << 8 | row[x * 3]; break;
                case 32: p = U32(&row[x * 4]); break;
            }
            if (bits == 32 && (p >> 24)) anyAlpha = true;
            dst[x] = p;
        }
    }
    for (int y = 0; y < height; ++y) {
        auto* dst = reinterpret_cast<uint32_t*>(out + static_cast<size_t>(y) * outStride);
        const uint8_t* mask = haveMask ? &bytes[at + stride * height + maskStride * static_cast<size_t>(bottomUp ? height - 1 - y : y)] : nullptr;
        for (int x = 0; x < width; ++x) {
            uint32_t p = dst[x];
            // 32-bit pictures without any alpha, and all others, are opaque
            // except where an icon's mask is set.
            if (bits == 32 && !anyAlpha) p |= 0xFF000000u;
            if (mask && !(bits == 32 && anyAlpha) && ((mask[x / 8] >> (7 - x % 8)) & 1)) p = 0;
            const uint32_t a = p >> 24;
            if (a != 255) {
                const uint32_t r = ((p >> 16) & 0xFF) * a / 255, g = ((p >> 8) & 0xFF) * a / 255, b = (p & 0xFF) * a / 255;
                p = a << 24 | r << 16 | g << 8 | b;
            }
            dst[x] = p;
        }
    }
    cairo_surface_mark_dirty(s);
    return s;
}

namespace {

struct PngSource {
    std::span<const uint8_t> bytes;
    size_t at = 0;
};

cairo_status_t ReadPng(void* closure, unsigned char* data, unsigned int length) {
    auto* src = static_cast<PngSource*>(closure);
    if (length > src->bytes.size() - src->at) return CAIRO_STATUS_READ_ERROR;
    std::memcpy(data, src->bytes.data() + src->at, length);
    src->at += length;
    return CAIRO_STATUS_SUCCESS;
}

}  // namespace

cairo_surface_t* DecodePng(std::span<const uint8_t> bytes, std::string* error) {
    static const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (bytes.size() < 8 || std::memcmp(bytes.data(), kSignature, 8) != 0) return Fail(error, "not a PNG picture");
    // The IHDR chunk gives the size before anything is decoded.
    if (bytes.size() >= 24) {
        const uint32_t w = uint32_t{bytes[16]} << 24 | uint32_t{bytes[17]} << 16 | uint32_t{bytes[18]} << 8 | bytes[19];
        const uint32_t h = uint32_t{bytes[20]} << 24 | uint32_t{bytes[21]} << 16 | uint32_t{bytes[22]} << 8 | bytes[23];
        if (w == 0 || h == 0 || w > kMaxSide || h > kMaxSide) return Fail(error, "bad PNG picture size");
    }
    PngSource src{bytes};
    cairo_surface_t* s = cairo_image_surface_create_from_png_stream(ReadPng, &src);
    if (cairo_surface_status(s) != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(s);
        return Fail(error, "damaged PNG picture");
    }
    if (cairo_image_surface_get_format(s) != CAIRO_FORMAT_ARGB32) {
        // One format for every piece: opaque pictures are converted.
        cairo_surface_t* argb = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, cairo_image_surface_get_width(s),
                                                           cairo_image_surface_get_height(s));
        cairo_t* cr = cairo_create(argb);
        cairo_set_source_surface(cr, s, 0, 0);
        cairo_paint(cr);
        cairo_destroy(cr);
        cairo_surface_destroy(s);
        s = argb;
    }
    return s;
}

cairo_surface_t* DecodeIconImage(std::span<const uint8_t> bytes, std::string* error) {
    if (bytes.size() >= 8 && bytes[0] == 0x89 && bytes[1] == 'P') return DecodePng(bytes, error);
    return DecodeDib(bytes, true, error);
}

int PickIconFromGroup(std::span<const uint8_t> group, int size) {
    if (group.size() < 6 || U16(&group[0]) != 0 || (U16(&group[2]) != 1 && U16(&group[2]) != 2)) return -1;
    const uint16_t count = U16(&group[4]);
    if (count == 0 || 6 + size_t{count} * 14 > group.size()) return -1;
    int best = -1, bestScore = INT32_MAX;
    for (uint16_t i = 0; i < count; ++i) {
        const uint8_t* e = &group[6 + size_t{i} * 14];
        const int side = e[0] == 0 ? 256 : e[0];
        const int bits = U16(&e[6]);
        // Closest size first, then the most colours.
        const int score = (size == 0 ? 256 - side : std::abs(side - size)) * 64 - std::min(bits, 32);
        if (score < bestScore) {
            bestScore = score;
            best = U16(&e[12]);
        }
    }
    return best;
}

}  // namespace qk::ui
