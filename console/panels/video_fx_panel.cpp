// The video effects panel: a front end for the separately installed video
// effects engine. The engine keeps each camera's effect; the console keeps
// what the panel showed per camera (box, category, effect) under its own
// key, and restores it when the camera is chosen. The engine is reached
// through COM on the window's thread, which the panel's dialog lives on.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "commctrl.h"
#include "commdlg.h"
#include "console/panels/panels.h"
#include "console/panels/thumbnails.h"
#include "console/resources/resource_ids.h"
#include "objbase.h"
#include "outside/KfxEngine/kfx_engine.h"
#include "shellapi.h"
#include "synchapi.h"
#include "wingdi.h"
#include "winreg.h"

namespace k0340cvw {

namespace {

constexpr char kAppPaths[] = "Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\";
constexpr char kLanguagesKey[] = "Software\\Lumora Tech\\Software Installed\\KFXE Engine";
constexpr char kWebPage[] = "https://effects.lumora-tech.example/kfxe";
constexpr int kKnownLanguages[] = {1028, 1031, 1034, 1036, 1040, 1041, 1043, 1046, 2052};
constexpr int kStartPolls = 30;
constexpr DWORD kStartPollMilliseconds = 100;

enum Message : UINT {
    kEngineFailed = 57675,
    kCaption = 57673,
    kNoLanguage = 57677,
    kApplyFailed = 57683,
    kNewerEngine = 57684,
    kWebFailed = 57686,
    kEffectFiles = 57687,
    kImported = 57688,
    kImportUnreadable = 57689,
    kImportExists = 57690,
    kImportDamaged = 57691,
    kImportCopy = 57692,
    kImportNewerEngine = 57693,
    kNoEditor = 57747,
};

// What an import came to, as the user is told it.
Message ImportOutcome(HRESULT hr) {
    switch (hr) {
    case S_OK: return kImported;
    case KFX_E_EXISTS: return kImportExists;
    case KFX_E_DAMAGED: return kImportDamaged;
    case KFX_E_COPY: return kImportCopy;
    case KFX_E_NEWER_ENGINE: return kImportNewerEngine;
    default: return kImportUnreadable;  // missing, unreadable, or refused for any other reason
    }
}

std::u16string Widen(const std::string& text) {
    std::u16string wide;
    for (unsigned char c : text) wide += static_cast<char16_t>(c);
    return wide;
}
std::string Narrow(const char16_t* text) {
    std::string narrow;
    for (; text && *text; ++text) narrow += *text < 0x100 ? static_cast<char>(*text) : '?';
    return narrow;
}

// The engine's lists come in task memory, each string a BSTR.
void FreeStrings(BSTR* strings, ULONG count) {
    if (strings == nullptr) return;
    for (ULONG i = 0; i < count; ++i) SysFreeString(strings[i]);
    CoTaskMemFree(strings);
}

// The default value of an App Paths entry, or empty.
std::string AppPath(const char* program) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, (std::string(kAppPaths) + program).c_str(), 0, KEY_READ, &key) !=
        ERROR_SUCCESS) {
        return {};
    }
    char value[MAX_PATH + 1] = {};
    DWORD type = 0, bytes = MAX_PATH;
    const bool ok = RegQueryValueExA(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(value), &bytes) ==
                        ERROR_SUCCESS &&
                    type == REG_SZ;
    RegCloseKey(key);
    return ok ? std::string(value) : std::string();
}

}  // namespace

std::u16string EngineLanguageText(const char* subkeyName) {
    if (subkeyName == nullptr) return {};
    char* end = nullptr;
    const long number = std::strtol(subkeyName, &end, 10);
    for (int known : kKnownLanguages) {
        if (number == known && end != subkeyName) return Widen(std::to_string(known));
    }
    return {};
}

