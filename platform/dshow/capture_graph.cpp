// The capture graph builder: finds a filter's pins by category and media
// type, the interfaces on them, and connects a capture pin to a renderer
// (through a compressor when given) in the graph it was handed. Writing
// capture files is not part of this platform.
#include "platform/dshow/base_classes.h"
#include "platform/dshow/com_object.h"

namespace qk::dshow {
namespace {

bool PinCategory(IPin* pin, GUID* category) {
    IKsPropertySet* properties = nullptr;
    if (FAILED(pin->QueryInterface(IID_IKsPropertySet, reinterpret_cast<void**>(&properties)))) return false;
    DWORD returned = 0;
    HRESULT hr = properties->Get(AMPROPSETID_Pin, AMPROPERTY_PIN_CATEGORY, nullptr, 0, category, sizeof *category,
                                 &returned);
    properties->Release();
    return SUCCEEDED(hr) && returned >= sizeof *category;
}

bool PinOffers(IPin* pin, const GUID& major) {
    IEnumMediaTypes* types = nullptr;
    if (FAILED(pin->EnumMediaTypes(&types))) {
        // A connected pin without a list still has its connection's type.
        AM_MEDIA_TYPE connected{};
        if (FAILED(pin->ConnectionMediaType(&connected))) return false;
        bool same = connected.majortype == major;
        FreeMediaType(connected);
        return same;
    }
    bool found = false;
    AM_MEDIA_TYPE* type = nullptr;
    while (!found && types->Next(1, &type, nullptr) == S_OK) {
        found = type->majortype == major;
        DeleteMediaType(type);
    }
    types->Release();
    return found;
}

// The `num`th pin of a filter that fits (0 first); null when none does.
IPin* Matching(IBaseFilter* filter, PIN_DIRECTION direction, const GUID* category, const GUID* type, bool unconnected,
               int num) {
    IEnumPins* pins = nullptr;
    if (FAILED(filter->EnumPins(&pins))) return nullptr;
    IPin* pin = nullptr;
    IPin* found = nullptr;
    while (found == nullptr && pins->Next(1, &pin, nullptr) == S_OK) {
        PIN_DIRECTION d;
        GUID c = GUID_NULL;
        IPin* peer = nullptr;
        bool fits = SUCCEEDED(pin->QueryDirection(&d)) && d == direction &&
                    (category == nullptr || (PinCategory(pin, &c) && c == *category)) &&
                    (type == nullptr || PinOffers(pin, *type));
        if (fits && unconnected && SUCCEEDED(pin->ConnectedTo(&peer)) && peer != nullptr) {
            peer->Release();
            fits = false;
        }
        if (fits && num-- == 0) {
            found = pin;
        } else {
            pin->Release();
        }
    }
    pins->Release();
    return found;
}

class CaptureGraphBuilder final : public RefCount, public ICaptureGraphBuilder2 {
public:
    CaptureGraphBuilder() : RefCount(QuartzObjects()) {}
    ~CaptureGraphBuilder() {
        if (graph_ != nullptr) graph_->Release();
    }
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (riid == IID_IUnknown || riid == IID_ICaptureGraphBuilder2) {
            return Hand(static_cast<ICaptureGraphBuilder2*>(this), ppv);
        }
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return AddRefImpl(); }
    ULONG Release() override { return ReleaseImpl(); }

    HRESULT SetFiltergraph(IGraphBuilder* graph) override {
        if (graph == nullptr) return E_POINTER;
        if (graph_ != nullptr) return E_UNEXPECTED;  // once, as the SDK's builder
        graph_ = graph;
        graph_->AddRef();
        return S_OK;
    }
    HRESULT GetFiltergraph(IGraphBuilder** graph) override {
        if (graph == nullptr) return E_POINTER;
        *graph = graph_;
        if (graph_ == nullptr) return E_UNEXPECTED;
        graph_->AddRef();
        return S_OK;
    }
    // The platform has no file writer (no multiplexer, no file sink): a
    // capture file is refused, and the caller gets no filter to release.
    HRESULT SetOutputFileName(const GUID*, LPCOLESTR, IBaseFilter** mux, IFileSinkFilter** sink) override {
        if (mux != nullptr) *mux = nullptr;
        if (sink != nullptr) *sink = nullptr;
        return E_NOTIMPL;
    }

