#include "platform/ks/clock.h"

#include <atomic>
#include <memory>

#include "platform/nt/kernel.h"
#include "platform/nt/object.h"

namespace qk::ks {
namespace {

class ReferenceClock final : public IKsReferenceClock {
public:
    ReferenceClock() : start_(qk::nt::Kernel::Get().TheClock().Now()) {}
    LONG AddRef() override { return ++references_; }
    LONG Release() override {
        LONG left = --references_;
        if (left == 0) delete this;
        return left;
    }
    LONGLONG GetTime() override { return qk::nt::Kernel::Get().TheClock().Now() - start_; }
    LONGLONG GetPhysicalTime() override { return GetTime(); }
    LONGLONG GetCorrelatedTime(PLONGLONG SystemTime) override {
        LONGLONG now = qk::nt::Kernel::Get().TheClock().Now();
        if (SystemTime) *SystemTime = now;
        return now - start_;
    }
    LONGLONG GetCorrelatedPhysicalTime(PLONGLONG SystemTime) override { return GetCorrelatedTime(SystemTime); }
    NTSTATUS GetResolution(PVOID) override { return STATUS_NOT_SUPPORTED; }
    NTSTATUS GetState(PKSSTATE State) override {
        *State = KSSTATE_RUN;
        return STATUS_SUCCESS;
    }

private:
    ~ReferenceClock() = default;
    std::atomic<LONG> references_{1};
    LONGLONG start_;
};

class ClockObject : public qk::nt::KernelObject {
public:
    ClockObject() : clock_(new ReferenceClock) {}
    ~ClockObject() override { clock_->Release(); }
    const char* TypeName() const override { return "Clock"; }
    PIKSREFERENCECLOCK Clock() { return clock_; }

private:
    ReferenceClock* clock_;
};

}  // namespace

HANDLE CreateClock() { return qk::nt::InsertHandle(std::make_shared<ClockObject>(), GENERIC_ALL); }

PIKSREFERENCECLOCK ClockFromHandle(HANDLE handle) {
    std::shared_ptr<ClockObject> object;
    if (!NT_SUCCESS(qk::nt::LookupHandleAs(handle, &object))) return nullptr;
    PIKSREFERENCECLOCK clock = object->Clock();
    clock->AddRef();
    return clock;
}

}  // namespace qk::ks
