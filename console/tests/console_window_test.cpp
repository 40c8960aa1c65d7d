// The standalone console window on the real driver, started through the
// RunDLL32 entry as a user does: where it opens and what it remembers, the
// two stacks with the panels of the table in their order and conditions,
// tabs, the camera menu, the settings-changed broadcast, sizing, the system
// menu, closing, and a camera unplugged and plugged again while it runs.
// The panels are small recording stand-ins made through the panel table.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <vector>

#include "console/console_window.h"
#include "console/skin/resource_library.h"
#include "wingdi.h"
#include "console/resources/resource_ids.h"
#include "console/tests/console_window_fixture.h"

namespace k0340cvw::testing {
namespace {

class ConsoleWindowTest : public ConsoleWindowFixture {};

TEST_F(ConsoleWindowTest, AFirstStartOpensTopmostAtTheRightEdgeWithEveryPanelInOrder) {
    const int port = PlugCamera();
    ASSERT_FALSE(FilterLink().empty());
    const std::string camera = CameraName();
    ASSERT_FALSE(camera.empty());
    StartConsole("");
    HWND window = Console();

    char text[300] = {};
    GetWindowTextA(window, text, sizeof text);
    EXPECT_STREQ(text, "Lumora Camera Console");
    GetDlgItemTextA(window, IDC_TITLE, text, sizeof text);
    EXPECT_STREQ(text, "Lumora Camera Console");
    GetDlgItemTextA(window, IDC_CAMERA, text, sizeof text);
    EXPECT_EQ(std::string(text), "   " + camera);
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(window, IDC_CAMERA)));

    // Nothing saved: topmost, against the right edge, a fifth down.
    const RECT r = Rect(window);
    EXPECT_NE(GetWindowLongW(window, GWL_EXSTYLE) & 0x8, 0) << "topmost";
    EXPECT_EQ(r.right, GetSystemMetrics(SM_CXSCREEN));
    EXPECT_EQ(r.top, GetSystemMetrics(SM_CYSCREEN) / 5);

    // The table's panels without the optional ones, each told the camera in
    // the switching order, identified by position in their stack.
    EXPECT_EQ(Records().SetDeviceOrder(),
              (std::vector<std::string>{kFaceTrackingPanelTitle, kAudioPanelTitle, kPanTiltPanelTitle,
                                        kAutoFocusPanelTitle, kViewPanelTitle}));
    EXPECT_EQ(Records().LastDevice(kViewPanelTitle), camera);
    HWND video = GetDlgItem(window, kVideoStackId), audio = GetDlgItem(window, kAudioStackId);
    ASSERT_NE(video, nullptr);
    ASSERT_NE(audio, nullptr);
    EXPECT_TRUE(IsWindowVisible(video));
    EXPECT_FALSE(IsWindowVisible(audio));
    const std::map<std::string, int> ids = {{kViewPanelTitle, 1},      {kFaceTrackingPanelTitle, 2},
                                            {kPanTiltPanelTitle, 3},   {kAutoFocusPanelTitle, 4},
                                            {kAudioPanelTitle, 5}};
    for (const auto& [title, id] : ids) {
        SCOPED_TRACE(title);
        HWND dialog = Records().Window(title);
        ASSERT_NE(dialog, nullptr);
        EXPECT_EQ(GetDlgCtrlID(GetParent(dialog)), id);
        EXPECT_EQ(GetParent(GetParent(dialog)), title == kAudioPanelTitle ? audio : video);
    }

    // The first video panel opens by default and the window grows to show it.
    const int minimum = MinimumHeight(window);
    const RECT first = Rect(Records().Window(kViewPanelTitle));
    EXPECT_TRUE(Eventually([&] {
        const RECT now = Rect(window);
        return now.bottom - now.top == minimum + (first.bottom - first.top);
    })) << Rect(window).bottom - Rect(window).top << " vs " << minimum << " + " << first.bottom - first.top;
    EXPECT_GT(minimum, 100);
    Picture(window, "console_video_tab");

