// The microphone panel: one box that switches the audio filter's noise
// suppression through the filter's control device. The console sees the
// filter's four features as one mode number; the box stands only for the
// modes it can show truthfully (0 off, 1 and 5 on), and any other mode
// leaves it disabled rather than pretending. The device is opened and
// closed around each operation, so an unplugged microphone costs nothing.
#include "audiofilter/k0340aud.h"
#include "commctrl.h"
#include "console/panels/panels.h"
#include "console/resources/resource_ids.h"

namespace k0340cvw {

AudioFilterClient::AudioFilterClient()
    : handle_(CreateFileW(reinterpret_cast<LPCWSTR>(k0340aud::kControlUserPath), GENERIC_READ | GENERIC_WRITE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr)) {}

AudioFilterClient::~AudioFilterClient() {
    if (Open()) CloseHandle(handle_);
}

bool AudioFilterClient::GetFeature(uint32_t feature, bool* available, bool* enabled) const {
    if (!Open()) return false;
    k0340aud::FeatureRequest request{};
    request.feature = feature;
    DWORD returned = 0;
    if (!DeviceIoControl(handle_, k0340aud::IOCTL_AUDFLT_GET_FEATURE, &request, sizeof request, &request, sizeof request,
                         &returned, nullptr) ||
        returned == 0) {
        return false;
    }
    *available = request.available != 0;
    *enabled = request.enabled != 0;
    return true;
}

bool AudioFilterClient::SetFeature(uint32_t feature, bool on) const {
    if (!Open()) return false;
    // A fresh zeroed block for every request: the filter reuses the block
    // it was given for the features it switches off in turn.
    k0340aud::FeatureRequest request{};
    request.feature = feature;
    request.enabled = on ? 1 : 0;
    DWORD returned = 0;
    return DeviceIoControl(handle_, k0340aud::IOCTL_AUDFLT_SET_FEATURE, &request, sizeof request, nullptr, 0, &returned,
                           nullptr) != FALSE;
}

bool AudioFilterPresent() { return AudioFilterClient().Open(); }

int GetAudioFilterMode() {
    AudioFilterClient client;
    bool available = false, noiseGuard = false;
    if (!client.GetFeature(k0340aud::FEATURE_NOISEGUARD, &available, &noiseGuard) || !available) return kNoAudioFilter;
    bool unused = false, on = false;
    if (client.GetFeature(k0340aud::FEATURE_BFA, &unused, &on) && on) return noiseGuard ? 3 : 2;
    if (client.GetFeature(k0340aud::FEATURE_BFA3, &unused, &on) && on) return noiseGuard ? 5 : 4;
    if (client.GetFeature(k0340aud::FEATURE_ECHOQUELL, &unused, &on) && on) return 6;
    return noiseGuard ? 1 : 0;
}

bool SetAudioFilterMode(int mode) {
    struct Switches {
        bool noiseGuard, bfa, bfa3, echoQuell;
    };
    static constexpr Switches kModes[] = {
        {false, false, false, false}, {true, false, false, false}, {false, true, false, false},
        {true, true, false, false},   {false, false, true, false}, {true, false, true, false},
        {false, false, false, true},
    };
    const Switches s = mode >= 0 && mode < static_cast<int>(std::size(kModes)) ? kModes[mode] : Switches{};
    AudioFilterClient client;
    if (!client.Open()) return false;
    bool ok = client.SetFeature(k0340aud::FEATURE_NOISEGUARD, s.noiseGuard);
    ok &= client.SetFeature(k0340aud::FEATURE_BFA, s.bfa);
    ok &= client.SetFeature(k0340aud::FEATURE_BFA3, s.bfa3);
    ok &= client.SetFeature(k0340aud::FEATURE_ECHOQUELL, s.echoQuell);
    return ok;
}

namespace {

constexpr UINT_PTR kRereadTimer = 1;
constexpr UINT kTooltipString = 57715;

class AudioPanel final : public WindowThreadPanel {
public:
    AudioPanel() : WindowThreadPanel(kAudioPanelTitle, IDD_AUDIO_PANEL) {}

protected:
    INT_PTR HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override {
        if (HandleRead(message)) return TRUE;
        if (message == broadcast_ && broadcast_ != 0) {
            Refresh();
            return TRUE;
        }
        switch (message) {
        case WM_INITDIALOG:
            broadcast_ = RegisterWindowMessageA(kAudioFiltersMessage);
            AddTooltip();
            EnableWindow(GetDlgItem(Window(), IDC_NOISE_GUARD), FALSE);
            SetTimer(Window(), kRereadTimer, kRereadMilliseconds, nullptr);
            return TRUE;
        case WM_TIMER:
            if (wParam != kRereadTimer) return FALSE;
            Refresh();
            return TRUE;
        case WM_COMMAND:
            if (LOWORD(wParam) != IDC_NOISE_GUARD || HIWORD(wParam) != BN_CLICKED) return FALSE;
            Toggle();
            return TRUE;
        case WM_DESTROY:
            KillTimer(Window(), kRereadTimer);
            if (tooltip_ != nullptr) DestroyWindow(tooltip_);
            tooltip_ = nullptr;
            return FALSE;
        default:
            return Panel::HandleMessage(message, wParam, lParam);
        }
    }

    static bool Shows(int mode) { return mode == 0 || mode == 1 || mode == 5; }

    void ReadNow() override {
        mode_ = Device().empty() ? kNoAudioFilter : GetAudioFilterMode();
        // Other modes keep whatever the box showed: it cannot tell them.
        if (Shows(mode_)) CheckDlgButton(Window(), IDC_NOISE_GUARD, mode_ == 0 ? BST_UNCHECKED : BST_CHECKED);
        EnableWindow(GetDlgItem(Window(), IDC_NOISE_GUARD), Shows(mode_));
    }

private:
    void AddTooltip() {
        auto* resources = reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(Window(), GWLP_HINSTANCE));
        WCHAR text[256] = {};
        if (LoadStringW(resources, kTooltipString, text, 256) <= 0) return;
        tooltip_ = CreateWindowExW(0, TOOLTIPS_CLASSW, u"", WS_POPUP, 0, 0, 0, 0, Window(), nullptr, nullptr, nullptr);
        if (tooltip_ == nullptr) return;
        TOOLINFOW tool{sizeof tool, TTF_IDISHWND | TTF_SUBCLASS, Window(),
                       reinterpret_cast<UINT_PTR>(GetDlgItem(Window(), IDC_NOISE_GUARD)), {}, nullptr, text, 0, nullptr};
        SendMessageW(tooltip_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
    }

    void Toggle() {
        const bool on = IsDlgButtonChecked(Window(), IDC_NOISE_GUARD) == BST_CHECKED;
        if (!Shows(mode_)) {
            // A click the disabled box should not have taken: undo it, touch nothing.
            CheckDlgButton(Window(), IDC_NOISE_GUARD, on ? BST_UNCHECKED : BST_CHECKED);
            return;
        }
        SetAudioFilterMode(on ? 1 : 0);
        NotifyChange();
        DWORD recipients = BSM_APPLICATIONS;
        BroadcastSystemMessageW(BSF_POSTMESSAGE, &recipients, broadcast_, 0, 0);
        ReadNow();
    }

    int mode_ = kNoAudioFilter;  // as last read
    UINT broadcast_ = 0;
    HWND tooltip_ = nullptr;
};

}  // namespace

std::unique_ptr<Panel> MakeAudioPanel() { return std::make_unique<AudioPanel>(); }

}  // namespace k0340cvw
