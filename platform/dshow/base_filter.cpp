// The base classes' behaviour: connection rules (only while stopped, a type
// the pin checks, the transport agreed through IMemInputPin), state under
// the filter's lock, and events to the graph.
#include "platform/dshow/base_filter.h"

#include <algorithm>
#include <cstring>

namespace qk::dshow::base {
namespace {

bool Complete(const AM_MEDIA_TYPE* type) {
    return type != nullptr && type->majortype != GUID_NULL && type->subtype != GUID_NULL &&
           type->formattype != GUID_NULL;
}

class PinList final : public IEnumPins {
public:
    PinList(BaseFilter* filter, ULONG position) : filter_(filter), position_(position) { filter_->AddRef(); }
    ~PinList() { filter_->Release(); }
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (riid == IID_IUnknown || riid == IID_IEnumPins) return Hand(static_cast<IEnumPins*>(this), ppv);
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++refs_; }
    ULONG Release() override {
        ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }
    HRESULT Next(ULONG count, IPin** pins, ULONG* fetched) override {
        if (pins == nullptr) return E_POINTER;
        if (count > 1 && fetched == nullptr) return E_INVALIDARG;
        ULONG n = 0;
        while (n < count && static_cast<int>(position_) < filter_->PinCount()) {
            pins[n] = filter_->Pin(static_cast<int>(position_++));
            pins[n++]->AddRef();
        }
        if (fetched != nullptr) *fetched = n;
        return n == count ? S_OK : S_FALSE;
    }
    HRESULT Skip(ULONG count) override {
        ULONG left = static_cast<ULONG>(filter_->PinCount()) - position_;
        position_ += std::min(count, left);
        return count <= left ? S_OK : S_FALSE;
    }
    HRESULT Reset() override {
        position_ = 0;
        return S_OK;
    }
    HRESULT Clone(IEnumPins** out) override {
        if (out == nullptr) return E_POINTER;
        *out = new PinList(filter_, position_);
        return S_OK;
    }

private:
    BaseFilter* const filter_;  // one reference: the list counts as a use of the filter
    ULONG position_;
    std::atomic<ULONG> refs_{1};
};

}  // namespace

// ---- BasePin ----------------------------------------------------------------------------------
BasePin::BasePin(BaseFilter* filter, std::u16string name, PIN_DIRECTION direction)
    : filter_(filter), name_(std::move(name)), direction_(direction) {}

BasePin::~BasePin() {
    if (peer_ != nullptr) peer_->Release();
    FreeMediaType(type_);
}

HRESULT BasePin::QueryInterface(REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown || riid == IID_IPin) return Hand(static_cast<IPin*>(this), ppv);
    return QueryMore(riid, ppv);
}
ULONG BasePin::AddRef() { return filter_->AddRef(); }
ULONG BasePin::Release() { return filter_->Release(); }

HRESULT BasePin::ConnectedTo(IPin** pPin) {
    if (pPin == nullptr) return E_POINTER;
    std::lock_guard guard(lock_);
    *pPin = peer_;
    if (peer_ == nullptr) return VFW_E_NOT_CONNECTED;
    peer_->AddRef();
    return S_OK;
}

HRESULT BasePin::ConnectionMediaType(AM_MEDIA_TYPE* pmt) {
    if (pmt == nullptr) return E_POINTER;
    std::lock_guard guard(lock_);
    if (peer_ == nullptr) {
        std::memset(pmt, 0, sizeof *pmt);
        return VFW_E_NOT_CONNECTED;
    }
    return CopyMediaType(pmt, &type_);
}

HRESULT BasePin::QueryPinInfo(PIN_INFO* pInfo) {
    if (pInfo == nullptr) return E_POINTER;
    std::memset(pInfo, 0, sizeof *pInfo);
    pInfo->pFilter = filter_;
    filter_->AddRef();
    pInfo->dir = direction_;
    size_t n = std::min<size_t>(name_.size(), MAX_PIN_NAME - 1);
    std::memcpy(pInfo->achName, name_.data(), n * sizeof(WCHAR));
    return S_OK;
}

HRESULT BasePin::QueryDirection(PIN_DIRECTION* pPinDir) {
    if (pPinDir == nullptr) return E_POINTER;
    *pPinDir = direction_;
    return S_OK;
}

HRESULT BasePin::QueryId(LPWSTR* Id) {
    if (Id == nullptr) return E_POINTER;
    *Id = static_cast<LPWSTR>(CoTaskMemAlloc((name_.size() + 1) * sizeof(WCHAR)));
    if (*Id == nullptr) return E_OUTOFMEMORY;
    std::memcpy(*Id, name_.c_str(), (name_.size() + 1) * sizeof(WCHAR));
    return S_OK;
}

