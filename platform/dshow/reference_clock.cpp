// The system reference clock of "quartz.dll": the platform clock in 100 ns
// units, with one-shot advices (an event set when a time comes) and periodic
// ones (a semaphore released once each period). One thread per clock serves
// the advices; while one is pending it looks at the clock at least every
// 10 ms, because the platform clock may run faster than the wall or be
// stepped by hand and tells no one, and with none it sleeps.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/dshow/base_classes.h"
#include "platform/dshow/com_object.h"
#include "platform/nt/clock.h"
#include "platform/nt/kernel.h"
#include "windows.h"

namespace qk::dshow {
namespace {

int64_t ClockNow() {
    auto* kernel = qk::nt::Kernel::GetOrNull();
    return kernel != nullptr ? kernel->TheClock().Now() : 0;
}

class SystemClock final : public RefCount, public IReferenceClock {
public:
    SystemClock() : RefCount(QuartzObjects()), worker_([this] { Serve(); }) {}
    ~SystemClock() override {
        {
            std::lock_guard guard(lock_);
            ending_ = true;
        }
        changed_.notify_all();
        worker_.join();
    }

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (riid == IID_IUnknown || riid == IID_IReferenceClock) return Hand(static_cast<IReferenceClock*>(this), ppv);
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return AddRefImpl(); }
    ULONG Release() override { return ReleaseImpl(); }

    HRESULT GetTime(REFERENCE_TIME* time) override {
        if (time == nullptr) return E_POINTER;
        *time = ClockNow();
        return S_OK;
    }
    HRESULT AdviseTime(REFERENCE_TIME baseTime, REFERENCE_TIME streamTime, HEVENT event, DWORD_PTR* cookie) override {
        if (cookie == nullptr) return E_POINTER;
        *cookie = 0;
        if (event == nullptr || baseTime < 0 || streamTime < 0 || baseTime + streamTime <= 0) return E_INVALIDARG;
        return Add({0, baseTime + streamTime, 0, event}, cookie);
    }
    HRESULT AdvisePeriodic(REFERENCE_TIME startTime, REFERENCE_TIME periodTime, HSEMAPHORE semaphore,
                           DWORD_PTR* cookie) override {
        if (cookie == nullptr) return E_POINTER;
        *cookie = 0;
        if (semaphore == nullptr || startTime < 0 || periodTime <= 0) return E_INVALIDARG;
        return Add({0, startTime, periodTime, semaphore}, cookie);
    }
    HRESULT Unadvise(DWORD_PTR cookie) override {
        std::lock_guard guard(lock_);
        auto it = std::find_if(advices_.begin(), advices_.end(), [&](const Advice& a) { return a.cookie == cookie; });
        if (it == advices_.end()) return S_FALSE;
        advices_.erase(it);
        return S_OK;
    }

private:
    struct Advice {
        DWORD_PTR cookie;
        REFERENCE_TIME due;
        REFERENCE_TIME period;  // 0: one-shot, an event; else a semaphore
        HANDLE handle;
    };

    HRESULT Add(Advice advice, DWORD_PTR* cookie) {
        {
            std::lock_guard guard(lock_);
            advice.cookie = nextCookie_++;
            advices_.push_back(advice);
            *cookie = advice.cookie;
        }
        changed_.notify_all();
        return S_OK;
    }

    // A periodic advice that fell behind (a stalled process) is released
    // once and goes on from the next period after now, as a timer does.
    void Serve() {
        std::unique_lock guard(lock_);
        while (!ending_) {
            const int64_t now = ClockNow();
            int64_t next = INT64_MAX;
            for (auto it = advices_.begin(); it != advices_.end();) {
                if (it->due <= now) {
                    if (it->period == 0) {
                        SetEvent(it->handle);
                        it = advices_.erase(it);
                        continue;
                    }
                    ReleaseSemaphore(it->handle, 1, nullptr);
                    it->due += ((now - it->due) / it->period + 1) * it->period;
                }
                next = std::min<int64_t>(next, it->due);
                ++it;
            }
            // With nothing to serve the thread sleeps until an advice comes.
            if (next == INT64_MAX) {
                changed_.wait(guard);
                continue;
            }
            std::chrono::nanoseconds wait = std::chrono::milliseconds(10);
            if (auto* kernel = qk::nt::Kernel::GetOrNull(); kernel != nullptr) {
                wait = std::min(wait, kernel->TheClock().RealWaitUntil(next));
            }
            changed_.wait_for(guard, wait);
        }
    }

    std::mutex lock_;  // guards advices_, nextCookie_, ending_
    std::condition_variable changed_;
    std::vector<Advice> advices_;
    DWORD_PTR nextCookie_ = 1;
    bool ending_ = false;
    std::thread worker_;  // last: starts once everything above is made
};

}  // namespace

HRESULT CreateSystemClock(REFIID riid, void** ppv) {
    auto* clock = new SystemClock;
    HRESULT hr = clock->QueryInterface(riid, ppv);
    clock->Release();
    return hr;
}

}  // namespace qk::dshow
