#include <gtest/gtest.h>

#include "platform/nt/object.h"
#include "platform/nt/pool.h"
#include "platform/nt/testing/machine_test.h"
#include "platform/nt/thread_context.h"
#include "wdm.h"

namespace {

using qk::nt::pool::Tag;
using qk::verifier::Violation;

class PoolTest : public qk::testing::MachineTest {};

TEST_F(PoolTest, CountsBlocksAndBytesPerTag) {
    constexpr ULONG kTag = Tag("KCNw");
    auto before = qk::nt::pool::StatsFor(kTag);
    void* a = ExAllocatePoolWithTag(NonPagedPool, 100, kTag);
    void* b = ExAllocatePoolWithTag(NonPagedPool, 28, kTag);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % 16, 0u);
    auto during = qk::nt::pool::StatsFor(kTag);
    EXPECT_EQ(during.outstandingBlocks - before.outstandingBlocks, 2u);
    EXPECT_EQ(during.outstandingBytes - before.outstandingBytes, 128u);
    ExFreePoolWithTag(a, kTag);
    ExFreePoolWithTag(b, kTag);
    EXPECT_EQ(qk::nt::pool::StatsFor(kTag).outstandingBlocks, before.outstandingBlocks);
    EXPECT_EQ(qk::nt::pool::TagText(kTag), "KCNw");
}

TEST_F(PoolTest, MisuseIsReportedNotFatal) {
    constexpr ULONG kTag = Tag("Wdm ");
    auto* p = static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPool, 16, kTag));
    ExFreePoolWithTag(p, Tag("Othr"));  // wrong tag
    EXPECT_EQ(TakeViolations(Violation::PoolMisuse), 1u);
    ExFreePoolWithTag(p, kTag);  // double free
    EXPECT_EQ(TakeViolations(Violation::PoolMisuse), 1u);

    p = static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPool, 16, kTag));
    p[16] = 0;  // one byte past the end
    ExFreePoolWithTag(p, kTag);
    EXPECT_EQ(TakeViolations(Violation::PoolMisuse), 1u);
}

TEST_F(PoolTest, PagedPoolAtDispatchLevelIsCaught) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    void* p = ExAllocatePoolWithTag(PagedPool, 8, Tag("Test"));
    KeLowerIrql(old);
    EXPECT_EQ(TakeViolations(Violation::IrqlTooHigh), 1u);
    ExFreePool(p);
}

TEST_F(PoolTest, FailureInjectionMakesAllocationsFail) {
    qk::nt::pool::SetFailurePredicate([](ULONG tag, size_t, POOL_TYPE) { return tag == Tag("Fail"); });
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, Tag("Fail")), nullptr);
    void* ok = ExAllocatePoolWithTag(NonPagedPool, 8, Tag("Good"));
    EXPECT_NE(ok, nullptr);
    ExFreePool(ok);
    qk::nt::pool::SetFailurePredicate(nullptr);
}

TEST_F(PoolTest, LeaksAreReportedPerDriverAndAtShutdown) {
    DRIVER_OBJECT* fakeDriver = reinterpret_cast<DRIVER_OBJECT*>(0x1000);
    void* kept;
    {
        qk::nt::DriverScope scope(fakeDriver);
        ExAllocatePoolWithTag(NonPagedPool, 40, Tag("Leak"));
        kept = ExAllocatePoolWithTag(NonPagedPool, 8, Tag("Mine"));
    }
    void* platformBlock = ExAllocatePoolWithTag(NonPagedPool, 8, Tag("Plat"));
    // The driver's unload finds both of its blocks, not the platform's.
    EXPECT_EQ(qk::nt::pool::CheckLeaks(fakeDriver, "driver unload"), 2u);
    EXPECT_EQ(TakeViolations(Violation::PoolLeak), 2u);  // one report per tag
    (void)kept;
    RestartMachine();  // shutdown finds the platform's block
    EXPECT_EQ(TakeViolations(Violation::PoolLeak), 1u);
    (void)platformBlock;
}

struct Widget : qk::nt::KernelObject {
    const char* TypeName() const override { return "Widget"; }
};
struct Gadget : qk::nt::KernelObject {
    const char* TypeName() const override { return "Gadget"; }
};

