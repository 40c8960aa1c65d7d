// The RunDLL32 entries as separate starts meet each other through the named
// objects: a second start restores the first, "/quit" and "/closed" close the
// consoles that obey them, auto-starts keep away while a host shows the
// console or the user turned them off; the session check; the parental entry
// with its machine-wide mutex; and the lock's check value travelling through
// the driver and back.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "capture/k0340_props.h"
#include "console/tests/console_fixture.h"
#include "platform/registry/registry.h"
#include "platform/win32/code_modules.h"
#include "platform/win32/terminal_services.h"

namespace {

using namespace k0340cvw;
using k0340cvw::testing::ConsoleTest;
using k0340cvw::testing::Log;

void Start(const char* line) { luCVWConsoleRunDLL32EP(nullptr, nullptr, const_cast<LPSTR>(line), SW_SHOWNORMAL); }

bool EventExists(const char* name) {
    HANDLE e = OpenEventA(EVENT_ALL_ACCESS, FALSE, name);
    if (e) CloseHandle(e);
    return e != nullptr;
}

class EntryPointsTest : public ConsoleTest {
protected:
    void TearDown() override {
        if (console_.joinable()) {
            Start("/quit");
            console_.join();
        }
        ConsoleTest::TearDown();
    }
    // A console started on its own thread (its own RunDLL32 process); waits
    // until its window runs.
    void StartConsole(const std::string& line) {
        const int runs = Log().modalRuns;
        console_ = std::thread([line] { Start(line.c_str()); });
        ASSERT_TRUE(Eventually([&] { return Log().modalRuns > runs && Log().window.load() != nullptr; }));
    }
    bool ConsoleEnds() {
        bool ended = Eventually([] { return Log().window.load() == nullptr; });
        if (ended && console_.joinable()) console_.join();
        return ended;
    }
    // Waits, pumping this thread's messages (the watcher sends to windows).
    bool Pumping(const std::function<bool()>& done) {
        return Eventually([&] {
            MSG msg;
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
            return done();
        });
    }
    static void SetNoAutoLaunch(DWORD value) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kConsoleKeyPath, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                                  nullptr),
                  ERROR_SUCCESS);
        RegSetValueExA(key, "NoAutoLaunch", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
        RegCloseKey(key);
    }

    std::thread console_;
};

TEST_F(EntryPointsTest, ASecondStartBringsTheFirstToTheFrontAndEnds) {
    PlugAndWait();
    StartConsole("");
    EXPECT_EQ(Log().currentDevice, "QK0340 Camera");
    EXPECT_TRUE(Log().resourcesLoaded) << "the window runs with the resource library loaded";
    EXPECT_FALSE(Log().closeEventSeen) << "only an auto-started console obeys the Close event";

    HWND other = CreateWindowExW(0, u"STATIC", u"other", WS_POPUP | WS_VISIBLE, 0, 0, 10, 10, nullptr, nullptr,
                                 nullptr, nullptr);
    ASSERT_NE(other, nullptr);
    SetActiveWindow(other);
    ASSERT_EQ(GetForegroundWindow(), other);
    Start("");  // returns at once
    EXPECT_EQ(Log().modalRuns, 1);
    EXPECT_TRUE(Pumping([] { return GetForegroundWindow() == Log().window.load(); }));
    DestroyWindow(other);

    Start("/QUIT");
    EXPECT_TRUE(ConsoleEnds());
    EXPECT_FALSE(EventExists(kQuitEventName));
    EXPECT_FALSE(EventExists(kRestoreEventName));
}

TEST_F(EntryPointsTest, QuitAndClosedWithNoConsoleLeaveNothingBehind) {
    Start("/quit");
    Start("/closed");
    EXPECT_FALSE(EventExists(kQuitEventName));
    EXPECT_FALSE(EventExists(kCloseEventName));
    EXPECT_EQ(Log().modalRuns, 0);
}

TEST_F(EntryPointsTest, ClosedClosesAnAutoStartedConsoleButNotOneStartedToStay) {
    PlugAndWait();
    StartConsole("/stay QK0340 Camera");
    Start("/closed");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_NE(Log().window.load(), nullptr) << "a console started to stay has no Close event";
    Start("/quit");
    ASSERT_TRUE(ConsoleEnds());

    StartConsole("qk0340 camera");  // a camera's description alone: an auto-start
    EXPECT_TRUE(Log().closeEventSeen);
    EXPECT_EQ(Log().currentDevice, "QK0340 Camera");
    Start("/closed and more");
    EXPECT_TRUE(ConsoleEnds());
}