    // Closing saves the place and closes the panels the window closes first.
    const RECT last = Rect(window);
    CloseConsole();
    DWORD l = 0, t = 0, rr = 0, b = 0;
    ASSERT_TRUE(ReadConsoleValue(HKEY_CURRENT_USER, "CurrentWinPosL", &l));
    ASSERT_TRUE(ReadConsoleValue(HKEY_CURRENT_USER, "CurrentWinPosT", &t));
    ASSERT_TRUE(ReadConsoleValue(HKEY_CURRENT_USER, "CurrentWinPosR", &rr));
    ASSERT_TRUE(ReadConsoleValue(HKEY_CURRENT_USER, "CurrentWinPosB", &b));
    EXPECT_EQ(static_cast<LONG>(l), last.left);
    EXPECT_EQ(static_cast<LONG>(t), last.top);
    EXPECT_EQ(static_cast<LONG>(rr), last.right);
    EXPECT_EQ(static_cast<LONG>(b), last.bottom);
    const auto closes = Records().Closes();
    ASSERT_GE(closes.size(), 3u);
    EXPECT_EQ(closes[0], kViewPanelTitle);
    EXPECT_EQ(closes[1], kFaceTrackingPanelTitle);
    EXPECT_EQ(closes[2], kAutoFocusPanelTitle);
    Unplug(port);
}

TEST_F(ConsoleWindowTest, ASavedPlaceComesBackWithItsHeightAndZOrderAndTheSystemMenuIsGreyed) {
    PlugAndWait();
    WriteValue("CurrentWinPosL", 40);
    WriteValue("CurrentWinPosT", 50);
    WriteValue("CurrentWinPosR", 40 + 312);
    WriteValue("CurrentWinPosB", 50 + 640);
    WriteValue("AlwaysOnTop", 0);
    StartConsole("");
    HWND window = Console();
    RECT r = Rect(window);
    EXPECT_EQ(r.left, 40);
    EXPECT_EQ(r.top, 50);
    EXPECT_EQ(r.bottom - r.top, 640);
    EXPECT_EQ(GetWindowLongW(window, GWL_EXSTYLE) & 0x8, 0) << "normal z-order";
    // The first-show sizing leaves a restored window alone.
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    r = Rect(window);
    EXPECT_EQ(r.bottom - r.top, 640);
    // Settings button and grip stay anchored to the bottom.
    RECT client{};
    GetClientRect(window, &client);
    EXPECT_EQ(ChildTop(GetDlgItem(window, IDC_SETTINGS)), client.bottom - 28);
    EXPECT_EQ(ChildTop(GetDlgItem(window, IDC_GRIP)), client.bottom - 22);
    // The pointer over the grip is the diagonal sizing one, the arrow elsewhere.
    SendMessageW(window, WM_MOUSEMOVE, 0, MAKELPARAM(client.right - 3, client.bottom - 3));
    EXPECT_EQ(GetCursor(), LoadCursorW(nullptr, IDC_SIZENWSE));
    SendMessageW(window, WM_MOUSEMOVE, 0, MAKELPARAM(client.right / 2, client.bottom / 2));
    EXPECT_EQ(GetCursor(), LoadCursorW(nullptr, IDC_ARROW));

    // Sizing lower than the minimum: the bottom edge stops there.
    const int minimum = MinimumHeight(window);
    RECT lower{40, 50, 352, 60};
    SendMessageW(window, WM_SIZING, WMSZ_BOTTOM, reinterpret_cast<LPARAM>(&lower));
    EXPECT_EQ(lower.bottom, 50 + minimum);
    RECT higher{40, 50, 352, 50 + minimum + 80};
    SendMessageW(window, WM_SIZING, WMSZ_BOTTOM, reinterpret_cast<LPARAM>(&higher));
    EXPECT_EQ(higher.bottom, 50 + minimum + 80);

    // A normal window: Maximize, Size and Restore grey; Minimize and Move not.
    HMENU system = GetSystemMenu(window, FALSE);
    ASSERT_NE(system, nullptr);
    SendMessageW(window, WM_INITMENU, reinterpret_cast<WPARAM>(system), 0);
    EXPECT_NE(GetMenuState(system, SC_MAXIMIZE, MF_BYCOMMAND) & MF_GRAYED, 0u);
    EXPECT_NE(GetMenuState(system, SC_SIZE, MF_BYCOMMAND) & MF_GRAYED, 0u);
    EXPECT_NE(GetMenuState(system, SC_RESTORE, MF_BYCOMMAND) & MF_GRAYED, 0u);
    EXPECT_EQ(GetMenuState(system, SC_MINIMIZE, MF_BYCOMMAND) & MF_GRAYED, 0u);
    EXPECT_EQ(GetMenuState(system, SC_MOVE, MF_BYCOMMAND) & MF_GRAYED, 0u);

    // The minimise button saves the place first.
    WriteValue("CurrentWinPosT", 0);
    SendMessageW(window, WM_COMMAND, IDC_MINIMIZE, 0);
    DWORD top = 0;
    EXPECT_TRUE(ReadConsoleValue(HKEY_CURRENT_USER, "CurrentWinPosT", &top));
    EXPECT_EQ(top, 50u);
    CloseConsole();
}

