// The DirectShow base classes as the SDK's class library shapes them, the
// part filters of the package build on: a filter with its pins and state,
// input and output pins with the memory transport, and the in-place
// transform filter. Pins count their references on their filter; a filter
// counts itself among its server's live objects.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dshow/com_object.h"
#include "strmif.h"

namespace qk::dshow::base {

class BaseFilter;

class BasePin : public IPin {
public:
    BasePin(BaseFilter* filter, std::u16string name, PIN_DIRECTION direction);
    virtual ~BasePin();

    HRESULT QueryInterface(REFIID riid, void** ppv) override;
    ULONG AddRef() override;
    ULONG Release() override;

    HRESULT ConnectedTo(IPin** pPin) override;
    HRESULT ConnectionMediaType(AM_MEDIA_TYPE* pmt) override;
    HRESULT QueryPinInfo(PIN_INFO* pInfo) override;
    HRESULT QueryDirection(PIN_DIRECTION* pPinDir) override;
    HRESULT QueryId(LPWSTR* Id) override;
    HRESULT QueryAccept(const AM_MEDIA_TYPE* pmt) override;
    HRESULT EnumMediaTypes(IEnumMediaTypes**) override { return E_NOTIMPL; }
    HRESULT QueryInternalConnections(IPin**, ULONG*) override { return E_NOTIMPL; }
    HRESULT NewSegment(REFERENCE_TIME, REFERENCE_TIME, double) override { return S_OK; }

    const std::u16string& Name() const { return name_; }
    bool IsConnected() const { return peer_ != nullptr; }
    const AM_MEDIA_TYPE& Type() const { return type_; }
    // The type this pin can take (S_OK) or not (an error).
    virtual HRESULT CheckMediaType(const AM_MEDIA_TYPE* type) = 0;

protected:
    // Extra interfaces of a derived pin.
    virtual HRESULT QueryMore(REFIID, void**) { return E_NOINTERFACE; }
    HRESULT Attach(IPin* peer, const AM_MEDIA_TYPE* type);
    void Detach();
    bool FilterStopped() const;

    BaseFilter* const filter_;
    const std::u16string name_;
    const PIN_DIRECTION direction_;
    // Connections change on the application's thread while the filter is
    // stopped; the lock keeps readers on other threads consistent.
    mutable std::mutex lock_;
    IPin* peer_ = nullptr;  // one reference
    AM_MEDIA_TYPE type_{};  // owned
};

class BaseInputPin : public BasePin, public IMemInputPin {
public:
    BaseInputPin(BaseFilter* filter, std::u16string name) : BasePin(filter, std::move(name), PINDIR_INPUT) {}
    ~BaseInputPin() override;

    HRESULT QueryInterface(REFIID riid, void** ppv) override { return BasePin::QueryInterface(riid, ppv); }
    ULONG AddRef() override { return BasePin::AddRef(); }
    ULONG Release() override { return BasePin::Release(); }

    HRESULT Connect(IPin*, const AM_MEDIA_TYPE*) override { return E_UNEXPECTED; }
    HRESULT ReceiveConnection(IPin* pConnector, const AM_MEDIA_TYPE* pmt) override;
    HRESULT Disconnect() override;
    HRESULT EndOfStream() override { return S_OK; }
    HRESULT BeginFlush() override { return S_OK; }
    HRESULT EndFlush() override { return S_OK; }

    HRESULT GetAllocator(IMemAllocator** ppAllocator) override;
    HRESULT NotifyAllocator(IMemAllocator* pAllocator, BOOL bReadOnly) override;
    // Those of the pin's own allocator; E_NOTIMPL without one.
    HRESULT GetAllocatorRequirements(ALLOCATOR_PROPERTIES* props) override;
    HRESULT Receive(IMediaSample* pSample) override;
    HRESULT ReceiveMultiple(IMediaSample** pSamples, LONG nSamples, LONG* nSamplesProcessed) override;
    HRESULT ReceiveCanBlock() override { return S_OK; }

    // The allocator the upstream pin chose (with a reference), or null.
    IMemAllocator* PeerAllocator();
    // The pin's own allocator to offer upstream, or null (the default); with
    // one the pin takes no other.
    virtual IMemAllocator* OwnAllocator() { return nullptr; }

protected:
    HRESULT QueryMore(REFIID riid, void** ppv) override;
    // A sample for the filter, while it is paused or running.
    virtual HRESULT OnReceive(IMediaSample* sample) = 0;
    // After the connection's type is set.
    virtual void OnConnect() {}

private:
    IMemAllocator* allocator_ = nullptr;  // one reference
};

class BaseOutputPin : public BasePin {
public:
    BaseOutputPin(BaseFilter* filter, std::u16string name) : BasePin(filter, std::move(name), PINDIR_OUTPUT) {}
    ~BaseOutputPin() override;

    HRESULT Connect(IPin* pReceivePin, const AM_MEDIA_TYPE* pmt) override;
    HRESULT ReceiveConnection(IPin*, const AM_MEDIA_TYPE*) override { return E_UNEXPECTED; }
    HRESULT Disconnect() override;
    HRESULT EndOfStream() override { return E_UNEXPECTED; }
    HRESULT BeginFlush() override { return E_UNEXPECTED; }
    HRESULT EndFlush() override { return E_UNEXPECTED; }

