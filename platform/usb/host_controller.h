// The host controller and root hub behind the bus driver: ports with their
// devices, the functions each device offers (one child PDO each), pipes,
// the frame clock, and the queues of transfers waiting for their frames.
//
// Transfers complete from the bus DPC at DISPATCH_LEVEL when their time has
// come: a control transfer when the device has answered, an isochronous
// transfer when the last of its frames has passed on the bus clock (the
// platform clock, so tests may run it faster than real time or step it).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/usb/configuration.h"
#include "platform/usb/device.h"
#include "usbdi.h"

namespace qk::usb {

struct Port;
struct Function;

struct Pipe {
    USBD_PIPE_HANDLE handle = nullptr;
    Function* function = nullptr;
    uint8_t interfaceNumber = 0;
    EndpointInfo endpoint;
    uint32_t maximumTransferSize = 0;
    bool open = true;
    bool halted = false;
    // Isochronous stream continuity: the frame after the last one claimed by
    // a transfer (0 when the stream is idle or was reset).
    uint64_t nextFrame = 0;
    std::list<struct Transfer*> queue;  // pending, in frame order
};

enum class TransferKind { Control, Isochronous };

struct Transfer {
    TransferKind kind = TransferKind::Control;
    PIRP irp = nullptr;
    PURB urb = nullptr;
    Port* port = nullptr;
    Function* function = nullptr;
    Pipe* pipe = nullptr;  // isochronous
    std::shared_ptr<Device> device;
    PUCHAR buffer = nullptr;  // system address of the transfer buffer
    ULONG length = 0;
    // Control.
    SetupPacket setup;
    bool fromFunctionView = false;  // a composite function's configuration descriptor, answered by the bus
    // Isochronous.
    uint64_t startFrame = 0;
    ULONG packets = 0;
    std::vector<ULONG> packetLength;  // room of each packet in the buffer
    std::vector<bool> late;           // frames that had passed at submission
    bool in = true;
    int64_t due = 0;  // interrupt time at which it completes
    // Set when the transfer leaves its queue without running.
    bool finished = false;
    USBD_STATUS finishStatus = USBD_STATUS_SUCCESS;
    uint64_t abortGeneration = 0;  // the abort that finished it, if any
    uint64_t serial = 0;           // names it after it is gone (completing_)
};

struct Function {
    Port* port = nullptr;
    std::vector<uint8_t> interfaces;  // interface numbers this function owns
    bool compositePart = false;
    uint8_t functionClass = 0, functionSubClass = 0, functionProtocol = 0;
    uint8_t iFunction = 0;
    std::vector<uint8_t> configurationView;  // what GET_DESCRIPTOR(configuration) answers
    std::u16string failureId;                // set for a device the hub could not enumerate

    PDEVICE_OBJECT pdo = nullptr;
    bool pdoStarted = false;
    bool surpriseRemoved = false;

    // Selected configuration of this function.
    bool configured = false;
    USBD_CONFIGURATION_HANDLE configurationHandle = nullptr;
    std::map<uint8_t, uint8_t> alternates;                       // interface -> selected alternate
    std::map<uint8_t, USBD_INTERFACE_HANDLE> interfaceHandles;   // interface -> handle
    std::vector<std::unique_ptr<Pipe>> pipes;                    // open pipes, and closed ones transfers still refer to
};

struct Port {
    int number = 0;
    std::shared_ptr<Device> device;
    bool connected = false;
    uint32_t uid = 0;
    std::vector<uint8_t> deviceDescriptor;
    std::vector<uint8_t> configurationDescriptor;
    ConfigurationInfo configuration;
    bool enumerated = false;
    bool composite = false;
    bool configured = false;  // the device's SET_CONFIGURATION was sent
    uint8_t address = 0;
    std::u16string product;
    std::u16string serial;
    std::vector<std::unique_ptr<Function>> functions;
    std::deque<Transfer*> controlQueue;
    int64_t controlFreeAt = 0;  // when the default pipe finishes its last queued transfer

    uint16_t VendorId() const;
    uint16_t ProductId() const;
    uint16_t Revision() const;
};

class HostController : public std::enable_shared_from_this<HostController> {
public:
    HostController();
    ~HostController();
    HostController(const HostController&) = delete;
    HostController& operator=(const HostController&) = delete;

    // ---- Ports (hot plug) ------------------------------------------------------------------
    int Plug(std::shared_ptr<Device> device);
    bool Unplug(int port);
    bool Connected(int port);

    // ---- Frame clock -------------------------------------------------------------------------
    static uint64_t FrameAt(int64_t time);
    static int64_t FrameStart(uint64_t frame);
    uint64_t CurrentFrame() const;
    // A 32-bit frame number of a URB, taken as the nearest full frame number.
    static uint64_t Widen(ULONG frame, uint64_t current);

    // ---- The bus FDO ------------------------------------------------------------------------------
    void AttachBus(PDEVICE_OBJECT fdo, PDEVICE_OBJECT pdo, PKTIMER timer, PKDPC dpc);
    void DetachBus();
    PDEVICE_OBJECT BusPdo();
    // Builds the bus relations (creating PDOs for new functions); PASSIVE_LEVEL.
    PDEVICE_RELATIONS QueryBusRelations(PDEVICE_RELATIONS previous);
    // Deletes the PDOs of every function (bus removal).
    void DeleteAllPdos();

