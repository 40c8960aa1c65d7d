// qk0340 kfx list|set|import: the video effects engine of an installed root
// as its clients use it, through COM: its categories and effects with their
// thumbnails, a camera's effect (starting the engine's service from its
// program file, as a client does when it is not running), effect files.
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>

#include "outside/KfxEngine/engine.h"
#include "outside/KfxEngine/kfx_engine.h"
#include "platform/nt/wformat.h"
#include "platform/win32/host_paths.h"
#include "processthreadsapi.h"
#include "shellapi.h"
#include "tools/install/machine_session.h"
#include "tools/qk0340/command_registry.h"
#include "windows.h"
#include "winreg.h"

namespace {

using qk::cli::Failure;

struct KfxArguments {
    std::string root = "./qk0340-root";
    std::string camera = "QK0340 Camera";
    std::string effect;  // CATEGORY/EFFECT
    bool on = false;
    bool off = false;
    std::string file;
};

std::string Text(const char16_t* s) { return s ? qk::ToUtf8(std::u16string(s)) : std::string(); }

std::string HResultText(HRESULT hr) {
    switch (hr) {
        case KFX_E_NEWER_ENGINE: return "the effect needs a newer engine";
        case KFX_E_NOT_RUNNING: return "the engine's service is not running";
        case KFX_E_EXISTS: return "the effect is already installed";
        case KFX_E_DAMAGED: return "the effect file is damaged";
        case KFX_E_COPY: return "the effect could not be stored";
        case E_FAIL: return "the engine could not do it";
        default: {
            char text[16];
            std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
            return text;
        }
    }
}

// A machine with the engine reachable, and one engine object for the run.
class Session {
public:
    explicit Session(const KfxArguments& a) {
        std::string error;
        machine_ = qk::install::MachineSession::Start(a.root, qk::install::MachineSession::Root::Installed, &error);
        if (!machine_) throw Failure(error);
        kfx::RegisterBuiltin(kfx::Starter::FromFile);
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        const HRESULT hr = CoCreateInstance(CLSID_KfxEngine, nullptr, CLSCTX_INPROC_SERVER, IID_IKfxEngine,
                                            reinterpret_cast<void**>(&engine_));
        if (FAILED(hr)) throw Failure("the video effects engine is not installed on this root (" + HResultText(hr) + ")");
        engine_->Open(u"");
    }
    ~Session() {
        if (engine_) engine_->Release();
        CoUninitialize();
    }
    IKfxEngine* operator->() { return engine_; }

    // Starts StartKFX.exe from the folder App Paths names for the engine
    // library, and waits for it.
    void EnsureRunning() {
        BOOL running = FALSE;
        engine_->IsRunning(&running);
        if (running) return;
        HKEY key;
        char path[260] = {};
        DWORD bytes = sizeof path - 1, type = 0;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\BlinklyEx.dll", 0, KEY_READ, &key) !=
            ERROR_SUCCESS) {
            throw Failure("the engine's App Paths entry is missing");
        }
        RegQueryValueExA(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(path), &bytes);
        RegCloseKey(key);
        std::string folder = path;
        folder = folder.substr(0, folder.find_last_of('\\'));
        SHELLEXECUTEINFOA info{};
        info.cbSize = sizeof info;
        info.fMask = SEE_MASK_NOCLOSEPROCESS;
        info.lpVerb = "open";
        const std::string starter = folder + "\\StartKFX.exe";
        info.lpFile = starter.c_str();
        if (!ShellExecuteExA(&info)) throw Failure("cannot start " + starter + " (error " + std::to_string(GetLastError()) + ")");
        WaitForSingleObject(info.hProcess, 5000);
        CloseHandle(info.hProcess);
        engine_->IsRunning(&running);
        if (!running) throw Failure("the engine's service did not start");
    }

private:
    std::unique_ptr<qk::install::MachineSession> machine_;
    IKfxEngine* engine_ = nullptr;
};

void List(const KfxArguments& a) {
    Session engine(a);
    ULONG count = 0;
    BSTR* categories = nullptr;
    HRESULT hr = engine->GetCategories(&count, &categories);
    if (FAILED(hr)) throw Failure("cannot list the categories: " + HResultText(hr));
    for (ULONG c = 0; c < count; ++c) {
        std::cout << Text(categories[c]) << "\n";
        ULONG effects = 0;
        BSTR *names = nullptr, *thumbnails = nullptr;
        if (SUCCEEDED(engine->GetEffects(categories[c], &effects, &names, &thumbnails))) {
            for (ULONG e = 0; e < effects; ++e) {
                const std::string thumbnail = Text(thumbnails[e]);
                const bool there = !thumbnail.empty() && !qk::win32::HostFile(std::u16string(thumbnails[e])).empty();
                std::cout << "  " << Text(names[e]) << "\t" << (thumbnail.empty() ? "(no thumbnail)" : thumbnail)
                          << (thumbnail.empty() || there ? "" : " (missing)") << "\n";
            }
            kfx::FreeStrings(names, effects);
            kfx::FreeStrings(thumbnails, effects);
        }
    }
    kfx::FreeStrings(categories, count);
}