    HRESULT Deliver(IMediaSample* sample);
    HRESULT DeliverEndOfStream();

protected:
    // The type to offer when the caller names none (S_OK), else an error.
    virtual HRESULT ProposeType(AM_MEDIA_TYPE* type) = 0;
    // The allocator for the connection (one reference); the default asks the
    // input pin, else makes the system's memory allocator sized by the type.
    virtual HRESULT DecideAllocator(IMemInputPin* input, IMemAllocator** allocator);

private:
    IMemInputPin* input_ = nullptr;       // one reference
    IMemAllocator* allocator_ = nullptr;  // one reference
};

class BaseFilter : public RefCount, public IBaseFilter {
public:
    BaseFilter(qk::com::ObjectCount& server, REFCLSID clsid) : RefCount(server), clsid_(clsid) {}

    HRESULT QueryInterface(REFIID riid, void** ppv) override;
    ULONG AddRef() override { return AddRefImpl(); }
    ULONG Release() override { return ReleaseImpl(); }

    HRESULT GetClassID(CLSID* pClassID) override;
    HRESULT Stop() override;
    HRESULT Pause() override;
    HRESULT Run(REFERENCE_TIME tStart) override;
    HRESULT GetState(DWORD, FILTER_STATE* State) override;
    HRESULT SetSyncSource(IReferenceClock* pClock) override;
    HRESULT GetSyncSource(IReferenceClock** pClock) override;
    HRESULT EnumPins(IEnumPins** ppEnum) override;
    HRESULT FindPin(LPCWSTR Id, IPin** ppPin) override;
    HRESULT QueryFilterInfo(FILTER_INFO* pInfo) override;
    HRESULT JoinFilterGraph(IFilterGraph* pGraph, LPCWSTR pName) override;
    HRESULT QueryVendorInfo(LPWSTR*) override { return E_NOTIMPL; }

    virtual int PinCount() = 0;
    virtual BasePin* Pin(int index) = 0;

    FILTER_STATE State() const;
    REFERENCE_TIME StreamStart() const;
    // Reports an event to the graph (EC_ERRORABORT, EC_COMPLETE, ...).
    void NotifyEvent(LONG code, LONG_PTR p1, LONG_PTR p2);

protected:
    virtual ~BaseFilter();
    virtual HRESULT QueryMore(REFIID, void**) { return E_NOINTERFACE; }
    // Serialises state changes with the filter's own work (the streaming
    // thread takes it around each sample in filters that say so).
    mutable std::recursive_mutex stateLock_;

private:
    const CLSID clsid_;
    // Changed under stateLock_; read without it, because every pin asks for
    // them with each sample it receives.
    std::atomic<FILTER_STATE> state_{State_Stopped};
    std::atomic<REFERENCE_TIME> start_{0};
    IReferenceClock* clock_ = nullptr;  // one reference
    IFilterGraph* graph_ = nullptr;     // no reference: the graph holds the filter
    std::u16string name_;
};

// The in-place transform: samples pass from the input to the output pin in
// the buffers the upstream allocator gives, after Transform has seen them.
class TransInPlaceFilter : public BaseFilter {
public:
    TransInPlaceFilter(qk::com::ObjectCount& server, REFCLSID clsid, std::u16string inputName,
                       std::u16string outputName);
    int PinCount() override { return 2; }
    BasePin* Pin(int index) override;

protected:
    // S_OK passes the sample on; S_FALSE drops it; an error ends the stream.
    virtual HRESULT Transform(IMediaSample* sample) = 0;
    virtual HRESULT CheckInputType(const AM_MEDIA_TYPE* type) = 0;
    virtual void InputConnected(const AM_MEDIA_TYPE&) {}
    // The input pin's own allocator, when the filter has one (SetOwnBuffer).
    virtual IMemAllocator* InputAllocator() { return nullptr; }

private:
    class Input;
    class Output;
    friend class Input;
    friend class Output;
    class Input final : public BaseInputPin {
    public:
        Input(TransInPlaceFilter* f, std::u16string name) : BaseInputPin(f, std::move(name)), owner_(f) {}
        HRESULT CheckMediaType(const AM_MEDIA_TYPE* type) override { return owner_->CheckInputType(type); }
        IMemAllocator* OwnAllocator() override { return owner_->InputAllocator(); }

    protected:
        HRESULT OnReceive(IMediaSample* sample) override;
        void OnConnect() override { owner_->InputConnected(Type()); }

    private:
        TransInPlaceFilter* const owner_;
    };
    class Output final : public BaseOutputPin {
    public:
        Output(TransInPlaceFilter* f, std::u16string name) : BaseOutputPin(f, std::move(name)), owner_(f) {}
        HRESULT CheckMediaType(const AM_MEDIA_TYPE* type) override;

    protected:
        HRESULT ProposeType(AM_MEDIA_TYPE* type) override;
        HRESULT DecideAllocator(IMemInputPin* input, IMemAllocator** allocator) override;

    private:
        TransInPlaceFilter* const owner_;
    };
    Input input_;
    Output output_;
};

}  // namespace qk::dshow::base
