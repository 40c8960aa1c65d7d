// How the console is entered: the RunDLL32 exports (standalone console,
// password dialogs, two that do nothing) with their command words, and the
// host interface through which a camera manager runs the console inside its
// own process. Separate console processes find and steer each other only
// through the named events and mutexes.
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>

#include "console/k0340cvw.h"
#include "console/skin/resource_library.h"
#include "shellapi.h"
#include "winbase.h"

namespace k0340cvw {
namespace {

constexpr char kStay[] = "/stay ";
constexpr char kPrompt[] = "/prompt ";
constexpr UINT kIntroQuestion = 57743;
constexpr UINT kLockCaption = 57744;
constexpr int kIdYes = 6;

char Fold(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

bool ContainsIgnoringCase(const char* text, const char* word) {
    const size_t n = std::strlen(word);
    for (const char* p = text; *p; ++p) {
        size_t i = 0;
        while (i < n && p[i] && Fold(p[i]) == Fold(word[i])) ++i;
        if (i == n) return true;
    }
    return false;
}

// Opens the named event, creating it when no console has; signals it only
// when it already existed.
void SignalIfExists(const char* name) {
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, name);
    if (event == nullptr) return;
    if (GetLastError() == ERROR_ALREADY_EXISTS) SetEvent(event);
    CloseHandle(event);
}

std::vector<std::string> DeviceList(const ConsoleState* state) {
    std::vector<std::string> list;
    for (int i = 0; i < state->deviceCount && i < kMaxCameras; ++i) list.emplace_back(state->deviceNames[i]);
    return list;
}

// The standalone window, run modally with the resource library as the
// module's resource source; the window itself starts the restore watcher.
void RunWindowModally(ConsoleState* state) {
    console::ResourceLibrary resources;
    TheWindowPart().runModal(state, DeviceList(state));
}

// ---- Instances handed to hosts --------------------------------------------------------------
// Every live instance: a pointer a host invents, or one already destroyed,
// is refused without being read.
std::mutex g_instancesLock;  // guards g_instances
std::set<const void*> g_instances;

IntegratedInstance* LiveInstance(void* p) {
    std::lock_guard guard(g_instancesLock);
    if (g_instances.count(p) == 0) return nullptr;
    auto* instance = static_cast<IntegratedInstance*>(p);
    return instance->signature == kInstanceSignature ? instance : nullptr;
}

DWORD Create(uint8_t* block) {
    auto* instance = static_cast<IntegratedInstance*>(LocalAlloc(LPTR, sizeof(IntegratedInstance)));
    if (instance == nullptr) return CVW_E_OUT_OF_MEMORY;
    instance->signature = kInstanceSignature;
    if (EnumerateCameras(&instance->state) != CVW_OK) {
        instance->signature = 0;
        LocalFree(instance);
        return CVW_E_NO_DEVICE;
    }
    // The description field need not end within its 256 bytes.
    const char* description = reinterpret_cast<const char*>(block + 4);
    const size_t length = strnlen(description, 256);
    std::memcpy(instance->deviceName, description, length < kCameraNameBytes - 1 ? length : kCameraNameBytes - 1);
    void* handle = instance;
    std::memcpy(block + 260, &handle, sizeof handle);
    instance->state.integratedMutex = CreateMutexA(nullptr, TRUE, kIntegratedMutexName);
    std::lock_guard guard(g_instancesLock);
    g_instances.insert(instance);
    return CVW_OK;
}

DWORD Destroy(IntegratedInstance* instance) {
    {
        std::lock_guard guard(g_instancesLock);
        g_instances.erase(instance);
    }
    ConsoleState& state = instance->state;
    if (state.window != nullptr) TheWindowPart().destroy(state.window);
    state.window = nullptr;
    if (state.resourceLibrary != nullptr) FreeLibrary(state.resourceLibrary);
    state.resourceLibrary = nullptr;
    if (state.integratedMutex != nullptr) {
        ReleaseMutex(state.integratedMutex);
        CloseHandle(state.integratedMutex);
        state.integratedMutex = nullptr;
    }
    instance->signature = 0;
    LocalFree(instance);
    return CVW_OK;
}

DWORD LaunchStandalone(const IntegratedInstance* instance) {
    char parameters[300];
    std::snprintf(parameters, sizeof parameters, "%s,luCVWConsoleRunDLL32EP /stay %s", "K0340Cvw.dll",
                  instance->deviceName);
    SHELLEXECUTEINFOA info{};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NO_CONSOLE;
    info.lpVerb = "open";
    info.lpFile = "RunDLL32.exe";
    info.lpParameters = parameters;
    info.nShow = SW_SHOWNORMAL;
    // Not waited for: the standalone console lives on its own.
    if (ShellExecuteExA(&info) && info.hProcess != nullptr) CloseHandle(info.hProcess);
    return CVW_OK;
}

DWORD OpenWindow(IntegratedInstance* instance, uint8_t* block) {
    uint32_t size = 0;
    std::memcpy(&size, block + 4, sizeof size);
    if (size < kOpenWindowBlockBytes) return CVW_E_INVALID_PARAMETER;
    ConsoleState& state = instance->state;
    if (state.window != nullptr) return CVW_E_ALREADY_OPEN;
    state.currentDevice = instance->deviceName;
    // Kept for the window's whole life; the destroy command frees it.
    console::ResourceLibrary resources;
    HWND handle = nullptr;
    ConsoleWindow* window = TheWindowPart().createModeless(&state, DeviceList(&state), &handle);
    if (window == nullptr) return CVW_E_NOT_SUPPORTED;
    state.resourceLibrary = resources.Release();
    state.window = window;
    state.windowHandle = handle;
    std::memcpy(block + 8, &handle, sizeof handle);
    return CVW_OK;
}

size_t BlockBytes(uint32_t code) {
    switch (code) {
        case CVW_CMD_GET_VERSION: return 8;
        case CVW_CMD_GET_INFO: return kInfoBlockBytes;
        case CVW_CMD_CREATE: return kCreateBlockBytes;
        case CVW_CMD_DESTROY: return 4;
        case 0x1405:
        case 0x1406: return 136;
        case 0x1407: return 8;
        case CVW_CMD_LAUNCH_STANDALONE: return 4;
        case CVW_CMD_OPEN_WINDOW: return kOpenWindowBlockBytes;
        default: return 0;
    }
}

// Commands whose block is written beyond its result word.
bool WritesBlock(uint32_t code) {
    return code == CVW_CMD_GET_VERSION || code == CVW_CMD_GET_INFO || code == CVW_CMD_CREATE ||
           code == CVW_CMD_OPEN_WINDOW;
}

DWORD Dispatch(void* instancePointer, uint32_t code, uint8_t* block) {
    const size_t bytes = BlockBytes(code);
    if (bytes == 0) return CVW_E_NOT_SUPPORTED;
    IntegratedInstance* instance = nullptr;
    if (code > CVW_CMD_CREATE) {
        instance = LiveInstance(instancePointer);
        if (instance == nullptr) return CVW_E_INVALID_PARAMETER;
    }
    if (IsBadReadPtr(block, bytes) || (WritesBlock(code) && IsBadWritePtr(block, bytes))) {
        return CVW_E_INVALID_PARAMETER;
    }
    switch (code) {
        case CVW_CMD_GET_VERSION: {
            const uint32_t version = kConsoleVersion;
            std::memcpy(block + 4, &version, sizeof version);
            return CVW_OK;
        }
        case CVW_CMD_GET_INFO: {
            std::memset(block, 0, kInfoBlockBytes);
            const uint32_t one = 1, two = 2;
            std::memcpy(block + 4, &one, 4);
            std::memcpy(block + 8, &two, 4);
            return CVW_OK;
        }
        case CVW_CMD_CREATE: return Create(block);
        case CVW_CMD_DESTROY: return Destroy(instance);
        case CVW_CMD_LAUNCH_STANDALONE: return LaunchStandalone(instance);
        case CVW_CMD_OPEN_WINDOW: return OpenWindow(instance, block);
        default: return CVW_E_NOT_SUPPORTED;  // the reserved codes: validated only
    }
}

}  // namespace

ConsoleState* NewConsoleState() {
    auto* state = static_cast<ConsoleState*>(LocalAlloc(LPTR, sizeof(ConsoleState)));
    if (state == nullptr) return nullptr;
    EnumerateCameras(state);
    state->currentDevice = state->deviceNames[0];
    return state;
}

void FreeConsoleState(ConsoleState* state) {
    for (HANDLE h : {state->closeEvent, state->quitEvent, state->integratedMutex, state->restoreEvent,
                     state->watcherThread, state->deviceLock}) {
        if (h != nullptr) CloseHandle(h);
    }
    LocalFree(state);
}

char* FindCamera(ConsoleState* state, const char* name) {
    for (int i = 0; i < state->deviceCount && i < kMaxCameras; ++i) {
        const char* a = state->deviceNames[i];
        const char* b = name;
        while (*a && *b && Fold(*a) == Fold(*b)) ++a, ++b;
        if (*a == 0 && *b == 0) return state->deviceNames[i];
    }
    return nullptr;
}

}  // namespace k0340cvw

