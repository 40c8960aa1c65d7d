// "Face Tracking Panel": the driver's face tracking on or off and its mode,
// and the tracking options dialog. The panel counts modes 1-3 (1 off); the
// driver keeps them as 0-2.
#include <memory>

#include "capture/k0340_props.h"
#include "console/panels/steering_panels.h"
#include "console/resources/resource_ids.h"

namespace k0340cvw {
namespace {

constexpr ULONG kModeOffset = 24;

// The camera's mode as the panel counts it, or 0 when it cannot be read.
int ReadMode(const std::string& device) {
    if (device.empty()) return 0;
    DeviceSession session{};
    LONG value = -1;
    const bool ok = OpenDeviceSession(device.c_str(), &session) &&
                    GetCustomProperty(&session, PROPSETID_K0340_TRACKING, KSPROPERTY_K0340_TRACKING_MODE, kModeOffset, &value);
    CloseDeviceSession(&session);
    return ok && value >= 0 && value <= 2 ? static_cast<int>(value) + 1 : 0;
}

bool WriteMode(const std::string& device, int mode) {
    if (device.empty()) return false;
    DeviceSession session{};
    const bool ok = OpenDeviceSession(device.c_str(), &session) &&
                    SetCustomProperty(&session, PROPSETID_K0340_TRACKING, KSPROPERTY_K0340_TRACKING_MODE, kModeOffset, mode - 1);
    CloseDeviceSession(&session);
    return ok;
}

}  // namespace

FaceTrackingPanel::FaceTrackingPanel() : Panel(kFaceTrackingPanelTitle, IDD_FACE_TRACKING_PANEL) {}

FaceTrackingPanel::~FaceTrackingPanel() {
    if (HWND hwnd = Window()) KillTimer(hwnd, kRefreshTimer);
}

void FaceTrackingPanel::SetDevice(const std::string& description) {
    if (description != Device()) {
        // A choice made for the previous camera does not follow to this one.
        if (HWND hwnd = Window(); hwnd == nullptr || OnWindowThread()) {
            pending_ = 0;
        } else {
            PostMessageW(hwnd, kReadMessage, 2, 0);
        }
    }
    nextReadMayUsePending_ = true;
    Panel::SetDevice(description);
}

int FaceTrackingPanel::ShownMode() const { return shown_.load(); }

void FaceTrackingPanel::ReadControls() {
    HWND hwnd = Window();
    if (hwnd == nullptr) return;
    const bool usePending = nextReadMayUsePending_.exchange(false);
    if (OnWindowThread()) {
        Read(usePending);
    } else {
        PostMessageW(hwnd, kReadMessage, usePending ? 1 : 0, 0);
    }
}

void FaceTrackingPanel::Read(bool usePending) {
    const std::string device = Device();
    if (device.empty()) {
        DisableAll();
        return;
    }
    int mode = ReadMode(device);
    if (usePending && pending_ != 0) mode = pending_;
    // A failed read leaves the controls as they are.
    if (mode != 0) Show(mode);
}

void FaceTrackingPanel::Show(int mode) {
    HWND hwnd = Window();
    shown_ = mode;
    const bool on = mode != 1;
    EnableWindow(GetDlgItem(hwnd, IDC_TRACKING), TRUE);
    CheckDlgButton(hwnd, IDC_TRACKING, on ? BST_CHECKED : BST_UNCHECKED);
    EnableWindow(GetDlgItem(hwnd, IDC_TRACK_MODE_1), on);
    EnableWindow(GetDlgItem(hwnd, IDC_TRACK_MODE_2), on);
    EnableWindow(GetDlgItem(hwnd, IDC_TRACK_SETTINGS), on);
    CheckDlgButton(hwnd, IDC_TRACK_MODE_1, mode == 2 ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(hwnd, IDC_TRACK_MODE_2, mode == 3 ? BST_CHECKED : BST_UNCHECKED);
}

void FaceTrackingPanel::DisableAll() {
    HWND hwnd = Window();
    shown_ = 0;
    for (int id : {IDC_TRACKING, IDC_TRACK_MODE_1, IDC_TRACK_MODE_2, IDC_TRACK_SETTINGS}) {
        EnableWindow(GetDlgItem(hwnd, id), FALSE);
    }
}

void FaceTrackingPanel::BoxClicked() {
    HWND hwnd = Window();
    if (IsDlgButtonChecked(hwnd, IDC_TRACKING) == BST_CHECKED) {
        ChooseMode(remembered_ == 1 ? 3 : remembered_);
    } else {
        // Remember what the camera had, so that ticking again restores it.
        const int current = ReadMode(Device());
        if (current > 1) remembered_ = current;
        ChooseMode(1);
    }
}

void FaceTrackingPanel::ChooseMode(int mode) {
    if (mode != 1) remembered_ = mode;
    Show(mode);
    if (WriteMode(Device(), mode)) {
        pending_ = 0;
        NotifyChange();
    } else {
        pending_ = mode;
    }
    BroadcastSettingsChanged(4);
}

void FaceTrackingPanel::RunOptions() {
    HWND hwnd = Window();
    const std::string device = Device();
    if (device.empty()) return;
    RunTrackingOptions(hwnd, reinterpret_cast<HMODULE>(GetWindowLongPtrW(hwnd, GWLP_HINSTANCE)), device, Mode());
}

INT_PTR FaceTrackingPanel::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    HWND hwnd = Window();
    switch (message) {
    case WM_INITDIALOG:
        SkinPanelWindow(skin_, hwnd, "InfoPanelWnd.png");
        RegisterWindowMessageA(kSettingsChangedMessage);
        DisableAll();
        Read(false);
        SetTimer(hwnd, kRefreshTimer, kRefreshMilliseconds, nullptr);
        return TRUE;
    case WM_TIMER:
        if (wParam == kRefreshTimer) Refresh();
        return TRUE;
    case kReadMessage:
        if (wParam == 2) {
            pending_ = 0;
        } else {
            Read(wParam == 1);
        }
        return TRUE;
    case WM_COMMAND:
        if (HIWORD(wParam) != BN_CLICKED) return FALSE;
        switch (LOWORD(wParam)) {
        case IDC_TRACKING: BoxClicked(); return TRUE;
        case IDC_TRACK_MODE_1: ChooseMode(2); return TRUE;
        case IDC_TRACK_MODE_2: ChooseMode(3); return TRUE;
        case IDC_TRACK_SETTINGS: RunOptions(); return TRUE;
        default: return FALSE;
        }
    case WM_KEYDOWN:
        if (wParam != VK_TAB) break;
        if (shown_ == 1 || shown_ == 0) {
            SetFocus(GetDlgItem(hwnd, IDC_TRACKING));
        } else {
            SetFocus(GetDlgItem(hwnd, shown_ == 2 ? IDC_TRACK_MODE_1 : IDC_TRACK_MODE_2));
        }
        return TRUE;
    case WM_DESTROY:
        KillTimer(hwnd, kRefreshTimer);
        break;
    default:
        break;
    }
    return Panel::HandleMessage(message, wParam, lParam);
}

std::unique_ptr<Panel> MakeFaceTrackingPanel() { return std::make_unique<FaceTrackingPanel>(); }

}  // namespace k0340cvw
