// Isochronous transfers on the stepped bus clock: scheduling by frame,
// per-packet results, late and hostile requests, abort, cancel, halts and
// removal with transfers in flight.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/nt/kernel.h"
#include "platform/nt/pnp.h"
#include "platform/usb/host_controller.h"
#include "platform/usb/testing/bus_fixture.h"

namespace qk::usb::testing {
namespace {

class IsochronousTest : public UsbBusTest {
protected:
    void SetUp() override {
        UsbBusTest::SetUp();
        device_ = std::make_shared<TestDevice>();
        port_ = Plug(device_);
        top_ = Top(PathOf(u"USB\\VID_1234&PID_5678&MI_00"));
        ASSERT_NE(top_, nullptr);
        configuration_ = Configure(top_);
        pipe_ = SelectAlternate(top_, configuration_, 1, 1);  // 4096 bytes a frame
        ASSERT_NE(pipe_.PipeHandle, nullptr);
    }
    ULONG Now() { return CurrentFrame(); }
    NTSTATUS PipeRequest(USHORT function, USBD_STATUS* usbd) {
        URB urb{};
        urb.UrbPipeRequest.Hdr.Length = sizeof(struct _URB_PIPE_REQUEST);
        urb.UrbPipeRequest.Hdr.Function = function;
        urb.UrbPipeRequest.PipeHandle = pipe_.PipeHandle;
        NTSTATUS status = Send(top_, &urb);
        *usbd = urb.UrbHeader.Status;
        return status;
    }

