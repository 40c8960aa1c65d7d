// SetupAPI and the configuration manager over the Plug and Play manager's
// device tree. A device information set is a snapshot taken when it is made:
// a device that leaves afterwards stays in the set, and asking about it
// answers from the snapshot, as an application holding a set expects.
// Device nodes are numbered once per instance path for the process, so a
// DEVINST stays valid across sets and across an unplug.
#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "cfgmgr32.h"
#include "platform/nt/pnp.h"
#include "setupapi.h"

namespace {

using qk::nt::pnp::DeviceInfo;
using qk::nt::pnp::InterfaceInfo;

constexpr uint32_t kSetTag = 0x53564544;  // "DEVS"

struct DeviceInfoSet {
    uint32_t tag = kSetTag;
    std::vector<DeviceInfo> devices;
    std::vector<InterfaceInfo> interfaces;
};

// The process's device-node numbers; 0 is never handed out, 1 is the root.
struct NodeTable {
    std::mutex lock;  // guards both maps
    std::map<std::u16string, DEVINST> byPath;
    std::map<DEVINST, std::u16string> byNumber;
};
NodeTable& Nodes() {
    static NodeTable* table = new NodeTable;  // lives for the process: DEVINSTs outlive machines in tests
    return *table;
}
constexpr DEVINST kRootNode = 1;

std::u16string Upper(std::u16string_view text) {
    std::u16string out(text);
    for (auto& c : out) {
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    }
    return out;
}

DEVINST NodeFor(const std::u16string& instancePath) {
    auto& t = Nodes();
    std::lock_guard<std::mutex> guard(t.lock);
    std::u16string key = Upper(instancePath);
    auto it = t.byPath.find(key);
    if (it != t.byPath.end()) return it->second;
    DEVINST number = static_cast<DEVINST>(t.byNumber.size()) + kRootNode + 1;
    t.byPath.emplace(key, number);
    t.byNumber.emplace(number, instancePath);
    return number;
}

bool PathOf(DEVINST node, std::u16string* path) {
    auto& t = Nodes();
    std::lock_guard<std::mutex> guard(t.lock);
    auto it = t.byNumber.find(node);
    if (it == t.byNumber.end()) return false;
    *path = it->second;
    return true;
}

DeviceInfoSet* SetOf(HDEVINFO handle) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return nullptr;
    auto* set = static_cast<DeviceInfoSet*>(handle);
    return set->tag == kSetTag ? set : nullptr;
}

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

// The member a SP_DEVINFO_DATA names, checked against the set.
const DeviceInfo* MemberOf(DeviceInfoSet* set, PSP_DEVINFO_DATA data) {
    if (data == nullptr || data->cbSize != sizeof(SP_DEVINFO_DATA)) return nullptr;
    for (const auto& d : set->devices) {
        if (NodeFor(d.instancePath) == data->DevInst) return &d;
    }
    return nullptr;
}

void FillDevInfo(const DeviceInfo& d, PSP_DEVINFO_DATA data) {
    data->ClassGuid = d.classGuid;
    data->DevInst = NodeFor(d.instancePath);
    data->Reserved = 0;
}

std::vector<uint8_t> WideBytes(const std::u16string& text) {
    std::vector<uint8_t> bytes((text.size() + 1) * sizeof(WCHAR), 0);
    std::memcpy(bytes.data(), text.data(), text.size() * sizeof(WCHAR));
    return bytes;
}

std::vector<uint8_t> MultiBytes(const std::vector<std::u16string>& items) {
    std::u16string joined;
    for (const auto& item : items) {
        joined += item;
        joined.push_back(u'\0');
    }
    joined.push_back(u'\0');
    std::vector<uint8_t> bytes(joined.size() * sizeof(WCHAR));
    std::memcpy(bytes.data(), joined.data(), bytes.size());
    return bytes;
}

