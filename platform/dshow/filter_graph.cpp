// The filter graph manager: the filters an application adds (the graph holds
// a reference on each, a filter only knows its graph), direct connections
// between their pins, state changes in stream order, and the events filters
// report. The graph has no reference clock of its own: sources time their
// samples from the stream's start and renderers take them as they come,
// which is what a capture graph asks of it.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dshow/base_classes.h"
#include "platform/dshow/com_object.h"
#include "windows.h"

namespace qk::dshow {
namespace {

// The filter on the far side of a connected pin, with a reference, or null.
IBaseFilter* PeerFilter(IPin* pin) {
    IPin* peer = nullptr;
    if (FAILED(pin->ConnectedTo(&peer)) || peer == nullptr) return nullptr;
    PIN_INFO info{};
    HRESULT hr = peer->QueryPinInfo(&info);
    peer->Release();
    return SUCCEEDED(hr) ? info.pFilter : nullptr;
}

// The filters a filter's connected output pins feed.
std::vector<IBaseFilter*> Downstream(IBaseFilter* filter) {
    std::vector<IBaseFilter*> out;
    IEnumPins* pins = nullptr;
    if (FAILED(filter->EnumPins(&pins))) return out;
    IPin* pin = nullptr;
    while (pins->Next(1, &pin, nullptr) == S_OK) {
        PIN_DIRECTION direction;
        if (SUCCEEDED(pin->QueryDirection(&direction)) && direction == PINDIR_OUTPUT) {
            if (IBaseFilter* peer = PeerFilter(pin)) {
                out.push_back(peer);
                peer->Release();  // the graph holds it
            }
        }
        pin->Release();
    }
    pins->Release();
    return out;
}

class FilterList final : public RefCount, public IEnumFilters {
public:
    FilterList(std::vector<IBaseFilter*> filters, ULONG position)
        : RefCount(QuartzObjects()), filters_(std::move(filters)), position_(position) {
        for (auto* f : filters_) f->AddRef();
    }
    ~FilterList() {
        for (auto* f : filters_) f->Release();
    }
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (riid == IID_IUnknown || riid == IID_IEnumFilters) return Hand(static_cast<IEnumFilters*>(this), ppv);
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return AddRefImpl(); }
    ULONG Release() override { return ReleaseImpl(); }
    HRESULT Next(ULONG count, IBaseFilter** out, ULONG* fetched) override {
        if (out == nullptr) return E_POINTER;
        if (count > 1 && fetched == nullptr) return E_INVALIDARG;
        ULONG n = 0;
        while (n < count && position_ < filters_.size()) {
            out[n] = filters_[position_++];
            out[n++]->AddRef();
        }
        if (fetched != nullptr) *fetched = n;
        return n == count ? S_OK : S_FALSE;
    }
    HRESULT Skip(ULONG count) override {
        size_t left = filters_.size() - position_;
        position_ += static_cast<ULONG>(std::min<size_t>(count, left));
        return count <= left ? S_OK : S_FALSE;
    }
    HRESULT Reset() override {
        position_ = 0;
        return S_OK;
    }
    HRESULT Clone(IEnumFilters** out) override {
        if (out == nullptr) return E_POINTER;
        *out = new FilterList(filters_, position_);
        return S_OK;
    }

private:
    const std::vector<IBaseFilter*> filters_;
    ULONG position_;
};

class FilterGraph final : public RefCount,
                          public IGraphBuilder,
                          public IMediaControl,
                          public IMediaEvent,
                          public IMediaEventSink,
                          public IMediaFilter {
public:
    FilterGraph() : RefCount(QuartzObjects()) {}
    ~FilterGraph() {
        StopAll();
        while (!filters_.empty()) RemoveFilter(filters_.back().filter);
        if (clock_ != nullptr) clock_->Release();
        if (eventHandle_ != nullptr) CloseHandle(eventHandle_);
    }

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (riid == IID_IUnknown || riid == IID_IFilterGraph || riid == IID_IGraphBuilder) {
            return Hand(static_cast<IGraphBuilder*>(this), ppv);
        }
        if (riid == IID_IMediaControl) return Hand(static_cast<IMediaControl*>(this), ppv);
        if (riid == IID_IMediaEvent) return Hand(static_cast<IMediaEvent*>(this), ppv);
        if (riid == IID_IMediaEventSink) return Hand(static_cast<IMediaEventSink*>(this), ppv);
        if (riid == IID_IMediaFilter || riid == IID_IPersist) return Hand(static_cast<IMediaFilter*>(this), ppv);
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return AddRefImpl(); }
    ULONG Release() override { return ReleaseImpl(); }

