// `qk0340 vfw dialog`: what the application does inside the driver's
// property frame, apart from the Video-for-Windows file (the window
// system's BITMAPINFOHEADER and RECT are not the capture structures).
#pragma once

#include <string>
#include <vector>

namespace qk::cli::vfw {

struct FrameVisit {
    std::string caption;
    int pages = 0;                      // tabs
    std::vector<std::string> pictures;  // one file a page, when asked for
    std::string error;                  // what went wrong saving them
    bool shown = false;
};

// Once the next frame shows: reads its caption and tabs, saves each page as
// a picture when `screenshot` is not empty (FILE.png for the first, FILE-2.png
// and on for the others) and closes it with Cancel: on a machine without a
// display nobody else could.
void VisitTheNextFrame(const std::string& screenshot, FrameVisit* visit);

}  // namespace qk::cli::vfw
