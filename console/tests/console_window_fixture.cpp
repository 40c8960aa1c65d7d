// The recording panels and the console window fixture.
#include "console/tests/console_window_fixture.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>

#include "console/resources/resource_ids.h"
#include "console/skin/skin_hook_client.h"
#include "outside/SkinHook/skin_hook.h"
#include "platform/ui/presentation.h"
#include "platform/win32/code_modules.h"

namespace k0340cvw::testing {
namespace {

PanelRecords g_records;

class RecordingPanel : public Panel {
public:
    RecordingPanel(const char* title, int templateId) : Panel(title, templateId) {}
    void SetDevice(const std::string& description) override {
        Panel::SetDevice(description);
        g_records.SetDevice(Title(), description, Window());
    }
    void SettingsChanged(WPARAM code) override { g_records.SettingsChanged(Title(), code); }

protected:
    void ReadControls() override {}
    INT_PTR HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override {
        if (message == WM_CLOSE) g_records.Closed(Title());
        return Panel::HandleMessage(message, wParam, lParam);
    }
};

std::unique_ptr<Panel> View() { return std::make_unique<RecordingPanel>(kViewPanelTitle, 121); }
std::unique_ptr<Panel> FaceTracking() { return std::make_unique<RecordingPanel>(kFaceTrackingPanelTitle, 117); }
std::unique_ptr<Panel> VideoFx(const std::string& path) {
    g_records.SetEnginePath(path);
    return std::make_unique<RecordingPanel>(kVideoFxPanelTitle, 119);
}
std::unique_ptr<Panel> PanTilt() { return std::make_unique<RecordingPanel>(kPanTiltPanelTitle, 118); }
std::unique_ptr<Panel> AutoFocus() { return std::make_unique<RecordingPanel>(kAutoFocusPanelTitle, 131); }
std::unique_ptr<Panel> Audio() { return std::make_unique<RecordingPanel>(kAudioPanelTitle, 115); }
std::unique_ptr<Panel> AudioFx() { return std::make_unique<RecordingPanel>(kAudioFxPanelTitle, 116); }
bool AudioFxInstalled() { return g_records.AudioFxInstalled(); }

const PanelMakers kRecording = {View, FaceTracking, VideoFx, PanTilt, AutoFocus, Audio, AudioFx, AudioFxInstalled};

struct Found {
    int id;
    HWND hwnd;
};

BOOL CALLBACK FindById(HWND hwnd, LPARAM lParam) {
    auto* found = reinterpret_cast<Found*>(lParam);
    if (GetDlgCtrlID(hwnd) == found->id) {
        found->hwnd = hwnd;
        return FALSE;
    }
    return TRUE;
}

}  // namespace

PanelRecords& Records() { return g_records; }

void UseRecordingPanels(bool use) {
    if (use) g_records.Reset();
    SetPanelMakers(use ? &kRecording : nullptr);
}

void PanelRecords::Reset() {
    std::lock_guard guard(lock_);
    setDevices_.clear();
    windows_.clear();
    closes_.clear();
    codes_.clear();
    enginePath_.clear();
    audioFx_ = false;
}

void PanelRecords::SetDevice(const std::string& title, const std::string& device, HWND window) {
    std::lock_guard guard(lock_);
    setDevices_.emplace_back(title, device);
    auto it = std::find_if(windows_.begin(), windows_.end(), [&](const auto& w) { return w.first == title; });
    if (it == windows_.end()) {
        windows_.emplace_back(title, window);
    } else {
        it->second = window;
    }
}

void PanelRecords::Closed(const std::string& title) {
    std::lock_guard guard(lock_);
    closes_.push_back(title);
}

void PanelRecords::SettingsChanged(const std::string& title, WPARAM code) {
    std::lock_guard guard(lock_);
    codes_.emplace_back(title, code);
}

void PanelRecords::SetEnginePath(const std::string& path) {
    std::lock_guard guard(lock_);
    enginePath_ = path;
}

void PanelRecords::ClearSetDevices() {
    std::lock_guard guard(lock_);
    setDevices_.clear();
}

void PanelRecords::SetAudioFxInstalled(bool installed) {
    std::lock_guard guard(lock_);
    audioFx_ = installed;
}

bool PanelRecords::AudioFxInstalled() const {
    std::lock_guard guard(lock_);
    return audioFx_;
}

std::vector<std::string> PanelRecords::SetDeviceOrder() const {
    std::lock_guard guard(lock_);
    std::vector<std::string> order;
    for (const auto& [title, device] : setDevices_) order.push_back(title);
    return order;
}

std::string PanelRecords::LastDevice(const std::string& title) const {
    std::lock_guard guard(lock_);
    for (auto it = setDevices_.rbegin(); it != setDevices_.rend(); ++it) {
        if (it->first == title) return it->second;
    }
    return "(never set)";
}

HWND PanelRecords::Window(const std::string& title) const {
    std::lock_guard guard(lock_);
    for (const auto& [t, hwnd] : windows_) {
        if (t == title) return hwnd;
    }
    return nullptr;
}

std::vector<std::string> PanelRecords::Closes() const {
    std::lock_guard guard(lock_);
    return closes_;
}

std::vector<WPARAM> PanelRecords::SettingsCodes(const std::string& title) const {
    std::lock_guard guard(lock_);
    std::vector<WPARAM> codes;
    for (const auto& [t, code] : codes_) {
        if (t == title) codes.push_back(code);
    }
    return codes;
}

std::string PanelRecords::EnginePath() const {
    std::lock_guard guard(lock_);
    return enginePath_;
}

void ConsoleWindowFixture::SetUp() {
    ConsoleTest::SetUp();
    UseStandInWindow(false);
    UseRecordingPanels(true);
    qk::win32::RegisterStaticModule(u"SkinHook.DLL", skinhook::LookupExport);
    const auto folder = root_ / "Windows" / "TWAIN_32" / "Lumora" / "QK0340";
    std::filesystem::create_directories(folder);
    std::filesystem::copy_file(QK_SKIN_BUNDLE, root_ / "Windows/System32/K0340Cvw.bff",
                               std::filesystem::copy_options::overwrite_existing);
    std::ofstream(folder / "SkinHook.DLL") << "linked into the test";
}

void ConsoleWindowFixture::TearDown() {
    if (thread_.joinable()) {
        if (console_ != nullptr && IsWindow(console_)) PostMessageW(console_, WM_CLOSE, 0, 0);
        thread_.join();
    }
    UseRecordingPanels(false);
    ConsoleTest::TearDown();
}

void ConsoleWindowFixture::StartConsole(const std::string& commandLine) {
    thread_ = std::thread([commandLine] {
        std::string line = commandLine;
        luCVWConsoleRunDLL32EP(nullptr, nullptr, line.data(), SW_SHOWNORMAL);
    });
    ASSERT_TRUE(Eventually([&] {
        console_ = FindWindowA(nullptr, "Lumora Camera Console");
        return console_ != nullptr && Records().Window(kViewPanelTitle) != nullptr;
    }));
}

void ConsoleWindowFixture::CloseConsole() {
    SendMessageW(console_, WM_COMMAND, IDC_CLOSE, 0);
    if (thread_.joinable()) thread_.join();
    EXPECT_FALSE(IsWindow(console_));
    console_ = nullptr;
}

std::string ConsoleWindowFixture::CameraName() {
    ConsoleState state{};
    if (EnumerateCameras(&state) != CVW_OK) return {};
    return state.deviceNames[0];
}

void ConsoleWindowFixture::WriteValue(const char* name, DWORD value) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kConsoleKeyPath, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    RegCloseKey(key);
}

