// The kernel-streaming proxy: a DirectShow filter over a kernel filter that
// the device moniker names by its device path. Its output pins are the
// kernel filter's output pins with their data ranges as media types and
// IAMStreamConfig; the filter answers the standard video property sets as
// IAMVideoProcAmp, IAMCameraControl and IAMVideoControl, and passes any
// property through IKsPropertySet and IKsControl. Every call reaches the
// driver: nothing is cached but the pin list and the data ranges, which a
// kernel filter fixes when it is created.
#include <pthread.h>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/dshow/com_object.h"
#include "platform/dshow/dshow_servers.h"
#include "platform/ks/client.h"
#include "platform/nt/parker.h"
#include "platform/nt/pnp.h"
#include "platform/nt/processor_time.h"
#include "platform/ks/clock.h"
#include "platform/dshow/base_classes.h"
#include "olectl.h"
#include "strmif.h"
#include "wdm.h"
#include "windows.h"

namespace qk::dshow {
namespace {

using qk::ks::client::Bytes;

constexpr ULONG kVideoInfoBytes = sizeof(VIDEOINFOHEADER);

bool IsVideoRange(const Bytes& range) {
    if (range.size() < sizeof(KS_DATARANGE_VIDEO)) return false;
    auto* r = reinterpret_cast<const KS_DATARANGE_VIDEO*>(range.data());
    return r->DataRange.Specifier == KSDATAFORMAT_SPECIFIER_VIDEOINFO;
}

const KS_DATARANGE_VIDEO& VideoRange(const Bytes& range) {
    return *reinterpret_cast<const KS_DATARANGE_VIDEO*>(range.data());
}

// A media type with its own format block (task memory), from a video
// information header.
HRESULT FillVideoType(const GUID& major, const GUID& sub, BOOL fixedSize, BOOL temporal,
                      const VIDEOINFOHEADER& info, AM_MEDIA_TYPE* type) {
    std::memset(type, 0, sizeof *type);
    type->majortype = major;
    type->subtype = sub;
    type->bFixedSizeSamples = fixedSize;
    type->bTemporalCompression = temporal;
    type->lSampleSize = info.bmiHeader.biSizeImage;
    type->formattype = FORMAT_VideoInfo;
    type->pbFormat = static_cast<BYTE*>(CoTaskMemAlloc(kVideoInfoBytes));
    if (type->pbFormat == nullptr) return E_OUTOFMEMORY;
    type->cbFormat = kVideoInfoBytes;
    std::memcpy(type->pbFormat, &info, kVideoInfoBytes);
    return S_OK;
}

HRESULT TypeOfRange(const Bytes& range, AM_MEDIA_TYPE* type) {
    const auto& r = VideoRange(range);
    return FillVideoType(r.DataRange.MajorFormat, r.DataRange.SubFormat, r.bFixedSizeSamples, r.bTemporalCompression,
                         r.VideoInfoHeader, type);
}

HRESULT TypeOfFormat(const Bytes& format, AM_MEDIA_TYPE* type) {
    if (format.size() < sizeof(KS_DATAFORMAT_VIDEOINFOHEADER)) return VFW_E_INVALIDMEDIATYPE;
    auto* f = reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format.data());
    // Only a compressed stream has samples of varying size.
    BOOL compressed = f->DataFormat.SubFormat == MEDIASUBTYPE_MJPG;
    return FillVideoType(f->DataFormat.MajorFormat, f->DataFormat.SubFormat, !compressed, compressed,
                         f->VideoInfoHeader, type);
}

AM_MEDIA_TYPE* NewType() {
    auto* type = static_cast<AM_MEDIA_TYPE*>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
    if (type != nullptr) std::memset(type, 0, sizeof *type);
    return type;
}

// The video information header of a caller's type, when it has one.
const VIDEOINFOHEADER* VideoInfoOf(const AM_MEDIA_TYPE* type) {
    if (type == nullptr || type->formattype != FORMAT_VideoInfo || type->cbFormat < kVideoInfoBytes ||
        type->pbFormat == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<const VIDEOINFOHEADER*>(type->pbFormat);
}

LONG Magnitude(LONG v) { return v < 0 ? -v : v; }

class KsProxyFilter;

// ---- Output pin --------------------------------------------------------------------------------
// A pin lives as long as its filter and counts its references there, as the
// SDK's base classes do.
// The property pages an object of the proxy names (ISpecifyPropertyPages),
// as a part of that object: the pages are the system's, in "kspages.ax".
class PagesPart final : public ISpecifyPropertyPages {
public:
    PagesPart(IUnknown* owner, std::function<std::vector<GUID>()> pages) : owner_(owner), pages_(std::move(pages)) {}
    HRESULT QueryInterface(REFIID riid, void** ppv) override { return owner_->QueryInterface(riid, ppv); }
    ULONG AddRef() override { return owner_->AddRef(); }
    ULONG Release() override { return owner_->Release(); }
    HRESULT GetPages(CAUUID* pages) override {
        if (pages == nullptr) return E_POINTER;
        const std::vector<GUID> list = pages_();
        pages->cElems = 0;
        pages->pElems = nullptr;
        if (list.empty()) return S_OK;
        pages->pElems = static_cast<GUID*>(CoTaskMemAlloc(list.size() * sizeof(GUID)));
        if (pages->pElems == nullptr) return E_OUTOFMEMORY;
        std::copy(list.begin(), list.end(), pages->pElems);
        pages->cElems = static_cast<ULONG>(list.size());
        return S_OK;
    }

private:
    IUnknown* const owner_;
    std::function<std::vector<GUID>()> pages_;
};

class KsOutputPin final : public IPin, public IAMStreamConfig, public IKsPropertySet {
public:
    KsOutputPin(KsProxyFilter* filter, ULONG pinId, std::u16string name, GUID category, std::vector<Bytes> ranges)
        : filter_(filter), pinId_(pinId), name_(std::move(name)), category_(category), ranges_(std::move(ranges)),
          pages_(static_cast<IPin*>(this), [] { return std::vector<GUID>{CLSID_VideoStreamConfigPropertyPage}; }) {}
    ~KsOutputPin() {
        Inactive();
        Disconnect();
        if (current_ != nullptr) DeleteMediaType(current_);
    }

    ULONG PinId() const { return pinId_; }
    const std::u16string& Name() const { return name_; }

    HRESULT QueryInterface(REFIID riid, void** ppv) override;
    ULONG AddRef() override;
    ULONG Release() override;

    // IPin
    HRESULT Connect(IPin* pReceivePin, const AM_MEDIA_TYPE* pmt) override;
    HRESULT ReceiveConnection(IPin*, const AM_MEDIA_TYPE*) override { return E_UNEXPECTED; }  // an output pin
    HRESULT Disconnect() override;
    HRESULT ConnectedTo(IPin** pPin) override {
        if (pPin == nullptr) return E_POINTER;
        std::lock_guard guard(connectionLock_);
        *pPin = peer_;
        if (peer_ == nullptr) return VFW_E_NOT_CONNECTED;
        peer_->AddRef();
        return S_OK;
    }
    HRESULT ConnectionMediaType(AM_MEDIA_TYPE* pmt) override {
        if (pmt == nullptr) return E_POINTER;
        std::lock_guard guard(connectionLock_);
        if (peer_ == nullptr) {
            std::memset(pmt, 0, sizeof *pmt);
            return VFW_E_NOT_CONNECTED;
        }
        return CopyMediaType(pmt, &connection_);
    }

    // State changes from the filter: a connected pin opens its kernel pin
    // when paused, streams while running, and closes it when stopped.
    HRESULT Active();
    HRESULT Start();
    HRESULT Pause();
    void Inactive();
    // The device is gone: no more reads are queued.
    void Lose() {
        {
            std::lock_guard guard(streamLock_);
            lost_ = true;
        }
        WakeStreamer();
    }
    HRESULT QueryPinInfo(PIN_INFO* pInfo) override;
    HRESULT QueryDirection(PIN_DIRECTION* pPinDir) override {
        if (pPinDir == nullptr) return E_POINTER;
        *pPinDir = PINDIR_OUTPUT;
        return S_OK;
    }
    HRESULT QueryId(LPWSTR* Id) override {
        if (Id == nullptr) return E_POINTER;
        auto* text = static_cast<LPWSTR>(CoTaskMemAlloc((name_.size() + 1) * sizeof(WCHAR)));
        if (text == nullptr) return E_OUTOFMEMORY;
        std::memcpy(text, name_.c_str(), (name_.size() + 1) * sizeof(WCHAR));
        *Id = text;
        return S_OK;
    }
    HRESULT QueryAccept(const AM_MEDIA_TYPE* pmt) override { return FindRange(pmt) >= 0 ? S_OK : S_FALSE; }
    HRESULT EnumMediaTypes(IEnumMediaTypes** ppEnum) override;
    HRESULT QueryInternalConnections(IPin**, ULONG*) override { return E_NOTIMPL; }
    HRESULT EndOfStream() override { return E_UNEXPECTED; }
    HRESULT BeginFlush() override { return E_UNEXPECTED; }
    HRESULT EndFlush() override { return E_UNEXPECTED; }
    HRESULT NewSegment(REFERENCE_TIME, REFERENCE_TIME, double) override { return S_OK; }

    // IAMStreamConfig
    HRESULT SetFormat(AM_MEDIA_TYPE* pmt) override;
    // SetFormat's choice without touching a connection.
    HRESULT ChooseFormat(const AM_MEDIA_TYPE* pmt);
    // Takes `type` (owned) as the pin's format.
    void KeepFormat(AM_MEDIA_TYPE* type);
    HRESULT GetFormat(AM_MEDIA_TYPE** ppmt) override;
    HRESULT GetNumberOfCapabilities(int* piCount, int* piSize) override {
        if (piCount == nullptr || piSize == nullptr) return E_POINTER;
        *piCount = static_cast<int>(VideoRanges().size());
        *piSize = sizeof(VIDEO_STREAM_CONFIG_CAPS);
        return S_OK;
    }
    HRESULT GetStreamCaps(int iIndex, AM_MEDIA_TYPE** ppmt, BYTE* pSCC) override {
        if (ppmt == nullptr || pSCC == nullptr) return E_POINTER;
        *ppmt = nullptr;
        auto video = VideoRanges();
        if (iIndex < 0 || static_cast<size_t>(iIndex) >= video.size()) return S_FALSE;
        AM_MEDIA_TYPE* type = NewType();
        if (type == nullptr) return E_OUTOFMEMORY;
        HRESULT hr = TypeOfRange(*video[iIndex], type);
        if (FAILED(hr)) {
            DeleteMediaType(type);
            return hr;
        }
        std::memcpy(pSCC, &VideoRange(*video[iIndex]).ConfigCaps, sizeof(VIDEO_STREAM_CONFIG_CAPS));
        *ppmt = type;
        return S_OK;
    }

    // IKsPropertySet: the pin's category, which capture graph builders look for.
    HRESULT Set(REFGUID guidPropSet, DWORD, LPVOID, DWORD, LPVOID, DWORD) override {
        return guidPropSet == AMPROPSETID_Pin ? E_PROP_ID_UNSUPPORTED : E_PROP_SET_UNSUPPORTED;
    }
    HRESULT Get(REFGUID guidPropSet, DWORD dwPropID, LPVOID, DWORD, LPVOID pPropData, DWORD cbPropData,
                DWORD* pcbReturned) override {
        if (guidPropSet != AMPROPSETID_Pin) return E_PROP_SET_UNSUPPORTED;
        if (dwPropID != AMPROPERTY_PIN_CATEGORY) return E_PROP_ID_UNSUPPORTED;
        if (pPropData == nullptr) return E_POINTER;
        if (cbPropData < sizeof(GUID)) return E_UNEXPECTED;
        std::memcpy(pPropData, &category_, sizeof(GUID));
        if (pcbReturned != nullptr) *pcbReturned = sizeof(GUID);
        return S_OK;
    }
    HRESULT QuerySupported(REFGUID guidPropSet, DWORD dwPropID, DWORD* pTypeSupport) override {
        if (guidPropSet != AMPROPSETID_Pin) return E_PROP_SET_UNSUPPORTED;
        if (dwPropID != AMPROPERTY_PIN_CATEGORY) return E_PROP_ID_UNSUPPORTED;
        if (pTypeSupport != nullptr) *pTypeSupport = KSPROPERTY_SUPPORT_GET;
        return S_OK;
    }

    std::vector<const Bytes*> VideoRanges() const {
        std::vector<const Bytes*> video;
        for (const auto& r : ranges_) {
            if (IsVideoRange(r)) video.push_back(&r);
        }
        return video;
    }

private:
    // The range a type fits: same subtype and picture size, and a frame
    // interval (when it names one) inside the range's; -1 when none does.
    int FindRange(const AM_MEDIA_TYPE* type) const {
        const VIDEOINFOHEADER* info = VideoInfoOf(type);
        if (info == nullptr || type->majortype != MEDIATYPE_Video) return -1;
        auto video = VideoRanges();
        for (size_t i = 0; i < video.size(); ++i) {
            const auto& r = VideoRange(*video[i]);
            const auto& h = r.VideoInfoHeader.bmiHeader;
            if (type->subtype != r.DataRange.SubFormat) continue;
            if (info->bmiHeader.biWidth != h.biWidth || Magnitude(info->bmiHeader.biHeight) != Magnitude(h.biHeight)) {
                continue;
            }
            REFERENCE_TIME interval = info->AvgTimePerFrame;
            if (interval != 0 && (interval < r.ConfigCaps.MinFrameInterval || interval > r.ConfigCaps.MaxFrameInterval)) {
                continue;
            }
            return static_cast<int>(i);
        }
        return -1;
    }

    void Stream();
    void Report(LONG code, LONG_PTR p1);

    KsProxyFilter* const filter_;
    const ULONG pinId_;
    const std::u16string name_;
    const GUID category_;
    const std::vector<Bytes> ranges_;
    PagesPart pages_;
    std::mutex lock_;                  // guards current_
    AM_MEDIA_TYPE* current_ = nullptr;  // the format SetFormat chose; owned

    // The connection, changed on the application's thread while stopped.
    std::mutex connectionLock_;           // guards the four below against ConnectedTo from elsewhere
    IPin* peer_ = nullptr;                // one reference
    IMemInputPin* input_ = nullptr;       // one reference
    IMemAllocator* allocator_ = nullptr;  // one reference
    AM_MEDIA_TYPE connection_{};          // owned

    // Streaming: the kernel pin exists from pause to stop; reads complete on
    // kernel threads into `completed_`, and the streaming thread delivers them.
    struct Completed {
        IMediaSample* sample;  // one reference
        NTSTATUS status;
        ULONG dataUsed;
    };
    std::unique_ptr<qk::ks::client::Pin> kernelPin_;
    HANDLE clock_ = nullptr;
    std::thread streamer_;
    std::mutex streamLock_;  // guards completed_, stopping_, outstanding_, streamerParker_
    // The streaming thread sleeps on its parker, not on a condition variable:
    // a frame's wake-up is then one system call, where a condition variable
    // adds a wake call on its mutex to every wait.
    std::shared_ptr<qk::nt::Parker> streamerParker_;
    void WakeStreamer() {
        std::shared_ptr<qk::nt::Parker> parker;
        {
            std::lock_guard guard(streamLock_);
            parker = streamerParker_;
        }
        if (parker) parker->Unpark();
    }
    std::deque<Completed> completed_;
    bool stopping_ = false;
    bool lost_ = false;
    int outstanding_ = 0;
    int buffers_ = 0;  // the allocator's, as it answered at the connection
    LONGLONG delivered_ = 0;  // streaming thread only
};

class MediaTypeList final : public RefCount, public IEnumMediaTypes {
public:
    MediaTypeList(std::vector<Bytes> ranges, ULONG position)
        : RefCount(ProxyObjects()), ranges_(std::move(ranges)), position_(position) {}

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (riid == IID_IUnknown || riid == IID_IEnumMediaTypes) return Hand(static_cast<IEnumMediaTypes*>(this), ppv);
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return AddRefImpl(); }
    ULONG Release() override { return ReleaseImpl(); }

    HRESULT Next(ULONG count, AM_MEDIA_TYPE** types, ULONG* fetched) override {
        if (types == nullptr) return E_POINTER;
        if (count > 1 && fetched == nullptr) return E_INVALIDARG;
        ULONG n = 0;
        while (n < count && position_ < ranges_.size()) {
            AM_MEDIA_TYPE* type = NewType();
            if (type == nullptr || FAILED(TypeOfRange(ranges_[position_], type))) {
                DeleteMediaType(type);
                break;
            }
            types[n++] = type;
            ++position_;
        }
        if (fetched != nullptr) *fetched = n;
        return n == count ? S_OK : S_FALSE;
    }
    HRESULT Skip(ULONG count) override {
        size_t left = ranges_.size() - position_;
        position_ += static_cast<ULONG>(count < left ? count : left);
        return count <= left ? S_OK : S_FALSE;
    }
    HRESULT Reset() override {
        position_ = 0;
        return S_OK;
    }
    HRESULT Clone(IEnumMediaTypes** ppEnum) override {
        if (ppEnum == nullptr) return E_POINTER;
        *ppEnum = new MediaTypeList(ranges_, position_);
        return S_OK;
    }

private:
    const std::vector<Bytes> ranges_;
    ULONG position_;
};

class PinList final : public RefCount, public IEnumPins {
public:
    PinList(std::vector<IPin*> pins, ULONG position) : RefCount(ProxyObjects()), pins_(std::move(pins)), position_(position) {
        for (IPin* p : pins_) p->AddRef();
    }
    ~PinList() {
        for (IPin* p : pins_) p->Release();
    }

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
        while (n < count && position_ < pins_.size()) {
            pins[n] = pins_[position_++];
            pins[n++]->AddRef();
        }
        if (fetched != nullptr) *fetched = n;
        return n == count ? S_OK : S_FALSE;
    }
    HRESULT Skip(ULONG count) override {
        size_t left = pins_.size() - position_;
        position_ += static_cast<ULONG>(count < left ? count : left);
        return count <= left ? S_OK : S_FALSE;
    }
    HRESULT Reset() override {
        position_ = 0;
        return S_OK;
    }
    HRESULT Clone(IEnumPins** ppEnum) override {
        if (ppEnum == nullptr) return E_POINTER;
        *ppEnum = new PinList(pins_, position_);
        return S_OK;
    }

private:
    const std::vector<IPin*> pins_;  // one reference each
    ULONG position_;
};

