// The console K0340Cvw inside the qk0340 tool: built in under its file name,
// so that `qk0340 regsvr32 K0340Cvw.dll` registers it and `qk0340 rundll32
// K0340Cvw.dll,luCVWConsoleRunDLL32EP ...` enters it, as does a host's
// request for the standalone console through the system's rundll32.exe.
//
// qk0340 console: the standalone console on a machine with the simulated
// camera plugged in, shown on the desktop when a display is there; a replay
// script drives it headless (clicks, slider drags, typing, keys, waits,
// unplugging and plugging the camera, screenshots of the window in front).
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "commctrl.h"
#include "console/k0340cvw.h"
#include "console/script.h"
#include "platform/dshow/dshow_servers.h"
#include "platform/ui/presentation.h"
#include "shellapi.h"
#include "tools/install/install.h"
#include "tools/install/machine_session.h"
#include "tools/qk0340/command_registry.h"
#include "tools/session/camera_rig.h"
#include "tools/session/capture_stream.h"

namespace {

using qk::cli::Failure;

// The console as a user starts it: the system's rundll32.exe with the
// console's entry, as a process of the machine. Its handle, to wait on.
HANDLE StartConsole() {
    SHELLEXECUTEINFOA info{};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.lpVerb = "open";
    info.lpFile = "rundll32.exe";
    info.lpParameters = "K0340Cvw.dll,luCVWConsoleRunDLL32EP";
    info.nShow = SW_SHOWNORMAL;
    if (!ShellExecuteExA(&info) || info.hProcess == nullptr) {
        throw Failure("the system's rundll32.exe cannot be started (error " + std::to_string(GetLastError()) + ")");
    }
    return info.hProcess;
}


constexpr char kConsoleCaption[] = "Lumora Camera Console";
constexpr LONG kVerticalSlider = 0x0002;  // TBS_VERT
constexpr WPARAM kRemovalComplete = 0x8004, kArrival = 0x8000;
// What the window system needs to settle after an input: the posted
// message handled and what it caused painted.
constexpr auto kSettle = std::chrono::milliseconds(200);

struct ConsoleArguments {
    std::string root = "./qk0340-root";
    std::string modules;
    std::string script;
    std::string screenshot;
};

// An application streaming from the camera while the console runs, as a
// video call would: 640x480 YUY2 at 30 frames a second on a thread of its
// own, until stopped or until the camera is pulled out.
class Streamer {
public:
    ~Streamer() { Stop(); }
    void Start(qk::session::CameraRig& rig) {
        Stop();
        stop_ = false;
        thread_ = std::thread([this, &rig] {
            std::unique_ptr<qk::ks::client::Filter> filter;
            if (!NT_SUCCESS(rig.OpenFilter(&filter))) return;
            qk::session::StreamOptions options;
            options.filterLink = rig.FilterLink();
            std::unique_ptr<qk::session::CaptureStream> stream;
            std::string error;
            if (!qk::session::CaptureStream::Open(*filter, qk::session::FormatRequest{}, options, &stream, &error)) return;
            stream->Run(
                [this](const qk::session::SampleReport& sample) {
                    if (sample.Delivered()) ++frames_;
                    return !stop_.load();
                },
                &error);
        });
    }
    void Stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    uint64_t Frames() const { return frames_.load(); }

private:
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> frames_{0};
};

// The top-level window a user would act on: the first visible one that is
// no tool window (menus, tooltips), front to back.
HWND FrontWindow() {
    struct Search {
        HWND found = nullptr;
    } search;
    EnumWindows(
        [](HWND hwnd, LPARAM p) -> BOOL {
            if (!IsWindowVisible(hwnd) || (GetWindowLongW(hwnd, GWL_EXSTYLE) & WS_EX_TOOLWINDOW)) return TRUE;
            reinterpret_cast<Search*>(p)->found = hwnd;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::string Caption(HWND hwnd) {
    char text[256] = {};
    GetWindowTextA(hwnd, text, sizeof text);
    return text;
}

HWND FindControl(HWND parent, int id) {
    struct Search {
        int id;
        HWND found = nullptr;
    } search{id};
    EnumChildWindows(
        parent,
        [](HWND hwnd, LPARAM p) -> BOOL {
            auto* s = reinterpret_cast<Search*>(p);
            if (GetDlgCtrlID(hwnd) != s->id || !IsWindowVisible(hwnd)) return TRUE;
            s->found = hwnd;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::u16string ClassOf(HWND hwnd) {
    char16_t name[64] = {};
    GetClassNameW(hwnd, reinterpret_cast<LPWSTR>(name), 64);
    return name;
}

bool EqualsIgnoringCase(const std::u16string& a, const std::u16string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

void BroadcastDeviceChange(WPARAM event) {
    EnumWindows(
        [](HWND hwnd, LPARAM p) -> BOOL {
            PostMessageW(hwnd, WM_DEVICECHANGE, static_cast<WPARAM>(p), 0);
            return TRUE;
        },
        static_cast<LPARAM>(event));
}

UINT VirtualKey(k0340cvw::ScriptKey key) {
    using K = k0340cvw::ScriptKey;
    switch (key) {
    case K::Enter: return VK_RETURN;
    case K::Escape: return VK_ESCAPE;
    case K::Tab: return VK_TAB;
    case K::Space: return VK_SPACE;
    case K::Left: return VK_LEFT;
    case K::Right: return VK_RIGHT;
    case K::Up: return VK_UP;
    case K::Down: return VK_DOWN;
    case K::Home: return VK_HOME;
    case K::End: return VK_END;
    case K::PageUp: return VK_PRIOR;
    case K::PageDown: return VK_NEXT;
    }
    return VK_RETURN;
}

void SavePicture(HWND window, const std::string& file) {
    std::string error;
    if (window == nullptr) throw Failure("no window is open to take a picture of");
    if (!qk::ui::SaveWindowPng(window, file, &error)) throw Failure("cannot write " + file + ": " + error);
    std::printf("%s: '%s'\n", file.c_str(), Caption(window).c_str());
}

// Runs one command; the reason when it cannot be done.
std::string Run(const k0340cvw::ScriptCommand& c, qk::session::CameraRig& rig, Streamer& streamer) {
    using V = k0340cvw::ScriptVerb;
    HWND front = FrontWindow();
    switch (c.verb) {
    case V::Click:
    case V::Drag: {
        if (front == nullptr) return "no window is open";
        HWND control = FindControl(front, c.id);
        if (control == nullptr) return "no control " + std::to_string(c.id) + " shows in '" + Caption(front) + "'";
        if (!IsWindowEnabled(control)) return "control " + std::to_string(c.id) + " is disabled";
        if (c.verb == V::Click) {
            if (EqualsIgnoringCase(ClassOf(control), u"Button")) {
                PostMessageW(control, BM_CLICK, 0, 0);
            } else {
                PostMessageW(GetParent(control), WM_COMMAND, MAKEWPARAM(c.id, BN_CLICKED), reinterpret_cast<LPARAM>(control));
            }
        } else {
            if (!EqualsIgnoringCase(ClassOf(control), TRACKBAR_CLASSW)) return "control " + std::to_string(c.id) + " is no slider";
            SendMessageW(control, TBM_SETPOS, TRUE, c.value);
            const UINT scroll = (GetWindowLongW(control, GWL_STYLE) & kVerticalSlider) ? WM_VSCROLL : WM_HSCROLL;
            PostMessageW(GetParent(control), scroll, MAKEWPARAM(TB_THUMBPOSITION, static_cast<WORD>(c.value)),
                         reinterpret_cast<LPARAM>(control));
            PostMessageW(GetParent(control), scroll, MAKEWPARAM(TB_ENDTRACK, 0), reinterpret_cast<LPARAM>(control));
        }
        break;
    }
    case V::Type: {
        HWND focus = GetFocus();
        if (focus == nullptr) return "no control has the keyboard focus";
        for (unsigned char ch : c.text) PostMessageW(focus, WM_CHAR, ch, 0);
        break;
    }
    case V::Key: {
        HWND focus = GetFocus();
        if (focus == nullptr) focus = front;
        if (focus == nullptr) return "no window is open";
        PostMessageW(focus, WM_KEYDOWN, VirtualKey(c.key), 0);
        PostMessageW(focus, WM_KEYUP, VirtualKey(c.key), 0);
        break;
    }
    case V::Wait:
        std::this_thread::sleep_for(std::chrono::milliseconds(c.value));
        return {};
    case V::Unplug:
        if (!rig.Plugged()) return "the camera is not plugged in";
        rig.Unplug();  // while the application streams: a surprise removal
        streamer.Stop();
        BroadcastDeviceChange(kRemovalComplete);
        break;
    case V::Plug: {
        if (rig.Plugged()) return "the camera is plugged in already";
        std::string error;
        if (!rig.Replug(qk::sim::Faults{}, &error)) return "the camera could not be plugged in: " + error;
        streamer.Start(rig);
        BroadcastDeviceChange(kArrival);
        break;
    }
    case V::Screenshot:
        if (front == nullptr) return "no window is open to take a picture of";
        SavePicture(front, c.text);
        return {};
    }
    std::this_thread::sleep_for(kSettle);
    return {};
}

void RunConsole(const ConsoleArguments& a) {
    std::vector<k0340cvw::ScriptCommand> commands;
    if (!a.script.empty()) {
        std::ifstream in(a.script, std::ios::binary);
        if (!in) throw Failure("cannot read the script " + a.script);
        std::stringstream text;
        text << in.rdbuf();
        k0340cvw::ScriptError error;
        if (!k0340cvw::ParseScript(text.str(), &commands, &error)) throw Failure(a.script + ", " + error.Message());
    }
    if (!a.screenshot.empty() && (a.screenshot.size() < 5 || a.screenshot.substr(a.screenshot.size() - 4) != ".png")) {
        throw Failure("--screenshot wants a file name ending in .png");
    }
    std::string error;
    auto machine = qk::install::MachineSession::Start(a.root, qk::install::MachineSession::Root::Any, &error);
    if (machine == nullptr) throw Failure(error);
    qk::session::RigOptions options;
    options.moduleFolder = a.modules.empty() ? qk::install::ProgramFolder() : std::filesystem::path(a.modules);
    auto rig = qk::session::CameraRig::Start(nullptr, options, &error);
    if (rig == nullptr) throw Failure(error);
    qk::dshow::InstallSystemServers();
    Streamer streamer;
    streamer.Start(*rig);

    HANDLE console = StartConsole();
    HWND window = nullptr;
    for (int i = 0; i < 1000 && window == nullptr; ++i) {
        window = FindWindowA(nullptr, kConsoleCaption);
        if (window == nullptr) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (window == nullptr) {
        WaitForSingleObject(console, INFINITE);
        CloseHandle(console);
        streamer.Stop();
        throw Failure("the console did not open (is the package installed in " + a.root + "?)");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the stacks open their first panel

    std::string failure;
    for (const auto& c : commands) {
        std::string reason;
        try {
            reason = Run(c, *rig, streamer);
        } catch (const Failure& f) {
            reason = f.what();
        }
        if (!reason.empty()) {
            failure = a.script + ", line " + std::to_string(c.line) + ": " + reason;
            break;
        }
    }
    const bool display = std::getenv("DISPLAY") != nullptr && *std::getenv("DISPLAY") != 0;
    if (failure.empty() && !a.screenshot.empty() && IsWindow(window)) {
        try {
            SavePicture(window, a.screenshot);
        } catch (const Failure& f) {
            failure = f.what();
        }
    }
    // With a display and nothing to replay, the console is the user's until they close it.
    if (!(display && a.script.empty()) && IsWindow(window)) PostMessageW(window, WM_CLOSE, 0, 0);
    WaitForSingleObject(console, INFINITE);
    CloseHandle(console);
    streamer.Stop();
    if (rig->Plugged()) rig->Unplug();
    if (!failure.empty()) throw Failure(failure);
    std::printf("the camera streamed %llu frames while the console ran\n",
                static_cast<unsigned long long>(streamer.Frames()));
}

void AddConsoleCommands(CLI::App& app) {
    k0340cvw::RegisterBuiltin();
    auto a = std::make_shared<ConsoleArguments>();
    CLI::App* console = app.add_subcommand(
        "console", "The camera console with the simulated camera plugged in (on the desktop with a display; headless a script drives it)");
    console->add_option("--root", a->root, "System root folder (the package is installed when missing)")->capture_default_str();
    console->add_option("--modules", a->modules, "Folder of the built modules, for the installation");
    console->add_option("--script", a->script,
                        "Replay FILE, one command a line: click ID, drag ID VALUE, type TEXT, key NAME, wait MS, "
                        "unplug, plug, screenshot FILE.png");
    console->add_option("--screenshot", a->screenshot, "Save the console window as FILE.png at the end");
    console->callback([a] { RunConsole(*a); });
}

}  // namespace

QK_CLI_COMMAND(AddConsoleCommands);
