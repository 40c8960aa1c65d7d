// What every console panel offers the console window, and the notifier
// that keeps the same panel consistent across the console windows of the
// machine. A panel is a child dialog of a stack, made from its template in
// the resource library; the window knows panels only through this class.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "windows.h"
#include "winuser.h"

namespace k0340cvw {

enum class ConsoleMode : int { Standalone = 0, Integrated = 1 };

inline constexpr uint32_t kNotifierTag = 0x45524854;  // "THRE"
inline constexpr char kStandaloneEventPrefix[] = "QK0340 Standalone Console Event ";
inline constexpr char kIntegratedEventPrefix[] = "QK0340 Integrated Console Event ";
// Registered message posted to every application after a tracking or
// pan/tilt change; wParam tells who sent it.
inline constexpr char kSettingsChangedMessage[] = "Lumora camera settings changed";

// The panel titles the window and the notifiers know each other by.
inline constexpr char kViewPanelTitle[] = "Brio! View Panel";
inline constexpr char kFaceTrackingPanelTitle[] = "Face Tracking Panel";
inline constexpr char kVideoFxPanelTitle[] = "Advanced Video FX Panel";
inline constexpr char kPanTiltPanelTitle[] = "Pan and Tilt Panel";
inline constexpr char kAutoFocusPanelTitle[] = "Auto Focus Panel";
inline constexpr char kAudioPanelTitle[] = "Brio! Audio Panel";
inline constexpr char kAudioFxPanelTitle[] = "Advanced Audio FX Panel";
inline constexpr char kViewAdvancedTitle[] = "Brio! View Advanced Settings";

// The named event of a panel title in a mode.
std::string PanelEventName(ConsoleMode mode, const std::string& title);

class PanelNotifier {
public:
    // Null when the panel's event of `mode` already exists (the same panel
    // is open in another console window of this mode) or cannot be made.
    // `refresh` runs on the notifier's own thread each time the event fires.
    static std::unique_ptr<PanelNotifier> Create(const std::string& title, ConsoleMode mode,
                                                 std::function<void()> refresh);
    // Stops the worker, waits for it and closes both events.
    ~PanelNotifier();
    PanelNotifier(const PanelNotifier&) = delete;
    PanelNotifier& operator=(const PanelNotifier&) = delete;

    // After this panel applied a change: wakes the same panel of the other
    // mode, and the panels that show what this one moves.
    void Notify() const;
    // The same, for a title without a notifier of its own (dialogs).
    static void Notify(const std::string& title, ConsoleMode mode);

    uint32_t Tag() const { return tag_; }
    ConsoleMode Mode() const { return mode_; }

private:
    PanelNotifier() = default;
    static DWORD WINAPI Worker(LPVOID self);

    uint32_t tag_ = kNotifierTag;
    ConsoleMode mode_ = ConsoleMode::Standalone;
    std::string title_;
    HANDLE named_ = nullptr;
    HANDLE stop_ = nullptr;
    HANDLE thread_ = nullptr;
    std::function<void()> refresh_;
};

class Panel {
public:
    Panel(std::string title, int templateId);
    virtual ~Panel();
    Panel(const Panel&) = delete;
    Panel& operator=(const Panel&) = delete;

    const std::string& Title() const { return title_; }
    int TemplateId() const { return templateId_; }
    HWND Window() const { return hwnd_.load(); }
    // True on the thread the panel's window belongs to (false while there is none).
    bool OnWindowThread() const {
        HWND hwnd = Window();
        return hwnd != nullptr && GetWindowThreadProcessId(hwnd, nullptr) == GetCurrentThreadId();
    }
    ConsoleMode Mode() const { return mode_; }
    // Null when another console window of the same mode holds this title.
    const PanelNotifier* Notifier() const { return notifier_.get(); }

    // Makes the panel's dialog from its template in `resources` as a child
    // of `stack`, and its notifier; false when the dialog cannot be made. A
    // notifier that cannot be made only leaves the panel without
    // cross-window refresh.
    bool Create(HWND stack, HMODULE resources, ConsoleMode mode);
    // Remembers the camera (empty: none) and re-reads every control.
    virtual void SetDevice(const std::string& description);
    // Re-reads the controls when the panel is visible: on notifier events,
    // when shown, and on the timers of the panels that keep one.
    void Refresh();
    // The console window passes "Lumora camera settings changed" on.
    virtual void SettingsChanged(WPARAM /*code*/) {}
    // Closes the dialog (WM_CLOSE) when the window closes.
    void Close();

protected:
    // Reads the panel's controls from the camera and shows them. May run on
    // a notifier or device thread: touch the controls through messages only.
    virtual void ReadControls() = 0;
    // The dialog's messages; the default answers WM_SHOWWINDOW with a
    // refresh, WM_CLOSE by destroying the dialog, and everything else FALSE.
    virtual INT_PTR HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
    // After a change this panel applied to the camera.
    void NotifyChange() const;
    // The camera shown, copied under the panel's lock.
    std::string Device() const;
    // Posts "Lumora camera settings changed" to every application.
    static void BroadcastSettingsChanged(WPARAM code);

private:
    static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

    std::string title_;
    int templateId_;
    std::atomic<HWND> hwnd_{nullptr};  // read by the notifier's thread
    ConsoleMode mode_ = ConsoleMode::Standalone;
    std::unique_ptr<PanelNotifier> notifier_;
    mutable std::mutex lock_;
    std::string device_;  // under lock_
};

// The panels, each made by its own file. The console window makes them
// through this table, which tests may point at stand-ins; an entry that is
// null is a panel this build does not have (the window leaves it out).
struct PanelMakers {
    std::unique_ptr<Panel> (*view)();
    std::unique_ptr<Panel> (*faceTracking)();
    // `enginePath`: the effects engine's file, found by the window.
    std::unique_ptr<Panel> (*videoFx)(const std::string& enginePath);
    std::unique_ptr<Panel> (*panTilt)();
    std::unique_ptr<Panel> (*autoFocus)();
    std::unique_ptr<Panel> (*audio)();
    std::unique_ptr<Panel> (*audioFx)();
    // Whether the audio effects library is installed (the audio FX panel exists).
    bool (*audioFxInstalled)();
};
const PanelMakers& ThePanelMakers();
// Replaces the table (null: the library's own); returns the previous one.
const PanelMakers* SetPanelMakers(const PanelMakers* makers);

}  // namespace k0340cvw
