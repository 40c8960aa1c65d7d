// The console window. Everything here runs on the window's thread except
// the device re-check job, which reconciles the camera list on a thread of
// its own (one job at a time under `deviceLock`) and reaches the controls
// by message only.
#include "console/console_window.h"

#include <algorithm>
#include <cstring>

#include "commctrl.h"
#include "console/resources/resource_ids.h"
#include "fileapi.h"
#include "synchapi.h"
#include "sysinfoapi.h"
#include "wingdi.h"
#include "winreg.h"

namespace k0340cvw {
namespace {

constexpr UINT kMoveByCaption = 0xF011;  // SC_MOVE started by the mouse
constexpr UINT kSizeFromBottom = 0xF006;  // SC_SIZE from the bottom edge
constexpr LONG kRightToLeftExStyle = 0x00400000;  // WS_EX_LAYOUTRTL
constexpr COLORREF kSelectedFrame = RGB(0x0A, 0x24, 0x6A);
constexpr COLORREF kSelectedInner = RGB(0xB6, 0xBD, 0xD2);
constexpr COLORREF kItemFill = RGB(0xF9, 0xF8, 0xF7);
constexpr int kMenuItemHeight = 20;
constexpr UINT kCameraListChanged = WM_USER + 0x200;  // from the re-check job: lParam the cameras found

std::string LoadText(HMODULE module, UINT id) {
    char buffer[512] = {};
    const int n = LoadStringA(module, id, buffer, sizeof buffer);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

std::u16string LoadWide(HMODULE module, UINT id) {
    char16_t buffer[256] = {};
    const int n = LoadStringW(module, id, reinterpret_cast<LPWSTR>(buffer), 256);
    return n > 0 ? std::u16string(buffer, static_cast<size_t>(n)) : std::u16string();
}

void WriteUserValue(const char* name, DWORD value) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, kConsoleKeyPath, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS) {
        return;  // registry failures are ignored: the window simply forgets
    }
    RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    RegCloseKey(key);
}

RECT WindowRect(HWND hwnd) {
    RECT r{};
    GetWindowRect(hwnd, &r);
    return r;
}

RECT ClientRect(HWND hwnd) {
    RECT r{};
    GetClientRect(hwnd, &r);
    return r;
}

// Where a child sits in its parent's client area.
RECT ChildRect(HWND child) {
    RECT r = WindowRect(child);
    MapWindowPoints(nullptr, GetParent(child), reinterpret_cast<LPPOINT>(&r), 2);
    return r;
}

struct DeviceJobBlock {
    uint32_t tag;
    HANDLE deviceLock;
    ConsoleWindow* window;
};

}  // namespace

namespace {

// The engine named by its App Paths entry in one registry view, when that
// names an existing file.
std::string EngineInView(REGSAM view) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kEngineAppPath, 0, KEY_READ | view, &key) != ERROR_SUCCESS) return {};
    char path[MAX_PATH] = {};
    DWORD type = 0, bytes = sizeof path - 1;
    const bool read = RegQueryValueExA(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(path), &bytes) ==
                          ERROR_SUCCESS &&
                      (type == REG_SZ || type == REG_EXPAND_SZ);
    RegCloseKey(key);
    if (!read || path[0] == 0) return {};
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) return {};
    return path;
}

}  // namespace

// The engine's installation writes its App Paths entry in the process's own
// view, where the effects panel reads it to start the engine; an entry in
// the 32-bit view (the console's own machine keys) counts as well.
std::string FindEffectsEngine() {
    std::string path = EngineInView(0);
    if (path.empty()) path = EngineInView(KEY_WOW64_32KEY);
    return path;
}

int DisplayDensity() {
    HDC screen = GetDC(nullptr);
    const int x = GetDeviceCaps(screen, LOGPIXELSX), y = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    if (x == y && (x == 96 || x == 120)) return x;
    return 100;
}

ConsoleWindow::ConsoleWindow(ConsoleState* state, std::vector<std::string> devices, ConsoleMode mode)
    : state_(state), devices_(std::move(devices)), mode_(mode) {
    if (state_ != nullptr && state_->currentDevice != nullptr) current_ = state_->currentDevice;
}

ConsoleWindow::~ConsoleWindow() {
    // Panels before their stacks: a panel's notifier calls into the panel.
    panels_.clear();
    videoStack_.reset();
    audioStack_.reset();
    if (hwnd_ != nullptr && IsWindow(hwnd_)) {
        SetWindowLongPtrW(hwnd_, DWLP_USER, 0);
        DestroyWindow(hwnd_);
    }
    if (titleFont_ != nullptr) DeleteObject(titleFont_);
    if (cameraMenu_ != nullptr) DestroyMenu(cameraMenu_);
    // Loaded by LoadImage (not shared): the window gives it back after its windows are gone.
    if (icon_ != nullptr) DestroyIcon(icon_);
}

INT_PTR ConsoleWindow::RunModal() {
    resources_ = console::ResourceModule();
    return DialogBoxParamA(resources_, MAKEINTRESOURCEA(IDD_CONSOLE), nullptr, Proc, reinterpret_cast<LPARAM>(this));
}

HWND ConsoleWindow::CreateModeless() {
    resources_ = console::ResourceModule();
    return CreateDialogParamA(resources_, MAKEINTRESOURCEA(IDD_INTEGRATED_CONSOLE), nullptr, Proc,
                              reinterpret_cast<LPARAM>(this));
}

