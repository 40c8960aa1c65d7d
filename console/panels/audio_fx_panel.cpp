// The audio effects panel: a front end for the separately installed audio
// effects library. The library keeps each audio device's choice itself, so
// the panel only shows what an instance for the camera's microphone lists
// and reports, and applies what the user picks. The instance follows the
// camera: a camera whose microphone cannot be named leaves the panel
// without one, its controls disabled.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "console/panels/panels.h"
#include "console/resources/resource_ids.h"
#include "fileapi.h"
#include "ks.h"
#include "outside/K0340Afx/k0340afx.h"
#include "setupapi.h"
#include "sysinfoapi.h"
#include "winreg.h"

namespace k0340cvw {

namespace {
constexpr char kAfxLibrary[] = "K0340Afx.dll";
constexpr char kAfxEntry[] = "luAFXEntryPoint";
constexpr char kAfxKey[] = "SOFTWARE\\Lumora Tech\\Web Cameras\\Audio FX";
constexpr ULONG kMinimumVersion = 0x100;

// Reads a REG_SZ of an open key as ANSI; false when missing or not text.
bool ReadText(HKEY key, const char* name, std::string* text) {
    char buffer[520] = {};
    DWORD type = 0, bytes = sizeof buffer - 1;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &bytes) != ERROR_SUCCESS ||
        type != REG_SZ) {
        return false;
    }
    text->assign(buffer, strnlen(buffer, sizeof buffer));
    return true;
}

bool SameText(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

}  // namespace

bool FindAudioDeviceName(const std::string& description, std::string* name) {
    name->clear();
    if (description.empty()) return false;
    HDEVINFO set = SetupDiGetClassDevsW(&KSCATEGORY_CAPTURE, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return false;
    bool found = false;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD i = 0; !found && SetupDiEnumDeviceInfo(set, i, &device); ++i) {
        HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE || key == nullptr) continue;
        std::string friendly;
        if (ReadText(key, "FriendlyName", &friendly) && SameText(friendly, description)) {
            found = ReadText(key, "LuAudioName", name) && !name->empty();
        }
        RegCloseKey(key);
    }
    SetupDiDestroyDeviceInfoList(set);
    if (!found) name->clear();
    return found;
}