std::u16string GuidText(const GUID& g) {
    static const char16_t* digits = u"0123456789abcdef";
    std::u16string text = u"{";
    auto hex = [&](uint64_t v, int n) {
        for (int i = n - 1; i >= 0; --i) text.push_back(digits[(v >> (4 * i)) & 0xF]);
    };
    hex(g.Data1, 8);
    text += u"-";
    hex(g.Data2, 4);
    text += u"-";
    hex(g.Data3, 4);
    text += u"-";
    hex(g.Data4[0], 2);
    hex(g.Data4[1], 2);
    text += u"-";
    for (int i = 2; i < 8; ++i) hex(g.Data4[i], 2);
    text += u"}";
    return text;
}

// A property's value as stored: its type and bytes. False when the device
// has no such property.
bool PropertyOf(const DeviceInfo& d, DWORD property, DWORD* type, std::vector<uint8_t>* bytes) {
    auto text = [&](const std::u16string& s) {
        if (s.empty()) return false;
        *type = REG_SZ;
        *bytes = WideBytes(s);
        return true;
    };
    auto multi = [&](const std::vector<std::u16string>& items) {
        if (items.empty()) return false;
        *type = REG_MULTI_SZ;
        *bytes = MultiBytes(items);
        return true;
    };
    switch (property) {
        case SPDRP_DEVICEDESC: return text(d.description);
        case SPDRP_HARDWAREID: return multi(d.hardwareIds);
        case SPDRP_COMPATIBLEIDS: return multi(d.compatibleIds);
        case SPDRP_SERVICE: return text(d.service);
        case SPDRP_CLASS: return text(d.className);
        case SPDRP_CLASSGUID: return text(d.className.empty() ? std::u16string() : GuidText(d.classGuid));
        case SPDRP_DRIVER: return text(d.driverKey);
        case SPDRP_FRIENDLYNAME: return text(d.friendlyName);
        case SPDRP_UPPERFILTERS: return multi(d.upperFilters);
        default: return false;
    }
}

// Hands a value to a caller's buffer: the required size always, the bytes
// only when they fit.
BOOL Answer(DWORD type, const std::vector<uint8_t>& bytes, PDWORD typeOut, PBYTE buffer, DWORD size,
            PDWORD required) {
    if (required != nullptr) *required = static_cast<DWORD>(bytes.size());
    if (typeOut != nullptr) *typeOut = type;
    if (buffer == nullptr && size != 0) return Fail(ERROR_INVALID_USER_BUFFER);
    if (size < bytes.size()) return Fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(buffer, bytes.data(), bytes.size());
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

// The user-mode form of an interface link: "\??\" becomes "\\?\".
std::u16string UserPath(const std::u16string& link) {
    if (link.rfind(u"\\??\\", 0) == 0) return u"\\\\?\\" + link.substr(4);
    return link;
}

}  // namespace