TEST_F(ConsoleWindowTest, TheOptionalPanelsTabsCameraMenuAndBroadcastReachTheRightPanels) {
    PlugAndWait();
    // An effects engine whose file exists, and an installed audio effects library.
    const std::string engine = "C:\\Program Files\\Effects\\BlinklyEx.dll";
    std::filesystem::create_directories(root_ / "Program Files" / "Effects");
    std::ofstream(root_ / "Program Files" / "Effects" / "BlinklyEx.dll") << "engine";
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kEngineAppPath, 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_32KEY, nullptr,
                              &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(engine.c_str()),
                   static_cast<DWORD>(engine.size() + 1));
    RegCloseKey(key);
    ASSERT_EQ(FindEffectsEngine(), engine);
    Records().SetAudioFxInstalled(true);

    StartConsole("");
    HWND window = Console();
    EXPECT_EQ(Records().EnginePath(), engine);
    const std::map<std::string, int> ids = {{kViewPanelTitle, 1},     {kFaceTrackingPanelTitle, 2},
                                            {kVideoFxPanelTitle, 3},  {kPanTiltPanelTitle, 4},
                                            {kAutoFocusPanelTitle, 5}, {kAudioPanelTitle, 6},
                                            {kAudioFxPanelTitle, 7}};
    for (const auto& [title, id] : ids) {
        SCOPED_TRACE(title);
        ASSERT_NE(Records().Window(title), nullptr);
        EXPECT_EQ(GetDlgCtrlID(GetParent(Records().Window(title))), id);
    }
    EXPECT_EQ(Records().SetDeviceOrder(),
              (std::vector<std::string>{kFaceTrackingPanelTitle, kAudioPanelTitle, kAudioFxPanelTitle,
                                        kVideoFxPanelTitle, kPanTiltPanelTitle, kAutoFocusPanelTitle,
                                        kViewPanelTitle}));

    // Tabs: audio shows the audio stack and ticks its own button only.
    HWND videoTab = FindControl(window, IDC_TAB_VIDEO), audioTab = FindControl(window, IDC_TAB_AUDIO);
    ASSERT_NE(audioTab, nullptr);
    EXPECT_EQ(SendMessageW(videoTab, BM_GETCHECK, 0, 0), BST_CHECKED);
    SendMessageW(audioTab, BM_CLICK, 0, 0);
    EXPECT_TRUE(IsWindowVisible(GetDlgItem(window, kAudioStackId)));
    EXPECT_FALSE(IsWindowVisible(GetDlgItem(window, kVideoStackId)));
    EXPECT_EQ(SendMessageW(audioTab, BM_GETCHECK, 0, 0), BST_CHECKED);
    EXPECT_EQ(SendMessageW(videoTab, BM_GETCHECK, 0, 0), BST_UNCHECKED);
    Picture(window, "console_audio_tab");
    SendMessageW(videoTab, BM_CLICK, 0, 0);
    EXPECT_TRUE(IsWindowVisible(GetDlgItem(window, kVideoStackId)));
    EXPECT_FALSE(IsWindowVisible(GetDlgItem(window, kAudioStackId)));

    // The broadcast after a tracking change reaches the pan/tilt panel only.
    DWORD recipients = BSM_APPLICATIONS;
    BroadcastSystemMessageW(BSF_POSTMESSAGE, &recipients, RegisterWindowMessageA(kSettingsChangedMessage), 4, 0);
    EXPECT_TRUE(Eventually([] { return Records().SettingsCodes(kPanTiltPanelTitle) == std::vector<WPARAM>{4}; }));
    EXPECT_TRUE(Records().SettingsCodes(kViewPanelTitle).empty());

    // The camera menu: its one item is 50002; identifiers outside the menu are no choice.
    Records().ClearSetDevices();
    SendMessageW(window, WM_COMMAND, kFirstMenuItem, 0);
    SendMessageW(window, WM_COMMAND, kFirstMenuItem + 2, 0);
    SendMessageW(window, WM_COMMAND, kLastMenuItem + 1, 0);
    EXPECT_TRUE(Records().SetDeviceOrder().empty());
    SendMessageW(window, WM_COMMAND, kFirstMenuItem + 1, 0);
    EXPECT_EQ(Records().SetDeviceOrder().size(), 7u);
    CloseConsole();
}