TEST_F(EntryPointsTest, AutoStartsKeepAwayWhenTurnedOffOrWhileAHostShowsTheConsole) {
    PlugAndWait();
    SetNoAutoLaunch(1);
    Start("QK0340 Camera");  // returns at once: no window
    EXPECT_EQ(Log().modalRuns, 0);
    StartConsole("/stay QK0340 Camera");  // a start to stay is no auto-start
    Start("/quit");
    ASSERT_TRUE(ConsoleEnds());
    SetNoAutoLaunch(0);

    // A host holds the integrated console's mutex.
    HANDLE hosted = CreateMutexA(nullptr, TRUE, kIntegratedMutexName);
    Start("QK0340 Camera");
    EXPECT_EQ(Log().modalRuns, 1);
    StartConsole("Some Other Camera");  // no camera of that name: a plain start on the first
    EXPECT_EQ(Log().currentDevice, "QK0340 Camera");
    EXPECT_FALSE(Log().closeEventSeen);
    Start("/quit");
    ASSERT_TRUE(ConsoleEnds());
    CloseHandle(hosted);
    StartConsole("QK0340 Camera");
    EXPECT_EQ(Log().modalRuns, 3);
}

TEST_F(EntryPointsTest, WithoutTheResourceLibraryTheWindowRunsWithoutIt) {
    // The entry does not check for the library; the window, without its
    // templates, cannot be made (the stand-in records what it was given).
    std::filesystem::remove(root_ / "Windows/System32/K0340Cvw.crl");
    StartConsole("/stay");
    EXPECT_FALSE(Log().resourcesLoaded);
    EXPECT_EQ(Log().currentDevice, "") << "no camera: the empty first entry";
}

TEST_F(EntryPointsTest, HostileCommandLinesEndQuietlyAndLeaveNothingBehind) {
    PlugAndWait();
    // The library's own window without its resource library: no window can
    // be made, so every start ends.
    k0340cvw::testing::UseStandInWindow(false);
    std::filesystem::remove(root_ / "Windows/System32/K0340Cvw.crl");
    const std::string lines[] = {
        "/stay", "/STAY ", "   ", std::string(10000, 'x'), "/stay " + std::string(5000, 'Q'), "/Quit/Closed",
        "QK0340 Camera/stay", std::string("\xff\xfe/prompt "), "QK0340 CAMERA",
    };
    for (const std::string& text : lines) {
        SCOPED_TRACE(text.substr(0, 40));
        std::string line = text;
        luCVWConsoleRunDLL32EP(nullptr, nullptr, line.data(), SW_SHOWNORMAL);
        luCVWParentalRunDLL32EP(nullptr, nullptr, line.data(), SW_SHOWNORMAL);
        EXPECT_EQ(line, text) << "the caller's command line is not changed";
        for (const char* name : {kRestoreEventName, kQuitEventName, kCloseEventName}) EXPECT_FALSE(EventExists(name));
        HANDLE m = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, kPasswordMutexName);
        EXPECT_EQ(m, nullptr);
        if (m) CloseHandle(m);
    }
    luCVWConsoleRunDLL32EP(nullptr, nullptr, nullptr, SW_SHOWNORMAL);
    luCVWParentalRunDLL32EP(nullptr, nullptr, nullptr, SW_SHOWNORMAL);
}

// ---- The session check --------------------------------------------------------------------------
DWORD g_processSession = 1;
BOOL ProcessSession(DWORD, DWORD* session) {
    *session = g_processSession;
    return TRUE;
}
DWORD ActiveSession() { return 1; }
FARPROC OtherKernel(const char* name) {
    if (std::strcmp(name, "ProcessIdToSessionId") == 0) return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&ProcessSession));
    if (std::strcmp(name, "WTSGetActiveConsoleSessionId") == 0) {
        return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&ActiveSession));
    }
    return nullptr;
}

TEST_F(EntryPointsTest, TheConsoleShowsOnlyInTheActiveOrARemoteSession) {
    EXPECT_TRUE(SessionMayShowUi()) << "without the terminal-services library there is one session";
    std::ofstream(root_ / "Windows/System32/Wtsapi32.dll") << "";
    qk::win32::SetSessionProtocolType(0);
    EXPECT_TRUE(SessionMayShowUi());

    qk::win32::RegisterStaticModule(u"Kernel32.dll", OtherKernel);
    g_processSession = 3;  // a session nobody sits at
    EXPECT_FALSE(SessionMayShowUi());
    PlugAndWait();
    Start("QK0340 Camera");
    EXPECT_EQ(Log().modalRuns, 0);
    qk::win32::SetSessionProtocolType(2);  // a remote desktop session
    EXPECT_TRUE(SessionMayShowUi());
    qk::win32::SetSessionProtocolType(0);
    g_processSession = 1;
    EXPECT_TRUE(SessionMayShowUi());

    // A system whose Kernel32.dll lacks the session calls.
    qk::win32::RegisterStaticModule(u"Kernel32.dll", [](const char*) -> FARPROC { return nullptr; });
    EXPECT_FALSE(SessionMayShowUi()) << "the session calls cannot be found";
    qk::win32::RegisterStaticModule(u"Kernel32.dll", nullptr);  // the platform's own again
    EXPECT_TRUE(SessionMayShowUi());
}