// ---- Controls --------------------------------------------------------------------------------
// VideoProcAmp and CameraControl share their request layout and method
// names, so each is its own part of the filter, counting on the filter.
struct ControlRange {
    HRESULT hr;
    LONG minimum, maximum, step, defaultValue;
};

ControlRange QueryRange(HANDLE handle, const GUID& set, ULONG id) {
    ControlRange out{E_PROP_ID_UNSUPPORTED, 0, 0, 0, 0};
    KSPROPERTY request{};
    request.Set = set;
    request.Id = id;
    request.Flags = KSPROPERTY_TYPE_BASICSUPPORT;
    std::vector<uint8_t> answer(512, 0);
    ULONG got = 0;
    NTSTATUS status = qk::ks::client::Property(handle, &request, sizeof request, answer.data(),
                                               static_cast<ULONG>(answer.size()), &got);
    if (!NT_SUCCESS(status)) {
        out.hr = FromStatus(status);
        return out;
    }
    if (got < sizeof(KSPROPERTY_DESCRIPTION)) return out;
    KSPROPERTY_DESCRIPTION description;
    std::memcpy(&description, answer.data(), sizeof description);
    size_t at = sizeof description;
    bool ranged = false;
    for (ULONG i = 0; i < description.MembersListCount && at + sizeof(KSPROPERTY_MEMBERSHEADER) <= got; ++i) {
        KSPROPERTY_MEMBERSHEADER header;
        std::memcpy(&header, answer.data() + at, sizeof header);
        at += sizeof header;
        if (header.MembersFlags == KSPROPERTY_MEMBER_STEPPEDRANGES && at + sizeof(KSPROPERTY_STEPPING_LONG) <= got) {
            KSPROPERTY_STEPPING_LONG r;
            std::memcpy(&r, answer.data() + at, sizeof r);
            out.minimum = r.Bounds.SignedMinimum;
            out.maximum = r.Bounds.SignedMaximum;
            out.step = static_cast<LONG>(r.SteppingDelta);
            ranged = true;
        } else if (header.MembersFlags == KSPROPERTY_MEMBER_VALUES && (header.Flags & KSPROPERTY_MEMBER_FLAG_DEFAULT) &&
                   at + sizeof(LONG) <= got) {
            std::memcpy(&out.defaultValue, answer.data() + at, sizeof(LONG));
        }
        uint64_t skip = uint64_t{header.MembersSize} * header.MembersCount;
        if (skip > got - at) break;  // a malformed answer ends the walk
        at += static_cast<size_t>(skip);
    }
    out.hr = ranged ? S_OK : E_PROP_ID_UNSUPPORTED;
    return out;
}

