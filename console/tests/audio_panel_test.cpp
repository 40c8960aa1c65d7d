// The microphone panel and the console's audio filter client, with the
// installed package's filter attached to the simulated camera's microphone
// (and, for EchoQuell, a partner headset beside it): the mode table read
// and written through the control device, the box that shows only the modes
// it can, the broadcast after a change and the re-read on the 1500 ms timer.
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>

#include "audiofilter/k0340aud.h"
#include "audiofilter/k0340aud_entry.h"
#include "common/usb_ids.h"
#include "commctrl.h"
#include "console/panels/panels.h"
#include "console/resources/resource_ids.h"
#include "console/skin/resource_library.h"
#include "console/tests/console_fixture.h"
#include "platform/audio/usb_audio.h"
#include "platform/nt/io_manager.h"
#include "platform/nt/kernel.h"
#include "platform/nt/pnp.h"
#include "platform/ui/presentation.h"
#include "platform/usb/usb_bus.h"
#include "sim/microphone/sound_source.h"
#include "sim/microphone/usb_microphone.h"

namespace k0340cvw {
namespace {

constexpr char kCamera[] = "QK0340 Camera";

void Pump() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

struct Features {
    bool noiseGuard, bfa, bfa3, echoQuell;
};
Features Read() {
    AudioFilterClient client;
    EXPECT_TRUE(client.Open());
    Features f{};
    bool available = false;
    EXPECT_TRUE(client.GetFeature(k0340aud::FEATURE_NOISEGUARD, &available, &f.noiseGuard));
    EXPECT_TRUE(client.GetFeature(k0340aud::FEATURE_BFA, &available, &f.bfa));
    EXPECT_TRUE(client.GetFeature(k0340aud::FEATURE_BFA3, &available, &f.bfa3));
    EXPECT_TRUE(client.GetFeature(k0340aud::FEATURE_ECHOQUELL, &available, &f.echoQuell));
    return f;
}

class AudioPanelTest : public testing::PanelHostTest {
protected:
    void SetUp() override {
        ConsoleTest::SetUp();
        ASSERT_EQ(qk::audio::RegisterFunctionDriver(), STATUS_SUCCESS);
        qk::nt::io::RegisterStaticDriver(u"K0340Aud.sys", K0340AudDriverEntry);
        OpenHost(200);
    }
    // The camera with its microphone; true once the filter answers for it.
    bool PlugWithMicrophone() {
        PlugAndWait();
        qk::nt::pnp::WaitIdle();
        return Eventually([] { return GetAudioFilterMode() != kNoAudioFilter; });
    }
    void MakePanel(const std::string& device) {
        panel_ = MakeAudioPanel();
        ASSERT_TRUE(panel_->Create(parent_, resources_->Module(), ConsoleMode::Standalone));
        ShowWindow(panel_->Window(), SW_SHOW);
        panel_->SetDevice(device);
        Pump();
    }
    HWND Box() const { return GetDlgItem(panel_->Window(), IDC_NOISE_GUARD); }
    bool Ticked() const { return IsDlgButtonChecked(panel_->Window(), IDC_NOISE_GUARD) == BST_CHECKED; }

};

TEST_F(AudioPanelTest, TheBoxSwitchesNoiseGuardAloneAndTellsTheOtherApplications) {
    ASSERT_TRUE(PlugWithMicrophone());
    ASSERT_TRUE(AudioFilterPresent());
    ASSERT_TRUE(SetAudioFilterMode(0));
    EXPECT_EQ(GetAudioFilterMode(), 0);
    MakePanel(kCamera);
    ASSERT_TRUE(IsWindowEnabled(Box()));
    EXPECT_FALSE(Ticked());
    // The box explains itself in a tip.
    HWND tips = FindWindowW(TOOLTIPS_CLASSW, nullptr);
    ASSERT_NE(tips, nullptr);
    char16_t tip[128] = {};
    TOOLINFOW tool{sizeof tool, TTF_IDISHWND, panel_->Window(), reinterpret_cast<UINT_PTR>(Box()), {}, nullptr,
                   reinterpret_cast<LPWSTR>(tip), 0, nullptr};
    SendMessageW(tips, TTM_GETTEXTW, 128, reinterpret_cast<LPARAM>(&tool));
    EXPECT_EQ(std::u16string(tip), u"Reduce the noise the microphone picks up");

    const UINT broadcast = RegisterWindowMessageA(kAudioFiltersMessage);
    SendMessageW(Box(), BM_CLICK, 0, 0);
    EXPECT_EQ(GetAudioFilterMode(), 1);
    Features f = Read();
    EXPECT_TRUE(f.noiseGuard);
    EXPECT_FALSE(f.bfa || f.bfa3 || f.echoQuell);
    MSG msg;
    EXPECT_TRUE(PeekMessageW(&msg, parent_, broadcast, broadcast, PM_REMOVE)) << "AE_FILTERS reached the application";
    EXPECT_TRUE(Ticked());
    EXPECT_TRUE(IsWindowEnabled(Box()));

    SendMessageW(Box(), BM_CLICK, 0, 0);
    EXPECT_EQ(GetAudioFilterMode(), 0);
    f = Read();
    EXPECT_FALSE(f.noiseGuard || f.bfa || f.bfa3 || f.echoQuell);
    if (const char* folder = std::getenv("QK_TEST_ARTEFACTS")) {
        SendMessageW(Box(), BM_CLICK, 0, 0);
        std::string error;
        EXPECT_TRUE(qk::ui::SaveWindowPng(panel_->Window(), std::string(folder) + "/audio_panel.png", &error)) << error;
    }
}

TEST_F(AudioPanelTest, ModesTheBoxCannotShowLeaveItDisabledAndUntouched) {
    ASSERT_TRUE(PlugWithMicrophone());
    ASSERT_TRUE(SetAudioFilterMode(5));
    EXPECT_EQ(GetAudioFilterMode(), 5);
    MakePanel(kCamera);
    EXPECT_TRUE(IsWindowEnabled(Box()));
    EXPECT_TRUE(Ticked()) << "NoiseGuard with BFA3 shows as on";

    ASSERT_TRUE(SetAudioFilterMode(3));
    ASSERT_EQ(GetAudioFilterMode(), 3);
    const Features three = Read();
    EXPECT_TRUE(three.noiseGuard && three.bfa);
    panel_->Refresh();
    EXPECT_FALSE(IsWindowEnabled(Box()));
    EXPECT_TRUE(Ticked()) << "left as it was";
    // A click that reaches the disabled box anyway changes neither the filter nor the box.
    SendMessageW(Box(), BM_CLICK, 0, 0);
    EXPECT_EQ(GetAudioFilterMode(), 3);
    EXPECT_TRUE(Ticked());

    ASSERT_TRUE(SetAudioFilterMode(4));
    ASSERT_EQ(GetAudioFilterMode(), 4);
    panel_->Refresh();
    EXPECT_FALSE(IsWindowEnabled(Box()));

    // Without a current camera the box rests even with the filter there.
    panel_->SetDevice("");
    ASSERT_TRUE(SetAudioFilterMode(0));
    panel_->Refresh();
    EXPECT_FALSE(IsWindowEnabled(Box()));
}

TEST_F(AudioPanelTest, ThePanelRereadsOnItsTimerWhileVisible) {
    ASSERT_TRUE(PlugWithMicrophone());
    ASSERT_TRUE(SetAudioFilterMode(0));
    // The clock stands still from before the panel starts its timer: only Advance moves it.
    auto& kernel = qk::nt::Kernel::Get();
    kernel.TheClock().SetManual();
    MakePanel(kCamera);
    ASSERT_FALSE(Ticked());

    ASSERT_TRUE(SetAudioFilterMode(1));  // another program switched it
    kernel.Advance(1499 * qk::nt::kMillisecond);
    Pump();
    EXPECT_FALSE(Ticked());
    kernel.Advance(1 * qk::nt::kMillisecond);
    Pump();
    EXPECT_TRUE(Ticked());

    // Hidden: the timer reads nothing.
    ShowWindow(panel_->Window(), SW_HIDE);
    ASSERT_TRUE(SetAudioFilterMode(0));
    kernel.Advance(3000 * qk::nt::kMillisecond);
    Pump();
    EXPECT_TRUE(Ticked());
    // Shown again: read at once.
    ShowWindow(panel_->Window(), SW_SHOW);
    Pump();
    EXPECT_FALSE(Ticked());
}

TEST_F(AudioPanelTest, EchoQuellOnAHeadsetIsSwitchedOffByNoiseGuard) {
    ASSERT_TRUE(PlugWithMicrophone());
    // A partner headset whose filter offers EchoQuell, beside the camera.
    qk::sim::UsbMicrophoneConfig config{
        .vendorId = qk::ids::kPartnerVendorE, .productId = 1, .product = u"USB Headset", .speaker = true};
    const int port = qk::usb::Plug(
        std::make_shared<qk::sim::UsbMicrophone>(config, std::make_shared<qk::sim::TwoMicrophoneScene>()),
        qk::usb::Wait::ForPnp);
    ASSERT_GE(port, 0);
    ASSERT_TRUE(SetAudioFilterMode(6));
    ASSERT_EQ(GetAudioFilterMode(), 6);
    EXPECT_TRUE(Read().echoQuell);
    MakePanel(kCamera);
    EXPECT_FALSE(IsWindowEnabled(Box())) << "mode 6 is not the box's to show";

    ASSERT_TRUE(SetAudioFilterMode(1));
    const Features f = Read();
    EXPECT_TRUE(f.noiseGuard);
    EXPECT_FALSE(f.bfa || f.bfa3 || f.echoQuell);
    panel_->Refresh();
    EXPECT_TRUE(IsWindowEnabled(Box()));
    EXPECT_TRUE(Ticked());
    panel_.reset();
    qk::usb::Unplug(port);
    qk::nt::pnp::WaitIdle();
}

TEST_F(AudioPanelTest, WithoutTheFilterTheBoxIsDisabledAndTheModeIsNone) {
    qk::sim::CameraConfig config;
    config.microphone = false;
    PlugCamera(config);
    ASSERT_FALSE(FilterLink().empty());
    qk::nt::pnp::WaitIdle();
    EXPECT_FALSE(AudioFilterPresent());
    EXPECT_EQ(GetAudioFilterMode(), kNoAudioFilter);
    EXPECT_FALSE(SetAudioFilterMode(1));
    MakePanel(kCamera);
    EXPECT_FALSE(IsWindowEnabled(Box()));
    SendMessageW(Box(), BM_CLICK, 0, 0);  // a disabled box takes no click; nothing breaks either way
    EXPECT_EQ(GetAudioFilterMode(), kNoAudioFilter);
}

}  // namespace
}  // namespace k0340cvw
