// The engine's picture effects on 24-bit pictures in the platform's byte
// order (blue, green, red), rows `pitch` bytes apart. They make the
// thumbnails the engine shows, from a photograph.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace kfx {

enum class FrameEffect { Sepia, Negative, Grey, Oval, Film, Mosaic, Mirror, Thermal, Sketch };

std::optional<FrameEffect> FrameEffectNamed(std::string_view name);
const char* FrameEffectName(FrameEffect effect);

void ApplyFrameEffect(FrameEffect effect, uint8_t* pixels, int width, int height, ptrdiff_t pitch);

}  // namespace kfx