HDEVINFO SetupDiGetClassDevsW(const GUID* ClassGuid, LPCWSTR Enumerator, void* hwndParent, DWORD Flags) {
    (void)hwndParent;
    bool allClasses = (Flags & DIGCF_ALLCLASSES) != 0;
    bool interfaces = (Flags & DIGCF_DEVICEINTERFACE) != 0;
    bool presentOnly = (Flags & DIGCF_PRESENT) != 0;
    if (Flags & ~(DIGCF_DEFAULT | DIGCF_PRESENT | DIGCF_ALLCLASSES | DIGCF_PROFILE | DIGCF_DEVICEINTERFACE)) {
        Fail(ERROR_INVALID_FLAGS);
        return INVALID_HANDLE_VALUE;
    }
    if (ClassGuid == nullptr && !allClasses) {
        Fail(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::u16string enumerator = Enumerator != nullptr ? Upper(Enumerator) : std::u16string();
    auto matchesEnumerator = [&](const std::u16string& instancePath) {
        if (enumerator.empty()) return true;
        std::u16string path = Upper(instancePath);
        return path.rfind(enumerator, 0) == 0 && (path.size() == enumerator.size() || path[enumerator.size()] == u'\\');
    };

    auto set = std::make_unique<DeviceInfoSet>();
    auto all = qk::nt::pnp::Devices();
    if (interfaces && !allClasses) {
        // Disabled interfaces belong to devices that are gone or not started.
        for (auto& i : qk::nt::pnp::Interfaces(*ClassGuid, presentOnly)) {
            if (!matchesEnumerator(i.instancePath)) continue;
            set->interfaces.push_back(i);
            auto known = std::find_if(set->devices.begin(), set->devices.end(),
                                      [&](const DeviceInfo& d) { return d.instancePath == i.instancePath; });
            if (known != set->devices.end()) continue;
            for (auto& d : all) {
                if (d.instancePath == i.instancePath) set->devices.push_back(d);
            }
        }
    } else {
        for (auto& d : all) {
            if (presentOnly && !d.present) continue;
            if (!allClasses && !IsEqualGUID(d.classGuid, *ClassGuid)) continue;
            if (!matchesEnumerator(d.instancePath)) continue;
            set->devices.push_back(d);
        }
    }
    SetLastError(ERROR_SUCCESS);
    return set.release();
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
    auto* set = SetOf(DeviceInfoSet);
    if (set == nullptr) return Fail(ERROR_INVALID_HANDLE);
    set->tag = 0;
    delete set;
    return TRUE;
}

HKEY SetupDiOpenDevRegKey(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Scope, DWORD HwProfile,
                          DWORD KeyType, REGSAM samDesired) {
    auto invalid = [](DWORD error) {
        SetLastError(error);
        return static_cast<HKEY>(INVALID_HANDLE_VALUE);
    };
    auto* set = SetOf(DeviceInfoSet);
    if (set == nullptr) return invalid(ERROR_INVALID_HANDLE);
    const DeviceInfo* d = MemberOf(set, DeviceInfoData);
    if (d == nullptr) return invalid(ERROR_INVALID_PARAMETER);
    if ((Scope != DICS_FLAG_GLOBAL && Scope != DICS_FLAG_CONFIGSPECIFIC) || HwProfile > 1) {
        return invalid(ERROR_INVALID_FLAGS);
    }
    std::u16string path;
    if (KeyType == DIREG_DEV) {
        path = u"SYSTEM\\CurrentControlSet\\Enum\\" + d->instancePath + u"\\Device Parameters";
    } else if (KeyType == DIREG_DRV) {
        if (d->driverKey.empty()) return invalid(ERROR_KEY_DOES_NOT_EXIST);
        path = u"SYSTEM\\CurrentControlSet\\Control\\Class\\" + d->driverKey;
    } else {
        return invalid(ERROR_INVALID_FLAGS);
    }
    HKEY key = nullptr;
    LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, samDesired, &key);
    if (status == ERROR_FILE_NOT_FOUND) return invalid(ERROR_KEY_DOES_NOT_EXIST);
    if (status != ERROR_SUCCESS) return invalid(static_cast<DWORD>(status));
    SetLastError(ERROR_SUCCESS);
    return key;
}

BOOL SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex, PSP_DEVINFO_DATA DeviceInfoData) {
    auto* set = SetOf(DeviceInfoSet);
    if (set == nullptr) return Fail(ERROR_INVALID_HANDLE);
    if (DeviceInfoData == nullptr || DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
        return Fail(ERROR_INVALID_USER_BUFFER);
    }
    if (MemberIndex >= set->devices.size()) return Fail(ERROR_NO_MORE_ITEMS);
    FillDevInfo(set->devices[MemberIndex], DeviceInfoData);
    return TRUE;
}

