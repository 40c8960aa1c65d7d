// The video effects panel with the installed effects engine (its COM
// server and service starter linked in and registered, its thumbnails in
// the engine's folder): the service started when it does not run, the
// categories and effects listed, each camera's choice kept and restored,
// the engine told, and the engine's messages when something is missing.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <tuple>
#include <mutex>
#include <optional>
#include <thread>

#include <zip.h>

#include "commctrl.h"
#include "commdlg.h"
#include "console/panels/panels.h"
#include "console/panels/thumbnails.h"
#include "console/resources/resource_ids.h"
#include "console/skin/resource_library.h"
#include "console/tests/console_fixture.h"
#include "objbase.h"
#include "outside/KfxEngine/engine.h"
#include "outside/KfxEngine/kfx_engine.h"
#include "platform/ui/presentation.h"
#include "winreg.h"

namespace k0340cvw {
namespace {

constexpr char kCamera[] = "QK0340 Camera";
constexpr char16_t kCameraWide[] = u"QK0340 Camera";
constexpr char kMessageCaption[] = "Lumora Camera Console";

void Pump() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

std::string ReadUserText(const std::string& path, const char* name) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return "<no key>";
    char value[256] = {};
    DWORD type = 0, bytes = sizeof value - 1;
    const LSTATUS status = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &bytes);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) return "<none>";
    if (type == REG_DWORD) return std::to_string(*reinterpret_cast<DWORD*>(value));
    return value;
}

// Answers the first message box of the console's caption with OK; tells
// whether one came and what it said (read on the watcher's thread, kept
// under a lock).
class MessageBoxWatcher {
public:
    MessageBoxWatcher()
        : thread_([this] {
              for (int i = 0; i < 1000; ++i) {
                  // A box is whole once it shows: it is made before its controls.
                  if (HWND box = FindWindowA(nullptr, kMessageCaption); box != nullptr && IsWindowVisible(box)) {
                      std::string said;
                      for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
                          char text[512] = {};
                          GetWindowTextA(child, text, sizeof text);
                          said += text;
                          said += '|';
                      }
                      {
                          std::lock_guard guard(lock_);
                          text_ = said;
                      }
                      seen_ = true;
                      PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
                      return;
                  }
                  std::this_thread::sleep_for(std::chrono::milliseconds(10));
              }
          }) {}
    bool Seen() {
        if (thread_.joinable()) thread_.join();
        return seen_;
    }
    // Whether the box showed `text` (as one of its controls' texts).
    bool Said(const std::string& text) {
        Seen();
        std::lock_guard guard(lock_);
        return text_.find(text + "|") != std::string::npos;
    }
    ~MessageBoxWatcher() { Seen(); }

private:
    std::atomic<bool> seen_{false};
    std::mutex lock_;
    std::string text_;
    std::thread thread_;
};