std::vector<Panel*> ConsoleWindow::Panels() const {
    std::vector<Panel*> list;
    for (const auto& p : panels_) list.push_back(p.get());
    return list;
}

Panel* ConsoleWindow::FindPanel(const std::string& title) const {
    for (const auto& p : panels_) {
        if (p->Title() == title) return p.get();
    }
    return nullptr;
}

std::string ConsoleWindow::CurrentDevice() const {
    std::lock_guard guard(currentLock_);
    return current_;
}

INT_PTR CALLBACK ConsoleWindow::Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        auto* window = reinterpret_cast<ConsoleWindow*>(lParam);
        SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
        window->hwnd_ = hwnd;
        if (window->mode_ == ConsoleMode::Standalone) {
            window->Initialise();
        } else {
            window->InitialiseIntegrated();
        }
        return TRUE;
    }
    auto* window = reinterpret_cast<ConsoleWindow*>(GetWindowLongPtrW(hwnd, DWLP_USER));
    if (window == nullptr) return FALSE;
    const INT_PTR result = window->Handle(message, wParam, lParam);
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrW(hwnd, DWLP_USER, 0);
        window->hwnd_ = nullptr;
    }
    return result;
}

// ---- Initialisation ------------------------------------------------------------------------

void ConsoleWindow::Initialise() {
    density_ = DisplayDensity();
    icon_ = static_cast<HICON>(LoadImageA(resources_, MAKEINTRESOURCEA(IDI_CONSOLE), IMAGE_ICON, 16, 16, 0));
    SendMessageW(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
    SendMessageW(hwnd_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon_));
    SetWindowTextA(hwnd_, LoadText(resources_, 57673).c_str());
    SetWindowLongW(hwnd_, GWL_STYLE, GetWindowLongW(hwnd_, GWL_STYLE) | WS_MINIMIZEBOX | WS_SYSMENU);

    PlaceWindow();
    ShowWindow(hwnd_, SW_SHOW);
    SkinWindow();

    // The tab bar sits under the caption band and the camera button.
    const RECT camera = ChildRect(GetDlgItem(hwnd_, IDC_CAMERA));
    tabBar_ = CreateDialogParamA(resources_, MAKEINTRESOURCEA(IDD_TAB_BAR), hwnd_, TabProc, reinterpret_cast<LPARAM>(this));
    if (tabBar_ != nullptr) {
        RECT tabs = WindowRect(tabBar_);
        const int width = ClientRect(hwnd_).right - 2 - (density_ == 120 ? 1 : 0);
        SetWindowPos(tabBar_, nullptr, 1, camera.bottom + 2, width, tabs.bottom - tabs.top, SWP_NOZORDER | SWP_NOACTIVATE);
        CheckDlgButton(tabBar_, IDC_TAB_VIDEO, BST_CHECKED);
        SkinTabBar();
        ShowWindow(tabBar_, SW_SHOW);
        tabBottom_ = ChildRect(tabBar_).bottom;
    } else {
        tabBottom_ = camera.bottom + 2;
    }

    // The caption's title font.
    LOGFONTW lf{};
    lf.lfHeight = -12;
    lf.lfWeight = FW_BOLD;
    lf.lfCharSet = PRIMARYLANGID(GetUserDefaultLangID()) == LANG_JAPANESE ? SHIFTJIS_CHARSET : DEFAULT_CHARSET;
    std::memcpy(lf.lfFaceName, u"MS Shell Dlg", sizeof u"MS Shell Dlg");
    titleFont_ = CreateFontIndirectW(&lf);
    LayoutCaption();
    SetDlgItemTextA(hwnd_, IDC_TITLE, LoadText(resources_, 57673).c_str());
    FillCameraMenu();
    SendDlgItemMessageW(hwnd_, IDC_TITLE, WM_SETFONT, reinterpret_cast<WPARAM>(titleFont_), TRUE);
    if (tabBar_ != nullptr) SendMessageW(tabBar_, WM_SETFONT, reinterpret_cast<WPARAM>(titleFont_), TRUE);

    MakeStacks(tabBottom_);
    if (videoStack_) SendMessageW(videoStack_->Window(), WM_SETFONT, reinterpret_cast<WPARAM>(titleFont_), TRUE);
    settingsChanged_ = RegisterWindowMessageA(kSettingsChangedMessage);
    SetWindowPos(GetDlgItem(hwnd_, IDC_SETTINGS), nullptr, 0, 0, 28, 24, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    const RECT client = ClientRect(hwnd_);
    LayOut(client.right, client.bottom);

    HWND tooltip = CreateWindowExW(0, TOOLTIPS_CLASSW, u"", WS_POPUP, 0, 0, 0, 0, hwnd_, nullptr, nullptr, nullptr);
    if (tooltip != nullptr) {
        for (auto [id, text] : {std::pair{IDC_MINIMIZE, 57698u}, std::pair{IDC_CLOSE, 57699u}}) {
            std::u16string tip = LoadWide(resources_, text);
            TOOLINFOW ti{sizeof ti, TTF_IDISHWND | TTF_SUBCLASS, hwnd_,
                         reinterpret_cast<UINT_PTR>(GetDlgItem(hwnd_, id)), {}, nullptr,
                         reinterpret_cast<LPWSTR>(tip.data()), 0, nullptr};
            SendMessageW(tooltip, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&ti));
        }
    }

    if (state_ != nullptr) {
        state_->windowHandle = hwnd_;
        StartRestoreWatcher(state_);
        state_->deviceLock = CreateMutexA(nullptr, FALSE, nullptr);
    }
    SwitchCamera();
}

