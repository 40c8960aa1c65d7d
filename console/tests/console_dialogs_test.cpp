// The settings dialog and the two password dialogs, driven as a user drives
// them while the console runs on its own thread: the choices written per
// user, the viewing lock set up, refused and switched on the real driver,
// and every dialog closed with the console.
#include <gtest/gtest.h>

#include "console/console_window.h"
#include "console/resources/resource_ids.h"
#include "console/tests/console_window_fixture.h"

namespace k0340cvw::testing {
namespace {

class ConsoleDialogsTest : public ConsoleWindowFixture {
protected:
    // The message box of the lock (caption "Viewing Lock") once it shows:
    // its text, after which it is answered OK.
    std::string AnswerMessage() {
        HWND box = nullptr;
        const bool shown = Eventually([&] {
            box = FindWindowA(nullptr, "Viewing Lock");
            return box != nullptr && IsWindowVisible(box);
        });
        if (!shown) return "(no message box)";
        std::string text = ChildTexts(box);
        PostMessageW(box, WM_COMMAND, IDOK, 0);
        Eventually([&] { return !IsWindow(box); });
        return text;
    }
    static std::string ChildTexts(HWND hwnd) {
        std::string all;
        EnumChildWindows(
            hwnd,
            [](HWND child, LPARAM p) -> BOOL {
                char text[512] = {};
                GetWindowTextA(child, text, sizeof text);
                *reinterpret_cast<std::string*>(p) += std::string(text) + "|";
                return TRUE;
            },
            reinterpret_cast<LPARAM>(&all));
        return all;
    }
    static std::string Text(HWND dialog, int id) {
        char text[256] = {};
        GetDlgItemTextA(dialog, id, text, sizeof text);
        return text;
    }
    static LONG DriverLockState(const std::string& camera) {
        DeviceSession session{};
        LONG locked = -1;
        if (OpenDeviceSession(camera.c_str(), &session)) GetLockState(&session, &locked);
        CloseDeviceSession(&session);
        return locked;
    }
    HWND OpenSettings() {
        PostMessageW(Console(), WM_COMMAND, IDC_SETTINGS, 0);
        return WaitForWindow("Console Settings");
    }
};

TEST_F(ConsoleDialogsTest, TheSettingsDialogWritesItsChoicesOnOkOnlyAndTheConsoleFollowsOnTop) {
    PlugAndWait();
    WriteValue("CurrentWinPosL", 10);
    WriteValue("CurrentWinPosT", 10);
    WriteValue("CurrentWinPosR", 322);
    WriteValue("CurrentWinPosB", 600);
    WriteValue("AlwaysOnTop", 0);
    StartConsole("");
    HWND settings = OpenSettings();
    ASSERT_NE(settings, nullptr);
    EXPECT_EQ(IsDlgButtonChecked(settings, IDC_AUTO_LAUNCH), BST_CHECKED) << "no NoAutoLaunch: starts automatically";
    EXPECT_EQ(IsDlgButtonChecked(settings, IDC_ALWAYS_ON_TOP), BST_UNCHECKED);
    EXPECT_EQ(Text(settings, IDC_LOCK), "Lock the camera");
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(settings, IDC_LOCK)));
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(settings, IDC_CHANGE_PASSWORD))) << "no password yet";
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    Picture(settings, "console_settings");

    // Cancel writes nothing.
    SendDlgItemMessageW(settings, IDC_ALWAYS_ON_TOP, BM_CLICK, 0, 0);
    PostMessageW(settings, WM_COMMAND, IDCANCEL, 0);
    ASSERT_TRUE(Eventually([&] { return !IsWindow(settings); }));
    DWORD value = 7;
    EXPECT_TRUE(ReadConsoleValue(HKEY_CURRENT_USER, "AlwaysOnTop", &value));
    EXPECT_EQ(value, 0u);
    EXPECT_FALSE(ReadConsoleValue(HKEY_CURRENT_USER, "NoAutoLaunch", &value));

    // OK writes both, inverted for the start-up box, and the console goes on top.
    settings = OpenSettings();
    ASSERT_NE(settings, nullptr);
    SendDlgItemMessageW(settings, IDC_ALWAYS_ON_TOP, BM_CLICK, 0, 0);
    SendDlgItemMessageW(settings, IDC_AUTO_LAUNCH, BM_CLICK, 0, 0);
    const RECT before = Rect(Console());
    PostMessageW(settings, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(Eventually([&] { return !IsWindow(settings); }));
    EXPECT_TRUE(ReadConsoleValue(HKEY_CURRENT_USER, "AlwaysOnTop", &value));
    EXPECT_EQ(value, 1u);
    EXPECT_TRUE(ReadConsoleValue(HKEY_CURRENT_USER, "NoAutoLaunch", &value));
    EXPECT_EQ(value, 1u);
    EXPECT_TRUE(Eventually([&] { return (GetWindowLongW(Console(), GWL_EXSTYLE) & 0x8) != 0; }));
    const RECT after = Rect(Console());
    EXPECT_EQ(after.left, before.left);
    EXPECT_EQ(after.bottom, before.bottom) << "neither moved nor sized";
    CloseConsole();
}

