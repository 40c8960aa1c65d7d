// A renderer as applications write them on the base classes: one input pin
// that accepts a major type, offers no allocator of its own (the upstream
// pin brings one), and hands each sample to a function while the filter is
// paused or running; samples that arrive while it is stopped are refused.
#include <cstring>
#include <mutex>
#include <string>

#include "platform/dshow/base_classes.h"
#include "platform/dshow/com_object.h"

namespace qk::dshow {
namespace {

class CallbackRenderer;

class RendererPin final : public IPin, public IMemInputPin {
public:
    explicit RendererPin(CallbackRenderer* filter) : filter_(filter) {}
    ~RendererPin() {
        if (peer_ != nullptr) peer_->Release();
        if (allocator_ != nullptr) allocator_->Release();
        FreeMediaType(type_);
    }

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (riid == IID_IUnknown || riid == IID_IPin) return Hand(static_cast<IPin*>(this), ppv);
        if (riid == IID_IMemInputPin) return Hand(static_cast<IMemInputPin*>(this), ppv);
        return E_NOINTERFACE;
    }
    ULONG AddRef() override;
    ULONG Release() override;

    // ---- IPin
    HRESULT Connect(IPin*, const AM_MEDIA_TYPE*) override { return E_UNEXPECTED; }  // input pins receive
    HRESULT ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* type) override;
    HRESULT Disconnect() override {
        std::lock_guard guard(lock_);
        if (peer_ == nullptr) return S_FALSE;
        peer_->Release();
        peer_ = nullptr;
        if (allocator_ != nullptr) allocator_->Release();
        allocator_ = nullptr;
        FreeMediaType(type_);
        std::memset(&type_, 0, sizeof type_);
        return S_OK;
    }
    HRESULT ConnectedTo(IPin** pin) override {
        if (pin == nullptr) return E_POINTER;
        std::lock_guard guard(lock_);
        *pin = peer_;
        if (peer_ == nullptr) return VFW_E_NOT_CONNECTED;
        peer_->AddRef();
        return S_OK;
    }
    HRESULT ConnectionMediaType(AM_MEDIA_TYPE* type) override {
        if (type == nullptr) return E_POINTER;
        std::lock_guard guard(lock_);
        if (peer_ == nullptr) {
            std::memset(type, 0, sizeof *type);
            return VFW_E_NOT_CONNECTED;
        }
        return CopyMediaType(type, &type_);
    }
    HRESULT QueryPinInfo(PIN_INFO* info) override;
    HRESULT QueryDirection(PIN_DIRECTION* direction) override {
        if (direction == nullptr) return E_POINTER;
        *direction = PINDIR_INPUT;
        return S_OK;
    }
    HRESULT QueryId(LPWSTR* id) override {
        if (id == nullptr) return E_POINTER;
        *id = static_cast<LPWSTR>(CoTaskMemAlloc(3 * sizeof(WCHAR)));
        if (*id == nullptr) return E_OUTOFMEMORY;
        std::memcpy(*id, u"In", 3 * sizeof(WCHAR));
        return S_OK;
    }
    HRESULT QueryAccept(const AM_MEDIA_TYPE* type) override;
    HRESULT EnumMediaTypes(IEnumMediaTypes**) override { return E_NOTIMPL; }  // it proposes nothing
    HRESULT QueryInternalConnections(IPin**, ULONG*) override { return E_NOTIMPL; }
    HRESULT EndOfStream() override;
    HRESULT BeginFlush() override { return S_OK; }
    HRESULT EndFlush() override { return S_OK; }
    HRESULT NewSegment(REFERENCE_TIME, REFERENCE_TIME, double) override { return S_OK; }

    // ---- IMemInputPin
    HRESULT GetAllocator(IMemAllocator** allocator) override {
        if (allocator == nullptr) return E_POINTER;
        *allocator = nullptr;
        return VFW_E_NO_ALLOCATOR;
    }
    HRESULT NotifyAllocator(IMemAllocator* allocator, BOOL) override {
        if (allocator == nullptr) return E_POINTER;
        std::lock_guard guard(lock_);
        allocator->AddRef();
        if (allocator_ != nullptr) allocator_->Release();
        allocator_ = allocator;
        return S_OK;
    }
    HRESULT GetAllocatorRequirements(ALLOCATOR_PROPERTIES*) override { return E_NOTIMPL; }
    HRESULT Receive(IMediaSample* sample) override;
    HRESULT ReceiveMultiple(IMediaSample** samples, LONG count, LONG* processed) override {
        if (samples == nullptr || processed == nullptr) return E_POINTER;
        *processed = 0;
        for (LONG i = 0; i < count; ++i) {
            HRESULT hr = Receive(samples[i]);
            if (hr != S_OK) return hr;
            ++*processed;
        }
        return S_OK;
    }
    HRESULT ReceiveCanBlock() override { return S_OK; }

private:
    CallbackRenderer* const filter_;
    std::mutex lock_;  // guards the connection
    IPin* peer_ = nullptr;                // one reference
    IMemAllocator* allocator_ = nullptr;  // one reference
    AM_MEDIA_TYPE type_{};                // owned
};