template <class Interface>
class ControlPart final : public Interface {
public:
    ControlPart(IUnknown* owner, const GUID& set) : owner_(owner), set_(set) {}
    void SetHandle(HANDLE handle) { handle_ = handle; }

    HRESULT QueryInterface(REFIID riid, void** ppv) override { return owner_->QueryInterface(riid, ppv); }
    ULONG AddRef() override { return owner_->AddRef(); }
    ULONG Release() override { return owner_->Release(); }

    HRESULT GetRange(LONG Property, LONG* pMin, LONG* pMax, LONG* pSteppingDelta, LONG* pDefault,
                     LONG* pCapsFlags) override {
        if (!pMin || !pMax || !pSteppingDelta || !pDefault || !pCapsFlags) return E_POINTER;
        ControlRange range = QueryRange(handle_, set_, static_cast<ULONG>(Property));
        if (FAILED(range.hr)) return range.hr;
        KSPROPERTY_VIDEOPROCAMP_S s{};
        ULONG got = 0;
        NTSTATUS status = qk::ks::client::StructProperty(handle_, set_, static_cast<ULONG>(Property),
                                                          KSPROPERTY_TYPE_GET, &s, sizeof s, &got);
        if (!NT_SUCCESS(status)) return FromStatus(status);
        *pMin = range.minimum;
        *pMax = range.maximum;
        *pSteppingDelta = range.step;
        *pDefault = range.defaultValue;
        *pCapsFlags = static_cast<LONG>(s.Capabilities);
        return S_OK;
    }
    HRESULT Set(LONG Property, LONG lValue, LONG Flags) override {
        KSPROPERTY_VIDEOPROCAMP_S s{};
        s.Value = lValue;
        s.Flags = static_cast<ULONG>(Flags);
        return FromStatus(qk::ks::client::StructProperty(handle_, set_, static_cast<ULONG>(Property),
                                                          KSPROPERTY_TYPE_SET, &s, sizeof s));
    }
    HRESULT Get(LONG Property, LONG* lValue, LONG* Flags) override {
        if (lValue == nullptr || Flags == nullptr) return E_POINTER;
        KSPROPERTY_VIDEOPROCAMP_S s{};
        NTSTATUS status = qk::ks::client::StructProperty(handle_, set_, static_cast<ULONG>(Property),
                                                          KSPROPERTY_TYPE_GET, &s, sizeof s);
        if (!NT_SUCCESS(status)) return FromStatus(status);
        *lValue = s.Value;
        *Flags = static_cast<LONG>(s.Flags);
        return S_OK;
    }

private:
    IUnknown* const owner_;
    const GUID set_;
    HANDLE handle_ = nullptr;
};

