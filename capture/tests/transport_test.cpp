// The frame pool and frame assembly on their own: slots, the frame-id toggle,
// payload that does not fit, and a pool with every slot taken.
#include <gtest/gtest.h>

#include <cstring>
#include <new>
#include <vector>

#include "capture/k0340dev.h"

namespace k0340 {
namespace {

class Assembly : public ::testing::Test {
protected:
    void SetUp() override {
        device_ = new UsbCameraDevice;
        transport_ = std::make_unique<TransportHeader>();
        device_->transport = transport_.get();
        device_->transportOps = IsochTransportTable();
        device_->transportOps->initialise(device_);
        ASSERT_EQ(device_->AllocatePool(kLargestFrame), STATUS_SUCCESS);
        ASSERT_EQ(device_->PoolBytes(), 11540600u);
    }
    void TearDown() override {
        device_->FreePool();
        delete device_;
    }
    // One packet: a 12-byte payload header with the frame id, then `bytes` of `fill`.
    void Packet(int frameId, size_t bytes, uint8_t fill) {
        constexpr uint8_t headerLength = 12;
        std::vector<uint8_t> p(headerLength + bytes, fill);
        p[0] = headerLength;
        p[1] = static_cast<uint8_t>(0x80 | frameId);
        AssemblePacket(device_, p.data(), static_cast<ULONG>(p.size()));
    }
    UsbCameraDevice* device_ = nullptr;
    std::unique_ptr<TransportHeader> transport_;
};

TEST_F(Assembly, PoolsCutIntoSlotsBySize) {
    ASSERT_EQ(device_->InitialiseRing(kLargestFrame), STATUS_SUCCESS);
    EXPECT_EQ(device_->SlotCount(), 2u);  // two of the largest frames exactly
    ASSERT_EQ(device_->InitialiseRing(kSmallFrameBuffer), STATUS_SUCCESS);
    EXPECT_EQ(device_->SlotCount(), 18u);
    UsbCameraDevice small;
    ASSERT_EQ(small.AllocatePool(1000), STATUS_SUCCESS);
    EXPECT_EQ(small.PoolBytes(), 5242880u);
    EXPECT_EQ(small.InitialiseRing(kLargestFrame), STATUS_INSUFFICIENT_RESOURCES);  // not even two slots
    small.FreePool();
}

TEST_F(Assembly, OnlyTheToggleEndsAFrame) {
    ASSERT_EQ(device_->InitialiseRing(kSmallFrameBuffer), STATUS_SUCCESS);
    Packet(0, 100, 1);
    Packet(0, 50, 2);
    Packet(0, 0, 9);              // header only: carries nothing, ends nothing
    uint8_t longHeader[10] = {40, 0x81, 3, 3, 3, 3, 3, 3, 3, 3};  // a header claiming more than the packet
    AssemblePacket(device_, longHeader, sizeof longHeader);          // ignored, its toggle too
    Packet(1, 70, 4);             // toggle: the first frame goes to the ready list
    FrameDescriptor* f = TakeReadyFrame(device_);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->marker, kMarkerFrame);
    EXPECT_EQ(f->filled, 150u);
    EXPECT_EQ(f->data[0], 1);
    EXPECT_EQ(f->data[149], 2);
    EXPECT_EQ(TakeReadyFrame(device_), nullptr);
    device_->ReleaseSlot(f);
    Packet(1, 30, 5);
    Packet(0, 10, 6);
    f = TakeReadyFrame(device_);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->filled, 100u);
    device_->ReleaseSlot(f);
}

TEST_F(Assembly, PayloadBeyondTheCapacityIsDropped) {
    ASSERT_EQ(device_->InitialiseRing(kSmallFrameBuffer), STATUS_SUCCESS);
    size_t sent = 0;
    while (sent < kSmallFrameBuffer + 50000) {
        Packet(0, 3000, 7);
        sent += 3000;
    }
    Packet(1, 10, 8);
    FrameDescriptor* f = TakeReadyFrame(device_);
    ASSERT_NE(f, nullptr);
    EXPECT_LE(f->filled, f->capacity);
    EXPECT_EQ(f->counted, sent);
    device_->ReleaseSlot(f);
}

TEST_F(Assembly, WithEverySlotTakenPayloadIsDiscardedUntilOneIsFree) {
    ASSERT_EQ(device_->InitialiseRing(kLargestFrame), STATUS_SUCCESS);  // two slots
    Packet(0, 10, 1);
    Packet(1, 10, 2);  // frame 1 ready, frame 2 in assembly: both slots taken
    Packet(0, 10, 3);  // frame 2 ready; no slot for frame 3
    Packet(0, 10, 4);
    FrameDescriptor* first = TakeReadyFrame(device_);
    FrameDescriptor* second = TakeReadyFrame(device_);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(TakeReadyFrame(device_), nullptr);
    device_->ReleaseSlot(first);
    Packet(1, 10, 5);  // a new frame takes the freed slot
    Packet(0, 10, 6);
    FrameDescriptor* third = TakeReadyFrame(device_);
    ASSERT_NE(third, nullptr);
    EXPECT_EQ(third->data[0], 5);
    device_->ReleaseSlot(second);
    device_->ReleaseSlot(third);
}

}  // namespace
}  // namespace k0340
