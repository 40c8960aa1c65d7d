// The seam between the entry points and the console window: the standalone
// window run modally, the integrated window made for a host and destroyed
// by its command, and the password dialogs of the parental entry.
#include <atomic>

#include "console/console_window.h"
#include "console/skin/resource_library.h"

namespace k0340cvw {
namespace {

INT_PTR RunModal(ConsoleState* state, const std::vector<std::string>& devices) {
    ConsoleWindow window(state, devices, ConsoleMode::Standalone);
    const INT_PTR result = window.RunModal();
    if (state != nullptr) state->windowHandle = nullptr;
    return result;
}

// The object belongs to the instance (state->window) until the host's
// destroy command hands it back here.
ConsoleWindow* CreateModeless(ConsoleState* state, const std::vector<std::string>& devices, HWND* handle) {
    auto* window = new ConsoleWindow(state, devices, ConsoleMode::Integrated);
    *handle = window->CreateModeless();
    if (*handle == nullptr) {
        delete window;
        return nullptr;
    }
    return window;
}

void Destroy(ConsoleWindow* window) {
    if (window == nullptr) return;
    if (HWND hwnd = window->Window(); hwnd != nullptr && IsWindow(hwnd)) SendMessageW(hwnd, WM_CLOSE, 0, 0);
    delete window;
}

// The parental entry calls these without the resource library loaded (its
// prompt does not load it), or with it loaded for its question: the
// dialogs load it for themselves either way (loading counts references).
INT_PTR ChangePassword(ConsoleState* state, bool firstTime) {
    console::ResourceLibrary resources;
    return RunChangePasswordDialog(nullptr, state, firstTime);
}

INT_PTR UnlockDialog(ConsoleState* state, int requestedState, bool silent) {
    console::ResourceLibrary resources;
    return RunUnlockDialog(nullptr, state, requestedState, silent);
}

const WindowPart kOwnPart = {RunModal, CreateModeless, Destroy, ChangePassword, UnlockDialog};
std::atomic<const WindowPart*> g_part{&kOwnPart};

}  // namespace

const WindowPart& TheWindowPart() { return *g_part.load(); }

const WindowPart* SetWindowPart(const WindowPart* part) { return g_part.exchange(part ? part : &kOwnPart); }

}  // namespace k0340cvw