class VideoFxPanelTest : public testing::PanelHostTest {
protected:
    void SetUp() override {
        ConsoleTest::SetUp();
        kfx::RegisterBuiltin();
        ASSERT_EQ(kfx::RegisterServer(), S_OK);
        const auto folder = root_ / "Program Files/Lumora Tech/KFXE";
        std::filesystem::create_directories(folder);
        std::ofstream(folder / "StartKFX.exe") << "program";
        std::filesystem::copy(QK_KFX_THUMBNAILS, folder / "Thumbnails",
                              std::filesystem::copy_options::recursive | std::filesystem::copy_options::overwrite_existing);
        OpenHost(300);
    }
    void MakePanel(const std::string& device) {
        panel_ = MakeVideoFxPanel("C:\\Program Files\\Lumora Tech\\KFXE\\BlinklyEx.dll");
        ASSERT_TRUE(panel_->Create(parent_, resources_->Module(), ConsoleMode::Standalone));
        ShowWindow(panel_->Window(), SW_SHOW);
        panel_->SetDevice(device);
        Pump();
    }
    HWND Item(int id) const { return GetDlgItem(panel_->Window(), id); }
    void ChooseEffect(int index) {
        LVITEMW item{};
        item.stateMask = LVIS_SELECTED;
        item.state = LVIS_SELECTED;
        SendMessageW(Item(IDC_VIDEO_FX_EFFECTS), LVM_SETITEMSTATE, index, reinterpret_cast<LPARAM>(&item));
        NMHDR header{Item(IDC_VIDEO_FX_EFFECTS), IDC_VIDEO_FX_EFFECTS, LVN_ITEMCHANGED};
        SendMessageW(panel_->Window(), WM_NOTIFY, IDC_VIDEO_FX_EFFECTS, reinterpret_cast<LPARAM>(&header));
    }
    std::u16string EffectText(int index) const {
        char16_t text[64] = {};
        LVITEMW item{};
        item.pszText = reinterpret_cast<LPWSTR>(text);
        item.cchTextMax = 64;
        SendMessageW(Item(IDC_VIDEO_FX_EFFECTS), LVM_GETITEMTEXTW, index, reinterpret_cast<LPARAM>(&item));
        return text;
    }
    // What the engine keeps for the camera, asked through a client of its own.
    std::tuple<BOOL, std::u16string, std::u16string> EngineChoice() {
        IKfxEngine* engine = nullptr;
        EXPECT_EQ(CoCreateInstance(CLSID_KfxEngine, nullptr, CLSCTX_INPROC_SERVER, IID_IKfxEngine,
                                   reinterpret_cast<void**>(&engine)),
                  S_OK);
        BOOL enabled = FALSE;
        BSTR category = nullptr, effect = nullptr;
        std::tuple<BOOL, std::u16string, std::u16string> result;
        if (engine != nullptr && SUCCEEDED(engine->GetCameraEffect(kCameraWide, &enabled, &category, &effect))) {
            result = {enabled, category ? category : u"", effect ? effect : u""};
        }
        SysFreeString(category);
        SysFreeString(effect);
        if (engine != nullptr) engine->Release();
        return result;
    }
    static std::string CameraKey() { return std::string(kConsoleKeyPath) + "\\" + kCamera; }

};

// An effect file as a user gets one: a zip archive with its description.
void WriteEffectFile(const std::filesystem::path& path, const std::string& description) {
    int error = 0;
    zip_t* z = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    ASSERT_NE(z, nullptr) << error;
    zip_source_t* s = zip_source_buffer(z, description.data(), description.size(), 0);
    ASSERT_GE(zip_file_add(z, "effect.ini", s, ZIP_FL_OVERWRITE), 0);
    ASSERT_EQ(zip_close(z), 0);
}

// Chooses `file` in the file-open dialog once it shows (typed into its name
// box, then Open), from a thread of its own while the panel's thread runs
// the dialog.
class FileChooser {
public:
    explicit FileChooser(std::string file)
        : thread_([this, file = std::move(file)] {
              for (int i = 0; i < 1000; ++i) {
                  HWND dialog = FindWindowA(nullptr, "Open");
                  if (dialog != nullptr && IsWindowVisible(dialog) && GetDlgItem(dialog, edt1) != nullptr) {
                      SetDlgItemTextA(dialog, edt1, file.c_str());
                      PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
                      chosen_ = true;
                      return;
                  }
                  std::this_thread::sleep_for(std::chrono::milliseconds(10));
              }
          }) {}
    bool Chosen() {
        if (thread_.joinable()) thread_.join();
        return chosen_;
    }
    ~FileChooser() { Chosen(); }

private:
    std::atomic<bool> chosen_{false};
    std::thread thread_;
};

TEST(VideoFxLanguage, OnlyTheKnownLanguagesArePassedOn) {
    for (const char* known : {"1028", "1031", "1034", "1036", "1040", "1041", "1043", "1046", "2052"}) {
        std::u16string expected;
        for (const char* c = known; *c; ++c) expected += static_cast<char16_t>(*c);
        EXPECT_EQ(EngineLanguageText(known), expected);
    }
    EXPECT_EQ(EngineLanguageText("1049"), u"");
    EXPECT_EQ(EngineLanguageText("1033"), u"");
    EXPECT_EQ(EngineLanguageText("English"), u"");
    EXPECT_EQ(EngineLanguageText(""), u"");
    EXPECT_EQ(EngineLanguageText(nullptr), u"");
}

