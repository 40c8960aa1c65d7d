// The capture bridge: the private DirectShow graph (camera's capture filter
// -> "VFW Sample Grabber" -> "VFW Null Render Filter") that the driver
// runs, how the camera is found, and the format kept under "VFWConfig".
#include <cstring>
#include <string>
#include <vector>

#include "common/registry_paths.h"
#include "common/usb_ids.h"
#include "setupapi.h"
#include "vfw/k0340vfw.h"

namespace k0340vfw {
namespace {

const GUID kImageClass = {0x6BDD1FC6, 0x810F, 0x11D0, {0xBE, 0xC7, 0x08, 0x00, 0x2B, 0xE2, 0x09, 0x2F}};
constexpr char16_t kConfigKey[] = u"SOFTWARE\\Lumora Tech\\Web Cameras\\QK0340\\VFWConfig";

template <class T>
void ReleaseOf(T*& p) {
    if (p != nullptr) p->Release();
    p = nullptr;
}

// "USB\VID_FA57&PID_0340&MI_00": the camera's video function.
std::string CameraHardwareId() {
    char id[40];
    std::snprintf(id, sizeof id, "USB\\VID_%04X&PID_%04X&MI_%02X", qk::ids::kCameraVendorId, qk::ids::kCameraProductId,
                  qk::ids::kVideoControlInterface);
    return id;
}

bool SameIgnoringCase(const char* a, const char* b, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
        if (x != y) return false;
    }
    return true;
}

// The description of the first present image-class device whose hardware
// IDs name the camera; empty when there is none.
std::u16string CameraDescription() {
    HDEVINFO set = SetupDiGetClassDevsW(&kImageClass, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) return {};
    const std::string wanted = CameraHardwareId();
    std::u16string description;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD i = 0; description.empty() && SetupDiEnumDeviceInfo(set, i, &device); ++i) {
        char ids[260] = {};
        DWORD type = 0;
        if (!SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID, &type, reinterpret_cast<PBYTE>(ids),
                                               sizeof ids - 2, nullptr)) {
            continue;
        }
        bool match = false;
        // Each ID up to a comma is compared, and the list ends at an empty one.
        for (const char* id = ids; *id != 0 && id < ids + sizeof ids; id += std::strlen(id) + 1) {
            size_t length = std::strcspn(id, ",");
            if (length == wanted.size() && SameIgnoringCase(id, wanted.c_str(), length)) match = true;
        }
        if (!match) continue;
        char text[260] = {};
        if (SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_DEVICEDESC, &type, reinterpret_cast<PBYTE>(text),
                                              sizeof text - 1, nullptr)) {
            // ANSI (Latin-1 on this machine) to UTF-16.
            for (const char* c = text; *c != 0; ++c) description.push_back(static_cast<unsigned char>(*c));
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return description;
}

bool BeginsWithIgnoringCase(const std::u16string& text, const std::u16string& prefix) {
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        char16_t x = text[i], y = prefix[i];
        if (x >= u'a' && x <= u'z') x = static_cast<char16_t>(x - u'a' + u'A');
        if (y >= u'a' && y <= u'z') y = static_cast<char16_t>(y - u'a' + u'A');
        if (x != y) return false;
    }
    return true;
}

IPin* FirstPin(IBaseFilter* filter, PIN_DIRECTION wanted) {
    IEnumPins* pins = nullptr;
    if (FAILED(filter->EnumPins(&pins))) return nullptr;
    IPin* pin = nullptr;
    IPin* found = nullptr;
    while (found == nullptr && pins->Next(1, &pin, nullptr) == S_OK) {
        PIN_DIRECTION direction;
        if (SUCCEEDED(pin->QueryDirection(&direction)) && direction == wanted) {
            found = pin;
        } else {
            pin->Release();
        }
    }
    pins->Release();
    return found;
}

}  // namespace

HRESULT CreateGraphObjects(Bridge* b) {
    HRESULT hr = CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                  reinterpret_cast<void**>(&b->graph));
    if (SUCCEEDED(hr)) {
        hr = CoCreateInstance(CLSID_CaptureGraphBuilder2, nullptr, CLSCTX_INPROC_SERVER, IID_ICaptureGraphBuilder2,
                              reinterpret_cast<void**>(&b->builder));
    }
    if (SUCCEEDED(hr)) hr = b->graph->QueryInterface(IID_IMediaControl, reinterpret_cast<void**>(&b->control));
    if (SUCCEEDED(hr)) hr = b->builder->SetFiltergraph(b->graph);
    if (SUCCEEDED(hr)) hr = CreateSampleGrabber(IID_ISampleGrabberControl, reinterpret_cast<void**>(&b->grabber));
    if (SUCCEEDED(hr)) hr = CreateNullRenderer(IID_IBaseFilter, reinterpret_cast<void**>(&b->nullRenderer));
    if (SUCCEEDED(hr)) hr = b->graph->AddFilter(b->nullRenderer, nullptr);
    if (SUCCEEDED(hr)) hr = b->grabber->QueryInterface(IID_IBaseFilter, reinterpret_cast<void**>(&b->grabberFilter));
    if (FAILED(hr)) ReleaseAll(b);
    return hr;
}