HRESULT BasePin::QueryAccept(const AM_MEDIA_TYPE* pmt) {
    if (pmt == nullptr) return E_POINTER;
    return CheckMediaType(pmt) == S_OK ? S_OK : S_FALSE;
}

HRESULT BasePin::Attach(IPin* peer, const AM_MEDIA_TYPE* type) {
    std::lock_guard guard(lock_);
    HRESULT hr = CopyMediaType(&type_, type);
    if (FAILED(hr)) return hr;
    peer_ = peer;
    peer_->AddRef();
    return S_OK;
}

void BasePin::Detach() {
    std::lock_guard guard(lock_);
    if (peer_ != nullptr) peer_->Release();
    peer_ = nullptr;
    FreeMediaType(type_);
    std::memset(&type_, 0, sizeof type_);
}

bool BasePin::FilterStopped() const { return filter_->State() == State_Stopped; }

// ---- BaseInputPin -----------------------------------------------------------------------------
BaseInputPin::~BaseInputPin() {
    if (allocator_ != nullptr) allocator_->Release();
}

HRESULT BaseInputPin::QueryMore(REFIID riid, void** ppv) {
    if (riid == IID_IMemInputPin) return Hand(static_cast<IMemInputPin*>(this), ppv);
    return E_NOINTERFACE;
}

HRESULT BaseInputPin::ReceiveConnection(IPin* pConnector, const AM_MEDIA_TYPE* pmt) {
    if (pConnector == nullptr || pmt == nullptr) return E_POINTER;
    if (!FilterStopped()) return VFW_E_NOT_STOPPED;
    if (IsConnected()) return VFW_E_ALREADY_CONNECTED;
    if (CheckMediaType(pmt) != S_OK) return VFW_E_TYPE_NOT_ACCEPTED;
    HRESULT hr = Attach(pConnector, pmt);
    if (SUCCEEDED(hr)) OnConnect();
    return hr;
}

HRESULT BaseInputPin::Disconnect() {
    if (!FilterStopped()) return VFW_E_NOT_STOPPED;
    if (!IsConnected()) return S_FALSE;
    Detach();
    std::lock_guard guard(lock_);
    if (allocator_ != nullptr) allocator_->Release();
    allocator_ = nullptr;
    return S_OK;
}

HRESULT BaseInputPin::GetAllocator(IMemAllocator** ppAllocator) {
    if (ppAllocator == nullptr) return E_POINTER;
    *ppAllocator = OwnAllocator();
    if (*ppAllocator == nullptr) return VFW_E_NO_ALLOCATOR;
    (*ppAllocator)->AddRef();
    return S_OK;
}

// A pin with its own allocator (its own memory) takes no other: samples in
// another allocator's buffers would miss the memory it promised its owner.
HRESULT BaseInputPin::NotifyAllocator(IMemAllocator* pAllocator, BOOL) {
    if (pAllocator == nullptr) return E_POINTER;
    IMemAllocator* own = OwnAllocator();
    if (own != nullptr && own != pAllocator) return E_FAIL;
    std::lock_guard guard(lock_);
    pAllocator->AddRef();
    if (allocator_ != nullptr) allocator_->Release();
    allocator_ = pAllocator;
    return S_OK;
}

HRESULT BaseInputPin::GetAllocatorRequirements(ALLOCATOR_PROPERTIES* props) {
    if (props == nullptr) return E_POINTER;
    IMemAllocator* own = OwnAllocator();
    if (own == nullptr) return E_NOTIMPL;
    return own->GetProperties(props);
}

IMemAllocator* BaseInputPin::PeerAllocator() {
    std::lock_guard guard(lock_);
    if (allocator_ != nullptr) allocator_->AddRef();
    return allocator_;
}

HRESULT BaseInputPin::Receive(IMediaSample* pSample) {
    if (pSample == nullptr) return E_POINTER;
    if (FilterStopped()) return VFW_E_WRONG_STATE;
    return OnReceive(pSample);
}

HRESULT BaseInputPin::ReceiveMultiple(IMediaSample** pSamples, LONG nSamples, LONG* nSamplesProcessed) {
    if (pSamples == nullptr || nSamplesProcessed == nullptr) return E_POINTER;
    *nSamplesProcessed = 0;
    for (LONG i = 0; i < nSamples; ++i) {
        HRESULT hr = Receive(pSamples[i]);
        if (hr != S_OK) return hr;
        ++*nSamplesProcessed;
    }
    return S_OK;
}

// ---- BaseOutputPin ----------------------------------------------------------------------------
BaseOutputPin::~BaseOutputPin() {
    if (input_ != nullptr) input_->Release();
    if (allocator_ != nullptr) allocator_->Release();
}