class CallbackRenderer final : public RefCount, public IBaseFilter {
public:
    CallbackRenderer(const GUID& major, SampleFunction onSample, ConnectFunction onConnect)
        : RefCount(QuartzObjects()), major_(major), onSample_(std::move(onSample)), onConnect_(std::move(onConnect)),
          pin_(this) {}
    ~CallbackRenderer() override {
        if (clock_ != nullptr) clock_->Release();
    }

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (riid == IID_IUnknown || riid == IID_IPersist || riid == IID_IMediaFilter || riid == IID_IBaseFilter) {
            return Hand(static_cast<IBaseFilter*>(this), ppv);
        }
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return AddRefImpl(); }
    ULONG Release() override { return ReleaseImpl(); }

    HRESULT GetClassID(CLSID* id) override {
        if (id == nullptr) return E_POINTER;
        *id = GUID_NULL;  // not a registered class
        return S_OK;
    }
    HRESULT Stop() override {
        std::lock_guard guard(stateLock_);
        state_ = State_Stopped;
        return S_OK;
    }
    HRESULT Pause() override {
        std::lock_guard guard(stateLock_);
        state_ = State_Paused;
        return S_OK;
    }
    HRESULT Run(REFERENCE_TIME) override {
        std::lock_guard guard(stateLock_);
        state_ = State_Running;
        return S_OK;
    }
    HRESULT GetState(DWORD, FILTER_STATE* state) override {
        if (state == nullptr) return E_POINTER;
        std::lock_guard guard(stateLock_);
        *state = state_;
        return S_OK;
    }
    // Samples are taken as they come; the clock is held for whoever asks.
    HRESULT SetSyncSource(IReferenceClock* clock) override {
        std::lock_guard guard(stateLock_);
        if (clock != nullptr) clock->AddRef();
        if (clock_ != nullptr) clock_->Release();
        clock_ = clock;
        return S_OK;
    }
    HRESULT GetSyncSource(IReferenceClock** clock) override {
        if (clock == nullptr) return E_POINTER;
        std::lock_guard guard(stateLock_);
        *clock = clock_;
        if (clock_ != nullptr) clock_->AddRef();
        return S_OK;
    }
    HRESULT EnumPins(IEnumPins** out) override;
    HRESULT FindPin(LPCWSTR id, IPin** pin) override {
        if (id == nullptr || pin == nullptr) return E_POINTER;
        *pin = nullptr;
        if (std::u16string(id) != u"In") return VFW_E_NOT_FOUND;
        return Hand(static_cast<IPin*>(&pin_), reinterpret_cast<void**>(pin));
    }
    HRESULT QueryFilterInfo(FILTER_INFO* info) override {
        if (info == nullptr) return E_POINTER;
        std::memset(info, 0, sizeof *info);
        size_t n = std::min<size_t>(name_.size(), MAX_FILTER_NAME - 1);
        std::memcpy(info->achName, name_.data(), n * sizeof(WCHAR));
        info->pGraph = graph_;
        if (graph_ != nullptr) graph_->AddRef();
        return S_OK;
    }
    HRESULT JoinFilterGraph(IFilterGraph* graph, LPCWSTR name) override {
        graph_ = graph;
        name_ = name != nullptr ? name : u"";
        return S_OK;
    }
    HRESULT QueryVendorInfo(LPWSTR*) override { return E_NOTIMPL; }

    bool Accepts(const AM_MEDIA_TYPE& type) const { return major_ == GUID_NULL || type.majortype == major_; }
    void Connected(const AM_MEDIA_TYPE& type) {
        if (onConnect_) onConnect_(type);
    }
    HRESULT Deliver(IMediaSample* sample) {
        {
            std::lock_guard guard(stateLock_);
            if (state_ == State_Stopped) return VFW_E_WRONG_STATE;
        }
        return onSample_(sample);
    }
    void EndOfStream() {
        IMediaEventSink* sink = nullptr;
        if (graph_ != nullptr && SUCCEEDED(graph_->QueryInterface(IID_IMediaEventSink, reinterpret_cast<void**>(&sink)))) {
            sink->Notify(EC_COMPLETE, S_OK, 0);
            sink->Release();
        }
    }