HRESULT FindCamera(Bridge* b) {
    std::u16string description = CameraDescription();
    if (description.empty()) return S_FALSE;
    ICreateDevEnum* devices = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum,
                                  reinterpret_cast<void**>(&devices));
    if (FAILED(hr)) return hr;
    IEnumMoniker* list = nullptr;
    hr = devices->CreateClassEnumerator(CLSID_VideoInputDeviceCategory, &list, 0);
    devices->Release();
    if (hr != S_OK) return S_FALSE;
    IMoniker* moniker = nullptr;
    hr = S_FALSE;
    while (hr == S_FALSE && list->Next(1, &moniker, nullptr) == S_OK) {
        IPropertyBag* bag = nullptr;
        if (SUCCEEDED(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag, reinterpret_cast<void**>(&bag)))) {
            VARIANT name;
            VariantInit(&name);
            if (SUCCEEDED(bag->Read(u"FriendlyName", &name, nullptr)) && name.vt == VT_BSTR &&
                BeginsWithIgnoringCase(std::u16string(name.bstrVal, SysStringLen(name.bstrVal)), description)) {
                hr = moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter, reinterpret_cast<void**>(&b->capture));
                if (FAILED(hr)) hr = S_FALSE;
                if (hr == S_OK) b->cameraName.assign(name.bstrVal, SysStringLen(name.bstrVal));
            }
            VariantClear(&name);
            bag->Release();
        }
        moniker->Release();
    }
    list->Release();
    return hr;
}

HRESULT PrepareCapturePin(Bridge* b) {
    HRESULT hr = b->builder->FindInterface(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Interleaved, b->capture,
                                           IID_IAMStreamConfig, reinterpret_cast<void**>(&b->config));
    if (FAILED(hr)) {
        hr = b->builder->FindInterface(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Video, b->capture, IID_IAMStreamConfig,
                                       reinterpret_cast<void**>(&b->config));
    }
    if (SUCCEEDED(hr)) hr = b->graph->AddFilter(b->grabberFilter, nullptr);
    if (SUCCEEDED(hr)) hr = b->graph->AddFilter(b->capture, u"CapSrc");
    return hr;
}

IAMStreamConfig* VideoOnlyStreamConfig(Bridge* b) {
    IAMStreamConfig* config = nullptr;
    if (SUCCEEDED(b->builder->FindInterface(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Interleaved, b->capture, IID_IAMStreamConfig,
                                            reinterpret_cast<void**>(&config)))) {
        config->Release();
        return nullptr;
    }
    config = nullptr;
    if (FAILED(b->builder->FindInterface(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Video, b->capture, IID_IAMStreamConfig,
                                         reinterpret_cast<void**>(&config)))) {
        return nullptr;
    }
    return config;
}

HRESULT ReadPinFormat(Bridge* b, AM_MEDIA_TYPE* type, VIDEOINFOHEADER* info) {
    AM_MEDIA_TYPE* current = nullptr;
    HRESULT hr = b->config->GetFormat(&current);
    if (FAILED(hr)) return hr;
    if (current->formattype != FORMAT_VideoInfo || current->cbFormat < sizeof(VIDEOINFOHEADER) ||
        current->pbFormat == nullptr) {
        DeleteMediaType(current);
        return VFW_E_INVALIDMEDIATYPE;
    }
    std::memcpy(info, current->pbFormat, sizeof *info);
    *type = *current;
    type->pbFormat = nullptr;  // the driver's copy points at its own header when applied
    type->cbFormat = sizeof(VIDEOINFOHEADER);
    type->pUnk = nullptr;
    DeleteMediaType(current);
    return S_OK;
}

bool LoadFormat(Bridge* b, AM_MEDIA_TYPE* type, VIDEOINFOHEADER* info) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kConfigKey, 0, KEY_READ, &key) == ERROR_SUCCESS) {
        VIDEOINFOHEADER savedInfo{};
        AM_MEDIA_TYPE savedType{};
        DWORD infoBytes = sizeof savedInfo, typeBytes = sizeof savedType, kind = 0;
        bool read = RegQueryValueExW(key, u"VideoInfo", nullptr, &kind, reinterpret_cast<LPBYTE>(&savedInfo),
                                     &infoBytes) == ERROR_SUCCESS &&
                    kind == REG_BINARY && infoBytes == sizeof savedInfo &&
                    RegQueryValueExW(key, u"MediaTypeInfo", nullptr, &kind, reinterpret_cast<LPBYTE>(&savedType),
                                     &typeBytes) == ERROR_SUCCESS &&
                    kind == REG_BINARY && typeBytes == sizeof savedType;
        RegCloseKey(key);
        // What was saved is used only when it still makes sense.
        if (read && savedInfo.bmiHeader.biSize == sizeof(BITMAPINFOHEADER)) {
            *info = savedInfo;
            *type = savedType;
            type->pUnk = nullptr;
            type->pbFormat = nullptr;
            type->cbFormat = sizeof(VIDEOINFOHEADER);
            return true;
        }
    }
    return SUCCEEDED(ReadPinFormat(b, type, info));
}