// ---- The filter ------------------------------------------------------------------------------
class KsProxyFilter final : public RefCount,
                            public IBaseFilter,
                            public IPersistPropertyBag,
                            public IAMVideoControl,
                            public IKsPropertySet,
                            public IKsControl,
                            public IKsObject {
public:
    KsProxyFilter()
        : RefCount(ProxyObjects()),
          procAmp_(static_cast<IBaseFilter*>(this), PROPSETID_VIDCAP_VIDEOPROCAMP),
          camera_(static_cast<IBaseFilter*>(this), PROPSETID_VIDCAP_CAMERACONTROL),
          pages_(static_cast<IBaseFilter*>(this), [this] { return Pages(); }) {}
    ~KsProxyFilter() {
        if (removal_ != nullptr) {
            qk::nt::pnp::Unsubscribe(removalCookie_);
            std::lock_guard guard(removal_->lock);
            removal_->filter = nullptr;
        }
        pins_.clear();  // they stop and let go of their connections first
        if (clock_ != nullptr) clock_->Release();
    }

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (riid == IID_IUnknown || riid == IID_IPersist || riid == IID_IMediaFilter || riid == IID_IBaseFilter) {
            return Hand(static_cast<IBaseFilter*>(this), ppv);
        }
        if (riid == IID_IPersistPropertyBag) return Hand(static_cast<IPersistPropertyBag*>(this), ppv);
        // The device's interfaces exist once a device is behind the filter.
        if (kernel_ == nullptr) return E_NOINTERFACE;
        if (riid == IID_IAMVideoProcAmp) return Hand(static_cast<IAMVideoProcAmp*>(&procAmp_), ppv);
        if (riid == IID_IAMCameraControl) return Hand(static_cast<IAMCameraControl*>(&camera_), ppv);
        if (riid == IID_IAMVideoControl) return Hand(static_cast<IAMVideoControl*>(this), ppv);
        if (riid == IID_IKsPropertySet) return Hand(static_cast<IKsPropertySet*>(this), ppv);
        if (riid == IID_IKsControl) return Hand(static_cast<IKsControl*>(this), ppv);
        if (riid == IID_IKsObject) return Hand(static_cast<IKsObject*>(this), ppv);
        if (riid == IID_ISpecifyPropertyPages) return Hand(static_cast<ISpecifyPropertyPages*>(&pages_), ppv);
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return AddRefImpl(); }
    ULONG Release() override { return ReleaseImpl(); }

    // IPersist, IPersistPropertyBag
    HRESULT GetClassID(CLSID* pClassID) override {
        if (pClassID == nullptr) return E_POINTER;
        *pClassID = CLSID_Proxy;
        return S_OK;
    }
    HRESULT InitNew() override { return S_OK; }
    HRESULT Load(IPropertyBag* bag, IErrorLog* log) override;
    HRESULT Save(IPropertyBag*, BOOL, BOOL) override { return E_NOTIMPL; }

    // IMediaFilter: the pins follow the filter's state.
    HRESULT Stop() override {
        for (auto& p : pins_) p->Inactive();
        state_ = State_Stopped;
        return S_OK;
    }
    HRESULT Pause() override {
        if (state_ == State_Stopped) {
            for (auto& p : pins_) {
                HRESULT hr = p->Active();
                if (FAILED(hr)) {
                    Stop();
                    return hr;
                }
            }
        } else if (state_ == State_Running) {
            for (auto& p : pins_) p->Pause();
        }
        state_ = State_Paused;
        return S_OK;
    }
    HRESULT Run(REFERENCE_TIME) override {
        if (state_ == State_Stopped) {
            HRESULT hr = Pause();
            if (FAILED(hr)) return hr;
        }
        for (auto& p : pins_) {
            HRESULT hr = p->Start();
            if (FAILED(hr)) {
                Stop();
                return hr;
            }
        }
        state_ = State_Running;
        return S_OK;
    }
    IFilterGraph* Graph() const { return graph_; }
    bool Lost() const { return lost_.load(); }
    // The device's interface went away: the stream cannot go on, and the
    // graph hears of it as applications expect (EC_DEVICE_LOST with the
    // filter and 0 for a removal).
    void DeviceRemoved();
    qk::ks::client::Filter* Kernel() const { return kernel_.get(); }
    HRESULT GetState(DWORD, FILTER_STATE* State) override {
        if (State == nullptr) return E_POINTER;
        *State = state_;
        return S_OK;
    }
    HRESULT SetSyncSource(IReferenceClock* pClock) override {
        if (pClock != nullptr) pClock->AddRef();
        if (clock_ != nullptr) clock_->Release();
        clock_ = pClock;
        return S_OK;
    }
    HRESULT GetSyncSource(IReferenceClock** pClock) override {
        if (pClock == nullptr) return E_POINTER;
        *pClock = clock_;
        if (clock_ != nullptr) clock_->AddRef();
        return S_OK;
    }

    // IBaseFilter
    HRESULT EnumPins(IEnumPins** ppEnum) override {
        if (ppEnum == nullptr) return E_POINTER;
        std::vector<IPin*> pins;
        for (auto& p : pins_) pins.push_back(static_cast<IPin*>(p.get()));
        *ppEnum = new PinList(std::move(pins), 0);
        return S_OK;
    }
    HRESULT FindPin(LPCWSTR Id, IPin** ppPin) override {
        if (Id == nullptr || ppPin == nullptr) return E_POINTER;
        *ppPin = nullptr;
        for (auto& p : pins_) {
            if (p->Name() == Id) return Hand(static_cast<IPin*>(p.get()), reinterpret_cast<void**>(ppPin));
        }
        return VFW_E_NOT_FOUND;
    }
    HRESULT QueryFilterInfo(FILTER_INFO* pInfo) override {
        if (pInfo == nullptr) return E_POINTER;
        std::memset(pInfo, 0, sizeof *pInfo);
        size_t n = name_.size() < MAX_FILTER_NAME - 1 ? name_.size() : MAX_FILTER_NAME - 1;
        std::memcpy(pInfo->achName, name_.data(), n * sizeof(WCHAR));
        pInfo->pGraph = graph_;
        if (graph_ != nullptr) graph_->AddRef();
        return S_OK;
    }
    // The graph holds the filter, not the other way round: no reference.
    HRESULT JoinFilterGraph(IFilterGraph* pGraph, LPCWSTR pName) override {
        graph_ = pGraph;
        name_ = pName != nullptr ? std::u16string(pName) : std::u16string();
        return S_OK;
    }
    HRESULT QueryVendorInfo(LPWSTR*) override { return E_NOTIMPL; }

    // IAMVideoControl
    HRESULT GetCaps(IPin* pPin, LONG* pCapsFlags) override {
        if (pCapsFlags == nullptr) return E_POINTER;
        return ModeProperty(pPin, KSPROPERTY_VIDEOCONTROL_CAPS, KSPROPERTY_TYPE_GET, pCapsFlags);
    }
    HRESULT SetMode(IPin* pPin, LONG Mode) override {
        return ModeProperty(pPin, KSPROPERTY_VIDEOCONTROL_MODE, KSPROPERTY_TYPE_SET, &Mode);
    }
    HRESULT GetMode(IPin* pPin, LONG* Mode) override {
        if (Mode == nullptr) return E_POINTER;
        return ModeProperty(pPin, KSPROPERTY_VIDEOCONTROL_MODE, KSPROPERTY_TYPE_GET, Mode);
    }
    HRESULT GetCurrentActualFrameRate(IPin* pPin, LONGLONG* ActualFrameRate) override {
        if (ActualFrameRate == nullptr) return E_POINTER;
        KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S s{};
        HRESULT hr = RateProperty(pPin, 0, VIDEO_SIZE{0, 0}, &s);
        if (SUCCEEDED(hr)) *ActualFrameRate = s.CurrentActualFrameRate;
        return hr;
    }
    HRESULT GetMaxAvailableFrameRate(IPin* pPin, LONG iIndex, VIDEO_SIZE Dimensions,
                                     LONGLONG* MaxAvailableFrameRate) override {
        if (MaxAvailableFrameRate == nullptr) return E_POINTER;
        KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S s{};
        HRESULT hr = RateProperty(pPin, iIndex, Dimensions, &s);
        if (SUCCEEDED(hr)) *MaxAvailableFrameRate = s.CurrentMaxAvailableFrameRate;
        return hr;
    }
    HRESULT GetFrameRateList(IPin* pPin, LONG iIndex, VIDEO_SIZE Dimensions, LONG* ListSize,
                             LONGLONG** FrameRates) override;

    // IKsPropertySet: the request is the property header followed by the
    // caller's instance data; the answer goes to the property data.
    HRESULT Set(REFGUID guidPropSet, DWORD dwPropID, LPVOID pInstanceData, DWORD cbInstanceData, LPVOID pPropData,
                DWORD cbPropData) override {
        Bytes request;
        if (!Request(guidPropSet, dwPropID, KSPROPERTY_TYPE_SET, pInstanceData, cbInstanceData, &request)) {
            return E_POINTER;
        }
        return FromStatus(qk::ks::client::Property(kernel_->Handle(), request.data(),
                                                    static_cast<ULONG>(request.size()), pPropData, cbPropData, nullptr));
    }
    HRESULT Get(REFGUID guidPropSet, DWORD dwPropID, LPVOID pInstanceData, DWORD cbInstanceData, LPVOID pPropData,
                DWORD cbPropData, DWORD* pcbReturned) override {
        Bytes request;
        if (!Request(guidPropSet, dwPropID, KSPROPERTY_TYPE_GET, pInstanceData, cbInstanceData, &request)) {
            return E_POINTER;
        }
        ULONG got = 0;
        NTSTATUS status = qk::ks::client::Property(kernel_->Handle(), request.data(),
                                                   static_cast<ULONG>(request.size()), pPropData, cbPropData, &got);
        if (pcbReturned != nullptr) *pcbReturned = got;
        return FromStatus(status);
    }
    HRESULT QuerySupported(REFGUID guidPropSet, DWORD dwPropID, DWORD* pTypeSupport) override {
        KSPROPERTY request{};
        request.Set = guidPropSet;
        request.Id = dwPropID;
        request.Flags = KSPROPERTY_TYPE_BASICSUPPORT;
        // The access flags lead both the short and the full answer.
        KSPROPERTY_DESCRIPTION description{};
        ULONG got = 0;
        NTSTATUS status = qk::ks::client::Property(kernel_->Handle(), &request, sizeof request, &description,
                                                   sizeof description, &got);
        if (status == STATUS_BUFFER_OVERFLOW) status = STATUS_SUCCESS;  // ranges follow; the flags are in
        if (!NT_SUCCESS(status)) return FromStatus(status);
        if (got < sizeof(ULONG)) return E_PROP_ID_UNSUPPORTED;
        DWORD support = 0;
        if (description.AccessFlags & KSPROPERTY_TYPE_GET) support |= KSPROPERTY_SUPPORT_GET;
        if (description.AccessFlags & KSPROPERTY_TYPE_SET) support |= KSPROPERTY_SUPPORT_SET;
        if (pTypeSupport != nullptr) *pTypeSupport = support;
        return S_OK;
    }

    // IKsControl
    HRESULT KsProperty(PKSPROPERTY Property, ULONG PropertyLength, LPVOID PropertyData, ULONG DataLength,
                       ULONG* BytesReturned) override {
        return Control(IOCTL_KS_PROPERTY, Property, PropertyLength, PropertyData, DataLength, BytesReturned);
    }
    HRESULT KsMethod(PKSMETHOD Method, ULONG MethodLength, LPVOID MethodData, ULONG DataLength,
                     ULONG* BytesReturned) override {
        return Control(IOCTL_KS_METHOD, Method, MethodLength, MethodData, DataLength, BytesReturned);
    }
    // A null event disables the one described by the data.
    HRESULT KsEvent(PKSEVENT Event, ULONG EventLength, LPVOID EventData, ULONG DataLength,
                    ULONG* BytesReturned) override {
        if (Event == nullptr) {
            return Control(IOCTL_KS_DISABLE_EVENT, EventData, DataLength, nullptr, 0, BytesReturned);
        }
        return Control(IOCTL_KS_ENABLE_EVENT, Event, EventLength, EventData, DataLength, BytesReturned);
    }

    // IKsObject
    HANDLE KsGetObjectHandle() override { return kernel_ != nullptr ? kernel_->Handle() : nullptr; }

    // The driver's choice of a format inside one of a pin's ranges.
    NTSTATUS Intersect(ULONG pinId, const Bytes& range, Bytes* format) {
        return kernel_->Intersect(pinId, range, format);
    }

