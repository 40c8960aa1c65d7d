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
#include "imaging/vpe/vpe.h"
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
struct EffectsState;

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
    UCHAR* pictures[2];   // 5 760 000 bytes each: [0] the substitute's canvas, [1] the fitted substitute
    UCHAR* workBuffer;    // the effects' work picture: 921 600 bytes, more for larger streams
    ULONG workBufferBytes;
    UCHAR* frameWork;     // the stream's conversion buffer
    ULONG frameWorkBytes;
    LONG zoomCopy;        // zoom and tracking copies the capture size depends on
    LONG trackingCopy;
    EffectsState* effects;  // zero-filled at camera start, freed at camera stop
    BOOLEAN registersWork;  // the status byte reads 1: the register block answers
    // The substitute pictures as read from their files (57 600 bytes each, null when
    // missing or damaged) and which one is fitted in pictures[1] for which stream.
    UCHAR* substitutes[3];
    LONG fittedWhich;  // -1: none
    ULONG fittedWidth, fittedHeight, fittedFormat, fittedBytes;
};

// ---- usb_requests.cpp ------------------------------------------------------------------------
// Class requests (SET_CUR 0x01, GET_CUR 0x81, GET_MIN 0x82, GET_MAX 0x83, GET_RES 0x84, GET_DEF 0x87).
enum : UCHAR { kSetCur = 0x01, kGetCur = 0x81, kGetMin = 0x82, kGetMax = 0x83, kGetRes = 0x84, kGetLen = 0x85,
               kGetInfo = 0x86, kGetDef = 0x87 };

}  // namespace k0340

namespace k0340 {

// ---- Frames (transport.cpp) -------------------------------------------------------------
// The 56-byte frame descriptor that heads each slot's frame data.
struct FrameDescriptor {
    ULONG marker;  // "PFCT"
    ULONG reserved;
    UCHAR* data;   // descriptor + 56
    ULONG capacity;
    ULONG filled;
    ULONG counted;
    ULONG flags;   // bit 1 privacy, bit 2 locked
    LONGLONG presentationTime;
    LIST_ENTRY link;
};
static_assert(sizeof(FrameDescriptor) == kFrameDescriptorBytes);
inline constexpr ULONG kFramePrivacy = 0x2;
inline constexpr ULONG kFrameLocked = 0x4;
inline constexpr ULONG kFrameBad = 0x8;  // payload was lost on the way: the frame is never delivered

// Layer 1: the frame pool. One non-paged block cut into slots at stream open;
// each slot is a busy word, a frame descriptor and the frame data.
class FramePool {
public:
    virtual ~FramePool() = default;
    virtual NTSTATUS AllocatePool(ULONG largestFrameBytes);
    virtual VOID FreePool();
    virtual NTSTATUS InitialiseRing(ULONG frameBufferBytes);
    virtual VOID ResetRing();
    virtual FrameDescriptor* TakeNextSlot();
    virtual VOID ReleaseSlot(FrameDescriptor* frame);

