// The focus settings dialog: where in the picture the camera focuses (a click
// in the area picture), how sensitive the focus is (a ten-step slider, each
// step a pair of the driver's focus scale and focus windows), and the third
// focus parameter.
#include <memory>

#include "capture/k0340_props.h"
#include "commctrl.h"
#include "console/panels/steering_panels.h"
#include "console/resources/resource_ids.h"

namespace k0340cvw {
namespace {

constexpr ULONG kOffset = 28;
constexpr UINT kRereadMessage = WM_APP + 44;

// (focus scale 0x104, focus windows 0x103) per sensitivity position 1-10.
constexpr LONG kSensitivity[10][2] = {{1, 4}, {1, 1}, {2, 13}, {2, 9}, {2, 6}, {3, 16}, {3, 7}, {4, 5}, {6, 3}, {8, 1}};
constexpr const char* kAreaPictures[] = {"Area_TopLeft.png", "Area_TopRight.png", "Area_BottomLeft.png",
                                         "Area_BottomRight.png", "Area_Center.png"};
// The driver's range of the third focus parameter.
constexpr LONG kThirdMinimum = 1;
constexpr LONG kThirdMaximum = 255;

struct FocusSettings {
    std::string device;
    ConsoleMode mode = ConsoleMode::Standalone;
    HWND hwnd = nullptr;
    ControlSetting area{};         // 1-5
    ControlSetting windows{};      // 0x103 as read
    ControlSetting scale{};        // 0x104 as read
    ControlSetting sensitivity{};  // the slider: positions 1-10
    ControlSetting third{};        // 0x105
    WNDPROC pictureProc = nullptr;
    std::unique_ptr<PanelNotifier> notifier;
    console::SkinHookClient skin;
};

bool Get(DeviceSession* session, ULONG id, ControlSetting* setting) {
    LONG value = 0;
    setting->valid = GetCustomProperty(session, PROPSETID_K0340_FOCUS, id, kOffset, &value) ? 1 : 0;
    if (setting->valid) setting->value = setting->appliedValue = value;
    return setting->valid != 0;
}

bool Put(const std::string& device, ULONG id, LONG value) {
    DeviceSession session{};
    const bool ok = OpenDeviceSession(device.c_str(), &session) &&
                    SetCustomProperty(&session, PROPSETID_K0340_FOCUS, id, kOffset, value);
    CloseDeviceSession(&session);
    return ok;
}

void ShowArea(FocusSettings& f) {
    const char* picture = f.area.valid ? kAreaPictures[f.area.value - 1] : "Area_Disabled.png";
    SendDlgItemMessageA(f.hwnd, IDC_FOCUS_AREA, RegisterWindowMessageA(skinhook::kStaticFunction), 2,
                        reinterpret_cast<LPARAM>(picture));
    EnableWindow(GetDlgItem(f.hwnd, IDC_FOCUS_AREA), f.area.valid != 0);
}

void SetSlider(HWND hwnd, int id, const ControlSetting& s) {
    HWND slider = GetDlgItem(hwnd, id);
    EnableWindow(slider, s.valid != 0);
    if (!s.valid) return;
    SendMessageW(slider, TBM_SETRANGEMIN, FALSE, s.minimum);
    SendMessageW(slider, TBM_SETRANGEMAX, FALSE, s.maximum);
    SendMessageW(slider, TBM_SETLINESIZE, 0, s.step);
    SendMessageW(slider, TBM_SETPAGESIZE, 0, PageSize(&s));
    SendMessageW(slider, TBM_SETPOS, TRUE, s.value);
}

void Read(FocusSettings& f) {
    DeviceSession session{};
    if (OpenDeviceSession(f.device.c_str(), &session)) {
        if (Get(&session, KSPROPERTY_K0340_FOCUS_AREA, &f.area) && (f.area.value < 1 || f.area.value > 5)) {
            f.area.value = f.area.appliedValue = 5;  // anything else counts as the centre
        }
        Get(&session, KSPROPERTY_K0340_FOCUS_WINDOWS, &f.windows);
        Get(&session, KSPROPERTY_K0340_FOCUS_SCALE, &f.scale);
        Get(&session, KSPROPERTY_K0340_FOCUS_THIRD, &f.third);
    } else {
        f.area.valid = f.windows.valid = f.scale.valid = f.third.valid = 0;
    }
    CloseDeviceSession(&session);
    f.sensitivity.valid = f.windows.valid && f.scale.valid;
    if (f.sensitivity.valid) {
        // No position with this pair: the slider stays where it was.
        if (const int position = SensitivityPosition(f.scale.value, f.windows.value); position != 0) {
            f.sensitivity.value = f.sensitivity.appliedValue = position;
        }
    }
    ShowArea(f);
    SetSlider(f.hwnd, IDC_FOCUS_SENSITIVITY, f.sensitivity);
    SetSlider(f.hwnd, IDC_FOCUS_PARAMETER, f.third);
}

// Writes what changed, then tells the other consoles.
void Apply(FocusSettings& f) {
    bool wrote = false;
    if (f.area.valid && f.area.value != f.area.appliedValue && Put(f.device, KSPROPERTY_K0340_FOCUS_AREA, f.area.value)) {
        f.area.appliedValue = f.area.value;
        wrote = true;
    }
    if (f.sensitivity.valid && f.sensitivity.value != f.sensitivity.appliedValue) {
        LONG scale = 0, windows = 0;
        SensitivityPair(f.sensitivity.value, &scale, &windows);
        bool ok = windows == f.windows.appliedValue || Put(f.device, KSPROPERTY_K0340_FOCUS_WINDOWS, windows);
        if (ok) f.windows.appliedValue = windows;
        ok = (scale == f.scale.appliedValue || Put(f.device, KSPROPERTY_K0340_FOCUS_SCALE, scale)) && ok;
        if (scale == f.scale.appliedValue || ok) f.scale.appliedValue = scale;
        if (ok) f.sensitivity.appliedValue = f.sensitivity.value;
        wrote = true;
    }
    if (f.third.valid && f.third.value != f.third.appliedValue && Put(f.device, KSPROPERTY_K0340_FOCUS_THIRD, f.third.value)) {
        f.third.appliedValue = f.third.value;
        wrote = true;
    }
    if (wrote) PanelNotifier::Notify(kTrackingSettingsTitle, f.mode);
}

LRESULT CALLBACK PictureProc(HWND picture, UINT message, WPARAM wParam, LPARAM lParam) {
    HWND dialog = GetParent(picture);
    auto* f = reinterpret_cast<FocusSettings*>(GetWindowLongPtrW(dialog, DWLP_USER));
    if (f == nullptr) return DefWindowProcW(picture, message, wParam, lParam);
    // The hand says the picture takes a click (only while the camera has the setting).
    if (message == WM_MOUSEMOVE && f->area.valid) SetCursor(LoadCursorW(nullptr, IDC_HAND));
    if (message == WM_LBUTTONDOWN && f->area.valid) {
        // The picture's own client coordinates: its rectangle starts at 0, 0.
        const int area = FocusAreaAt(static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam)), 0, 0);
        f->area.value = area;
        ShowArea(*f);
        Apply(*f);
    }
    return CallWindowProcW(f->pictureProc, picture, message, wParam, lParam);
}

