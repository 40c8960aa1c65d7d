// The picture panel: white balance, exposure with its automatic box,
// brightness, contrast, saturation and privacy. The records live on the
// window's thread only: a notifier asking for a refresh posts the read to
// the window instead of reading from its own thread, so that a panel being
// destroyed (which waits for its notifier) never waits for a send the
// window thread cannot answer.
#include <array>
#include <optional>
#include <thread>

#include "commctrl.h"
#include "console/panels/panels.h"
#include "console/resources/resource_ids.h"

namespace k0340cvw {

void ShowSlider(HWND slider, const ControlSetting& setting, bool enabled) {
    if (setting.valid) {
        SendMessageW(slider, TBM_SETRANGEMIN, FALSE, setting.minimum);
        SendMessageW(slider, TBM_SETRANGEMAX, FALSE, setting.maximum);
        SendMessageW(slider, TBM_SETLINESIZE, 0, setting.step);
        SendMessageW(slider, TBM_SETPAGESIZE, 0, PageSize(&setting));
        SendMessageW(slider, TBM_SETPOS, TRUE, setting.value);
    }
    EnableWindow(slider, setting.valid && enabled);
}

bool TakeSliderMove(HWND slider, int scrollCode, ControlSetting* setting) {
    if (!setting->valid || scrollCode == TB_ENDTRACK) return false;
    LONG position = static_cast<LONG>(SendMessageW(slider, TBM_GETPOS, 0, 0));
    // A drag lands where the thumb is nearest; a key or page step keeps its direction.
    const bool nearest = scrollCode == TB_THUMBTRACK || scrollCode == TB_THUMBPOSITION;
    if (SnapToStep(setting, &position, nearest)) SendMessageW(slider, TBM_SETPOS, TRUE, position);
    if (position == setting->value) return false;
    setting->value = position;
    return true;
}

void WindowThreadPanel::ReadControls() {
    HWND hwnd = Window();
    if (hwnd == nullptr) return;
    if (OnWindowThread()) {
        ReadNow();
    } else {
        PostMessageW(hwnd, kPanelReadMessage, 0, 0);
    }
}

bool WindowThreadPanel::HandleRead(UINT message) {
    if (message != kPanelReadMessage) return false;
    ReadNow();
    return true;
}

namespace {

// The four white-balance choices in list order (0 automatic, 1-3 presets).
constexpr std::array<UINT, 4> kWhiteBalanceStrings = {57708, 57706, 57707, 57709};

class ViewPanel final : public WindowThreadPanel {
public:
    ViewPanel() : WindowThreadPanel(kViewPanelTitle, IDD_VIEW_PANEL) {}

protected:
    INT_PTR HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override {
        if (HandleRead(message)) return TRUE;
        switch (message) {
        case WM_INITDIALOG:
            FillWhiteBalanceList();
            Show();
            return TRUE;
        case WM_HSCROLL:
            OnSlider(reinterpret_cast<HWND>(lParam), LOWORD(wParam));
            return TRUE;
        case WM_COMMAND:
            return OnCommand(LOWORD(wParam), HIWORD(wParam));
        default:
            return Panel::HandleMessage(message, wParam, lParam);
        }
    }

private:
    void FillWhiteBalanceList() {
        HWND hwnd = Window();
        auto* resources = reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(hwnd, GWLP_HINSTANCE));
        for (UINT id : kWhiteBalanceStrings) {
            // List items travel as UTF-16 (the window system widens only window texts).
            WCHAR text[128] = {};
            if (LoadStringW(resources, id, text, 128) <= 0) text[0] = 0;
            SendDlgItemMessageW(hwnd, IDC_VIEW_WHITE_BALANCE, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
        }
    }

    void ReadNow() override {
        whiteBalance_ = exposure_ = brightness_ = contrast_ = saturation_ = privacy_ = ControlSetting{};
        const std::string device = Device();
        if (!device.empty()) {
            DeviceSession session{};
            if (OpenDeviceSession(device.c_str(), &session)) {
                ReadWhiteBalanceChoice(&session, &whiteBalance_);
                ReadControl(&session, kCameraControl, CameraControl_Exposure, &exposure_);
                ReadControl(&session, kVideoProcAmp, VideoProcAmp_Brightness, &brightness_);
                ReadControl(&session, kVideoProcAmp, VideoProcAmp_Contrast, &contrast_);
                ReadControl(&session, kVideoProcAmp, VideoProcAmp_Saturation, &saturation_);
                ReadControl(&session, kCameraControl, kPrivacyControl, &privacy_);
            }
            CloseDeviceSession(&session);
        }
        if (exposure_.valid && !exposure_.autoMode) manualExposure_ = exposure_.value;
        Show();
    }