TEST_F(ConsoleWindowTest, UnpluggedTheButtonSaysNoCameraAndReplugsReadThePanelsAgain) {
    const int port = PlugCamera();
    ASSERT_FALSE(FilterLink().empty());
    const std::string camera = CameraName();
    StartConsole("");
    HWND window = Console();
    HWND button = GetDlgItem(window, IDC_CAMERA);

    // The window system tells every top-level window that devices changed.
    Unplug(port);
    char text[300] = {};
    EXPECT_TRUE(Eventually([&] { return !IsWindowEnabled(button); }));
    GetWindowTextA(button, text, sizeof text);
    EXPECT_STREQ(text, "No camera found");
    EXPECT_TRUE(Eventually([] { return Records().LastDevice(kViewPanelTitle).empty(); }));
    EXPECT_TRUE(Records().LastDevice(kAudioPanelTitle).empty());
    Picture(window, "console_unplugged");

    Records().ClearSetDevices();
    PlugCamera();
    ASSERT_FALSE(FilterLink().empty());
    EXPECT_TRUE(Eventually([&] { return IsWindowEnabled(button) != FALSE; }));
    GetWindowTextA(button, text, sizeof text);
    EXPECT_EQ(std::string(text), "   " + camera);
    EXPECT_TRUE(Eventually([&] { return Records().LastDevice(kViewPanelTitle) == camera; }));
    // Each device node of the camera is a notice and a re-check; every re-check reads all five panels.
    EXPECT_TRUE(Eventually([] {
        const size_t reads = Records().SetDeviceOrder().size();
        return reads >= 5 && reads % 5 == 0;
    })) << Records().SetDeviceOrder().size();
    CloseConsole();
}

