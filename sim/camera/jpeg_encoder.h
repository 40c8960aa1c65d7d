// The camera's MJPEG encoder (baseline JPEG through the classic libjpeg API,
// which lets the camera choose sampling, restart intervals and whether the
// Huffman tables go into the frame).
#pragma once

#include <cstdint>
#include <vector>

#include "sim/camera/camera_config.h"

namespace qk::sim {

// Encodes an RGB24 picture (R, G, B; first line at the top). With
// `huffmanTables` false the frame has no DHT segment and relies on the
// standard tables (ITU-T T.81 K.3), as motion-JPEG frames do.
std::vector<uint8_t> EncodeJpeg(const uint8_t* rgb, int width, int height, const MjpegOptions& options,
                                bool huffmanTables);

}  // namespace qk::sim
