// The audio effects panel with the installed audio effects library (the
// module file, loaded by name) and the camera's microphone plugged: when
// the library counts as installed, how the camera's microphone is named,
// and the panel showing and applying the choice the library keeps, also
// when another program changed it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>

#include "audiofilter/k0340aud_entry.h"
#include "console/panels/panels.h"
#include "console/resources/resource_ids.h"
#include "console/skin/resource_library.h"
#include "console/tests/console_fixture.h"
#include "outside/K0340Afx/afx_entry.h"
#include "outside/K0340Afx/k0340afx.h"
#include "platform/audio/usb_audio.h"
#include "platform/nt/io_manager.h"
#include "platform/nt/kernel.h"
#include "platform/nt/pnp.h"
#include "platform/ui/presentation.h"
#include "platform/win32/code_modules.h"
#include "winreg.h"

namespace k0340cvw {
namespace {

constexpr char kCamera[] = "QK0340 Camera";
constexpr char kMicrophone[] = "QK0340 Microphone";

void Pump() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

// A library that answers the version request with 0x0FF.
LONG OldEntry(HANDLE, ULONG command, void* block) {
    if (command != k0340afx::kGetVersion || block == nullptr) return ERROR_INVALID_FUNCTION;
    *static_cast<ULONG*>(block) = 0x0FF;
    return 0;
}
FARPROC OldLookup(const char* name) {
    return std::strcmp(name, "luAFXEntryPoint") == 0 ? reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&OldEntry))
                                                      : nullptr;
}

// A second client of the library: another console or a recording.
class OtherClient {
public:
    OtherClient() {
        library_ = LoadLibraryA("K0340Afx.dll");
        if (library_ == nullptr) return;
        entry_ = reinterpret_cast<k0340afx::EntryPointFunction>(
            reinterpret_cast<void*>(GetProcAddress(library_, "luAFXEntryPoint")));
        k0340afx::OpenBlock block{};
        std::strncpy(block.deviceName, kMicrophone, sizeof block.deviceName - 1);
        if (entry_ && entry_(nullptr, k0340afx::kOpenInstance, &block) == 0) instance_ = block.instance;
    }
    ~OtherClient() {
        if (instance_ != nullptr) entry_(instance_, k0340afx::kCloseInstance, nullptr);
        if (library_ != nullptr) FreeLibrary(library_);
    }
    bool Ready() const { return instance_ != nullptr; }
    k0340afx::EffectState State() const {
        k0340afx::EffectState state{99, 99};
        EXPECT_EQ(entry_(instance_, k0340afx::kGetState, &state), 0);
        return state;
    }
    void Apply(ULONG enabled, ULONG selected) const {
        k0340afx::EffectState state{enabled, selected};
        EXPECT_EQ(entry_(instance_, k0340afx::kApply, &state), 0);
    }

private:
    HMODULE library_ = nullptr;
    k0340afx::EntryPointFunction entry_ = nullptr;
    HANDLE instance_ = nullptr;
};

class AudioFxPanelTest : public testing::PanelHostTest {
protected:
    void SetUp() override {
        ConsoleTest::SetUp();
        ASSERT_EQ(qk::audio::RegisterFunctionDriver(), STATUS_SUCCESS);
        qk::nt::io::RegisterStaticDriver(u"K0340Aud.sys", K0340AudDriverEntry);
        // The library beside the package, as its own installation leaves it (its key is the package's).
        std::filesystem::copy_file(QK_AFX_MODULE, root_ / "Windows/System32/K0340Afx.dll",
                                   std::filesystem::copy_options::overwrite_existing);
        // This test program exports no platform for a module file to bind to: the
        // library's code is linked in and found under its file name, as a tool does.
        qk::win32::RegisterStaticModule(u"K0340Afx.dll", k0340afx::LookupExport);
        OpenHost(200);
    }
    void TearDown() override {
        PanelHostTest::TearDown();
        qk::win32::RegisterStaticModule(u"K0340Afx.dll", nullptr);
    }
    void PlugWithMicrophone() {
        PlugAndWait();
        qk::nt::pnp::WaitIdle();
    }
    void MakePanel(const std::string& device) {
        panel_ = MakeAudioFxPanel();
        ASSERT_TRUE(panel_->Create(parent_, resources_->Module(), ConsoleMode::Standalone));
        ShowWindow(panel_->Window(), SW_SHOW);
        panel_->SetDevice(device);
        Pump();
    }
    HWND Item(int id) const { return GetDlgItem(panel_->Window(), id); }
    bool Ticked() const { return IsDlgButtonChecked(panel_->Window(), IDC_AUDIO_FX_ENABLE) == BST_CHECKED; }
    LRESULT Selection() const { return SendMessageW(Item(IDC_AUDIO_FX_LIST), CB_GETCURSEL, 0, 0); }
    void Choose(int index) {
        SendMessageW(Item(IDC_AUDIO_FX_LIST), CB_SETCURSEL, index, 0);
        SendMessageW(panel_->Window(), WM_COMMAND, MAKEWPARAM(IDC_AUDIO_FX_LIST, CBN_SELCHANGE),
                     reinterpret_cast<LPARAM>(Item(IDC_AUDIO_FX_LIST)));
    }

};

