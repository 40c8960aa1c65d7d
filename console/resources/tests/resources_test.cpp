// The console's resource library as the console will load it: every
// template the console names, with the control identifiers it uses; every
// string number; the icons; and every template built into a dialog.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "console/resources/resource_ids.h"
#include "platform/nt/testing/machine_test.h"
#include "platform/ui/dialog_template.h"
#include "platform/ui/presentation.h"
#include "windows.h"
#include "winuser.h"

namespace {

class ConsoleResources : public qk::testing::MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        std::filesystem::create_directories(Root() / "Windows" / "System32");
        std::filesystem::copy_file(QK_CONSOLE_CRL, Root() / "Windows" / "System32" / "K0340Cvw.crl");
        library_ = LoadLibraryExW(u"K0340Cvw.crl", nullptr, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(library_, nullptr) << GetLastError();
    }
    void TearDown() override {
        FreeLibrary(library_);
        MachineTest::TearDown();
    }
    qk::ui::DialogTemplate Template(int number) {
        HRSRC r = FindResourceW(library_, MAKEINTRESOURCEW(number), MAKEINTRESOURCEW(5));
        EXPECT_NE(r, nullptr) << "template " << number;
        qk::ui::DialogTemplate t;
        if (!r) return t;
        std::string error;
        EXPECT_TRUE(qk::ui::ParseDialogTemplate(
            std::span(static_cast<const uint8_t*>(LockResource(LoadResource(library_, r))), SizeofResource(library_, r)),
            &t, &error))
            << error;
        return t;
    }
    HMODULE library_ = nullptr;
};

struct TemplateIds {
    int number;
    const char* role;
    std::vector<uint32_t> ids;
};

const TemplateIds kTemplates[] = {
    {IDD_AUDIO_PANEL, "audio panel", {IDC_NOISE_GUARD}},
    {IDD_AUDIO_FX_PANEL, "audio effects panel", {IDC_AUDIO_FX_ENABLE, IDC_AUDIO_FX_LABEL, IDC_AUDIO_FX_LIST}},
    {IDD_FACE_TRACKING_PANEL, "face tracking panel", {IDC_TRACKING, IDC_TRACK_MODE_1, IDC_TRACK_MODE_2, IDC_TRACK_SETTINGS}},
    {IDD_PAN_TILT_PANEL, "pan and tilt panel",
     {IDC_PT_CENTER, IDC_PT_LEFT, IDC_PT_RIGHT, IDC_PT_UP, IDC_PT_DOWN, IDC_PT_ZOOM_IN, IDC_PT_ZOOM_OUT,
      IDC_PT_LEFT_UP, IDC_PT_RIGHT_UP, IDC_PT_LEFT_DOWN, IDC_PT_RIGHT_DOWN}},
    {IDD_VIDEO_FX_PANEL, "video effects panel", {IDC_VIDEO_FX_ENABLE}},
    {IDD_CONSOLE, "standalone console", {IDC_MINIMIZE, IDC_CLOSE, IDC_CAMERA, IDC_SETTINGS, IDC_GRIP, IDC_TITLE}},
    {IDD_VIEW_PANEL, "view panel", {IDC_VIEW_EXPOSURE}},
    {IDD_CONSOLE_SETTINGS, "console settings", {IDC_AUTO_LAUNCH, IDC_ALWAYS_ON_TOP, IDC_CHANGE_PASSWORD, IDC_LOCK, IDOK, IDCANCEL}},
    {IDD_CHANGE_PASSWORD, "change password", {IDC_OLD_PASSWORD, IDC_NEW_PASSWORD, IDC_CONFIRM_PASSWORD, IDOK, IDCANCEL}},
    {IDD_UNLOCK, "unlock", {IDC_PASSWORD, IDC_PASSWORD_EXTRA, IDOK, IDCANCEL}},
    {IDD_TRACKING_OPTIONS, "tracking options",
     {IDC_SPEED_SLOW, IDC_SPEED_NORMAL, IDC_SPEED_FAST, IDC_PIP, IDC_PIP_1, IDC_PIP_2, IDOK, IDCANCEL}},
    {IDD_INTEGRATED_CONSOLE, "integrated console", {IDC_TAB_VIDEO, IDC_TAB_AUDIO}},
    {IDD_FOCUS_SETTINGS, "focus settings", {IDC_FOCUS_AREA, IDOK, IDCANCEL}},
    {IDD_VIEW_ADVANCED, "advanced picture settings",
     {IDC_POWER_60HZ, IDC_POWER_50HZ, IDC_POWER_OFF, IDC_ORIENTATION_LABEL, IDC_FLIP, IDC_MIRROR, IDC_ADVANCED_DEFAULTS,
      IDOK, IDCANCEL}},
    {IDD_AUTO_FOCUS_PANEL, "auto focus panel",
     {IDC_FOCUS_AUTO, IDC_FOCUS_MANUAL, IDC_FOCUS_SLIDER, IDC_FOCUS_VALUE, IDC_FOCUS_ONCE}},
    {IDD_TAB_BAR, "tab bar", {IDC_TAB_VIDEO, IDC_TAB_AUDIO}},
};

