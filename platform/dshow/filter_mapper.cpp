// The filter mapper of "quartz.dll": filters registered under a category
// with their merit and pins, and the search the graph's Render makes among
// them. A registration is the key
// HKEY_CLASSES_ROOT\CLSID\{category}\Instance\{instance} with "FriendlyName",
// "CLSID" and "FilterData", the
// platform's own layout of the merit and pins:
//   DWORD version (2), DWORD merit, DWORD pin count, and for each pin
//   DWORD flags (REG_PINFLAG_*), DWORD type count, then (major, minor) GUID
//   pairs, GUID_NULL standing for any.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/com/com_runtime.h"
#include "platform/dshow/base_classes.h"
#include "platform/dshow/com_object.h"
#include "platform/dshow/filter_registry.h"
#include "windows.h"

namespace qk::dshow {
namespace {

constexpr DWORD kLayoutVersion = 2;

struct PinType {
    GUID major{}, minor{};
};
struct RegisteredPin {
    DWORD flags = 0;
    std::vector<PinType> types;
};
struct Description {
    DWORD merit = 0;
    std::vector<RegisteredPin> pins;
};

void Put(std::vector<uint8_t>& out, const void* data, size_t size) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    out.insert(out.end(), bytes, bytes + size);
}

std::vector<uint8_t> Encode(const Description& d) {
    std::vector<uint8_t> out;
    DWORD count = static_cast<DWORD>(d.pins.size());
    Put(out, &kLayoutVersion, 4);
    Put(out, &d.merit, 4);
    Put(out, &count, 4);
    for (const auto& pin : d.pins) {
        DWORD types = static_cast<DWORD>(pin.types.size());
        Put(out, &pin.flags, 4);
        Put(out, &types, 4);
        for (const auto& t : pin.types) {
            Put(out, &t.major, sizeof(GUID));
            Put(out, &t.minor, sizeof(GUID));
        }
    }
    return out;
}

// A value someone else wrote may be anything: every count is checked against
// the bytes that are there.
bool Decode(const std::vector<uint8_t>& in, Description* d) {
    size_t at = 0;
    auto take = [&](void* to, size_t size) {
        if (in.size() - at < size) return false;
        std::memcpy(to, in.data() + at, size);
        at += size;
        return true;
    };
    DWORD version = 0, count = 0;
    if (!take(&version, 4) || version != kLayoutVersion || !take(&d->merit, 4) || !take(&count, 4)) return false;
    for (DWORD i = 0; i < count; ++i) {
        RegisteredPin pin;
        DWORD types = 0;
        if (!take(&pin.flags, 4) || !take(&types, 4)) return false;
        if (types > (in.size() - at) / (2 * sizeof(GUID))) return false;
        pin.types.resize(types);
        for (auto& t : pin.types) {
            take(&t.major, sizeof(GUID));
            take(&t.minor, sizeof(GUID));
        }
        d->pins.push_back(std::move(pin));
    }
    return at == in.size();
}

std::vector<PinType> TypesOf(UINT count, const REGPINTYPES* types) {
    std::vector<PinType> out;
    for (UINT i = 0; types != nullptr && i < count; ++i) {
        PinType t;
        if (types[i].clsMajorType != nullptr) t.major = *types[i].clsMajorType;
        if (types[i].clsMinorType != nullptr) t.minor = *types[i].clsMinorType;
        out.push_back(t);
    }
    return out;
}

bool Matches(const GUID& registered, const GUID& wanted) {
    return registered == GUID_NULL || wanted == GUID_NULL || registered == wanted;
}

// Does one of the pins of this direction take one of the wanted types?
bool PinTakes(const Description& d, bool output, DWORD count, const GUID* pairs, bool mustRender) {
    for (const auto& pin : d.pins) {
        if (((pin.flags & REG_PINFLAG_B_OUTPUT) != 0) != output) continue;
        if (mustRender && (pin.flags & REG_PINFLAG_B_RENDERER) == 0) continue;
        if (count == 0) return true;
        for (const auto& t : pin.types) {
            for (DWORD i = 0; i < count; ++i) {
                if (Matches(t.major, pairs[2 * i]) && Matches(t.minor, pairs[2 * i + 1])) return true;
            }
        }
    }
    return false;
}

HRESULT WriteString(HKEY key, const char16_t* name, const std::u16string& text) {
    LSTATUS status = RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                                    static_cast<DWORD>((text.size() + 1) * sizeof(char16_t)));
    return status == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(status);
}

std::u16string InstancePath(const GUID& category, const std::u16string& instance) {
    return u"CLSID\\" + qk::com::GuidString(category) + u"\\Instance\\" + instance;
}