TEST_F(ConsoleWindowTest, AHostsIntegratedWindowHoldsTheSamePanelsUnderItsOwnTabsAndClosesWithTheDestroyCommand) {
    PlugAndWait();
    const std::string camera = CameraName();
    std::vector<uint8_t> create(kCreateBlockBytes, 0);
    std::memcpy(create.data() + 4, camera.data(), camera.size());
    ASSERT_EQ(luCVWEntryPoint(nullptr, CVW_CMD_CREATE, create.data()), CVW_OK);
    void* instance = nullptr;
    std::memcpy(&instance, create.data() + 260, sizeof instance);
    std::vector<uint8_t> open(kOpenWindowBlockBytes, 0);
    const uint32_t size = kOpenWindowBlockBytes;
    std::memcpy(open.data() + 4, &size, 4);
    ASSERT_EQ(luCVWEntryPoint(instance, CVW_CMD_OPEN_WINDOW, open.data()), CVW_OK);
    HWND window = nullptr;
    std::memcpy(&window, open.data() + 8, sizeof window);
    ASSERT_TRUE(IsWindow(window));
    EXPECT_TRUE(IsWindowVisible(window));

    // No caption, camera button, settings button or grip; the tabs are its own children.
    for (int id : {IDC_CAMERA, IDC_SETTINGS, IDC_GRIP, IDC_MINIMIZE, IDC_CLOSE}) EXPECT_EQ(GetDlgItem(window, id), nullptr) << id;
    HWND audioTab = GetDlgItem(window, IDC_TAB_AUDIO);
    ASSERT_NE(audioTab, nullptr);
    EXPECT_EQ(Records().SetDeviceOrder(),
              (std::vector<std::string>{kFaceTrackingPanelTitle, kAudioPanelTitle, kPanTiltPanelTitle,
                                        kAutoFocusPanelTitle, kViewPanelTitle}));
    EXPECT_EQ(Records().LastDevice(kViewPanelTitle), camera);
    HWND video = GetDlgItem(window, kVideoStackId), audio = GetDlgItem(window, kAudioStackId);
    ASSERT_NE(video, nullptr);
    RECT client{}, stack = Rect(video);
    GetClientRect(window, &client);
    EXPECT_EQ(stack.right - stack.left, client.right) << "the stacks take the full width";
    EXPECT_EQ(ChildTop(video) + (stack.bottom - stack.top), client.bottom);
    SendMessageW(audioTab, BM_CLICK, 0, 0);
    EXPECT_TRUE(IsWindowVisible(audio));
    EXPECT_FALSE(IsWindowVisible(video));
    EXPECT_EQ(IsDlgButtonChecked(window, IDC_TAB_AUDIO), BST_CHECKED);
    EXPECT_EQ(IsDlgButtonChecked(window, IDC_TAB_VIDEO), BST_UNCHECKED);
    Picture(window, "console_integrated_audio_tab");

    // The standalone console's events are left alone: the panels of this window notify in integrated mode.
    HANDLE own = OpenEventA(EVENT_ALL_ACCESS, FALSE, PanelEventName(ConsoleMode::Integrated, kViewPanelTitle).c_str());
    EXPECT_NE(own, nullptr);
    if (own) CloseHandle(own);

    std::vector<uint8_t> destroy(4, 0);
    EXPECT_EQ(luCVWEntryPoint(instance, CVW_CMD_DESTROY, destroy.data()), CVW_OK);
    EXPECT_FALSE(IsWindow(window));
    const auto closes = Records().Closes();
    ASSERT_GE(closes.size(), 2u);
    EXPECT_EQ(closes[0], kViewPanelTitle);
    EXPECT_EQ(closes[1], kFaceTrackingPanelTitle);
}

