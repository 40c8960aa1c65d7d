// Presentation of top-level windows: every top-level window is drawn into
// its own surface, which can be saved as PNG at any time (headless, the
// default); input arrives here as the events a desktop would deliver.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "winuser.h"

namespace qk::ui {

// Runs the pending paints of the window's top-level window (and its frame),
// so that its surface shows the current state.
void RenderWindow(HWND hwnd);

// The picture of a window (its part of its top-level surface) as 0x00RRGGBB
// pixels, rows top to bottom; empty for a handle that is not a window.
struct Picture {
    int width = 0;
    int height = 0;
    std::vector<uint32_t> pixels;
    uint32_t At(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }
};
Picture CaptureWindow(HWND hwnd);

// Renders and writes the window as a PNG file; false with a reason on failure.
bool SaveWindowPng(HWND hwnd, const std::string& path, std::string* error);

// A part of the screen as a display shows it: the visible top-level windows
// (with their shapes) over one another in their order, on the desktop's
// colour. Popups such as dropped lists and tooltips appear here, over the
// windows they belong to.
Picture CaptureScreen(const RECT& area);
bool SaveScreenPng(const RECT& area, const std::string& path, std::string* error);
// Writes a picture taken earlier as a PNG file.
bool SavePicturePng(const Picture& picture, const std::string& path, std::string* error);

// True once the window is shown on the X11 display and its picture was
// copied there (always false on a headless machine).
bool PresentedOnDisplay(HWND hwnd);
// What the X display (DISPLAY) shows of a screen area, read back from the X
// server over a connection of its own: the check that the display shows
// what CaptureScreen composes. Empty, with the reason in `error`, without a
// display or in a build without X11.
Picture CaptureDisplay(const RECT& area, std::string* error);
// Counts drawings on top-level surfaces (a display copies when it changes).
uint64_t PaintGeneration();

// Input as a desktop delivers it, in screen coordinates: the message goes to
// the window under the point (or the one holding the capture), or for keys
// to the focus window. Mouse buttons: 0 left, 1 right.
void InjectMouseMove(POINT screen);
void InjectMouseButton(POINT screen, int button, bool down);
void InjectMouseWheel(POINT screen, int delta);
void InjectKey(UINT virtualKey, bool down);

}  // namespace qk::ui