private:
    bool Request(REFGUID set, DWORD id, ULONG flags, LPVOID instance, DWORD instanceBytes, Bytes* request) {
        if (instance == nullptr && instanceBytes != 0) return false;
        request->assign(sizeof(KSPROPERTY) + instanceBytes, 0);
        KSPROPERTY header{};
        header.Set = set;
        header.Id = id;
        header.Flags = flags;
        std::memcpy(request->data(), &header, sizeof header);
        if (instanceBytes != 0) std::memcpy(request->data() + sizeof header, instance, instanceBytes);
        return true;
    }

    HRESULT Control(ULONG code, LPVOID in, ULONG inBytes, LPVOID out, ULONG outBytes, ULONG* returned) {
        if (in == nullptr || (out == nullptr && outBytes != 0)) return E_POINTER;
        // Callers pass one structure as both request and data; the request
        // goes as a copy so the answer written into the data cannot change
        // it while the driver still reads it.
        Bytes request(static_cast<const uint8_t*>(in), static_cast<const uint8_t*>(in) + inBytes);
        DWORD got = 0;
        BOOL ok = DeviceIoControl(kernel_->Handle(), code, request.data(), inBytes, out, outBytes, &got, nullptr);
        if (returned != nullptr) *returned = got;
        if (ok) return S_OK;
        DWORD error = GetLastError();
        // A size query answers how much it needs, as ERROR_MORE_DATA.
        return HRESULT_FROM_WIN32(error);
    }

    // The kernel pin index behind one of our pins, or -1.
    LONG PinIndex(IPin* pin) const {
        for (auto& p : pins_) {
            if (static_cast<IPin*>(p.get()) == pin) return static_cast<LONG>(p->PinId());
        }
        return -1;
    }

    HRESULT ModeProperty(IPin* pin, ULONG id, ULONG flags, LONG* value) {
        LONG index = PinIndex(pin);
        if (index < 0) return E_INVALIDARG;
        KSPROPERTY_VIDEOCONTROL_MODE_S s{};
        s.StreamIndex = static_cast<ULONG>(index);
        if (flags == KSPROPERTY_TYPE_SET) s.Mode = *value;
        NTSTATUS status = qk::ks::client::StructProperty(kernel_->Handle(), PROPSETID_VIDCAP_VIDEOCONTROL, id, flags,
                                                          &s, sizeof s);
        if (!NT_SUCCESS(status)) return FromStatus(status);
        if (flags == KSPROPERTY_TYPE_GET) *value = s.Mode;
        return S_OK;
    }

    HRESULT RateProperty(IPin* pin, LONG rangeIndex, VIDEO_SIZE size, KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S* s) {
        LONG index = PinIndex(pin);
        if (index < 0) return E_INVALIDARG;
        s->StreamIndex = static_cast<ULONG>(index);
        s->RangeIndex = static_cast<ULONG>(rangeIndex);
        s->Dimensions.cx = size.cx;
        s->Dimensions.cy = size.cy;
        return FromStatus(qk::ks::client::StructProperty(kernel_->Handle(), PROPSETID_VIDCAP_VIDEOCONTROL,
                                                          KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE,
                                                          KSPROPERTY_TYPE_GET, s, sizeof *s));
    }

    // A page for each control set the device answers a range of.
    std::vector<GUID> Pages() const {
        std::vector<GUID> pages;
        auto offers = [&](const GUID& set, ULONG properties) {
            for (ULONG id = 0; id < properties; ++id) {
                if (SUCCEEDED(QueryRange(kernel_->Handle(), set, id).hr)) return true;
            }
            return false;
        };
        if (kernel_ == nullptr) return pages;
        if (offers(PROPSETID_VIDCAP_VIDEOPROCAMP, VideoProcAmp_Gain + 1)) pages.push_back(CLSID_VideoProcAmpPropertyPage);
        if (offers(PROPSETID_VIDCAP_CAMERACONTROL, CameraControl_Focus + 1)) pages.push_back(CLSID_CameraControlPropertyPage);
        return pages;
    }

    std::unique_ptr<qk::ks::client::Filter> kernel_;
    std::vector<std::unique_ptr<KsOutputPin>> pins_;
    ControlPart<IAMVideoProcAmp> procAmp_;
    ControlPart<IAMCameraControl> camera_;
    PagesPart pages_;
    std::atomic<FILTER_STATE> state_{State_Stopped};
    // Removal notices come on the Plug and Play thread; the shared part
    // outlives the filter so a notice racing with the last Release finds it gone.
    struct Removal {
        std::mutex lock;  // guards filter
        KsProxyFilter* filter;
    };
    std::shared_ptr<Removal> removal_;
    int removalCookie_ = 0;
    std::u16string devicePath_;
    std::atomic<bool> lost_{false};
    IReferenceClock* clock_ = nullptr;  // one reference
    IFilterGraph* graph_ = nullptr;     // no reference: the graph holds us
    std::u16string name_;
};

// ---- Definitions that need the filter ------------------------------------------------------
HRESULT KsOutputPin::QueryInterface(REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown || riid == IID_IPin) return Hand(static_cast<IPin*>(this), ppv);
    if (riid == IID_IAMStreamConfig) return Hand(static_cast<IAMStreamConfig*>(this), ppv);
    if (riid == IID_IKsPropertySet) return Hand(static_cast<IKsPropertySet*>(this), ppv);
    if (riid == IID_ISpecifyPropertyPages) return Hand(static_cast<ISpecifyPropertyPages*>(&pages_), ppv);
    return E_NOINTERFACE;
}
ULONG KsOutputPin::AddRef() { return static_cast<IBaseFilter*>(filter_)->AddRef(); }
ULONG KsOutputPin::Release() { return static_cast<IBaseFilter*>(filter_)->Release(); }