using namespace k0340cvw;

extern "C" DWORD luCVWEntryPoint(void* instance, uint32_t code, void* parameters) {
    if (parameters == nullptr) return CVW_E_INVALID_PARAMETER;
    auto* block = static_cast<uint8_t*>(parameters);
    const DWORD result = Dispatch(instance, code, block);
    if (!IsBadWritePtr(block, sizeof(uint32_t))) std::memcpy(block, &result, sizeof result);
    return result;
}

extern "C" void luCVWConsoleRunDLL32EP(HWND, HINSTANCE, LPSTR commandLine, int) {
    ConsoleState* state = NewConsoleState();
    if (state == nullptr) return;
    const char* line = commandLine ? commandLine : "";
    bool stay = false;
    bool run = true;
    if (*line != 0) {
        if (ContainsIgnoringCase(line, "/closed")) {
            SignalIfExists(kCloseEventName);
            run = false;
        } else if (ContainsIgnoringCase(line, "/quit")) {
            SignalIfExists(kQuitEventName);
            run = false;
        } else {
            const char* name = line;
            if (ContainsIgnoringCase(line, "/stay")) {
                stay = true;
                // The name follows "/stay " counted from the line's start,
                // wherever "/stay" itself stands.
                name = std::strlen(line) >= sizeof kStay - 1 ? line + sizeof kStay - 1 : "";
            }
            char* camera = FindCamera(state, name);
            if (camera != nullptr) state->currentDevice = camera;
            if (camera != nullptr && !stay) {
                // An auto-start: not while a host shows the console, not when
                // the user turned it off; it obeys "/closed".
                HANDLE mutex = CreateMutexA(nullptr, FALSE, kIntegratedMutexName);
                const bool hosted = mutex != nullptr && GetLastError() == ERROR_ALREADY_EXISTS;
                if (mutex != nullptr) CloseHandle(mutex);
                DWORD noAutoLaunch = 0;
                if (hosted || (ReadConsoleValue(HKEY_CURRENT_USER, "NoAutoLaunch", &noAutoLaunch) && noAutoLaunch)) {
                    run = false;
                } else {
                    state->closeEvent = CreateEventA(nullptr, FALSE, FALSE, kCloseEventName);
                    if (state->closeEvent == nullptr) run = false;
                }
            }
        }
    }
    if (run && !SessionMayShowUi()) run = false;
    if (run) {
        state->restoreEvent = CreateEventA(nullptr, FALSE, FALSE, kRestoreEventName);
        if (state->restoreEvent == nullptr) {
            run = false;
        } else if (GetLastError() == ERROR_ALREADY_EXISTS) {
            SetEvent(state->restoreEvent);  // the running console comes to the front
            run = false;
        }
    }
    if (run) {
        state->quitEvent = CreateEventA(nullptr, FALSE, FALSE, kQuitEventName);
        if (state->quitEvent == nullptr || GetLastError() == ERROR_ALREADY_EXISTS) run = false;
    }
    if (run) {
        // A handle of this thread's own: the watcher closes those in the
        // state when it ends.
        HANDLE quit = CreateEventA(nullptr, FALSE, FALSE, kQuitEventName);
        RunWindowModally(state);
        if (quit != nullptr) {
            SetEvent(quit);
            CloseHandle(quit);
        }
        if (state->watcherThread != nullptr) {
            WaitForSingleObject(state->watcherThread, INFINITE);
            CloseHandle(state->watcherThread);
            state->watcherThread = nullptr;
        }
    }
    FreeConsoleState(state);
}