TEST_F(ConsoleWindowTest, TheCameraMenuDrawsItsItemsAndAChoiceSwitchesEveryPanelToThatCamera) {
    PlugAndWait();
    const std::string camera = CameraName();
    // Two cameras in the list, the first current, as the entry would hand them over.
    auto* state = static_cast<ConsoleState*>(calloc(1, sizeof(ConsoleState)));
    ASSERT_NE(state, nullptr);
    state->deviceCount = 2;
    std::strcpy(state->deviceNames[0], camera.c_str());
    std::strcpy(state->deviceNames[1], "Second Camera");
    state->currentDevice = state->deviceNames[0];
    // The watcher the window starts waits for these, as in a standalone run.
    HANDLE quit = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    state->quitEvent = quit;
    state->restoreEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    thread_ = std::thread([state] {
        console::ResourceLibrary resources;
        TheWindowPart().runModal(state, {state->deviceNames[0], state->deviceNames[1]});
    });
    ASSERT_TRUE(Eventually([&] {
        console_ = FindWindowA(nullptr, "Lumora Camera Console");
        return console_ != nullptr && Records().Window(kViewPanelTitle) != nullptr;
    }));
    HWND window = Console();

    // Items as wide as the button less 20 pixels; a chosen item framed in dark blue round a light inner area.
    const RECT button = Rect(GetDlgItem(window, IDC_CAMERA));
    MEASUREITEMSTRUCT measure{ODT_MENU, 0, kFirstMenuItem + 2, 0, 0, 0};
    SendMessageW(window, WM_MEASUREITEM, 0, reinterpret_cast<LPARAM>(&measure));
    EXPECT_EQ(static_cast<LONG>(measure.itemWidth), button.right - button.left - 20);
    HDC dc = CreateCompatibleDC(nullptr);
    HBITMAP bitmap = CreateCompatibleBitmap(dc, 200, 40);
    HGDIOBJ old = SelectObject(dc, bitmap);
    DRAWITEMSTRUCT selected{ODT_MENU, 0, kFirstMenuItem + 2, 0, ODS_SELECTED, nullptr, dc, {0, 0, 200, 20}, 0};
    SendMessageW(window, WM_DRAWITEM, 0, reinterpret_cast<LPARAM>(&selected));
    DRAWITEMSTRUCT plain{ODT_MENU, 0, kFirstMenuItem + 1, 0, 0, nullptr, dc, {0, 20, 200, 40}, 0};
    SendMessageW(window, WM_DRAWITEM, 0, reinterpret_cast<LPARAM>(&plain));
    EXPECT_EQ(GetPixel(dc, 0, 10), RGB(0x0A, 0x24, 0x6A)) << "the frame";
    EXPECT_EQ(GetPixel(dc, 2, 10), RGB(0xB6, 0xBD, 0xD2)) << "the inner area";
    EXPECT_EQ(GetPixel(dc, 0, 30), RGB(0xF9, 0xF8, 0xF7)) << "an item not chosen";
    EXPECT_EQ(GetPixel(dc, 2, 30), RGB(0xF9, 0xF8, 0xF7));
    SelectObject(dc, old);
    DeleteObject(bitmap);
    DeleteDC(dc);

    // Choosing the second item: its text on the button, every panel told, in the switching order.
    Records().ClearSetDevices();
    SendMessageW(window, WM_COMMAND, kFirstMenuItem + 2, 0);
    char text[300] = {};
    GetDlgItemTextA(window, IDC_CAMERA, text, sizeof text);
    EXPECT_STREQ(text, "   Second Camera");
    EXPECT_EQ(Records().SetDeviceOrder(),
              (std::vector<std::string>{kFaceTrackingPanelTitle, kAudioPanelTitle, kPanTiltPanelTitle,
                                        kAutoFocusPanelTitle, kViewPanelTitle}));
    EXPECT_EQ(Records().LastDevice(kAutoFocusPanelTitle), "Second Camera");
    CloseConsole();
    // The state names the list's own entry; the list itself is as it was.
    EXPECT_EQ(state->currentDevice, state->deviceNames[1]);
    EXPECT_EQ(std::string(state->deviceNames[0]), camera);
    HANDLE watcher = state->watcherThread;
    SetEvent(quit);  // the watcher closes its events and ends
    ASSERT_NE(watcher, nullptr);
    EXPECT_EQ(WaitForSingleObject(watcher, 5000), WAIT_OBJECT_0);
    CloseHandle(watcher);
    free(state);
}

}  // namespace
}  // namespace k0340cvw::testing