HRESULT KsOutputPin::QueryPinInfo(PIN_INFO* pInfo) {
    if (pInfo == nullptr) return E_POINTER;
    std::memset(pInfo, 0, sizeof *pInfo);
    pInfo->pFilter = static_cast<IBaseFilter*>(filter_);
    pInfo->pFilter->AddRef();
    pInfo->dir = PINDIR_OUTPUT;
    size_t n = name_.size() < MAX_PIN_NAME - 1 ? name_.size() : MAX_PIN_NAME - 1;
    std::memcpy(pInfo->achName, name_.data(), n * sizeof(WCHAR));
    return S_OK;
}

HRESULT KsOutputPin::EnumMediaTypes(IEnumMediaTypes** ppEnum) {
    if (ppEnum == nullptr) return E_POINTER;
    std::vector<Bytes> video;
    for (const Bytes* r : VideoRanges()) video.push_back(*r);
    *ppEnum = new MediaTypeList(std::move(video), 0);
    return S_OK;
}

// The driver's intersection turns the chosen range into the exact format
// (image size, bit count), and the caller's frame interval is kept.
// On a connected pin the new format is the connection's at once: the pin
// connects again to the same peer with it, and when the peer refuses it the
// old format and connection stand and the peer's answer is returned.
HRESULT KsOutputPin::SetFormat(AM_MEDIA_TYPE* pmt) {
    if (pmt == nullptr) return E_POINTER;
    IPin* peer = nullptr;
    {
        std::lock_guard guard(connectionLock_);
        peer = peer_;
        if (peer != nullptr) peer->AddRef();
    }
    if (peer == nullptr) return ChooseFormat(pmt);
    AM_MEDIA_TYPE* old = nullptr;
    HRESULT hr = GetFormat(&old);
    if (SUCCEEDED(hr)) hr = ChooseFormat(pmt);
    if (SUCCEEDED(hr)) {
        peer->Disconnect();
        Disconnect();
        hr = Connect(peer, nullptr);
        if (FAILED(hr)) {
            KeepFormat(old);
            old = nullptr;
            Connect(peer, nullptr);
        }
    }
    if (old != nullptr) DeleteMediaType(old);
    peer->Release();
    return hr;
}

void KsOutputPin::KeepFormat(AM_MEDIA_TYPE* type) {
    std::lock_guard guard(lock_);
    if (current_ != nullptr) DeleteMediaType(current_);
    current_ = type;
}

HRESULT KsOutputPin::ChooseFormat(const AM_MEDIA_TYPE* pmt) {
    int index = FindRange(pmt);
    if (index < 0) return VFW_E_INVALIDMEDIATYPE;
    FILTER_STATE state;
    static_cast<IBaseFilter*>(filter_)->GetState(0, &state);
    if (state != State_Stopped) return VFW_E_NOT_STOPPED;
    Bytes format;
    NTSTATUS status = filter_->Intersect(pinId_, *VideoRanges()[index], &format);
    if (!NT_SUCCESS(status)) return FromStatus(status);
    AM_MEDIA_TYPE* chosen = NewType();
    if (chosen == nullptr) return E_OUTOFMEMORY;
    HRESULT hr = TypeOfFormat(format, chosen);
    if (FAILED(hr)) {
        DeleteMediaType(chosen);
        return hr;
    }
    auto* info = reinterpret_cast<VIDEOINFOHEADER*>(chosen->pbFormat);
    REFERENCE_TIME interval = VideoInfoOf(pmt)->AvgTimePerFrame;
    if (interval != 0) info->AvgTimePerFrame = interval;
    KeepFormat(chosen);
    return S_OK;
}

// Before any SetFormat the pin's format is what the driver chooses from its
// first range.
HRESULT KsOutputPin::GetFormat(AM_MEDIA_TYPE** ppmt) {
    if (ppmt == nullptr) return E_POINTER;
    *ppmt = nullptr;
    {
        std::lock_guard guard(lock_);
        if (current_ != nullptr) {
            *ppmt = CreateMediaType(current_);
            return *ppmt != nullptr ? S_OK : E_OUTOFMEMORY;
        }
    }
    auto video = VideoRanges();
    if (video.empty()) return VFW_E_NO_ACCEPTABLE_TYPES;
    Bytes format;
    NTSTATUS status = filter_->Intersect(pinId_, *video[0], &format);
    if (!NT_SUCCESS(status)) return FromStatus(status);
    AM_MEDIA_TYPE* type = NewType();
    if (type == nullptr) return E_OUTOFMEMORY;
    HRESULT hr = TypeOfFormat(format, type);
    if (FAILED(hr)) {
        DeleteMediaType(type);
        return hr;
    }
    *ppmt = type;
    return S_OK;
}

// A kernel link ("\??\USB#...") and a user path ("\\?\usb#...") of one interface.
bool SameInterface(const std::u16string& link, const std::u16string& path) {
    auto tail = [](const std::u16string& p) {
        std::u16string t = p.size() > 4 ? p.substr(4) : p;
        for (auto& c : t) {
            if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
        }
        return t;
    };
    return !link.empty() && tail(link) == tail(path);
}

// ---- Connection and streaming ---------------------------------------------------------------
// The connection's type is the pin's format: the caller's, when it names a
// complete one the driver offers, else the one IAMStreamConfig holds.
HRESULT KsOutputPin::Connect(IPin* pReceivePin, const AM_MEDIA_TYPE* pmt) {
    if (pReceivePin == nullptr) return E_POINTER;
    FILTER_STATE state;
    static_cast<IBaseFilter*>(filter_)->GetState(0, &state);
    if (state != State_Stopped) return VFW_E_NOT_STOPPED;
    {
        std::lock_guard guard(connectionLock_);
        if (peer_ != nullptr) return VFW_E_ALREADY_CONNECTED;
    }
    if (VideoInfoOf(pmt) != nullptr) {
        HRESULT hr = ChooseFormat(pmt);
        if (FAILED(hr)) return hr == VFW_E_INVALIDMEDIATYPE ? VFW_E_NO_ACCEPTABLE_TYPES : hr;
    }
    AM_MEDIA_TYPE* type = nullptr;
    HRESULT hr = GetFormat(&type);
    if (FAILED(hr)) return hr;
    // A partial type still has to agree with what the pin gives.
    if (pmt != nullptr && ((pmt->majortype != GUID_NULL && pmt->majortype != type->majortype) ||
                           (pmt->subtype != GUID_NULL && pmt->subtype != type->subtype))) {
        DeleteMediaType(type);
        return VFW_E_NO_ACCEPTABLE_TYPES;
    }
    hr = pReceivePin->ReceiveConnection(this, type);
    if (FAILED(hr)) {
        DeleteMediaType(type);
        return hr;
    }
    IMemInputPin* input = nullptr;
    IMemAllocator* allocator = nullptr;
    hr = pReceivePin->QueryInterface(IID_IMemInputPin, reinterpret_cast<void**>(&input));
    if (SUCCEEDED(hr) && FAILED(input->GetAllocator(&allocator))) {
        allocator = nullptr;
        hr = CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_IMemAllocator,
                              reinterpret_cast<void**>(&allocator));
    }
    ALLOCATOR_PROPERTIES actual{};
    if (SUCCEEDED(hr)) {
        // Enough buffers that the driver always has reads queued while the
        // renderer holds one.
        ALLOCATOR_PROPERTIES wanted{4, static_cast<LONG>(type->lSampleSize), 8, 0};
        ALLOCATOR_PROPERTIES asked{};
        if (SUCCEEDED(input->GetAllocatorRequirements(&asked))) {
            if (asked.cBuffers > wanted.cBuffers) wanted.cBuffers = asked.cBuffers;
            if (asked.cbAlign > wanted.cbAlign) wanted.cbAlign = asked.cbAlign;
            wanted.cbPrefix = asked.cbPrefix;
        }
        hr = allocator->SetProperties(&wanted, &actual);
        if (SUCCEEDED(hr) && (actual.cbBuffer < wanted.cbBuffer || actual.cBuffers <= 0)) hr = VFW_E_SIZENOTSET;
        if (SUCCEEDED(hr)) hr = input->NotifyAllocator(allocator, FALSE);
    }
    if (FAILED(hr)) {
        if (allocator != nullptr) allocator->Release();
        if (input != nullptr) input->Release();
        pReceivePin->Disconnect();
        DeleteMediaType(type);
        return hr;
    }
    std::lock_guard guard(connectionLock_);
    peer_ = pReceivePin;
    peer_->AddRef();
    input_ = input;
    allocator_ = allocator;
    buffers_ = actual.cBuffers;
    connection_ = *type;  // takes over the format block
    CoTaskMemFree(type);
    return S_OK;
}