    ULONG PoolBytes() const { return poolBytes_; }
    ULONG SlotCount() const { return slotCount_; }

protected:
    UCHAR* pool_ = nullptr;  // freed by FreePool
    ULONG poolBytes_ = 0;
    ULONG slotStride_ = 0;
    ULONG slotCount_ = 0;
    ULONG nextSlot_ = 0;
    ULONG frameBufferBytes_ = 0;
};

// ---- The isochronous transport (transport.cpp) -------------------------------------------
struct IsochRequest;

// The transport's state (marker "CHCT"), in the device's object bag.
struct TransportHeader {
    ULONG marker;
    // Read and written from completion routines, DPCs and the pin's calls at
    // once: every access is atomic (Load/Store below or interlocked).
    LONG stateFlags;  // kAbortRequested, kStopRequested, kStreamingFlag
    LONG errorSeen;
    LONG opened;
    LONG started;
    LONG suspended;
    FrameDescriptor* assembling;
    UCHAR lastFrameId;  // 0xFF: none yet
    // Payload was lost (a failed packet, or bus frames no request covered)
    // since the last packet that carried any: the frame around the loss is bad.
    BOOLEAN lostSincePayload;
    BOOLEAN assemblingEnded;  // the frame in assembly carried its end-of-frame bit
    BOOLEAN expectedKnown;
    ULONG expectedFrame;  // the bus frame the next completed request should start at
    KSPIN_LOCK assemblyLock;  // guards assembling, lastFrameId and the loss tracking
    KEVENT stopEvent;
    KEVENT abortEvent;
    KTIMER watchdog;
    KDPC watchdogDpc;
    ULONG nextStartFrame;
    LIST_ENTRY readyList;
    KSPIN_LOCK readyLock;  // guards readyList
    LONG pinWantsFrames;   // the pin found the ready list empty and asked to be told
    LONGLONG nextDue;      // pacing: clock time the next frame is due (0: none yet)
    ULONG requestCount;
    IsochRequest* requests[6];
    USBD_PIPE_HANDLE pipe;
    USHORT maxPacket;
    ULONG maxTransfer;
};
template <typename T>
inline T Load(const T& field) {
    return __atomic_load_n(&field, __ATOMIC_ACQUIRE);
}
template <typename T>
inline void Store(T& field, T value) {
    __atomic_store_n(&field, value, __ATOMIC_RELEASE);
}

inline constexpr ULONG kAbortRequested = 0x1;
inline constexpr ULONG kStopRequested = 0x2;
inline constexpr ULONG kStreamingFlag = 0x4;

struct PipeEntry {
    ULONG index;
    USBD_PIPE_TYPE type;
    BOOLEAN in;
    USHORT maxPacket;
    ULONG maxTransfer;
    USBD_PIPE_HANDLE handle;
};

class UsbCameraDevice;

// Layer 3: the isochronous transport, a table of operations (marker "TXCT").
struct TransportTable {
    ULONG marker;
    ULONG (*transportSize)();
    LONG (*requestsOutstanding)(UsbCameraDevice* device);
    NTSTATUS (*initialise)(UsbCameraDevice* device);
    VOID (*release)(UsbCameraDevice* device);
    BOOLEAN (*takePipeInformation)(UsbCameraDevice* device, PipeEntry* pipe);
    NTSTATUS (*createRequests)(UsbCameraDevice* device);
    VOID (*freeRequests)(UsbCameraDevice* device);
    NTSTATUS (*startTransfers)(UsbCameraDevice* device);
    NTSTATUS (*stopTransfers)(UsbCameraDevice* device);
};
const TransportTable* IsochTransportTable();

// Transport steps the device runs (transport.cpp).
NTSTATUS OpenTransport(UsbCameraDevice* device);
VOID CloseTransport(UsbCameraDevice* device);
VOID FlushReadyList(UsbCameraDevice* device);
FrameDescriptor* TakeReadyFrame(UsbCameraDevice* device);
// Assembles one isochronous packet (payload header, then payload) into frames;
// the caller holds the assembly lock.
VOID AssemblePacket(UsbCameraDevice* device, const UCHAR* packet, ULONG length);

// ---- Layer 2: the USB camera device (device.cpp) -------------------------------------------
enum class StreamWanted { Closed, Opened, Running };

// One property request as a handler sees it: the request (KSPROPERTY and what
// follows it) and the data buffer, both kernel copies of the stated sizes.
struct PropertyCall {
    PIRP irp;
    const KSPROPERTY* request;
    ULONG requestBytes;
    UCHAR* data;
    ULONG dataBytes;
};

// The parental lock (properties.cpp): enabled from the stored flag; released
// by the console; a new stream within 10 s of the last pause stays released.
struct ParentalLock {
    BOOLEAN initialised;
    BOOLEAN enabled;
    BOOLEAN released;
    BOOLEAN enabledSinceOpen;  // an enable since the stream opened: the next one opens locked
    LONGLONG referenceTick;  // KeQueryTickCount units
};

// A still capture in progress (properties.cpp and the pin): the frame path
// copies the next delivered picture, as bottom-up RGB24, into `picture`.
struct StillCapture {
    KSPIN_LOCK lock;   // guards wanted, picture, bytes and taken
    BOOLEAN wanted;
    UCHAR* picture;    // width x height x 3 bytes (pool), owned by the waiting request
    ULONG width;
    ULONG height;
    BOOLEAN taken;     // the frame path filled `picture`
};

// Control requests made at DISPATCH_LEVEL, sent in order by one work item at a
// time (usb_requests.cpp).
struct DeferredQueue {
    KSPIN_LOCK lock;   // guards list and running
    LIST_ENTRY list;
    BOOLEAN running;   // a work item is draining the list
    BOOLEAN closed;    // the device is going away: nothing more is taken
    PIO_WORKITEM item; // the draining work item, freed by its routine
    LONG queued;       // entries not yet done, for removal to wait on
    LONG privacyRefreshQueued;  // one hardware-privacy read at a time
    LONGLONG lastPrivacyRefresh;  // interrupt time of the last read queued
};

class UsbCameraDevice : public FramePool {
public:
    // Operations in the order of the class's table.
    virtual NTSTATUS DeviceStart();
    virtual NTSTATUS LoadSettingsAndStartEffects();
    virtual VOID ShutDown();
    virtual VOID PowerStateChange(DEVICE_POWER_STATE to);
    virtual NTSTATUS OpenStream();
    virtual NTSTATUS RunStream();
    virtual VOID CloseStream();
    virtual NTSTATUS Resume();
    virtual NTSTATUS Pause();
    virtual VOID StopStream();
    virtual VOID Wake();
    virtual NTSTATUS MatchFormat(const KSDATAFORMAT* format, ULONG bytes);
    virtual VOID ForgetFormat();
    virtual VOID SignalStillFrame();
    virtual NTSTATUS ValidateFormat(const KSDATAFORMAT* format, ULONG bytes, const KSDATARANGE* range);
    virtual CameraContext* GetCameraContext() { return camera_; }
    virtual NTSTATUS AttachToKsDevice(PKSDEVICE device);
    virtual NTSTATUS PnpStart();
    virtual NTSTATUS PnpPostStart();
    virtual VOID EmptyHook1() {}
    virtual VOID EmptyHook2() {}
    virtual VOID EmptyHook3() {}
    virtual VOID EmptyHook4() {}
    virtual VOID EmptyHook5() {}
    virtual VOID RemoveAgain() { Remove(); }
    virtual VOID SurpriseRemoval();
    virtual VOID Remove();
    virtual NTSTATUS QueryCapabilities(PDEVICE_CAPABILITIES capabilities);
    virtual VOID EmptyHook6() {}
    virtual VOID EmptyHook7() {}
    virtual VOID SetPower(DEVICE_POWER_STATE to, DEVICE_POWER_STATE from);
    virtual NTSTATUS BuildDataRanges();
    virtual NTSTATUS BuildAutomationTables();
    // Property handlers (properties.cpp), set then get, called with the device
    // mutex held while the device is present.
    virtual NTSTATUS SetVideoControl(const PropertyCall& call);
    virtual NTSTATUS GetVideoControl(const PropertyCall& call);
    virtual NTSTATUS SetCameraExtras(const PropertyCall& call);
    virtual NTSTATUS GetCameraExtras(const PropertyCall& call);
    virtual NTSTATUS SetVideoCompression(const PropertyCall& call);
    virtual NTSTATUS GetVideoCompression(const PropertyCall& call);
    virtual NTSTATUS SetPrivacy(const PropertyCall& call);
    virtual NTSTATUS GetPrivacy(const PropertyCall& call);
    virtual NTSTATUS SetControl(const PropertyCall& call);
    virtual NTSTATUS GetControl(const PropertyCall& call);
    // Stored flags (settings.cpp): 0 or -1.
    virtual int ReadLockFlag();
    virtual int WriteLockFlag();
    virtual int LoadPrivacy();
    virtual int SavePrivacy();
    virtual FrameDescriptor* NewFrameDescriptor() { return TakeNextSlot(); }
    virtual VOID FrameComplete(FrameDescriptor* frame);
    virtual VOID FlushReadyListOp() { FlushReadyList(this); }
    virtual NTSTATUS SetFormat();

