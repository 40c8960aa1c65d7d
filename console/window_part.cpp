// The seam between the entry points and the console window. UNFINISHED: the
// console window, its integrated form and the password dialogs are not
// written yet. Until they are, every function here answers as a window that
// cannot be made would (no window, nothing changed), so the entry points run
// their whole course around them.
#include <atomic>

#include "console/k0340cvw.h"

namespace k0340cvw {
namespace {

// Unfinished: the standalone console window.
INT_PTR UnfinishedRunModal(ConsoleState*, const std::vector<std::string>&) { return -1; }

// Unfinished: the integrated console window.
ConsoleWindow* UnfinishedCreateModeless(ConsoleState*, const std::vector<std::string>&, HWND* handle) {
    *handle = nullptr;
    return nullptr;
}

void UnfinishedDestroy(ConsoleWindow*) {}

// Unfinished: the change-password and unlock dialogs.
INT_PTR UnfinishedChangePassword(ConsoleState*, bool) { return -1; }
INT_PTR UnfinishedUnlock(ConsoleState*, int, bool) { return -1; }

const WindowPart kOwnPart = {UnfinishedRunModal, UnfinishedCreateModeless, UnfinishedDestroy,
                             UnfinishedChangePassword, UnfinishedUnlock};
std::atomic<const WindowPart*> g_part{&kOwnPart};

}  // namespace

const WindowPart& TheWindowPart() { return *g_part.load(); }

const WindowPart* SetWindowPart(const WindowPart* part) { return g_part.exchange(part ? part : &kOwnPart); }

}  // namespace k0340cvw
