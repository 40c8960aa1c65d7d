// K0340Cvw's private declarations, grouped by file: the state blocks of a
// console run and of a host's instance, the device access layer (camera
// list, device sessions, control records), the entry points and host
// interface, and the registration.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "dshow.h"
#include "strmif.h"
#include "windows.h"
#include "winuser.h"

namespace k0340cvw {

// ---- Names the console's processes and hosts share ------------------------------------------
inline constexpr char kIntegratedMutexName[] = "QK0340 Integrated Console Mutex";
inline constexpr char kRestoreEventName[] = "QK0340 Standalone Console Restore Event";
inline constexpr char kQuitEventName[] = "QK0340 Standalone Console Quit Event";
inline constexpr char kCloseEventName[] = "QK0340 Standalone Console Close Event";
inline constexpr char kPasswordMutexName[] = "Global\\QK0340 Password Dialog Mutex";
// Under HKEY_CURRENT_USER (window state, "NoAutoLaunch") and, in the 32-bit
// view, HKEY_LOCAL_MACHINE ("Reserved2").
inline constexpr char kConsoleKeyPath[] = "Software\\Lumora Tech\\Web Cameras\\QK0340\\Console";

// ---- State blocks ---------------------------------------------------------------------------
inline constexpr int kMaxCameras = 10;
inline constexpr int kCameraNameBytes = 128;  // 127 characters and the NUL

class ConsoleWindow;  // the console window object; comes with the window

// One per standalone or parental run, one embedded in each integrated
// instance; zero-filled from the process heap. Handle and pointer fields
// take the build's pointer size (1324 bytes on the 32-bit target).
struct ConsoleState {
    int32_t deviceCount;
    char deviceNames[kMaxCameras][kCameraNameBytes];
    char* currentDevice;         // one of deviceNames, or an instance's deviceName
    ConsoleWindow* window;       // integrated mode; owned, freed by the destroy command
    HMODULE resourceLibrary;     // "K0340Cvw.crl" while an integrated window lives
    HWND windowHandle;           // set by the window when it initialises
    HANDLE closeEvent;           // only when auto-started
    HANDLE quitEvent;
    HANDLE integratedMutex;
    HANDLE restoreEvent;
    HANDLE watcherThread;
    HANDLE deviceLock;           // made and closed by the window
};
static_assert(sizeof(void*) != 4 || sizeof(ConsoleState) == 1324);
static_assert(sizeof(void*) != 8 || sizeof(ConsoleState) == 1368);

inline constexpr uint32_t kInstanceSignature = 0x00636261;  // "abc"

// The handle luCVWEntryPoint gives a host.
struct IntegratedInstance {
    uint32_t signature;
    char deviceName[kCameraNameBytes];
    ConsoleState state;
};
static_assert(sizeof(void*) != 4 || sizeof(IntegratedInstance) == 1456);
static_assert(sizeof(void*) != 8 || sizeof(IntegratedInstance) == 1504);

// ---- device_access.cpp -----------------------------------------------------------------------
inline constexpr DWORD CVW_OK = 0;
inline constexpr DWORD CVW_E_NOT_SUPPORTED = 0x6400;
inline constexpr DWORD CVW_E_OUT_OF_MEMORY = 0x6401;
inline constexpr DWORD CVW_E_INVALID_PARAMETER = 0x6403;
inline constexpr DWORD CVW_E_NO_DEVICE = 0x6404;
inline constexpr DWORD CVW_E_ALREADY_OPEN = 0x6405;

// "USB\VID_xxxx&PID_xxxx&MI_00": the video function of the supported camera.
const char* SupportedHardwareId();
// Whether a hardware-ID list (NUL-separated strings within `bytes`, each cut
// at its first comma) names the supported camera, letter case aside.
bool HardwareIdListNamesCamera(const char* list, size_t bytes);

// Fills the device list of `state` from the image-class devices whose
// driver is loaded; CVW_OK when at least one camera was found, else
// CVW_E_NO_DEVICE.
DWORD EnumerateCameras(ConsoleState* state);

struct DeviceSession {
    IBaseFilter* filter;
    IKsPropertySet* propertySet;
    IAMCameraControl* cameraControl;
    IAMVideoProcAmp* procAmp;
    IAMVideoControl* videoControl;
    IPin* pin;
};

// Binds the camera whose friendly name is `description`. Begins the
// thread's COM use whatever the outcome: close the session after every open.
bool OpenDeviceSession(const char* description, DeviceSession* session);
void CloseDeviceSession(DeviceSession* session);

// Which standard control interface a control lives on.
enum ControlInterface : int {
    kCameraControl = 1,
    kVideoProcAmp = 2,
};

// Control flags as DirectShow has them.
inline constexpr LONG kFlagAuto = 1;
inline constexpr LONG kFlagManual = 2;

// One control as a panel shows it: 14 words, of which words 3, 6 and 13
// are the owning panel's.
struct ControlSetting {
    LONG valid;
    LONG value;
    LONG appliedValue;
    LONG openedValue;  // dialogs: the value they opened with, for Cancel
    LONG flags;
    LONG appliedFlags;
    LONG openedFlags;  // dialogs: the flags they opened with
    LONG autoMode;
    LONG minimum;
    LONG maximum;
    LONG step;
    LONG defaultValue;
    LONG capsFlags;
    LONG lastManualValue;  // the focus panel's last manual value
};
static_assert(sizeof(ControlSetting) == 14 * 4);

bool ReadControl(DeviceSession* session, int interfaceId, LONG property, ControlSetting* setting);
bool WriteControl(DeviceSession* session, int interfaceId, LONG property, ControlSetting* setting);
bool SnapToStep(const ControlSetting* setting, LONG* value, bool nearest);
LONG PageSize(const ControlSetting* setting);
// Opens and closes a session for `description` up to 20 times, 500 ms
// apart; true as soon as one opens.
bool WaitForCamera(const char* description);

// The view panel's white balance as a four-way choice: 0 automatic, 1-3 the
// camera's presets (set A property 0x102).
bool ReadWhiteBalanceChoice(DeviceSession* session, ControlSetting* setting);
bool WriteWhiteBalanceChoice(DeviceSession* session, ControlSetting* setting);
// Power-line frequency as a choice: the standard control, or when the
// camera lacks it, set A property 0x103 (1..3 shown as 0..2).
bool ReadPowerLineFrequency(DeviceSession* session, ControlSetting* setting);
bool WritePowerLineFrequency(DeviceSession* session, ControlSetting* setting);
// Mirror and flip: two 0/1 controls of the video-control mode of the
// session's pin; a control the pin does not offer stays invalid.
bool ReadMirrorFlip(DeviceSession* session, ControlSetting* mirror, ControlSetting* flip);
bool WriteMirrorFlip(DeviceSession* session, ControlSetting* mirror, ControlSetting* flip);

// A custom property of the driver's sets. The request buffer is zeroed, the
// header filled and the payload word(s) placed; the get reads the word at
// `offset` of the answer.
bool GetCustomProperty(DeviceSession* session, const GUID& set, ULONG id, ULONG offset, LONG* value);
bool SetCustomProperty(DeviceSession* session, const GUID& set, ULONG id, ULONG offset, LONG value);
// The privacy property 0x805 of set A: the lock state, and a sub-command
// with, for sub-command 3, the password check value.
bool GetLockState(DeviceSession* session, LONG* locked);
bool SendLockCommand(DeviceSession* session, ULONG subCommand, ULONG checkValue);

// ---- registration.cpp -----------------------------------------------------------------------
// The camera manager's install entry and its commands.
using LuCamMgrInstallEntryPointProc = uint32_t (*)(uint32_t command, void* block);
inline constexpr uint32_t kMgrOpen = 0x202;
inline constexpr uint32_t kMgrClose = 0x203;
inline constexpr uint32_t kMgrRegisterViewers = 0x204;
inline constexpr uint32_t kMgrUnregisterViewers = 0x205;
inline constexpr uint32_t kMgrAttachViewer = 0x206;
inline constexpr uint32_t kMgrDetachDevice = 0x207;
inline constexpr uint32_t kMgrBlockVersion = 0x101;
inline constexpr size_t kViewerRecordBytes = 144;
inline constexpr size_t kDeviceBlockBytes = 784;
inline constexpr size_t kDeviceViewerRecordBytes = 388;

// What a Start-menu shortcut holds.
struct ShellLinkRequest {
    std::string linkFile;  // full path of the .lnk file
    std::string target;
    std::string arguments;
    std::string workingDirectory;
    std::string iconFile;
    int iconIndex = 0;
    std::string description;
};
// Writes the link file through the shell link object (COM initialised on
// the calling thread, the shell's server on the machine).
HRESULT WriteShellLink(const ShellLinkRequest& link);
// The link's name for a title string: without the maker's name in front.
std::string LinkName(const std::string& title);
// Where the installation puts the library ("C:\Windows\System32\K0340Cvw.dll").
std::string LibraryPath();
// The shortcut's folder (Programs, the maker, the product), empty when the
// product name cannot be read.
std::string ShortcutFolder();

// ---- entry_points.cpp ------------------------------------------------------------------------
// Host interface command codes.
inline constexpr uint32_t CVW_CMD_GET_VERSION = 0x1401;
inline constexpr uint32_t CVW_CMD_GET_INFO = 0x1402;
inline constexpr uint32_t CVW_CMD_CREATE = 0x1403;
inline constexpr uint32_t CVW_CMD_DESTROY = 0x1404;
inline constexpr uint32_t CVW_CMD_LAUNCH_STANDALONE = 0x1408;
inline constexpr uint32_t CVW_CMD_OPEN_WINDOW = 0x1409;
inline constexpr uint32_t kConsoleVersion = 0x0102;
// Parameter block sizes. Blocks that carry a pointer take the build's
// pointer size for it (264 and 12 bytes on the 32-bit target).
inline constexpr size_t kCreateBlockBytes = 260 + sizeof(void*);
inline constexpr size_t kOpenWindowBlockBytes = 8 + sizeof(void*);
inline constexpr size_t kInfoBlockBytes = 212;

// A fresh zero-filled state from the process heap, its device list built
// and the first camera current; null when memory is short.
ConsoleState* NewConsoleState();
// Closes every handle the state holds and frees it.
void FreeConsoleState(ConsoleState* state);
// The recorded description equal (letter case aside) to `name`, or null.
char* FindCamera(ConsoleState* state, const char* name);

// ---- session.cpp -------------------------------------------------------------------------------
// Whether this process runs in a session where a user sits: the active
// console session or a remote desktop session.
bool SessionMayShowUi();
// The restore watcher: brings the window to the front on each Restore
// event, closes it on Quit or Close. Started by the window in standalone
// mode, with the ConsoleState.
DWORD RestoreWatcher(LPVOID consoleState);
// Starts the watcher thread into `state->watcherThread`.
bool StartRestoreWatcher(ConsoleState* state);

// ---- lock.cpp ----------------------------------------------------------------------------------
// The password's check value: the only form in which a password is kept or
// compared.
uint32_t PasswordCheckValue(const char* password);
// Reads a REG_DWORD of the console key under `root` (HKEY_LOCAL_MACHINE is
// read in the 32-bit view); false when the key or value cannot be read.
bool ReadConsoleValue(HKEY root, const char* name, DWORD* value);
// "Reserved2": the stored check value; false when no password is set.
bool StoredCheckValue(DWORD* value);

// What a press of OK in the change-password dialog leads to.
enum class PasswordField { None, Old, New, Confirm };
struct PasswordVerdict {
    UINT message;         // string of the message box shown
    PasswordField focus;  // the field that gets the focus (None: the dialog closes with OK)
    bool clearNew;        // the new-password field is emptied
};
inline constexpr size_t kMinimumPasswordLength = 6;
PasswordVerdict CheckNewPassword(bool firstTime, const char* oldPassword, const char* newPassword,
                                 const char* confirmation);
// Hands a new password to the driver (first time: the lock disabled first).
bool SendNewPassword(const char* device, bool firstTime, const char* newPassword);
// The unlock dialog's OK: accepted with the message to show (0 when
// silent), or refused with the warning for an empty or wrong password. An
// accepted password disables the lock (state 0) or enables and releases it
// (state 1) through the driver.
struct UnlockVerdict {
    bool accepted;
    UINT message;
};
UnlockVerdict Unlock(const char* device, const char* password, int requestedState, bool silent);

// ---- window_part.cpp ---------------------------------------------------------------------------
// What the console window provides to the entry points: the modal
// standalone window, the modeless integrated window, and the password
// dialogs. The entry points call them through this table, which tests may
// point at stand-ins.
struct WindowPart {
    // Runs the standalone window (template 120) modally; returns when closed.
    INT_PTR (*runModal)(ConsoleState* state, const std::vector<std::string>& devices);
    // Creates the integrated window (template 127) modelessly and shows it;
    // null when it cannot be made.
    ConsoleWindow* (*createModeless)(ConsoleState* state, const std::vector<std::string>& devices, HWND* handle);
    void (*destroy)(ConsoleWindow* window);
    INT_PTR (*changePassword)(ConsoleState* state, bool firstTime);
    INT_PTR (*unlock)(ConsoleState* state, int requestedState, bool silent);
};
const WindowPart& TheWindowPart();
// Replaces the table (null: the library's own); returns the previous one.
const WindowPart* SetWindowPart(const WindowPart* part);

// The registration exports. Every library of the package has its own; in a
// process that links several of them (tests, tools) they are told apart by
// namespace, and the module's export table names them "DllRegisterServer"
// and "DllUnregisterServer".
HRESULT DllRegisterServer();
HRESULT DllUnregisterServer();

// ---- builtin.cpp -------------------------------------------------------------------------------
// K0340Cvw linked into a process, found by the loader as "K0340Cvw.dll".
void RegisterBuiltin();

}  // namespace k0340cvw

extern "C" {
DWORD luCVWEntryPoint(void* instance, uint32_t code, void* parameters);
void luCVWConsoleRunDLL32EP(HWND window, HINSTANCE instance, LPSTR commandLine, int show);
void luCVWParentalRunDLL32EP(HWND window, HINSTANCE instance, LPSTR commandLine, int show);
void luCVWIntroRunDLL32EP(HWND window, HINSTANCE instance, LPSTR commandLine, int show);
void luCVWUtilityRunDLL32EP(HWND window, HINSTANCE instance, LPSTR commandLine, int show);
}