// ---- The parental entry and the lock -------------------------------------------------------------
TEST_F(EntryPointsTest, OnlyOnePasswordDialogInTheMachine) {
    PlugAndWait();
    luCVWParentalRunDLL32EP(nullptr, nullptr, const_cast<LPSTR>("/prompt QK0340 Camera"), SW_SHOWNORMAL);
    EXPECT_EQ(Log().unlocks, 1);
    EXPECT_EQ(Log().lastRequestedState, 1);
    EXPECT_TRUE(Log().lastSilent);
    EXPECT_EQ(Log().currentDevice, "QK0340 Camera");

    luCVWParentalRunDLL32EP(nullptr, nullptr, const_cast<LPSTR>("/prompt Another Camera"), SW_SHOWNORMAL);
    EXPECT_EQ(Log().unlocks, 1) << "a name that matches no camera does nothing";

    HANDLE held = CreateMutexA(nullptr, TRUE, kPasswordMutexName);
    std::thread other([] {
        luCVWParentalRunDLL32EP(nullptr, nullptr, const_cast<LPSTR>("/prompt QK0340 Camera"), SW_SHOWNORMAL);
    });
    other.join();
    EXPECT_EQ(Log().unlocks, 1);
    ReleaseMutex(held);
    CloseHandle(held);

    luCVWIntroRunDLL32EP(nullptr, nullptr, nullptr, 0);
    luCVWUtilityRunDLL32EP(nullptr, nullptr, const_cast<LPSTR>("/prompt QK0340 Camera"), 0);
    EXPECT_EQ(Log().unlocks, 1);
}

TEST_F(EntryPointsTest, ANewPasswordIsCheckedInOrder) {
    struct Case {
        const char* name;
        bool firstTime;
        const char *oldPassword, *fresh, *confirmation;
        UINT message;
        PasswordField focus;
    };
    const Case cases[] = {
        {"no old password set", false, "whatever", "secret1", "secret1", 57721, PasswordField::Old},
        {"empty old password", false, "", "secret1", "secret1", 57721, PasswordField::Old},
        {"empty confirmation", true, "", "secret1", "", 57722, PasswordField::Confirm},
        {"five characters", true, "", "abcde", "abcde", 57742, PasswordField::New},
        {"six characters", true, "", "abcdef", "abcdef", 57719, PasswordField::None},
        {"different", true, "", "abcdef", "abcdeg", 57720, PasswordField::New},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const PasswordVerdict v = CheckNewPassword(c.firstTime, c.oldPassword, c.fresh, c.confirmation);
        EXPECT_EQ(v.message, c.message);
        EXPECT_EQ(v.focus, c.focus);
        EXPECT_EQ(v.clearNew, c.focus == PasswordField::Old);
    }
    EXPECT_NE(PasswordCheckValue("abcdef"), PasswordCheckValue("abcdeg"));
    EXPECT_EQ(PasswordCheckValue("abcdef"), PasswordCheckValue("abcdef"));
}

TEST_F(EntryPointsTest, ThePasswordTravelsThroughTheDriverAndUnlocksTheCamera) {
    PlugAndWait();
    DWORD stored = 0;
    EXPECT_FALSE(StoredCheckValue(&stored)) << "no password yet";
    ASSERT_TRUE(SendNewPassword("QK0340 Camera", true, "letmein"));
    ASSERT_TRUE(StoredCheckValue(&stored));
    EXPECT_EQ(stored, PasswordCheckValue("letmein"));

    // A user who may not write the machine key still reads it.
    qk::registry::SetUsersMayWriteMachineHive(false);
    stored = 0;
    EXPECT_TRUE(StoredCheckValue(&stored));
    EXPECT_EQ(stored, PasswordCheckValue("letmein"));
    qk::registry::SetUsersMayWriteMachineHive(true);

    EXPECT_EQ(CheckNewPassword(false, "letmein", "another1", "another1").message, 57717u);
    EXPECT_EQ(CheckNewPassword(false, "letmeout", "another1", "another1").message, 57721u);

    EXPECT_FALSE(Unlock("QK0340 Camera", "wrong!", 1, false).accepted);
    EXPECT_EQ(Unlock("QK0340 Camera", "", 1, false).message, 57737u);
    UnlockVerdict v = Unlock("QK0340 Camera", "letmein", 1, false);
    EXPECT_TRUE(v.accepted);
    EXPECT_EQ(v.message, 57740u);
    DeviceSession session;
    ASSERT_TRUE(OpenDeviceSession("QK0340 Camera", &session));
    LONG state = -1;
    ASSERT_TRUE(GetCustomProperty(&session, PROPSETID_K0340_CAMERA, KSPROPERTY_K0340_PARENTAL_LOCK, 28, &state));
    CloseDeviceSession(&session);
    EXPECT_EQ(state, static_cast<LONG>(K0340_LOCK_STATE_RELEASED));

    v = Unlock("QK0340 Camera", "letmein", 0, true);
    EXPECT_TRUE(v.accepted);
    EXPECT_EQ(v.message, 0u) << "silent";
    ASSERT_TRUE(OpenDeviceSession("QK0340 Camera", &session));
    ASSERT_TRUE(GetCustomProperty(&session, PROPSETID_K0340_CAMERA, KSPROPERTY_K0340_PARENTAL_LOCK, 28, &state));
    CloseDeviceSession(&session);
    EXPECT_EQ(state, static_cast<LONG>(K0340_LOCK_STATE_DISABLED));
}

}  // namespace