INT_PTR CALLBACK Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        auto* f = reinterpret_cast<FocusSettings*>(lParam);
        SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
        f->hwnd = hwnd;
        const ChildSkin picture{IDC_FOCUS_AREA, "Area_Disabled.png"};
        SkinPanelWindow(f->skin, hwnd, "InfoPanelWnd.png", &picture, 1);
        HWND area = GetDlgItem(hwnd, IDC_FOCUS_AREA);
        f->pictureProc = reinterpret_cast<WNDPROC>(GetWindowLongPtrW(area, GWLP_WNDPROC));
        SetWindowLongPtrW(area, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&PictureProc));
        f->sensitivity = {};
        f->sensitivity.minimum = 1;
        f->sensitivity.maximum = 10;
        f->sensitivity.step = 1;
        f->sensitivity.value = f->sensitivity.appliedValue = 1;
        f->third.minimum = kThirdMinimum;
        f->third.maximum = kThirdMaximum;
        f->third.step = 1;
        Read(*f);
        f->notifier = PanelNotifier::Create(kTrackingSettingsTitle, f->mode, [hwnd] { PostMessageW(hwnd, kRereadMessage, 0, 0); });
        return TRUE;
    }
    auto* f = reinterpret_cast<FocusSettings*>(GetWindowLongPtrW(hwnd, DWLP_USER));
    if (f == nullptr) return FALSE;
    switch (message) {
    case kRereadMessage:
        Read(*f);
        return TRUE;
    case WM_HSCROLL: {
        HWND slider = reinterpret_cast<HWND>(lParam);
        ControlSetting* s = slider == GetDlgItem(hwnd, IDC_FOCUS_SENSITIVITY) ? &f->sensitivity
                            : slider == GetDlgItem(hwnd, IDC_FOCUS_PARAMETER) ? &f->third
                                                                                : nullptr;
        if (s && s->valid) s->value = static_cast<LONG>(SendMessageW(slider, TBM_GETPOS, 0, 0));
        return TRUE;
    }
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
            if (LOWORD(wParam) == IDOK) Apply(*f);
            f->notifier.reset();
            SetWindowLongPtrW(GetDlgItem(hwnd, IDC_FOCUS_AREA), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(f->pictureProc));
            EndDialog(hwnd, LOWORD(wParam));
            return TRUE;
        }
        return FALSE;
    case WM_CLOSE:
        SendMessageW(hwnd, WM_COMMAND, IDCANCEL, 0);
        return TRUE;
    default:
        return FALSE;
    }
}

}  // namespace

int FocusAreaAt(int x, int y, int left, int top) {
    if (x >= left + 58 && x <= left + 116 && y >= top + 36 && y <= top + 72) return 5;
    const bool leftSide = x < left + 87;  // the right quadrant wins on the dividing line
    const bool topSide = y < top + 55;
    return topSide ? (leftSide ? 1 : 2) : (leftSide ? 3 : 4);
}

int SensitivityPosition(LONG scale, LONG windows) {
    for (int i = 0; i < 10; ++i) {
        if (kSensitivity[i][0] == scale && kSensitivity[i][1] == windows) return i + 1;
    }
    return 0;
}

void SensitivityPair(int position, LONG* scale, LONG* windows) {
    const int i = position < 1 ? 0 : (position > 10 ? 9 : position - 1);
    *scale = kSensitivity[i][0];
    *windows = kSensitivity[i][1];
}

INT_PTR RunFocusSettings(HWND owner, HMODULE resources, const std::string& device, ConsoleMode mode) {
    FocusSettings settings;
    settings.device = device;
    settings.mode = mode;
    const INT_PTR result = DialogBoxParamA(resources, MAKEINTRESOURCEA(IDD_FOCUS_SETTINGS), owner, Proc,
                                           reinterpret_cast<LPARAM>(&settings));
    settings.notifier.reset();
    return result;
}

}  // namespace k0340cvw