void ConsoleWindow::InitialiseIntegrated() {
    density_ = DisplayDensity();
    icon_ = static_cast<HICON>(LoadImageA(resources_, MAKEINTRESOURCEA(IDI_CONSOLE), IMAGE_ICON, 16, 16, 0));
    SendMessageW(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
    SendMessageW(hwnd_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon_));
    ShowWindow(hwnd_, SW_SHOW);
    skinhook::ControlStyle tabStyle{sizeof(skinhook::ControlStyle), 2, "TabsButton.png", {}};
    const skinhook::ChildDescriptor children[] = {
        {sizeof(skinhook::ChildDescriptor), IDC_TAB_VIDEO, &tabStyle},
        {sizeof(skinhook::ChildDescriptor), IDC_TAB_AUDIO, &tabStyle},
    };
    const std::string bundle = console::SkinBundlePath();
    skinhook::SkinDescriptor d{sizeof(skinhook::SkinDescriptor), bundle.c_str(), skinhook::kNamedPiece,
                               "InfoPanelWnd.png", {}, 2, children};
    if (!skin_.AttachSkin(hwnd_, &d, console::SkinLibraryFolder().c_str())) {
        MessageBoxA(hwnd_, LoadText(resources_, 19).c_str(), LoadText(resources_, 57673).c_str(), MB_OK | MB_ICONWARNING);
    }
    tabBar_ = hwnd_;
    SetTabPictures();
    CheckDlgButton(hwnd_, IDC_TAB_VIDEO, BST_CHECKED);
    tabBottom_ = ChildRect(GetDlgItem(hwnd_, IDC_TAB_VIDEO)).bottom + 2;
    MakeStacks(tabBottom_);
    settingsChanged_ = RegisterWindowMessageA(kSettingsChangedMessage);
    const RECT client = ClientRect(hwnd_);
    LayOut(client.right, client.bottom);
    SwitchCamera();
}