class FilterMapper final : public RefCount, public IFilterMapper2 {
public:
    FilterMapper() : RefCount(QuartzObjects()) {}

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (riid == IID_IUnknown || riid == IID_IFilterMapper2) return Hand(static_cast<IFilterMapper2*>(this), ppv);
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return AddRefImpl(); }
    ULONG Release() override { return ReleaseImpl(); }

    HRESULT CreateCategory(REFCLSID category, DWORD merit, LPCWSTR description) override {
        HKEY key = nullptr;
        std::u16string path = InstancePath(CLSID_ActiveMovieCategories, qk::com::GuidString(category));
        LSTATUS status = RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr);
        if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
        HRESULT hr = WriteString(key, u"FriendlyName", description != nullptr ? description : u"");
        if (SUCCEEDED(hr)) hr = WriteString(key, u"CLSID", qk::com::GuidString(category));
        if (SUCCEEDED(hr)) {
            status = RegSetValueExW(key, u"Merit", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&merit), sizeof merit);
            if (status != ERROR_SUCCESS) hr = HRESULT_FROM_WIN32(status);
        }
        RegCloseKey(key);
        return hr;
    }

    HRESULT UnregisterFilter(const CLSID* category, LPCOLESTR instance, REFCLSID filter) override {
        const GUID& in = category != nullptr ? *category : CLSID_LegacyAmFilterCategory;
        std::u16string name = instance != nullptr ? std::u16string(instance) : qk::com::GuidString(filter);
        LSTATUS status = RegDeleteKeyW(HKEY_CLASSES_ROOT, InstancePath(in, name).c_str());
        return status == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(status);
    }

    HRESULT RegisterFilter(REFCLSID clsid, LPCWSTR name, IMoniker** moniker, const CLSID* category, LPCOLESTR instance,
                           const REGFILTER2* rf2) override {
        if (name == nullptr || rf2 == nullptr) return E_POINTER;
        if (rf2->dwVersion != 1 && rf2->dwVersion != 2) return E_INVALIDARG;
        Description d;
        d.merit = rf2->dwMerit;
        if (rf2->dwVersion == 1) {
            for (ULONG i = 0; i < rf2->cPins; ++i) {
                const REGFILTERPINS& p = rf2->rgPins[i];
                RegisteredPin pin;
                pin.flags = (p.bOutput ? REG_PINFLAG_B_OUTPUT : 0) | (p.bRendered ? REG_PINFLAG_B_RENDERER : 0) |
                            (p.bZero ? REG_PINFLAG_B_ZERO : 0) | (p.bMany ? REG_PINFLAG_B_MANY : 0);
                pin.types = TypesOf(p.nMediaTypes, p.lpMediaType);
                d.pins.push_back(std::move(pin));
            }
        } else {
            for (ULONG i = 0; i < rf2->cPins2; ++i) {
                const REGFILTERPINS2& p = rf2->rgPins2[i];
                d.pins.push_back({p.dwFlags, TypesOf(p.nMediaTypes, p.lpMediaType)});
            }
        }
        const GUID& in = category != nullptr ? *category : CLSID_LegacyAmFilterCategory;
        std::u16string key = instance != nullptr ? std::u16string(instance) : qk::com::GuidString(clsid);
        HKEY handle = nullptr;
        LSTATUS status = RegCreateKeyExW(HKEY_CLASSES_ROOT, InstancePath(in, key).c_str(), 0, nullptr, 0, KEY_WRITE,
                                         nullptr, &handle, nullptr);
        if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
        HRESULT hr = WriteString(handle, u"FriendlyName", name);
        if (SUCCEEDED(hr)) hr = WriteString(handle, u"CLSID", qk::com::GuidString(clsid));
        if (SUCCEEDED(hr)) {
            auto data = Encode(d);
            status = RegSetValueExW(handle, u"FilterData", 0, REG_BINARY, data.data(), static_cast<DWORD>(data.size()));
            if (status != ERROR_SUCCESS) hr = HRESULT_FROM_WIN32(status);
        }
        RegCloseKey(handle);
        if (SUCCEEDED(hr) && moniker != nullptr) {
            RegisteredFilter f{clsid, in, key, name, {}};
            IEnumMoniker* list = CreateFilterMonikers({f});
            *moniker = nullptr;
            list->Next(1, moniker, nullptr);
            list->Release();
        }
        return hr;
    }

    // The registered filters (of the ordinary category) whose merit is at
    // least `merit` and whose pins take the types asked for, highest merit
    // first. Pin categories and mediums are not part of the platform's
    // registrations and match anything.
    HRESULT EnumMatchingFilters(IEnumMoniker** list, DWORD, BOOL, DWORD merit, BOOL inputNeeded, DWORD inputTypes,
                                const GUID* inputs, const REGPINMEDIUM*, const CLSID*, BOOL render, BOOL outputNeeded,
                                DWORD outputTypes, const GUID* outputs, const REGPINMEDIUM*, const CLSID*) override {
        if (list == nullptr) return E_POINTER;
        *list = nullptr;
        if ((inputTypes != 0 && inputs == nullptr) || (outputTypes != 0 && outputs == nullptr)) return E_POINTER;
        std::vector<std::pair<DWORD, RegisteredFilter>> found;
        for (auto& f : RegisteredFilters(CLSID_LegacyAmFilterCategory)) {
            Description d;
            if (!Decode(f.filterData, &d) || d.merit < merit) continue;
            if ((inputNeeded || inputTypes != 0 || render) && !PinTakes(d, false, inputTypes, inputs, render != 0)) continue;
            if ((outputNeeded || outputTypes != 0) && !PinTakes(d, true, outputTypes, outputs, false)) continue;
            found.emplace_back(d.merit, std::move(f));
        }
        std::stable_sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
        std::vector<RegisteredFilter> filters;
        for (auto& [m, f] : found) filters.push_back(std::move(f));
        *list = CreateFilterMonikers(std::move(filters));
        return S_OK;
    }
};

}  // namespace

HRESULT CreateFilterMapper(REFIID riid, void** ppv) {
    auto* mapper = new FilterMapper;
    HRESULT hr = mapper->QueryInterface(riid, ppv);
    mapper->Release();
    return hr;
}

}  // namespace qk::dshow
