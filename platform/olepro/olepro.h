// Property pages on the window system: the property frame
// (OleCreatePropertyFrame) and the kernel-streaming proxy's three pages
// (VideoProcAmp, CameraControl, the video stream format), served by the
// system library "kspages.ax".
#pragma once

#include "objbase.h"

namespace qk::olepro {

// Registers "kspages.ax" as a built-in server and writes its classes under
// HKEY_CLASSES_ROOT\CLSID, as the system's installation would.
HRESULT InstallPropertyPages();

// Live page objects of "kspages.ax" (for leak checks).
long LivePageObjects();

// Control identifiers inside the pages, for programs and scripts that drive
// them: row `i` of a control page has its slider at kSliderBase + 4 i, the
// value beside it at +1, the automatic box at +2 and the label at +3.
constexpr int kSliderBase = 100;
constexpr int kDefaultButton = 90;
constexpr int kFormatCombo = 200;
constexpr int kSizeCombo = 201;
constexpr int kRateCombo = 202;
// The frame's own Apply button (OK and Cancel are IDOK and IDCANCEL).
constexpr int kApplyButton = 0x3021;
constexpr int kFrameTab = 0x3020;

}  // namespace qk::olepro
