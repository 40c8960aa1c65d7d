// The system device enumerator: the video input category is built from the
// kernel-streaming device interfaces of the video category that are also
// capture interfaces, found through SetupAPI as the platform does. Each
// device is a moniker whose property bag holds "FriendlyName", "DevicePath"
// and "CLSID" (the proxy), and which binds to the proxy filter on that path.
// Other categories list the filters registered under them (the filter
// mapper's entries): monikers that bind by creating the filter's class.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/dshow/com_object.h"
#include "platform/dshow/dshow_servers.h"
#include "platform/dshow/filter_registry.h"
#include "setupapi.h"
#include "strmif.h"

namespace qk::dshow {
namespace {

// {4315D437-5B8C-11D0-BD3B-00A0C911CE86}
const CLSID kDeviceMonikerClass = {0x4315D437, 0x5B8C, 0x11D0, {0xBD, 0x3B, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86}};

// A camera (a device path, bound through the proxy) or a registered filter
// (no device path, bound by its class).
struct DeviceEntry {
    std::u16string friendlyName;
    std::u16string devicePath;
    CLSID clsid = CLSID_Proxy;
    GUID category{};
    std::u16string instance;
};

std::u16string Lower(std::u16string text) {
    for (auto& c : text) {
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    }
    return text;
}

bool WideProperty(HDEVINFO set, SP_DEVINFO_DATA* device, DWORD property, std::u16string* out) {
    DWORD type = 0, required = 0;
    SetupDiGetDeviceRegistryPropertyW(set, device, property, &type, nullptr, 0, &required);
    if (required < sizeof(WCHAR) || type != REG_SZ) return false;
    std::vector<WCHAR> text(required / sizeof(WCHAR) + 1, 0);
    if (!SetupDiGetDeviceRegistryPropertyW(set, device, property, &type, reinterpret_cast<PBYTE>(text.data()),
                                           required, nullptr)) {
        return false;
    }
    *out = text.data();
    return !out->empty();
}

// The interfaces of one class, by their path without the class part:
// "\\?\usb#...#{class}\global" gives "\\?\usb#...#\global" so that the video
// and capture links of one filter compare equal.
std::u16string WithoutClass(const std::u16string& path) {
    size_t open = path.rfind(u"#{");
    size_t close = path.find(u'}', open == std::u16string::npos ? 0 : open);
    if (open == std::u16string::npos || close == std::u16string::npos) return Lower(path);
    return Lower(path.substr(0, open + 1) + path.substr(close + 1));
}

std::vector<std::u16string> InterfacePaths(const GUID& category) {
    std::vector<std::u16string> paths;
    HDEVINFO set = SetupDiGetClassDevsW(&category, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return paths;
    SP_DEVICE_INTERFACE_DATA iface{};
    iface.cbSize = sizeof(iface);
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &category, i, &iface); ++i) {
        DWORD required = 0;
        SetupDiGetDeviceInterfaceDetailW(set, &iface, nullptr, 0, &required, nullptr);
        if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) continue;
        std::vector<uint64_t> block(required / sizeof(uint64_t) + 1);
        auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(block.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        if (SetupDiGetDeviceInterfaceDetailW(set, &iface, detail, required, nullptr, nullptr)) {
            paths.emplace_back(detail->DevicePath);
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return paths;
}

// The video input devices in the order the interfaces were registered. A
// device's friendly name is its own, else its description: the name a user
// sees for the device is the name applications list.
std::vector<DeviceEntry> VideoInputDevices() {
    std::vector<DeviceEntry> devices;
    auto capture = InterfacePaths(KSCATEGORY_CAPTURE);
    std::vector<std::u16string> captureKeys;
    for (auto& p : capture) captureKeys.push_back(WithoutClass(p));

    HDEVINFO set =
        SetupDiGetClassDevsW(&KSCATEGORY_VIDEO, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return devices;
    SP_DEVICE_INTERFACE_DATA iface{};
    iface.cbSize = sizeof(iface);
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &KSCATEGORY_VIDEO, i, &iface); ++i) {
        DWORD required = 0;
        SetupDiGetDeviceInterfaceDetailW(set, &iface, nullptr, 0, &required, nullptr);
        if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) continue;
        std::vector<uint64_t> block(required / sizeof(uint64_t) + 1);
        auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(block.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof(device);
        if (!SetupDiGetDeviceInterfaceDetailW(set, &iface, detail, required, nullptr, &device)) continue;
        DeviceEntry entry;
        entry.devicePath = detail->DevicePath;
        if (std::find(captureKeys.begin(), captureKeys.end(), WithoutClass(entry.devicePath)) == captureKeys.end()) {
            continue;  // a video interface that does not capture (a renderer, a decoder)
        }
        if (!WideProperty(set, &device, SPDRP_FRIENDLYNAME, &entry.friendlyName) &&
            !WideProperty(set, &device, SPDRP_DEVICEDESC, &entry.friendlyName)) {
            entry.friendlyName = u"Video Capture Device";
        }
        devices.push_back(std::move(entry));
    }
    SetupDiDestroyDeviceInfoList(set);
    return devices;
}

HRESULT StringVariant(const std::u16string& text, VARIANT* out) {
    BSTR value = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    if (value == nullptr) return E_OUTOFMEMORY;
    out->vt = VT_BSTR;
    out->bstrVal = value;
    return S_OK;
}

// A device's values. The bag is read-only: applications learn about devices
// from it but cannot rename them.
class DevicePropertyBag final : public RefCount, public IPropertyBag {
public:
    explicit DevicePropertyBag(DeviceEntry entry) : RefCount(DevEnumObjects()), entry_(std::move(entry)) {}

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (riid == IID_IUnknown || riid == IID_IPropertyBag) return Hand(static_cast<IPropertyBag*>(this), ppv);
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return AddRefImpl(); }
    ULONG Release() override { return ReleaseImpl(); }

