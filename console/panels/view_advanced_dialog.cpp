// The advanced picture dialog: power-line frequency, mirror and flip, and
// the gamma, sharpness, backlight and hue sliders. Every change goes to the
// camera at once; Cancel writes back what the dialog opened with, which
// each record keeps in its own words 3 and 6. A change made elsewhere while
// the dialog is open (face tracking, pan and tilt) reaches it through its
// notifier, which posts the read to the dialog's thread.
#include <array>
#include <memory>
#include <string>

#include "commctrl.h"
#include "console/panels/panels.h"
#include "console/resources/resource_ids.h"

namespace k0340cvw {
namespace {

struct SliderRow {
    int id;
    LONG property;
};
constexpr SliderRow kSliders[] = {
    {IDC_GAMMA, VideoProcAmp_Gamma},
    {IDC_SHARPNESS, VideoProcAmp_Sharpness},
    {IDC_BACKLIGHT, VideoProcAmp_BacklightCompensation},
    {IDC_HUE, VideoProcAmp_Hue},
};
constexpr int kControls[] = {IDC_POWER_50HZ, IDC_POWER_60HZ, IDC_POWER_OFF, IDC_ORIENTATION_LABEL, IDC_MIRROR,
                             IDC_FLIP, IDC_GAMMA, IDC_SHARPNESS, IDC_BACKLIGHT, IDC_HUE, IDC_ADVANCED_DEFAULTS};

class AdvancedDialog {
public:
    AdvancedDialog(std::string device, ConsoleMode mode) : device_(std::move(device)), mode_(mode) {}

    static INT_PTR CALLBACK Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_INITDIALOG) {
            SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
            auto* self = reinterpret_cast<AdvancedDialog*>(lParam);
            self->hwnd_ = hwnd;
            self->Open();
            return TRUE;
        }
        auto* self = reinterpret_cast<AdvancedDialog*>(GetWindowLongPtrW(hwnd, DWLP_USER));
        if (self == nullptr) return FALSE;
        const INT_PTR result = self->Handle(message, wParam, lParam);
        if (message == WM_NCDESTROY) {
            SetWindowLongPtrW(hwnd, DWLP_USER, 0);
            self->notifier_.reset();
            if (self->modeless_) delete self;
        }
        return result;
    }

    bool modeless_ = false;

private:
    void Open() {
        Read();
        // What Cancel puts back.
        for (ControlSetting* s : Records()) {
            s->openedValue = s->value;
            s->openedFlags = s->flags;
        }
        HWND hwnd = hwnd_;
        notifier_ = PanelNotifier::Create(kViewAdvancedTitle, mode_,
                                          [hwnd] { PostMessageW(hwnd, kPanelReadMessage, 0, 0); });
    }

    std::array<ControlSetting*, 7> Records() { return {&power_, &mirror_, &flip_, &sliders_[0], &sliders_[1], &sliders_[2], &sliders_[3]}; }

    void Read() {
        const bool first = !opened_;
        opened_ = true;
        // Words 3 and 6 survive a re-read: they belong to the dialog, not the camera.
        ControlSetting kept[7];
        auto records = Records();
        for (size_t i = 0; i < records.size(); ++i) kept[i] = *records[i];
        for (ControlSetting* s : records) *s = ControlSetting{};
        DeviceSession session{};
        if (!device_.empty() && OpenDeviceSession(device_.c_str(), &session)) {
            ReadPowerLineFrequency(&session, &power_);
            ReadMirrorFlip(&session, &mirror_, &flip_);
            for (size_t i = 0; i < std::size(kSliders); ++i) {
                ReadControl(&session, kVideoProcAmp, kSliders[i].property, &sliders_[i]);
            }
        }
        CloseDeviceSession(&session);
        if (!first) {
            for (size_t i = 0; i < records.size(); ++i) {
                records[i]->openedValue = kept[i].openedValue;
                records[i]->openedFlags = kept[i].openedFlags;
            }
        }
        Show();
    }

    void Show() {
        const bool session = power_.valid || mirror_.valid || flip_.valid || sliders_[0].valid || sliders_[1].valid ||
                             sliders_[2].valid || sliders_[3].valid;
        if (!session) {
            for (int id : kControls) EnableWindow(GetDlgItem(hwnd_, id), FALSE);
            return;
        }
        for (int id : {IDC_POWER_50HZ, IDC_POWER_60HZ, IDC_POWER_OFF}) EnableWindow(GetDlgItem(hwnd_, id), power_.valid);
        if (power_.valid) {
            // Choice 1 is the camera's 50 Hz, 2 its 60 Hz, 0 off.
            const int radio = power_.value == 1 ? IDC_POWER_50HZ : power_.value == 2 ? IDC_POWER_60HZ : IDC_POWER_OFF;
            CheckRadioButton(hwnd_, IDC_POWER_50HZ, IDC_POWER_OFF, radio);
        }
        // Mirror and flip appear only when the camera offers them.
        ShowWindow(GetDlgItem(hwnd_, IDC_MIRROR), mirror_.valid ? SW_SHOW : SW_HIDE);
        ShowWindow(GetDlgItem(hwnd_, IDC_FLIP), flip_.valid ? SW_SHOW : SW_HIDE);
        ShowWindow(GetDlgItem(hwnd_, IDC_ORIENTATION_LABEL), mirror_.valid || flip_.valid ? SW_SHOW : SW_HIDE);
        for (int id : {IDC_MIRROR, IDC_FLIP, IDC_ORIENTATION_LABEL}) EnableWindow(GetDlgItem(hwnd_, id), TRUE);
        CheckDlgButton(hwnd_, IDC_MIRROR, mirror_.valid && mirror_.value ? BST_CHECKED : BST_UNCHECKED);
        CheckDlgButton(hwnd_, IDC_FLIP, flip_.valid && flip_.value ? BST_CHECKED : BST_UNCHECKED);
        for (size_t i = 0; i < std::size(kSliders); ++i) ShowSlider(GetDlgItem(hwnd_, kSliders[i].id), sliders_[i], true);
        EnableWindow(GetDlgItem(hwnd_, IDC_ADVANCED_DEFAULTS), TRUE);
    }

