// K0340Aud's private header: the per-device and control-device structures,
// and the routines of each file, grouped by file.
#pragma once

#include <atomic>
#include <cstdint>

#include "audiofilter/k0340aud.h"
#include "wdm.h"

namespace k0340aud {

inline constexpr ULONG kPoolTag = 0x206D6457;  // "Wdm " (bytes 57 64 6D 20)


class CaptureProcessor;
class EchoCanceller;

struct LevelMeter {
    LONG peak = 0;
    ULONG window = 0;
    ULONG position = 0;
    ULONG carry = 0;
    ULONG weight = 0;
    LONG smoothed = 0;
};

// The first word of both device extensions tells them apart: a control
// device that was deleted while a handle was open still gets that handle's
// requests, and must not be taken for a filter device.
inline constexpr ULONG kFilterMarker = 0x58544C46;   // "FLTX"
inline constexpr ULONG kControlMarker = 0x58544C43;  // "CTLX"

struct FilterExtension {
    ULONG marker;  // kFilterMarker
    UCHAR started;
    UCHAR removed;
    PDEVICE_OBJECT self;
    PDEVICE_OBJECT physicalDevice;
    PDEVICE_OBJECT lowerDevice;
    UCHAR* deviceDescriptor;  // 18 bytes, non-paged, owned; null until start
    ULONG captureRunning;
    ULONG renderRunning;
    KEVENT startEvent;
    KEVENT removeEvent;
    CaptureProcessor* captureProcessor;  // owned, start to stop
    EchoCanceller* echoCanceller;        // one reference owned; created when echo cancellation begins
    KEVENT captureWorkerExited;
    KEVENT echoWorkerExited;
    KSEMAPHORE captureQueueSemaphore;
    KSEMAPHORE echoQueueSemaphore;
    KSPIN_LOCK captureQueueLock;
    KSPIN_LOCK echoQueueLock;
    LONG captureWorkerState;
    LONG echoWorkerState;
    LIST_ENTRY captureQueue;
    LIST_ENTRY echoQueue;
    LONG ioCount;
    ULONG muxSource;
    LONG captureChannels;
    LONG renderChannels;
    LIST_ENTRY link;
    FilterExtension* owner;
    USHORT captureRate;
    USHORT renderRate;
    ULONG captureBits;
    ULONG renderBits;
    ULONG echoQuellOn, echoQuellDefault, bfaOn, bfa3On, bfa3Default, noiseGuardOn;
    ULONG stereoSupported, arrayInstalled, echoQuellAvailable, bfa3Available;
    // Read by the workers and every dispatch, written by whichever stream
    // starts or stops: atomic.
    std::atomic<ULONG> echoPathActive, capturePathActive;
    ULONG settingsPending;
    ULONG echoNeeds16Bit;
    ULONG echoQuellRate;
    UNICODE_STRING interfaceName;
    ULONG osLevel;
    ULONG secondChance;
    LONG echoDelay;
    ULONG echoRateFixed;
    ULONG metersOn;
    LevelMeter captureMeter, renderMeter;
    ULONG captureFormatPending, renderFormatPending;
    ULONG lastCaptureSize, lastRenderSize;
    ULONG micBoost, micBoostCarry;
    ULONG monoRefused;
    ULONG lastRenderRefused, lastCaptureRefused, refusalCount, refusedRenderRate;
    USHORT rememberedRate;
    ULONGLONG captureTotal, renderTotal;
    ULONG pushToTalkOn, talkKeyDown;
    // Ours: the profile the descriptor gave at start.
    Profile profile;
    // Ours: the worker threads (referenced), waited for after their exit
    // events so that nothing of them runs once the device stops.
    PVOID captureThread;
    PVOID echoThread;
    // Ours: guards the echoCanceller pointer; users take a reference under it.
    KSPIN_LOCK echoLock;
    // Ours: the first read of a capture pin and the first write of a render
    // pin (on the application's two threads) both choose the path, and a
    // close ends a stream: held at PASSIVE_LEVEL around each, so the
    // running flags and the path are decided one at a time.
    KMUTEX pathMutex;
};

struct ControlExtension {
    ULONG marker;  // kControlMarker
    LIST_ENTRY devices;  // FilterExtension::link, in order of arrival
    FilterExtension* reserved;  // always null: the list head's owner slot ends every walk
    LONG deviceCount;
    PIRP waiters[kWaiterSlots];
    KSPIN_LOCK lock;  // guards devices, waiters and the per-device fields read by the control interface
    // Ours: held at PASSIVE_LEVEL by whoever links or unlinks a device and by
    // the feature switching, which walks the list while it writes the registry.
    KMUTEX listMutex;
};

// Brackets the signal processing: the floating-point state and the extended
// state, whose save the floating-point save does not cover and which the
// vector kernels chosen at run time (AVX2 and FMA) use. Saved() is false when
// either could not be saved: the work is then skipped, nothing is lost.
class DspStateScope {
public:
    DspStateScope() {
        floatSaved_ = NT_SUCCESS(KeSaveFloatingPointState(&float_));
        extendedSaved_ = floatSaved_ && NT_SUCCESS(KeSaveExtendedProcessorState(XSTATE_MASK_AVX, &extended_));
    }
    ~DspStateScope() {
        if (extendedSaved_) KeRestoreExtendedProcessorState(&extended_);
        if (floatSaved_) KeRestoreFloatingPointState(&float_);
    }
    DspStateScope(const DspStateScope&) = delete;
    DspStateScope& operator=(const DspStateScope&) = delete;
    bool Saved() const { return extendedSaved_; }

private:
    KFLOATING_SAVE float_;
    XSTATE_SAVE extended_;
    bool floatSaved_ = false, extendedSaved_ = false;
};

// ---- entry.cpp: driver entry, control device, AddDevice, dispatch --------------------------
extern PDEVICE_OBJECT g_controlDevice;
NTSTATUS CreateControlDevice(PDRIVER_OBJECT driver);
void DeleteControlDevice();
ControlExtension* Control();
NTSTATUS PassDown(FilterExtension* filter, PIRP irp);
NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR information);
void EnterRequest(FilterExtension* filter);
void LeaveRequest(FilterExtension* filter);