TEST_F(PoolTest, HandlesAreTypedAndNeverReused) {
    auto widget = std::make_shared<Widget>();
    HANDLE h = qk::nt::InsertHandle(widget, GENERIC_READ);
    std::shared_ptr<Widget> w;
    ACCESS_MASK granted = 0;
    EXPECT_EQ(qk::nt::LookupHandleAs(h, &w, &granted), STATUS_SUCCESS);
    EXPECT_EQ(w.get(), widget.get());
    EXPECT_EQ(granted, static_cast<ACCESS_MASK>(GENERIC_READ));
    std::shared_ptr<Gadget> g;
    EXPECT_EQ(qk::nt::LookupHandleAs(h, &g), STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(h), STATUS_INVALID_HANDLE);
    EXPECT_EQ(TakeViolations(Violation::HandleMisuse), 1u);
    HANDLE h2 = qk::nt::InsertHandle(widget, 0);
    EXPECT_NE(h2, h);
    ZwClose(h2);
}

TEST(RtlStrings, CompareAppendAndConvert) {
    UNICODE_STRING a, b;
    RtlInitUnicodeString(&a, u"VID_FA57&PID_0340");
    RtlInitUnicodeString(&b, u"vid_fa57&pid_0340");
    EXPECT_TRUE(RtlEqualUnicodeString(&a, &b, TRUE));
    EXPECT_FALSE(RtlEqualUnicodeString(&a, &b, FALSE));
    UNICODE_STRING prefix;
    RtlInitUnicodeString(&prefix, u"vid_");
    EXPECT_TRUE(RtlPrefixUnicodeString(&prefix, &a, TRUE));

    WCHAR storage[8];
    UNICODE_STRING d{0, sizeof storage, storage};
    EXPECT_EQ(RtlAppendUnicodeToString(&d, u"abc"), STATUS_SUCCESS);
    EXPECT_EQ(RtlAppendUnicodeToString(&d, u"defg"), STATUS_SUCCESS);  // exactly full: 7 chars + zero
    EXPECT_EQ(RtlAppendUnicodeToString(&d, u"hi"), STATUS_BUFFER_TOO_SMALL);  // 9 characters do not fit 16 bytes
    EXPECT_EQ(std::u16string(d.Buffer, d.Length / 2), u"abcdefg");

    WCHAR digits[4];
    UNICODE_STRING n{0, sizeof digits, digits};
    EXPECT_EQ(RtlIntegerToUnicodeString(0x340, 16, &n), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(n.Buffer, n.Length / 2), u"340");
    EXPECT_EQ(RtlIntegerToUnicodeString(123456, 10, &n), STATUS_BUFFER_OVERFLOW);
    ULONG v = 0;
    UNICODE_STRING hex;
    RtlInitUnicodeString(&hex, u"0x1F");
    EXPECT_EQ(RtlUnicodeStringToInteger(&hex, 0, &v), STATUS_SUCCESS);
    EXPECT_EQ(v, 31u);
}

TEST_F(PoolTest, GuidStringsRoundTrip) {
    constexpr GUID kStill = {0x6BDD1FC6, 0x810F, 0x11D0, {0xBE, 0xC7, 0x08, 0x00, 0x2B, 0xE2, 0x09, 0x2F}};
    UNICODE_STRING text;
    ASSERT_EQ(RtlStringFromGUID(kStill, &text), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(text.Buffer, text.Length / 2), u"{6bdd1fc6-810f-11d0-bec7-08002be2092f}");
    GUID back{};
    EXPECT_EQ(RtlGUIDFromString(&text, &back), STATUS_SUCCESS);
    EXPECT_TRUE(IsEqualGUID(back, kStill));
    RtlFreeUnicodeString(&text);
    UNICODE_STRING bad;
    RtlInitUnicodeString(&bad, u"{6bdd1fc6-810f-11d0-bec7-08002be2092g}");
    EXPECT_EQ(RtlGUIDFromString(&bad, &back), STATUS_INVALID_PARAMETER);
}

}  // namespace