TEST_F(ConsoleDialogsTest, TheLockIsSetUpRefusedAndSwitchedOnThroughThePasswordDialogs) {
    PlugAndWait();
    const std::string camera = CameraName();
    StartConsole("");
    HWND settings = OpenSettings();
    ASSERT_NE(settings, nullptr);

    // No password: the lock button asks for one first.
    PostMessageW(settings, WM_COMMAND, IDC_LOCK, 0);
    HWND first = WaitForWindow("Set Password");
    ASSERT_NE(first, nullptr);
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(first, IDC_OLD_PASSWORD)));
    Picture(first, "console_set_password");
    SetDlgItemTextA(first, IDC_NEW_PASSWORD, "abcde");
    SetDlgItemTextA(first, IDC_CONFIRM_PASSWORD, "abcde");
    PostMessageW(first, WM_COMMAND, IDOK, 0);
    EXPECT_NE(AnswerMessage().find("at least six characters"), std::string::npos);
    EXPECT_TRUE(IsWindow(first));
    SetDlgItemTextA(first, IDC_NEW_PASSWORD, "abcdef");
    SetDlgItemTextA(first, IDC_CONFIRM_PASSWORD, "abcdeg");
    PostMessageW(first, WM_COMMAND, IDOK, 0);
    EXPECT_NE(AnswerMessage().find("not the same"), std::string::npos);
    SetDlgItemTextA(first, IDC_CONFIRM_PASSWORD, "abcdef");
    PostMessageW(first, WM_COMMAND, IDOK, 0);
    EXPECT_NE(AnswerMessage().find("password has been set"), std::string::npos);
    ASSERT_TRUE(Eventually([&] { return !IsWindow(first); }));
    DWORD stored = 0;
    EXPECT_TRUE(Eventually([&] { return StoredCheckValue(&stored) && stored == PasswordCheckValue("abcdef"); }));
    EXPECT_TRUE(Eventually([&] { return IsWindowEnabled(GetDlgItem(settings, IDC_CHANGE_PASSWORD)) != FALSE; }));
    EXPECT_EQ(Text(settings, IDC_LOCK), "Unlock the camera");
    EXPECT_EQ(DriverLockState(camera), 0);

    // With a password: the unlock dialog asks to switch the lock on; a wrong password is refused.
    PostMessageW(settings, WM_COMMAND, IDC_LOCK, 0);
    HWND lock = WaitForWindow("Lock the Camera");
    ASSERT_NE(lock, nullptr);
    EXPECT_FALSE(IsWindowVisible(GetDlgItem(lock, IDC_PASSWORD_EXTRA)));
    Picture(lock, "console_lock_password");
    SetDlgItemTextA(lock, IDC_PASSWORD, "wrong!");
    PostMessageW(lock, WM_COMMAND, IDOK, 0);
    EXPECT_NE(AnswerMessage().find("not right"), std::string::npos);
    EXPECT_EQ(Text(lock, IDC_PASSWORD), "") << "the refused password is emptied";
    EXPECT_EQ(DriverLockState(camera), 0);
    SetDlgItemTextA(lock, IDC_PASSWORD, "abcdef");
    PostMessageW(lock, WM_COMMAND, IDOK, 0);
    EXPECT_NE(AnswerMessage().find("locked"), std::string::npos);
    ASSERT_TRUE(Eventually([&] { return !IsWindow(lock); }));
    EXPECT_EQ(DriverLockState(camera), 1);
    EXPECT_EQ(Text(settings, IDC_LOCK), "Unlock the camera");

    // Closing the console closes the settings dialog and the password dialog it opened.
    PostMessageW(settings, WM_COMMAND, IDC_CHANGE_PASSWORD, 0);
    HWND change = WaitForWindow("Change Password");
    ASSERT_NE(change, nullptr);
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(change, IDC_OLD_PASSWORD)));
    PostMessageW(Console(), WM_CLOSE, 0, 0);
    EXPECT_TRUE(Eventually([&] { return !IsWindow(change) && !IsWindow(settings) && !IsWindow(Console()); }));
    if (thread_.joinable()) thread_.join();
}

TEST_F(ConsoleDialogsTest, TheParentalEntryPromptsSilentlyAndUnlocksWithTheRightPassword) {
    PlugAndWait();
    const std::string camera = CameraName();
    ASSERT_TRUE(SendNewPassword(camera.c_str(), true, "secret1"));
    ASSERT_TRUE(Eventually([] {
        DWORD stored = 0;
        return StoredCheckValue(&stored);
    }));
    std::thread parental([camera] {
        std::string line = "/prompt " + camera;
        luCVWParentalRunDLL32EP(nullptr, nullptr, line.data(), SW_SHOWNORMAL);
    });
    HWND prompt = WaitForWindow("The camera is locked");
    EXPECT_NE(prompt, nullptr);
    if (prompt != nullptr) {
        EXPECT_FALSE(IsWindowVisible(GetDlgItem(prompt, IDC_PASSWORD_EXTRA)));
        Picture(prompt, "console_parental_prompt");
        SetDlgItemTextA(prompt, IDC_PASSWORD, "secret1");
        PostMessageW(prompt, WM_COMMAND, IDOK, 0);
        // Silent: no message, the dialog just closes.
        EXPECT_TRUE(Eventually([&] { return !IsWindow(prompt); }));
        EXPECT_EQ(FindWindowA(nullptr, "Viewing Lock"), nullptr);
    }
    parental.join();
    EXPECT_EQ(DriverLockState(camera), 1) << "enabled and released for now";
}

}  // namespace
}  // namespace k0340cvw::testing
