// Driving the driver's property frames from inside their modal loop. The
// window system's headers stay in frame_steps.cpp: their BITMAPINFOHEADER
// and RECT are not the capture structures the driver's tests use.
#pragma once

#include <functional>
#include <string>

namespace k0340vfw::testing {

// Runs `step` from the next frame's own message loop once it is up.
void WhenTheFrameShows(std::function<void()> step);

// The frame (the active window) as the user sees it.
struct FrameSeen {
    long left = -1, top = -1;
    std::u16string caption;
    int tabs = 0;
};
FrameSeen LookAtTheFrame();

// Moves the first slider of the visible control page to the end of its
// range away from `current` (as a drag ends), without pressing a button.
struct SliderMove {
    long minimum = 0, maximum = 0, target = 0;
    bool moved = false;
};
SliderMove MoveTheFirstSlider(long current);

// Chooses the next entry of the format page's size list; the size chosen
// ("WxH") in *width and *height, 0 when there is no choice.
void ChooseTheNextSize(long* width, long* height);

// Presses OK (true) or Cancel (false) in the frame.
void Press(bool ok);

}  // namespace k0340vfw::testing
