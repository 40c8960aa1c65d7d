// K0340Cvw's private declarations, grouped by file: the state blocks of a
// console run and of a host's instance, the device access layer (camera
// list, device sessions, control records), the entry points and host
// interface, and the registration.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

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

inline constexpr uint32_t kInstanceSignature = 0x00636261;  // "abc"

// The handle luCVWEntryPoint gives a host.
struct IntegratedInstance {
    uint32_t signature;
    char deviceName[kCameraNameBytes];
    ConsoleState state;
};
static_assert(sizeof(void*) != 4 || sizeof(IntegratedInstance) == 1456);

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
// Writes the link file through the shell link object. Unfinished: fails
// with E_NOTIMPL until the platform offers the shell link interfaces.
HRESULT WriteShellLink(const ShellLinkRequest& link);
// The link's name for a title string: without the maker's name in front.
std::string LinkName(const std::string& title);
// Where the installation puts the library ("C:\Windows\System32\K0340Cvw.dll").
std::string LibraryPath();
// The shortcut's folder (Programs, the maker, the product), empty when the
// product name cannot be read.
std::string ShortcutFolder();

}  // namespace k0340cvw

extern "C" HRESULT DllRegisterServer();
extern "C" HRESULT DllUnregisterServer();