void ConsoleWindow::PlaceWindow() {
    DWORD left = 0, top = 0, right = 0, bottom = 0, onTop = 0;
    const RECT now = WindowRect(hwnd_);
    const int width = now.right - now.left;
    if (ReadConsoleValue(HKEY_CURRENT_USER, "CurrentWinPosL", &left) &&
        ReadConsoleValue(HKEY_CURRENT_USER, "CurrentWinPosT", &top) &&
        ReadConsoleValue(HKEY_CURRENT_USER, "CurrentWinPosR", &right) &&
        ReadConsoleValue(HKEY_CURRENT_USER, "CurrentWinPosB", &bottom)) {
        ReadConsoleValue(HKEY_CURRENT_USER, "AlwaysOnTop", &onTop);
        const int x = static_cast<LONG>(left), y = static_cast<LONG>(top);
        SetWindowPos(hwnd_, onTop ? HWND_TOPMOST : HWND_NOTOPMOST, x, y, 0, 0, SWP_NOSIZE | SWP_NOACTIVATE);
        const int height = std::max<LONG>(static_cast<LONG>(bottom) - static_cast<LONG>(top), 0);
        SetWindowPos(hwnd_, nullptr, 0, 0, width, height, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
        positionRestored_ = true;
        return;
    }
    const int screenWidth = GetSystemMetrics(SM_CXSCREEN), screenHeight = GetSystemMetrics(SM_CYSCREEN);
    SetWindowPos(hwnd_, HWND_TOPMOST, screenWidth - width, screenHeight / 5, 0, 0, SWP_NOSIZE | SWP_NOACTIVATE);
}

void ConsoleWindow::SkinWindow() {
    skinhook::ControlStyle minimise{sizeof(skinhook::ControlStyle), 2, "Minimize.png", {}};
    skinhook::ControlStyle close{sizeof(skinhook::ControlStyle), 2, "Close.png", {}};
    skinhook::ControlStyle camera{sizeof(skinhook::ControlStyle), 2, "Button_Special.png", {}};
    skinhook::ControlStyle settings{sizeof(skinhook::ControlStyle), 2, "Setting.png", {}};
    const skinhook::ChildDescriptor children[] = {
        {sizeof(skinhook::ChildDescriptor), IDC_MINIMIZE, &minimise},
        {sizeof(skinhook::ChildDescriptor), IDC_CLOSE, &close},
        {sizeof(skinhook::ChildDescriptor), IDC_CAMERA, &camera},
        {sizeof(skinhook::ChildDescriptor), IDC_SETTINGS, &settings},
    };
    const std::string bundle = console::SkinBundlePath();
    skinhook::SkinDescriptor d{sizeof(skinhook::SkinDescriptor), bundle.c_str(), skinhook::kNamedPiece, "BG.png", {}, 4,
                               children};
    if (!skin_.AttachSkin(hwnd_, &d, console::SkinLibraryFolder().c_str())) {
        MessageBoxA(hwnd_, LoadText(resources_, 19).c_str(), LoadText(resources_, 57673).c_str(), MB_OK | MB_ICONWARNING);
    }
}

// The tab bar is skinned with the library the window loaded (found by name).
void ConsoleWindow::SkinTabBar() {
    skinhook::ControlStyle tabStyle{sizeof(skinhook::ControlStyle), 2, "TabsButton.png", {}};
    const skinhook::ChildDescriptor children[] = {
        {sizeof(skinhook::ChildDescriptor), IDC_TAB_VIDEO, &tabStyle},
        {sizeof(skinhook::ChildDescriptor), IDC_TAB_AUDIO, &tabStyle},
    };
    const std::string bundle = console::SkinBundlePath();
    skinhook::SkinDescriptor d{sizeof(skinhook::SkinDescriptor), bundle.c_str(), skinhook::kNamedPiece, "BG3.png", {}, 2,
                               children};
    if (tabSkin_.AttachSkin(tabBar_, &d, nullptr)) SetTabPictures();
}

void ConsoleWindow::SetTabPictures() {
    const UINT setPicture = RegisterWindowMessageA("WM_HKBUTTON_FUNCTION");
    static constexpr char kVideo[] = "BrioView.png", kAudio[] = "BrioAudio.png";
    SendDlgItemMessageA(tabBar_, IDC_TAB_VIDEO, setPicture, 6, reinterpret_cast<LPARAM>(kVideo));
    SendDlgItemMessageA(tabBar_, IDC_TAB_AUDIO, setPicture, 6, reinterpret_cast<LPARAM>(kAudio));
}

void ConsoleWindow::LayoutCaption() {
    const int width = ClientRect(hwnd_).right;
    SetWindowPos(GetDlgItem(hwnd_, IDC_ICON), nullptr, 5, (kCaptionHeight - 16) / 2, 16, 16, SWP_NOZORDER | SWP_NOACTIVATE);
    SendDlgItemMessageW(hwnd_, IDC_ICON, STM_SETICON, reinterpret_cast<WPARAM>(icon_), 0);
    const int titleLeft = 5 + 16 + 4;
    SetWindowPos(GetDlgItem(hwnd_, IDC_TITLE), nullptr, titleLeft, (kCaptionHeight - 16) / 2,
                 std::max(0, width - 59 - titleLeft), 16, SWP_NOZORDER | SWP_NOACTIVATE);
    const int buttonTop = (kCaptionHeight - 24) / 2;
    SetWindowPos(GetDlgItem(hwnd_, IDC_MINIMIZE), nullptr, width - 54, buttonTop, 24, 24, SWP_NOZORDER | SWP_NOACTIVATE);
    SetWindowPos(GetDlgItem(hwnd_, IDC_CLOSE), nullptr, width - 29, buttonTop, 24, 24, SWP_NOZORDER | SWP_NOACTIVATE);
}

void ConsoleWindow::MakeStacks(int top) {
    const PanelMakers& makers = ThePanelMakers();
    enginePath_ = FindEffectsEngine();
    const bool audioFx = makers.audioFxInstalled != nullptr && makers.audioFxInstalled();
    const std::string bundle = console::SkinBundlePath();
    const DWORD style = MAKELONG(0, HIWORD(WS_VISIBLE));
    videoStack_ = console::InfoPanelWnd::Create(hwnd_, 0, kVideoStackId, style, bundle, "InfoPanelWnd.PNG");
    audioStack_ = console::InfoPanelWnd::Create(hwnd_, 0, kAudioStackId, style, bundle, "InfoPanelWnd.PNG");
    if (!videoStack_ || !audioStack_) return;
    const RECT client = ClientRect(hwnd_);
    for (auto* stack : {videoStack_.get(), audioStack_.get()}) {
        SetWindowPos(stack->Window(), nullptr, 1, top + 1, client.right - 2, std::max<LONG>(0, client.bottom - top - 31),
                     SWP_NOZORDER | SWP_NOACTIVATE);
    }

    struct Row {
        const char* title;
        bool video;
        UINT titleString;
        std::unique_ptr<Panel> panel;
    };
    std::vector<Row> rows;
    const auto add = [&rows](const char* title, bool video, UINT text, std::unique_ptr<Panel> panel) {
        if (panel) rows.push_back({title, video, text, std::move(panel)});
    };
    if (makers.view) add(kViewPanelTitle, true, 57700, makers.view());
    if (makers.faceTracking) add(kFaceTrackingPanelTitle, true, 57694, makers.faceTracking());
    if (makers.videoFx && !enginePath_.empty()) add(kVideoFxPanelTitle, true, 57696, makers.videoFx(enginePath_));
    if (makers.panTilt) add(kPanTiltPanelTitle, true, 57695, makers.panTilt());
    if (makers.autoFocus) add(kAutoFocusPanelTitle, true, 57723, makers.autoFocus());
    if (makers.audio) add(kAudioPanelTitle, false, 57697, makers.audio());
    if (makers.audioFx && audioFx) add(kAudioFxPanelTitle, false, 57701, makers.audioFx());

    videoCount_ = static_cast<int>(std::count_if(rows.begin(), rows.end(), [](const Row& r) { return r.video; }));
    int audioPosition = 0, videoPosition = 0;
    for (Row& row : rows) {
        console::InfoPanelWnd* stack = row.video ? videoStack_.get() : audioStack_.get();
        if (!row.panel->Create(stack->Window(), resources_, mode_)) continue;  // no template: the panel is left out
        const UINT id = row.video ? static_cast<UINT>(++videoPosition)
                                  : static_cast<UINT>(videoCount_ + ++audioPosition);
        if (!stack->Insert(row.panel->Window(), -1, LoadWide(resources_, row.titleString), id)) continue;
        panels_.push_back(std::move(row.panel));
    }
    videoStack_->SetStateKey(u"Software\\Lumora Tech\\Web Cameras\\QK0340\\Console", 0);
    audioStack_->SetStateKey(u"Software\\Lumora Tech\\Web Cameras\\QK0340\\Console", videoCount_);
    ShowWindow(videoStack_->Window(), SW_SHOW);
    ShowWindow(audioStack_->Window(), SW_HIDE);
    const int tallest = audioStack_->Count() > videoStack_->Count() ? audioStack_->TotalHeight() : videoStack_->TotalHeight();
    minimumHeight_ = (density_ == 120 ? top - 1 : top) + tallest + 30;
}

// ---- Layout --------------------------------------------------------------------------------

void ConsoleWindow::LayOut(int width, int height) {
    const int bottomTrim = density_ == 120 ? 1 : 0;
    if (mode_ == ConsoleMode::Integrated) {
        for (auto* stack : {videoStack_.get(), audioStack_.get()}) {
            if (stack) MoveWindow(stack->Window(), 0, tabBottom_, width, std::max(0, height - tabBottom_), TRUE);
        }
        return;
    }
    for (auto* stack : {videoStack_.get(), audioStack_.get()}) {
        if (stack) {
            MoveWindow(stack->Window(), 1, tabBottom_ + 1, std::max(0, width - 2),
                       std::max(0, height - (tabBottom_ + 31) - bottomTrim), TRUE);
        }
    }
    const bool rightToLeft = (GetWindowLongW(hwnd_, GWL_EXSTYLE) & kRightToLeftExStyle) != 0;
    HWND settings = GetDlgItem(hwnd_, IDC_SETTINGS);
    const int settingsX = rightToLeft ? width - 5 - 28 : 5;
    SetWindowPos(settings, nullptr, settingsX, height - kSettingsButtonFromBottom, 28, 24, SWP_NOZORDER | SWP_NOACTIVATE);
    const int gripX = rightToLeft ? 0 : width - kGripSize;
    SetWindowPos(GetDlgItem(hwnd_, IDC_GRIP), nullptr, gripX, height - kGripFromBottom, kGripSize, kGripSize,
                 SWP_NOZORDER | SWP_NOACTIVATE);
    LayoutCaption();
    HWND camera = GetDlgItem(hwnd_, IDC_CAMERA);
    const RECT c = ChildRect(camera);
    SetWindowPos(camera, nullptr, c.left, c.top, std::max(0, width - 2 * c.left), c.bottom - c.top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
}

bool ConsoleWindow::InIcon(POINT p) const { return p.x >= 5 && p.x < 5 + 16 && p.y >= 0 && p.y < kCaptionHeight; }

bool ConsoleWindow::InGrip(POINT p) const {
    const RECT client = ClientRect(hwnd_);
    return p.x >= client.right - kGripSize && p.y >= client.bottom - kGripSize && p.x < client.right && p.y < client.bottom;
}

// ---- Camera menu ---------------------------------------------------------------------------

void ConsoleWindow::AppendCamera(const std::string& description) {
    const UINT id = ++menuCounter_;
    menuItems_.resize(id - kFirstMenuItem);
    menuItems_.back() = description;
    // Items are found by identifier when measured and drawn: no item data.
    AppendMenuW(cameraMenu_, MF_OWNERDRAW, id, nullptr);
}

void ConsoleWindow::EmptyCameraMenu() {
    if (cameraMenu_ == nullptr) return;
    while (GetMenuItemCount(cameraMenu_) > 0) DeleteMenu(cameraMenu_, 0, MF_BYPOSITION);
    menuItems_.clear();
    menuCounter_ = kFirstMenuItem;
}

void ConsoleWindow::FillCameraMenu() {
    if (cameraMenu_ == nullptr) cameraMenu_ = CreatePopupMenu();
    EmptyCameraMenu();
    for (const std::string& d : devices_) AppendCamera(d);
    HWND button = GetDlgItem(hwnd_, IDC_CAMERA);
    const std::string current = CurrentDevice();
    if (devices_.empty() || current.empty()) {
        SetWindowTextA(button, LoadText(resources_, 4).c_str());
        EnableWindow(button, FALSE);
    } else {
        SetWindowTextA(button, ("   " + current).c_str());
        EnableWindow(button, TRUE);
    }
}

void ConsoleWindow::DropCameraMenu() {
    HWND button = GetDlgItem(hwnd_, IDC_CAMERA);
    const RECT r = WindowRect(button);
    TrackPopupMenu(cameraMenu_, TPM_LEFTALIGN | TPM_TOPALIGN | TPM_LEFTBUTTON, r.left, r.bottom - 3, 0, hwnd_, nullptr);
}

void ConsoleWindow::ChooseCamera(UINT item) {
    std::string chosen;
    {
        std::lock_guard guard(currentLock_);
        if (item <= kFirstMenuItem || item - kFirstMenuItem > menuItems_.size()) return;
        chosen = menuItems_[item - kFirstMenuItem - 1];
        if (chosen.empty()) return;
        current_ = chosen;
    }
    SetDlgItemTextA(hwnd_, IDC_CAMERA, ("   " + chosen).c_str());
    SendMessageW(hwnd_, kCameraChosen, 0, 0);
}

void ConsoleWindow::SwitchCamera() {
    const std::string device = CurrentDevice();
    if (state_ != nullptr) {
        // The list's own entry when the camera is recorded: copying over the
        // entry currentDevice points at would rename that camera in the list.
        if (char* recorded = FindCamera(state_, device.c_str()); recorded != nullptr) {
            state_->currentDevice = recorded;
        } else if (state_->currentDevice != nullptr) {
            std::strncpy(state_->currentDevice, device.c_str(), kCameraNameBytes - 1);
            state_->currentDevice[kCameraNameBytes - 1] = 0;
        }
    }
    for (const char* title : {kFaceTrackingPanelTitle, kAudioPanelTitle, kAudioFxPanelTitle, kVideoFxPanelTitle,
                              kPanTiltPanelTitle, kAutoFocusPanelTitle, kViewPanelTitle}) {
        if (Panel* panel = FindPanel(title)) panel->SetDevice(device);
    }
}

void ConsoleWindow::MeasureItem(MEASUREITEMSTRUCT* item) {
    const RECT button = WindowRect(GetDlgItem(hwnd_, IDC_CAMERA));
    item->itemWidth = static_cast<UINT>(std::max<LONG>(0, button.right - button.left - 20));
    item->itemHeight = kMenuItemHeight;
}

void ConsoleWindow::DrawItem(const DRAWITEMSTRUCT* item) {
    std::string text;
    {
        std::lock_guard guard(currentLock_);
        const UINT id = item->itemID;
        if (id > kFirstMenuItem && id - kFirstMenuItem <= menuItems_.size()) text = menuItems_[id - kFirstMenuItem - 1];
    }
    RECT r = item->rcItem;
    const bool selected = (item->itemState & ODS_SELECTED) != 0;
    HBRUSH frame = CreateSolidBrush(selected ? kSelectedFrame : kItemFill);
    FillRect(item->hDC, &r, frame);
    DeleteObject(frame);
    RECT inner = r;
    InflateRect(&inner, -1, -1);
    HBRUSH fill = CreateSolidBrush(selected ? kSelectedInner : kItemFill);
    FillRect(item->hDC, &inner, fill);
    DeleteObject(fill);
    SetBkMode(item->hDC, TRANSPARENT);
    SetTextColor(item->hDC, RGB(0, 0, 0));
    RECT textRect = inner;
    textRect.left = r.left + 5;
    DrawTextA(item->hDC, text.c_str(), -1, &textRect, DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX);
}

// ---- Tabs ----------------------------------------------------------------------------------

INT_PTR CALLBACK ConsoleWindow::TabProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
        return TRUE;
    }
    auto* window = reinterpret_cast<ConsoleWindow*>(GetWindowLongPtrW(hwnd, DWLP_USER));
    if (window == nullptr || message != WM_COMMAND || HIWORD(wParam) != BN_CLICKED) return FALSE;
    if (LOWORD(wParam) == IDC_TAB_VIDEO || LOWORD(wParam) == IDC_TAB_AUDIO) {
        window->ChooseTab(LOWORD(wParam) == IDC_TAB_VIDEO);
        return TRUE;
    }
    return FALSE;
}