bool LoadEffectThumbnail(const std::u16string& path, std::vector<uint32_t>* pixels) {
    const int format = ThumbnailFormat(Narrow(path.c_str()));
    if (format == 0) return false;
    HANDLE file = CreateFileW(reinterpret_cast<LPCWSTR>(path.c_str()), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    // Thumbnails are small; a file past this is no thumbnail of the engine's.
    constexpr DWORD kLargest = 16u << 20;
    std::vector<uint8_t> bytes;
    uint8_t chunk[65536];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0 && bytes.size() <= kLargest) {
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
    CloseHandle(file);
    if (bytes.empty() || bytes.size() > kLargest) return false;
    return DecodeThumbnail(format, bytes.data(), bytes.size(), kThumbnailSide, pixels);
}

namespace {

// The console's per-camera record of the panel.
class CameraRecord {
public:
    explicit CameraRecord(const std::string& camera) {
        std::string name = camera;
        for (char& c : name) c = c == '\\' ? '#' : c;
        path_ = std::string(kConsoleKeyPath) + "\\" + name;
    }
    DWORD State() const {
        HKEY key = Open();
        DWORD value = 0, type = 0, bytes = sizeof value;
        const bool found = key != nullptr && RegQueryValueExA(key, "State", nullptr, &type,
                                                              reinterpret_cast<BYTE*>(&value), &bytes) ==
                                                 ERROR_SUCCESS &&
                           type == REG_DWORD;
        if (key != nullptr) RegCloseKey(key);
        if (!found) SetState(0);
        return found ? value : 0;
    }
    void SetState(DWORD value) const { Write(path_, "State", REG_DWORD, &value, sizeof value); }
    std::string Category() const { return Read(path_, "Category"); }
    void SetCategory(const std::string& category) const {
        Write(path_, "Category", REG_SZ, category.c_str(), static_cast<DWORD>(category.size() + 1));
    }
    std::string Effect(const std::string& category) const { return Read(path_ + "\\" + category, "Effect"); }
    void SetEffect(const std::string& category, const std::string& effect) const {
        Write(path_ + "\\" + category, "Effect", REG_SZ, effect.c_str(), static_cast<DWORD>(effect.size() + 1));
    }

private:
    HKEY Open() const {
        HKEY key = nullptr;
        return RegOpenKeyExA(HKEY_CURRENT_USER, path_.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS ? key : nullptr;
    }
    static std::string Read(const std::string& path, const char* name) {
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return {};
        char value[256] = {};
        DWORD type = 0, bytes = sizeof value - 1;
        const bool ok = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &bytes) ==
                            ERROR_SUCCESS &&
                        type == REG_SZ;
        RegCloseKey(key);
        return ok ? std::string(value) : std::string();
    }
    static void Write(const std::string& path, const char* name, DWORD type, const void* data, DWORD bytes) {
        HKEY key = nullptr;
        if (RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) !=
            ERROR_SUCCESS) {
            return;
        }
        RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), bytes);
        RegCloseKey(key);
    }

    std::string path_;
};

class VideoFxPanel final : public WindowThreadPanel {
public:
    explicit VideoFxPanel(std::string enginePath)
        : WindowThreadPanel(kVideoFxPanelTitle, IDD_VIDEO_FX_PANEL), enginePath_(std::move(enginePath)) {}
    ~VideoFxPanel() override { Release(); }

protected:
    INT_PTR HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override {
        if (HandleRead(message)) return TRUE;
        if (message == changed_ && changed_ != 0) {
            Refresh();
            return TRUE;
        }
        switch (message) {
        case WM_INITDIALOG:
            changed_ = RegisterWindowMessageW(reinterpret_cast<LPCWSTR>(kfx::kChangedMessage));
            Start();
            return TRUE;
        case WM_COMMAND:
            return Command(LOWORD(wParam), HIWORD(wParam));
        case WM_NOTIFY: {
            const auto* header = reinterpret_cast<const NMHDR*>(lParam);
            if (header == nullptr || header->idFrom != IDC_VIDEO_FX_EFFECTS || header->code != LVN_ITEMCHANGED) {
                return FALSE;
            }
            EffectChosen();
            return TRUE;
        }
        case WM_DESTROY:
            Release();
            return FALSE;
        default:
            return Panel::HandleMessage(message, wParam, lParam);
        }
    }

