// The video stack's steering panels: face tracking, pan and tilt, auto focus,
// and the two settings dialogs behind them. A read asked for on another
// thread (notifier, device re-check) is posted to the panel's window and
// done there, so the controls and the panel's state belong to one thread.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "console/k0340cvw.h"
#include "console/panel.h"
#include "console/skin/skin_hook_client.h"

namespace k0340cvw {

// The notifier name both settings dialogs register under.
inline constexpr char kTrackingSettingsTitle[] = "Face Tracking Settings";
// Private messages of the panels' dialogs.
inline constexpr UINT kReadMessage = WM_APP + 40;  // read the camera and show it (wParam: may show a pending choice)
inline constexpr UINT kRefreshTimer = 1;
inline constexpr UINT kRefreshMilliseconds = 1500;

// Skins a panel or dialog with the bundle's piece (and child pieces by
// control identifier); false, and the window plain, when the skinning
// library or its bundle is missing.
struct ChildSkin {
    int id;
    const char* piece;
};
bool SkinPanelWindow(console::SkinHookClient& client, HWND window, const char* piece, const ChildSkin* children = nullptr,
                     size_t count = 0);

class FaceTrackingPanel : public Panel {
public:
    FaceTrackingPanel();
    ~FaceTrackingPanel() override;
    void SetDevice(const std::string& description) override;
    // The panel's number 1-3 as last shown (0 before any successful read).
    int ShownMode() const;

protected:
    void ReadControls() override;
    INT_PTR HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    void Read(bool usePending);
    void Show(int mode);
    void DisableAll();
    void BoxClicked();
    void ChooseMode(int mode);
    void RunOptions();

    std::atomic<bool> nextReadMayUsePending_{false};
    std::atomic<int> shown_{0};
    // The rest belongs to the window's thread.
    int pending_ = 0;      // a choice whose write failed; shown by the next read SetDevice asks for
    int remembered_ = 1;   // the last mode other than 1 (1: none)
    console::SkinHookClient skin_;
};

// The tracking options dialog (speed and picture-in-picture) for `device`,
// run modally over `owner` from the resource library `resources`.
INT_PTR RunTrackingOptions(HWND owner, HMODULE resources, const std::string& device, ConsoleMode mode);

std::unique_ptr<Panel> MakeFaceTrackingPanel();

inline constexpr char kPanTiltMutexName[] = "QK0340Pan and Tilt Panel mutex";

class PanTiltPanel : public Panel {
public:
    PanTiltPanel();
    ~PanTiltPanel() override;
    void SettingsChanged(WPARAM code) override;
    // Runs on the window's thread after every step with the button that
    // made it (tests time the repetition with it).
    void SetStepObserver(std::function<void(int button)> observer) { observer_ = std::move(observer); }
    // Whether a repeat worker runs in this process.
    static bool Repeating();
    // How many waits between steps the repeat workers of this panel have
    // begun (their due time fixed): a test moving a manual clock waits for it.
    int RepeatWaitsBegun() const { return waits_.load(); }
    HWND Tooltip() const { return tooltip_; }
    struct Button;  // one of the eleven, with its picture, direction, key and code

protected:
    void ReadControls() override;
    INT_PTR HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;


private:
    void Init();
    void Read();
    void UpdateButtons();
    void DisableAll();
    // One step of `button`; false when the button ended up unavailable.
    bool Step(int button);
    bool Write();
    void Milestone(int button);
    void Press(int button);
    void WaitUntilIdle();
    static LRESULT CALLBACK ButtonProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    void Repeat(int button);

    HANDLE mutex_ = nullptr;
    HANDLE stop_ = nullptr;
    std::thread worker_;
    std::function<void(int)> observer_;
    std::atomic<int> waits_{0};
    // The rest belongs to the window's thread.
    ControlSetting zoom_{};
    ControlSetting pan_{};
    ControlSetting tilt_{};
    bool settle_ = false;
    HWND tooltip_ = nullptr;
    console::SkinHookClient skin_;
};

std::unique_ptr<Panel> MakePanTiltPanel();

class AutoFocusPanel : public Panel {
public:
    AutoFocusPanel();

protected:
    void ReadControls() override;
    INT_PTR HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    void Read();
    void Show();
    void Write();
    void ChooseAutomatic(bool automatic);
    void SliderMoved(int code);
    void FocusOnce();
    // One read of the focus in a session of its own; false when it fails.
    bool ReadFocus(LONG* value);
    void WriteFocus(LONG value, bool automatic);

    // The window thread's.
    ControlSetting focus_{};
    bool manualRemembered_ = false;
    console::SkinHookClient skin_;
};

std::unique_ptr<Panel> MakeAutoFocusPanel();

// The focus settings dialog's pieces that are worth knowing outside it.
// The focus area (1-5) a click at (x, y) chooses in the area picture whose
// rectangle starts at (left, top).
int FocusAreaAt(int x, int y, int left, int top);
// The sensitivity position (1-10) of a focus scale (0x104) and focus windows
// (0x103) pair, 0 when no position has that pair; and the pair of a position.
int SensitivityPosition(LONG scale, LONG windows);
void SensitivityPair(int position, LONG* scale, LONG* windows);
INT_PTR RunFocusSettings(HWND owner, HMODULE resources, const std::string& device, ConsoleMode mode);

}  // namespace k0340cvw