BOOL SetupDiGetDeviceInstanceIdW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, LPWSTR DeviceInstanceId,
                                 DWORD DeviceInstanceIdSize, PDWORD RequiredSize) {
    auto* set = SetOf(DeviceInfoSet);
    if (set == nullptr) return Fail(ERROR_INVALID_HANDLE);
    const DeviceInfo* d = MemberOf(set, DeviceInfoData);
    if (d == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    DWORD needed = static_cast<DWORD>(d->instancePath.size() + 1);  // characters
    if (RequiredSize != nullptr) *RequiredSize = needed;
    if (DeviceInstanceId == nullptr || DeviceInstanceIdSize < needed) return Fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(DeviceInstanceId, d->instancePath.c_str(), needed * sizeof(WCHAR));
    return TRUE;
}

BOOL SetupDiGetDeviceRegistryPropertyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                       PDWORD PropertyRegDataType, PBYTE PropertyBuffer, DWORD PropertyBufferSize,
                                       PDWORD RequiredSize) {
    auto* set = SetOf(DeviceInfoSet);
    if (set == nullptr) return Fail(ERROR_INVALID_HANDLE);
    const DeviceInfo* d = MemberOf(set, DeviceInfoData);
    if (d == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    DWORD type = 0;
    std::vector<uint8_t> bytes;
    if (!PropertyOf(*d, Property, &type, &bytes)) return Fail(ERROR_INVALID_DATA);
    return Answer(type, bytes, PropertyRegDataType, PropertyBuffer, PropertyBufferSize, RequiredSize);
}

BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                       PDWORD PropertyRegDataType, PBYTE PropertyBuffer, DWORD PropertyBufferSize,
                                       PDWORD RequiredSize) {
    auto* set = SetOf(DeviceInfoSet);
    if (set == nullptr) return Fail(ERROR_INVALID_HANDLE);
    const DeviceInfo* d = MemberOf(set, DeviceInfoData);
    if (d == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    DWORD type = 0;
    std::vector<uint8_t> wide;
    if (!PropertyOf(*d, Property, &type, &wide)) return Fail(ERROR_INVALID_DATA);
    // The machine's ANSI code page is Latin-1: characters beyond it become '?'.
    std::vector<uint8_t> narrow(wide.size() / sizeof(WCHAR));
    for (size_t i = 0; i < narrow.size(); ++i) {
        char16_t c;
        std::memcpy(&c, wide.data() + i * sizeof(WCHAR), sizeof(c));
        narrow[i] = c < 0x100 ? static_cast<uint8_t>(c) : '?';
    }
    return Answer(type, narrow, PropertyRegDataType, PropertyBuffer, PropertyBufferSize, RequiredSize);
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                 const GUID* InterfaceClassGuid, DWORD MemberIndex,
                                 PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
    auto* set = SetOf(DeviceInfoSet);
    if (set == nullptr) return Fail(ERROR_INVALID_HANDLE);
    if (InterfaceClassGuid == nullptr || DeviceInterfaceData == nullptr ||
        DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    const DeviceInfo* only = nullptr;
    if (DeviceInfoData != nullptr) {
        only = MemberOf(set, DeviceInfoData);
        if (only == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    }
    DWORD index = 0;
    for (size_t i = 0; i < set->interfaces.size(); ++i) {
        const auto& info = set->interfaces[i];
        if (!IsEqualGUID(info.interfaceClass, *InterfaceClassGuid)) continue;
        if (only != nullptr && info.instancePath != only->instancePath) continue;
        if (index++ != MemberIndex) continue;
        DeviceInterfaceData->InterfaceClassGuid = info.interfaceClass;
        DeviceInterfaceData->Flags = info.enabled ? SPINT_ACTIVE : 0;
        DeviceInterfaceData->Reserved = i + 1;  // the member, for the detail call
        return TRUE;
    }
    return Fail(ERROR_NO_MORE_ITEMS);
}

BOOL SetupDiGetDeviceInterfaceDetailW(HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_W DeviceInterfaceDetailData,
                                      DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize,
                                      PSP_DEVINFO_DATA DeviceInfoData) {
    auto* set = SetOf(DeviceInfoSet);
    if (set == nullptr) return Fail(ERROR_INVALID_HANDLE);
    if (DeviceInterfaceData == nullptr || DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) ||
        DeviceInterfaceData->Reserved == 0 || DeviceInterfaceData->Reserved > set->interfaces.size()) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    const auto& info = set->interfaces[DeviceInterfaceData->Reserved - 1];
    std::u16string path = UserPath(info.symbolicLink);
    DWORD needed = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) +
                                      (path.size() + 1) * sizeof(WCHAR));
    if (RequiredSize != nullptr) *RequiredSize = needed;
    if (DeviceInfoData != nullptr) {
        if (DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) return Fail(ERROR_INVALID_USER_BUFFER);
        for (const auto& d : set->devices) {
            if (d.instancePath == info.instancePath) FillDevInfo(d, DeviceInfoData);
        }
    }
    if (DeviceInterfaceDetailData == nullptr) {
        return Fail(DeviceInterfaceDetailDataSize == 0 ? ERROR_INSUFFICIENT_BUFFER : ERROR_INVALID_USER_BUFFER);
    }
    // The caller states the fixed part's size, as the SDK's structure has it.
    if (DeviceInterfaceDetailData->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
        return Fail(ERROR_INVALID_USER_BUFFER);
    }
    if (DeviceInterfaceDetailDataSize < needed) return Fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(DeviceInterfaceDetailData->DevicePath, path.c_str(), (path.size() + 1) * sizeof(WCHAR));
    return TRUE;
}

