// The two password dialogs of the viewing lock. The checks and what goes to
// the driver live in lock.cpp; here are only the dialogs around them: their
// texts by mode, the messages, which field is emptied and focused.
#include <atomic>
#include <string>

#include "console/console_window.h"
#include "console/resources/resource_ids.h"
#include "console/skin/info_panel.h"

namespace k0340cvw {
namespace {

constexpr UINT kLockCaption = 57744;
// The password dialog on the screen, if any: the settings dialog closes it
// when it is closed itself.
std::atomic<HWND> g_open{nullptr};

std::string Text(UINT id) {
    char buffer[512] = {};
    const int n = LoadStringA(console::ResourceModule(), id, buffer, sizeof buffer);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

std::string FieldText(HWND dialog, int id) {
    char buffer[256] = {};
    GetDlgItemTextA(dialog, id, buffer, sizeof buffer);
    return buffer;
}

void Tell(HWND dialog, UINT message, UINT icon) {
    MessageBoxA(dialog, Text(message).c_str(), Text(kLockCaption).c_str(), MB_OK | icon);
}

struct PasswordRun {
    ConsoleState* state;
    bool firstTime;
    int requestedState;
    bool silent;
};

std::string Device(const PasswordRun* run) {
    return run->state != nullptr && run->state->currentDevice != nullptr ? run->state->currentDevice : "";
}

INT_PTR CALLBACK ChangePasswordProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        g_open = dialog;
        const auto* run = reinterpret_cast<const PasswordRun*>(lParam);
        SetWindowTextA(dialog, Text(run->firstTime ? 57728 : 57730).c_str());
        SetDlgItemTextA(dialog, IDC_PASSWORD_PROMPT, Text(run->firstTime ? 57727 : 57729).c_str());
        EnableWindow(GetDlgItem(dialog, IDC_OLD_PASSWORD), run->firstTime ? FALSE : TRUE);
        SetFocus(GetDlgItem(dialog, run->firstTime ? IDC_NEW_PASSWORD : IDC_OLD_PASSWORD));
        // Once more from the dialog's own loop: our dialog manager gives a modal
        // dialog's focus to its first tab stop when it shows it, whatever
        // WM_INITDIALOG chose, and that is the old password's field, disabled
        // the first time. Through WM_NEXTDLGCTL it is also the control the
        // dialog gives the focus back to when it is activated again.
        PostMessageW(dialog, WM_NEXTDLGCTL,
                     reinterpret_cast<WPARAM>(GetDlgItem(dialog, run->firstTime ? IDC_NEW_PASSWORD : IDC_OLD_PASSWORD)),
                     TRUE);
        return FALSE;
    }
    const auto* run = reinterpret_cast<const PasswordRun*>(GetWindowLongPtrW(dialog, DWLP_USER));
    if (run == nullptr || message != WM_COMMAND) return FALSE;
    if (LOWORD(wParam) == IDCANCEL) {
        EndDialog(dialog, IDCANCEL);
        return TRUE;
    }
    if (LOWORD(wParam) != IDOK) return FALSE;
    const std::string oldPassword = FieldText(dialog, IDC_OLD_PASSWORD);
    const std::string newPassword = FieldText(dialog, IDC_NEW_PASSWORD);
    const std::string confirmation = FieldText(dialog, IDC_CONFIRM_PASSWORD);
    const PasswordVerdict verdict =
        CheckNewPassword(run->firstTime, oldPassword.c_str(), newPassword.c_str(), confirmation.c_str());
    if (verdict.focus != PasswordField::None) {
        Tell(dialog, verdict.message, MB_ICONWARNING);
        if (verdict.clearNew) SetDlgItemTextA(dialog, IDC_NEW_PASSWORD, "");
        const int field = verdict.focus == PasswordField::Old   ? IDC_OLD_PASSWORD
                          : verdict.focus == PasswordField::New ? IDC_NEW_PASSWORD
                                                                : IDC_CONFIRM_PASSWORD;
        SetFocus(GetDlgItem(dialog, field));
        return TRUE;
    }
    Tell(dialog, verdict.message, MB_ICONINFORMATION);
    SendNewPassword(Device(run).c_str(), run->firstTime, newPassword.c_str());
    EndDialog(dialog, IDOK);
    return TRUE;
}

INT_PTR CALLBACK UnlockProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        g_open = dialog;
        const auto* run = reinterpret_cast<const PasswordRun*>(lParam);
        const UINT title = run->silent ? 57725 : (run->requestedState == 0 ? 57738 : 57731);
        SetWindowTextA(dialog, Text(title).c_str());
        SetDlgItemTextA(dialog, IDC_PASSWORD_PROMPT, Text(title + 1).c_str());
        if (run->silent || run->requestedState == 1) ShowWindow(GetDlgItem(dialog, IDC_PASSWORD_EXTRA), SW_HIDE);
        SetFocus(GetDlgItem(dialog, IDC_PASSWORD));
        return FALSE;
    }
    const auto* run = reinterpret_cast<const PasswordRun*>(GetWindowLongPtrW(dialog, DWLP_USER));
    if (run == nullptr || message != WM_COMMAND) return FALSE;
    if (LOWORD(wParam) == IDCANCEL) {
        EndDialog(dialog, IDCANCEL);
        return TRUE;
    }
    if (LOWORD(wParam) != IDOK) return FALSE;
    const std::string password = FieldText(dialog, IDC_PASSWORD);
    const UnlockVerdict verdict = Unlock(Device(run).c_str(), password.c_str(), run->requestedState, run->silent);
    if (!verdict.accepted) {
        Tell(dialog, verdict.message, MB_ICONWARNING);
        SetDlgItemTextA(dialog, IDC_PASSWORD, "");
        SetFocus(GetDlgItem(dialog, IDC_PASSWORD));
        return TRUE;
    }
    if (verdict.message != 0) Tell(dialog, verdict.message, MB_ICONINFORMATION);
    EndDialog(dialog, IDOK);
    return TRUE;
}

}  // namespace

INT_PTR RunChangePasswordDialog(HWND owner, ConsoleState* state, bool firstTime) {
    PasswordRun run{state, firstTime, 0, false};
    const INT_PTR result = DialogBoxParamA(console::ResourceModule(), MAKEINTRESOURCEA(IDD_CHANGE_PASSWORD), owner,
                                           ChangePasswordProc, reinterpret_cast<LPARAM>(&run));
    g_open = nullptr;
    return result;
}

INT_PTR RunUnlockDialog(HWND owner, ConsoleState* state, int requestedState, bool silent) {
    PasswordRun run{state, false, requestedState, silent};
    const INT_PTR result = DialogBoxParamA(console::ResourceModule(), MAKEINTRESOURCEA(IDD_UNLOCK), owner, UnlockProc,
                                           reinterpret_cast<LPARAM>(&run));
    g_open = nullptr;
    return result;
}

HWND OpenPasswordDialog() { return g_open.load(); }

void ClosePasswordDialog() {
    if (HWND open = g_open.load(); open != nullptr && IsWindow(open)) EndDialog(open, IDCANCEL);
}

}  // namespace k0340cvw