    // ---- IFilterGraph
    HRESULT AddFilter(IBaseFilter* filter, LPCWSTR name) override {
        if (filter == nullptr) return E_POINTER;
        if (state_ != State_Stopped) return VFW_E_NOT_STOPPED;
        for (auto& f : filters_) {
            if (f.filter == filter) return E_INVALIDARG;  // already in the graph
        }
        // A name already taken gets a number, as the SDK's graph does.
        std::u16string unique = name != nullptr && name[0] != 0 ? std::u16string(name) : u"Filter";
        HRESULT result = S_OK;
        if (Named(unique) != nullptr || name == nullptr || name[0] == 0) {
            std::u16string base = unique;
            for (int i = 1; Named(unique) != nullptr || (i == 1 && (name == nullptr || name[0] == 0)); ++i) {
                char16_t number[8];
                int n = i;
                for (int d = 3; d >= 0; --d, n /= 10) number[d] = static_cast<char16_t>(u'0' + n % 10);
                number[4] = 0;
                unique = base + u" " + number;
                if (Named(unique) == nullptr) break;
            }
            if (name != nullptr && name[0] != 0) result = VFW_S_DUPLICATE_NAME;
        }
        HRESULT hr = filter->JoinFilterGraph(this, unique.c_str());
        if (FAILED(hr)) return hr;
        if (clock_ != nullptr) filter->SetSyncSource(clock_);
        filter->AddRef();
        filters_.push_back({filter, unique});
        return result;
    }
    HRESULT RemoveFilter(IBaseFilter* filter) override {
        auto it = std::find_if(filters_.begin(), filters_.end(), [&](const Entry& e) { return e.filter == filter; });
        if (it == filters_.end()) return VFW_E_NOT_FOUND;
        if (state_ != State_Stopped) filter->Stop();
        // Both ends of every connection are let go.
        IEnumPins* pins = nullptr;
        if (SUCCEEDED(filter->EnumPins(&pins))) {
            IPin* pin = nullptr;
            while (pins->Next(1, &pin, nullptr) == S_OK) {
                IPin* peer = nullptr;
                if (SUCCEEDED(pin->ConnectedTo(&peer)) && peer != nullptr) {
                    peer->Disconnect();
                    pin->Disconnect();
                    peer->Release();
                }
                pin->Release();
            }
            pins->Release();
        }
        filter->SetSyncSource(nullptr);
        filter->JoinFilterGraph(nullptr, nullptr);
        filters_.erase(it);
        filter->Release();
        return S_OK;
    }
    HRESULT EnumFilters(IEnumFilters** out) override {
        if (out == nullptr) return E_POINTER;
        std::vector<IBaseFilter*> list;
        for (auto& f : filters_) list.push_back(f.filter);
        *out = new FilterList(std::move(list), 0);
        return S_OK;
    }
    HRESULT FindFilterByName(LPCWSTR name, IBaseFilter** out) override {
        if (name == nullptr || out == nullptr) return E_POINTER;
        *out = Named(name);
        if (*out == nullptr) return VFW_E_NOT_FOUND;
        (*out)->AddRef();
        return S_OK;
    }
    HRESULT ConnectDirect(IPin* out, IPin* in, const AM_MEDIA_TYPE* type) override {
        if (out == nullptr || in == nullptr) return E_POINTER;
        if (state_ != State_Stopped) return VFW_E_NOT_STOPPED;
        if (!InGraph(out) || !InGraph(in)) return VFW_E_NOT_IN_GRAPH;
        return out->Connect(in, type);
    }
    // The two pins agree on the type anew, so a format the output pin was
    // given since it connected (IAMStreamConfig) is the one they take.
    HRESULT Reconnect(IPin* pin) override {
        if (pin == nullptr) return E_POINTER;
        if (state_ != State_Stopped) return VFW_E_NOT_STOPPED;
        IPin* peer = nullptr;
        if (FAILED(pin->ConnectedTo(&peer)) || peer == nullptr) return VFW_E_NOT_CONNECTED;
        PIN_DIRECTION direction;
        pin->QueryDirection(&direction);
        IPin* out = direction == PINDIR_OUTPUT ? pin : peer;
        IPin* in = direction == PINDIR_OUTPUT ? peer : pin;
        in->Disconnect();
        out->Disconnect();
        HRESULT hr = ConnectDirect(out, in, nullptr);
        peer->Release();
        return hr;
    }
    HRESULT Disconnect(IPin* pin) override {
        if (pin == nullptr) return E_POINTER;
        if (state_ != State_Stopped) return VFW_E_NOT_STOPPED;
        return pin->Disconnect();
    }
    // The system clock: no filter of the platform offers a clock of its own.
    HRESULT SetDefaultSyncSource() override {
        IReferenceClock* clock = nullptr;
        HRESULT hr = CreateSystemClock(IID_IReferenceClock, reinterpret_cast<void**>(&clock));
        if (FAILED(hr)) return hr;
        hr = SetSyncSource(clock);
        clock->Release();
        return hr;
    }

