// Where the console may show itself, and the thread through which a running
// standalone console obeys later starts: a second start brings it to the
// front, "/quit" and "/closed" (through their events) close it.
#include "console/k0340cvw.h"
#include "winbase.h"
#include "winuser.h"
#include "wtsapi32.h"

namespace k0340cvw {
namespace {

using ActiveConsoleSessionProc = DWORD (*)();
using ProcessSessionProc = BOOL (*)(DWORD processId, DWORD* sessionId);

template <class F>
F Proc(HMODULE module, const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

constexpr USHORT kRemoteDesktopProtocol = 2;

}  // namespace

bool SessionMayShowUi() {
    HMODULE wts = LoadLibraryA("Wtsapi32.dll");
    OSVERSIONINFOA version{};
    version.dwOSVersionInfoSize = sizeof version;
    if (!GetVersionExA(&version)) {
        if (wts) FreeLibrary(wts);
        return false;
    }
    // Systems before terminal services in every edition have one session.
    const bool sessions = version.dwPlatformId == VER_PLATFORM_WIN32_NT &&
                          (version.dwMajorVersion > 5 || (version.dwMajorVersion == 5 && version.dwMinorVersion >= 1));
    if (!sessions || wts == nullptr) {
        if (wts) FreeLibrary(wts);
        return true;
    }
    HMODULE kernel = LoadLibraryA("Kernel32.dll");
    auto activeSession = kernel ? Proc<ActiveConsoleSessionProc>(kernel, "WTSGetActiveConsoleSessionId") : nullptr;
    auto processSession = kernel ? Proc<ProcessSessionProc>(kernel, "ProcessIdToSessionId") : nullptr;
    auto query = Proc<WTSQuerySessionInformationAProc>(wts, "WTSQuerySessionInformationA");
    auto release = Proc<WTSFreeMemoryProc>(wts, "WTSFreeMemory");
    bool answer = false;
    LPSTR buffer = nullptr;
    DWORD bytes = 0;
    if (activeSession && processSession && query && release &&
        query(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION, WTSClientProtocolType, &buffer,
              &bytes)) {
        USHORT protocol = 0;
        if (buffer != nullptr && bytes >= sizeof protocol) protocol = *reinterpret_cast<const USHORT*>(buffer);
        release(buffer);
        if (protocol == kRemoteDesktopProtocol) {
            answer = true;
        } else {
            DWORD own = 0;
            answer = processSession(GetCurrentProcessId(), &own) && own == activeSession();
        }
    }
    if (kernel) FreeLibrary(kernel);
    FreeLibrary(wts);
    return answer;
}

DWORD RestoreWatcher(LPVOID parameter) {
    auto* state = static_cast<ConsoleState*>(parameter);
    HANDLE events[3] = {state->quitEvent, state->restoreEvent, state->closeEvent};
    const DWORD count = state->closeEvent ? 3 : 2;
    DWORD which = WaitForMultipleObjects(count, events, FALSE, INFINITE);
    while (which == WAIT_OBJECT_0 + 1) {
        HWND window = state->windowHandle;
        if (window != nullptr) {
            if (IsIconic(window)) ShowWindow(window, SW_RESTORE);
            // The foreground can only be handed over by a thread sharing the
            // window's input state.
            const DWORD windowThread = GetWindowThreadProcessId(window, nullptr);
            AttachThreadInput(GetCurrentThreadId(), windowThread, TRUE);
            SetForegroundWindow(window);
            SetActiveWindow(window);
            AttachThreadInput(GetCurrentThreadId(), windowThread, FALSE);
        }
        which = WaitForMultipleObjects(count, events, FALSE, INFINITE);
    }
    // The window thread closes nothing of these until this thread has ended.
    for (HANDLE* h : {&state->quitEvent, &state->restoreEvent, &state->closeEvent}) {
        if (*h != nullptr) CloseHandle(*h);
        *h = nullptr;
    }
    HWND window = state->windowHandle;
    if (window != nullptr && IsWindow(window)) SendMessageW(window, WM_CLOSE, 0, 0);
    return 0;
}

bool StartRestoreWatcher(ConsoleState* state) {
    state->watcherThread = CreateThread(nullptr, 0, RestoreWatcher, state, 0, nullptr);
    return state->watcherThread != nullptr;
}

}  // namespace k0340cvw