    HRESULT Read(LPCOLESTR pszPropName, VARIANT* pVar, IErrorLog* pErrorLog) override {
        if (pszPropName == nullptr || pVar == nullptr) return E_POINTER;
        // The caller asks for a type or leaves it open; only strings are held.
        if (pVar->vt != VT_EMPTY && pVar->vt != VT_BSTR) return DISP_E_TYPEMISMATCH;
        std::u16string name(pszPropName);
        if (name == u"FriendlyName") return StringVariant(entry_.friendlyName, pVar);
        if (name == u"DevicePath" && !entry_.devicePath.empty()) return StringVariant(entry_.devicePath, pVar);
        if (name == u"CLSID") return StringVariant(qk::com::GuidString(entry_.clsid), pVar);
        return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    }
    HRESULT Write(LPCOLESTR, VARIANT*) override { return E_ACCESSDENIED; }

private:
    const DeviceEntry entry_;
};

class DeviceMoniker final : public RefCount, public IMoniker {
public:
    explicit DeviceMoniker(DeviceEntry entry) : RefCount(DevEnumObjects()), entry_(std::move(entry)) {}

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (riid == IID_IUnknown || riid == IID_IPersist || riid == IID_IPersistStream || riid == IID_IMoniker) {
            return Hand(static_cast<IMoniker*>(this), ppv);
        }
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return AddRefImpl(); }
    ULONG Release() override { return ReleaseImpl(); }

    HRESULT GetClassID(CLSID* pClassID) override {
        if (pClassID == nullptr) return E_POINTER;
        *pClassID = kDeviceMonikerClass;
        return S_OK;
    }
    // A device moniker is not persisted by this platform.
    HRESULT IsDirty() override { return S_FALSE; }
    HRESULT Load(IStream*) override { return E_NOTIMPL; }
    HRESULT Save(IStream*, BOOL) override { return E_NOTIMPL; }
    HRESULT GetSizeMax(ULARGE_INTEGER*) override { return E_NOTIMPL; }