    // ---- IGraphBuilder. The platform registers no converters, so a
    // connection is always direct.
    HRESULT Connect(IPin* out, IPin* in) override { return ConnectDirect(out, in, nullptr); }
    // Render finds, through the filter mapper, registered filters whose input
    // takes the pin's type, above MERIT_DO_NOT_USE, highest merit first; a
    // filter with outputs of its own is kept only when they render too.
    HRESULT Render(IPin* out) override {
        if (out == nullptr) return E_POINTER;
        if (state_ != State_Stopped) return VFW_E_NOT_STOPPED;
        if (!InGraph(out)) return VFW_E_NOT_FOUND;
        PIN_DIRECTION direction;
        if (FAILED(out->QueryDirection(&direction)) || direction != PINDIR_OUTPUT) return VFW_E_INVALID_DIRECTION;
        IPin* peer = nullptr;
        if (SUCCEEDED(out->ConnectedTo(&peer)) && peer != nullptr) {
            peer->Release();
            return VFW_E_ALREADY_CONNECTED;
        }
        return RenderPin(out, 0);
    }
    // The platform has no source filters: a file it can find is still one it
    // cannot read.
    HRESULT RenderFile(LPCWSTR file, LPCWSTR) override {
        if (file == nullptr) return E_POINTER;
        HANDLE h = CreateFileW(file, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            DWORD error = GetLastError();
            return HRESULT_FROM_WIN32(error != 0 ? error : ERROR_FILE_NOT_FOUND);
        }
        CloseHandle(h);
        return VFW_E_UNSUPPORTED_STREAM;
    }
    HRESULT AddSourceFilter(LPCWSTR, LPCWSTR, IBaseFilter**) override { return E_NOTIMPL; }
    HRESULT SetLogFile(DWORD_PTR) override { return S_OK; }
    HRESULT Abort() override { return S_OK; }
    HRESULT ShouldOperationContinue() override { return S_OK; }

