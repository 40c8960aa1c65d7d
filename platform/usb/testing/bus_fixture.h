// A scripted test device, a pass-through function driver and a fixture that
// plugs devices into the bus and sends URBs to their stacks on a stepped
// clock.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/nt/testing/machine_test.h"
#include "platform/usb/standard_device.h"
#include "platform/usb/usb_bus.h"
#include "usbdi.h"
#include "usbdlib.h"

namespace qk::usb::testing {

// A composite device (vendor 0x1234, product 0x5678) with an interface
// association of interfaces 0 and 1 (a streaming interface whose alternate
// settings 1 and 2 have an isochronous IN endpoint 0x81 of 4096 and 24576
// bytes per frame) and a second function on interface 2 (isochronous OUT
// endpoint 0x02 on alternate setting 1, 192 bytes per frame). With
// `composite` false it is a single-interface device with product 0x5679.
class TestDevice : public StandardDevice {
public:
    explicit TestDevice(bool composite = true);

    Speed DeviceSpeed() const override { return Speed::High; }
    int64_t ControlLatency(const SetupPacket& setup) override { return latency.load(); }
    IsoResult IsochronousIn(uint8_t endpoint, uint32_t frame, std::span<uint8_t> packet) override;
    IsoResult IsochronousOut(uint8_t endpoint, uint32_t frame, std::span<const uint8_t> packet) override;
    std::string Name() const override { return "test device"; }

    // Script.
    std::atomic<int64_t> latency{0};       // 100 ns per control transfer
    std::atomic<uint32_t> answerLength{10};  // bytes vendor request 1 answers
    std::atomic<uint32_t> packetLength{0};   // fixed IN packet length (0: 16 + frame % 5 * 100)
    std::atomic<uint32_t> stallFrame{0};     // IN frame that stalls
    std::atomic<uint32_t> detachFrame{0};    // IN frame in which the device leaves
    std::atomic<int64_t> busyNs{0};          // processor time each IN packet takes to make
    std::atomic<bool> brokenConfiguration{false};

    // Record.
    std::vector<SetupPacket> Requests();
    std::vector<uint32_t> InFrames();
    std::vector<std::pair<uint32_t, size_t>> OutPackets();
    std::vector<uint8_t> LastOut();
    std::vector<std::pair<uint8_t, uint8_t>> InterfaceChanges();

protected:
    ControlResult OtherRequest(const SetupPacket& setup, std::span<uint8_t> data, uint32_t frame) override;
    bool OnSetInterface(uint8_t interfaceNumber, uint8_t alternate, uint32_t frame) override;

private:
    std::mutex recordLock_;  // guards the records below
    std::vector<SetupPacket> requests_;
    std::vector<uint32_t> inFrames_;
    std::vector<std::pair<uint32_t, size_t>> outPackets_;
    std::vector<uint8_t> lastOut_;
    std::vector<std::pair<uint8_t, uint8_t>> interfaceChanges_;
};

// Binds the fixture's pass-through function driver to devices with this
// hardware ID (they then start, and URBs can be sent to their stacks).
void InstallTestFunctionDriver(const std::u16string& hardwareId);

// Writes a 16-bit value little-endian.
void Put16(std::vector<uint8_t>& v, uint16_t value);

// An IRP with its URB in flight; the URB lives in `urb` (8-byte aligned storage).
class AsyncUrb {
public:
    AsyncUrb(PDEVICE_OBJECT target, size_t urbBytes);
    ~AsyncUrb();
    PURB Urb() { return reinterpret_cast<PURB>(storage_.data()); }
    template <typename T>
    T& As() {
        return *reinterpret_cast<T*>(storage_.data());
    }
    // Sends the IRP; returns what IoCallDriver returned.
    NTSTATUS Send();
    bool Done() const { return done_.load(); }
    NTSTATUS Status() const { return status_; }
    KIRQL CompletionIrql() const { return irql_; }
    PIRP Irp() { return irp_; }

private:
    static NTSTATUS Completed(PDEVICE_OBJECT, PIRP irp, PVOID context);
    PDEVICE_OBJECT target_;
    std::vector<uint64_t> storage_;
    PIRP irp_;
    std::atomic<bool> done_{false};
    NTSTATUS status_ = STATUS_PENDING;
    KIRQL irql_ = 0xFF;
};

class UsbBusTest : public qk::testing::MachineTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // Steps the bus clock; DPCs that fall due run on the way.
    void Advance(int64_t milliseconds);
    // The top of the device stack of the device with this instance path.
    PDEVICE_OBJECT Top(const std::u16string& instancePath);
    // Sends a URB and waits for it (requests the bus answers without the clock moving).
    NTSTATUS Send(PDEVICE_OBJECT target, PURB urb);
    // GET_DESCRIPTOR_FROM_DEVICE into `out` (resized to what came back).
    NTSTATUS GetDescriptor(PDEVICE_OBJECT target, UCHAR type, UCHAR index, ULONG length, std::vector<uint8_t>* out);
    // Selects the configuration with every interface of the function's view at
    // alternate setting 0; returns the configuration handle.
    USBD_CONFIGURATION_HANDLE Configure(PDEVICE_OBJECT target);
    // Selects `alternate` of `interfaceNumber`; returns the first pipe (or a null handle).
    USBD_PIPE_INFORMATION SelectAlternate(PDEVICE_OBJECT target, USBD_CONFIGURATION_HANDLE configuration,
                                          UCHAR interfaceNumber, UCHAR alternate, USBD_STATUS* status = nullptr);
    std::unique_ptr<AsyncUrb> Isochronous(PDEVICE_OBJECT target, USBD_PIPE_HANDLE pipe, ULONG packets,
                                          ULONG packetBytes, ULONG startFrame, bool asap, std::vector<uint8_t>* buffer,
                                          bool in = true);
    // The instance path of the present device whose device ID is `deviceId`.
    std::u16string PathOf(const std::u16string& deviceId);
};

}  // namespace qk::usb::testing