TEST_F(VideoFxPanelTest, ThumbnailsAreReadFromTheEnginesFolder) {
    std::vector<uint32_t> pixels;
    EXPECT_TRUE(LoadEffectThumbnail(u"C:\\Program Files\\Lumora Tech\\KFXE\\Thumbnails\\Colour\\Sepia.png", &pixels));
    EXPECT_EQ(pixels.size(), 48u * 48u);
    EXPECT_TRUE(LoadEffectThumbnail(u"C:\\Program Files\\Lumora Tech\\KFXE\\Thumbnails\\Fun\\Mosaic.tga", &pixels));
    EXPECT_FALSE(LoadEffectThumbnail(u"C:\\Program Files\\Lumora Tech\\KFXE\\Thumbnails\\Fun\\Missing.png", &pixels));
    EXPECT_FALSE(LoadEffectThumbnail(u"C:\\Program Files\\Lumora Tech\\KFXE\\StartKFX.exe", &pixels));
}

TEST_F(VideoFxPanelTest, TheServiceIsStartedAndEachCamerasChoiceIsKeptAndApplied) {
    PlugAndWait();
    MakePanel(kCamera);
    HWND categories = Item(IDC_VIDEO_FX_CATEGORY);
    ASSERT_EQ(SendMessageW(categories, CB_GETCOUNT, 0, 0), 3) << "the engine's service was started";
    EXPECT_EQ(SendMessageW(categories, CB_GETCURSEL, 0, 0), 0);
    EXPECT_EQ(ReadUserText(CameraKey(), "State"), "0") << "made when missing";
    EXPECT_EQ(ReadUserText(CameraKey(), "Category"), "Colour") << "the first category, written";
    ASSERT_EQ(SendMessageW(Item(IDC_VIDEO_FX_EFFECTS), LVM_GETITEMCOUNT, 0, 0), 3);
    EXPECT_EQ(EffectText(1), u"Negative");
    EXPECT_TRUE(IsWindowEnabled(Item(IDC_VIDEO_FX_ENABLE)));
    EXPECT_TRUE(IsWindowEnabled(Item(IDC_VIDEO_FX_IMPORT)));

    // An effect chosen while effects are off is remembered, not applied.
    ChooseEffect(1);
    EXPECT_EQ(ReadUserText(CameraKey() + "\\Colour", "Effect"), "Negative");
    EXPECT_FALSE(std::get<0>(EngineChoice()));

    SendMessageW(Item(IDC_VIDEO_FX_ENABLE), BM_CLICK, 0, 0);
    EXPECT_EQ(ReadUserText(CameraKey(), "State"), "1");
    auto [enabled, category, effect] = EngineChoice();
    EXPECT_TRUE(enabled);
    EXPECT_EQ(category, u"Colour");
    EXPECT_EQ(effect, u"Negative");

    // Another category: written, its effects shown; choosing one applies it.
    SendMessageW(categories, CB_SETCURSEL, 2, 0);
    SendMessageW(panel_->Window(), WM_COMMAND, MAKEWPARAM(IDC_VIDEO_FX_CATEGORY, CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(categories));
    EXPECT_EQ(ReadUserText(CameraKey(), "Category"), "Fun");
    ASSERT_EQ(SendMessageW(Item(IDC_VIDEO_FX_EFFECTS), LVM_GETITEMCOUNT, 0, 0), 4);
    ChooseEffect(2);
    std::tie(enabled, category, effect) = EngineChoice();
    EXPECT_EQ(category, u"Fun");
    EXPECT_EQ(effect, u"Thermal");
    if (const char* folder = std::getenv("QK_TEST_ARTEFACTS")) {
        std::string error;
        EXPECT_TRUE(qk::ui::SaveWindowPng(panel_->Window(), std::string(folder) + "/video_fx_panel.png", &error))
            << error;
    }

    // Another camera starts from its own record; the first one's comes back.
    panel_->SetDevice("Another Camera");
    EXPECT_EQ(IsDlgButtonChecked(panel_->Window(), IDC_VIDEO_FX_ENABLE), static_cast<UINT>(BST_UNCHECKED));
    EXPECT_EQ(SendMessageW(categories, CB_GETCURSEL, 0, 0), 0);
    panel_->SetDevice(kCamera);
    EXPECT_EQ(IsDlgButtonChecked(panel_->Window(), IDC_VIDEO_FX_ENABLE), static_cast<UINT>(BST_CHECKED));
    EXPECT_EQ(SendMessageW(categories, CB_GETCURSEL, 0, 0), 2);
    EXPECT_EQ(SendMessageW(Item(IDC_VIDEO_FX_EFFECTS), LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED), 2);

    // Cleared: the record and the engine say off.
    SendMessageW(Item(IDC_VIDEO_FX_ENABLE), BM_CLICK, 0, 0);
    EXPECT_EQ(ReadUserText(CameraKey(), "State"), "0");
    EXPECT_FALSE(std::get<0>(EngineChoice()));
}

TEST_F(VideoFxPanelTest, EachEffectShowsItsThumbnailAboveItsName) {
    PlugAndWait();
    MakePanel(kCamera);
    HWND categories = Item(IDC_VIDEO_FX_CATEGORY);
    HWND view = Item(IDC_VIDEO_FX_EFFECTS);
    ASSERT_EQ(SendMessageW(categories, CB_GETCOUNT, 0, 0), 3);
    SendMessageW(categories, CB_SETCURSEL, 2, 0);
    SendMessageW(panel_->Window(), WM_COMMAND, MAKEWPARAM(IDC_VIDEO_FX_CATEGORY, CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(categories));
    ASSERT_EQ(SendMessageW(view, LVM_GETITEMCOUNT, 0, 0), 4);
    // Mosaic, Mirror and Thermal have pictures; Sketch's file is none.
    auto* list = reinterpret_cast<HIMAGELIST>(SendMessageW(view, LVM_GETIMAGELIST, LVSIL_NORMAL, 0));
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(ImageList_GetImageCount(list), 3);

    // The first two cells, 64 pixels wide, hold their 48-pixel thumbnails
    // 8 pixels in and 4 down, inside the view's border.
    RECT window, client;
    GetWindowRect(view, &window);
    GetClientRect(view, &client);
    ASSERT_GE(client.right, 128);
    const int border = (window.right - window.left - client.right) / 2;
    const qk::ui::Picture p = qk::ui::CaptureWindow(view);
    const char16_t* files[] = {u"C:\\Program Files\\Lumora Tech\\KFXE\\Thumbnails\\Fun\\Mosaic.tga",
                               u"C:\\Program Files\\Lumora Tech\\KFXE\\Thumbnails\\Fun\\Mirror.ppm"};
    for (int i = 0; i < 2; ++i) {
        std::vector<uint32_t> thumbnail;
        ASSERT_TRUE(LoadEffectThumbnail(files[i], &thumbnail));
        int differing = 0;
        for (int y = 0; y < kThumbnailSide; ++y) {
            for (int x = 0; x < kThumbnailSide; ++x) {
                const uint32_t shown = p.At(border + i * 64 + 8 + x, border + 4 + y);
                differing += shown != (thumbnail[static_cast<size_t>(y * kThumbnailSide + x)] & 0xFFFFFF);
            }
        }
        EXPECT_EQ(differing, 0) << "effect " << i;
    }
    if (const char* folder = std::getenv("QK_TEST_ARTEFACTS")) {
        std::string error;
        EXPECT_TRUE(qk::ui::SaveWindowPng(panel_->Window(), std::string(folder) + "/video_fx_thumbnails.png", &error))
            << error;
    }

    // Another category gets a list of its own; the view never shows the old one.
    SendMessageW(categories, CB_SETCURSEL, 1, 0);
    SendMessageW(panel_->Window(), WM_COMMAND, MAKEWPARAM(IDC_VIDEO_FX_CATEGORY, CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(categories));
    auto* frames = reinterpret_cast<HIMAGELIST>(SendMessageW(view, LVM_GETIMAGELIST, LVSIL_NORMAL, 0));
    ASSERT_NE(frames, nullptr);
    EXPECT_EQ(ImageList_GetImageCount(frames), 2) << "Oval and Film";
}

TEST_F(VideoFxPanelTest, AMissingEditorAndAPageWithoutABrowserAreReported) {
    PlugAndWait();
    MakePanel(kCamera);
    {
        MessageBoxWatcher watcher;
        SendMessageW(Item(IDC_VIDEO_FX_EDIT), BM_CLICK, 0, 0);
        EXPECT_TRUE(watcher.Said("The effect editor is not installed."));
    }
    {
        MessageBoxWatcher watcher;
        SendMessageW(Item(IDC_VIDEO_FX_WEB), BM_CLICK, 0, 0);
        EXPECT_TRUE(watcher.Said("The web page could not be opened.")) << "the machine has no browser";
    }
}

TEST_F(VideoFxPanelTest, AnEffectFileChosenInTheFileDialogIsImportedAndEachOutcomeIsReported) {
    PlugAndWait();
    MakePanel(kCamera);
    std::filesystem::create_directories(root_ / "Effects");
    WriteEffectFile(root_ / "Effects/warm.vfz", "[Effect]\r\nCategory=Imported\r\nName=Warm\r\nKind=sepia\r\nVersion=1\r\n");
    WriteEffectFile(root_ / "Effects/later.vfz", "[Effect]\r\nCategory=Imported\r\nName=Later\r\nKind=sepia\r\nVersion=9\r\n");
    std::ofstream(root_ / "Effects/torn.vfz") << "PK not a whole archive";
    HWND categories = Item(IDC_VIDEO_FX_CATEGORY);
    ASSERT_EQ(SendMessageW(categories, CB_GETCOUNT, 0, 0), 3);

    const auto import = [&](const std::string& file, const std::string& said) {
        SCOPED_TRACE(file);
        MessageBoxWatcher watcher;
        FileChooser chooser(file);
        SendMessageW(Item(IDC_VIDEO_FX_IMPORT), BM_CLICK, 0, 0);
        EXPECT_TRUE(chooser.Chosen()) << "the file-open dialog showed";
        EXPECT_TRUE(watcher.Said(said));
    };
    // Without an extension the dialog adds ".vfz"; the new category is listed at once.
    import("C:\\Effects\\warm", "The effect was imported.");
    EXPECT_EQ(SendMessageW(categories, CB_GETCOUNT, 0, 0), 4);
    import("C:\\Effects\\warm.vfz", "The effect is already installed.");
    import("C:\\Effects\\torn.vfz", "The effect file is damaged.");
    import("C:\\Effects\\later.vfz", "The effect does not fit this version of the video effects engine.");
    EXPECT_EQ(SendMessageW(categories, CB_GETCOUNT, 0, 0), 4);
}

TEST_F(VideoFxPanelTest, WithoutAnInstalledLanguageThePanelSaysSoAndStaysEmpty) {
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Lumora Tech\\Software Installed", 0, KEY_ALL_ACCESS, &key),
              ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteTreeA(key, "KFXE Engine"), ERROR_SUCCESS);
    RegCloseKey(key);
    PlugAndWait();
    MessageBoxWatcher watcher;
    MakePanel(kCamera);
    EXPECT_TRUE(watcher.Said("The video effects engine is not installed for any language."));
    EXPECT_EQ(SendMessageW(Item(IDC_VIDEO_FX_CATEGORY), CB_GETCOUNT, 0, 0), 0);
    EXPECT_FALSE(IsWindowEnabled(Item(IDC_VIDEO_FX_ENABLE)));
}

TEST_F(VideoFxPanelTest, AnEngineThatCannotBeMadeIsReported) {
    ASSERT_EQ(kfx::UnregisterServer(), S_OK);
    PlugAndWait();
    MessageBoxWatcher watcher;
    MakePanel(kCamera);
    EXPECT_TRUE(watcher.Said("The video effects engine could not be started."));
    EXPECT_EQ(SendMessageW(Item(IDC_VIDEO_FX_CATEGORY), CB_GETCOUNT, 0, 0), 0);
    EXPECT_FALSE(IsWindowEnabled(Item(IDC_VIDEO_FX_ENABLE)));
}

}  // namespace
}  // namespace k0340cvw
