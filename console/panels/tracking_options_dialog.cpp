// The tracking options dialog: tracking speed and the picture-in-picture.
// Every change is written at once; Cancel writes back what the dialog opened
// with.
#include <memory>

#include "capture/k0340_props.h"
#include "console/panels/steering_panels.h"
#include "console/resources/resource_ids.h"

namespace k0340cvw {
namespace {

constexpr ULONG kOffset = 24;
constexpr UINT kRereadMessage = WM_APP + 41;

struct TrackingOptions {
    std::string device;
    ConsoleMode mode = ConsoleMode::Standalone;
    HWND hwnd = nullptr;
    ControlSetting speed{};
    ControlSetting pip{};
    LONG pipChoice = 1;  // the radio the box brings back: 1 (radio 1080) or 2 (radio 1079)
    std::unique_ptr<PanelNotifier> notifier;
    console::SkinHookClient skin;
};

bool ReadProperty(DeviceSession* session, ULONG id, ControlSetting* setting) {
    LONG value = 0;
    setting->valid = GetCustomProperty(session, PROPSETID_K0340_TRACKING, id, kOffset, &value) ? 1 : 0;
    if (setting->valid) setting->value = setting->appliedValue = value;
    return setting->valid != 0;
}

void Read(TrackingOptions& o, bool opening) {
    DeviceSession session{};
    const bool open = OpenDeviceSession(o.device.c_str(), &session);
    if (open) {
        ReadProperty(&session, KSPROPERTY_K0340_TRACKING_SPEED, &o.speed);
        ReadProperty(&session, KSPROPERTY_K0340_TRACKING_PIP, &o.pip);
    } else {
        o.speed.valid = o.pip.valid = 0;
    }
    CloseDeviceSession(&session);
    if (opening) {
        o.speed.openedValue = o.speed.value;
        o.pip.openedValue = o.pip.value;
    }
    if (o.pip.valid && o.pip.value != 0) o.pipChoice = o.pip.value == 2 ? 2 : 1;
}

void Show(const TrackingOptions& o) {
    HWND h = o.hwnd;
    for (int id = IDC_SPEED_SLOW; id <= IDC_SPEED_FAST; ++id) {
        EnableWindow(GetDlgItem(h, id), o.speed.valid != 0);
        CheckDlgButton(h, id, o.speed.valid && o.speed.value == id - IDC_SPEED_SLOW ? BST_CHECKED : BST_UNCHECKED);
    }
    const bool on = o.pip.valid && o.pip.value != 0;
    EnableWindow(GetDlgItem(h, IDC_PIP), o.pip.valid != 0);
    CheckDlgButton(h, IDC_PIP, on ? BST_CHECKED : BST_UNCHECKED);
    EnableWindow(GetDlgItem(h, IDC_PIP_2), on);
    EnableWindow(GetDlgItem(h, IDC_PIP_1), on);
    CheckDlgButton(h, IDC_PIP_2, o.pipChoice == 2 ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(h, IDC_PIP_1, o.pipChoice == 1 ? BST_CHECKED : BST_UNCHECKED);
}

void Write(TrackingOptions& o, ULONG id, ControlSetting& setting, LONG value) {
    setting.value = value;
    DeviceSession session{};
    if (OpenDeviceSession(o.device.c_str(), &session) &&
        SetCustomProperty(&session, PROPSETID_K0340_TRACKING, id, kOffset, value)) {
        setting.appliedValue = value;
    }
    CloseDeviceSession(&session);
    PanelNotifier::Notify(kTrackingSettingsTitle, o.mode);
}

INT_PTR CALLBACK Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        auto* o = reinterpret_cast<TrackingOptions*>(lParam);
        SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
        o->hwnd = hwnd;
        SkinPanelWindow(o->skin, hwnd, "InfoPanelWnd.png");
        Read(*o, true);
        Show(*o);
        // Another console changing the options shows here too; the read is
        // posted to this thread.
        o->notifier = PanelNotifier::Create(kTrackingSettingsTitle, o->mode, [hwnd] { PostMessageW(hwnd, kRereadMessage, 0, 0); });
        return TRUE;
    }
    auto* o = reinterpret_cast<TrackingOptions*>(GetWindowLongPtrW(hwnd, DWLP_USER));
    if (o == nullptr) return FALSE;
    switch (message) {
    case kRereadMessage:
        Read(*o, false);
        Show(*o);
        return TRUE;
    case WM_COMMAND: {
        const int id = LOWORD(wParam);
        if (id == IDOK || id == IDCANCEL) {
            if (id == IDCANCEL) {
                if (o->speed.valid) {
                    Write(*o, KSPROPERTY_K0340_TRACKING_SPEED, o->speed, o->speed.openedValue);
                }
                if (o->pip.valid) {
                    Write(*o, KSPROPERTY_K0340_TRACKING_PIP, o->pip, o->pip.openedValue);
                }
            }
            // The notifier's thread posts here: it ends before the dialog does.
            o->notifier.reset();
            EndDialog(hwnd, id);
            return TRUE;
        }
        if (HIWORD(wParam) != BN_CLICKED) return FALSE;
        if (id >= IDC_SPEED_SLOW && id <= IDC_SPEED_FAST) {
            if (o->speed.valid) Write(*o, KSPROPERTY_K0340_TRACKING_SPEED, o->speed, id - IDC_SPEED_SLOW);
        } else if (id == IDC_PIP) {
            if (!o->pip.valid) return TRUE;
            const bool on = IsDlgButtonChecked(hwnd, IDC_PIP) == BST_CHECKED;
            Write(*o, KSPROPERTY_K0340_TRACKING_PIP, o->pip, on ? o->pipChoice : 0);
        } else if (id == IDC_PIP_1 || id == IDC_PIP_2) {
            if (!o->pip.valid) return TRUE;
            o->pipChoice = id == IDC_PIP_2 ? 2 : 1;
            Write(*o, KSPROPERTY_K0340_TRACKING_PIP, o->pip, o->pipChoice);
        } else {
            return FALSE;
        }
        Show(*o);
        return TRUE;
    }
    case WM_CLOSE:
        SendMessageW(hwnd, WM_COMMAND, IDCANCEL, 0);
        return TRUE;
    default:
        return FALSE;
    }
}

}  // namespace

INT_PTR RunTrackingOptions(HWND owner, HMODULE resources, const std::string& device, ConsoleMode mode) {
    TrackingOptions options;
    options.device = device;
    options.mode = mode;
    const INT_PTR result = DialogBoxParamA(resources, MAKEINTRESOURCEA(IDD_TRACKING_OPTIONS), owner, Proc,
                                           reinterpret_cast<LPARAM>(&options));
    options.notifier.reset();
    return result;
}

}  // namespace k0340cvw
