// Shared pieces of the window system's tests: a machine per case, and a
// window procedure that records the messages it receives so that tests
// compare them with the order a Windows program expects.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/nt/testing/machine_test.h"
#include "platform/ui/presentation.h"
#include "windows.h"
#include "winuser.h"

namespace qk::ui::testing {

struct Recorded {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};

// The messages of interest, by name, for readable mismatches.
std::string MessageName(UINT message);

class MessageLog {
public:
    void Add(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) { entries_.push_back({hwnd, message, wParam, lParam}); }
    void Clear() { entries_.clear(); }
    // The names of the messages `hwnd` received (all windows for null),
    // leaving out those in `ignore`.
    std::vector<std::string> Names(HWND hwnd = nullptr, std::vector<UINT> ignore = {}) const;
    const std::vector<Recorded>& Entries() const { return entries_; }

private:
    std::vector<Recorded> entries_;
};

// The log every window of class "Recorder" writes to.
MessageLog& Log();
// Registers "Recorder": records every message, then DefWindowProc; WM_PAINT
// fills the client area with the colour stored by SetRecorderColour.
void RegisterRecorder();
void SetRecorderColour(HWND hwnd, COLORREF colour);

// Compares two message lists and prints them side by side on a mismatch.
::testing::AssertionResult SameMessages(const std::vector<std::string>& expected, const std::vector<std::string>& actual);

// Runs the messages waiting for this thread.
void Pump();

class UiTest : public qk::testing::MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        RegisterRecorder();
        Log().Clear();
    }
};

}  // namespace qk::ui::testing
