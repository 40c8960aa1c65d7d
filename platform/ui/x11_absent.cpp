// Builds without the X11 libraries present windows headless only.
#include "platform/ui/presentation.h"
#include "platform/ui/ui_internal.h"

namespace qk::ui {

class X11Presenter {};
std::shared_ptr<X11Presenter> StartX11Presenter() { return nullptr; }
bool PresentedOnDisplay(HWND) { return false; }
Picture CaptureDisplay(const RECT&, std::string* error) {
    if (error) *error = "this build has no X11 display support";
    return {};
}

}  // namespace qk::ui