bool AudioEffectsInstalled() {
    HKEY key = nullptr;
    // The process's own view, as the library itself reads its key: the two
    // then agree whichever build the console is.
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kAfxKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    char folder[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryA(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return false;
    const std::string path = std::string(folder) + "\\" + kAfxLibrary;
    if (GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES) return false;
    HMODULE library = LoadLibraryA(path.c_str());
    if (library == nullptr) return false;
    bool installed = false;
    if (auto entry = reinterpret_cast<k0340afx::EntryPointFunction>(
            reinterpret_cast<void*>(GetProcAddress(library, kAfxEntry)))) {
        ULONG version = 0;
        installed = entry(nullptr, k0340afx::kGetVersion, &version) == 0 && version >= kMinimumVersion;
    }
    FreeLibrary(library);
    return installed;
}

namespace {

constexpr UINT_PTR kRereadTimer = 1;

class AudioFxPanel final : public WindowThreadPanel {
public:
    AudioFxPanel() : WindowThreadPanel(kAudioFxPanelTitle, IDD_AUDIO_FX_PANEL) {}
    ~AudioFxPanel() override { Unload(); }

protected:
    INT_PTR HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override {
        if (HandleRead(message)) return TRUE;
        switch (message) {
        case WM_INITDIALOG:
            for (int id : {IDC_AUDIO_FX_ENABLE, IDC_AUDIO_FX_LABEL, IDC_AUDIO_FX_LIST}) {
                EnableWindow(GetDlgItem(Window(), id), FALSE);
            }
            library_ = LoadLibraryA(kAfxLibrary);
            if (library_ != nullptr) {
                entry_ = reinterpret_cast<k0340afx::EntryPointFunction>(
                    reinterpret_cast<void*>(GetProcAddress(library_, kAfxEntry)));
            }
            SetTimer(Window(), kRereadTimer, kRereadMilliseconds, nullptr);
            return TRUE;
        case WM_TIMER:
            if (wParam != kRereadTimer) return FALSE;
            Refresh();
            return TRUE;
        case WM_COMMAND:
            return Command(LOWORD(wParam), HIWORD(wParam));
        case WM_DESTROY:
            KillTimer(Window(), kRereadTimer);
            Unload();
            return FALSE;
        default:
            return Panel::HandleMessage(message, wParam, lParam);
        }
    }

    void ReadNow() override {
        const std::string device = Device();
        if (!opened_ || device != openedFor_) Reopen(device);
        Read();
    }

private:
    LONG Call(ULONG command, void* block) const { return entry_ ? entry_(instance_, command, block) : -1; }

    void Close() {
        if (instance_ != nullptr) Call(k0340afx::kCloseInstance, nullptr);
        instance_ = nullptr;
    }

    void Unload() {
        Close();
        if (library_ != nullptr) FreeLibrary(library_);
        library_ = nullptr;
        entry_ = nullptr;
    }

    // The camera changed (or the panel's first read): an instance for its microphone.
    void Reopen(const std::string& device) {
        opened_ = true;
        openedFor_ = device;
        std::string name;
        if (!FindAudioDeviceName(device, &name)) {
            audioName_.clear();
            return;  // the old instance stays unused; its controls go disabled below
        }
        Close();
        audioName_ = name;
        k0340afx::OpenBlock block{};
        std::strncpy(block.deviceName, name.c_str(), sizeof block.deviceName - 1);
        if (Call(k0340afx::kOpenInstance, &block) == 0) instance_ = block.instance;
    }

    bool Usable() const { return entry_ != nullptr && instance_ != nullptr && !audioName_.empty(); }

    void Disable() {
        CheckDlgButton(Window(), IDC_AUDIO_FX_ENABLE, BST_UNCHECKED);
        for (int id : {IDC_AUDIO_FX_ENABLE, IDC_AUDIO_FX_LABEL, IDC_AUDIO_FX_LIST}) {
            EnableWindow(GetDlgItem(Window(), id), FALSE);
        }
    }

    void ShowList(const std::vector<k0340afx::EffectRecord>& records) {
        const auto same = records.size() == shown_.size() &&
                          std::equal(records.begin(), records.end(), shown_.begin(), [](const auto& a, const auto& b) {
                              return std::memcmp(&a, &b, sizeof a) == 0;
                          });
        if (same) return;
        shown_ = records;
        HWND list = GetDlgItem(Window(), IDC_AUDIO_FX_LIST);
        SendMessageW(list, CB_RESETCONTENT, 0, 0);
        for (const auto& record : records) {
            char text[sizeof record.displayName + 1] = {};
            std::memcpy(text, record.displayName, sizeof record.displayName);
            // Items travel as UTF-16: widen the library's ANSI names here.
            std::u16string wide;
            for (const char* c = text; *c; ++c) wide += static_cast<char16_t>(static_cast<unsigned char>(*c));
            SendMessageW(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(wide.c_str()));
        }
    }

    void Read() {
        if (!Usable()) {
            Disable();
            shown_.clear();
            SendDlgItemMessageW(Window(), IDC_AUDIO_FX_LIST, CB_RESETCONTENT, 0, 0);
            return;
        }
        k0340afx::EffectList list{};
        std::vector<k0340afx::EffectRecord> records;
        LONG result = Call(k0340afx::kListEffects, &list);
        if (result == ERROR_MORE_DATA || (result == 0 && list.count > 0)) {
            records.resize(list.count);
            list.records = records.data();
            result = Call(k0340afx::kListEffects, &list);
            records.resize(result == 0 ? list.count : 0);
        }
        if (result != 0) {
            k0340afx::EffectState off{0, 0};
            Call(k0340afx::kApply, &off);
            Disable();
            shown_.clear();
            SendDlgItemMessageW(Window(), IDC_AUDIO_FX_LIST, CB_RESETCONTENT, 0, 0);
            return;
        }
        ShowList(records);
        k0340afx::EffectState state{};
        const bool known = Call(k0340afx::kGetState, &state) == 0;
        const bool enabled = known && state.enabled != 0;
        CheckDlgButton(Window(), IDC_AUDIO_FX_ENABLE, enabled ? BST_CHECKED : BST_UNCHECKED);
        if (enabled && state.selected < records.size()) {
            SendDlgItemMessageW(Window(), IDC_AUDIO_FX_LIST, CB_SETCURSEL, state.selected, 0);
        }
        EnableWindow(GetDlgItem(Window(), IDC_AUDIO_FX_ENABLE), !records.empty());
        EnableWindow(GetDlgItem(Window(), IDC_AUDIO_FX_LABEL), enabled);
        EnableWindow(GetDlgItem(Window(), IDC_AUDIO_FX_LIST), enabled);
    }

    void Apply() {
        const bool enabled = IsDlgButtonChecked(Window(), IDC_AUDIO_FX_ENABLE) == BST_CHECKED;
        const auto selected = SendDlgItemMessageW(Window(), IDC_AUDIO_FX_LIST, CB_GETCURSEL, 0, 0);
        k0340afx::EffectState state{enabled ? 1u : 0u, selected >= 0 ? static_cast<ULONG>(selected) : 0u};
        Call(k0340afx::kApply, &state);
        NotifyChange();
    }

    INT_PTR Command(int id, int code) {
        if (!Usable()) return FALSE;
        HWND hwnd = Window();
        if (id == IDC_AUDIO_FX_ENABLE && code == BN_CLICKED) {
            const bool enabled = IsDlgButtonChecked(hwnd, id) == BST_CHECKED;
            EnableWindow(GetDlgItem(hwnd, IDC_AUDIO_FX_LABEL), enabled);
            EnableWindow(GetDlgItem(hwnd, IDC_AUDIO_FX_LIST), enabled);
            if (SendDlgItemMessageW(hwnd, IDC_AUDIO_FX_LIST, CB_GETCURSEL, 0, 0) < 0) {
                SendDlgItemMessageW(hwnd, IDC_AUDIO_FX_LIST, CB_SETCURSEL, 0, 0);
            }
            Apply();
            return TRUE;
        }
        if (id == IDC_AUDIO_FX_LIST && code == CBN_SELCHANGE) {
            Apply();
            return TRUE;
        }
        return FALSE;
    }

    HMODULE library_ = nullptr;
    k0340afx::EntryPointFunction entry_ = nullptr;
    HANDLE instance_ = nullptr;
    bool opened_ = false;
    std::string openedFor_;  // the camera the instance was looked up for
    std::string audioName_;  // its microphone's name; empty: none found
    std::vector<k0340afx::EffectRecord> shown_;
};

}  // namespace

std::unique_ptr<Panel> MakeAudioFxPanel() { return std::make_unique<AudioFxPanel>(); }

}  // namespace k0340cvw
