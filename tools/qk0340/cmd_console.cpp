// The console K0340Cvw inside the qk0340 tool: built in under its file name,
// so that `qk0340 regsvr32 K0340Cvw.dll` registers it and `qk0340 rundll32
// K0340Cvw.dll,luCVWConsoleRunDLL32EP ...` enters it, as does a host's
// request for the standalone console through the system's rundll32.exe.
//
// qk0340 console: the standalone console on a machine with the simulated
// camera plugged in, shown on the desktop when a display is there; a replay
// script drives it headless (clicks, slider drags, typing, keys, waits,
// unplugging and plugging the camera, screenshots of the window in front).
//
// qk0340 cammgr: the camera manager hosting the console in its own window,
// as the manager does: the viewer its records name for the camera (or the
// console's host entry when it has none), one instance for the camera, the
// integrated window on the manager's interface thread, and on request the
// standalone console beside it. The same replay scripts drive both.
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <chrono>
#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "audiofilter/k0340aud.h"
#include "commctrl.h"
#include "fileapi.h"
#include "objbase.h"
#include "outside/KfxEngine/engine.h"
#include "outside/LuCamMgr/lucammgr.h"
#include "platform/win32/code_modules.h"
#include "platform/win32/module_table.h"
#include "winreg.h"
#include "console/k0340cvw.h"
#include "console/script.h"
#include "platform/audio/usb_audio.h"
#include "platform/dshow/dshow_servers.h"
#include "platform/ui/presentation.h"
#include "shellapi.h"
#include "tools/install/install.h"
#include "tools/install/machine_session.h"
#include "tools/qk0340/command_registry.h"
#include "tools/session/camera_controls.h"
#include "tools/qk0340/contact_sheet.h"
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
// What the window system needs to settle after an input: the posted
// message handled and what it caused painted.
constexpr auto kSettle = std::chrono::milliseconds(200);

