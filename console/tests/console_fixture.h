// A machine with the package installed, the platform's DirectShow servers
// registered and the console's resource library in the system folder; the
// console's window replaced by a stand-in that records how it was run and
// closes as a window does (on WM_CLOSE, also from the restore watcher).
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "capture/tests/capture_fixture.h"
#include "console/k0340cvw.h"
#include "console/panel.h"
#include "console/skin/resource_library.h"
#include "platform/dshow/dshow_servers.h"
#include "platform/nt/machine.h"

namespace k0340cvw::testing {

// What the stand-in window saw; one at a time.
struct StandInLog {
    std::atomic<int> modalRuns{0};
    std::atomic<int> modelessWindows{0};
    std::atomic<int> destroyed{0};
    std::atomic<int> unlocks{0};
    std::atomic<int> lastRequestedState{-1};
    std::atomic<bool> lastSilent{false};
    std::atomic<HWND> window{nullptr};  // the modal window while it runs
    std::string currentDevice;          // as the window opened with it
    std::atomic<bool> closeEventSeen{false};
    std::atomic<bool> resourcesLoaded{false};
};
StandInLog& Log();
// Points the console at the stand-in window (and back, with `false`).
void UseStandInWindow(bool use);

class ConsoleTest : public k0340::testing::CaptureTest {
protected:
    void SetUp() override {
        CaptureTest::SetUp();
        ASSERT_EQ(qk::dshow::InstallSystemServers(), S_OK);
        root_ = qk::Machine::Current().SystemRoot();
        std::filesystem::copy_file(QK_CONSOLE_CRL, root_ / "Windows/System32/K0340Cvw.crl",
                                   std::filesystem::copy_options::overwrite_existing);
        UseStandInWindow(true);
    }
    void TearDown() override {
        UseStandInWindow(false);
        CaptureTest::TearDown();
    }
    void PlugAndWait() {
        PlugCamera();
        ASSERT_FALSE(FilterLink().empty());
    }
    // Waits (real time, up to 10 s) until `done` holds.
    static bool Eventually(const std::function<bool()>& done) {
        for (int i = 0; i < 1000; ++i) {
            if (done()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return done();
    }

    std::filesystem::path root_;
};

// A panel test's ground: the resource library loaded and a plain top-level
// window for the panel to live in. Set-up that must come before the library
// (drivers, outside modules) goes in the test's SetUp before OpenHost.
class PanelHostTest : public ConsoleTest {
protected:
    void OpenHost(int height) {
        resources_.emplace();
        ASSERT_TRUE(resources_->Loaded());
        parent_ = CreateWindowExA(0, "STATIC", "stack", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 400, height, nullptr,
                                  nullptr, nullptr, nullptr);
        ASSERT_NE(parent_, nullptr);
    }
    void TearDown() override {
        panel_.reset();
        if (parent_ != nullptr) DestroyWindow(parent_);
        resources_.reset();
        ConsoleTest::TearDown();
    }

    std::optional<console::ResourceLibrary> resources_;
    HWND parent_ = nullptr;
    std::unique_ptr<Panel> panel_;
};

}  // namespace k0340cvw::testing
