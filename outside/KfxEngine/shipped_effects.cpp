// The effects the engine ships, with their thumbnails' file names; shared by
// the engine and the build step that draws the thumbnails.
#include "outside/KfxEngine/catalogue.h"

namespace kfx {
namespace {

constexpr ShippedEffect kShipped[] = {
    {u"Colour", u"Sepia", FrameEffect::Sepia, "Colour\\Sepia.png"},
    {u"Colour", u"Negative", FrameEffect::Negative, "Colour\\Negative.bmp"},
    {u"Colour", u"Black and White", FrameEffect::Grey, "Colour\\BlackWhite.jpg"},
    {u"Frames", u"Oval", FrameEffect::Oval, "Frames\\Oval.gif"},
    {u"Frames", u"Film", FrameEffect::Film, "Frames\\Film.tif"},
    {u"Fun", u"Mosaic", FrameEffect::Mosaic, "Fun\\Mosaic.tga"},
    {u"Fun", u"Mirror", FrameEffect::Mirror, "Fun\\Mirror.ppm"},
    {u"Fun", u"Thermal", FrameEffect::Thermal, "Fun\\Thermal.ico"},
    // Its picture is in the engine's own format, which no viewer reads.
    {u"Fun", u"Sketch", FrameEffect::Sketch, "Fun\\Sketch.kfp"},
};

}  // namespace

std::span<const ShippedEffect> ShippedEffects() { return kShipped; }

}  // namespace kfx
