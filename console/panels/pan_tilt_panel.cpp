// "Pan and Tilt Panel": moves the picture by hand through the camera
// control's pan, tilt and zoom. A held button repeats on a worker thread that
// speeds up as it goes; the steps themselves run on the panel's thread. One
// named mutex keeps two consoles from moving the camera at the same time.
#include <chrono>
#include <cstdint>
#include <memory>

#include "commctrl.h"
#include "console/panels/steering_panels.h"
#include "console/resources/resource_ids.h"
#include "synchapi.h"

namespace k0340cvw {

struct PanTiltPanel::Button {
    int id;
    const char* picture;
    int pan;   // -1 left, +1 right
    int tilt;  // +1 up, -1 down
    int zoom;  // +1 in, -1 out
    int key;   // the key that keeps it repeating (0: none)
    WPARAM code;
    UINT tip;
};

namespace {

using Button = PanTiltPanel::Button;

// The centre button is the one with no direction at all.
constexpr Button kButtons[] = {
    {IDC_PT_CENTER, "PT_BttnC.png", 0, 0, 0, 0, 0, 12},
    {IDC_PT_LEFT, "PT_BttnL.png", -1, 0, 0, VK_LEFT, 2, 8},
    {IDC_PT_RIGHT, "PT_BttnR.png", 1, 0, 0, VK_RIGHT, 2, 9},
    {IDC_PT_UP, "PT_BttnT.png", 0, 1, 0, VK_UP, 2, 10},
    {IDC_PT_DOWN, "PT_BttnD.png", 0, -1, 0, VK_DOWN, 2, 11},
    {IDC_PT_ZOOM_IN, "PTBttnZ_in.png", 0, 0, 1, VK_ADD, 1, 13},
    {IDC_PT_ZOOM_OUT, "PTBttnZ_out.png", 0, 0, -1, VK_SUBTRACT, 1, 14},
    {IDC_PT_LEFT_UP, "PT_BttnLU.png", -1, 1, 0, VK_HOME, 2, 57702},
    {IDC_PT_RIGHT_UP, "PT_BttnRU.png", 1, 1, 0, VK_PRIOR, 2, 57704},
    {IDC_PT_LEFT_DOWN, "PT_BttnLD.png", -1, -1, 0, VK_END, 2, 57703},
    {IDC_PT_RIGHT_DOWN, "PT_BttnRD.png", 1, -1, 0, VK_NEXT, 2, 57705},
};

const Button* Find(int id) {
    for (const Button& b : kButtons) {
        if (b.id == id) return &b;
    }
    return nullptr;
}
const Button* FindByKey(WPARAM key) {
    for (const Button& b : kButtons) {
        if (b.key != 0 && static_cast<WPARAM>(b.key) == key) return &b;
    }
    return nullptr;
}

// The camera's "still moving" report; this package's driver has no such set,
// so the request fails and counts as idle.
constexpr GUID kMotionStatusSet = {0x45B7AB4F, 0xF7F0, 0x494C, {0x88, 0xD0, 0x3F, 0x4E, 0xF8, 0xE1, 0xEF, 0x47}};

constexpr UINT kStepMessage = WM_APP + 42;       // wParam: button; answers 1 while it stays available
constexpr UINT kMilestoneMessage = WM_APP + 43;  // wParam: button

std::atomic<bool> g_repeating{false};  // one repeat worker per process

LONG Clamp(LONG v, const ControlSetting& s) { return v < s.minimum ? s.minimum : (v > s.maximum ? s.maximum : v); }

// The panel's dialog keeps its Panel in DWLP_USER (0 once it is being destroyed).
PanTiltPanel* PanelOf(HWND button) {
    auto* panel = reinterpret_cast<Panel*>(GetWindowLongPtrW(GetParent(button), DWLP_USER));
    return static_cast<PanTiltPanel*>(panel);
}

}  // namespace

PanTiltPanel::PanTiltPanel() : Panel(kPanTiltPanelTitle, IDD_PAN_TILT_PANEL) {}

PanTiltPanel::~PanTiltPanel() {
    if (stop_ != nullptr) SetEvent(stop_);
    if (worker_.joinable()) {
        // The worker may be sending a step to this thread: answer while waiting.
        while (g_repeating.load()) {
            MSG msg;
            PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        worker_.join();
    }
    if (HWND hwnd = Window()) KillTimer(hwnd, kRefreshTimer);
    if (stop_ != nullptr) CloseHandle(stop_);
    if (mutex_ != nullptr) CloseHandle(mutex_);
}

bool PanTiltPanel::Repeating() { return g_repeating.load(); }

void PanTiltPanel::ReadControls() {
    HWND hwnd = Window();
    if (hwnd == nullptr) return;
    if (OnWindowThread()) {
        Read();
    } else {
        PostMessageW(hwnd, kReadMessage, 0, 0);
    }
}

void PanTiltPanel::Read() {
    settle_ = false;
    const std::string device = Device();
    DeviceSession session{};
    bool ok = !device.empty() && OpenDeviceSession(device.c_str(), &session);
    if (ok) {
        ReadControl(&session, kCameraControl, CameraControl_Zoom, &zoom_);
        ReadControl(&session, kCameraControl, CameraControl_Pan, &pan_);
        ReadControl(&session, kCameraControl, CameraControl_Tilt, &tilt_);
        ok = zoom_.valid || pan_.valid || tilt_.valid;
    }
    if (!device.empty()) CloseDeviceSession(&session);
    if (ok) {
        UpdateButtons();
    } else {
        zoom_.valid = pan_.valid = tilt_.valid = 0;
        DisableAll();
    }
}

void PanTiltPanel::DisableAll() {
    for (const Button& b : kButtons) EnableWindow(GetDlgItem(Window(), b.id), FALSE);
}

void PanTiltPanel::UpdateButtons() {
    HWND hwnd = Window();
    const auto enable = [hwnd](int id, bool on) { EnableWindow(GetDlgItem(hwnd, id), on); };
    enable(IDC_PT_ZOOM_IN, zoom_.valid && zoom_.value < zoom_.maximum);
    enable(IDC_PT_ZOOM_OUT, zoom_.valid && zoom_.value > zoom_.minimum);
    // Without zoom the whole picture is shown and there is nothing to move;
    // a camera without a zoom control moves whatever it has.
    const bool zoomedIn = !zoom_.valid || zoom_.value > zoom_.minimum;
    const bool movable = zoomedIn && pan_.valid && tilt_.valid;
    for (const Button& b : kButtons) {
        if (b.zoom != 0) continue;
        bool on = movable;
        if (b.pan < 0) on = on && pan_.value > pan_.minimum;
        if (b.pan > 0) on = on && pan_.value < pan_.maximum;
        if (b.pan == 0 && b.tilt > 0) on = on && tilt_.value < tilt_.maximum;
        if (b.pan == 0 && b.tilt < 0) on = on && tilt_.value > tilt_.minimum;
        enable(b.id, on);
    }
}

bool PanTiltPanel::Write() {
    const std::string device = Device();
    if (device.empty()) return false;
    DeviceSession session{};
    bool ok = OpenDeviceSession(device.c_str(), &session);
    if (ok) {
        if (zoom_.valid) ok = WriteControl(&session, kCameraControl, CameraControl_Zoom, &zoom_) && ok;
        if (pan_.valid) ok = WriteControl(&session, kCameraControl, CameraControl_Pan, &pan_) && ok;
        if (tilt_.valid) ok = WriteControl(&session, kCameraControl, CameraControl_Tilt, &tilt_) && ok;
    }
    CloseDeviceSession(&session);
    return ok;
}

bool PanTiltPanel::Step(int id) {
    const Button* b = Find(id);
    HWND hwnd = Window();
    if (b == nullptr || hwnd == nullptr) return false;
    constexpr LONG multiplier = 1;
    if (b->pan == 0 && b->tilt == 0 && b->zoom == 0) {
        pan_.value = pan_.defaultValue;
        tilt_.value = tilt_.defaultValue;
        for (const Button& each : kButtons) EnableWindow(GetDlgItem(hwnd, each.id), TRUE);
        BroadcastSettingsChanged(2);
        NotifyChange();
    } else {
        if (pan_.valid) pan_.value = Clamp(pan_.value + b->pan * multiplier * pan_.step, pan_);
        if (tilt_.valid) tilt_.value = Clamp(tilt_.value + b->tilt * multiplier * tilt_.step, tilt_);
        if (zoom_.valid) zoom_.value = Clamp(zoom_.value + b->zoom * zoom_.step, zoom_);
    }
    Write();
    settle_ = true;
    UpdateButtons();
    if (b->zoom != 0 && zoom_.valid) {
        if (zoom_.value >= zoom_.maximum) SetFocus(GetDlgItem(hwnd, IDC_PT_ZOOM_OUT));
        if (zoom_.value <= zoom_.minimum) SetFocus(GetDlgItem(hwnd, IDC_PT_ZOOM_IN));
    }
    if (observer_) observer_(id);
    return IsWindowEnabled(GetDlgItem(hwnd, id)) != FALSE;
}

void PanTiltPanel::Milestone(int id) {
    const Button* b = Find(id);
    if (b == nullptr) return;
    NotifyChange();
    BroadcastSettingsChanged(b->code);
    if (id != IDC_PT_ZOOM_OUT) UpdateButtons();
}

void PanTiltPanel::Press(int id) {
    if (g_repeating.exchange(true)) return;  // a worker already runs: ignored
    if (worker_.joinable()) worker_.join();   // the previous one has ended
    ResetEvent(stop_);
    worker_ = std::thread(&PanTiltPanel::Repeat, this, id);
}

void PanTiltPanel::Repeat(int id) {
    HWND hwnd = Window();
    const Button* b = Find(id);
    const DWORD taken = WaitForSingleObject(mutex_, 0);
    if (hwnd == nullptr || b == nullptr || (taken != WAIT_OBJECT_0 && taken != WAIT_ABANDONED_0)) {
        // Another console is moving the camera: this move is dropped.
        g_repeating = false;
        return;
    }
    HWND button = GetDlgItem(hwnd, id);
    bool going = SendMessageW(hwnd, kStepMessage, id, 0) != 0;
    DWORD wait = 200;
    for (int steps = 1; going;) {
        // The next step is due `wait` after this one, however late this
        // thread gets to its wait.
        const DWORD due = GetTickCount() + wait;
        ++waits_;
        const DWORD now = GetTickCount();
        const DWORD left = static_cast<int32_t>(due - now) > 0 ? due - now : 0;
        if (WaitForSingleObject(stop_, left) != WAIT_TIMEOUT) break;
        const bool pressed = (SendMessageW(button, BM_GETSTATE, 0, 0) & BST_PUSHED) != 0;
        const bool mouse = GetAsyncKeyState(VK_LBUTTON) < 0;
        if (!pressed || (!mouse && (b->key == 0 || GetAsyncKeyState(b->key) >= 0))) break;
        going = SendMessageW(hwnd, kStepMessage, id, 0) != 0;
        if (++steps % 5 == 0) {
            if (wait > 20) wait /= 2;
            SendMessageW(hwnd, kMilestoneMessage, id, 0);
        }
    }
    SendMessageW(hwnd, kMilestoneMessage, id, 0);
    ReleaseMutex(mutex_);
    g_repeating = false;
}

void PanTiltPanel::WaitUntilIdle() {
    while (settle_) {
        LONG moving = 0;
        DeviceSession session{};
        const std::string device = Device();
        const bool asked = !device.empty() && OpenDeviceSession(device.c_str(), &session) &&
                           GetCustomProperty(&session, kMotionStatusSet, 3, 28, &moving);
        if (!device.empty()) CloseDeviceSession(&session);
        if (!asked || (moving & 3) == 0) {
            Sleep(100);
            return;
        }
        Sleep(200);
    }
}

void PanTiltPanel::SettingsChanged(WPARAM code) {
    if (Window() == nullptr) return;
    WaitUntilIdle();
    if (code & 4) {
        Read();
    } else if (code & 3) {
        // Someone moving the camera right now (this console's worker or
        // another's) holds the mutex: their moves are not re-read midway.
        const DWORD taken = WaitForSingleObject(mutex_, 0);
        if (taken == WAIT_OBJECT_0 || taken == WAIT_ABANDONED_0) {
            Read();
            ReleaseMutex(mutex_);
        }
    }
}

void PanTiltPanel::Init() {
    HWND hwnd = Window();
    // The buttons around the reference control: the arrows and centre in a
    // 3 x 3 grid on it, the zoom buttons to its right.
    RECT ref{};
    HWND reference = GetDlgItem(hwnd, IDC_PT_REFERENCE);
    GetWindowRect(reference, &ref);
    MapWindowPoints(nullptr, hwnd, reinterpret_cast<POINT*>(&ref), 2);
    const int cx = (ref.left + ref.right) / 2;
    const int cy = (ref.top + ref.bottom) / 2;
    for (const Button& b : kButtons) {
        HWND item = GetDlgItem(hwnd, b.id);
        if (b.zoom != 0) {
            const int y = b.zoom > 0 ? cy - 35 - 2 : cy + 2;
            MoveWindow(item, ref.right + 16, y, 34, 35, FALSE);
        } else {
            MoveWindow(item, cx - 13 + b.pan * 27, cy - 13 - b.tilt * 26, 27, 26, FALSE);
        }
        SetWindowTextW(item, u"");
        SetWindowLongPtrW(item, GWLP_USERDATA, GetWindowLongPtrW(item, GWLP_WNDPROC));
        SetWindowLongPtrW(item, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&PanTiltPanel::ButtonProc));
    }
    ShowWindow(reference, SW_HIDE);
    ChildSkin children[std::size(kButtons)];
    for (size_t i = 0; i < std::size(kButtons); ++i) children[i] = {kButtons[i].id, kButtons[i].picture};
    SkinPanelWindow(skin_, hwnd, "InfoPanelWnd.png", children, std::size(children));

    HINSTANCE resources = reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(hwnd, GWLP_HINSTANCE));
    tooltip_ = CreateWindowExW(0, TOOLTIPS_CLASSW, u"", WS_POPUP, 0, 0, 0, 0, hwnd, nullptr, nullptr, nullptr);
    for (const Button& b : kButtons) {
        char16_t text[128] = {};
        if (tooltip_ == nullptr || LoadStringW(resources, b.tip, text, 128) <= 0) continue;
        TOOLINFOW ti{sizeof ti, TTF_IDISHWND | TTF_SUBCLASS, hwnd, reinterpret_cast<UINT_PTR>(GetDlgItem(hwnd, b.id)), {},
                     nullptr, text, 0, nullptr};
        SendMessageW(tooltip_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&ti));
    }

    Read();
    RegisterWindowMessageA(kSettingsChangedMessage);
    SetTimer(hwnd, kRefreshTimer, kRefreshMilliseconds, nullptr);
    mutex_ = CreateMutexA(nullptr, FALSE, kPanTiltMutexName);
    stop_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