    // ---- Requests to the camera (usb_requests.cpp) ----------------------------------------
    NTSTATUS SubmitUrbSynchronously(PURB urb);
    NTSTATUS SelectStreamingAlternate(UCHAR alternate);
    // Restarts a running stream with the same output format so that a new
    // capture size applies (pause, close, set format, open, run).
    NTSTATUS RestartStream();
    // Whether a stream is open (acquired or further).
    BOOLEAN Streaming() const;
    // Property 2051: one still picture into the caller's buffer.
    NTSTATUS CaptureStill(const PropertyCall& call);

    // The device's fields.
    PKSDEVICE ks = nullptr;
    PDEVICE_OBJECT lowerDevice = nullptr;
    char configurationBaseName[260] = {};
    char keyName[260] = {};
    CameraContext* camera_ = nullptr;
    CameraDescription description{};
    ULONG flags = 0;
    UNICODE_STRING interfaceLink{};
    USB_DEVICE_DESCRIPTOR deviceDescriptor{};
    PUSB_CONFIGURATION_DESCRIPTOR configuration = nullptr;  // in the object bag
    PUSB_INTERFACE_DESCRIPTOR streamingInterface = nullptr;  // inside `configuration`
    USBD_CONFIGURATION_HANDLE configurationHandle = nullptr;
    PUSBD_INTERFACE_INFORMATION streamingInformation = nullptr;  // the selected streaming pipe (pool)
    UCHAR streamingAlternate = 0;
    ULONG pipeCount = 0;
    PipeEntry pipes[8] = {};
    TransportHeader* transport = nullptr;  // in the object bag
    const TransportTable* transportOps = nullptr;
    ULONG requestsInFlight = 2;
    FormatTable formats{};
    const FormatRecord* matchedRecord = nullptr;
    StreamFormat streamFormat{};
    BOOLEAN formatMatched = FALSE;
    ULONG frameBufferBytes = 0;
    KS_DATARANGE_VIDEO* dataRanges = nullptr;  // pool, one per record
    PKSDATARANGE* dataRangePointers = nullptr;
    CapabilityEntry* capabilityCopy = nullptr;
    LONG privacyValue = 0;
    LONG parentalLock = 0;
    KSEMAPHORE requestSemaphore;
    LONG recoveryCounter = -1;
    // Written by Plug and Play, read by every request, completion and work
    // item: atomic, so a removal is seen without a race.
    std::atomic<BOOLEAN> present = FALSE;
    BOOLEAN postStarted = FALSE;
    std::atomic<BOOLEAN> surpriseRemoved = FALSE;
    PKSPIN pin = nullptr;
    PIKSREFERENCECLOCK clock = nullptr;
    KEVENT stillFrameEvent;
    DEVICE_POWER_STATE powerState = PowerDeviceD0;
    BOOLEAN streamPaused = FALSE;
    LONG frameDrops = 0;
    // What the pin asked of the stream, kept across the sleep state: the
    // transport is closed in D3 and brought back to this on return to D0.
    StreamWanted wanted = StreamWanted::Closed;
    LONG streamGeneration = 0;  // counts opens; a recovery queued for an earlier stream does nothing
    ParentalLock lock{};
    StillCapture still{};
    DeferredQueue deferred{};
    KSAUTOMATION_TABLE* automation = nullptr;  // in the object bag: open handles may outlive removal
    // The pin's processing against stream teardown: the class driver calls the
    // pin's state changes while a frame may still be processed, so closing a
    // stream shuts the gate and waits until no processing call is inside.
    LONG processingGateClosed = 1;
    LONG processingActive = 0;
    VOID QuiesceProcessing();
};

// ---- usb_requests.cpp ------------------------------------------------------------------------
// A class request: 0 on success, -1 on failure. At DISPATCH_LEVEL it is
// queued (in order) to the device's deferred queue and reports success at
// once with no data back.
int ClassRequest(UsbCameraDevice* device, UCHAR request, USHORT value, USHORT index, PVOID data, ULONG length,
                 ULONG* transferred = nullptr);
int UnitRequest(UsbCameraDevice* device, UCHAR request, UCHAR unit, UCHAR selector, PVOID data, ULONG length);
int StreamingRequest(UsbCameraDevice* device, UCHAR request, UCHAR selector, PVOID data, ULONG length);
NTSTATUS GetDescriptor(UsbCameraDevice* device, UCHAR type, PVOID buffer, ULONG length, ULONG* transferred);
NTSTATUS PipeRequest(UsbCameraDevice* device, USHORT function, USBD_PIPE_HANDLE pipe);
NTSTATUS CurrentFrameNumber(UsbCameraDevice* device, ULONG* frame);
VOID InitialiseDeferredQueue(UsbCameraDevice* device);
// Takes nothing more (the device is shutting down).
VOID CloseDeferredQueue(UsbCameraDevice* device);
// Work queued from DISPATCH_LEVEL and not done yet (removal waits for it).
LONG DeferredRequestsOutstanding(UsbCameraDevice* device);
// Runs the exposure kick at PASSIVE_LEVEL behind every request queued before it.
int QueueExposureKick(UsbCameraDevice* device);
// Reads the hardware privacy switch (register 0x8108) at PASSIVE_LEVEL into the
// camera context; at most one read is queued at a time.
VOID QueuePrivacyRefresh(UsbCameraDevice* device);

// ---- camera_context.cpp --------------------------------------------------------------------
NTSTATUS CreateCameraContext(UsbCameraDevice* device, CameraContext** context);
VOID DestroyCameraContext(CameraContext* context);
// Reads the register block at `address`; -1 on failure.
int ReadRegister(CameraContext* camera, USHORT address, UCHAR* value);
int WriteRegister(CameraContext* camera, USHORT address, UCHAR value);
// Discovers controls from the class-specific descriptors of the configuration.
VOID DiscoverCapabilities(CameraContext* camera, const UCHAR* descriptors, ULONG length);
// Records the streaming formats from the video-streaming interface's descriptors.
VOID ParseStreamingFormats(CameraContext* camera, const UCHAR* descriptors, ULONG length);
// Chooses the camera format and frame for the stream and runs probe and commit.
NTSTATUS NegotiateStream(CameraContext* camera, LONGLONG requestedInterval);
// The exposure kick of the first frame after an open (PASSIVE_LEVEL).
VOID ExposureKick(CameraContext* camera);
int SetExposureMode(CameraContext* camera, LONG flags);
int SetFocusMode(CameraContext* camera, LONG flags);
int WriteExposure(CameraContext* camera, LONG cameraUnits);

// ---- pin.cpp ----------------------------------------------------------------------------------
const KSFILTER_DESCRIPTOR* BuildFilterDescriptor(UsbCameraDevice* device);
// The processing routine's frame conversion (exposed for tests): the camera
// frame as a picture of width x height in the stream's output format.
NTSTATUS ConvertFrame(UsbCameraDevice* device, const FrameDescriptor* frame, UCHAR* out, ULONG outBytes, ULONG width,
                      ULONG height);
// A stream of this camera opens: its first frame starts the decoder afresh
// with the typical Huffman tables (frames may carry none of their own).
VOID PrepareDecoder(const CameraContext* camera);
// The camera goes: the decoder no longer counts it as its owner.
VOID ForgetDecoder(const CameraContext* camera);

// ---- device.cpp --------------------------------------------------------------------------------
extern const KSDEVICE_DESCRIPTOR kDeviceDescriptor;
UsbCameraDevice* DeviceOf(PKSDEVICE ks);

// ---- controls.cpp ------------------------------------------------------------------------------
// A control request of the property layer; result 0 done, 1 done but busy, -1 failed.
struct ControlRequest {
    ULONG control;  // Control index
    LONG value;
    LONG flags;     // 1 automatic, 2 manual
    LONG capabilities;
};
inline constexpr int kControlDone = 0, kControlBusy = 1, kControlFailed = -1;
int SetControlValue(CameraContext* camera, ControlRequest* request);
int GetControlValue(CameraContext* camera, ControlRequest* request);
// Exposure: property values (log2 of seconds) and camera units of 100 us.
LONG ExposureValueFromCamera(LONG cameraUnits);
LONG ExposureCameraFromValue(LONG value);
// Camera writes of the control table, each 0 or -1.
int WriteSaturationLevel(CameraContext* camera, LONG level);
int WriteWhiteBalanceAuto(CameraContext* camera, LONG flags);
int WriteWhiteBalanceTemperature(CameraContext* camera, LONG kelvin);
int WritePowerLine(CameraContext* camera, LONG value);
int WriteMirrorBits(CameraContext* camera, USHORT bits);
int WriteFocusArea(CameraContext* camera, LONG area);
int WriteFocusPosition(CameraContext* camera, LONG position);
int WriteUnitControl(CameraContext* camera, int control, LONG value);
// Reads with clamping to the discovered range and grid (exposure time, focus);
// a changed value is written back.
int ReadClamped(CameraContext* camera, int control, LONG* value);
// The camera-mode bits that follow the privacy switch (register 0xBA00).
VOID SyncPrivacyMode(CameraContext* camera);
// Reads the status byte; TRUE when the register block works.
BOOLEAN RefreshRegisterStatus(CameraContext* camera);
// Whether the camera offers a control (it has a capability entry).
const CapabilityEntry* CapabilityFor(const CameraContext* camera, int control);
// Whether a value lies in an entry's range (on its grid) or list.
bool CapabilityAllows(const CapabilityEntry& entry, LONG value);
// Whether a value read from the registry is one the control takes, in the
// units it is stored in (the saturation's camera level, the exposure's time).
bool StoredValueAllowed(const CameraContext* camera, int control, LONG value);

// ---- settings.cpp ------------------------------------------------------------------------------
// One value of a batch: a REG_DWORD (type 3) unless told otherwise.
struct SettingsEntry {
    char subkey[30];     // relative to the opened key, levels separated by '\'
    char valueName[30];
    ULONG type;          // 3 REG_DWORD; 1 REG_NONE, 2 REG_BINARY, 5 REG_MULTI_SZ, else REG_SZ
    PVOID value;
    ULONG* length;
};
enum class SettingsStore { DeviceKey, ProductKey, ConsoleKey };
// Batch reads and writes: stop at the first entry that fails; 0 or -1.
int ReadSettings(UsbCameraDevice* device, SettingsStore store, SettingsEntry* entries, ULONG count);
int WriteSettings(UsbCameraDevice* device, SettingsStore store, const SettingsEntry* entries, ULONG count);
int LoadPictureSettings(UsbCameraDevice* device);
int SavePictureSettings(UsbCameraDevice* device);
int LoadFaceTracking(UsbCameraDevice* device);
int SaveFaceTracking(UsbCameraDevice* device);
int LoadTuning(UsbCameraDevice* device);
int WriteConsoleValue(UsbCameraDevice* device, ULONG value);

// ---- effects_stage.cpp -------------------------------------------------------------------------
// What the effects library's host hooks work on (handed to vpeInit through the state).
struct EffectsHookRecord {
    PVOID owner;          // the camera context
    PVOID block;          // the 4-byte block the first hook allocates
    UCHAR* preallocated;  // the owner's picture buffer, handed out for allocation kind 10
    ULONG preallocatedBytes;
};

struct EffectsState {
    ULONG width;   // the effects' source picture: the capture size of the stream
    ULONG height;
    ULONG format;  // output format index; above 2: no effects
    LONG trackingMode;  // 0 off, 1 continuous following, 2 following a still scene
    LONG speed;         // 0..2
    LONG pictureInPicture;  // 0..2
    LONG autoZoom;      // 0, 1
    LONG zoom;          // 50..100, 50 is no zoom
    LONG pan;           // -50..50
    LONG tilt;          // -50..50
    LONG rememberedZoom, rememberedPan, rememberedTilt;  // while tracking runs
    UCHAR mirror;       // the flag last passed to the library
    UCHAR secondFlag;   // stored per frame, not read
    EffectsHookRecord hooks;
    PVPE_CONTEXT context;
    // Guards the library context and the values the frame path reads (mode,
    // zoom, pan, tilt, mirror): frames are processed at DISPATCH_LEVEL while
    // control handlers change them.
    KSPIN_LOCK lock;
};

// The manual zoom box in tenths of a source pixel.
struct ZoomBox {
    LONG x, y, width, height;
};
ZoomBox ManualZoomBox(LONG zoom, LONG pan, LONG tilt, ULONG width, ULONG height);

int EffectsCameraStart(CameraContext* camera);
VOID EffectsCameraStop(CameraContext* camera);
int EffectsStreamStart(CameraContext* camera, ULONG width, ULONG height, ULONG format);
int EffectsApplyTracking(CameraContext* camera);
int EffectsApplyMirror(CameraContext* camera);

// One frame through the stage: `picture` holds the converted picture of the
// source size (sourceWidth x sourceHeight); the result, of the output size,
// ends in `sample` (sampleBytes long). `work` is the other buffer the stage
// may use. Returns 0, or -1 when the last effect it attempted failed (the
// sample is then left as it was).
struct EffectsFrame {
    UCHAR* picture;
    ULONG pictureBytes;
    UCHAR* work;
    ULONG workBytes;
    UCHAR* sample;
    ULONG sampleBytes;
    ULONG sourceWidth, sourceHeight;
    ULONG outputWidth, outputHeight;
    ULONG format;
    UCHAR mirror;
    UCHAR secondFlag;
};
int EffectsProcessFrame(CameraContext* camera, const EffectsFrame& frame);
// Whether a frame of the stream passes through the library at all.
BOOLEAN EffectsActive(const CameraContext* camera);

// ---- properties.cpp ----------------------------------------------------------------------------
// The row of the control table for a set and id (first match), or -1.
int ControlRowFor(const GUID& set, ULONG id);
// Parental lock steps the stream takes (properties.cpp).
VOID LockOnStreamOpen(UsbCameraDevice* device);
VOID LockOnStreamPause(UsbCameraDevice* device);
BOOLEAN LockHoldsFrames(UsbCameraDevice* device);
// The frame path's part of a still capture: copies the delivered picture.
VOID OfferStillFrame(UsbCameraDevice* device, const UCHAR* sample, ULONG width, ULONG height, ULONG format);
// Wakes a waiting still capture because the stream went away.
VOID AbandonStillCapture(UsbCameraDevice* device);

// ---- pictures.cpp ------------------------------------------------------------------------------
// The substitute pictures that replace the camera's picture under the
// hardware privacy switch, the parental lock and software privacy: 160 x 120
// 24-bit bitmaps shipped in the drivers folder, fitted to the stream's size
// and converted to its format, or a fill when a picture is missing.
inline constexpr ULONG kPictureWidth = 160, kPictureHeight = 120;
inline constexpr ULONG kPictureBytes = kPictureWidth * kPictureHeight * 3;  // 57 600
enum class Substitute : int { HardwarePrivacy = 0, ParentalLock = 1, SoftwarePrivacy = 2 };
inline constexpr int kSubstituteCount = 3;
// "K0340Pv2.bmp", "K0340Pc.bmp", "K0340Pvc.bmp"; null for another value.
PCWSTR SubstituteFileName(Substitute which);
// Reads the picture from "\SystemRoot\System32\Drivers\" + its name, at
// PASSIVE_LEVEL: the 14-byte file header, the 40-byte info header (160 x 120,
// 24 bits, uncompressed, pixels right after the headers), then the 57 600
// bytes of pixels, rows bottom-up as stored, into `raw` (kPictureBytes long).
// FALSE when the file is missing, short or of another kind; `raw` is then
// left unspecified.
BOOLEAN ReadSubstitutePicture(Substitute which, UCHAR* raw);
// Paints the substitute into `out` (outBytes long) for a stream of width x
// height in output format `formatIndex` (a row of kSubFormats). With `raw` (a
// picture ReadSubstitutePicture gave): a black canvas with the picture in the
// middle when the stream is at least 160 x 120, else the picture scaled to the
// whole canvas (nearest neighbour); RGB24 stays bottom-up as the bitmap is,
// YUY2, I420 and YV12 are converted and turned top-down. `canvas` (canvasBytes
// long, width x height x 3, not overlapping `out`) is the work picture of the
// converted formats; RGB24 is painted straight into `out` and needs none.
// Without `raw`: the lock's grey fill, or black for both privacy conditions.
// Returns the bytes written (width x height x bits / 8), or 0 for MJPG, an
// unknown format, odd sizes the format cannot hold, or buffers too small;
// writes nothing outside `out` and `canvas`, and nothing at all when it
// returns 0.
ULONG PaintSubstitute(Substitute which, const UCHAR* raw, ULONG width, ULONG height, ULONG formatIndex,
                      UCHAR* canvas, ULONG canvasBytes, UCHAR* out, ULONG outBytes);

}  // namespace k0340
