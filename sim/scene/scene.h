// A synthetic camera scene with a known face: a skin-coloured head with hair,
// eyes and mouth above a shirt, on a textured background, following a
// scripted path (it moves, stops, leaves and returns). Renders RGB24, YUY2
// and I420 frames at any size and tells where the face is in each frame, so
// that face tracking can be checked against the truth.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qk::sim {

enum class PixelFormat {
    kRgb24,          // B, G, R; first line at the top
    kRgb24BottomUp,  // B, G, R; first line at the bottom (the driver's RGB24)
    kYuy2,
    kI420,           // pitch = width
};

// Bytes of one frame.
size_t FrameBytes(PixelFormat format, int width, int height, int pitch);

// The skin of the face in pixels of the rendered picture (as displayed):
// [x0, x1) x [y0, y1). Not visible when no skin pixel of the face is in the
// picture.
struct FaceBox {
    int x0, y0, x1, y1;
    bool visible;
    int Width() const { return x1 - x0; }
    int Height() const { return y1 - y0; }
};

// A point of the head's path: centre in fractions of the picture's width and
// height, radius (half the head's height) in fractions of the height. The
// head moves in a straight line between keys and rests before the first and
// after the last; a centre far outside the picture makes it leave.
struct HeadKey {
    int frame;
    double centreX, centreY, radius;
};

struct SceneOptions {
    std::vector<HeadKey> path;
    uint32_t seed = 1;
    int noise = 3;                // sensor noise, +- RGB levels
    double backgroundDrift = 0;   // background pan, picture widths per frame
    bool distractor = false;      // a flat skin-coloured board on the left that never moves
};

class Scene {
public:
    explicit Scene(SceneOptions options);

    // The standard script at 30 frames per second (480 frames): still for
    // 1.5 s, moves right for 2 s, still for 3 s, leaves to the right in
    // 1.3 s, absent for 3 s, returns from the left in 2 s, still for 3 s.
    static SceneOptions Standard();
    static constexpr int kStandardFrames = 480;

    // Renders frame `index` into out (FrameBytes(format, width, height, pitch)
    // bytes; widths even for YUY2 and I420) and returns the face's box.
    FaceBox Render(int index, int width, int height, PixelFormat format, uint8_t* out, int pitch) const;
    FaceBox FaceAt(int index, int width, int height) const;

private:
    struct Head {
        double cx, cy, rx, ry;  // pixels
    };
    Head HeadAt(int index, int width, int height) const;
    void RenderRgb(int index, int width, int height, std::vector<uint8_t>& bgr) const;

    SceneOptions options_;
};

}  // namespace qk::sim
