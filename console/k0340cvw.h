// K0340Cvw's private declarations, grouped by file: the state blocks of a
// console run and of a host's instance, the device access layer (camera
// list, device sessions, control records), the entry points and host
// interface, and the registration.
#pragma once

#include <cstddef>
#include <cstdint>

#include "dshow.h"
#include "strmif.h"
#include "windows.h"
#include "winuser.h"

namespace k0340cvw {

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

}  // namespace k0340cvw