    // The filter's own interface first, then its output pins' that fit.
    HRESULT FindInterface(const GUID* category, const GUID* type, IBaseFilter* filter, REFIID riid,
                          void** out) override {
        if (filter == nullptr || out == nullptr) return E_POINTER;
        *out = nullptr;
        if (category == nullptr && SUCCEEDED(filter->QueryInterface(riid, out))) return S_OK;
        for (int i = 0;; ++i) {
            IPin* pin = Matching(filter, PINDIR_OUTPUT, category, type, false, i);
            if (pin == nullptr) break;
            HRESULT hr = pin->QueryInterface(riid, out);
            pin->Release();
            if (SUCCEEDED(hr)) return S_OK;
        }
        return E_NOINTERFACE;
    }

    HRESULT RenderStream(const GUID* category, const GUID* type, IUnknown* source, IBaseFilter* compressor,
                         IBaseFilter* renderer) override {
        if (graph_ == nullptr) return E_UNEXPECTED;
        if (source == nullptr) return E_INVALIDARG;
        IPin* out = nullptr;
        IBaseFilter* filter = nullptr;
        if (SUCCEEDED(source->QueryInterface(IID_IPin, reinterpret_cast<void**>(&out)))) {
        } else if (SUCCEEDED(source->QueryInterface(IID_IBaseFilter, reinterpret_cast<void**>(&filter)))) {
            out = Matching(filter, PINDIR_OUTPUT, category, type, true, 0);
            filter->Release();
        }
        if (out == nullptr) return VFW_E_NOT_FOUND;
        HRESULT hr = S_OK;
        if (compressor != nullptr) {
            IPin* in = Matching(compressor, PINDIR_INPUT, nullptr, nullptr, true, 0);
            hr = in != nullptr ? graph_->Connect(out, in) : VFW_E_NOT_FOUND;
            if (in != nullptr) in->Release();
            out->Release();
            out = SUCCEEDED(hr) ? Matching(compressor, PINDIR_OUTPUT, nullptr, nullptr, true, 0) : nullptr;
            if (SUCCEEDED(hr) && out == nullptr) hr = VFW_E_NOT_FOUND;
        }
        // Without a renderer the graph renders the stream with what is registered.
        if (SUCCEEDED(hr) && renderer == nullptr) {
            hr = graph_->Render(out);
        } else if (SUCCEEDED(hr)) {
            IPin* in = Matching(renderer, PINDIR_INPUT, nullptr, nullptr, true, 0);
            hr = in != nullptr ? graph_->Connect(out, in) : VFW_E_NOT_FOUND;
            if (in != nullptr) in->Release();
        }
        if (out != nullptr) out->Release();
        return hr;
    }
    HRESULT ControlStream(const GUID*, const GUID*, IBaseFilter*, REFERENCE_TIME*, REFERENCE_TIME*, WORD,
                          WORD) override {
        return E_NOTIMPL;
    }
    HRESULT AllocCapFile(LPCOLESTR, ULONGLONG) override { return E_NOTIMPL; }
    HRESULT CopyCaptureFile(LPOLESTR, LPOLESTR, int, IAMCopyCaptureFileProgress*) override { return E_NOTIMPL; }

    HRESULT FindPin(IUnknown* source, PIN_DIRECTION direction, const GUID* category, const GUID* type,
                    BOOL unconnected, int num, IPin** pin) override {
        if (source == nullptr || pin == nullptr) return E_POINTER;
        *pin = nullptr;
        IBaseFilter* filter = nullptr;
        if (FAILED(source->QueryInterface(IID_IBaseFilter, reinterpret_cast<void**>(&filter)))) return E_INVALIDARG;
        *pin = Matching(filter, direction, category, type, unconnected != FALSE, num);
        filter->Release();
        return *pin != nullptr ? S_OK : E_FAIL;
    }

private:
    IGraphBuilder* graph_ = nullptr;  // one reference
};

}  // namespace

HRESULT CreateCaptureGraphBuilder(REFIID riid, void** ppv) {
    auto* object = new CaptureGraphBuilder;
    HRESULT hr = object->QueryInterface(riid, ppv);
    object->Release();
    return hr;
}

}  // namespace qk::dshow