CONFIGRET CM_Locate_DevNodeW(PDEVINST pdnDevInst, const WCHAR* pDeviceID, ULONG ulFlags) {
    if (pdnDevInst == nullptr) return CR_INVALID_POINTER;
    if (ulFlags & ~static_cast<ULONG>(CM_LOCATE_DEVNODE_PHANTOM)) return CR_INVALID_FLAG;
    *pdnDevInst = 0;
    if (pDeviceID == nullptr || pDeviceID[0] == u'\0') {
        *pdnDevInst = kRootNode;
        return CR_SUCCESS;
    }
    DeviceInfo info;
    if (!qk::nt::pnp::FindDevice(pDeviceID, &info)) return CR_NO_SUCH_DEVNODE;
    if (!info.present && !(ulFlags & CM_LOCATE_DEVNODE_PHANTOM)) return CR_NO_SUCH_DEVNODE;
    *pdnDevInst = NodeFor(info.instancePath);
    return CR_SUCCESS;
}

CONFIGRET CM_Get_DevNode_Status(PULONG pulStatus, PULONG pulProblemNumber, DEVINST dnDevInst, ULONG ulFlags) {
    if (pulStatus == nullptr || pulProblemNumber == nullptr) return CR_INVALID_POINTER;
    if (ulFlags != 0) return CR_INVALID_FLAG;
    *pulStatus = 0;
    *pulProblemNumber = 0;
    if (dnDevInst == kRootNode) {
        *pulStatus = DN_DRIVER_LOADED | DN_STARTED;
        return CR_SUCCESS;
    }
    std::u16string path;
    if (!PathOf(dnDevInst, &path)) return CR_INVALID_DEVNODE;
    DeviceInfo info;
    if (!qk::nt::pnp::FindDevice(path, &info) || !info.present) return CR_NO_SUCH_DEVNODE;
    if (info.pdo != nullptr && !info.service.empty()) *pulStatus |= DN_DRIVER_LOADED;
    if (info.started) *pulStatus |= DN_STARTED;
    if (info.problem != qk::nt::pnp::Problem::None) {
        *pulStatus |= DN_HAS_PROBLEM;
        *pulProblemNumber = static_cast<ULONG>(info.problem);
    }
    return CR_SUCCESS;
}

CONFIGRET CM_Get_Device_ID_Size(PULONG pulLen, DEVINST dnDevInst, ULONG ulFlags) {
    if (pulLen == nullptr) return CR_INVALID_POINTER;
    if (ulFlags != 0) return CR_INVALID_FLAG;
    std::u16string path;
    if (dnDevInst == kRootNode) path = u"HTREE\\ROOT\\0";
    else if (!PathOf(dnDevInst, &path)) return CR_INVALID_DEVNODE;
    *pulLen = static_cast<ULONG>(path.size());
    return CR_SUCCESS;
}

CONFIGRET CM_Get_Device_IDW(DEVINST dnDevInst, WCHAR* Buffer, ULONG BufferLen, ULONG ulFlags) {
    if (Buffer == nullptr) return CR_INVALID_POINTER;
    if (ulFlags != 0) return CR_INVALID_FLAG;
    std::u16string path;
    if (dnDevInst == kRootNode) path = u"HTREE\\ROOT\\0";
    else if (!PathOf(dnDevInst, &path)) return CR_INVALID_DEVNODE;
    // The SDK copies what fits and terminates only when there is room.
    size_t n = std::min<size_t>(path.size(), BufferLen);
    std::memcpy(Buffer, path.data(), n * sizeof(WCHAR));
    if (n < BufferLen) Buffer[n] = u'\0';
    return n < path.size() ? CR_BUFFER_SMALL : CR_SUCCESS;
}
