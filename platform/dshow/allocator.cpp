// The base classes' memory allocator and media sample: a fixed set of
// buffers, handed out by GetBuffer (waiting while all are out) and returned
// when a sample's last reference goes. An outstanding sample holds a
// reference on its allocator, so the allocator outlives every sample.
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dshow/base_classes.h"
#include "platform/dshow/com_object.h"

namespace qk::dshow {
namespace {

class MemAllocator;

class MediaSample final : public IMediaSample {
public:
    MediaSample(MemAllocator* owner, BYTE* buffer, LONG size) : owner_(owner), buffer_(buffer), size_(size) {}
    ~MediaSample() {
        if (type_ != nullptr) DeleteMediaType(type_);
    }

    void Reset() {
        actual_ = 0;
        timeValid_ = mediaTimeValid_ = false;
        sync_ = preroll_ = discontinuity_ = false;
        if (type_ != nullptr) DeleteMediaType(type_);
        type_ = nullptr;
    }
    void Take() { refs_ = 1; }

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (riid == IID_IUnknown || riid == IID_IMediaSample) return Hand(static_cast<IMediaSample*>(this), ppv);
        return E_NOINTERFACE;
    }
    ULONG AddRef() override;
    ULONG Release() override;

    HRESULT GetPointer(BYTE** ppBuffer) override {
        if (ppBuffer == nullptr) return E_POINTER;
        *ppBuffer = buffer_;
        return S_OK;
    }
    LONG GetSize() override { return size_; }
    HRESULT GetTime(REFERENCE_TIME* start, REFERENCE_TIME* end) override {
        if (start == nullptr || end == nullptr) return E_POINTER;
        if (!timeValid_) return VFW_E_SAMPLE_TIME_NOT_SET;
        *start = start_;
        *end = end_;
        return S_OK;
    }
    HRESULT SetTime(REFERENCE_TIME* start, REFERENCE_TIME* end) override {
        if (start == nullptr) {
            timeValid_ = false;
            return S_OK;
        }
        start_ = *start;
        end_ = end != nullptr ? *end : *start + 1;
        timeValid_ = true;
        return S_OK;
    }
    HRESULT IsSyncPoint() override { return sync_ ? S_OK : S_FALSE; }
    HRESULT SetSyncPoint(BOOL b) override {
        sync_ = b != 0;
        return S_OK;
    }
    HRESULT IsPreroll() override { return preroll_ ? S_OK : S_FALSE; }
    HRESULT SetPreroll(BOOL b) override {
        preroll_ = b != 0;
        return S_OK;
    }
    LONG GetActualDataLength() override { return actual_; }
    HRESULT SetActualDataLength(LONG length) override {
        if (length < 0 || length > size_) return VFW_E_BUFFER_OVERFLOW;
        actual_ = length;
        return S_OK;
    }
    HRESULT GetMediaType(AM_MEDIA_TYPE** ppMediaType) override {
        if (ppMediaType == nullptr) return E_POINTER;
        *ppMediaType = nullptr;
        if (type_ == nullptr) return S_FALSE;
        *ppMediaType = CreateMediaType(type_);
        return *ppMediaType != nullptr ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT SetMediaType(AM_MEDIA_TYPE* pMediaType) override {
        if (type_ != nullptr) DeleteMediaType(type_);
        type_ = nullptr;
        if (pMediaType == nullptr) return S_OK;
        type_ = CreateMediaType(pMediaType);
        return type_ != nullptr ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT IsDiscontinuity() override { return discontinuity_ ? S_OK : S_FALSE; }
    HRESULT SetDiscontinuity(BOOL b) override {
        discontinuity_ = b != 0;
        return S_OK;
    }
    HRESULT GetMediaTime(LONGLONG* start, LONGLONG* end) override {
        if (start == nullptr || end == nullptr) return E_POINTER;
        if (!mediaTimeValid_) return VFW_E_MEDIA_TIME_NOT_SET;
        *start = mediaStart_;
        *end = mediaEnd_;
        return S_OK;
    }
    HRESULT SetMediaTime(LONGLONG* start, LONGLONG* end) override {
        if (start == nullptr || end == nullptr) {
            mediaTimeValid_ = false;
            return S_OK;
        }
        mediaStart_ = *start;
        mediaEnd_ = *end;
        mediaTimeValid_ = true;
        return S_OK;
    }

private:
    MemAllocator* const owner_;
    BYTE* const buffer_;
    const LONG size_;
    std::atomic<ULONG> refs_{0};
    LONG actual_ = 0;
    bool timeValid_ = false, mediaTimeValid_ = false;
    bool sync_ = false, preroll_ = false, discontinuity_ = false;
    REFERENCE_TIME start_ = 0, end_ = 0;
    LONGLONG mediaStart_ = 0, mediaEnd_ = 0;
    AM_MEDIA_TYPE* type_ = nullptr;  // owned
};

class MemAllocator final : public RefCount, public IMemAllocator {
public:
    MemAllocator() : RefCount(QuartzObjects()) {}
    // Over one buffer of the caller's: its properties are fixed and it
    // allocates nothing.
    MemAllocator(std::u16string name, BYTE* buffer, LONG size)
        : RefCount(QuartzObjects()), name_(std::move(name)), external_(buffer), props_{1, size, 1, 0}, set_(true) {}
    ~MemAllocator() { Free(); }

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (riid == IID_IUnknown || riid == IID_IMemAllocator) return Hand(static_cast<IMemAllocator*>(this), ppv);
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return AddRefImpl(); }
    ULONG Release() override { return ReleaseImpl(); }

    HRESULT SetProperties(ALLOCATOR_PROPERTIES* request, ALLOCATOR_PROPERTIES* actual) override {
        if (request == nullptr || actual == nullptr) return E_POINTER;
        std::lock_guard guard(lock_);
        if (committed_) return VFW_E_ALREADY_COMMITTED;
        if (outstanding_ != 0) return VFW_E_BUFFERS_OUTSTANDING;
        if (request->cbAlign <= 0 || (request->cbAlign & (request->cbAlign - 1)) != 0) return VFW_E_BADALIGN;
        if (request->cBuffers <= 0 || request->cbBuffer <= 0 || request->cbPrefix < 0 || request->cBuffers > 64 ||
            request->cbBuffer > (256 << 20)) {
            return E_INVALIDARG;
        }
        // The caller's buffer is what there is: the answer tells the asker,
        // who decides whether it will do.
        if (external_ != nullptr) {
            *actual = props_;
            return S_OK;
        }
        props_ = *request;
        *actual = props_;
        set_ = true;
        return S_OK;
    }
    HRESULT GetProperties(ALLOCATOR_PROPERTIES* props) override {
        if (props == nullptr) return E_POINTER;
        std::lock_guard guard(lock_);
        *props = props_;
        return S_OK;
    }
    HRESULT Commit() override {
        std::lock_guard guard(lock_);
        if (!set_) return VFW_E_SIZENOTSET;
        if (committed_) return S_OK;
        // Buffers from an earlier commit that are still out are freed when they come back.
        if (samples_.empty() && external_ != nullptr) {
            samples_.push_back(std::make_unique<MediaSample>(this, external_, props_.cbBuffer));
            free_.push_back(samples_.back().get());
        } else if (samples_.empty()) {
            size_t stride = static_cast<size_t>(props_.cbPrefix + props_.cbBuffer + props_.cbAlign);
            memory_.assign(stride * static_cast<size_t>(props_.cBuffers), 0);
            for (LONG i = 0; i < props_.cBuffers; ++i) {
                auto address = reinterpret_cast<uintptr_t>(memory_.data() + stride * static_cast<size_t>(i)) +
                               static_cast<uintptr_t>(props_.cbPrefix);
                address = (address + static_cast<uintptr_t>(props_.cbAlign) - 1) &
                          ~static_cast<uintptr_t>(props_.cbAlign - 1);
                samples_.push_back(std::make_unique<MediaSample>(this, reinterpret_cast<BYTE*>(address), props_.cbBuffer));
                free_.push_back(samples_.back().get());
            }
        }
        committed_ = true;
        return S_OK;
    }
    HRESULT Decommit() override {
        {
            std::lock_guard guard(lock_);
            committed_ = false;
            if (outstanding_ == 0) FreeLocked();
        }
        available_.notify_all();  // waiters in GetBuffer give up
        return S_OK;
    }
    HRESULT GetBuffer(IMediaSample** out, REFERENCE_TIME*, REFERENCE_TIME*, DWORD) override {
        if (out == nullptr) return E_POINTER;
        *out = nullptr;
        std::unique_lock guard(lock_);
        available_.wait(guard, [&] { return !committed_ || !free_.empty(); });
        if (!committed_) return VFW_E_NOT_COMMITTED;
        MediaSample* sample = free_.back();
        free_.pop_back();
        ++outstanding_;
        sample->Reset();
        sample->Take();
        AddRefImpl();  // the sample holds its allocator
        *out = sample;
        return S_OK;
    }
    HRESULT ReleaseBuffer(IMediaSample* buffer) override {
        if (buffer == nullptr) return E_POINTER;
        {
            std::lock_guard guard(lock_);
            free_.push_back(static_cast<MediaSample*>(buffer));
            --outstanding_;
            if (!committed_ && outstanding_ == 0) FreeLocked();
        }
        available_.notify_one();
        ReleaseImpl();
        return S_OK;
    }

private:
    void Free() {
        std::lock_guard guard(lock_);
        FreeLocked();
    }
    void FreeLocked() {
        free_.clear();
        samples_.clear();
        memory_.clear();
        memory_.shrink_to_fit();
    }

    const std::u16string name_;  // the object's name, for whoever debugs it
    BYTE* const external_ = nullptr;  // the caller's buffer, or null
    std::mutex lock_;  // guards everything below
    std::condition_variable available_;
    ALLOCATOR_PROPERTIES props_{0, 0, 1, 0};
    bool set_ = false;
    bool committed_ = false;
    LONG outstanding_ = 0;
    std::vector<uint8_t> memory_;
    std::vector<std::unique_ptr<MediaSample>> samples_;
    std::vector<MediaSample*> free_;
};

ULONG MediaSample::AddRef() { return refs_.fetch_add(1) + 1; }
ULONG MediaSample::Release() {
    ULONG left = refs_.fetch_sub(1) - 1;
    if (left == 0) owner_->ReleaseBuffer(this);
    return left;
}

}  // namespace

HRESULT CreateMemAllocator(REFIID riid, void** ppv) {
    auto* object = new MemAllocator;
    HRESULT hr = object->QueryInterface(riid, ppv);
    object->Release();
    return hr;
}

HRESULT CreateBufferAllocator(const std::u16string& name, BYTE* buffer, LONG size, IMemAllocator** allocator) {
    if (allocator == nullptr || buffer == nullptr) return E_POINTER;
    *allocator = nullptr;
    if (size <= 0) return E_INVALIDARG;
    *allocator = new MemAllocator(name, buffer, size);
    return S_OK;
}

}  // namespace qk::dshow
