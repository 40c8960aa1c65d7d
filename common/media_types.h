// Codes several deliverables share for pictures and formats.
#pragma once

namespace qk::media {

// Effects media-type codes of the image-processing routines.
enum EffectsMediaType : int {
    kMediaRgb24 = 100,  // bytes B, G, R; bottom-up frames
    kMediaI420 = 101,   // planar Y, U, V
    kMediaYuy2 = 102,   // packed Y0, U, Y1, V
};

// Output format index of the capture pin.
enum OutputFormatIndex : int {
    kOutputRgb24 = 0,
    kOutputI420 = 1,
    kOutputYuy2 = 2,
    kOutputYv12 = 3,
    kOutputMjpg = 4,
};

}  // namespace qk::media