HRESULT KsOutputPin::Disconnect() {
    if (kernelPin_ != nullptr) return VFW_E_NOT_STOPPED;
    std::lock_guard guard(connectionLock_);
    if (peer_ == nullptr) return S_FALSE;
    peer_->Release();
    input_->Release();
    allocator_->Release();
    peer_ = nullptr;
    input_ = nullptr;
    allocator_ = nullptr;
    FreeMediaType(connection_);
    std::memset(&connection_, 0, sizeof connection_);
    return S_OK;
}

HRESULT KsOutputPin::Active() {
    if (peer_ == nullptr || kernelPin_ != nullptr) return S_OK;  // an unconnected pin does nothing
    const VIDEOINFOHEADER* info = VideoInfoOf(&connection_);
    if (info == nullptr) return VFW_E_INVALIDMEDIATYPE;
    Bytes format(sizeof(KS_DATAFORMAT_VIDEOINFOHEADER), 0);
    auto* f = reinterpret_cast<KS_DATAFORMAT_VIDEOINFOHEADER*>(format.data());
    f->DataFormat.FormatSize = static_cast<ULONG>(format.size());
    f->DataFormat.SampleSize = connection_.lSampleSize;
    f->DataFormat.MajorFormat = connection_.majortype;
    f->DataFormat.SubFormat = connection_.subtype;
    f->DataFormat.Specifier = KSDATAFORMAT_SPECIFIER_VIDEOINFO;
    f->VideoInfoHeader = *info;
    NTSTATUS status = filter_->Kernel()->CreatePin(pinId_, format, &kernelPin_);
    if (!NT_SUCCESS(status)) return FromStatus(status);
    clock_ = qk::ks::CreateClock();
    if (clock_ != nullptr) kernelPin_->SetClock(clock_);
    HRESULT hr = allocator_->Commit();
    if (SUCCEEDED(hr)) hr = FromStatus(kernelPin_->SetState(KSSTATE_PAUSE));
    if (FAILED(hr)) Inactive();
    return hr;
}

HRESULT KsOutputPin::Start() {
    if (kernelPin_ == nullptr) return S_OK;
    HRESULT hr = FromStatus(kernelPin_->SetState(KSSTATE_RUN));
    if (FAILED(hr)) return hr;
    if (!streamer_.joinable()) {
        {
            std::lock_guard guard(streamLock_);
            stopping_ = false;
        }
        delivered_ = 0;
        streamer_ = std::thread([this] { Stream(); });
    }
    return S_OK;
}

HRESULT KsOutputPin::Pause() {
    if (kernelPin_ == nullptr) return S_OK;
    return FromStatus(kernelPin_->SetState(KSSTATE_PAUSE));
}

// Stopping the kernel pin cancels the queued reads; their samples come back
// through the streaming thread, which ends once none is outstanding.
void KsOutputPin::Inactive() {
    if (kernelPin_ == nullptr) return;
    {
        std::lock_guard guard(streamLock_);
        stopping_ = true;
    }
    allocator_->Decommit();  // a streaming thread waiting for a buffer gives up
    kernelPin_->SetState(KSSTATE_STOP);
    kernelPin_->WaitIdle();
    WakeStreamer();
    if (streamer_.joinable()) streamer_.join();
    // Reads that completed with no thread to take them (a pin paused, never run).
    std::deque<Completed> left;
    {
        std::lock_guard guard(streamLock_);
        left.swap(completed_);
    }
    for (auto& c : left) c.sample->Release();
    kernelPin_.reset();
    if (clock_ != nullptr) ZwClose(clock_);
    clock_ = nullptr;
}

void KsOutputPin::Report(LONG code, LONG_PTR p1) {
    IFilterGraph* graph = filter_->Graph();
    IMediaEventSink* sink = nullptr;
    if (graph != nullptr && SUCCEEDED(graph->QueryInterface(IID_IMediaEventSink, reinterpret_cast<void**>(&sink)))) {
        sink->Notify(code, p1, 0);
        sink->Release();
    }
}

bool DeviceGone(NTSTATUS status) {
    return status == STATUS_DEVICE_NOT_CONNECTED || status == STATUS_DEVICE_REMOVED || status == STATUS_NO_SUCH_DEVICE ||
           status == STATUS_DELETE_PENDING;
}

// Keeps up to the allocator's buffers queued as reads, delivers each
// completed one downstream and queues its buffer again. A read the device
// cannot answer any more ends the stream with EC_DEVICE_LOST, a refused
// delivery with EC_ERRORABORT; the graph's owner stops the graph.
std::atomic<int64_t> g_streamingNs{0};

// Charges the streaming thread's processor time every 64 samples and when it
// ends (a stop joins the thread, so a stopped stream is charged in full): a
// thread's processor time is a system call to read, which a clock read a
// frame would add to the very cost it measures.
struct StreamingCharge {
    static constexpr int kSamplesPerTick = 64;
    int64_t last = qk::nt::CurrentThreadProcessorNs();
    int samples = 0;
    void Sample() {
        if (++samples % kSamplesPerTick == 0) Tick();
    }
    void Tick() {
        int64_t now = qk::nt::CurrentThreadProcessorNs();
        g_streamingNs += now - last;
        last = now;
    }
    ~StreamingCharge() { Tick(); }
};

void KsOutputPin::Stream() {
    pthread_setname_np(pthread_self(), "qk-stream");  // tells the thread apart in a profile
    StreamingCharge charge;
    const std::shared_ptr<qk::nt::Parker>& parker = qk::nt::Parker::OfCurrentThread();
    {
        std::lock_guard guard(streamLock_);
        streamerParker_ = parker;
    }
    const ULONG headerBytes = sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO);
    const REFERENCE_TIME interval = VideoInfoOf(&connection_)->AvgTimePerFrame;
    bool ended = false;
    while (true) {
        // Queue reads while buffers are free, never more than the allocator
        // has: a further GetBuffer would wait for a buffer only this thread
        // gives back.
        while (!ended) {
            {
                std::lock_guard guard(streamLock_);
                if (stopping_ || lost_ || outstanding_ >= buffers_) break;
                ++outstanding_;
            }
            IMediaSample* sample = nullptr;
            if (allocator_->GetBuffer(&sample, nullptr, nullptr, 0) != S_OK) {
                std::lock_guard guard(streamLock_);
                --outstanding_;
                break;
            }
            BYTE* data = nullptr;
            sample->GetPointer(&data);
            NTSTATUS queued = kernelPin_->QueueRead(
                data, static_cast<ULONG>(sample->GetSize()), headerBytes,
                [this, sample](const qk::ks::client::Pin::Sample& done) {
                    ULONG used = 0;
                    if (done.header.size() >= sizeof(KSSTREAM_HEADER)) used = done.Header().DataUsed;
                    std::shared_ptr<qk::nt::Parker> wake;
                    {
                        std::lock_guard guard(streamLock_);
                        completed_.push_back({sample, done.status, used});
                        wake = streamerParker_;
                    }
                    if (wake) wake->Unpark();
                });
            (void)queued;  // a read refused at once still completes through the callback
        }
        Completed c;
        bool stopping;
        {
            std::unique_lock guard(streamLock_);
            while (completed_.empty() && !(stopping_ && outstanding_ == 0)) {
                guard.unlock();
                parker->Park();
                guard.lock();
            }
            if (completed_.empty()) {  // stopping, nothing outstanding
                streamerParker_.reset();
                return;
            }
            c = completed_.front();
            completed_.pop_front();
            --outstanding_;
            stopping = stopping_ || lost_;
        }

        if (c.status == STATUS_SUCCESS && !ended && !stopping) {
            ULONG used = c.dataUsed <= static_cast<ULONG>(c.sample->GetSize()) ? c.dataUsed : 0;
            c.sample->SetActualDataLength(static_cast<LONG>(used));
            REFERENCE_TIME start = delivered_ * interval, end = start + interval;
            c.sample->SetTime(&start, &end);
            c.sample->SetSyncPoint(TRUE);
            c.sample->SetDiscontinuity(delivered_ == 0);
            ++delivered_;
            HRESULT hr = input_->Receive(c.sample);
            if (hr != S_OK) {
                ended = true;
                if (FAILED(hr) && hr != VFW_E_WRONG_STATE) Report(EC_ERRORABORT, hr);
            }
        } else if (!NT_SUCCESS(c.status) && c.status != STATUS_CANCELLED && !ended && !stopping) {
            ended = true;
            if (DeviceGone(c.status)) {
                filter_->DeviceRemoved();
            } else {
                Report(EC_ERRORABORT, FromStatus(c.status));
            }
        }
        c.sample->Release();
        charge.Sample();
    }
}