TEST_F(ConsoleResources, EveryTemplateHasItsControlIdentifiers) {
    for (const TemplateIds& t : kTemplates) {
        SCOPED_TRACE(t.role);
        const qk::ui::DialogTemplate parsed = Template(t.number);
        std::set<uint32_t> present;
        for (const auto& item : parsed.items) present.insert(item.id);
        for (uint32_t id : t.ids) EXPECT_TRUE(present.count(id)) << "control " << id;
    }
}

TEST_F(ConsoleResources, TabButtonsAreCheckBoxesAndPanelsAreChildDialogs) {
    for (int number : {IDD_TAB_BAR, IDD_INTEGRATED_CONSOLE}) {
        for (const auto& item : Template(number).items) {
            if (item.id == IDC_TAB_VIDEO || item.id == IDC_TAB_AUDIO) {
                EXPECT_EQ(item.style & BS_TYPEMASK, static_cast<uint32_t>(BS_AUTOCHECKBOX));
            }
        }
    }
    for (int number : {IDD_AUDIO_PANEL, IDD_AUDIO_FX_PANEL, IDD_FACE_TRACKING_PANEL, IDD_PAN_TILT_PANEL,
                       IDD_VIDEO_FX_PANEL, IDD_VIEW_PANEL, IDD_AUTO_FOCUS_PANEL}) {
        SCOPED_TRACE(number);
        EXPECT_TRUE(Template(number).style & WS_CHILD) << "panels live inside a stack";
    }
}

TEST_F(ConsoleResources, EveryStringTheConsoleNamesIsThere) {
    std::vector<UINT> numbers = {4, 8, 9, 10, 11, 12, 13, 14, 19, 27, 28, 57673, 57675, 57677, 57683, 57684, 57686, 57715, 57747};
    for (UINT n = 57687; n <= 57709; ++n) numbers.push_back(n);
    for (UINT n : {57712u, 57713u}) numbers.push_back(n);
    for (UINT n = 57717; n <= 57744; ++n) numbers.push_back(n);
    for (UINT n : numbers) {
        SCOPED_TRACE(n);
        char16_t text[256];
        EXPECT_GT(LoadStringW(library_, n, text, 256), 0);
    }
    char title[64];
    ASSERT_GT(LoadStringA(library_, 57673, title, 64), 0);
    EXPECT_EQ(std::string(title).rfind("Lumora ", 0), 0u) << "the shortcut title starts with the maker's name";
}

TEST_F(ConsoleResources, TheConsoleIconIsTheFifthGroup) {
    HICON icon = LoadIconW(library_, MAKEINTRESOURCEW(IDI_CONSOLE));
    ASSERT_NE(icon, nullptr);
    BITMAP bm{};
    ASSERT_EQ(GetObjectW(icon, sizeof bm, &bm), static_cast<int>(sizeof bm));
    EXPECT_EQ(bm.bmWidth, 32);
    HICON small = static_cast<HICON>(LoadImageW(library_, MAKEINTRESOURCEW(IDI_CONSOLE), IMAGE_ICON, 16, 16, 0));
    ASSERT_NE(small, nullptr);
    GetObjectW(small, sizeof bm, &bm);
    EXPECT_EQ(bm.bmWidth, 16);
    // Index 4 counts the icon groups in the order the library keeps them.
    std::vector<uint16_t> groups;
    for (int n = 1; n < 200; ++n) {
        if (FindResourceW(library_, MAKEINTRESOURCEW(n), MAKEINTRESOURCEW(14))) groups.push_back(static_cast<uint16_t>(n));
    }
    ASSERT_GE(groups.size(), 5u);
    EXPECT_EQ(groups[4], IDI_CONSOLE);
    DestroyIcon(icon);
    DestroyIcon(small);
}

INT_PTR CALLBACK Quiet(HWND, UINT message, WPARAM, LPARAM) { return message == WM_INITDIALOG; }

TEST_F(ConsoleResources, EveryTemplateBuildsADialogWithoutClipping) {
    HWND host = CreateWindowExW(0, u"#32770", u"", WS_POPUP, 0, 0, 600, 800, nullptr, nullptr, nullptr, nullptr);
    for (const TemplateIds& t : kTemplates) {
        SCOPED_TRACE(t.role);
        HWND dialog = CreateDialogParamW(library_, MAKEINTRESOURCEW(t.number), host, Quiet, 0);
        ASSERT_NE(dialog, nullptr);
        RECT client;
        GetClientRect(dialog, &client);
        // Every control lies inside the dialog's client area.
        for (HWND c = GetWindow(dialog, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
            RECT r;
            GetWindowRect(c, &r);
            MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&r), 2);
            EXPECT_GE(r.left, 0) << GetDlgCtrlID(c);
            EXPECT_GE(r.top, 0) << GetDlgCtrlID(c);
            EXPECT_LE(r.right, client.right) << GetDlgCtrlID(c);
            EXPECT_LE(r.bottom, client.bottom) << GetDlgCtrlID(c);
        }
        DestroyWindow(dialog);
    }
    DestroyWindow(host);
}

}  // namespace