TEST_F(AudioFxPanelTest, TheLibraryCountsAsInstalledOnlyWithItsKeyItsFileAndVersionOneOrLater) {
    EXPECT_TRUE(AudioEffectsInstalled());
    EXPECT_EQ(ThePanelMakers().audioFxInstalled, &AudioEffectsInstalled);

    // A library answering version 0x0FF is too old.
    qk::win32::RegisterStaticModule(u"K0340Afx.dll", OldLookup);
    EXPECT_FALSE(AudioEffectsInstalled());
    qk::win32::RegisterStaticModule(u"K0340Afx.dll", k0340afx::LookupExport);
    EXPECT_TRUE(AudioEffectsInstalled());

    // Without the key, or without the file, it is not there.
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Lumora Tech\\Web Cameras", 0,
                            KEY_ALL_ACCESS, &key),
              ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteTreeA(key, "Audio FX"), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_FALSE(AudioEffectsInstalled());
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Lumora Tech\\Web Cameras\\Audio FX", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_TRUE(AudioEffectsInstalled());
    std::filesystem::remove(root_ / "Windows/System32/K0340Afx.dll");
    EXPECT_FALSE(AudioEffectsInstalled());
}

TEST_F(AudioFxPanelTest, TheCamerasMicrophoneIsFoundByTheCamerasDescription) {
    PlugWithMicrophone();
    std::string name;
    EXPECT_TRUE(FindAudioDeviceName(kCamera, &name));
    EXPECT_EQ(name, kMicrophone);
    EXPECT_TRUE(FindAudioDeviceName("qk0340 CAMERA", &name)) << "letter case aside";
    EXPECT_EQ(name, kMicrophone);
    EXPECT_FALSE(FindAudioDeviceName("Another Camera", &name));
    EXPECT_EQ(name, "");
    EXPECT_FALSE(FindAudioDeviceName("", &name));
}

TEST_F(AudioFxPanelTest, ThePanelShowsAndAppliesTheLibrarysChoiceForTheCamerasMicrophone) {
    PlugWithMicrophone();
    OtherClient other;
    ASSERT_TRUE(other.Ready());
    other.Apply(0, 0);
    // The clock stands still from before the panel starts its timer: only Advance moves it.
    auto& kernel = qk::nt::Kernel::Get();
    kernel.TheClock().SetManual();
    MakePanel(kCamera);

    HWND list = Item(IDC_AUDIO_FX_LIST);
    ASSERT_EQ(SendMessageW(list, CB_GETCOUNT, 0, 0), 4);
    char16_t text[64] = {};
    SendMessageW(list, CB_GETLBTEXT, 1, reinterpret_cast<LPARAM>(text));
    EXPECT_EQ(std::u16string(text), u"Telephone Line");
    EXPECT_TRUE(IsWindowEnabled(Item(IDC_AUDIO_FX_ENABLE)));
    EXPECT_FALSE(Ticked());
    EXPECT_FALSE(IsWindowEnabled(list));
    EXPECT_FALSE(IsWindowEnabled(Item(IDC_AUDIO_FX_LABEL)));

    // Ticked with nothing chosen: the first effect, applied.
    SendMessageW(list, CB_SETCURSEL, static_cast<WPARAM>(-1), 0);
    SendMessageW(Item(IDC_AUDIO_FX_ENABLE), BM_CLICK, 0, 0);
    EXPECT_TRUE(IsWindowEnabled(list));
    EXPECT_EQ(Selection(), 0);
    auto state = other.State();
    EXPECT_EQ(state.enabled, 1u);
    EXPECT_EQ(state.selected, 0u);

    Choose(2);
    state = other.State();
    EXPECT_EQ(state.enabled, 1u);
    EXPECT_EQ(state.selected, 2u);
    if (const char* folder = std::getenv("QK_TEST_ARTEFACTS")) {
        std::string error;
        EXPECT_TRUE(qk::ui::SaveWindowPng(panel_->Window(), std::string(folder) + "/audio_fx_panel.png", &error))
            << error;
    }

    SendMessageW(Item(IDC_AUDIO_FX_ENABLE), BM_CLICK, 0, 0);
    EXPECT_EQ(other.State().enabled, 0u);
    EXPECT_FALSE(IsWindowEnabled(list));

    // Another program picks an effect: the panel shows it on its next timer tick.
    other.Apply(1, 3);
    Pump();
    EXPECT_FALSE(Ticked());
    kernel.Advance(1500 * qk::nt::kMillisecond);
    Pump();
    EXPECT_TRUE(Ticked());
    EXPECT_EQ(Selection(), 3);
    EXPECT_TRUE(IsWindowEnabled(list));
}

TEST_F(AudioFxPanelTest, ACameraWithoutAMatchingMicrophoneLeavesTheControlsDisabled) {
    PlugWithMicrophone();
    MakePanel("Another Camera");
    for (int id : {IDC_AUDIO_FX_ENABLE, IDC_AUDIO_FX_LABEL, IDC_AUDIO_FX_LIST}) {
        EXPECT_FALSE(IsWindowEnabled(Item(id))) << id;
    }
    EXPECT_EQ(SendMessageW(Item(IDC_AUDIO_FX_LIST), CB_GETCOUNT, 0, 0), 0);
    // The camera named: an instance for its microphone, the controls back.
    panel_->SetDevice(kCamera);
    EXPECT_TRUE(IsWindowEnabled(Item(IDC_AUDIO_FX_ENABLE)));
    EXPECT_EQ(SendMessageW(Item(IDC_AUDIO_FX_LIST), CB_GETCOUNT, 0, 0), 4);
    // And away again.
    panel_->SetDevice("Another Camera");
    EXPECT_FALSE(IsWindowEnabled(Item(IDC_AUDIO_FX_ENABLE)));
    SendMessageW(Item(IDC_AUDIO_FX_ENABLE), BM_CLICK, 0, 0);
    OtherClient other;
    ASSERT_TRUE(other.Ready());
    EXPECT_EQ(other.State().enabled, 0u) << "a panel without an instance applies nothing";
}

}  // namespace
}  // namespace k0340cvw