void Set(const KfxArguments& a) {
    if (a.on && a.off) throw Failure("--on and --off exclude each other");
    if (!a.on && !a.off && a.effect.empty()) throw Failure("say --on, --off or --effect CATEGORY/EFFECT");
    Session engine(a);
    engine.EnsureRunning();
    const std::u16string camera = qk::ToUtf16(a.camera);
    HRESULT hr = S_OK;
    if (a.on || !a.effect.empty()) hr = engine->EnableEffects(camera.c_str(), TRUE);
    if (a.off) hr = engine->EnableEffects(camera.c_str(), FALSE);
    if (FAILED(hr)) throw Failure("cannot switch the camera's effects: " + HResultText(hr));
    if (!a.effect.empty()) {
        const size_t slash = a.effect.find('/');
        if (slash == std::string::npos) throw Failure("--effect takes CATEGORY/EFFECT");
        const std::u16string category = qk::ToUtf16(a.effect.substr(0, slash)), effect = qk::ToUtf16(a.effect.substr(slash + 1));
        hr = engine->ApplyEffect(camera.c_str(), category.c_str(), effect.c_str());
        if (FAILED(hr)) throw Failure("cannot apply \"" + a.effect + "\": " + HResultText(hr));
    }
    BOOL enabled = FALSE;
    BSTR category = nullptr, effect = nullptr;
    engine->GetCameraEffect(camera.c_str(), &enabled, &category, &effect);
    std::cout << a.camera << ": effects " << (enabled ? "on" : "off");
    if (category && *category) std::cout << ", " << Text(category) << "/" << Text(effect);
    std::cout << "\n";
    SysFreeString(category);
    SysFreeString(effect);
}

void Import(const KfxArguments& a) {
    Session engine(a);
    // The engine reads files of the machine: the file goes into its temporary folder first.
    const std::filesystem::path temp = std::filesystem::path(a.root) / "Windows" / "Temp";
    std::error_code ec;
    std::filesystem::create_directories(temp, ec);
    const std::string name = std::filesystem::path(a.file).filename().string();
    if (!std::filesystem::is_regular_file(a.file)) throw Failure("cannot read " + a.file);
    std::filesystem::copy_file(a.file, temp / name, std::filesystem::copy_options::overwrite_existing, ec);
    if (ec) throw Failure("cannot copy " + a.file + ": " + ec.message());
    BSTR category = nullptr, effect = nullptr;
    const HRESULT hr = engine->ImportEffect(qk::ToUtf16("C:\\Windows\\Temp\\" + name).c_str(), &category, &effect);
    std::filesystem::remove(temp / name, ec);
    if (FAILED(hr)) throw Failure("cannot import " + a.file + ": " + HResultText(hr));
    std::cout << "imported " << Text(category) << "/" << Text(effect) << "\n";
    SysFreeString(category);
    SysFreeString(effect);
}

void AddKfxCommands(CLI::App& app) {
    auto* kfx = app.add_subcommand("kfx", "The video effects engine: its effects, a camera's effect, effect files");
    kfx->require_subcommand(1);
    auto a = std::make_shared<KfxArguments>();
    auto* list = kfx->add_subcommand("list", "Categories and effects with their thumbnails");
    list->add_option("--root", a->root, "System root (made by qk0340 install)");
    list->callback([a] { List(*a); });
    auto* set = kfx->add_subcommand("set", "Switch a camera's effects, or apply one");
    set->add_option("--root", a->root, "System root (made by qk0340 install)");
    set->add_option("--camera", a->camera, "Camera name");
    set->add_option("--effect", a->effect, "CATEGORY/EFFECT (switches effects on)");
    set->add_flag("--on", a->on, "Effects on");
    set->add_flag("--off", a->off, "Effects off");
    set->callback([a] { Set(*a); });
    auto* import = kfx->add_subcommand("import", "Import an effect file (.vfz)");
    import->add_option("--root", a->root, "System root (made by qk0340 install)");
    import->add_option("file", a->file, "Effect file")->required();
    import->callback([a] { Import(*a); });
}

QK_CLI_COMMAND(AddKfxCommands);

}  // namespace