    std::shared_ptr<TestDevice> device_;
    int port_ = 0;
    PDEVICE_OBJECT top_ = nullptr;
    USBD_CONFIGURATION_HANDLE configuration_ = nullptr;
    USBD_PIPE_INFORMATION pipe_{};
};

TEST_F(IsochronousTest, ExplicitStartFrameCompletesWhenItsFramesHavePassed) {
    ULONG start = Now() + 10;
    std::vector<uint8_t> buffer;
    auto t = Isochronous(top_, pipe_.PipeHandle, 8, pipe_.MaximumPacketSize, start, false, &buffer);
    ASSERT_EQ(t->Send(), STATUS_PENDING);
    Advance(17);
    EXPECT_FALSE(t->Done());
    Advance(1);  // the start of frame start + 8: the last frame has passed
    ASSERT_TRUE(t->Done());
    EXPECT_EQ(t->Status(), STATUS_SUCCESS);
    EXPECT_EQ(t->CompletionIrql(), DISPATCH_LEVEL);
    auto& r = t->As<struct _URB_ISOCH_TRANSFER>();
    EXPECT_EQ(r.Hdr.Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(r.StartFrame, start);
    EXPECT_EQ(r.ErrorCount, 0u);
    ULONG total = 0;
    for (ULONG i = 0; i < 8; ++i) {
        SCOPED_TRACE(i);
        ULONG frame = start + i;
        EXPECT_EQ(r.IsoPacket[i].Status, USBD_STATUS_SUCCESS);
        EXPECT_EQ(r.IsoPacket[i].Length, 16 + frame % 5 * 100);  // as many bytes as the device produced
        ULONG seen;
        std::memcpy(&seen, buffer.data() + r.IsoPacket[i].Offset, 4);
        EXPECT_EQ(seen, frame);
        EXPECT_EQ(buffer[r.IsoPacket[i].Offset + r.IsoPacket[i].Length], 0xEE);  // nothing past the packet
        total += r.IsoPacket[i].Length;
    }
    EXPECT_EQ(r.TransferBufferLength, total);
    std::vector<uint32_t> frames(8);
    for (ULONG i = 0; i < 8; ++i) frames[i] = start + i;
    EXPECT_EQ(device_->InFrames(), frames);
}

TEST_F(IsochronousTest, AsapContinuesTheStreamOrStartsTwoFramesAhead) {
    ULONG start = Now() + 5;
    std::vector<uint8_t> a, b, c;
    auto first = Isochronous(top_, pipe_.PipeHandle, 4, 4096, start, false, &a);
    auto second = Isochronous(top_, pipe_.PipeHandle, 4, 4096, 0, true, &b);
    first->Send();
    second->Send();
    EXPECT_EQ(second->As<struct _URB_ISOCH_TRANSFER>().StartFrame, start + 4);
    Advance(13);
    EXPECT_TRUE(first->Done());
    EXPECT_TRUE(second->Done());
    Advance(50);  // the stream ran dry
    auto third = Isochronous(top_, pipe_.PipeHandle, 4, 4096, 0, true, &c);
    ULONG now = Now();
    third->Send();
    EXPECT_EQ(third->As<struct _URB_ISOCH_TRANSFER>().StartFrame, now + 2);
    Advance(6);
    EXPECT_TRUE(third->Done());
}

TEST_F(IsochronousTest, FramesThatHavePassedAreLate) {
    std::vector<uint8_t> buffer;
    // Partly late: the frames gone are not accessed, the others are.
    ULONG now = Now();
    auto partly = Isochronous(top_, pipe_.PipeHandle, 8, 4096, now - 3, false, &buffer);
    partly->Send();
    Advance(5);
    ASSERT_TRUE(partly->Done());
    auto& r = partly->As<struct _URB_ISOCH_TRANSFER>();
    EXPECT_EQ(r.Hdr.Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(r.ErrorCount, 4u);  // frames now - 3 .. now
    for (ULONG i = 0; i < 4; ++i) EXPECT_EQ(r.IsoPacket[i].Status, USBD_STATUS_ISO_NA_LATE_USBPORT);
    for (ULONG i = 4; i < 8; ++i) EXPECT_EQ(r.IsoPacket[i].Status, USBD_STATUS_SUCCESS);

    // Wholly late: fails at once.
    std::vector<uint8_t> other;
    auto late = Isochronous(top_, pipe_.PipeHandle, 8, 4096, Now() - 20, false, &other);
    EXPECT_EQ(late->Send(), STATUS_PENDING);
    KeFlushQueuedDpcs();
    ASSERT_TRUE(late->Done());
    EXPECT_EQ(late->Status(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(late->Urb()->UrbHeader.Status, USBD_STATUS_ISOCH_REQUEST_FAILED);
    EXPECT_EQ(late->As<struct _URB_ISOCH_TRANSFER>().ErrorCount, 8u);

    // Further from now than the bus schedules, in either direction.
    for (ULONG frame : {Now() + 2000, Now() - 2000}) {
        auto far = Isochronous(top_, pipe_.PipeHandle, 8, 4096, frame, false, &other);
        EXPECT_EQ(far->Send(), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(far->Urb()->UrbHeader.Status, USBD_STATUS_BAD_START_FRAME);
    }
}

TEST_F(IsochronousTest, HostilePacketLayoutsAreRefused) {
    struct Case {
        const char* name;
        std::function<void(struct _URB_ISOCH_TRANSFER&)> spoil;
        USBD_STATUS usbd;
    };
    const Case cases[] = {
        {"offsets going back", [](auto& r) { r.IsoPacket[2].Offset = 0; }, USBD_STATUS_INVALID_PARAMETER},
        {"offset beyond the buffer", [](auto& r) { r.IsoPacket[3].Offset = 0x7FFFFFFF; }, USBD_STATUS_INVALID_PARAMETER},
        {"no packets", [](auto& r) { r.NumberOfPackets = 0; }, USBD_STATUS_INVALID_PARAMETER},
        {"more packets than the URB holds", [](auto& r) { r.NumberOfPackets = 9; }, USBD_STATUS_INVALID_PARAMETER},
        {"more packets than a request may have", [](auto& r) { r.NumberOfPackets = 5000; },
         USBD_STATUS_INVALID_PARAMETER},
        {"header shorter than the packets", [](auto& r) { r.Hdr.Length = 140; }, USBD_STATUS_INVALID_PARAMETER},
        {"empty buffer", [](auto& r) { r.TransferBufferLength = 0; }, USBD_STATUS_INVALID_PARAMETER},
        {"buffer shorter than the packets", [](auto& r) { r.TransferBufferLength = 100; },
         USBD_STATUS_INVALID_PARAMETER},
        {"out on an in pipe", [](auto& r) { r.TransferFlags &= ~USBD_TRANSFER_DIRECTION_IN; },
         USBD_STATUS_INVALID_PARAMETER},
        {"stale pipe", [](auto& r) { r.PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(0x42); },
         USBD_STATUS_INVALID_PIPE_HANDLE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> buffer;
        auto t = Isochronous(top_, pipe_.PipeHandle, 8, 4096, 0, true, &buffer);
        c.spoil(t->As<struct _URB_ISOCH_TRANSFER>());
        EXPECT_EQ(t->Send(), HostController::NtStatusOf(c.usbd));
        EXPECT_EQ(t->Urb()->UrbHeader.Status, c.usbd);
    }
    EXPECT_TRUE(device_->InFrames().empty());
}

TEST_F(IsochronousTest, PacketRoomSmallerThanTheDataOverruns) {
    device_->packetLength = 600;
    std::vector<uint8_t> buffer;
    auto t = Isochronous(top_, pipe_.PipeHandle, 4, 512, 0, true, &buffer);
    t->Send();
    Advance(8);
    ASSERT_TRUE(t->Done());
    auto& r = t->As<struct _URB_ISOCH_TRANSFER>();
    EXPECT_EQ(r.ErrorCount, 4u);
    EXPECT_EQ(r.Hdr.Status, USBD_STATUS_ISOCH_REQUEST_FAILED);
    EXPECT_EQ(r.IsoPacket[0].Status, USBD_STATUS_DATA_OVERRUN);
    EXPECT_EQ(r.IsoPacket[0].Length, 512u);
}

TEST_F(IsochronousTest, AbortCompletesEveryPendingTransferCancelledBeforeItReturns) {
    std::vector<std::vector<uint8_t>> buffers(3);
    std::vector<std::unique_ptr<AsyncUrb>> transfers;
    for (auto& b : buffers) {
        transfers.push_back(Isochronous(top_, pipe_.PipeHandle, 16, 4096, 0, true, &b));
        transfers.back()->Send();
    }
    USBD_STATUS usbd;
    EXPECT_EQ(PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, &usbd), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(usbd, USBD_STATUS_ERROR_BUSY);  // not with transfers queued
    EXPECT_EQ(PipeRequest(URB_FUNCTION_ABORT_PIPE, &usbd), STATUS_SUCCESS);
    for (auto& t : transfers) {
        ASSERT_TRUE(t->Done());
        EXPECT_EQ(t->Status(), STATUS_CANCELLED);
        EXPECT_EQ(t->Urb()->UrbHeader.Status, USBD_STATUS_CANCELED);
        EXPECT_EQ(t->CompletionIrql(), DISPATCH_LEVEL);
    }
    EXPECT_EQ(PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, &usbd), STATUS_SUCCESS);
    // The stream starts afresh.
    std::vector<uint8_t> buffer;
    auto next = Isochronous(top_, pipe_.PipeHandle, 4, 4096, 0, true, &buffer);
    ULONG now = Now();
    next->Send();
    EXPECT_EQ(next->As<struct _URB_ISOCH_TRANSFER>().StartFrame, now + 2);
    Advance(7);
    EXPECT_EQ(next->Status(), STATUS_SUCCESS);
}

TEST_F(IsochronousTest, CancelledTransferCompletesCancelled) {
    std::vector<uint8_t> a, b;
    auto first = Isochronous(top_, pipe_.PipeHandle, 8, 4096, 0, true, &a);
    auto second = Isochronous(top_, pipe_.PipeHandle, 8, 4096, 0, true, &b);
    first->Send();
    second->Send();
    EXPECT_TRUE(IoCancelIrp(second->Irp()));
    KeFlushQueuedDpcs();
    ASSERT_TRUE(second->Done());
    EXPECT_EQ(second->Status(), STATUS_CANCELLED);
    EXPECT_FALSE(first->Done());
    Advance(12);
    EXPECT_EQ(first->Status(), STATUS_SUCCESS);
}

TEST_F(IsochronousTest, StalledEndpointHaltsUntilThePipeIsReset) {
    ULONG start = Now() + 4;
    device_->stallFrame = start + 2;
    std::vector<uint8_t> a, b, c;
    auto first = Isochronous(top_, pipe_.PipeHandle, 4, 4096, start, false, &a);
    auto second = Isochronous(top_, pipe_.PipeHandle, 4, 4096, 0, true, &b);
    first->Send();
    second->Send();
    Advance(12);
    ASSERT_TRUE(first->Done());
    ASSERT_TRUE(second->Done());
    auto& r = first->As<struct _URB_ISOCH_TRANSFER>();
    EXPECT_EQ(r.Hdr.Status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(first->Status(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(r.IsoPacket[1].Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(r.IsoPacket[2].Status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(r.IsoPacket[3].Status, USBD_STATUS_ISO_NOT_ACCESSED_BY_HW);
    EXPECT_EQ(second->Urb()->UrbHeader.Status, USBD_STATUS_ENDPOINT_HALTED);
    auto third = Isochronous(top_, pipe_.PipeHandle, 4, 4096, 0, true, &c);
    EXPECT_EQ(third->Send(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(third->Urb()->UrbHeader.Status, USBD_STATUS_ENDPOINT_HALTED);
    USBD_STATUS usbd;
    EXPECT_EQ(PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, &usbd), STATUS_SUCCESS);
    auto fourth = Isochronous(top_, pipe_.PipeHandle, 4, 4096, 0, true, &c);
    fourth->Send();
    Advance(7);
    EXPECT_EQ(fourth->Status(), STATUS_SUCCESS);
}

TEST_F(IsochronousTest, UnplugCompletesPendingTransfersWithAnError) {
    std::vector<std::vector<uint8_t>> buffers(2);
    std::vector<std::unique_ptr<AsyncUrb>> transfers;
    for (auto& b : buffers) {
        transfers.push_back(Isochronous(top_, pipe_.PipeHandle, 32, 4096, 0, true, &b));
        transfers.back()->Send();
    }
    Advance(3);
    Unplug(port_);
    for (auto& t : transfers) {
        ASSERT_TRUE(t->Done());
        EXPECT_EQ(t->Status(), STATUS_DEVICE_NOT_CONNECTED);
        EXPECT_EQ(t->Urb()->UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
        EXPECT_EQ(t->CompletionIrql(), DISPATCH_LEVEL);
    }
    EXPECT_TRUE(PathOf(u"USB\\VID_1234&PID_5678&MI_00").empty());
}

TEST_F(IsochronousTest, DeviceLeavingInTheMiddleOfAStreamIsUnplugged) {
    ULONG start = Now() + 3;
    device_->detachFrame = start + 5;
    std::vector<uint8_t> buffer;
    auto t = Isochronous(top_, pipe_.PipeHandle, 8, 4096, start, false, &buffer);
    t->Send();
    Advance(12);
    ASSERT_TRUE(t->Done());
    auto& r = t->As<struct _URB_ISOCH_TRANSFER>();
    EXPECT_EQ(r.Hdr.Status, USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ(r.IsoPacket[4].Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(r.IsoPacket[5].Status, USBD_STATUS_DEV_NOT_RESPONDING);
    qk::nt::pnp::WaitIdle();
    EXPECT_TRUE(PathOf(u"USB\\VID_1234&PID_5678&MI_00").empty());
}

TEST_F(IsochronousTest, OutTransfersHandEachPacketToTheDevice) {
    PDEVICE_OBJECT top = Top(PathOf(u"USB\\VID_1234&PID_5678&MI_02"));
    USBD_PIPE_INFORMATION out = SelectAlternate(top, Configure(top), 2, 1);
    ASSERT_NE(out.PipeHandle, nullptr);
    EXPECT_EQ(out.MaximumPacketSize, 192);  // every eighth microframe: one packet a frame
    std::vector<uint8_t> buffer;
    auto t = Isochronous(top, out.PipeHandle, 4, 176, 0, true, &buffer, false);
    ULONG start = Now() + 2;
    t->Send();
    Advance(7);
    ASSERT_TRUE(t->Done());
    EXPECT_EQ(t->Status(), STATUS_SUCCESS);
    auto packets = device_->OutPackets();
    ASSERT_EQ(packets.size(), 4u);
    EXPECT_EQ(packets[0], std::make_pair(start, size_t{176}));
}

// A client that keeps three transfers in flight and sends each again from its
// completion routine, as a streaming driver does.
class Streamer {
public:
    Streamer(PDEVICE_OBJECT target, USBD_PIPE_HANDLE pipe) : target_(target), pipe_(pipe) {
        for (auto& slot : slots_) {
            slot.owner = this;
            slot.irp = IoAllocateIrp(target->StackSize, FALSE);
            slot.buffer.resize(8 * 4096);
            slot.urb.resize(GET_ISO_URB_SIZE(8) / 8 + 1);
        }
    }
    ~Streamer() {
        for (auto& slot : slots_) IoFreeIrp(slot.irp);
    }
    void Start() {
        for (auto& slot : slots_) Submit(slot);
    }
    void Stop() { stopping_ = true; }
    std::vector<ULONG> Frames() {
        std::lock_guard guard(lock_);
        return frames_;
    }

private:
    struct Slot {
        Streamer* owner;
        PIRP irp;
        std::vector<uint8_t> buffer;
        std::vector<uint64_t> urb;
    };
    void Submit(Slot& slot) {
        auto& r = *reinterpret_cast<struct _URB_ISOCH_TRANSFER*>(slot.urb.data());
        std::memset(&r, 0, GET_ISO_URB_SIZE(8));
        r.Hdr.Length = static_cast<USHORT>(GET_ISO_URB_SIZE(8));
        r.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
        r.PipeHandle = pipe_;
        r.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_START_ISO_TRANSFER_ASAP;
        r.TransferBufferLength = 8 * 4096;
        r.TransferBuffer = slot.buffer.data();
        r.NumberOfPackets = 8;
        for (ULONG i = 0; i < 8; ++i) r.IsoPacket[i].Offset = i * 4096;
        IoReuseIrp(slot.irp, STATUS_SUCCESS);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(slot.irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = &r;
        IoSetCompletionRoutine(slot.irp, Completed, &slot, TRUE, TRUE, TRUE);
        IoCallDriver(target_, slot.irp);
    }
    static NTSTATUS Completed(PDEVICE_OBJECT, PIRP, PVOID context) {
        auto& slot = *static_cast<Slot*>(context);
        Streamer* self = slot.owner;
        auto& r = *reinterpret_cast<struct _URB_ISOCH_TRANSFER*>(slot.urb.data());
        {
            std::lock_guard guard(self->lock_);
            for (ULONG i = 0; i < r.NumberOfPackets; ++i) {
                if (r.IsoPacket[i].Status == USBD_STATUS_SUCCESS) self->frames_.push_back(r.StartFrame + i);
            }
        }
        if (!self->stopping_) self->Submit(slot);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    PDEVICE_OBJECT target_;
    USBD_PIPE_HANDLE pipe_;
    Slot slots_[3];
    std::atomic<bool> stopping_{false};
    std::mutex lock_;  // guards frames_
    std::vector<ULONG> frames_;
};

TEST_F(IsochronousTest, TransfersSentAgainFromCompletionKeepTheStreamGapless) {
    Streamer streamer(top_, pipe_.PipeHandle);
    streamer.Start();
    Advance(200);
    streamer.Stop();
    USBD_STATUS usbd;
    EXPECT_EQ(PipeRequest(URB_FUNCTION_ABORT_PIPE, &usbd), STATUS_SUCCESS);
    std::vector<ULONG> frames = streamer.Frames();
    ASSERT_GT(frames.size(), 180u);
    for (size_t i = 1; i < frames.size(); ++i) ASSERT_EQ(frames[i], frames[i - 1] + 1) << i;
    auto inFrames = device_->InFrames();
    ASSERT_GE(inFrames.size(), frames.size());
}

// Benchmarks take the device model's work out of the stack's figure: the
// bus counts the processor time spent in the device's packets, and only
// while asked to.
TEST_F(IsochronousTest, DeviceProcessorTimeIsCountedWhileTimingIsOn) {
    constexpr int64_t kPacketNs = 2'000'000;
    device_->busyNs = kPacketNs;
    auto bus = TheHostController();
    std::vector<uint8_t> a, b;
    auto untimed = Isochronous(top_, pipe_.PipeHandle, 4, 4096, 0, true, &a);
    untimed->Send();
    Advance(8);
    ASSERT_TRUE(untimed->Done());
    EXPECT_EQ(bus->DeviceProcessorNs(), 0);

    bus->SetDeviceTiming(true);
    auto timed = Isochronous(top_, pipe_.PipeHandle, 8, 4096, 0, true, &b);
    timed->Send();
    Advance(12);
    ASSERT_TRUE(timed->Done());
    bus->SetDeviceTiming(false);
    EXPECT_EQ(timed->Status(), STATUS_SUCCESS);
    EXPECT_GE(bus->DeviceProcessorNs(), 8 * kPacketNs);
    EXPECT_LT(bus->DeviceProcessorNs(), 12 * kPacketNs);  // each packet once, not the bus's own work
    EXPECT_EQ(bus->DeviceTimedSpans(), 1);  // one span around the transfer's packets
}

TEST_F(IsochronousTest, BusClockFollowsThePlatformClockInRealTime) {
    qk::nt::Kernel::Get().TheClock().SetRealTime(50.0);
    ULONG before = Now();
    std::vector<uint8_t> buffer;
    auto t = Isochronous(top_, pipe_.PipeHandle, 32, 4096, 0, true, &buffer);
    t->Send();
    while (!t->Done()) std::this_thread::yield();
    EXPECT_GE(Now(), before + 34);
    EXPECT_EQ(t->Status(), STATUS_SUCCESS);
    qk::nt::Kernel::Get().TheClock().SetManual();
}

}  // namespace
}  // namespace qk::usb::testing
