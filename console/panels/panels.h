// The picture, microphone and effects panels of the console and the
// pieces of them that tests reach: the advanced picture dialog, the audio
// filter's control device, and the slider and record helpers they share.
#pragma once

#include <memory>
#include <string>

#include "console/k0340cvw.h"
#include "console/panel.h"
#include "windows.h"
#include "winuser.h"

namespace k0340cvw {

// IAMCameraControl's privacy property (the SDK's enumeration stops at focus).
inline constexpr LONG kPrivacyControl = 8;

// ---- view_panel.cpp ------------------------------------------------------------------------
// "Brio! View Panel" (template 121).
std::unique_ptr<Panel> MakeViewPanel();
// The panel's private message: read the camera on the window's own thread.
inline constexpr UINT kPanelReadMessage = WM_APP + 0x36;
// Shows a slider record: range, line size = step, page size, position, and
// enabled only when the record is valid (and, with `automatic`, not in
// automatic mode).
void ShowSlider(HWND slider, const ControlSetting& setting, bool enabled);
// A slider the user moved: the position snapped to the record's step grid
// (nearest for a drag, toward the move otherwise) and put back on the
// slider; true when the record's value changed.
bool TakeSliderMove(HWND slider, int scrollCode, ControlSetting* setting);

// ---- view_advanced_dialog.cpp --------------------------------------------------------------
// "Brio! View Advanced Settings" (template 129), modal over `owner`; the
// resource library is the owner's.
INT_PTR RunViewAdvancedDialog(HWND owner, const std::string& device, ConsoleMode mode);
// The same dialog made modeless (for tests and screenshots); closed by
// OK/Cancel as the modal one. Null when it cannot be made.
HWND CreateViewAdvancedDialog(HMODULE resources, HWND owner, const std::string& device, ConsoleMode mode);

}  // namespace k0340cvw
