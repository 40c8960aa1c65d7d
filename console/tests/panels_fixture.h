// The steering panels on the real driver with the simulated camera: a panel
// made under a plain top-level window, a second top-level window that keeps
// every "Lumora camera settings changed" broadcast, and the driver's own
// answer for the properties the panels move (asked through the capture
// filter, not through the console's device access).
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "capture/k0340_props.h"
#include "console/panels/steering_panels.h"
#include "console/skin/resource_library.h"
#include "console/tests/console_fixture.h"
#include "outside/SkinHook/skin_hook.h"
#include "platform/ui/presentation.h"
#include "platform/win32/code_modules.h"

namespace k0340cvw::testing {

inline constexpr char kCamera[] = "QK0340 Camera";

class PanelsTest : public ConsoleTest {
protected:
    void SetUp() override {
        ConsoleTest::SetUp();
        // The skinning library the package installs, linked into the test.
        qk::win32::RegisterStaticModule(u"SkinHook.DLL", skinhook::LookupExport);
        const auto folder = root_ / "Windows/TWAIN_32/Lumora/QK0340";
        std::filesystem::create_directories(folder);
        if (!std::filesystem::exists(folder / "SkinHook.DLL")) std::ofstream(folder / "SkinHook.DLL") << "linked into the test";
        std::filesystem::copy_file(QK_SKIN_BUNDLE, root_ / "Windows/System32/K0340Cvw.bff",
                                   std::filesystem::copy_options::overwrite_existing);
        resources_ = std::make_unique<console::ResourceLibrary>();
        ASSERT_TRUE(resources_->Loaded());
        host_ = CreateWindowExA(0, "STATIC", "host", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 380, 300, nullptr, nullptr,
                                nullptr, nullptr);
        ASSERT_NE(host_, nullptr);
        settingsChanged_ = RegisterWindowMessageA(kSettingsChangedMessage);
        listener_ = CreateWindowExA(0, "STATIC", "listener", WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
        ASSERT_NE(listener_, nullptr);
    }
    void TearDown() override {
        panel_.reset();
        filter_.reset();
        if (listener_) DestroyWindow(listener_);
        if (host_) DestroyWindow(host_);
        resources_.reset();
        ConsoleTest::TearDown();
    }

    // Makes the panel under the host, shows it and gives it the camera.
    template <class P>
    P* Make(ConsoleMode mode = ConsoleMode::Standalone) {
        auto panel = std::make_unique<P>();
        P* p = panel.get();
        if (!p->Create(host_, resources_->Module(), mode)) return nullptr;
        panel_ = std::move(panel);
        RECT r;
        GetClientRect(host_, &r);
        MoveWindow(p->Window(), 0, 0, r.right, r.bottom, TRUE);
        ShowWindow(p->Window(), SW_SHOW);
        p->SetDevice(kCamera);
        return p;
    }
    HWND Item(int id) const { return GetDlgItem(panel_->Window(), id); }
    void Click(int id) { SendMessageW(Item(id), BM_CLICK, 0, 0); }
    bool Checked(int id) const { return IsDlgButtonChecked(panel_->Window(), id) == BST_CHECKED; }
    bool Enabled(int id) const { return IsWindowEnabled(Item(id)) != FALSE; }

    // Takes this thread's messages; the broadcasts the listener got are kept.
    void Pump() {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == settingsChanged_ && msg.hwnd == listener_) broadcasts_.push_back(msg.wParam);
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    // Pumps until `done` holds (real time, up to 10 s).
    bool PumpUntil(const std::function<bool()>& done) {
        return Eventually([&] {
            Pump();
            return done();
        });
    }
    std::vector<WPARAM> Broadcasts() {
        Pump();
        return broadcasts_;
    }

    // The driver's face-tracking set B word, as the driver answers it.
    LONG DriverTracking(ULONG id) {
        if (!filter_) filter_ = OpenFilter();
        const auto answer = k0340::testing::GetP(filter_->Handle(), PROPSETID_K0340_TRACKING, id, 36);
        EXPECT_EQ(answer.status, STATUS_SUCCESS);
        return answer.value;
    }
    void SetDriverTracking(ULONG id, LONG value) {
        if (!filter_) filter_ = OpenFilter();
        ASSERT_EQ(k0340::testing::SetP(filter_->Handle(), PROPSETID_K0340_TRACKING, id, value, 2, 36), STATUS_SUCCESS);
    }

    // Keeps a picture of `window` when the run collects them.
    static void Picture(HWND window, const std::string& name) {
        const char* keep = std::getenv("QK_TEST_ARTEFACTS");
        if (!keep) return;
        std::string error;
        EXPECT_TRUE(qk::ui::SaveWindowPng(window, std::string(keep) + "/" + name, &error)) << error;
    }

    std::unique_ptr<console::ResourceLibrary> resources_;
    HWND host_ = nullptr;
    HWND listener_ = nullptr;
    UINT settingsChanged_ = 0;
    std::unique_ptr<Panel> panel_;
    std::unique_ptr<qk::ks::client::Filter> filter_;
    std::vector<WPARAM> broadcasts_;
};

}  // namespace k0340cvw::testing