    // ---- IDispatch (both automation interfaces)
    HRESULT GetTypeInfoCount(UINT* count) override {
        if (count == nullptr) return E_POINTER;
        *count = 0;
        return S_OK;
    }
    HRESULT GetTypeInfo(UINT, ULONG, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, ULONG, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID, REFIID, ULONG, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override { return E_NOTIMPL; }

    // ---- IMediaFilter: the graph's clock. Until the application chooses
    // one (or none, with a null clock), the first pause takes the system
    // clock and every filter gets it.
    HRESULT GetClassID(CLSID* clsid) override {
        if (clsid == nullptr) return E_POINTER;
        *clsid = CLSID_FilterGraph;
        return S_OK;
    }
    HRESULT SetSyncSource(IReferenceClock* clock) override {
        if (state_ != State_Stopped) return VFW_E_NOT_STOPPED;
        for (auto& f : filters_) {
            HRESULT hr = f.filter->SetSyncSource(clock);
            if (FAILED(hr)) return hr;
        }
        if (clock != nullptr) clock->AddRef();
        if (clock_ != nullptr) clock_->Release();
        clock_ = clock;
        clockChosen_ = true;
        return S_OK;
    }
    HRESULT GetSyncSource(IReferenceClock** clock) override {
        if (clock == nullptr) return E_POINTER;
        *clock = clock_;
        if (clock_ != nullptr) clock_->AddRef();
        return S_OK;
    }
    HRESULT GetState(DWORD, FILTER_STATE* state) override {
        if (state == nullptr) return E_POINTER;
        *state = state_;
        return S_OK;
    }
    // Stream time 0 is `start` on the graph's clock.
    HRESULT Run(REFERENCE_TIME start) override { return RunFrom(start); }

    // ---- IMediaControl. With a clock the stream starts a little after now,
    // so that every filter is running when stream time 0 comes.
    HRESULT Run() override {
        if (state_ == State_Running) return S_OK;
        if (state_ == State_Stopped) {
            HRESULT hr = Pause();  // chooses the clock
            if (FAILED(hr)) return hr;
        }
        REFERENCE_TIME start = 0;
        if (clock_ != nullptr) {
            clock_->GetTime(&start);
            start += kStartDelay;
        }
        return RunFrom(start);
    }
    HRESULT RunFrom(REFERENCE_TIME start) {
        if (state_ == State_Running) return S_OK;
        if (state_ == State_Stopped) {
            HRESULT hr = Pause();
            if (FAILED(hr)) return hr;
        }
        for (IBaseFilter* f : StreamOrder(Order::DownstreamFirst)) {
            HRESULT hr = f->Run(start);
            if (FAILED(hr)) {
                StopAll();
                return hr;
            }
        }
        state_ = State_Running;
        return S_OK;
    }
    HRESULT Pause() override {
        if (!clockChosen_) {
            HRESULT hr = SetDefaultSyncSource();
            if (FAILED(hr)) return hr;
        }
        for (IBaseFilter* f : StreamOrder(Order::DownstreamFirst)) {
            HRESULT hr = f->Pause();
            if (FAILED(hr)) {
                StopAll();
                return hr;
            }
        }
        state_ = State_Paused;
        return S_OK;
    }
    HRESULT Stop() override {
        StopAll();
        return S_OK;
    }
    HRESULT GetState(LONG, OAFilterState* state) override {
        if (state == nullptr) return E_POINTER;
        *state = state_;
        return S_OK;
    }
    HRESULT RenderFile(BSTR) override { return E_NOTIMPL; }
    HRESULT AddSourceFilter(BSTR, IDispatch**) override { return E_NOTIMPL; }
    HRESULT get_FilterCollection(IDispatch**) override { return E_NOTIMPL; }
    HRESULT get_RegFilterCollection(IDispatch**) override { return E_NOTIMPL; }
    HRESULT StopWhenReady() override { return Stop(); }

    // ---- IMediaEvent. Waits are in the machine's time, which runs with the
    // wall clock unless a test scales it.
    // A manual-reset event of the graph's, set while events wait in the queue;
    // the application waits on it and must not close it.
    HRESULT GetEventHandle(OAEVENT* handle) override {
        if (handle == nullptr) return E_POINTER;
        std::lock_guard guard(eventLock_);
        if (eventHandle_ == nullptr) {
            eventHandle_ = CreateEventW(nullptr, TRUE, events_.empty() ? FALSE : TRUE, nullptr);
            if (eventHandle_ == nullptr) return E_OUTOFMEMORY;
        }
        *handle = reinterpret_cast<OAEVENT>(eventHandle_);
        return S_OK;
    }
    HRESULT GetEvent(LONG* code, LONG_PTR* p1, LONG_PTR* p2, LONG msTimeout) override {
        if (code == nullptr || p1 == nullptr || p2 == nullptr) return E_POINTER;
        std::unique_lock guard(eventLock_);
        if (!WaitFor(guard, msTimeout, [&] { return !events_.empty(); })) return E_ABORT;
        Event e = events_.front();
        events_.pop_front();
        SignalLocked();
        *code = e.code;
        *p1 = e.p1;
        *p2 = e.p2;
        return S_OK;
    }
    HRESULT WaitForCompletion(LONG msTimeout, LONG* code) override {
        if (code == nullptr) return E_POINTER;
        *code = 0;
        std::unique_lock guard(eventLock_);
        auto ending = [&] {
            for (auto& e : events_) {
                if (e.code == EC_COMPLETE || e.code == EC_ERRORABORT || e.code == EC_USERABORT) return true;
            }
            return false;
        };
        if (!WaitFor(guard, msTimeout, ending)) return E_ABORT;
        for (auto it = events_.begin(); it != events_.end(); ++it) {
            if (it->code == EC_COMPLETE || it->code == EC_ERRORABORT || it->code == EC_USERABORT) {
                *code = it->code;
                events_.erase(it);
                SignalLocked();
                break;
            }
        }
        return S_OK;
    }
    HRESULT CancelDefaultHandling(LONG) override { return S_OK; }
    HRESULT RestoreDefaultHandling(LONG) override { return S_OK; }
    HRESULT FreeEventParams(LONG, LONG_PTR, LONG_PTR) override { return S_OK; }

    // ---- IMediaEventSink (from filters, on any thread)
    HRESULT Notify(LONG code, LONG_PTR p1, LONG_PTR p2) override {
        {
            std::lock_guard guard(eventLock_);
            events_.push_back({code, p1, p2});
            SignalLocked();
        }
        eventArrived_.notify_all();
        return S_OK;
    }

private:
    struct Entry {
        IBaseFilter* filter;  // one reference
        std::u16string name;
    };
    struct Event {
        LONG code;
        LONG_PTR p1, p2;
    };
    enum class Order { DownstreamFirst, UpstreamFirst };

    IBaseFilter* Named(const std::u16string& name) const {
        for (auto& f : filters_) {
            if (f.name == name) return f.filter;
        }
        return nullptr;
    }
    bool InGraph(IPin* pin) const {
        PIN_INFO info{};
        if (FAILED(pin->QueryPinInfo(&info)) || info.pFilter == nullptr) return false;
        bool found = std::any_of(filters_.begin(), filters_.end(), [&](const Entry& e) { return e.filter == info.pFilter; });
        info.pFilter->Release();
        return found;
    }

    // Renderers change state before the filters that feed them, so that no
    // sample arrives at a stopped filter; stopping goes the other way.
    std::vector<IBaseFilter*> StreamOrder(Order order) const {
        std::vector<IBaseFilter*> done;
        std::vector<IBaseFilter*> left;
        for (auto& f : filters_) left.push_back(f.filter);
        while (!left.empty()) {
            size_t before = left.size();
            for (auto it = left.begin(); it != left.end();) {
                auto next = Downstream(*it);
                bool ready = std::all_of(next.begin(), next.end(), [&](IBaseFilter* d) {
                    return std::find(left.begin(), left.end(), d) == left.end() || d == *it;
                });
                if (ready) {
                    done.push_back(*it);
                    it = left.erase(it);
                } else {
                    ++it;
                }
            }
            if (left.size() == before) {  // a cycle: take the rest as they are
                done.insert(done.end(), left.begin(), left.end());
                break;
            }
        }
        if (order == Order::UpstreamFirst) std::reverse(done.begin(), done.end());
        return done;
    }
    static constexpr int kMostFiltersInARender = 4;

    HRESULT RenderPin(IPin* out, int depth) {
        if (depth >= kMostFiltersInARender) return VFW_E_CANNOT_RENDER;
        GUID wanted[2] = {GUID_NULL, GUID_NULL};
        IEnumMediaTypes* types = nullptr;
        if (SUCCEEDED(out->EnumMediaTypes(&types)) && types != nullptr) {
            AM_MEDIA_TYPE* first = nullptr;
            if (types->Next(1, &first, nullptr) == S_OK && first != nullptr) {
                wanted[0] = first->majortype;
                wanted[1] = first->subtype;
                DeleteMediaType(first);
            }
            types->Release();
        }
        IFilterMapper2* mapper = nullptr;
        HRESULT hr = CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper2,
                                      reinterpret_cast<void**>(&mapper));
        if (FAILED(hr)) return hr;
        IEnumMoniker* candidates = nullptr;
        hr = mapper->EnumMatchingFilters(&candidates, 0, FALSE, MERIT_DO_NOT_USE + 1, TRUE, 1, wanted, nullptr, nullptr,
                                         FALSE, FALSE, 0, nullptr, nullptr, nullptr);
        mapper->Release();
        if (FAILED(hr)) return hr;
        IMoniker* moniker = nullptr;
        bool done = false;
        while (!done && candidates->Next(1, &moniker, nullptr) == S_OK) {
            done = TryFilter(moniker, out, depth);
            moniker->Release();
        }
        candidates->Release();
        return done ? S_OK : VFW_E_CANNOT_RENDER;
    }
    // Adds the filter, connects `out` to its first input that takes it and
    // renders its outputs; undoes all of it when any step fails.
    bool TryFilter(IMoniker* moniker, IPin* out, int depth) {
        IBaseFilter* filter = nullptr;
        if (FAILED(moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter, reinterpret_cast<void**>(&filter)))) return false;
        std::u16string name = u"Renderer";
        IPropertyBag* bag = nullptr;
        if (SUCCEEDED(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag, reinterpret_cast<void**>(&bag)))) {
            VARIANT v;
            VariantInit(&v);
            if (SUCCEEDED(bag->Read(u"FriendlyName", &v, nullptr)) && v.vt == VT_BSTR) name = v.bstrVal;
            VariantClear(&v);
            bag->Release();
        }
        bool ok = SUCCEEDED(AddFilter(filter, name.c_str()));
        bool connected = false;
        std::vector<IPin*> outputs;
        if (ok) {
            IEnumPins* pins = nullptr;
            if (SUCCEEDED(filter->EnumPins(&pins))) {
                IPin* pin = nullptr;
                while (pins->Next(1, &pin, nullptr) == S_OK) {
                    PIN_DIRECTION d;
                    pin->QueryDirection(&d);
                    if (d == PINDIR_INPUT && !connected) {
                        connected = SUCCEEDED(ConnectDirect(out, pin, nullptr));
                    } else if (d == PINDIR_OUTPUT) {
                        outputs.push_back(pin);
                        continue;
                    }
                    pin->Release();
                }
                pins->Release();
            }
            ok = connected;
        }
        for (IPin* pin : outputs) {
            if (ok) ok = SUCCEEDED(RenderPin(pin, depth + 1));
            pin->Release();
        }
        if (!ok && connected) out->Disconnect();
        if (!ok) RemoveFilter(filter);  // also lets go of what its outputs connected
        filter->Release();
        return ok;
    }

    void StopAll() {
        for (IBaseFilter* f : StreamOrder(Order::UpstreamFirst)) f->Stop();
        state_ = State_Stopped;
    }
    template <class Ready>
    bool WaitFor(std::unique_lock<std::mutex>& guard, LONG msTimeout, Ready ready) {
        if (msTimeout < 0) {
            eventArrived_.wait(guard, ready);
            return true;
        }
        return eventArrived_.wait_for(guard, std::chrono::milliseconds(msTimeout), ready);
    }

    // Graph control comes from the application's thread only.
    std::vector<Entry> filters_;
    FILTER_STATE state_ = State_Stopped;
    // The event handle shows whether the queue holds events.
    void SignalLocked() {
        if (eventHandle_ == nullptr) return;
        if (events_.empty()) {
            ResetEvent(eventHandle_);
        } else {
            SetEvent(eventHandle_);
        }
    }

    std::mutex eventLock_;  // guards events_, eventHandle_
    std::condition_variable eventArrived_;
    std::deque<Event> events_;
    HANDLE eventHandle_ = nullptr;  // made at the first GetEventHandle
    static constexpr REFERENCE_TIME kStartDelay = 10 * 10000;  // 10 ms
    IReferenceClock* clock_ = nullptr;  // one reference
    bool clockChosen_ = false;          // by the application or the first pause
};

}  // namespace

qk::com::ObjectCount& QuartzObjects() {
    static qk::com::ObjectCount count;
    return count;
}

HRESULT CreateFilterGraph(REFIID riid, void** ppv) {
    auto* object = new FilterGraph;
    HRESULT hr = object->QueryInterface(riid, ppv);
    static_cast<IGraphBuilder*>(object)->Release();
    return hr;
}

}  // namespace qk::dshow
