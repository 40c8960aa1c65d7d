// A machine ready for the real console window: the skinning library and
// its bundle where the console looks for them, the window part the
// library's own, and the panel table pointed at recording panels that keep
// what the window did to them (under a lock: the window's thread, the
// device job and the notifier threads all call panels).
#pragma once

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "console/panel.h"
#include "console/tests/console_fixture.h"

namespace k0340cvw::testing {

class PanelRecords {
public:
    void Reset();
    void SetDevice(const std::string& title, const std::string& device, HWND window);
    void Closed(const std::string& title);
    void SettingsChanged(const std::string& title, WPARAM code);
    void SetEnginePath(const std::string& path);
    void ClearSetDevices();
    void SetAudioFxInstalled(bool installed);
    bool AudioFxInstalled() const;

    std::vector<std::string> SetDeviceOrder() const;
    std::string LastDevice(const std::string& title) const;
    HWND Window(const std::string& title) const;
    std::vector<std::string> Closes() const;
    std::vector<WPARAM> SettingsCodes(const std::string& title) const;
    std::string EnginePath() const;

private:
    mutable std::mutex lock_;  // guards everything below
    std::vector<std::pair<std::string, std::string>> setDevices_;
    std::vector<std::pair<std::string, HWND>> windows_;
    std::vector<std::string> closes_;
    std::vector<std::pair<std::string, WPARAM>> codes_;
    std::string enginePath_;
    bool audioFx_ = false;
};
PanelRecords& Records();
// Points the panel table at the recording panels (and back, with `false`).
void UseRecordingPanels(bool use);

class ConsoleWindowFixture : public ConsoleTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // Starts the standalone console through its RunDLL32 entry on a thread of
    // its own and waits until its window shows the panels.
    void StartConsole(const std::string& commandLine);
    HWND Console() const { return console_; }
    // Closes it as the close button does and waits for the entry to end.
    void CloseConsole();
    // The camera's description as the console lists it.
    static std::string CameraName();
    static void WriteValue(const char* name, DWORD value);
    static RECT Rect(HWND hwnd);
    static int ChildTop(HWND child);
    static int MinimumHeight(HWND window);
    static HWND FindControl(HWND parent, int id);
    // A top-level window of the machine by its caption, once it shows.
    static HWND WaitForWindow(const char* caption);
    // Saves the window as NAME.png into $QK_TEST_ARTEFACTS when that is set.
    static void Picture(HWND window, const std::string& name);

    std::thread thread_;
    HWND console_ = nullptr;
};

}  // namespace k0340cvw::testing
