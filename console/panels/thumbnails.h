// Effect thumbnails for the video effects panel: the picture format chosen
// from a file's extension, and a picture in memory decoded and stretched
// into a square of 0x00RRGGBB pixels. No window headers here: the decoder's
// own header declares bitmap structures of the same names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace k0340cvw {

// The picture format numbers the effects engine's files are told apart by
// (1 bmp, 2 gif, 3 jpeg, 4 png, 5 ico, 6 tiff, 7 tga, 8 pcx, 9 wbmp,
// 10 wmf/emf, 11 jp2, 12 j2k, 13 pgx, 14 pnm, 15 ras); 0 for any other
// extension. Letter case aside.
int ThumbnailFormat(const std::string& path);

inline constexpr int kThumbnailSide = 48;

// Decodes `bytes` as picture format `format` and stretches it (nearest
// pixel, as a plain copy does) into side × side pixels, rows top to bottom.
// False, with `pixels` untouched, when the format is 0, the decoder has no
// reader for it, or the bytes are not a valid picture of that format.
bool DecodeThumbnail(int format, const uint8_t* bytes, size_t size, int side, std::vector<uint32_t>* pixels);

}  // namespace k0340cvw