    HRESULT BindToObject(IBindCtx*, IMoniker* pmkToLeft, REFIID riidResult, void** ppvResult) override {
        if (ppvResult == nullptr) return E_POINTER;
        *ppvResult = nullptr;
        if (pmkToLeft != nullptr) return E_INVALIDARG;
        if (entry_.devicePath.empty()) {
            return CoCreateInstance(entry_.clsid, nullptr, CLSCTX_INPROC_SERVER, riidResult, ppvResult);
        }
        IPersistPropertyBag* persist = nullptr;
        HRESULT hr = CoCreateInstance(CLSID_Proxy, nullptr, CLSCTX_INPROC_SERVER, IID_IPersistPropertyBag,
                                      reinterpret_cast<void**>(&persist));
        if (FAILED(hr)) return hr;
        auto* bag = new DevicePropertyBag(entry_);
        hr = persist->Load(bag, nullptr);
        bag->Release();
        if (SUCCEEDED(hr)) hr = persist->QueryInterface(riidResult, ppvResult);
        persist->Release();
        return hr;
    }
    HRESULT BindToStorage(IBindCtx*, IMoniker* pmkToLeft, REFIID riid, void** ppvObj) override {
        if (ppvObj == nullptr) return E_POINTER;
        *ppvObj = nullptr;
        if (pmkToLeft != nullptr) return E_INVALIDARG;
        if (riid != IID_IPropertyBag) return E_NOINTERFACE;
        *ppvObj = static_cast<IPropertyBag*>(new DevicePropertyBag(entry_));
        return S_OK;
    }
    HRESULT Reduce(IBindCtx*, DWORD, IMoniker**, IMoniker** ppmkReduced) override {
        if (ppmkReduced == nullptr) return E_POINTER;
        return Hand(static_cast<IMoniker*>(this), reinterpret_cast<void**>(ppmkReduced)) == S_OK ? MK_S_REDUCED_TO_SELF
                                                                                                  : E_FAIL;
    }
    HRESULT ComposeWith(IMoniker*, BOOL, IMoniker**) override { return E_NOTIMPL; }
    HRESULT Enum(BOOL, IEnumMoniker** ppenumMoniker) override {
        if (ppenumMoniker == nullptr) return E_POINTER;
        *ppenumMoniker = nullptr;  // no sub-monikers
        return S_OK;
    }
    HRESULT IsEqual(IMoniker* pmkOtherMoniker) override {
        if (pmkOtherMoniker == nullptr) return E_INVALIDARG;
        LPOLESTR other = nullptr;
        if (FAILED(pmkOtherMoniker->GetDisplayName(nullptr, nullptr, &other))) return S_FALSE;
        bool same = Lower(other) == Lower(DisplayName());
        CoTaskMemFree(other);
        return same ? S_OK : S_FALSE;
    }
    HRESULT Hash(DWORD* pdwHash) override {
        if (pdwHash == nullptr) return E_POINTER;
        DWORD h = 2166136261u;
        for (char16_t c : Lower(DisplayName())) h = (h ^ c) * 16777619u;
        *pdwHash = h;
        return S_OK;
    }
    HRESULT IsRunning(IBindCtx*, IMoniker*, IMoniker*) override { return S_FALSE; }
    HRESULT GetTimeOfLastChange(IBindCtx*, IMoniker*, FILETIME*) override { return MK_E_UNAVAILABLE; }
    HRESULT Inverse(IMoniker**) override { return E_NOTIMPL; }
    HRESULT CommonPrefixWith(IMoniker*, IMoniker**) override { return E_NOTIMPL; }
    HRESULT RelativePathTo(IMoniker*, IMoniker**) override { return E_NOTIMPL; }
    HRESULT GetDisplayName(IBindCtx*, IMoniker*, LPOLESTR* ppszDisplayName) override {
        if (ppszDisplayName == nullptr) return E_POINTER;
        std::u16string name = DisplayName();
        auto* text = static_cast<LPOLESTR>(CoTaskMemAlloc((name.size() + 1) * sizeof(OLECHAR)));
        if (text == nullptr) return E_OUTOFMEMORY;
        std::memcpy(text, name.c_str(), (name.size() + 1) * sizeof(OLECHAR));
        *ppszDisplayName = text;
        return S_OK;
    }
    HRESULT ParseDisplayName(IBindCtx*, IMoniker*, LPOLESTR, ULONG*, IMoniker**) override { return E_NOTIMPL; }
    HRESULT IsSystemMoniker(DWORD* pdwMksys) override {
        if (pdwMksys == nullptr) return E_POINTER;
        *pdwMksys = 0;  // MKSYS_NONE
        return S_FALSE;
    }

private:
    std::u16string DisplayName() const {
        if (entry_.devicePath.empty()) return u"@device:sw:" + qk::com::GuidString(entry_.category) + u"\\" + entry_.instance;
        return u"@device:pnp:" + entry_.devicePath;
    }
    const DeviceEntry entry_;
};

class MonikerList final : public RefCount, public IEnumMoniker {
public:
    explicit MonikerList(std::vector<DeviceEntry> devices, ULONG position = 0)
        : RefCount(DevEnumObjects()), devices_(std::move(devices)), position_(position) {}

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (riid == IID_IUnknown || riid == IID_IEnumMoniker) return Hand(static_cast<IEnumMoniker*>(this), ppv);
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return AddRefImpl(); }
    ULONG Release() override { return ReleaseImpl(); }

    HRESULT Next(ULONG celt, IMoniker** rgelt, ULONG* pceltFetched) override {
        if (rgelt == nullptr) return E_POINTER;
        if (celt > 1 && pceltFetched == nullptr) return E_INVALIDARG;
        ULONG fetched = 0;
        while (fetched < celt && position_ < devices_.size()) {
            rgelt[fetched++] = new DeviceMoniker(devices_[position_++]);
        }
        if (pceltFetched != nullptr) *pceltFetched = fetched;
        return fetched == celt ? S_OK : S_FALSE;
    }
    HRESULT Skip(ULONG celt) override {
        size_t left = devices_.size() - position_;
        position_ += static_cast<ULONG>(std::min<size_t>(celt, left));
        return celt <= left ? S_OK : S_FALSE;
    }
    HRESULT Reset() override {
        position_ = 0;
        return S_OK;
    }
    HRESULT Clone(IEnumMoniker** ppenum) override {
        if (ppenum == nullptr) return E_POINTER;
        *ppenum = new MonikerList(devices_, position_);
        return S_OK;
    }