HRESULT BaseOutputPin::Connect(IPin* pReceivePin, const AM_MEDIA_TYPE* pmt) {
    if (pReceivePin == nullptr) return E_POINTER;
    if (!FilterStopped()) return VFW_E_NOT_STOPPED;
    if (IsConnected()) return VFW_E_ALREADY_CONNECTED;
    AM_MEDIA_TYPE type{};
    HRESULT hr = Complete(pmt) ? CopyMediaType(&type, pmt) : ProposeType(&type);
    if (FAILED(hr)) return hr;
    if (CheckMediaType(&type) != S_OK) {
        FreeMediaType(type);
        return VFW_E_NO_ACCEPTABLE_TYPES;
    }
    hr = pReceivePin->ReceiveConnection(this, &type);
    IMemInputPin* input = nullptr;
    IMemAllocator* allocator = nullptr;
    if (SUCCEEDED(hr)) hr = pReceivePin->QueryInterface(IID_IMemInputPin, reinterpret_cast<void**>(&input));
    if (SUCCEEDED(hr)) hr = DecideAllocator(input, &allocator);
    if (SUCCEEDED(hr)) hr = input->NotifyAllocator(allocator, FALSE);
    if (SUCCEEDED(hr)) hr = Attach(pReceivePin, &type);
    FreeMediaType(type);
    if (FAILED(hr)) {
        if (allocator != nullptr) allocator->Release();
        if (input != nullptr) {
            input->Release();
            pReceivePin->Disconnect();
        }
        return hr;
    }
    std::lock_guard guard(lock_);
    input_ = input;
    allocator_ = allocator;
    return S_OK;
}

HRESULT BaseOutputPin::DecideAllocator(IMemInputPin* input, IMemAllocator** allocator) {
    if (SUCCEEDED(input->GetAllocator(allocator))) return S_OK;
    HRESULT hr = CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_IMemAllocator,
                                  reinterpret_cast<void**>(allocator));
    if (FAILED(hr)) return hr;
    ALLOCATOR_PROPERTIES wanted{2, static_cast<LONG>(Type().lSampleSize > 0 ? Type().lSampleSize : 1), 1, 0};
    ALLOCATOR_PROPERTIES actual{};
    hr = (*allocator)->SetProperties(&wanted, &actual);
    if (FAILED(hr)) {
        (*allocator)->Release();
        *allocator = nullptr;
    }
    return hr;
}

HRESULT BaseOutputPin::Disconnect() {
    if (!FilterStopped()) return VFW_E_NOT_STOPPED;
    if (!IsConnected()) return S_FALSE;
    Detach();
    std::lock_guard guard(lock_);
    if (input_ != nullptr) input_->Release();
    if (allocator_ != nullptr) allocator_->Release();
    input_ = nullptr;
    allocator_ = nullptr;
    return S_OK;
}

HRESULT BaseOutputPin::Deliver(IMediaSample* sample) {
    IMemInputPin* input;
    {
        std::lock_guard guard(lock_);
        input = input_;
        if (input == nullptr) return VFW_E_NOT_CONNECTED;
        input->AddRef();
    }
    HRESULT hr = input->Receive(sample);
    input->Release();
    return hr;
}

HRESULT BaseOutputPin::DeliverEndOfStream() {
    IPin* peer = nullptr;
    if (ConnectedTo(&peer) != S_OK) return VFW_E_NOT_CONNECTED;
    HRESULT hr = peer->EndOfStream();
    peer->Release();
    return hr;
}

// ---- BaseFilter -------------------------------------------------------------------------------
BaseFilter::~BaseFilter() {
    if (clock_ != nullptr) clock_->Release();
}

HRESULT BaseFilter::QueryInterface(REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown || riid == IID_IPersist || riid == IID_IMediaFilter || riid == IID_IBaseFilter) {
        return Hand(static_cast<IBaseFilter*>(this), ppv);
    }
    return QueryMore(riid, ppv);
}

HRESULT BaseFilter::GetClassID(CLSID* pClassID) {
    if (pClassID == nullptr) return E_POINTER;
    *pClassID = clsid_;
    return S_OK;
}

HRESULT BaseFilter::Stop() {
    std::lock_guard guard(stateLock_);
    state_ = State_Stopped;
    return S_OK;
}
HRESULT BaseFilter::Pause() {
    std::lock_guard guard(stateLock_);
    state_ = State_Paused;
    return S_OK;
}
HRESULT BaseFilter::Run(REFERENCE_TIME tStart) {
    std::lock_guard guard(stateLock_);
    start_ = tStart;
    state_ = State_Running;
    return S_OK;
}
HRESULT BaseFilter::GetState(DWORD, FILTER_STATE* State) {
    if (State == nullptr) return E_POINTER;
    *State = this->State();
    return S_OK;
}
FILTER_STATE BaseFilter::State() const { return state_.load(); }
REFERENCE_TIME BaseFilter::StreamStart() const { return start_.load(); }

