// The stand-in for the console window: a plain top-level window that starts
// the restore watcher as the console window does in standalone mode, pumps
// its messages until it is closed, and records what it was given.
#include <mutex>

#include "console/skin/info_panel.h"
#include "console/tests/console_fixture.h"

namespace k0340cvw::testing {
namespace {

StandInLog* g_log = new StandInLog;

LRESULT StandInProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_CLOSE) {
        DestroyWindow(hwnd);
        return 0;
    }
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

HWND MakeWindow() {
    // Classes belong to the machine's desktop: each test's machine needs it
    // again (a second registration on the same machine fails harmlessly).
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = StandInProc;
    wc.lpszClassName = u"QkConsoleStandIn";
    RegisterClassExW(&wc);
    return CreateWindowExW(0, u"QkConsoleStandIn", u"console", WS_POPUP | WS_VISIBLE, 0, 0, 100, 100, nullptr,
                           nullptr, nullptr, nullptr);
}

INT_PTR RunModal(ConsoleState* state, const std::vector<std::string>&) {
    StandInLog& log = Log();
    log.currentDevice = state->currentDevice ? state->currentDevice : "";
    log.closeEventSeen = state->closeEvent != nullptr;
    log.resourcesLoaded = console::ResourceModule() != nullptr;
    HWND window = MakeWindow();
    if (window == nullptr) return -1;
    state->windowHandle = window;
    StartRestoreWatcher(state);
    log.window = window;
    ++log.modalRuns;
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
    log.window = nullptr;
    state->windowHandle = nullptr;
    return 1;
}

ConsoleWindow* CreateModeless(ConsoleState* state, const std::vector<std::string>&, HWND* handle) {
    *handle = MakeWindow();
    if (*handle == nullptr) return nullptr;
    ++Log().modelessWindows;
    Log().currentDevice = state->currentDevice ? state->currentDevice : "";
    return reinterpret_cast<ConsoleWindow*>(*handle);
}

void Destroy(ConsoleWindow* window) {
    ++Log().destroyed;
    DestroyWindow(reinterpret_cast<HWND>(window));
}

INT_PTR ChangePassword(ConsoleState*, bool) { return 1; }

INT_PTR UnlockDialog(ConsoleState* state, int requestedState, bool silent) {
    StandInLog& log = Log();
    log.currentDevice = state->currentDevice ? state->currentDevice : "";
    log.lastRequestedState = requestedState;
    log.lastSilent = silent;
    ++log.unlocks;
    return 1;
}

const WindowPart kStandIn = {RunModal, CreateModeless, Destroy, ChangePassword, UnlockDialog};

}  // namespace

StandInLog& Log() { return *g_log; }

void UseStandInWindow(bool use) {
    if (use) {
        delete g_log;
        g_log = new StandInLog;
    }
    SetWindowPart(use ? &kStandIn : nullptr);
}

}  // namespace k0340cvw::testing