private:
    const std::vector<DeviceEntry> devices_;
    ULONG position_;
};

class SystemDeviceEnum final : public RefCount, public ICreateDevEnum {
public:
    SystemDeviceEnum() : RefCount(DevEnumObjects()) {}

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (riid == IID_IUnknown || riid == IID_ICreateDevEnum) return Hand(static_cast<ICreateDevEnum*>(this), ppv);
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return AddRefImpl(); }
    ULONG Release() override { return ReleaseImpl(); }

    // An empty or unknown category answers S_FALSE with no enumerator, as
    // applications test for.
    HRESULT CreateClassEnumerator(REFCLSID clsidDeviceClass, IEnumMoniker** ppEnumMoniker, DWORD) override {
        if (ppEnumMoniker == nullptr) return E_POINTER;
        *ppEnumMoniker = nullptr;
        if (clsidDeviceClass != CLSID_VideoInputDeviceCategory) {
            auto filters = RegisteredFilters(clsidDeviceClass);
            if (filters.empty()) return S_FALSE;
            *ppEnumMoniker = CreateFilterMonikers(std::move(filters));
            return S_OK;
        }
        auto devices = VideoInputDevices();
        if (devices.empty()) return S_FALSE;
        *ppEnumMoniker = new MonikerList(std::move(devices));
        return S_OK;
    }
};

LSTATUS ReadText(HKEY key, const char16_t* name, std::u16string* out) {
    DWORD type = 0, bytes = 0;
    LSTATUS status = RegQueryValueExW(key, name, nullptr, &type, nullptr, &bytes);
    if (status != ERROR_SUCCESS) return status;
    if (type != REG_SZ) return ERROR_BADKEY;
    std::u16string text(bytes / sizeof(char16_t) + 1, u'\0');
    status = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &bytes);
    if (status != ERROR_SUCCESS) return status;
    text.resize(bytes / sizeof(char16_t));
    while (!text.empty() && text.back() == u'\0') text.pop_back();
    *out = text;
    return ERROR_SUCCESS;
}

}  // namespace

// An entry without a readable class is skipped: a half-written registration
// names nothing to create.
std::vector<RegisteredFilter> RegisteredFilters(const GUID& category) {
    std::vector<RegisteredFilter> filters;
    std::u16string path = u"CLSID\\" + qk::com::GuidString(category) + u"\\Instance";
    HKEY instances = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &instances) != ERROR_SUCCESS) return filters;
    for (DWORD index = 0;; ++index) {
        char16_t name[MAX_PATH];
        DWORD length = MAX_PATH;
        if (RegEnumKeyExW(instances, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        HKEY key = nullptr;
        if (RegOpenKeyExW(instances, name, 0, KEY_READ, &key) != ERROR_SUCCESS) continue;
        RegisteredFilter filter;
        filter.category = category;
        filter.instance = name;
        std::u16string clsid;
        bool usable = ReadText(key, u"CLSID", &clsid) == ERROR_SUCCESS &&
                      CLSIDFromString(clsid.c_str(), &filter.clsid) == S_OK;
        if (ReadText(key, u"FriendlyName", &filter.friendlyName) != ERROR_SUCCESS) filter.friendlyName = name;
        DWORD type = 0, bytes = 0;
        if (RegQueryValueExW(key, u"FilterData", nullptr, &type, nullptr, &bytes) == ERROR_SUCCESS && type == REG_BINARY) {
            filter.filterData.resize(bytes);
            if (RegQueryValueExW(key, u"FilterData", nullptr, &type, filter.filterData.data(), &bytes) != ERROR_SUCCESS) {
                filter.filterData.clear();
            }
        }
        RegCloseKey(key);
        if (usable) filters.push_back(std::move(filter));
    }
    RegCloseKey(instances);
    return filters;
}

IEnumMoniker* CreateFilterMonikers(std::vector<RegisteredFilter> filters) {
    std::vector<DeviceEntry> entries;
    for (auto& f : filters) {
        DeviceEntry e;
        e.friendlyName = f.friendlyName;
        e.clsid = f.clsid;
        e.category = f.category;
        e.instance = f.instance;
        entries.push_back(std::move(e));
    }
    return new MonikerList(std::move(entries));
}

qk::com::ObjectCount& DevEnumObjects() {
    static qk::com::ObjectCount count;
    return count;
}

HRESULT CreateSystemDeviceEnum(REFIID riid, void** ppv) {
    auto* object = new SystemDeviceEnum;
    HRESULT hr = object->QueryInterface(riid, ppv);
    object->Release();
    return hr;
}

}  // namespace qk::dshow
