// The panel base and the cross-window notifier. A panel's dialog finds its
// object through DWLP_USER; the notifier's worker runs the panel's refresh
// on its own thread, which is why panels touch their controls by message.
#include "console/panel.h"

#include <utility>

#include "synchapi.h"

namespace k0340cvw {

std::string PanelEventName(ConsoleMode mode, const std::string& title) {
    return (mode == ConsoleMode::Standalone ? kStandaloneEventPrefix : kIntegratedEventPrefix) + title;
}

namespace {

constexpr ConsoleMode Other(ConsoleMode mode) {
    return mode == ConsoleMode::Standalone ? ConsoleMode::Integrated : ConsoleMode::Standalone;
}

// Open-or-create, signal only when someone made it before us, close.
void SignalIfOpen(const std::string& name) {
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, name.c_str());
    if (event == nullptr) return;
    if (GetLastError() == ERROR_ALREADY_EXISTS) SetEvent(event);
    CloseHandle(event);
}

void SignalBothModes(const std::string& title) {
    SignalIfOpen(PanelEventName(ConsoleMode::Standalone, title));
    SignalIfOpen(PanelEventName(ConsoleMode::Integrated, title));
}

}  // namespace

std::unique_ptr<PanelNotifier> PanelNotifier::Create(const std::string& title, ConsoleMode mode,
                                                     std::function<void()> refresh) {
    std::unique_ptr<PanelNotifier> notifier(new PanelNotifier);
    notifier->mode_ = mode;
    notifier->title_ = title;
    notifier->refresh_ = std::move(refresh);
    notifier->named_ = CreateEventA(nullptr, FALSE, FALSE, PanelEventName(mode, title).c_str());
    if (notifier->named_ == nullptr) return nullptr;
    if (GetLastError() == ERROR_ALREADY_EXISTS) return nullptr;  // the destructor closes it
    notifier->stop_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (notifier->stop_ == nullptr) return nullptr;
    notifier->thread_ = CreateThread(nullptr, 0, Worker, notifier.get(), 0, nullptr);
    if (notifier->thread_ == nullptr) return nullptr;
    return notifier;
}

PanelNotifier::~PanelNotifier() {
    if (thread_ != nullptr) {
        SetEvent(stop_);
        WaitForSingleObject(thread_, INFINITE);
        CloseHandle(thread_);
    }
    if (stop_ != nullptr) CloseHandle(stop_);
    if (named_ != nullptr) CloseHandle(named_);
}

DWORD WINAPI PanelNotifier::Worker(LPVOID self) {
    auto* notifier = static_cast<PanelNotifier*>(self);
    const HANDLE events[2] = {notifier->named_, notifier->stop_};
    while (WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_OBJECT_0) {
        if (notifier->refresh_) notifier->refresh_();
    }
    return 0;
}

void PanelNotifier::Notify() const { Notify(title_, mode_); }

void PanelNotifier::Notify(const std::string& title, ConsoleMode mode) {
    SignalIfOpen(PanelEventName(Other(mode), title));
    if (title.find(kFaceTrackingPanelTitle) != std::string::npos) SignalBothModes(kPanTiltPanelTitle);
    if (title.find(kFaceTrackingPanelTitle) != std::string::npos || title.find(kPanTiltPanelTitle) != std::string::npos) {
        SignalBothModes(kViewAdvancedTitle);
    }
}

Panel::Panel(std::string title, int templateId) : title_(std::move(title)), templateId_(templateId) {}

Panel::~Panel() {
    // The notifier's thread calls into this object: it ends first.
    notifier_.reset();
    if (HWND hwnd = hwnd_.exchange(nullptr); hwnd != nullptr && IsWindow(hwnd)) {
        SetWindowLongPtrW(hwnd, DWLP_USER, 0);
        DestroyWindow(hwnd);
    }
}

bool Panel::Create(HWND stack, HMODULE resources, ConsoleMode mode) {
    mode_ = mode;
    if (CreateDialogParamA(resources, MAKEINTRESOURCEA(templateId_), stack, DialogProc, reinterpret_cast<LPARAM>(this)) ==
        nullptr) {
        return false;
    }
    notifier_ = PanelNotifier::Create(title_, mode, [this] { Refresh(); });
    return true;
}

void Panel::SetDevice(const std::string& description) {
    {
        std::lock_guard guard(lock_);
        device_ = description;
    }
    ReadControls();
}

void Panel::Refresh() {
    if (HWND hwnd = hwnd_.load(); hwnd != nullptr && IsWindowVisible(hwnd)) ReadControls();
}

void Panel::Close() {
    if (HWND hwnd = hwnd_.load(); hwnd != nullptr && IsWindow(hwnd)) SendMessageW(hwnd, WM_CLOSE, 0, 0);
}

std::string Panel::Device() const {
    std::lock_guard guard(lock_);
    return device_;
}

void Panel::NotifyChange() const {
    if (notifier_) {
        notifier_->Notify();
    } else {
        PanelNotifier::Notify(title_, mode_);
    }
}

void Panel::BroadcastSettingsChanged(WPARAM code) {
    DWORD recipients = BSM_APPLICATIONS;
    BroadcastSystemMessageW(BSF_POSTMESSAGE, &recipients, RegisterWindowMessageA(kSettingsChangedMessage), code, 0);
}

INT_PTR Panel::HandleMessage(UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_SHOWWINDOW:
        if (wParam) ReadControls();
        return FALSE;
    case WM_CLOSE:
        DestroyWindow(hwnd_.load());
        return TRUE;
    default:
        return FALSE;
    }
}

INT_PTR CALLBACK Panel::DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        auto* panel = reinterpret_cast<Panel*>(lParam);
        SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
        panel->hwnd_ = hwnd;
        return panel->HandleMessage(message, wParam, lParam);
    }
    auto* panel = reinterpret_cast<Panel*>(GetWindowLongPtrW(hwnd, DWLP_USER));
    if (panel == nullptr) return FALSE;
    const INT_PTR result = panel->HandleMessage(message, wParam, lParam);
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrW(hwnd, DWLP_USER, 0);
        panel->hwnd_ = nullptr;
    }
    return result;
}

}  // namespace k0340cvw
