// "VFW Sample Grabber": an in-place transform that shows every sample to the
// driver's callback before passing it on, with its control interface. The
// filter's lock serialises the callback with the control interface.
#include <cstring>
#include <mutex>

#include "platform/dshow/base_classes.h"
#include "platform/dshow/base_filter.h"
#include "vfw/k0340vfw.h"

namespace k0340vfw {
namespace {

using qk::dshow::Hand;

class SampleGrabber final : public qk::dshow::base::TransInPlaceFilter, public ISampleGrabberControl {
public:
    SampleGrabber() : TransInPlaceFilter(LiveObjects(), CLSID_VfwSampleGrabber, u"Input", u"Output") {}
    ~SampleGrabber() override {
        FreeMediaType(accepted_);
        if (own_ != nullptr) own_->Release();
    }

    HRESULT QueryInterface(REFIID riid, void** ppv) override { return TransInPlaceFilter::QueryInterface(riid, ppv); }
    ULONG AddRef() override { return TransInPlaceFilter::AddRef(); }
    ULONG Release() override { return TransInPlaceFilter::Release(); }

    // A null type accepts everything again.
    HRESULT SetAcceptedType(const AM_MEDIA_TYPE* type) override {
        std::lock_guard guard(grabberLock_);
        FreeMediaType(accepted_);
        std::memset(&accepted_, 0, sizeof accepted_);
        return type != nullptr ? CopyMediaType(&accepted_, type) : S_OK;
    }
    HRESULT GetConnectedType(AM_MEDIA_TYPE* type) override {
        if (type == nullptr) return E_POINTER;
        return Pin(0)->ConnectionMediaType(type);
    }
    HRESULT SetSampleCallback(SampleCallback callback) override {
        std::lock_guard guard(grabberLock_);
        callback_ = callback;
        return S_OK;
    }
    // A buffer of the caller's as the only one: the input pin offers an
    // allocator over it and takes no other, so every sample upstream fills
    // is the caller's memory. It replaces an earlier one.
    HRESULT SetOwnBuffer(ALLOCATOR_PROPERTIES* properties, void* buffer) override {
        if (properties == nullptr) return E_POINTER;
        if (properties->cBuffers != 1 || properties->cbBuffer <= 0) return E_INVALIDARG;
        if (buffer == nullptr) return E_POINTER;
        if (Pin(0)->IsConnected() || Pin(1)->IsConnected()) return E_INVALIDARG;
        IMemAllocator* allocator = nullptr;
        HRESULT hr = qk::dshow::CreateBufferAllocator(u"SampleGrabberAllocator", static_cast<BYTE*>(buffer),
                                                      properties->cbBuffer, &allocator);
        if (FAILED(hr)) return hr;
        std::lock_guard guard(grabberLock_);
        if (own_ != nullptr) own_->Release();
        own_ = allocator;
        return S_OK;
    }

protected:
    HRESULT QueryMore(REFIID riid, void** ppv) override {
        if (riid == IID_ISampleGrabberControl) return Hand(static_cast<ISampleGrabberControl*>(this), ppv);
        return E_NOINTERFACE;
    }
    HRESULT CheckInputType(const AM_MEDIA_TYPE* type) override {
        std::lock_guard guard(grabberLock_);
        if (accepted_.majortype != GUID_NULL && accepted_.majortype != type->majortype) return VFW_E_TYPE_NOT_ACCEPTED;
        if (accepted_.subtype != GUID_NULL && accepted_.subtype != type->subtype) return VFW_E_TYPE_NOT_ACCEPTED;
        if (accepted_.formattype != GUID_NULL && accepted_.formattype != type->formattype) return VFW_E_TYPE_NOT_ACCEPTED;
        return S_OK;
    }
    IMemAllocator* InputAllocator() override {
        std::lock_guard guard(grabberLock_);
        return own_;
    }
    void InputConnected(const AM_MEDIA_TYPE&) override {
        std::lock_guard guard(grabberLock_);
        typeChanged_ = TRUE;
    }
    HRESULT Transform(IMediaSample* sample) override {
        std::lock_guard guard(grabberLock_);
        if (callback_ == nullptr) return S_OK;
        REFERENCE_TIME start = 0, end = 0;
        sample->GetTime(&start, &end);
        start += StreamStart();
        end += StreamStart();
        HRESULT hr = callback_(sample, &start, &end, typeChanged_);
        typeChanged_ = FALSE;
        return hr;
    }

private:
    std::mutex grabberLock_;  // guards accepted_, callback_, typeChanged_, own_
    AM_MEDIA_TYPE accepted_{};
    SampleCallback callback_ = nullptr;
    BOOL typeChanged_ = FALSE;
    IMemAllocator* own_ = nullptr;  // one reference; over the caller's buffer
};

}  // namespace

HRESULT CreateSampleGrabber(REFIID riid, void** ppv) {
    auto* grabber = new SampleGrabber;
    HRESULT hr = grabber->QueryInterface(riid, ppv);
    static_cast<IBaseFilter*>(grabber)->Release();
    return hr;
}

}  // namespace k0340vfw