    // ---- Child PDOs ------------------------------------------------------------------------------------
    void StartFunction(Function* function);
    void SurpriseRemoveFunction(Function* function);
    // Returns true when the PDO is to be deleted (its device left the bus).
    bool RemoveFunction(Function* function);
    std::u16string DeviceId(const Function* function);
    std::vector<std::u16string> HardwareIds(const Function* function);
    std::vector<std::u16string> CompatibleIds(const Function* function);
    std::u16string InstanceId(const Function* function);
    std::u16string Description(const Function* function);
    std::u16string Location(const Function* function);
    void Capabilities(const Function* function, PDEVICE_CAPABILITIES capabilities);
    ULONG PortStatus(const Function* function);

    // ---- Requests ------------------------------------------------------------------------------------------
    // IOCTL_INTERNAL_USB_SUBMIT_URB on a function's PDO. Completes the IRP
    // (now or later) and returns the dispatch status.
    NTSTATUS SubmitUrb(Function* function, PIRP irp, PURB urb);
    void RunDpc();
    void CancelIrp(PIRP irp);

    // Maps a USBD status to the IRP status a real bus gives it.
    static NTSTATUS NtStatusOf(USBD_STATUS status);

    // ---- Device model accounting ---------------------------------------------------------------
    // While on, the processor time (ns) device models spend making the packets
    // of isochronous transfers and answering the control transfers the bus
    // DPC runs, read with the running thread's clock around each transfer's
    // calls into its device (two reads a transfer, not a packet): the
    // simulated hardware's own cost, which benchmarks of the drivers above
    // take out of their figures. About one read's own cost falls inside each
    // timed span and one outside it; DeviceTimedSpans lets a benchmark
    // correct for both.
    void SetDeviceTiming(bool on) { deviceTiming_.store(on, std::memory_order_relaxed); }
    int64_t DeviceProcessorNs() const { return deviceNs_.load(std::memory_order_relaxed); }
    int64_t DeviceTimedSpans() const { return deviceSpans_.load(std::memory_order_relaxed); }

private:
    friend class UrbHandler;

    // All below: lock_ held.
    void EnumerateLocked(Port* port, uint32_t frame);
    void FinishLocked(Transfer* transfer, USBD_STATUS status);
    bool ClaimLocked(Transfer* transfer);
    void QueueDpcLocked();
    void RescheduleLocked();
    void AbortFunctionLocked(Function* function, USBD_STATUS status);
    void AbortPipeLocked(Pipe* pipe, USBD_STATUS status, uint64_t generation);
    void ClosePipesLocked(Function* function, uint8_t interfaceNumber);
    // Bytes per frame of the open periodic pipes, without those of `excludeFunction`'s
    // interface `excludeInterface` (all its interfaces when negative).
    uint32_t PeriodicBytesLocked(const Function* excludeFunction, int excludeInterface) const;
    Pipe* FindPipeLocked(Function* function, USBD_PIPE_HANDLE handle);
    void ReleasePortIfUnusedLocked(Port* port);

    // Runs a transfer outside the lock and completes it.
    void Execute(Transfer* transfer);
    void ExecuteControl(Transfer* transfer);
    void ExecuteIsochronous(Transfer* transfer);
    void Complete(Transfer* transfer, USBD_STATUS status);
    // Adds the processor time since `startNs` to the device models' account.
    void CountDeviceTime(int64_t startNs);

    mutable std::mutex lock_;  // guards everything below and every Port, Function, Pipe and queued Transfer
    std::condition_variable changed_;  // a transfer completed (abort waits on it)
    std::vector<std::unique_ptr<Port>> ports_;
    std::map<USBD_PIPE_HANDLE, Pipe*> pipeHandles_;
    std::set<Transfer*> live_;            // transfers queued or running, not yet completed
    std::set<uint64_t> completing_;       // serials of transfers not yet completed (live or completing)
    uint64_t nextSerial_ = 1;
    std::vector<Transfer*> finished_;     // left their queue, waiting for the DPC to complete them
    PDEVICE_OBJECT fdo_ = nullptr;
    PDEVICE_OBJECT busPdo_ = nullptr;
    PKTIMER timer_ = nullptr;
    PKDPC dpc_ = nullptr;
    int64_t timerDue_ = -1;
    uintptr_t nextHandle_ = 0x5100;
    uint64_t abortGeneration_ = 0;
    std::vector<int> pendingUnplugs_;  // ports whose device detached during a transfer
    std::atomic<bool> deviceTiming_{false};
    std::atomic<int64_t> deviceNs_{0};
    std::atomic<int64_t> deviceSpans_{0};
};

// The host controller of the running machine (created on first use).
std::shared_ptr<HostController> TheHostController();

// Device extension of the bus FDO and of every child PDO (constructed in
// place after IoCreateDevice, destroyed before IoDeleteDevice).
struct BusExtension {
    static constexpr ULONG kMagic = 0x42555351;  // "QSUB"
    ULONG magic = kMagic;
    bool isPdo = false;
    std::shared_ptr<HostController> controller;
    Function* function = nullptr;     // PDO: the function it stands for
    PDEVICE_OBJECT lower = nullptr;   // FDO: the device below
    PDEVICE_OBJECT pdo = nullptr;     // FDO: the root PDO
    KTIMER timer;                     // FDO: fires when the next transfer is due
    KDPC dpc;                         // FDO: completes transfers
};

// Bytes per frame all periodic pipes of a high-speed bus may use (USB 2.0
// 5.7.4: 80% of a microframe, 6000 bytes, in each of 8 microframes).
inline constexpr uint32_t kPeriodicBytesPerFrame = 48000;

}  // namespace qk::usb