// ---- pnp.cpp: start, stop, removal and the identification of the device --------------------
NTSTATUS DispatchPnp(FilterExtension* filter, PIRP irp);
void IdentifyDevice(FilterExtension* filter);
bool ProfileProcessesCapture(Profile profile);
NTSTATUS SendUrb(PDEVICE_OBJECT target, void* urb);

// ---- settings.cpp: profile defaults, loading and saving ----------------------------------------
void ReadInterfaceDefaults(FilterExtension* filter);
void LoadSettings(FilterExtension* filter);
void SaveSettings(FilterExtension* filter);
void WriteStreamOpen(ULONG value);
// The installation's format of an array-codec device, at the first read (capture) or write of a pin.
void LoadFormatOverride(FilterExtension* f, bool capture);
void WriteArrayInstalled(ULONG value);

// ---- streams.cpp: kernel-streaming interception ----------------------------------------------
enum class PinKind { Neither, Render, Capture };
struct AudioFormat {
    ULONG rateHz = 0, channels = 0, bits = 0;
};
// A KSDATAFORMAT with its WAVEFORMATEX(TENSIBLE), audio PCM only; bounded by `bytes`.
bool ParseAudioFormat(const UCHAR* data, size_t bytes, AudioFormat* format);
// The pin id and format of a pin create's file name; false when it is no audio PCM pin create.
bool ParsePinCreate(PFILE_OBJECT file, ULONG* pinId, AudioFormat* format);
PinKind QueryPinKind(FilterExtension* f, PFILE_OBJECT filterFile, ULONG pinId);
// The admission rules; STATUS_NO_MATCH refuses the create.
NTSTATUS AdmitPin(FilterExtension* f, PinKind kind, const AudioFormat& format);
NTSTATUS FilterCreate(FilterExtension* f, PIRP irp);
NTSTATUS FilterClose(FilterExtension* f, PIRP irp);
NTSTATUS FilterDeviceControl(FilterExtension* f, PIRP irp);

// ---- pipeline.cpp: the worker threads, their queues, the level meters -----------------------------
NTSTATUS StartWorkers(FilterExtension* f);
void StopWorkers(FilterExtension* f);
void ChoosePath(FilterExtension* f);
// Hands a capture read to the path's worker (marks it pending, passes it down).
NTSTATUS QueueRead(FilterExtension* f, PIRP irp, bool echoPath);
void ResetMeter(LevelMeter* meter, ULONG rateHz, ULONG channels);
void UpdateMeter(LevelMeter* meter, const UCHAR* data, ULONG bytes, bool samples32);
// Processes one completed capture buffer of the capture path in place; returns the new DataUsed.
ULONG ProcessCaptureBuffer(FilterExtension* f, UCHAR* data, ULONG bytes);
// The device's echo canceller with a reference taken (Release it), or null.
EchoCanceller* AcquireCanceller(FilterExtension* f);
// Puts `next` (may be null) in place of the device's canceller, which goes
// once its last user releases it. Passive level.
void ReplaceCanceller(FilterExtension* f, EchoCanceller* next);
// The render side of the echo path: the write's data is the reference, and
// what the loudspeaker is to play replaces it; returns the new DataUsed.
ULONG ProcessRenderBuffer(FilterExtension* f, UCHAR* data, ULONG bytes, ULONG capacity);

// ---- control.cpp: the control device's requests and the event waiters -------------------------
NTSTATUS DispatchControl(PDEVICE_OBJECT device, PIRP irp);
void SignalEvent(uint32_t type, uint32_t detail);
void ReleaseAllWaiters();

}  // namespace k0340aud