HRESULT ApplyFormat(Bridge* b, AM_MEDIA_TYPE* type, VIDEOINFOHEADER* info) {
    AM_MEDIA_TYPE applied = *type;
    applied.formattype = FORMAT_VideoInfo;
    applied.cbFormat = sizeof(VIDEOINFOHEADER);
    applied.pbFormat = reinterpret_cast<BYTE*>(info);
    applied.pUnk = nullptr;
    return b->config->SetFormat(&applied);
}

HRESULT Connect(Bridge* b, SampleCallback callback) {
    b->grabber->SetSampleCallback(callback);
    IPin* captureOut = FirstPin(b->capture, PINDIR_OUTPUT);
    IPin* grabberIn = FirstPin(b->grabberFilter, PINDIR_INPUT);
    IPin* grabberOut = FirstPin(b->grabberFilter, PINDIR_OUTPUT);
    IPin* rendererIn = FirstPin(b->nullRenderer, PINDIR_INPUT);
    HRESULT hr = captureOut && grabberIn && grabberOut && rendererIn ? S_OK : VFW_E_NOT_FOUND;
    if (SUCCEEDED(hr)) hr = b->graph->Connect(captureOut, grabberIn);
    if (SUCCEEDED(hr)) hr = b->graph->Connect(grabberOut, rendererIn);
    for (IPin* p : {captureOut, grabberIn, grabberOut, rendererIn}) {
        if (p != nullptr) p->Release();
    }
    return hr;
}

HRESULT Run(Bridge* b) {
    HRESULT hr = b->control->Run();
    if (FAILED(hr)) b->control->Stop();
    return hr;
}

HRESULT Stop(Bridge* b) { return b->control != nullptr ? b->control->Stop() : S_OK; }

namespace {
void TearDownBehind(IFilterGraph* graph, IBaseFilter* filter, bool keep) {
    IEnumPins* pins = nullptr;
    if (FAILED(filter->EnumPins(&pins))) return;
    IPin* pin = nullptr;
    while (pins->Next(1, &pin, nullptr) == S_OK) {
        IPin* peer = nullptr;
        PIN_DIRECTION direction;
        pin->QueryDirection(&direction);
        if (direction == PINDIR_OUTPUT && SUCCEEDED(pin->ConnectedTo(&peer)) && peer != nullptr) {
            PIN_INFO info{};
            if (SUCCEEDED(peer->QueryPinInfo(&info)) && info.pFilter != nullptr) {
                TearDownBehind(graph, info.pFilter, keep);
                graph->Disconnect(peer);
                graph->Disconnect(pin);
                if (!keep) graph->RemoveFilter(info.pFilter);
                info.pFilter->Release();
            }
            peer->Release();
        }
        pin->Release();
    }
    pins->Release();
}
}  // namespace

void TearDownBehindCapture(Bridge* b, bool keep) {
    if (b->graph != nullptr && b->capture != nullptr) TearDownBehind(b->graph, b->capture, keep);
}

void SaveFormat(const AM_MEDIA_TYPE& type, const VIDEOINFOHEADER& info) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kConfigKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
        ERROR_SUCCESS) {
        return;
    }
    // The pointer fields are meaningless in another process; they are written
    // as zero and replaced when loaded.
    AM_MEDIA_TYPE stored = type;
    stored.pUnk = nullptr;
    stored.pbFormat = nullptr;
    RegSetValueExW(key, u"VideoInfo", 0, REG_BINARY, reinterpret_cast<const BYTE*>(&info), sizeof info);
    RegSetValueExW(key, u"MediaTypeInfo", 0, REG_BINARY, reinterpret_cast<const BYTE*>(&stored), sizeof stored);
    RegCloseKey(key);
}

void ReleaseAll(Bridge* b) {
    b->cameraName.clear();
    ReleaseOf(b->config);
    ReleaseOf(b->capture);
    ReleaseOf(b->grabber);
    ReleaseOf(b->grabberFilter);
    ReleaseOf(b->nullRenderer);
    ReleaseOf(b->control);
    ReleaseOf(b->builder);
    ReleaseOf(b->graph);
}

GUID SubtypeOf(const BITMAPINFOHEADER& header) {
    if (header.biCompression == KS_BI_RGB) return MEDIASUBTYPE_RGB24;
    // FOURCC subtypes: the code in the first field of the media-subtype base.
    GUID subtype = MEDIASUBTYPE_YUY2;
    subtype.Data1 = header.biCompression;
    return subtype;
}

}  // namespace k0340vfw
