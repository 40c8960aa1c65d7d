// The console settings dialog: start-up and z-order choices kept per user,
// and the viewing lock of the current camera. The lock state is the
// driver's (privacy property); the password exists once "Reserved2" does.
#include "console/console_window.h"
#include "console/resources/resource_ids.h"
#include "console/skin/info_panel.h"
#include "winreg.h"

namespace k0340cvw {
namespace {

struct SettingsRun {
    ConsoleState* state;
    std::string device;
    HWND* open;
    LONG locked;
    bool lockKnown;
};

std::string Text(UINT id) {
    char buffer[256] = {};
    const int n = LoadStringA(console::ResourceModule(), id, buffer, sizeof buffer);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

void WriteUserValue(const char* name, DWORD value) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, kConsoleKeyPath, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS) {
        return;
    }
    RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    RegCloseKey(key);
}

bool ReadLockState(const std::string& device, LONG* locked) {
    DeviceSession session{};
    const bool opened = OpenDeviceSession(device.c_str(), &session);
    const bool read = opened && GetLockState(&session, locked);
    CloseDeviceSession(&session);
    return read;
}

void ShowLockText(HWND dialog, const SettingsRun* run) {
    SetDlgItemTextA(dialog, IDC_LOCK, Text(run->locked ? 57736 : 57735).c_str());
}

void LockClicked(HWND dialog, SettingsRun* run) {
    DWORD stored = 0;
    if (!StoredCheckValue(&stored)) {
        if (RunChangePasswordDialog(dialog, run->state, true) == IDOK) {
            EnableWindow(GetDlgItem(dialog, IDC_CHANGE_PASSWORD), TRUE);
            SetDlgItemTextA(dialog, IDC_LOCK, Text(57736).c_str());
        }
        return;
    }
    if (RunUnlockDialog(dialog, run->state, run->locked ? 0 : 1, false) == IDOK) {
        run->locked = run->locked ? 0 : 1;
        ShowLockText(dialog, run);
    }
}

INT_PTR CALLBACK SettingsProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        auto* run = reinterpret_cast<SettingsRun*>(lParam);
        if (run->open != nullptr) *run->open = dialog;
        run->lockKnown = ReadLockState(run->device, &run->locked);
        if (!run->lockKnown) {
            EnableWindow(GetDlgItem(dialog, IDC_LOCK), FALSE);
            EnableWindow(GetDlgItem(dialog, IDC_CHANGE_PASSWORD), FALSE);
        }
        DWORD stored = 0;
        if (!StoredCheckValue(&stored)) EnableWindow(GetDlgItem(dialog, IDC_CHANGE_PASSWORD), FALSE);
        ShowLockText(dialog, run);
        DWORD noAutoLaunch = 0, onTop = 0;
        ReadConsoleValue(HKEY_CURRENT_USER, "NoAutoLaunch", &noAutoLaunch);
        ReadConsoleValue(HKEY_CURRENT_USER, "AlwaysOnTop", &onTop);
        CheckDlgButton(dialog, IDC_AUTO_LAUNCH, noAutoLaunch ? BST_UNCHECKED : BST_CHECKED);
        CheckDlgButton(dialog, IDC_ALWAYS_ON_TOP, onTop ? BST_CHECKED : BST_UNCHECKED);
        return TRUE;
    }
    auto* run = reinterpret_cast<SettingsRun*>(GetWindowLongPtrW(dialog, DWLP_USER));
    if (run == nullptr) return FALSE;
    if (message == WM_CLOSE) {
        SendMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
        return TRUE;
    }
    if (message != WM_COMMAND) return FALSE;
    switch (LOWORD(wParam)) {
    case IDC_LOCK:
        LockClicked(dialog, run);
        return TRUE;
    case IDC_CHANGE_PASSWORD:
        RunChangePasswordDialog(dialog, run->state, false);
        return TRUE;
    case IDOK:
        WriteUserValue("NoAutoLaunch", IsDlgButtonChecked(dialog, IDC_AUTO_LAUNCH) == BST_CHECKED ? 0 : 1);
        WriteUserValue("AlwaysOnTop", IsDlgButtonChecked(dialog, IDC_ALWAYS_ON_TOP) == BST_CHECKED ? 1 : 0);
        EndDialog(dialog, IDOK);
        return TRUE;
    case IDCANCEL:
        ClosePasswordDialog();
        EndDialog(dialog, IDCANCEL);
        return TRUE;
    default:
        return FALSE;
    }
}

}  // namespace

INT_PTR RunSettingsDialog(HWND owner, ConsoleState* state, const std::string& device, HWND* open) {
    SettingsRun run{state, device, open, 0, false};
    const INT_PTR result = DialogBoxParamA(console::ResourceModule(), MAKEINTRESOURCEA(IDD_CONSOLE_SETTINGS), owner,
                                           SettingsProc, reinterpret_cast<LPARAM>(&run));
    if (open != nullptr) *open = nullptr;
    return result;
}

}  // namespace k0340cvw
