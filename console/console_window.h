// The console window: the frame around every camera panel. The standalone
// form (template 120) has its own caption, a camera button with its menu, a
// settings button and a sizing grip; the integrated form (template 127) is
// a plain child-less dialog a host shows. Both make the same two stacks of
// panels through the panel table, in the same order and under the same
// conditions, and pass the settings-changed broadcast to the pan/tilt panel.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "console/k0340cvw.h"
#include "console/panel.h"
#include "console/skin/info_panel.h"
#include "console/skin/skin_hook_client.h"

namespace k0340cvw {

// Messages and numbers the window and its parts share.
inline constexpr UINT kCameraChosen = 2025;
inline constexpr UINT kVideoTabChosen = 6025;
inline constexpr UINT kAudioTabChosen = 6026;
inline constexpr UINT kFirstMenuItem = 50001;  // the counter's start; the first item gets 50002
inline constexpr UINT kLastMenuItem = 50101;
inline constexpr UINT kVideoStackId = 201;
inline constexpr UINT kAudioStackId = 202;
inline constexpr int kCaptionHeight = 30;
inline constexpr int kGripSize = 20;
inline constexpr int kSettingsButtonFromBottom = 28;
inline constexpr int kGripFromBottom = 22;
inline constexpr uint32_t kDeviceJobTag = 0x49564544;  // "DEVI"
inline constexpr char kEngineAppPath[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\BlinklyEx.dll";

// The effects engine's file when the engine counts as present (its App
// Paths entry names an existing file), else empty.
std::string FindEffectsEngine();

// Horizontal and vertical dots per inch reduced to 96, 120 or 100 (anything else).
int DisplayDensity();

class ConsoleWindow {
public:
    ConsoleWindow(ConsoleState* state, std::vector<std::string> devices, ConsoleMode mode);
    ~ConsoleWindow();
    ConsoleWindow(const ConsoleWindow&) = delete;
    ConsoleWindow& operator=(const ConsoleWindow&) = delete;

    // Standalone: runs template 120 modally; returns the dialog's result.
    INT_PTR RunModal();
    // Integrated: creates template 127 modelessly with no parent and shows
    // it; null when the dialog cannot be made.
    HWND CreateModeless();

    HWND Window() const { return hwnd_; }
    ConsoleMode Mode() const { return mode_; }
    int MinimumHeight() const { return minimumHeight_; }
    // The panels made, in the table's order (for tests and the script).
    std::vector<Panel*> Panels() const;
    Panel* FindPanel(const std::string& title) const;
    std::string CurrentDevice() const;

private:
    static INT_PTR CALLBACK Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    static INT_PTR CALLBACK TabProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    static DWORD WINAPI DeviceJob(LPVOID job);
    INT_PTR Handle(UINT message, WPARAM wParam, LPARAM lParam);
    void Initialise();
    void InitialiseIntegrated();
    void PlaceWindow();
    void SkinWindow();
    void SkinTabBar();
    void SetTabPictures();
    void LayoutCaption();
    void MakeStacks(int top);
    void LayOut(int width, int height);
    void FillCameraMenu();
    void EmptyCameraMenu();
    void AppendCamera(const std::string& description);
    void DropCameraMenu();
    void ChooseCamera(UINT item);
    void SwitchCamera();
    void ChooseTab(bool video);
    void SavePosition();
    void ApplyAlwaysOnTop(bool topmost, UINT extraFlags);
    void Closing();
    void InitMenu(HMENU menu);
    void MeasureItem(MEASUREITEMSTRUCT* item);
    void DrawItem(const DRAWITEMSTRUCT* item);
    bool InIcon(POINT client) const;
    bool InGrip(POINT client) const;
    void ReconcileCameras();
    void OpenSettings();

    ConsoleState* state_;
    std::vector<std::string> devices_;
    ConsoleMode mode_;
    HWND hwnd_ = nullptr;
    HMODULE resources_ = nullptr;
    HWND tabBar_ = nullptr;  // standalone: the tab dialog; integrated: the window itself
    HFONT titleFont_ = nullptr;
    HMENU cameraMenu_ = nullptr;
    UINT menuCounter_ = kFirstMenuItem;
    std::vector<std::string> menuItems_;  // by identifier - kFirstMenuItem - 1
    HICON icon_ = nullptr;
    console::SkinHookClient skin_;
    console::SkinHookClient tabSkin_;  // standalone: the tab bar's own
    std::unique_ptr<console::InfoPanelWnd> videoStack_, audioStack_;
    std::vector<std::unique_ptr<Panel>> panels_;
    std::string enginePath_;
    int videoCount_ = 0;
    int minimumHeight_ = 0;
    int tabBottom_ = 0;
    int density_ = 96;
    bool positionRestored_ = false;
    std::atomic<bool> deviceChangeHandling_{true};
    std::atomic<int> jobs_{0};  // device re-check jobs not yet finished
    UINT settingsChanged_ = 0;
    HWND settingsDialog_ = nullptr;
    mutable std::mutex currentLock_;  // guards current_: the device job writes it
    std::string current_;
};

// ---- settings_dialog.cpp ---------------------------------------------------------------------
// The console settings dialog (template 122) for `device`, modal over
// `owner`; `*open` holds the dialog's window while it runs, so the console
// can close it. IDOK when the values were written.
INT_PTR RunSettingsDialog(HWND owner, ConsoleState* state, const std::string& device, HWND* open);

// ---- password_dialogs.cpp --------------------------------------------------------------------
// The change-password dialog (template 123) and the unlock dialog (124),
// modal over `owner`, for `state->currentDevice`; IDOK when the password
// was accepted, IDCANCEL when the user gave up, -1 when no dialog could be made.
INT_PTR RunChangePasswordDialog(HWND owner, ConsoleState* state, bool firstTime);
INT_PTR RunUnlockDialog(HWND owner, ConsoleState* state, int requestedState, bool silent);
// The password dialog on the screen (null: none), and closing it as Cancel does.
HWND OpenPasswordDialog();
void ClosePasswordDialog();

}  // namespace k0340cvw