void ConsoleWindow::ChooseTab(bool video) {
    SendMessageW(hwnd_, video ? kVideoTabChosen : kAudioTabChosen, 0, 0);
    CheckDlgButton(tabBar_, IDC_TAB_VIDEO, video ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(tabBar_, IDC_TAB_AUDIO, video ? BST_UNCHECKED : BST_CHECKED);
}

// ---- Position and z-order ------------------------------------------------------------------

void ConsoleWindow::SavePosition() {
    if (mode_ != ConsoleMode::Standalone || IsIconic(hwnd_)) return;
    const RECT r = WindowRect(hwnd_);
    WriteUserValue("CurrentWinPosL", static_cast<DWORD>(r.left));
    WriteUserValue("CurrentWinPosT", static_cast<DWORD>(r.top));
    WriteUserValue("CurrentWinPosR", static_cast<DWORD>(r.right));
    WriteUserValue("CurrentWinPosB", static_cast<DWORD>(r.bottom));
}

void ConsoleWindow::ApplyAlwaysOnTop(bool topmost, UINT extraFlags) {
    SetWindowPos(hwnd_, topmost ? HWND_TOPMOST : HWND_NOTOPMOST, 0, 0, 0, 0,
                 SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE | extraFlags);
}

void ConsoleWindow::InitMenu(HMENU menu) {
    const bool minimised = IsIconic(hwnd_) != 0;
    EnableMenuItem(menu, SC_MAXIMIZE, MF_BYCOMMAND | MF_GRAYED);
    EnableMenuItem(menu, SC_SIZE, MF_BYCOMMAND | MF_GRAYED);
    EnableMenuItem(menu, SC_MINIMIZE, MF_BYCOMMAND | (minimised ? MF_GRAYED : MF_ENABLED));
    EnableMenuItem(menu, SC_MOVE, MF_BYCOMMAND | (minimised ? MF_GRAYED : MF_ENABLED));
    EnableMenuItem(menu, SC_RESTORE, MF_BYCOMMAND | (minimised ? MF_ENABLED : MF_GRAYED));
}

// ---- Closing -------------------------------------------------------------------------------

void ConsoleWindow::Closing() {
    deviceChangeHandling_ = false;
    SavePosition();
    if (settingsDialog_ != nullptr && IsWindow(settingsDialog_)) SendMessageW(settingsDialog_, WM_COMMAND, IDCANCEL, 0);
    const char* const first[] = {kViewPanelTitle, kFaceTrackingPanelTitle, kVideoFxPanelTitle, kAutoFocusPanelTitle};
    const size_t count = mode_ == ConsoleMode::Standalone ? 4 : 2;  // the integrated window closes the first two
    for (size_t i = 0; i < count; ++i) {
        if (Panel* panel = FindPanel(first[i])) panel->Close();
    }
    // A re-check job still running sends to this window and reads this
    // object: wait for every job with the queue served.
    while (jobs_.load() > 0) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
        Sleep(5);
    }
    EmptyCameraMenu();
}

