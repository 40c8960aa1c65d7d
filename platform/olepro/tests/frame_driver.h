// Driving a property frame from inside its modal loop: a step run once the
// frame shows, and the page that holds a control.
#pragma once

#include <functional>

#include "windows.h"
#include "winuser.h"

namespace qk::olepro::testing {

inline std::function<void()>& PendingStep() {
    static std::function<void()> step;
    return step;
}

// Runs `step` from the frame's own message loop once it is up.
inline void WhenTheFrameShows(std::function<void()> step) {
    PendingStep() = std::move(step);
    SetTimer(nullptr, 0, 20, [](HWND, UINT, UINT_PTR id, DWORD) {
        KillTimer(nullptr, id);
        PendingStep()();
    });
}

// The visible page of the frame that holds control `id`.
inline HWND PageHolding(HWND frame, int id) {
    for (HWND child = GetWindow(frame, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        if (GetDlgItem(child, id) && IsWindowVisible(child)) return child;
    }
    return nullptr;
}

}  // namespace qk::olepro::testing