    void ReadNow() override {
        camera_ = Device();
        Restore();
    }

private:
    void Say(UINT text) const {
        auto* resources = reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(Window(), GWLP_HINSTANCE));
        char message[512] = {}, caption[256] = {};
        LoadStringA(resources, text, message, sizeof message);
        LoadStringA(resources, kCaption, caption, sizeof caption);
        MessageBoxA(Window(), message, caption, MB_OK | MB_ICONEXCLAMATION);
    }

    void EnableAll(bool enable) {
        for (int id : {IDC_VIDEO_FX_ENABLE, IDC_VIDEO_FX_CATEGORY, IDC_VIDEO_FX_EFFECTS, IDC_VIDEO_FX_EDIT,
                       IDC_VIDEO_FX_IMPORT}) {
            EnableWindow(GetDlgItem(Window(), id), enable);
        }
    }

    // Steps 1-3: the engine made, opened in the installed language, its
    // service running, this window registered, the categories listed.
    void Start() {
        EnableAll(false);
        comStarted_ = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
        if (FAILED(CoCreateInstance(CLSID_KfxEngine, nullptr, CLSCTX_ALL, IID_IKfxEngine,
                                    reinterpret_cast<void**>(&engine_))) ||
            FAILED(engine_->QueryInterface(IID_IKfxEngineWindows, reinterpret_cast<void**>(&windows_)))) {
            Say(kEngineFailed);
            return;
        }
        HKEY languages = nullptr;
        char first[64] = {};
        DWORD length = sizeof first;
        const bool found =
            RegOpenKeyExA(HKEY_LOCAL_MACHINE, kLanguagesKey, 0, KEY_READ, &languages) == ERROR_SUCCESS &&
            RegEnumKeyExA(languages, 0, first, &length, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
        if (languages != nullptr) RegCloseKey(languages);
        if (!found) {
            Say(kNoLanguage);
            return;
        }
        if (FAILED(engine_->Open(reinterpret_cast<LPCOLESTR>(EngineLanguageText(first).c_str())))) return;
        if (!ReadCategories()) return;
        if (!Running()) {
            const std::string engine = AppPath("BlinklyEx.dll");
            const auto slash = engine.find_last_of('\\');
            if (slash == std::string::npos) return;
            const std::string starter = engine.substr(0, slash) + "\\StartKFX.exe";
            ShellExecuteA(nullptr, "open", starter.c_str(), nullptr, nullptr, SW_HIDE);
            bool started = false;
            for (int i = 0; i < kStartPolls && !started; ++i) {
                Sleep(kStartPollMilliseconds);
                started = Running();
            }
            if (!started) return;
        }
        windows_->RegisterWindow(Window());
        registered_ = true;
        ShowCategories();
        ready_ = true;
        EnableAll(true);
    }

    bool ReadCategories() {
        ULONG count = 0;
        BSTR* names = nullptr;
        if (FAILED(engine_->GetCategories(&count, &names))) return false;
        categories_.clear();
        for (ULONG i = 0; i < count; ++i) categories_.push_back(Narrow(reinterpret_cast<const char16_t*>(names[i])));
        FreeStrings(names, count);
        return true;
    }

    void ShowCategories() {
        HWND list = GetDlgItem(Window(), IDC_VIDEO_FX_CATEGORY);
        SendMessageW(list, CB_RESETCONTENT, 0, 0);
        for (const auto& c : categories_) {
            SendMessageW(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Widen(c).c_str()));
        }
    }

    // Step 7: an effect file chosen by the user, handed to the engine; an
    // imported effect may bring a category of its own.
    void Import() {
        auto* resources = reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(Window(), GWLP_HINSTANCE));
        char label[256] = {};
        LoadStringA(resources, kEffectFiles, label, sizeof label);
        std::string filter = std::string(label) + " (*.vfz)";
        filter.push_back('\0');
        filter += "*.vfz";
        filter.push_back('\0');
        filter.push_back('\0');
        char file[MAX_PATH] = {};
        OPENFILENAMEA ofn{};
        ofn.lStructSize = sizeof ofn;
        ofn.hwndOwner = Window();
        ofn.lpstrFilter = filter.c_str();
        ofn.lpstrFile = file;
        ofn.nMaxFile = sizeof file;
        ofn.lpstrDefExt = "vfz";
        ofn.Flags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY;
        if (!GetOpenFileNameA(&ofn)) return;
        BSTR category = nullptr, name = nullptr;
        const HRESULT hr = engine_->ImportEffect(reinterpret_cast<LPCOLESTR>(Widen(file).c_str()), &category, &name);
        SysFreeString(category);
        SysFreeString(name);
        if (SUCCEEDED(hr) && ReadCategories()) {
            ShowCategories();
            Restore();
        }
        Say(ImportOutcome(hr));
    }

    bool Running() const {
        BOOL running = FALSE;
        return engine_ != nullptr && SUCCEEDED(engine_->IsRunning(&running)) && running;
    }

    void Release() {
        ClearThumbnails();
        if (windows_ != nullptr) {
            if (registered_ && Window() != nullptr) windows_->UnregisterWindow(Window());
            windows_->Release();
        }
        windows_ = nullptr;
        registered_ = false;
        if (engine_ != nullptr) engine_->Release();
        engine_ = nullptr;
        if (comStarted_) CoUninitialize();
        comStarted_ = false;
        ready_ = false;
    }

    // Takes the image list back from the view (while there is one) and destroys it.
    void ClearThumbnails() {
        if (thumbnails_ == nullptr) return;
        if (Window() != nullptr) {
            SendDlgItemMessageW(Window(), IDC_VIDEO_FX_EFFECTS, LVM_SETIMAGELIST, LVSIL_NORMAL, 0);
        }
        ImageList_Destroy(thumbnails_);
        thumbnails_ = nullptr;
    }

    // A 48 × 48 bitmap of a thumbnail's pixels, for the image list to copy.
    static HBITMAP MakeBitmap(const std::vector<uint32_t>& pixels) {
        BITMAPINFO info{};
        info.bmiHeader.biSize = sizeof info.bmiHeader;
        info.bmiHeader.biWidth = kThumbnailSide;
        info.bmiHeader.biHeight = -kThumbnailSide;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        info.bmiHeader.biCompression = BI_RGB;
        void* bits = nullptr;
        HBITMAP bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
        if (bitmap != nullptr && bits != nullptr) std::memcpy(bits, pixels.data(), pixels.size() * sizeof pixels[0]);
        return bitmap;
    }

    // The thumbnail's place in the image list, or I_IMAGENONE.
    int AddThumbnail(const std::vector<uint32_t>& pixels) {
        HBITMAP bitmap = MakeBitmap(pixels);
        if (bitmap == nullptr) return I_IMAGENONE;
        const int index = ImageList_Add(thumbnails_, bitmap, nullptr);
        DeleteObject(bitmap);
        return index >= 0 ? index : I_IMAGENONE;
    }

    void ShowEffects(const std::string& category) {
        HWND view = GetDlgItem(Window(), IDC_VIDEO_FX_EFFECTS);
        SendMessageW(view, LVM_DELETEALLITEMS, 0, 0);
        effects_.clear();
        ClearThumbnails();
        shownCategory_ = category;
        thumbnails_ = ImageList_Create(kThumbnailSide, kThumbnailSide, ILC_COLOR32, 4, 4);
        SendMessageW(view, LVM_SETIMAGELIST, LVSIL_NORMAL, reinterpret_cast<LPARAM>(thumbnails_));
        ULONG count = 0;
        BSTR* names = nullptr;
        BSTR* files = nullptr;
        if (engine_ == nullptr ||
            FAILED(engine_->GetEffects(reinterpret_cast<LPCOLESTR>(Widen(category).c_str()), &count, &names, &files))) {
            return;
        }
        for (ULONG i = 0; i < count; ++i) {
            effects_.push_back(Narrow(reinterpret_cast<const char16_t*>(names[i])));
            std::vector<uint32_t> pixels;
            const bool loaded = files[i] != nullptr &&
                                LoadEffectThumbnail(reinterpret_cast<const char16_t*>(files[i]), &pixels);
            std::u16string text = Widen(effects_.back());
            LVITEMW item{};
            item.mask = LVIF_TEXT | LVIF_IMAGE;
            item.iImage = loaded ? AddThumbnail(pixels) : I_IMAGENONE;
            item.iItem = static_cast<int>(i);
            item.pszText = reinterpret_cast<LPWSTR>(text.data());
            SendMessageW(view, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
        }
        FreeStrings(names, count);
        FreeStrings(files, count);
    }

    void Select(int index) {
        LVITEMW item{};
        item.stateMask = LVIS_SELECTED;
        item.state = index >= 0 ? LVIS_SELECTED : 0;
        SendDlgItemMessageW(Window(), IDC_VIDEO_FX_EFFECTS, LVM_SETITEMSTATE, static_cast<WPARAM>(index),
                            reinterpret_cast<LPARAM>(&item));
    }

    // Step 4: what the panel showed for this camera.
    void Restore() {
        if (!ready_) return;
        const bool camera = !camera_.empty();
        EnableAll(camera);
        if (!camera) return;
        const CameraRecord record(camera_);
        CheckDlgButton(Window(), IDC_VIDEO_FX_ENABLE, record.State() == 1 ? BST_CHECKED : BST_UNCHECKED);
        std::string category = record.Category();
        int index = -1;
        for (size_t i = 0; i < categories_.size(); ++i) {
            if (categories_[i] == category) index = static_cast<int>(i);
        }
        if (index < 0 && !categories_.empty()) {
            index = 0;
            category = categories_[0];
            record.SetCategory(category);
        }
        SendDlgItemMessageW(Window(), IDC_VIDEO_FX_CATEGORY, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
        if (category != shownCategory_ || effects_.empty()) ShowEffects(category);
        const std::string effect = record.Effect(category);
        int chosen = -1;
        for (size_t i = 0; i < effects_.size(); ++i) {
            if (effects_[i] == effect) chosen = static_cast<int>(i);
        }
        Select(chosen);
    }

    std::string ChosenEffect() const {
        const auto i = SendDlgItemMessageW(Window(), IDC_VIDEO_FX_EFFECTS, LVM_GETNEXTITEM, static_cast<WPARAM>(-1),
                                           LVNI_SELECTED);
        return i >= 0 && static_cast<size_t>(i) < effects_.size() ? effects_[static_cast<size_t>(i)] : std::string();
    }

    void Apply() {
        if (engine_ == nullptr || camera_.empty()) return;
        const std::string effect = ChosenEffect();
        if (effect.empty()) return;
        const HRESULT hr = engine_->ApplyEffect(reinterpret_cast<LPCOLESTR>(Widen(camera_).c_str()),
                                                reinterpret_cast<LPCOLESTR>(Widen(shownCategory_).c_str()),
                                                reinterpret_cast<LPCOLESTR>(Widen(effect).c_str()));
        if (hr == E_FAIL) Say(kApplyFailed);
        if (hr == KFX_E_NEWER_ENGINE) Say(kNewerEngine);
        NotifyChange();
    }

    bool EffectsOn() const { return IsDlgButtonChecked(Window(), IDC_VIDEO_FX_ENABLE) == BST_CHECKED; }

    void EffectChosen() {
        if (!ready_ || camera_.empty()) return;
        const std::string effect = ChosenEffect();
        if (effect.empty()) return;
        CameraRecord(camera_).SetEffect(shownCategory_, effect);
        if (EffectsOn()) Apply();
    }

    INT_PTR Command(int id, int code) {
        switch (id) {
        case IDC_VIDEO_FX_ENABLE: {
            if (code != BN_CLICKED || !ready_ || camera_.empty()) return FALSE;
            const CameraRecord record(camera_);
            const auto camera = Widen(camera_);
            if (EffectsOn()) {
                record.SetState(1);
                engine_->EnableEffects(reinterpret_cast<LPCOLESTR>(camera.c_str()), TRUE);
                Apply();
            } else {
                record.SetState(0);
                engine_->EnableEffects(reinterpret_cast<LPCOLESTR>(camera.c_str()), FALSE);
                NotifyChange();
            }
            return TRUE;
        }
        case IDC_VIDEO_FX_CATEGORY: {
            if (code != CBN_SELCHANGE || !ready_ || camera_.empty()) return FALSE;
            const auto index = SendDlgItemMessageW(Window(), id, CB_GETCURSEL, 0, 0);
            if (index < 0 || static_cast<size_t>(index) >= categories_.size()) return TRUE;
            const std::string category = categories_[static_cast<size_t>(index)];
            const CameraRecord record(camera_);
            record.SetCategory(category);
            ShowEffects(category);
            const std::string effect = record.Effect(category);
            for (size_t i = 0; i < effects_.size(); ++i) {
                if (effects_[i] == effect) Select(static_cast<int>(i));
            }
            if (EffectsOn()) Apply();
            return TRUE;
        }
        case IDC_VIDEO_FX_EDIT: {
            if (code != BN_CLICKED) return FALSE;
            const std::string editor = AppPath("KFXEdit.exe");
            if (editor.empty() ||
                reinterpret_cast<INT_PTR>(ShellExecuteA(Window(), "open", editor.c_str(), nullptr, nullptr,
                                                        SW_SHOWNORMAL)) <= 32) {
                Say(kNoEditor);
            }
            return TRUE;
        }
        case IDC_VIDEO_FX_IMPORT:
            if (code != BN_CLICKED || !ready_) return FALSE;
            Import();
            return TRUE;
        case IDC_VIDEO_FX_WEB:
            if (code != BN_CLICKED) return FALSE;
            if (reinterpret_cast<INT_PTR>(ShellExecuteA(Window(), "open", kWebPage, nullptr, nullptr, SW_SHOWNORMAL)) <=
                32) {
                Say(kWebFailed);
            }
            return TRUE;
        default:
            return FALSE;
        }
    }

    std::string enginePath_;
    IKfxEngine* engine_ = nullptr;
    IKfxEngineWindows* windows_ = nullptr;
    bool comStarted_ = false;
    bool registered_ = false;
    bool ready_ = false;  // the engine runs and the categories are shown
    UINT changed_ = 0;
    std::string camera_;
    std::vector<std::string> categories_;
    std::string shownCategory_;
    std::vector<std::string> effects_;
    // The thumbnails of the effects shown, in the view's normal image list;
    // made afresh for each category, as pictures are never taken out of one.
    HIMAGELIST thumbnails_ = nullptr;
};

}  // namespace

std::unique_ptr<Panel> MakeVideoFxPanel(const std::string& enginePath) {
    return std::make_unique<VideoFxPanel>(enginePath);
}

}  // namespace k0340cvw