// ---- Messages ------------------------------------------------------------------------------

INT_PTR ConsoleWindow::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
    if (settingsChanged_ != 0 && message == settingsChanged_) {
        if (Panel* panTilt = FindPanel(kPanTiltPanelTitle)) panTilt->SettingsChanged(wParam);
        return TRUE;
    }
    switch (message) {
    case kCameraChosen:
        SwitchCamera();
        return TRUE;
    case kCameraListChanged:
        if (state_ != nullptr && lParam != 0) {
            const auto* found = reinterpret_cast<const ConsoleState*>(lParam);
            std::memcpy(state_->deviceNames, found->deviceNames, sizeof found->deviceNames);
            state_->deviceCount = found->deviceCount;
            const std::string current = CurrentDevice();
            state_->currentDevice = current.empty() ? nullptr : FindCamera(state_, current.c_str());
        }
        return TRUE;
    case kVideoTabChosen:
    case kAudioTabChosen:
        if (videoStack_ && audioStack_) {
            ShowWindow(videoStack_->Window(), message == kVideoTabChosen ? SW_SHOW : SW_HIDE);
            ShowWindow(audioStack_->Window(), message == kVideoTabChosen ? SW_HIDE : SW_SHOW);
        }
        return TRUE;
    case console::kFirstPanelOpened:
        if (mode_ == ConsoleMode::Standalone && !positionRestored_ && videoStack_ && videoStack_->Count() > 0) {
            const RECT first = WindowRect(videoStack_->PanelDialog(0));
            const RECT now = WindowRect(hwnd_);
            SetWindowPos(hwnd_, nullptr, 0, 0, now.right - now.left, minimumHeight_ + (first.bottom - first.top),
                         SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
        }
        return TRUE;
    case WM_SIZE:
        LayOut(LOWORD(lParam), HIWORD(lParam));
        return TRUE;
    case WM_SIZING: {
        auto* r = reinterpret_cast<RECT*>(lParam);
        if (mode_ == ConsoleMode::Standalone && r->bottom - r->top < minimumHeight_) r->bottom = r->top + minimumHeight_;
        SetWindowLongPtrW(hwnd_, DWLP_MSGRESULT, TRUE);
        return TRUE;
    }
    case WM_INITMENU:
        if (mode_ == ConsoleMode::Standalone) InitMenu(reinterpret_cast<HMENU>(wParam));
        return TRUE;
    case WM_SYSCOMMAND:
        if ((wParam & 0xFFF0) == SC_MINIMIZE) SavePosition();
        return FALSE;
    case WM_MEASUREITEM:
        if (reinterpret_cast<MEASUREITEMSTRUCT*>(lParam)->CtlType == ODT_MENU) {
            MeasureItem(reinterpret_cast<MEASUREITEMSTRUCT*>(lParam));
            return TRUE;
        }
        return FALSE;
    case WM_DRAWITEM:
        if (reinterpret_cast<DRAWITEMSTRUCT*>(lParam)->CtlType == ODT_MENU) {
            DrawItem(reinterpret_cast<DRAWITEMSTRUCT*>(lParam));
            return TRUE;
        }
        return FALSE;
    case WM_RBUTTONUP: {
        const POINT p{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
        if (mode_ == ConsoleMode::Standalone && p.y < kCaptionHeight) {
            POINT screen = p;
            ClientToScreen(hwnd_, &screen);
            TrackPopupMenu(GetSystemMenu(hwnd_, FALSE), TPM_LEFTALIGN | TPM_RIGHTBUTTON, screen.x, screen.y, 0, hwnd_,
                           nullptr);
        }
        return TRUE;
    }
    case WM_LBUTTONDOWN: {
        if (mode_ != ConsoleMode::Standalone) return FALSE;
        const POINT p{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
        if (InGrip(p)) {
            SendMessageW(hwnd_, WM_SYSCOMMAND, kSizeFromBottom, 0);
        } else if (InIcon(p)) {
            POINT below{0, kCaptionHeight};
            ClientToScreen(hwnd_, &below);
            TrackPopupMenu(GetSystemMenu(hwnd_, FALSE), TPM_LEFTALIGN | TPM_LEFTBUTTON, below.x, below.y, 0, hwnd_, nullptr);
        } else if (p.y < kCaptionHeight) {
            SendMessageW(hwnd_, WM_SYSCOMMAND, kMoveByCaption, 0);
        }
        return TRUE;
    }
    case WM_MOUSEMOVE: {
        // Over the grip the pointer shows which way the window will size.
        const POINT p{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
        const bool grip = mode_ == ConsoleMode::Standalone && InGrip(p);
        SetCursor(LoadCursorW(nullptr, grip ? IDC_SIZENWSE : IDC_ARROW));
        return TRUE;
    }
    case WM_LBUTTONDBLCLK: {
        const POINT p{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
        if (mode_ == ConsoleMode::Standalone && InIcon(p)) {
            Closing();
            EndDialog(hwnd_, 0);
        }
        return TRUE;
    }
    case WM_PAINT:
        if (IsIconic(hwnd_) && icon_ != nullptr) {
            PAINTSTRUCT ps;
            HDC dc = BeginPaint(hwnd_, &ps);
            const RECT client = ClientRect(hwnd_);
            DrawIconEx(dc, (client.right - 16) / 2, (client.bottom - 16) / 2, icon_, 16, 16, 0, nullptr, DI_NORMAL);
            EndPaint(hwnd_, &ps);
            return TRUE;
        }
        return FALSE;
    case WM_DEVICECHANGE:
        if (mode_ == ConsoleMode::Standalone && deviceChangeHandling_ && state_ != nullptr &&
            state_->deviceLock != nullptr) {
            auto* job = new DeviceJobBlock{kDeviceJobTag, state_->deviceLock, this};
            ++jobs_;
            HANDLE thread = CreateThread(nullptr, 0, DeviceJob, job, 0, nullptr);
            if (thread == nullptr) {
                --jobs_;
                delete job;
            } else {
                CloseHandle(thread);
            }
        }
        return TRUE;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDC_MINIMIZE:
            SendMessageW(hwnd_, WM_SYSCOMMAND, SC_MINIMIZE, 0);
            return TRUE;
        case IDC_CLOSE:
        case IDCANCEL:
            SendMessageW(hwnd_, WM_CLOSE, 0, 0);
            return TRUE;
        case IDC_TAB_VIDEO:
        case IDC_TAB_AUDIO:
            // The integrated window holds its tab buttons itself.
            if (mode_ == ConsoleMode::Integrated && HIWORD(wParam) == BN_CLICKED) ChooseTab(LOWORD(wParam) == IDC_TAB_VIDEO);
            return TRUE;
        case IDC_CAMERA:
            DropCameraMenu();
            return TRUE;
        case IDC_SETTINGS:
            OpenSettings();
            return TRUE;
        default:
            if (LOWORD(wParam) >= kFirstMenuItem && LOWORD(wParam) <= kLastMenuItem) ChooseCamera(LOWORD(wParam));
            return TRUE;
        }
    case WM_CLOSE:
        Closing();
        if (mode_ == ConsoleMode::Standalone) {
            EndDialog(hwnd_, 1);
        } else {
            DestroyWindow(hwnd_);
        }
        return TRUE;
    case WM_DESTROY:
        if (titleFont_ != nullptr) {
            DeleteObject(titleFont_);
            titleFont_ = nullptr;
        }
        if (state_ != nullptr && state_->deviceLock != nullptr && mode_ == ConsoleMode::Standalone) {
            CloseHandle(state_->deviceLock);
            state_->deviceLock = nullptr;
        }
        return FALSE;
    default:
        return FALSE;
    }
}

void ConsoleWindow::OpenSettings() {
    const std::string device = CurrentDevice();
    RunSettingsDialog(hwnd_, state_, device, &settingsDialog_);
    settingsDialog_ = nullptr;
    DWORD onTop = 0;
    ReadConsoleValue(HKEY_CURRENT_USER, "AlwaysOnTop", &onTop);
    ApplyAlwaysOnTop(onTop != 0, 0);
}

// ---- Device arrival and removal ------------------------------------------------------------

DWORD WINAPI ConsoleWindow::DeviceJob(LPVOID parameter) {
    auto* job = static_cast<DeviceJobBlock*>(parameter);
    ConsoleWindow* window = job->window;
    if (job->tag == kDeviceJobTag && WaitForSingleObject(job->deviceLock, INFINITE) == WAIT_OBJECT_0) {
        if (window->deviceChangeHandling_) window->ReconcileCameras();
        ReleaseMutex(job->deviceLock);
    }
    delete job;
    --window->jobs_;  // the last touch: the window may go once the count is 0
    return 0;
}

void ConsoleWindow::ReconcileCameras() {
    ConsoleState found{};
    EnumerateCameras(&found);
    std::vector<std::string> now;
    for (int i = 0; i < found.deviceCount && i < kMaxCameras; ++i) now.emplace_back(found.deviceNames[i]);

    std::string current;
    {
        std::lock_guard guard(currentLock_);
        // Gone cameras leave the menu; their slots stay empty so that the
        // identifiers of the others keep naming them.
        for (size_t i = 0; i < menuItems_.size(); ++i) {
            if (!menuItems_[i].empty() && std::find(now.begin(), now.end(), menuItems_[i]) == now.end()) {
                DeleteMenu(cameraMenu_, static_cast<UINT>(kFirstMenuItem + 1 + i), MF_BYCOMMAND);
                menuItems_[i].clear();
            }
        }
        for (const std::string& d : now) {
            if (std::find(menuItems_.begin(), menuItems_.end(), d) == menuItems_.end() &&
                menuCounter_ < kLastMenuItem) {
                const UINT id = ++menuCounter_;
                menuItems_.resize(id - kFirstMenuItem);
                menuItems_.back() = d;
                AppendMenuW(cameraMenu_, MF_OWNERDRAW, id, nullptr);
            }
        }
        if (std::find(now.begin(), now.end(), current_) == now.end()) current_ = now.empty() ? std::string() : now.front();
        current = current_;
        devices_ = now;
    }
    // The state's list follows the machine; the window's thread owns the state.
    SendMessageW(hwnd_, kCameraListChanged, 0, reinterpret_cast<LPARAM>(&found));
    HWND button = GetDlgItem(hwnd_, IDC_CAMERA);
    if (current.empty()) {
        SetWindowTextA(button, LoadText(resources_, 4).c_str());
        EnableWindow(button, FALSE);
        SendMessageW(hwnd_, kCameraChosen, 0, 0);  // every panel shows the empty device
        return;
    }
    SetWindowTextA(button, ("   " + current).c_str());
    EnableWindow(button, TRUE);
    if (WaitForCamera(current.c_str())) SendMessageW(hwnd_, kCameraChosen, 0, 0);
}

}  // namespace k0340cvw
