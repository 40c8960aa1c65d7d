// Pictures as the resource compiler stores them: device-independent
// bitmaps (a BITMAPINFOHEADER, a colour table for 1, 4 and 8 bits a pixel,
// bottom-up rows padded to four bytes; RT_BITMAP), icon images (the same
// with a doubled height: the colour rows, then a 1-bit AND mask; or a whole
// PNG file) and icon group directories (RT_GROUP_ICON). Every read is
// bounded by the data given: a damaged picture yields nothing.
#pragma once

#include <cairo.h>

#include <cstdint>
#include <span>
#include <string>

namespace qk::ui {

// A new ARGB32 surface (premultiplied alpha), or null with a reason.
cairo_surface_t* DecodeDib(std::span<const uint8_t> bytes, bool iconWithMask, std::string* error);
cairo_surface_t* DecodePng(std::span<const uint8_t> bytes, std::string* error);
cairo_surface_t* DecodeIconImage(std::span<const uint8_t> bytes, std::string* error);

// The RT_ICON identifier of the group's entry closest to `size` pixels
// (the largest for 0), or -1 for a damaged directory.
int PickIconFromGroup(std::span<const uint8_t> group, int size);

}  // namespace qk::ui