private:
    const GUID major_;
    const SampleFunction onSample_;
    const ConnectFunction onConnect_;
    RendererPin pin_;
    std::mutex stateLock_;  // guards state_, clock_
    FILTER_STATE state_ = State_Stopped;
    IReferenceClock* clock_ = nullptr;  // one reference
    IFilterGraph* graph_ = nullptr;  // no reference: the graph holds us
    std::u16string name_;
};

class OnePin final : public RefCount, public IEnumPins {
public:
    OnePin(IPin* pin, ULONG position) : RefCount(QuartzObjects()), pin_(pin), position_(position) { pin_->AddRef(); }
    ~OnePin() { pin_->Release(); }
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (riid == IID_IUnknown || riid == IID_IEnumPins) return Hand(static_cast<IEnumPins*>(this), ppv);
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return AddRefImpl(); }
    ULONG Release() override { return ReleaseImpl(); }
    HRESULT Next(ULONG count, IPin** pins, ULONG* fetched) override {
        if (pins == nullptr) return E_POINTER;
        if (count > 1 && fetched == nullptr) return E_INVALIDARG;
        ULONG n = 0;
        if (count > 0 && position_ == 0) {
            pins[n++] = pin_;
            pin_->AddRef();
            position_ = 1;
        }
        if (fetched != nullptr) *fetched = n;
        return n == count ? S_OK : S_FALSE;
    }
    HRESULT Skip(ULONG count) override {
        if (count == 0) return S_OK;
        bool had = position_ == 0;
        position_ = 1;
        return had && count == 1 ? S_OK : S_FALSE;
    }
    HRESULT Reset() override {
        position_ = 0;
        return S_OK;
    }
    HRESULT Clone(IEnumPins** out) override {
        if (out == nullptr) return E_POINTER;
        *out = new OnePin(pin_, position_);
        return S_OK;
    }

private:
    IPin* const pin_;
    ULONG position_;
};

ULONG RendererPin::AddRef() { return static_cast<IBaseFilter*>(filter_)->AddRef(); }
ULONG RendererPin::Release() { return static_cast<IBaseFilter*>(filter_)->Release(); }

HRESULT RendererPin::QueryAccept(const AM_MEDIA_TYPE* type) {
    if (type == nullptr) return E_POINTER;
    return filter_->Accepts(*type) ? S_OK : S_FALSE;
}

HRESULT RendererPin::ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* type) {
    if (connector == nullptr || type == nullptr) return E_POINTER;
    std::lock_guard guard(lock_);
    if (peer_ != nullptr) return VFW_E_ALREADY_CONNECTED;
    FILTER_STATE state;
    filter_->GetState(0, &state);
    if (state != State_Stopped) return VFW_E_NOT_STOPPED;
    if (!filter_->Accepts(*type)) return VFW_E_TYPE_NOT_ACCEPTED;
    HRESULT hr = CopyMediaType(&type_, type);
    if (FAILED(hr)) return hr;
    peer_ = connector;
    peer_->AddRef();
    filter_->Connected(type_);
    return S_OK;
}

HRESULT RendererPin::QueryPinInfo(PIN_INFO* info) {
    if (info == nullptr) return E_POINTER;
    std::memset(info, 0, sizeof *info);
    info->pFilter = filter_;
    info->pFilter->AddRef();
    info->dir = PINDIR_INPUT;
    std::memcpy(info->achName, u"In", 3 * sizeof(WCHAR));
    return S_OK;
}

HRESULT RendererPin::EndOfStream() {
    filter_->EndOfStream();
    return S_OK;
}

HRESULT RendererPin::Receive(IMediaSample* sample) {
    if (sample == nullptr) return E_POINTER;
    return filter_->Deliver(sample);
}

HRESULT CallbackRenderer::EnumPins(IEnumPins** out) {
    if (out == nullptr) return E_POINTER;
    *out = new OnePin(&pin_, 0);
    return S_OK;
}

}  // namespace

IBaseFilter* CreateCallbackRenderer(const GUID& majorType, SampleFunction onSample, ConnectFunction onConnect) {
    return new CallbackRenderer(majorType, std::move(onSample), std::move(onConnect));
}

}  // namespace qk::dshow
