// "Auto Focus Panel": the camera control's focus, automatic or by hand, a
// "focus now" that lets the camera find the focus once and keeps it, and the
// focus settings dialog.
#include <memory>
#include <string>

#include "commctrl.h"
#include "console/panels/steering_panels.h"
#include "console/resources/resource_ids.h"
#include "synchapi.h"

namespace k0340cvw {

AutoFocusPanel::AutoFocusPanel() : Panel(kAutoFocusPanelTitle, IDD_AUTO_FOCUS_PANEL) {}

void AutoFocusPanel::ReadControls() {
    HWND hwnd = Window();
    if (hwnd == nullptr) return;
    if (OnWindowThread()) {
        Read();
    } else {
        PostMessageW(hwnd, kReadMessage, 0, 0);
    }
}

void AutoFocusPanel::Read() {
    const std::string device = Device();
    DeviceSession session{};
    focus_.valid = 0;
    if (!device.empty()) {
        if (OpenDeviceSession(device.c_str(), &session)) ReadControl(&session, kCameraControl, CameraControl_Focus, &focus_);
        CloseDeviceSession(&session);
    }
    Show();
}

void AutoFocusPanel::Show() {
    HWND hwnd = Window();
    const bool valid = focus_.valid != 0;
    const bool automatic = valid && focus_.autoMode != 0;
    EnableWindow(GetDlgItem(hwnd, IDC_FOCUS_AUTO), valid);
    EnableWindow(GetDlgItem(hwnd, IDC_FOCUS_MANUAL), valid);
    EnableWindow(GetDlgItem(hwnd, IDC_FOCUS_SETTINGS), !Device().empty());
    CheckDlgButton(hwnd, IDC_FOCUS_AUTO, automatic ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(hwnd, IDC_FOCUS_MANUAL, valid && !automatic ? BST_CHECKED : BST_UNCHECKED);
    EnableWindow(GetDlgItem(hwnd, IDC_FOCUS_ONCE), automatic);
    EnableWindow(GetDlgItem(hwnd, IDC_FOCUS_SLIDER), valid && !automatic);
    EnableWindow(GetDlgItem(hwnd, IDC_FOCUS_VALUE), valid && !automatic);
    if (!valid) return;
    HWND slider = GetDlgItem(hwnd, IDC_FOCUS_SLIDER);
    SendMessageW(slider, TBM_SETRANGEMIN, FALSE, focus_.minimum);
    SendMessageW(slider, TBM_SETRANGEMAX, FALSE, focus_.maximum);
    SendMessageW(slider, TBM_SETLINESIZE, 0, focus_.step);
    SendMessageW(slider, TBM_SETPAGESIZE, 0, PageSize(&focus_));
    SendMessageW(slider, TBM_SETPOS, TRUE, focus_.value);
    SetDlgItemTextA(hwnd, IDC_FOCUS_VALUE, std::to_string(focus_.value).c_str());
}

void AutoFocusPanel::Write() {
    const std::string device = Device();
    if (device.empty()) return;
    DeviceSession session{};
    const bool ok = OpenDeviceSession(device.c_str(), &session) &&
                    WriteControl(&session, kCameraControl, CameraControl_Focus, &focus_);
    CloseDeviceSession(&session);
    if (ok) NotifyChange();
}

void AutoFocusPanel::ChooseAutomatic(bool automatic) {
    if (!focus_.valid || (focus_.autoMode != 0) == automatic) return;
    if (automatic) {
        focus_.lastManualValue = focus_.value;
        manualRemembered_ = true;
    } else if (manualRemembered_) {
        focus_.value = focus_.lastManualValue;
    }
    focus_.autoMode = automatic ? 1 : 0;
    Write();
    Show();
}

void AutoFocusPanel::SliderMoved(int code) {
    if (!focus_.valid || focus_.autoMode) return;
    HWND slider = GetDlgItem(Window(), IDC_FOCUS_SLIDER);
    LONG position = static_cast<LONG>(SendMessageW(slider, TBM_GETPOS, 0, 0));
    // While the thumb is dragged it goes to the nearest step; a click or key
    // moves it toward where it was going.
    if (SnapToStep(&focus_, &position, code == TB_THUMBTRACK)) SendMessageW(slider, TBM_SETPOS, TRUE, position);
    if (position == focus_.value) return;
    focus_.value = position;
    SetDlgItemTextA(Window(), IDC_FOCUS_VALUE, std::to_string(position).c_str());
    Write();
}

bool AutoFocusPanel::ReadFocus(LONG* value) {
    DeviceSession session{};
    ControlSetting now{};
    const bool ok = OpenDeviceSession(Device().c_str(), &session) &&
                    ReadControl(&session, kCameraControl, CameraControl_Focus, &now);
    CloseDeviceSession(&session);
    if (ok) *value = now.value;
    return ok;
}

void AutoFocusPanel::WriteFocus(LONG value, bool automatic) {
    focus_.value = value;
    focus_.autoMode = automatic ? 1 : 0;
    Write();
}

void AutoFocusPanel::FocusOnce() {
    HWND hwnd = Window();
    if (!focus_.valid || Device().empty()) return;
    for (int id : {IDC_FOCUS_AUTO, IDC_FOCUS_MANUAL, IDC_FOCUS_SLIDER, IDC_FOCUS_VALUE, IDC_FOCUS_ONCE}) {
        EnableWindow(GetDlgItem(hwnd, id), FALSE);
    }
    // Let the camera focus by itself until the value moves away from where it
    // started, then keep it there by hand.
    const LONG start = focus_.value;
    const auto settleAwayFrom = [this](LONG from) {
        for (int i = 0; i < 11; ++i) {
            LONG now = from;
            if (ReadFocus(&now) && now != from) {
                WriteFocus(now, false);
                return true;
            }
            Sleep(1000);
        }
        return false;
    };
    WriteFocus(start, true);
    if (!settleAwayFrom(start)) {
        // It never moved: push it to the far end and let it come back.
        const LONG end = (focus_.maximum - focus_.minimum) / 2 < start ? focus_.minimum : focus_.maximum;
        WriteFocus(end, false);
        Sleep(100);
        LONG ignored = 0;
        ReadFocus(&ignored);
        WriteFocus(end, true);
        Sleep(100);
        if (!settleAwayFrom(end)) WriteFocus(start, false);
    }
    Show();
}

INT_PTR AutoFocusPanel::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    HWND hwnd = Window();
    switch (message) {
    case WM_INITDIALOG:
        SkinPanelWindow(skin_, hwnd, "InfoPanelWnd.png");
        Read();
        return TRUE;
    case kReadMessage:
        Read();
        return TRUE;
    case WM_HSCROLL:
        if (reinterpret_cast<HWND>(lParam) == GetDlgItem(hwnd, IDC_FOCUS_SLIDER)) SliderMoved(LOWORD(wParam));
        return TRUE;
    case WM_COMMAND:
        if (HIWORD(wParam) != BN_CLICKED) return FALSE;
        switch (LOWORD(wParam)) {
        case IDC_FOCUS_AUTO: ChooseAutomatic(true); return TRUE;
        case IDC_FOCUS_MANUAL: ChooseAutomatic(false); return TRUE;
        case IDC_FOCUS_ONCE: FocusOnce(); return TRUE;
        case IDC_FOCUS_SETTINGS:
            if (!Device().empty()) {
                RunFocusSettings(hwnd, reinterpret_cast<HMODULE>(GetWindowLongPtrW(hwnd, GWLP_HINSTANCE)), Device(), Mode());
            }
            return TRUE;
        default: return FALSE;
        }
    default:
        break;
    }
    return Panel::HandleMessage(message, wParam, lParam);
}

std::unique_ptr<Panel> MakeAutoFocusPanel() { return std::make_unique<AutoFocusPanel>(); }

}  // namespace k0340cvw
