// Shared by the imaging benchmarks: test pictures and the ratio summary.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qk::bench {

// A camera-like scene: gradients, a face-sized disc, a striped patch and
// mild sensor noise, as R, G, B bytes.
std::vector<uint8_t> CameraScene(int width, int height);

// A ratio line of the summary: time of `ours` over time of `anchor`, and
// the target it is held to (0: report only).
void ExpectRatio(const std::string& ours, const std::string& anchor, double target, const std::string& note = "");

}  // namespace qk::bench
