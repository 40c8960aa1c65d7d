// K0340Dev, the QK0340 capture driver: the private declarations of its rooms,
// grouped by file.
//
// The device object is built in three class layers: the frame pool (base),
// the USB camera device over it, and the isochronous transport it owns. The
// kernel-streaming callbacks are thin forwarders into them.
#pragma once

#include <atomic>
#include <cstdint>

#include "capture/formats.h"
#include "ks.h"
#include "ksmedia.h"
#include "usbdi.h"
#include "usbdlib.h"
#include "wdm.h"

namespace k0340 {

// ---- Pool tags and block markers (the first 32-bit word of a block) ---------------------
inline constexpr ULONG kTagContext = 'wNCK';  // "KCNw": device, filter and pin contexts
inline constexpr ULONG kTagPool = ' mdW';     // "Wdm ": every other allocation
inline constexpr ULONG kTagEdit = 'VAuL';     // "LuAV": descriptors copied for editing
inline constexpr ULONG kMarkerCameraContext = 'ETNI';      // "INTE"
inline constexpr ULONG kMarkerFrame = 'TCFP';              // "PFCT"
inline constexpr ULONG kMarkerRecovery = 'TCSR';           // "RSCT"
inline constexpr ULONG kMarkerTransportTable = 'TCXT';     // "TXCT"
inline constexpr ULONG kMarkerIsochRequest = 'TCSI';       // "ISCT"
inline constexpr ULONG kMarkerDeferredRequest = 'TCMC';    // "CMCT"
inline constexpr ULONG kMarkerSyncRequest = 'TCYS';        // "SYCT"
inline constexpr ULONG kMarkerTransportHeader = 'TCHC';    // "CHCT"

// Non-paged pool, tag "Wdm ", zeroed.
PVOID Allocate(SIZE_T bytes);
VOID Free(PVOID block);

// Camera identity and sizes.
inline constexpr ULONG kLargestFrame = 5770240;
inline constexpr ULONG kFrameDescriptorBytes = 56;
inline constexpr ULONG kSmallFrameBuffer = 624640;  // output widths up to 640
inline constexpr ULONG kPictureBuffer = 5760000;
inline constexpr ULONG kWorkBuffer = 921600;
inline constexpr ULONG kPacketsPerRequest = 32;
inline constexpr ULONG kIsochUrbBytes = 536;

// The warning a request gets when the device went away before it was sent.
inline constexpr NTSTATUS kNotPresentWarning = static_cast<NTSTATUS>(0x80000025);

// ---- Camera description ------------------------------------------------------------------
struct CameraDescription {
    char configurationBaseName[260];  // "QK0340.cfg"
    LONG variant;                     // 1 or 2
    ULONG reserved[2];                // 8 and 1
    ULONG largestFrameBytes;          // 5 770 240
    ULONG flags;                      // bit 0 parse class descriptors, bit 1 mirror/privacy, bit 2 parental lock
};

// ---- Capability table (camera_context.cpp) ---------------------------------------------
enum CapabilityKind : LONG { kCapRange = 1, kCapFlag = 2, kCapList = 3 };

// 24 words: control index, kind, default, number of words that follow, values.
struct CapabilityEntry {
    LONG control;
    LONG kind;
    LONG defaultValue;
    LONG count;
    LONG values[20];  // min, max, step (range) or the allowed values (list)
};
static_assert(sizeof(CapabilityEntry) == 96);

// Control indexes (rows of the property layer's control table).
enum Control : int {
    kBrightness = 0, kContrast = 1, kHue = 2, kSaturation = 3, kSharpness = 4, kGamma = 5, kColorEnable = 6,
    kWhiteBalance = 7, kBacklight = 8, kWhiteBalancePreset = 9, kPowerLine = 10, kPan = 11, kTilt = 12,
    kPanTilt = 13, kZoom = 14, kZoom2 = 15, kExposure = 16, kMirrorHorizontal = 17, kMirrorVertical = 18,
    kGain = 19, kIris = 20, kFocus = 21, kTrackingReserved1 = 22, kTrackingMode = 23, kTrackingSpeed = 24,
    kPictureInPicture = 25, kTrackingReserved5 = 26, kQuality = 27, kReserved6 = 28, kReserved7 = 29,
    kPrivacy = 30, kFocusArea = 31, kFocusWindows = 32, kFocusScale = 33, kFocusThird = 34, kCameraVariant = 35,
    kControlCount = 36,
};

struct ControlState {
    LONG current;
    LONG flags;
    LONG capabilities;
    LONG minimum;
    LONG maximum;
    LONG step;
    LONG defaultValue;
};

enum class CameraStream { Uncompressed, Mjpeg };

struct StreamDescription {
    ULONG outputWidth;
    ULONG outputHeight;
    ULONG format;  // output format index
    ULONG captureWidth;
    ULONG captureHeight;
    BOOLEAN scaling;
    LONGLONG interval100ns;
};

// The camera's video-streaming formats, read from its descriptors.
struct CameraFrame {
    UCHAR frameIndex;
    USHORT width;
    USHORT height;
    ULONG intervalCount;
    ULONG intervals[32];  // as the descriptor lists them
};

struct CameraFormat {
    UCHAR formatIndex;
    CameraStream type;
    ULONG frameCount;
    CameraFrame frames[16];
};

class UsbCameraDevice;

// The per-camera object the other parts work on (marker "INTE").
struct CameraContext {
    ULONG marker;
    UsbCameraDevice* device;  // the control-OUT, control-IN and restart operations act on it
    UCHAR processingUnit;
    UCHAR cameraTerminal;
    UCHAR extensionUnit;
    ULONG processingControls;
    ULONG cameraControls;
    ULONG extensionControls;
    ControlState controls[kControlCount];
    LONG exposureModeFlags;  // 1 automatic, 2 manual
    LONG focusModeFlags;
    LONG whiteBalanceModeFlags;
    LONG hueModeFlags;
    USHORT mirrorBits;
    CapabilityEntry* capabilities;
    ULONG capabilityCount;
    ULONG capabilityRoom;
    StreamDescription stream;
    CameraStream cameraStream;
    BOOLEAN hardwarePrivacy;
    LONG variant;
    BOOLEAN streaming;
    ULONG formatCount;
    CameraFormat formats[4];
    UCHAR* pictures[2];   // substitute pictures, 5 760 000 bytes each
    UCHAR* workBuffer;    // 921 600 bytes
    UCHAR* frameWork;     // the stream's conversion buffer
    ULONG frameWorkBytes;
    LONG zoomCopy;        // zoom and tracking copies the capture size depends on
    LONG trackingCopy;
};

// ---- usb_requests.cpp ------------------------------------------------------------------------
// Class requests (SET_CUR 0x01, GET_CUR 0x81, GET_MIN 0x82, GET_MAX 0x83, GET_RES 0x84, GET_DEF 0x87).
enum : UCHAR { kSetCur = 0x01, kGetCur = 0x81, kGetMin = 0x82, kGetMax = 0x83, kGetRes = 0x84, kGetLen = 0x85,
               kGetInfo = 0x86, kGetDef = 0x87 };

}  // namespace k0340