extern "C" void luCVWParentalRunDLL32EP(HWND, HINSTANCE, LPSTR commandLine, int) {
    if (!SessionMayShowUi()) return;
    HANDLE mutex = CreateMutexA(nullptr, TRUE, kPasswordMutexName);
    if (mutex == nullptr) return;
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(mutex);
        return;
    }
    ConsoleState* state = NewConsoleState();
    const char* line = commandLine ? commandLine : "";
    if (state != nullptr) {
        if (ContainsIgnoringCase(line, "/intro")) {
            console::ResourceLibrary resources;
            char question[512] = {}, caption[128] = {};
            // Without the resource library there is nothing to ask with.
            if (resources.Loaded() &&
                LoadStringA(reinterpret_cast<HINSTANCE>(resources.Module()), kIntroQuestion, question,
                            sizeof question) > 0 &&
                LoadStringA(reinterpret_cast<HINSTANCE>(resources.Module()), kLockCaption, caption,
                            sizeof caption) > 0 &&
                MessageBoxA(nullptr, question, caption, MB_YESNO | MB_ICONQUESTION) == kIdYes) {
                TheWindowPart().changePassword(state, true);
            }
        } else if (ContainsIgnoringCase(line, "/prompt")) {
            const char* name = std::strlen(line) >= sizeof kPrompt - 1 ? line + sizeof kPrompt - 1 : "";
            char* camera = FindCamera(state, name);
            if (camera != nullptr) {
                state->currentDevice = camera;
                TheWindowPart().unlock(state, 1, true);
            }
        }
        FreeConsoleState(state);
    }
    ReleaseMutex(mutex);
    CloseHandle(mutex);
}

extern "C" void luCVWIntroRunDLL32EP(HWND, HINSTANCE, LPSTR, int) {}

extern "C" void luCVWUtilityRunDLL32EP(HWND window, HINSTANCE instance, LPSTR commandLine, int show) {
    luCVWIntroRunDLL32EP(window, instance, commandLine, show);
}