    void Show() {
        HWND hwnd = Window();
        if (hwnd == nullptr) return;
        HWND list = GetDlgItem(hwnd, IDC_VIEW_WHITE_BALANCE);
        SendMessageW(list, CB_SETCURSEL, whiteBalance_.valid ? whiteBalance_.value : -1, 0);
        EnableWindow(list, whiteBalance_.valid != 0);

        ShowSlider(GetDlgItem(hwnd, IDC_VIEW_EXPOSURE), exposure_, !exposure_.autoMode);
        CheckDlgButton(hwnd, IDC_VIEW_EXPOSURE_AUTO, exposure_.valid && exposure_.autoMode ? BST_CHECKED : BST_UNCHECKED);
        EnableWindow(GetDlgItem(hwnd, IDC_VIEW_EXPOSURE_AUTO), exposure_.valid != 0);
        ShowSlider(GetDlgItem(hwnd, IDC_VIEW_BRIGHTNESS), brightness_, true);
        ShowSlider(GetDlgItem(hwnd, IDC_VIEW_CONTRAST), contrast_, true);
        ShowSlider(GetDlgItem(hwnd, IDC_VIEW_SATURATION), saturation_, true);
        CheckDlgButton(hwnd, IDC_VIEW_PRIVACY, privacy_.valid && privacy_.value ? BST_CHECKED : BST_UNCHECKED);
        EnableWindow(GetDlgItem(hwnd, IDC_VIEW_PRIVACY), privacy_.valid != 0);

        const bool any = whiteBalance_.valid || exposure_.valid || brightness_.valid || contrast_.valid ||
                         saturation_.valid || privacy_.valid;
        EnableWindow(GetDlgItem(hwnd, IDC_VIEW_DEFAULTS), any);
        EnableWindow(GetDlgItem(hwnd, IDC_VIEW_ADVANCED), !Device().empty());
    }

    // Writes every valid record in the order of the panel's table; each
    // write sends only what differs from what the camera last had.
    void Apply() {
        const std::string device = Device();
        if (device.empty()) return;
        bool ok = false;
        DeviceSession session{};
        if (OpenDeviceSession(device.c_str(), &session)) {
            ok = true;
            if (whiteBalance_.valid) ok &= WriteWhiteBalanceChoice(&session, &whiteBalance_);
            if (exposure_.valid) ok &= WriteControl(&session, kCameraControl, CameraControl_Exposure, &exposure_);
            if (brightness_.valid) ok &= WriteControl(&session, kVideoProcAmp, VideoProcAmp_Brightness, &brightness_);
            if (contrast_.valid) ok &= WriteControl(&session, kVideoProcAmp, VideoProcAmp_Contrast, &contrast_);
            if (saturation_.valid) ok &= WriteControl(&session, kVideoProcAmp, VideoProcAmp_Saturation, &saturation_);
            if (privacy_.valid) ok &= WriteControl(&session, kCameraControl, kPrivacyControl, &privacy_);
        }
        CloseDeviceSession(&session);
        if (ok) NotifyChange();
    }

    void OnSlider(HWND slider, int code) {
        HWND hwnd = Window();
        ControlSetting* setting = slider == GetDlgItem(hwnd, IDC_VIEW_EXPOSURE)     ? &exposure_
                                  : slider == GetDlgItem(hwnd, IDC_VIEW_BRIGHTNESS) ? &brightness_
                                  : slider == GetDlgItem(hwnd, IDC_VIEW_CONTRAST)   ? &contrast_
                                  : slider == GetDlgItem(hwnd, IDC_VIEW_SATURATION) ? &saturation_
                                                                                    : nullptr;
        if (setting == nullptr || !TakeSliderMove(slider, code, setting)) return;
        if (setting == &exposure_) manualExposure_ = exposure_.value;
        Apply();
    }

    INT_PTR OnCommand(int id, int code) {
        HWND hwnd = Window();
        switch (id) {
        case IDC_VIEW_WHITE_BALANCE:
            if (code != CBN_SELCHANGE || !whiteBalance_.valid) return FALSE;
            if (const auto choice = SendDlgItemMessageW(hwnd, id, CB_GETCURSEL, 0, 0); choice >= 0 && choice <= 3) {
                whiteBalance_.value = static_cast<LONG>(choice);
                Apply();
            }
            return TRUE;
        case IDC_VIEW_EXPOSURE_AUTO:
            if (!exposure_.valid) return FALSE;
            if (IsDlgButtonChecked(hwnd, id) == BST_CHECKED) {
                if (!exposure_.autoMode) manualExposure_ = exposure_.value;
                exposure_.autoMode = 1;
            } else {
                exposure_.autoMode = 0;
                if (manualExposure_) exposure_.value = *manualExposure_;
            }
            ShowSlider(GetDlgItem(hwnd, IDC_VIEW_EXPOSURE), exposure_, !exposure_.autoMode);
            Apply();
            return TRUE;
        case IDC_VIEW_PRIVACY:
            if (!privacy_.valid) return FALSE;
            privacy_.value = IsDlgButtonChecked(hwnd, id) == BST_CHECKED ? 1 : 0;
            privacy_.autoMode = 0;
            Apply();
            return TRUE;
        case IDC_VIEW_DEFAULTS:
            Defaults();
            return TRUE;
        case IDC_VIEW_ADVANCED:
            if (!Device().empty()) RunViewAdvancedDialog(hwnd, Device(), Mode());
            return TRUE;
        default:
            return FALSE;
        }
    }

    void Defaults() {
        whiteBalance_.value = whiteBalance_.defaultValue;
        for (ControlSetting* s : {&brightness_, &contrast_, &saturation_}) {
            s->value = s->defaultValue;
            s->autoMode = 0;
        }
        exposure_.value = exposure_.defaultValue;
        exposure_.autoMode = 1;
        privacy_.value = 0;
        privacy_.autoMode = 0;
        Apply();
        Show();
    }

    ControlSetting whiteBalance_{}, exposure_{}, brightness_{}, contrast_{}, saturation_{}, privacy_{};
    // The manual exposure the automatic box hides, restored when it is cleared.
    std::optional<LONG> manualExposure_;
};

}  // namespace

std::unique_ptr<Panel> MakeViewPanel() { return std::make_unique<ViewPanel>(); }

}  // namespace k0340cvw