RECT ConsoleWindowFixture::Rect(HWND hwnd) {
    RECT r{};
    GetWindowRect(hwnd, &r);
    return r;
}

int ConsoleWindowFixture::ChildTop(HWND child) {
    RECT r = Rect(child);
    POINT p{r.left, r.top};
    ScreenToClient(GetParent(child), &p);
    return p.y;
}

int ConsoleWindowFixture::MinimumHeight(HWND window) {
    const RECT now = Rect(window);
    RECT tiny{now.left, now.top, now.right, now.top + 1};
    SendMessageW(window, WM_SIZING, WMSZ_BOTTOM, reinterpret_cast<LPARAM>(&tiny));
    return tiny.bottom - tiny.top;
}

HWND ConsoleWindowFixture::FindControl(HWND parent, int id) {
    Found found{id, nullptr};
    EnumChildWindows(parent, FindById, reinterpret_cast<LPARAM>(&found));
    return found.hwnd;
}

HWND ConsoleWindowFixture::WaitForWindow(const char* caption) {
    HWND found = nullptr;
    Eventually([&] {
        found = FindWindowA(nullptr, caption);
        return found != nullptr && IsWindowVisible(found);
    });
    return found;
}

}  // namespace k0340cvw::testing

namespace k0340cvw::testing {

void ConsoleWindowFixture::Picture(HWND window, const std::string& name) {
    if (const char* keep = std::getenv("QK_TEST_ARTEFACTS")) {
        std::string error;
        EXPECT_TRUE(qk::ui::SaveWindowPng(window, std::string(keep) + "/" + name + ".png", &error)) << error;
    }
}

}  // namespace k0340cvw::testing
