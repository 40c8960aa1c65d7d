// The camera lock's password as the console handles it: never kept or sent
// as text, only as a 32-bit check value. The console hands a new value to
// the capture driver through the parental-lock property; the driver stores
// it as "Reserved2" under the 32-bit view of the product key, where the
// console reads it back. The console never writes "Reserved2" itself.
#include <cstring>

#include "capture/k0340_props.h"
#include "console/k0340cvw.h"

namespace k0340cvw {
namespace {

// Messages of the password dialogs (strings of the resource library).
constexpr UINT kMsgPasswordsDiffer = 57720;
constexpr UINT kMsgOldPasswordWrong = 57721;
constexpr UINT kMsgPasswordMissing = 57722;
constexpr UINT kMsgPasswordChanged = 57717;
constexpr UINT kMsgPasswordSetFirstTime = 57719;
constexpr UINT kMsgUnlockWrong = 57737;
constexpr UINT kMsgLockOn = 57740;
constexpr UINT kMsgLockOff = 57741;
constexpr UINT kMsgPasswordShort = 57742;

// Opens the console key for query and set, else for query only: a user
// without write rights on the machine key can still read it.
bool OpenConsoleKey(HKEY root, HKEY* key) {
    const REGSAM view = root == HKEY_LOCAL_MACHINE ? KEY_WOW64_32KEY : 0;
    if (RegCreateKeyExA(root, kConsoleKeyPath, 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE | view, nullptr, key,
                        nullptr) == ERROR_SUCCESS) {
        return true;
    }
    return RegCreateKeyExA(root, kConsoleKeyPath, 0, nullptr, 0, KEY_QUERY_VALUE | view, nullptr, key, nullptr) ==
           ERROR_SUCCESS;
}

bool WithSession(const char* device, bool (*work)(DeviceSession*, const void*), const void* context) {
    DeviceSession session;
    bool ok = OpenDeviceSession(device, &session) && work(&session, context);
    CloseDeviceSession(&session);
    return ok;
}

}  // namespace

uint32_t PasswordCheckValue(const char* password) {
    // FNV-1a (32 bits) over a fixed prefix and the password's bytes: cheap,
    // one-way enough for a viewing lock whose store the user can read, and
    // the prefix keeps it from matching a bare hash of the same text.
    uint32_t h = 2166136261u;
    auto mix = [&h](const char* text) {
        for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
            h ^= *p;
            h *= 16777619u;
        }
    };
    mix("QK0340 lock:");
    mix(password ? password : "");
    return h;
}

bool ReadConsoleValue(HKEY root, const char* name, DWORD* value) {
    HKEY key = nullptr;
    if (!OpenConsoleKey(root, &key)) return false;
    DWORD type = 0, data = 0, bytes = sizeof data;
    const bool ok = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &bytes) ==
                        ERROR_SUCCESS &&
                    type == REG_DWORD && bytes == sizeof data;
    RegCloseKey(key);
    if (ok) *value = data;
    return ok;
}

bool StoredCheckValue(DWORD* value) { return ReadConsoleValue(HKEY_LOCAL_MACHINE, "Reserved2", value); }

PasswordVerdict CheckNewPassword(bool firstTime, const char* oldPassword, const char* newPassword,
                                 const char* confirmation) {
    if (!firstTime) {
        DWORD stored = 0;
        if (oldPassword == nullptr || *oldPassword == 0 || !StoredCheckValue(&stored) ||
            PasswordCheckValue(oldPassword) != stored) {
            return {kMsgOldPasswordWrong, PasswordField::Old, true};
        }
    }
    const char* fresh = newPassword ? newPassword : "";
    const char* again = confirmation ? confirmation : "";
    if (*fresh == 0 || *again == 0) return {kMsgPasswordMissing, PasswordField::Confirm, false};
    if (std::strlen(fresh) < kMinimumPasswordLength || std::strlen(again) < kMinimumPasswordLength) {
        return {kMsgPasswordShort, PasswordField::New, false};
    }
    if (std::strcmp(fresh, again) != 0) return {kMsgPasswordsDiffer, PasswordField::New, false};
    return {firstTime ? kMsgPasswordSetFirstTime : kMsgPasswordChanged, PasswordField::None, false};
}

bool SendNewPassword(const char* device, bool firstTime, const char* newPassword) {
    struct Request {
        bool firstTime;
        uint32_t checkValue;
    } request{firstTime, PasswordCheckValue(newPassword)};
    return WithSession(
        device,
        [](DeviceSession* s, const void* c) {
            auto* r = static_cast<const Request*>(c);
            if (r->firstTime && !SendLockCommand(s, K0340_LOCK_DISABLE, 0)) return false;
            return SendLockCommand(s, K0340_LOCK_STORE_CHECK_VALUE, r->checkValue);
        },
        &request);
}

UnlockVerdict Unlock(const char* device, const char* password, int requestedState, bool silent) {
    DWORD stored = 0;
    if (password == nullptr || *password == 0 || !StoredCheckValue(&stored) || PasswordCheckValue(password) != stored) {
        return {false, kMsgUnlockWrong};
    }
    const bool sent = WithSession(
        device,
        [](DeviceSession* s, const void* c) {
            if (*static_cast<const int*>(c) == 0) return SendLockCommand(s, K0340_LOCK_DISABLE, 0);
            return SendLockCommand(s, K0340_LOCK_ENABLE, 0) && SendLockCommand(s, K0340_LOCK_RELEASE, 0);
        },
        &requestedState);
    // A camera that cannot be reached keeps its lock; the dialog still
    // closes, as the password was right.
    (void)sent;
    return {true, silent ? 0u : (requestedState == 0 ? kMsgLockOff : kMsgLockOn)};
}

}  // namespace k0340cvw