std::u16string PinName(HANDLE handle, ULONG pinId) {
    KSP_PIN request{};
    request.Property.Set = KSPROPSETID_Pin;
    request.Property.Id = KSPROPERTY_PIN_NAME;
    request.Property.Flags = KSPROPERTY_TYPE_GET;
    request.PinId = pinId;
    WCHAR name[MAX_PIN_NAME] = {};
    ULONG got = 0;
    NTSTATUS status = qk::ks::client::Property(handle, &request, sizeof request, name, sizeof(name) - sizeof(WCHAR), &got);
    if (NT_SUCCESS(status) && name[0] != 0) return name;
    return u"Pin" + std::u16string(1, static_cast<char16_t>(u'0' + pinId % 10));
}

GUID PinCategory(HANDLE handle, ULONG pinId) {
    KSP_PIN request{};
    request.Property.Set = KSPROPSETID_Pin;
    request.Property.Id = KSPROPERTY_PIN_CATEGORY;
    request.Property.Flags = KSPROPERTY_TYPE_GET;
    request.PinId = pinId;
    GUID category = GUID_NULL;
    if (!NT_SUCCESS(qk::ks::client::Property(handle, &request, sizeof request, &category, sizeof category, nullptr))) {
        return GUID_NULL;
    }
    return category;
}

HRESULT KsProxyFilter::Load(IPropertyBag* bag, IErrorLog* log) {
    if (bag == nullptr) return E_POINTER;
    if (kernel_ != nullptr) return E_UNEXPECTED;  // one device per filter
    VARIANT path;
    VariantInit(&path);
    HRESULT hr = bag->Read(u"DevicePath", &path, log);
    if (FAILED(hr)) return hr;
    if (path.vt != VT_BSTR || path.bstrVal == nullptr) {
        VariantClear(&path);
        return E_INVALIDARG;
    }
    std::u16string devicePath(path.bstrVal, SysStringLen(path.bstrVal));
    VariantClear(&path);
    NTSTATUS status = qk::ks::client::Filter::Open(devicePath, &kernel_);
    if (!NT_SUCCESS(status)) return FromStatus(status);
    HANDLE handle = kernel_->Handle();
    ULONG count = 0;
    status = kernel_->PinCount(&count);
    if (!NT_SUCCESS(status)) {
        kernel_.reset();
        return FromStatus(status);
    }
    for (ULONG id = 0; id < count; ++id) {
        KSPIN_DATAFLOW flow;
        if (!NT_SUCCESS(kernel_->DataFlow(id, &flow)) || flow != KSPIN_DATAFLOW_OUT) continue;
        std::vector<Bytes> ranges;
        if (!NT_SUCCESS(kernel_->DataRanges(id, &ranges))) continue;
        pins_.push_back(std::make_unique<KsOutputPin>(this, id, PinName(handle, id), PinCategory(handle, id),
                                                      std::move(ranges)));
    }
    procAmp_.SetHandle(handle);
    camera_.SetHandle(handle);
    devicePath_ = devicePath;
    removal_ = std::make_shared<Removal>();
    removal_->filter = this;
    std::weak_ptr<Removal> weak = removal_;
    removalCookie_ = qk::nt::pnp::Subscribe([weak](const qk::nt::pnp::Event& event) {
        if (event.kind != qk::nt::pnp::EventKind::InterfaceRemoval) return;
        auto removal = weak.lock();
        if (removal == nullptr) return;
        std::lock_guard guard(removal->lock);
        if (removal->filter != nullptr && SameInterface(event.symbolicLink, removal->filter->devicePath_)) {
            removal->filter->DeviceRemoved();
        }
    });
    VARIANT friendly;
    VariantInit(&friendly);
    if (SUCCEEDED(bag->Read(u"FriendlyName", &friendly, log)) && friendly.vt == VT_BSTR) {
        name_.assign(friendly.bstrVal, SysStringLen(friendly.bstrVal));
    }
    VariantClear(&friendly);
    return S_OK;
}

void KsProxyFilter::DeviceRemoved() {
    if (lost_.exchange(true)) return;
    for (auto& p : pins_) p->Lose();
    IFilterGraph* graph = graph_;
    IMediaEventSink* sink = nullptr;
    if (graph != nullptr && SUCCEEDED(graph->QueryInterface(IID_IMediaEventSink, reinterpret_cast<void**>(&sink)))) {
        sink->Notify(EC_DEVICE_LOST, reinterpret_cast<LONG_PTR>(static_cast<IBaseFilter*>(this)), 0);
        sink->Release();
    }
}

// The list is a KSMULTIPLE_ITEM followed by the intervals; its size is asked first.
HRESULT KsProxyFilter::GetFrameRateList(IPin* pPin, LONG iIndex, VIDEO_SIZE Dimensions, LONG* ListSize,
                                        LONGLONG** FrameRates) {
    if (ListSize == nullptr) return E_POINTER;
    LONG index = PinIndex(pPin);
    if (index < 0) return E_INVALIDARG;
    KSPROPERTY_VIDEOCONTROL_FRAME_RATES_S request{};
    request.Property.Set = PROPSETID_VIDCAP_VIDEOCONTROL;
    request.Property.Id = KSPROPERTY_VIDEOCONTROL_FRAME_RATES;
    request.Property.Flags = KSPROPERTY_TYPE_GET;
    request.StreamIndex = static_cast<ULONG>(index);
    request.RangeIndex = static_cast<ULONG>(iIndex);
    request.Dimensions.cx = Dimensions.cx;
    request.Dimensions.cy = Dimensions.cy;
    ULONG size = 0;
    NTSTATUS status = qk::ks::client::Property(kernel_->Handle(), &request, sizeof request, nullptr, 0, &size);
    if (status != STATUS_BUFFER_OVERFLOW && !NT_SUCCESS(status)) return FromStatus(status);
    if (size < sizeof(KSMULTIPLE_ITEM)) return E_UNEXPECTED;
    Bytes answer(size);
    status = qk::ks::client::Property(kernel_->Handle(), &request, sizeof request, answer.data(), size, &size);
    if (!NT_SUCCESS(status)) return FromStatus(status);
    KSMULTIPLE_ITEM header;
    std::memcpy(&header, answer.data(), sizeof header);
    size_t available = (answer.size() - sizeof header) / sizeof(LONGLONG);
    size_t n = header.Count < available ? header.Count : available;
    *ListSize = static_cast<LONG>(n);
    if (FrameRates == nullptr) return S_OK;
    // The caller frees the list with CoTaskMemFree.
    *FrameRates = static_cast<LONGLONG*>(CoTaskMemAlloc(n == 0 ? 1 : n * sizeof(LONGLONG)));
    if (*FrameRates == nullptr) return E_OUTOFMEMORY;
    std::memcpy(*FrameRates, answer.data() + sizeof header, n * sizeof(LONGLONG));
    return S_OK;
}

}  // namespace

qk::com::ObjectCount& ProxyObjects() {
    static qk::com::ObjectCount count;
    return count;
}

int64_t StreamingProcessorNs() { return g_streamingNs.load(); }

HRESULT FromStatus(NTSTATUS status) {
    if (NT_SUCCESS(status)) return S_OK;
    return HRESULT_FROM_WIN32(RtlNtStatusToDosError(status));
}

HRESULT CreateKsProxy(REFIID riid, void** ppv) {
    auto* object = new KsProxyFilter;
    HRESULT hr = object->QueryInterface(riid, ppv);
    static_cast<IBaseFilter*>(object)->Release();
    return hr;
}

}  // namespace qk::dshow