struct ConsoleArguments {
    std::string root = "./qk0340-root";
    std::string modules;
    std::string script;
    std::string screenshot;
    bool printControls = false;
    std::string layoutPictures;
    std::string sheet;
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

// The pictures a run saved, in order, for the contact sheet.
using Pictures = std::vector<qk::cli::SheetPicture>;

void SavePicture(HWND window, const std::string& file, Pictures* pictures) {
    std::string error;
    if (window == nullptr) throw Failure("no window is open to take a picture of");
    if (!qk::ui::SaveWindowPng(window, file, &error)) throw Failure("cannot write " + file + ": " + error);
    const std::string caption = Caption(window);
    std::printf("%s: '%s'\n", file.c_str(), caption.c_str());
    pictures->push_back({std::filesystem::path(file).stem().string() + ": " + caption, file});
}

// The title button every panel of a stack carries (one identifier for all).
constexpr int kPanelTitleButton = 69;

// How long a command waits for its control to show (and, for an input, to
// be enabled) in the window in front: on a busy machine a tab, a panel or a
// dialog may take longer to open than the settling time after an input.
constexpr auto kControlPatience = std::chrono::milliseconds(5000);

// The control in the window in front once it is there (and enabled, when
// asked), else what was found when the patience ran out; `front` is the
// window it was looked for in.
HWND AwaitControl(int id, bool enabled, HWND* front) {
    const auto deadline = std::chrono::steady_clock::now() + kControlPatience;
    while (true) {
        *front = FrontWindow();
        HWND control = *front != nullptr ? FindControl(*front, id) : nullptr;
        if ((control != nullptr && (!enabled || IsWindowEnabled(control))) ||
            std::chrono::steady_clock::now() >= deadline) {
            return control;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

// A value another window is still passing on is waited for as long.
constexpr int kControlWaits = 100;
constexpr auto kControlWait = std::chrono::milliseconds(50);

// Runs one command; the reason when it cannot be done.
std::string Run(const k0340cvw::ScriptCommand& c, qk::session::CameraRig& rig, Streamer& streamer, Pictures* pictures) {
    using V = k0340cvw::ScriptVerb;
    HWND front = FrontWindow();
    switch (c.verb) {
    case V::Click:
    case V::Drag: {
        HWND control = AwaitControl(c.id, true, &front);
        if (front == nullptr) return "no window is open";
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
        streamer.Stop();  // the window system tells the console's windows
        break;
    case V::Plug: {
        if (rig.Plugged()) return "the camera is plugged in already";
        std::string error;
        if (!rig.Replug(qk::sim::Faults{}, &error)) return "the camera could not be plugged in: " + error;
        streamer.Start(rig);
        break;
    }
    case V::Screenshot:
        if (front == nullptr) return "no window is open to take a picture of";
        SavePicture(front, c.text, pictures);
        return {};
    case V::Expand:
    case V::Collapse: {
        HWND panel = AwaitControl(c.id, false, &front);
        if (front == nullptr) return "no window is open";
        if (panel == nullptr) return "no panel " + std::to_string(c.id) + " shows in '" + Caption(front) + "'";
        HWND title = GetDlgItem(panel, kPanelTitleButton);
        if (title == nullptr) return "control " + std::to_string(c.id) + " is no panel";
        // The title shows whether its panel is open.
        const bool open = SendMessageW(title, BM_GETCHECK, 0, 0) == BST_CHECKED;
        if (open == (c.verb == V::Expand)) return {};
        PostMessageW(title, BM_CLICK, 0, 0);
        break;
    }
    case V::Expect: {
        HWND control = AwaitControl(c.id, false, &front);
        if (front == nullptr) return "no window is open";
        if (control == nullptr) return "no control " + std::to_string(c.id) + " shows in '" + Caption(front) + "'";
        const bool slider = EqualsIgnoringCase(ClassOf(control), TRACKBAR_CLASSW);
        LRESULT shown = SendMessageW(control, slider ? TBM_GETPOS : BM_GETCHECK, 0, 0);
        for (int i = 0; i < kControlWaits && shown != c.value && IsWindow(control); ++i) {
            std::this_thread::sleep_for(kControlWait);
            shown = SendMessageW(control, slider ? TBM_GETPOS : BM_GETCHECK, 0, 0);
        }
        if (shown != c.value) {
            return "control " + std::to_string(c.id) + " of '" + Caption(front) + "' shows " + std::to_string(shown) +
                   ", not " + std::to_string(c.value);
        }
        return {};
    }
    case V::Next:
        if (front == nullptr) return "no window is open";
        SetWindowPos(front, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        break;
    }
    std::this_thread::sleep_for(kSettle);
    return {};
}

std::vector<k0340cvw::ScriptCommand> ReadScript(const ConsoleArguments& a) {
    std::vector<k0340cvw::ScriptCommand> commands;
    if (!a.script.empty()) {
        std::ifstream in(a.script, std::ios::binary);
        if (!in) throw Failure("cannot read the script " + a.script);
        std::stringstream text;
        text << in.rdbuf();
        k0340cvw::ScriptError error;
        if (!k0340cvw::ParseScript(text.str(), &commands, &error)) throw Failure(a.script + ", " + error.Message());
    }
    const auto png = [](const std::string& file) { return file.size() >= 5 && file.substr(file.size() - 4) == ".png"; };
    if (!a.screenshot.empty() && !png(a.screenshot)) throw Failure("--screenshot wants a file name ending in .png");
    if (!a.sheet.empty() && !png(a.sheet)) throw Failure("--sheet wants a file name ending in .png");
    return commands;
}

// NoiseGuard as the audio filter itself reports it through its control
// device, read apart from the console: "on", "off", or why it cannot be read.
std::string NoiseGuard() {
    HANDLE control = CreateFileW(reinterpret_cast<LPCWSTR>(k0340aud::kControlUserPath), GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (control == INVALID_HANDLE_VALUE) return "absent (no audio filter)";
    k0340aud::FeatureRequest request{};
    request.feature = k0340aud::FEATURE_NOISEGUARD;
    DWORD returned = 0;
    const bool read = DeviceIoControl(control, k0340aud::IOCTL_AUDFLT_GET_FEATURE, &request, sizeof request, &request,
                                      sizeof request, &returned, nullptr) &&
                      returned >= sizeof request;
    CloseHandle(control);
    if (!read) return "unreadable";
    if (!request.available) return "not available";
    return request.enabled ? "on" : "off";
}

// The machine with the package, the camera plugged in and an application
// streaming from it: what both console commands run on.
struct Stage {
    std::unique_ptr<qk::install::MachineSession> machine;
    std::unique_ptr<qk::session::CameraRig> rig;
    Streamer streamer;

    explicit Stage(const ConsoleArguments& a) {
        std::string error;
        machine = qk::install::MachineSession::Start(a.root, qk::install::MachineSession::Root::Any, &error);
        if (machine == nullptr) throw Failure(error);
        qk::session::RigOptions options;
        options.moduleFolder = a.modules.empty() ? qk::install::ProgramFolder() : std::filesystem::path(a.modules);
        // The camera's microphone gets the system's USB audio function driver,
        // with the installed K0340Aud above it, as on a user's machine: the
        // audio tab's microphone box talks to that filter.
        if (!NT_SUCCESS(qk::audio::RegisterFunctionDriver())) throw Failure("cannot write the USB audio driver's entry");
        rig = qk::session::CameraRig::Start(nullptr, options, &error);
        if (rig == nullptr) throw Failure(error);
        qk::dshow::InstallSystemServers();
        // The video effects engine the package installs, found by its class
        // as the console's effects panel asks for it; its service starts from
        // the installed StartKFX.exe.
        kfx::RegisterBuiltin(kfx::Starter::FromFile);
        streamer.Start(*rig);
    }
    ~Stage() {
        streamer.Stop();
        if (rig != nullptr && rig->Plugged()) rig->Unplug();
    }
};

// Replays the commands against whatever console windows are open; the first
// failure as "SCRIPT, line N: REASON", empty when all ran.
std::string Replay(const std::vector<k0340cvw::ScriptCommand>& commands, const std::string& script, Stage& stage,
                   Pictures* pictures) {
    for (const auto& c : commands) {
        std::string reason;
        try {
            reason = Run(c, *stage.rig, stage.streamer, pictures);
        } catch (const Failure& f) {
            reason = f.what();
        }
        if (!reason.empty()) return script + ", line " + std::to_string(c.line) + ": " + reason;
    }
    return {};
}

// Every picture the run saved on one sheet, each under its file's name and
// the caption of the window it shows.
std::string WriteSheet(const std::string& sheet, const Pictures& pictures) {
    if (sheet.empty()) return {};
    std::string error;
    if (!qk::cli::WriteContactSheet(pictures, sheet, &error)) return "cannot write " + sheet + ": " + error;
    std::printf("%s: %zu pictures\n", sheet.c_str(), pictures.size());
    return {};
}

bool HasDisplay() { return std::getenv("DISPLAY") != nullptr && *std::getenv("DISPLAY") != 0; }

// Where the window and its visible controls are on the screen, so that a
// program outside the machine (xdotool on a display) can point at them:
// "window X Y W H 'CAPTION'" and, for each visible descendant, "control ID
// X Y W H 'PLACE'": the part its ancestors leave visible (a control scrolled
// out of its stack is left out), and the caption of its nearest ancestor
// that has one (identifiers repeat across panels; the place names the panel).
std::string Layout(HWND window) {
    struct Walk {
        HWND window;
        std::string text;
    } walk{window, {}};
    RECT r{};
    GetWindowRect(window, &r);
    walk.text = "window " + std::to_string(r.left) + " " + std::to_string(r.top) + " " + std::to_string(r.right - r.left) + " " +
                std::to_string(r.bottom - r.top) + " '" + Caption(window) + "'\n";
    EnumChildWindows(
        window,
        [](HWND hwnd, LPARAM p) -> BOOL {
            auto* w = reinterpret_cast<Walk*>(p);
            if (!IsWindowVisible(hwnd)) return TRUE;
            RECT shown{};
            GetWindowRect(hwnd, &shown);
            std::string place;
            for (HWND up = GetParent(hwnd); up != nullptr; up = up == w->window ? nullptr : GetParent(up)) {
                RECT outer{};
                GetWindowRect(up, &outer);
                shown = RECT{std::max(shown.left, outer.left), std::max(shown.top, outer.top), std::min(shown.right, outer.right),
                             std::min(shown.bottom, outer.bottom)};
                if (place.empty()) place = Caption(up);
            }
            if (shown.right <= shown.left || shown.bottom <= shown.top) return TRUE;
            w->text += "control " + std::to_string(GetDlgCtrlID(hwnd)) + " " + std::to_string(shown.left) + " " +
                       std::to_string(shown.top) + " " + std::to_string(shown.right - shown.left) + " " +
                       std::to_string(shown.bottom - shown.top) + " '" + place + "'\n";
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&walk));
    return walk.text;
}

// Until the console's process ends: each time the console has come to rest
// (nothing drawn for 300 ms) with a layout or a picture other than the last
// one printed (a panel opened, a box ticked), the layout as a numbered block
// ("layout N", the lines, "end of layout N"), so that a reader acts on a
// whole one; with a folder, the window's picture at that rest as
// FOLDER/layout_N.png, to compare with what a display shows.
void PrintLayouts(HANDLE console, HWND window, const std::string& folder) {
    using Clock = std::chrono::steady_clock;
    std::string printed;
    std::vector<uint32_t> pictured;
    int count = 0;
    std::error_code made;
    if (!folder.empty()) std::filesystem::create_directories(folder, made);
    uint64_t seen = qk::ui::PaintGeneration();
    auto still = Clock::now();
    while (WaitForSingleObject(console, 20) == WAIT_TIMEOUT) {
        if (const uint64_t now = qk::ui::PaintGeneration(); now != seen) {
            seen = now;
            still = Clock::now();
            continue;
        }
        if (Clock::now() - still < std::chrono::milliseconds(300) || !IsWindow(window)) continue;
        const std::string layout = Layout(window);
        const qk::ui::Picture picture = qk::ui::CaptureWindow(window);
        if (layout == printed && picture.pixels == pictured) continue;
        ++count;
        std::string error;
        if (!folder.empty()) {
            const std::string file = folder + "/layout_" + std::to_string(count) + ".png";
            if (!qk::ui::SavePicturePng(picture, file, &error)) std::fprintf(stderr, "cannot write %s: %s\n", file.c_str(), error.c_str());
        }
        printed = layout;
        pictured = picture.pixels;
        std::printf("layout %d\n%send of layout %d\n", count, layout.c_str(), count);
        std::fflush(stdout);
    }
}

// The face tracking the driver itself answers for (its set B mode), not what
// any window shows of it.
std::string DriverTracking(qk::session::CameraRig& rig) {
    const auto hex = [](NTSTATUS status) {
        char text[16];
        std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(status));
        return std::string(text);
    };
    if (!rig.Plugged()) return "unknown (the camera is unplugged)";
    std::unique_ptr<qk::ks::client::Filter> filter;
    if (const NTSTATUS status = rig.OpenFilter(&filter); !NT_SUCCESS(status)) {
        return "unknown (the camera cannot be opened: " + hex(status) + ")";
    }
    const qk::session::ControlInfo* mode = qk::session::FindControl("tracking-mode");
    const qk::session::ControlReading reading = qk::session::ReadControl(filter->Handle(), *mode);
    if (!NT_SUCCESS(reading.status)) return "unknown (the driver answered " + hex(reading.status) + ")";
    return std::string(reading.value == 0 ? "off" : "on") + ", mode " + qk::session::ValueText(*mode, reading.value);
}

HWND WaitForWindow(const char* caption) {
    HWND window = nullptr;
    for (int i = 0; i < 1000 && window == nullptr; ++i) {
        window = FindWindowA(nullptr, caption);
        if (window == nullptr) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return window;
}

void RunConsole(const ConsoleArguments& a) {
    const std::vector<k0340cvw::ScriptCommand> commands = ReadScript(a);
    Stage stage(a);
    std::printf("the driver's face tracking at the start: %s\n", DriverTracking(*stage.rig).c_str());
    std::fflush(stdout);
    const std::string noiseGuardBefore = NoiseGuard();
    HANDLE console = StartConsole();
    HWND window = WaitForWindow(kConsoleCaption);
    if (window == nullptr) {
        WaitForSingleObject(console, INFINITE);
        CloseHandle(console);
        throw Failure("the console did not open (is the package installed in " + a.root + "?)");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the stacks open their first panel

    Pictures pictures;
    std::string failure = Replay(commands, a.script, stage, &pictures);
    if (failure.empty() && !a.screenshot.empty() && IsWindow(window)) {
        try {
            SavePicture(window, a.screenshot, &pictures);
        } catch (const Failure& f) {
            failure = f.what();
        }
    }
    if (failure.empty()) failure = WriteSheet(a.sheet, pictures);
    // With a display and nothing to replay, the console is the user's until they close it.
    if (!(HasDisplay() && a.script.empty()) && IsWindow(window)) PostMessageW(window, WM_CLOSE, 0, 0);
    if (failure.empty() && a.printControls) PrintLayouts(console, window, a.layoutPictures);
    WaitForSingleObject(console, INFINITE);
    CloseHandle(console);
    std::printf("the driver's face tracking at the end: %s\n", DriverTracking(*stage.rig).c_str());
    stage.streamer.Stop();
    if (!failure.empty()) throw Failure(failure);
    std::printf("the camera streamed %llu frames while the console ran\n",
                static_cast<unsigned long long>(stage.streamer.Frames()));
    std::printf("NoiseGuard in the audio filter: %s at the start, %s at the end\n", noiseGuardBefore.c_str(),
                NoiseGuard().c_str());
}

// ---- the camera manager ----------------------------------------------------------------------

using HostEntry = DWORD (*)(void* instance, uint32_t code, void* parameters);

constexpr char kManagerDevices[] = "Software\\Lumora Tech\\Camera Manager\\Devices";

struct Viewer {
    std::string name, file, entry;
};

std::string Text(HKEY key, const char* value) {
    char data[256] = {};
    DWORD bytes = sizeof data - 1, type = 0;
    if (RegQueryValueExA(key, value, nullptr, &type, reinterpret_cast<BYTE*>(data), &bytes) != ERROR_SUCCESS ||
        type != REG_SZ) {
        return {};
    }
    return std::string(data, strnlen(data, sizeof data));
}

// The first viewer the manager's records attach to a device: the manager
// hosts one camera, and the console registers one viewer for it.
bool RecordedViewer(Viewer* viewer) {
    HKEY devices = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kManagerDevices, 0, KEY_READ | KEY_WOW64_32KEY, &devices) != ERROR_SUCCESS) {
        return false;
    }
    bool found = false;
    char device[256];
    for (DWORD i = 0; !found; ++i) {
        DWORD size = sizeof device;
        if (RegEnumKeyExA(devices, i, device, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        HKEY deviceKey = nullptr;
        if (RegOpenKeyExA(devices, device, 0, KEY_READ | KEY_WOW64_32KEY, &deviceKey) != ERROR_SUCCESS) continue;
        char name[256];
        for (DWORD j = 0; !found; ++j) {
            DWORD nameSize = sizeof name;
            if (RegEnumKeyExA(deviceKey, j, name, &nameSize, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
            HKEY viewerKey = nullptr;
            if (RegOpenKeyExA(deviceKey, name, 0, KEY_READ | KEY_WOW64_32KEY, &viewerKey) != ERROR_SUCCESS) continue;
            *viewer = Viewer{name, Text(viewerKey, "File"), Text(viewerKey, "Entry")};
            found = !viewer->file.empty() && !viewer->entry.empty();
            RegCloseKey(viewerKey);
        }
        RegCloseKey(deviceKey);
    }
    RegCloseKey(devices);
    return found;
}

// The friendly name of the first video input device, as the manager knows
// its camera: the name the console finds the camera by.
std::string CameraName() {
    std::string name;
    ICreateDevEnum* system = nullptr;
    if (FAILED(CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum,
                                reinterpret_cast<void**>(&system)))) {
        return name;
    }
    IEnumMoniker* list = nullptr;
    if (system->CreateClassEnumerator(CLSID_VideoInputDeviceCategory, &list, 0) == S_OK) {
        IMoniker* moniker = nullptr;
        if (list->Next(1, &moniker, nullptr) == S_OK) {
            IPropertyBag* bag = nullptr;
            if (SUCCEEDED(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag, reinterpret_cast<void**>(&bag)))) {
                VARIANT v;
                VariantInit(&v);
                if (SUCCEEDED(bag->Read(u"FriendlyName", &v, nullptr)) && v.vt == VT_BSTR) {
                    for (UINT i = 0; i < SysStringLen(v.bstrVal); ++i) name += static_cast<char>(v.bstrVal[i]);
                }
                VariantClear(&v);
                bag->Release();
            }
            moniker->Release();
        }
        list->Release();
    }
    system->Release();
    return name;
}

// The manager's interface thread: it loads the viewer, makes the instance,
// opens the integrated window and pumps its messages until told to quit,
// then destroys the instance. The window belongs to this thread.
class Host {
public:
    Host(bool standalone) : standalone_(standalone) {
        thread_ = std::thread([this] { Main(); });
        std::unique_lock lock(lock_);
        changed_.wait(lock, [this] { return ready_; });
    }
    ~Host() { Quit(); }
    // The integrated window, or null with the reason in Error().
    HWND Window() const {
        std::lock_guard guard(lock_);
        return window_;
    }
    std::string Error() const {
        std::lock_guard guard(lock_);
        return error_;
    }
    std::string Viewer() const {
        std::lock_guard guard(lock_);
        return viewer_;
    }
    // Ends the message loop and destroys the instance.
    void Quit() {
        if (!thread_.joinable()) return;
        quit_ = true;
        thread_.join();
    }

private:
    void Ready(HWND window, std::string error) {
        std::lock_guard guard(lock_);
        window_ = window;
        error_ = std::move(error);
        ready_ = true;
        changed_.notify_all();
    }
    void Main() {
        MSG message;
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        std::string error;
        HMODULE module = nullptr;
        void* instance = nullptr;
        HostEntry entry = Load(&module, &error);
        HWND window = nullptr;
        if (entry != nullptr) window = Open(entry, &instance, &error);
        Ready(window, error);
        // The manager's own loop: its messages, and between them a look at
        // whether it is to quit (no thread message reaches it from outside).
        while (window != nullptr && !quit_.load()) {
            if (!PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                continue;
            }
            if (!IsWindow(window) || !IsDialogMessageW(window, &message)) {
                TranslateMessage(&message);
                DispatchMessageW(&message);
            }
        }
        if (instance != nullptr) {
            DWORD block[1] = {};
            entry(instance, k0340cvw::CVW_CMD_DESTROY, block);
        }
        if (module != nullptr) FreeLibrary(module);
        if (code_ != nullptr) qk::win32::ReleaseCodeModule(code_);
        CoUninitialize();
    }
    HostEntry Load(HMODULE* module, std::string* error) {
        ::Viewer viewer;
        if (!RecordedViewer(&viewer)) viewer = {"", "K0340Cvw.dll", "luCVWEntryPoint"};
        {
            std::lock_guard guard(lock_);
            viewer_ = (viewer.name.empty() ? "no viewer recorded: " : "viewer " + viewer.name + ": ") + viewer.file +
                      "," + viewer.entry;
        }
        // A library file in the system folder first; else the modules built
        // into this program under their file names, as the system's own
        // programs (RunDLL32, RegSvr32) find them.
        void* address = nullptr;
        *module = LoadLibraryA(viewer.file.c_str());
        if (*module != nullptr) {
            address = reinterpret_cast<void*>(GetProcAddress(*module, viewer.entry.c_str()));
        } else {
            std::string loadError;
            code_ = qk::win32::LoadCodeModule(std::u16string(viewer.file.begin(), viewer.file.end()), &loadError);
            if (code_ == nullptr) {
                *error = "the viewer " + viewer.file + " cannot be loaded: " + loadError;
                return nullptr;
            }
            address = qk::win32::CodeModuleExport(code_, viewer.entry.c_str());
        }
        auto entry = reinterpret_cast<HostEntry>(address);
        if (entry == nullptr) *error = viewer.file + " has no entry " + viewer.entry;
        return entry;
    }
    HWND Open(HostEntry entry, void** instance, std::string* error) {
        const std::string camera = CameraName();
        std::vector<uint8_t> create(k0340cvw::kCreateBlockBytes, 0);
        std::memcpy(create.data() + 4, camera.data(), std::min<size_t>(camera.size(), 255));
        DWORD result = entry(nullptr, k0340cvw::CVW_CMD_CREATE, create.data());
        if (result != k0340cvw::CVW_OK) {
            *error = "the viewer made no instance for '" + camera + "' (code " + std::to_string(result) + ")";
            return nullptr;
        }
        std::memcpy(instance, create.data() + 260, sizeof *instance);
        std::vector<uint8_t> open(k0340cvw::kOpenWindowBlockBytes, 0);
        const uint32_t size = k0340cvw::kOpenWindowBlockBytes;
        std::memcpy(open.data() + 4, &size, 4);
        result = entry(*instance, k0340cvw::CVW_CMD_OPEN_WINDOW, open.data());
        HWND window = nullptr;
        std::memcpy(&window, open.data() + 8, sizeof window);
        if (result != k0340cvw::CVW_OK || window == nullptr) {
            *error = "the viewer opened no window (code " + std::to_string(result) + ")";
            return nullptr;
        }
        if (standalone_) {
            DWORD launch[1] = {};
            result = entry(*instance, k0340cvw::CVW_CMD_LAUNCH_STANDALONE, launch);
            if (result != k0340cvw::CVW_OK) {
                *error = "the standalone console was not started (code " + std::to_string(result) + ")";
                return window;
            }
        }
        return window;
    }

    const bool standalone_;
    std::thread thread_;
    std::atomic<bool> quit_{false};
    qk::win32::CodeModule* code_ = nullptr;  // the host thread's own
    mutable std::mutex lock_;
    std::condition_variable changed_;
    bool ready_ = false;
    HWND window_ = nullptr;
    std::string error_, viewer_;
};

// The camera manager is on the machine: its file in the system folder and
// its library loadable by that name, so that the console's registration
// reaches it.
void InstallManager() {
    char system[MAX_PATH] = {};
    GetSystemDirectoryA(system, MAX_PATH);
    const std::string file = std::string(system) + "\\LuCamMgr.dll";
    if (GetFileAttributesA(file.c_str()) == INVALID_FILE_ATTRIBUTES) {
        HANDLE h = CreateFileA(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) throw Failure("the camera manager cannot be put into " + file);
        CloseHandle(h);
    }
}

struct ManagerArguments : ConsoleArguments {
    bool standalone = false;
};

int CountConsoles() {
    int count = 0;
    EnumWindows(
        [](HWND hwnd, LPARAM p) -> BOOL {
            if (IsWindowVisible(hwnd) && Caption(hwnd) == kConsoleCaption) ++*reinterpret_cast<int*>(p);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&count));
    return count;
}

void RunManager(const ManagerArguments& a) {
    const std::vector<k0340cvw::ScriptCommand> commands = ReadScript(a);
    Stage stage(a);
    const std::string noiseGuardBefore = NoiseGuard();
    InstallManager();
    Host host(a.standalone);
    std::printf("%s\n", host.Viewer().c_str());
    const HWND window = host.Window();
    std::string failure = host.Error();
    if (window == nullptr) throw Failure(failure);
    if (failure.empty() && a.standalone) {
        // The standalone console's own window, beside the manager's.
        if (WaitForWindow(kConsoleCaption) == nullptr) failure = "the standalone console did not open beside the integrated one";
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the stacks open their first panel
    Pictures pictures;
    if (failure.empty()) failure = Replay(commands, a.script, stage, &pictures);
    if (failure.empty() && !a.screenshot.empty()) {
        try {
            SavePicture(IsWindow(window) ? window : nullptr, a.screenshot, &pictures);
        } catch (const Failure& f) {
            failure = f.what();
        }
    }
    if (failure.empty()) failure = WriteSheet(a.sheet, pictures);
    if (HasDisplay() && a.script.empty()) {
        while (IsWindow(window)) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    host.Quit();
    if (a.standalone) {
        // The standalone console closes with its Quit event, as the uninstaller closes it.
        HANDLE quit = OpenEventA(EVENT_MODIFY_STATE, FALSE, k0340cvw::kQuitEventName);
        if (quit != nullptr) {
            SetEvent(quit);
            CloseHandle(quit);
        }
        for (int i = 0; i < 500 && CountConsoles() > 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    stage.streamer.Stop();
    if (!failure.empty()) throw Failure(failure);
    std::printf("the camera streamed %llu frames while the manager hosted the console\n",
                static_cast<unsigned long long>(stage.streamer.Frames()));
    std::printf("NoiseGuard in the audio filter: %s at the start, %s at the end\n", noiseGuardBefore.c_str(),
                NoiseGuard().c_str());
}

void AddConsoleCommands(CLI::App& app) {
    k0340cvw::RegisterBuiltin();
    auto a = std::make_shared<ConsoleArguments>();
    CLI::App* console = app.add_subcommand(
        "console", "The camera console with the simulated camera plugged in (on the desktop with a display; headless a script drives it)");
    console->add_option("--root", a->root, "System root folder (the package is installed when missing)")->capture_default_str();
    console->add_option("--modules", a->modules, "Folder of the built modules, for the installation");
    console->add_option("--script", a->script,
                        "Replay FILE, one command a line: click ID, expand PANEL, collapse PANEL, drag ID VALUE, expect ID VALUE, "
                        "type TEXT, key NAME, wait MS, unplug, plug, next, screenshot FILE.png");
    console->add_option("--screenshot", a->screenshot, "Save the console window as FILE.png at the end");
    console->add_flag("--print-controls", a->printControls,
                      "Print the screen rectangles of the console window and its visible controls each time its "
                      "picture comes to rest with a new layout (for driving it from outside, as xdotool does on a "
                      "display)");
    console->add_option("--layout-pictures", a->layoutPictures,
                        "With --print-controls, save the window's picture of each printed layout as FOLDER/layout_N.png");
    console->add_option("--sheet", a->sheet, "Put every picture the run saved on one contact sheet FILE.png");
    console->callback([a] { RunConsole(*a); });

    qk::win32::RegisterStaticModule(u"LuCamMgr.dll", lucammgr::LookupExport);
    auto m = std::make_shared<ManagerArguments>();
    CLI::App* manager = app.add_subcommand(
        "cammgr", "The camera manager hosting the console in its window, and on request the standalone console beside it");
    manager->add_option("--root", m->root, "System root folder (the package is installed when missing)")->capture_default_str();
    manager->add_option("--modules", m->modules, "Folder of the built modules, for the installation");
    manager->add_flag("--standalone", m->standalone, "Also start the standalone console through the host interface");
    manager->add_option("--script", m->script, "Replay FILE as qk0340 console does, on the console window in front");
    manager->add_option("--screenshot", m->screenshot, "Save the integrated console window as FILE.png at the end");
    manager->add_option("--sheet", m->sheet, "Put every picture the run saved on one contact sheet FILE.png");
    manager->callback([m] { RunManager(*m); });
}

}  // namespace

QK_CLI_COMMAND(AddConsoleCommands);