    // One session for every change; each record sends only what differs.
    void Write() {
        bool ok = false;
        DeviceSession session{};
        if (!device_.empty() && OpenDeviceSession(device_.c_str(), &session)) {
            ok = true;
            if (power_.valid) ok &= WritePowerLineFrequency(&session, &power_);
            if (mirror_.valid || flip_.valid) ok &= WriteMirrorFlip(&session, &mirror_, &flip_);
            for (size_t i = 0; i < std::size(kSliders); ++i) {
                if (sliders_[i].valid) ok &= WriteControl(&session, kVideoProcAmp, kSliders[i].property, &sliders_[i]);
            }
        }
        CloseDeviceSession(&session);
        if (!ok) return;
        if (notifier_) {
            notifier_->Notify();
        } else {
            PanelNotifier::Notify(kViewAdvancedTitle, mode_);
        }
    }

    void Close(INT_PTR result) {
        if (modeless_) {
            DestroyWindow(hwnd_);
        } else {
            EndDialog(hwnd_, result);
        }
    }

    INT_PTR Handle(UINT message, WPARAM wParam, LPARAM lParam) {
        switch (message) {
        case kPanelReadMessage:
            Read();
            return TRUE;
        case WM_HSCROLL:
            for (size_t i = 0; i < std::size(kSliders); ++i) {
                HWND slider = GetDlgItem(hwnd_, kSliders[i].id);
                if (reinterpret_cast<HWND>(lParam) != slider) continue;
                if (TakeSliderMove(slider, LOWORD(wParam), &sliders_[i])) {
                    sliders_[i].autoMode = 0;
                    Write();
                }
                return TRUE;
            }
            return FALSE;
        case WM_COMMAND:
            return Command(LOWORD(wParam));
        case WM_CLOSE:
            Command(IDCANCEL);
            return TRUE;
        default:
            return FALSE;
        }
    }

    INT_PTR Command(int id) {
        switch (id) {
        case IDC_POWER_60HZ:
        case IDC_POWER_50HZ:
        case IDC_POWER_OFF: {
            if (!power_.valid || IsDlgButtonChecked(hwnd_, id) != BST_CHECKED) return TRUE;
            const LONG choice = id == IDC_POWER_50HZ ? 1 : id == IDC_POWER_60HZ ? 2 : 0;
            if (choice != power_.value) {
                power_.value = choice;
                Write();
            }
            return TRUE;
        }
        case IDC_MIRROR:
        case IDC_FLIP: {
            ControlSetting& s = id == IDC_MIRROR ? mirror_ : flip_;
            if (!s.valid) return TRUE;
            s.value = IsDlgButtonChecked(hwnd_, id) == BST_CHECKED ? 1 : 0;
            Write();
            return TRUE;
        }
        case IDC_ADVANCED_DEFAULTS:
            for (ControlSetting& s : sliders_) {
                s.value = s.defaultValue;
                s.autoMode = 0;
            }
            Write();
            Show();
            return TRUE;
        case IDOK:
            Close(IDOK);
            return TRUE;
        case IDCANCEL:
            for (ControlSetting* s : Records()) {
                if (!s->valid) continue;
                s->value = s->openedValue;
                s->flags = s->openedFlags;
                s->autoMode = s->openedFlags & kFlagAuto;
            }
            Write();
            Close(IDCANCEL);
            return TRUE;
        default:
            return FALSE;
        }
    }

    std::string device_;
    ConsoleMode mode_;
    HWND hwnd_ = nullptr;
    bool opened_ = false;
    std::unique_ptr<PanelNotifier> notifier_;
    ControlSetting power_{}, mirror_{}, flip_{};
    ControlSetting sliders_[4] = {};
};

}  // namespace

INT_PTR RunViewAdvancedDialog(HWND owner, const std::string& device, ConsoleMode mode) {
    auto* resources = reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(owner, GWLP_HINSTANCE));
    AdvancedDialog dialog(device, mode);
    return DialogBoxParamA(resources, MAKEINTRESOURCEA(IDD_VIEW_ADVANCED), owner, AdvancedDialog::Proc,
                           reinterpret_cast<LPARAM>(&dialog));
}

HWND CreateViewAdvancedDialog(HMODULE resources, HWND owner, const std::string& device, ConsoleMode mode) {
    auto* dialog = new AdvancedDialog(device, mode);
    dialog->modeless_ = true;
    HWND hwnd = CreateDialogParamA(reinterpret_cast<HINSTANCE>(resources), MAKEINTRESOURCEA(IDD_VIEW_ADVANCED), owner,
                                   AdvancedDialog::Proc, reinterpret_cast<LPARAM>(dialog));
    if (hwnd == nullptr) delete dialog;
    return hwnd;
}

}  // namespace k0340cvw