HRESULT BaseFilter::SetSyncSource(IReferenceClock* pClock) {
    std::lock_guard guard(stateLock_);
    if (pClock != nullptr) pClock->AddRef();
    if (clock_ != nullptr) clock_->Release();
    clock_ = pClock;
    return S_OK;
}
HRESULT BaseFilter::GetSyncSource(IReferenceClock** pClock) {
    if (pClock == nullptr) return E_POINTER;
    std::lock_guard guard(stateLock_);
    *pClock = clock_;
    if (clock_ != nullptr) clock_->AddRef();
    return S_OK;
}

HRESULT BaseFilter::EnumPins(IEnumPins** ppEnum) {
    if (ppEnum == nullptr) return E_POINTER;
    *ppEnum = new PinList(this, 0);
    return S_OK;
}

HRESULT BaseFilter::FindPin(LPCWSTR Id, IPin** ppPin) {
    if (Id == nullptr || ppPin == nullptr) return E_POINTER;
    *ppPin = nullptr;
    for (int i = 0; i < PinCount(); ++i) {
        if (Pin(i)->Name() == Id) return Hand(static_cast<IPin*>(Pin(i)), reinterpret_cast<void**>(ppPin));
    }
    return VFW_E_NOT_FOUND;
}

HRESULT BaseFilter::QueryFilterInfo(FILTER_INFO* pInfo) {
    if (pInfo == nullptr) return E_POINTER;
    std::memset(pInfo, 0, sizeof *pInfo);
    size_t n = std::min<size_t>(name_.size(), MAX_FILTER_NAME - 1);
    std::memcpy(pInfo->achName, name_.data(), n * sizeof(WCHAR));
    pInfo->pGraph = graph_;
    if (graph_ != nullptr) graph_->AddRef();
    return S_OK;
}

HRESULT BaseFilter::JoinFilterGraph(IFilterGraph* pGraph, LPCWSTR pName) {
    std::lock_guard guard(stateLock_);
    graph_ = pGraph;
    name_ = pName != nullptr ? std::u16string(pName) : std::u16string();
    return S_OK;
}

void BaseFilter::NotifyEvent(LONG code, LONG_PTR p1, LONG_PTR p2) {
    IFilterGraph* graph;
    {
        std::lock_guard guard(stateLock_);
        graph = graph_;
    }
    IMediaEventSink* sink = nullptr;
    if (graph != nullptr && SUCCEEDED(graph->QueryInterface(IID_IMediaEventSink, reinterpret_cast<void**>(&sink)))) {
        sink->Notify(code, p1, p2);
        sink->Release();
    }
}

// ---- TransInPlaceFilter -------------------------------------------------------------------------
TransInPlaceFilter::TransInPlaceFilter(qk::com::ObjectCount& server, REFCLSID clsid, std::u16string inputName,
                                       std::u16string outputName)
    : BaseFilter(server, clsid), input_(this, std::move(inputName)), output_(this, std::move(outputName)) {}

BasePin* TransInPlaceFilter::Pin(int index) {
    if (index == 0) return &input_;
    if (index == 1) return &output_;
    return nullptr;
}

HRESULT TransInPlaceFilter::Input::OnReceive(IMediaSample* sample) {
    HRESULT hr = owner_->Transform(sample);
    if (hr == S_FALSE) return S_OK;  // dropped
    if (FAILED(hr)) return hr;
    if (!owner_->output_.IsConnected()) return S_OK;
    return owner_->output_.Deliver(sample);
}

// The output carries exactly what the input carries.
HRESULT TransInPlaceFilter::Output::CheckMediaType(const AM_MEDIA_TYPE* type) {
    if (!owner_->input_.IsConnected()) return VFW_E_NOT_CONNECTED;
    const AM_MEDIA_TYPE& in = owner_->input_.Type();
    if (type->majortype != in.majortype || type->subtype != in.subtype || type->formattype != in.formattype) {
        return S_FALSE;
    }
    return S_OK;
}

HRESULT TransInPlaceFilter::Output::ProposeType(AM_MEDIA_TYPE* type) {
    if (!owner_->input_.IsConnected()) return VFW_E_NOT_CONNECTED;
    return CopyMediaType(type, &owner_->input_.Type());
}

// In place: the downstream pin works in the upstream allocator's buffers.
HRESULT TransInPlaceFilter::Output::DecideAllocator(IMemInputPin*, IMemAllocator** allocator) {
    *allocator = owner_->input_.PeerAllocator();
    return *allocator != nullptr ? S_OK : VFW_E_NO_ALLOCATOR;
}

}  // namespace qk::dshow::base