LRESULT CALLBACK PanTiltPanel::ButtonProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    const auto original = reinterpret_cast<WNDPROC>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    PanTiltPanel* panel = PanelOf(hwnd);
    switch (message) {
    case WM_GETDLGCODE:
        // The arrow and page keys move the camera instead of the focus.
        return CallWindowProcW(original, hwnd, message, wParam, lParam) | DLGC_WANTARROWS | DLGC_WANTALLKEYS;
    case WM_LBUTTONDOWN: {
        const LRESULT r = CallWindowProcW(original, hwnd, message, wParam, lParam);
        if (panel && IsWindowEnabled(hwnd)) panel->Press(GetDlgCtrlID(hwnd));
        return r;
    }
    case WM_KEYDOWN:
        if (const Button* b = FindByKey(wParam); b && panel && !(lParam & (1 << 30))) {
            HWND target = GetDlgItem(GetParent(hwnd), b->id);
            if (IsWindowEnabled(target)) {
                SendMessageW(target, BM_SETSTATE, TRUE, 0);
                panel->Press(b->id);
            }
            return 0;
        }
        break;
    case WM_KEYUP:
        if (const Button* b = FindByKey(wParam)) {
            SendMessageW(GetDlgItem(GetParent(hwnd), b->id), BM_SETSTATE, FALSE, 0);
            return 0;
        }
        break;
    default:
        break;
    }
    return CallWindowProcW(original, hwnd, message, wParam, lParam);
}

INT_PTR PanTiltPanel::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG:
        Init();
        return TRUE;
    case WM_TIMER:
        if (wParam == kRefreshTimer) Refresh();
        return TRUE;
    case kReadMessage:
        Read();
        return TRUE;
    case kStepMessage:
        SetWindowLongPtrW(Window(), DWLP_MSGRESULT, Step(static_cast<int>(wParam)) ? 1 : 0);
        return TRUE;
    case kMilestoneMessage:
        Milestone(static_cast<int>(wParam));
        return TRUE;
    case WM_DESTROY:
        KillTimer(Window(), kRefreshTimer);
        break;
    default:
        break;
    }
    return Panel::HandleMessage(message, wParam, lParam);
}

std::unique_ptr<Panel> MakePanTiltPanel() { return std::make_unique<PanTiltPanel>(); }

}  // namespace k0340cvw
