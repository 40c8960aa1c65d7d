// The console's way to the camera. Nothing is held between operations: each
// read or write binds the camera afresh through the system device
// enumerator, uses the proxy's control interfaces and lets everything go,
// so a camera unplugged and plugged again is simply found again, and a
// failure only makes one control unavailable.
#include <cstdio>
#include <cstring>

#include "capture/k0340_props.h"
#include "cfgmgr32.h"
#include "common/usb_ids.h"
#include "console/k0340cvw.h"
#include "objbase.h"
#include "setupapi.h"

namespace k0340cvw {
namespace {

const GUID kImageClass = {0x6BDD1FC6, 0x810F, 0x11D0, {0xBE, 0xC7, 0x08, 0x00, 0x2B, 0xE2, 0x09, 0x2F}};
// A pan/tilt status set some cameras offer; its buffer is four bytes longer.
const GUID kPanTiltStatusSet = {0x45B7AB4F, 0xF7F0, 0x494C, {0x88, 0xD0, 0x3F, 0x4E, 0xF8, 0xE1, 0xEF, 0x47}};

// The standard control's number beyond the SDK's named ones in our headers.
constexpr LONG kProcAmpPowerLineFrequency = 13;

constexpr DWORD kHardwareIdBytes = 260;
constexpr DWORD kNameBytes = 260;
constexpr int kWaitAttempts = 20;
constexpr DWORD kWaitIntervalMs = 500;

char Fold(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }

bool EqualIgnoringCase(const char* a, const char* b) {
    for (; *a && *b; ++a, ++b) {
        if (Fold(*a) != Fold(*b)) return false;
    }
    return *a == *b;
}

bool EqualIgnoringCase(const char* a, size_t length, const char* b) {
    size_t i = 0;
    for (; i < length && b[i]; ++i) {
        if (Fold(a[i]) != Fold(b[i])) return false;
    }
    return i == length && b[i] == 0;
}

// The ANSI code page of the machine is Latin-1: a character beyond it
// becomes '?', as the system's conversion does.
void ToAnsi(const OLECHAR* wide, UINT length, char* out, size_t outBytes) {
    size_t n = 0;
    for (UINT i = 0; i < length && wide[i] != 0 && n + 1 < outBytes; ++i) {
        out[n++] = wide[i] <= 0xFF ? static_cast<char>(wide[i]) : '?';
    }
    out[n] = 0;
}

}  // namespace

bool HardwareIdListNamesCamera(const char* list, size_t bytes) {
    size_t pos = 0;
    while (pos < bytes && list[pos] != 0) {
        const char* item = list + pos;
        size_t length = strnlen(item, bytes - pos);
        const char* comma = static_cast<const char*>(std::memchr(item, ',', length));
        size_t piece = comma ? static_cast<size_t>(comma - item) : length;
        if (EqualIgnoringCase(item, piece, SupportedHardwareId())) return true;
        pos += length + 1;
    }
    return false;
}

namespace {

template <class T>
void ReleaseInto(T*& p) {
    if (p != nullptr) {
        p->Release();
        p = nullptr;
    }
}

// Range normalisation: a swapped range, a step that is not a step of the
// range and a default outside it are what some cameras report.
void NormaliseRange(ControlSetting* s) {
    if (s->maximum < s->minimum) {
        LONG t = s->minimum;
        s->minimum = s->maximum;
        s->maximum = t;
    }
    const int64_t span = static_cast<int64_t>(s->maximum) - s->minimum;
    if (s->step < 1 || s->step > span) s->step = 1;
    if (s->defaultValue < s->minimum) s->defaultValue = s->minimum;
    if (s->defaultValue > s->maximum) s->defaultValue = s->maximum;
}

// The two standard control interfaces have the same shape; this is the one
// place that tells them apart.
struct Control {
    IAMCameraControl* camera = nullptr;
    IAMVideoProcAmp* procAmp = nullptr;
    bool Present() const { return camera != nullptr || procAmp != nullptr; }
    HRESULT GetRange(LONG p, LONG* mn, LONG* mx, LONG* st, LONG* df, LONG* caps) const {
        return camera ? camera->GetRange(p, mn, mx, st, df, caps) : procAmp->GetRange(p, mn, mx, st, df, caps);
    }
    HRESULT Get(LONG p, LONG* v, LONG* f) const { return camera ? camera->Get(p, v, f) : procAmp->Get(p, v, f); }
    HRESULT Set(LONG p, LONG v, LONG f) const { return camera ? camera->Set(p, v, f) : procAmp->Set(p, v, f); }
};

Control Select(DeviceSession* session, int interfaceId) {
    Control c;
    if (session == nullptr) return c;
    if (interfaceId == kCameraControl) c.camera = session->cameraControl;
    if (interfaceId == kVideoProcAmp) c.procAmp = session->procAmp;
    return c;
}

ULONG RequestBytes(const GUID& set) { return set == kPanTiltStatusSet ? 40 : 36; }

}  // namespace

const char* SupportedHardwareId() {
    static const char* id = [] {
        static char text[32];
        std::snprintf(text, sizeof text, "USB\\VID_%04X&PID_%04X&MI_00", qk::ids::kCameraVendorId,
                      qk::ids::kCameraProductId);
        return text;
    }();
    return id;
}

DWORD EnumerateCameras(ConsoleState* state) {
    // Every device of the class, attached or not: the driver-loaded bit
    // decides below.
    HDEVINFO set = SetupDiGetClassDevsW(&kImageClass, nullptr, nullptr, 0);
    if (set == INVALID_HANDLE_VALUE) return CVW_E_NO_DEVICE;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD index = 0; state->deviceCount < kMaxCameras && SetupDiEnumDeviceInfo(set, index, &device); ++index) {
        char ids[kHardwareIdBytes] = {};
        DWORD type = 0;
        // One byte stays zero, so the list always ends within the buffer.
        if (!SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID, &type, reinterpret_cast<PBYTE>(ids),
                                               kHardwareIdBytes - 1, nullptr) ||
            ids[0] == 0) {
            device.cbSize = sizeof device;
            continue;
        }
        if (HardwareIdListNamesCamera(ids, kHardwareIdBytes - 1)) {
            ULONG status = 0, problem = 0;
            if (CM_Get_DevNode_Status(&status, &problem, device.DevInst, 0) == CR_SUCCESS &&
                (status & DN_DRIVER_LOADED) != 0) {
                char description[kNameBytes] = {};
                if (SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_DEVICEDESC, &type,
                                                      reinterpret_cast<PBYTE>(description), kNameBytes - 1,
                                                      nullptr)) {
                    char* slot = state->deviceNames[state->deviceCount++];
                    std::strncpy(slot, description, kCameraNameBytes - 1);
                    slot[kCameraNameBytes - 1] = 0;
                }
            }
        }
        device.cbSize = sizeof device;
    }
    SetupDiDestroyDeviceInfoList(set);
    return state->deviceCount > 0 ? CVW_OK : CVW_E_NO_DEVICE;
}

bool OpenDeviceSession(const char* description, DeviceSession* session) {
    *session = DeviceSession{};
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return false;
    if (description == nullptr) return false;
    ICreateDevEnum* devices = nullptr;
    if (FAILED(CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum,
                                reinterpret_cast<void**>(&devices)))) {
        return false;
    }
    IEnumMoniker* list = nullptr;
    HRESULT hr = devices->CreateClassEnumerator(CLSID_VideoInputDeviceCategory, &list, 0);
    devices->Release();
    if (hr != S_OK || list == nullptr) return false;
    list->Reset();
    IMoniker* moniker = nullptr;
    bool bindFailed = false;
    while (session->filter == nullptr && !bindFailed && list->Next(1, &moniker, nullptr) == S_OK) {
        char name[kNameBytes] = {};
        IPropertyBag* bag = nullptr;
        if (SUCCEEDED(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag, reinterpret_cast<void**>(&bag)))) {
            VARIANT value;
            VariantInit(&value);
            if (SUCCEEDED(bag->Read(u"FriendlyName", &value, nullptr)) && value.vt == VT_BSTR) {
                ToAnsi(value.bstrVal, SysStringLen(value.bstrVal), name, sizeof name);
            }
            VariantClear(&value);
            bag->Release();
        }
        if (name[0] != 0 && EqualIgnoringCase(name, description)) {
            if (FAILED(moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter,
                                             reinterpret_cast<void**>(&session->filter)))) {
                session->filter = nullptr;
                bindFailed = true;
            }
        }
        moniker->Release();
    }
    list->Release();
    if (session->filter == nullptr) return false;

    IBaseFilter* f = session->filter;
    bool ok = SUCCEEDED(f->QueryInterface(IID_IKsPropertySet, reinterpret_cast<void**>(&session->propertySet))) &&
              SUCCEEDED(f->QueryInterface(IID_IAMCameraControl, reinterpret_cast<void**>(&session->cameraControl))) &&
              SUCCEEDED(f->QueryInterface(IID_IAMVideoProcAmp, reinterpret_cast<void**>(&session->procAmp))) &&
              SUCCEEDED(f->QueryInterface(IID_IAMVideoControl, reinterpret_cast<void**>(&session->videoControl)));
    if (ok) {
        IEnumPins* pins = nullptr;
        ok = SUCCEEDED(f->EnumPins(&pins)) && pins != nullptr;
        if (ok) {
            pins->Reset();
            ok = pins->Next(1, &session->pin, nullptr) == S_OK && session->pin != nullptr;
            pins->Release();
        }
    }
    if (!ok) {
        // Release what was obtained without ending the thread's COM use:
        // the caller closes the session, which ends it.
        ReleaseInto(session->propertySet);
        ReleaseInto(session->filter);
        ReleaseInto(session->cameraControl);
        ReleaseInto(session->procAmp);
        ReleaseInto(session->videoControl);
        ReleaseInto(session->pin);
    }
    return ok;
}

void CloseDeviceSession(DeviceSession* session) {
    ReleaseInto(session->propertySet);
    ReleaseInto(session->filter);
    ReleaseInto(session->cameraControl);
    ReleaseInto(session->procAmp);
    ReleaseInto(session->videoControl);
    ReleaseInto(session->pin);
    CoUninitialize();
}

bool ReadControl(DeviceSession* session, int interfaceId, LONG property, ControlSetting* s) {
    s->valid = 0;
    const Control c = Select(session, interfaceId);
    if (!c.Present()) return false;
    if (FAILED(c.GetRange(property, &s->minimum, &s->maximum, &s->step, &s->defaultValue, &s->capsFlags))) {
        return false;
    }
    NormaliseRange(s);
    LONG value = 0, flags = 0;
    if (FAILED(c.Get(property, &value, &flags))) return false;
    // Pan, tilt and zoom are written back as read: the camera takes up the
    // position the driver reports, so both agree before a panel moves them.
    if (interfaceId == kCameraControl &&
        (property == CameraControl_Pan || property == CameraControl_Tilt || property == CameraControl_Zoom)) {
        if (FAILED(c.Set(property, value, flags))) return false;
    }
    if (value < s->minimum || value > s->maximum) {
        value = value < s->minimum ? s->minimum : s->maximum;
        if (flags & kFlagManual) c.Set(property, value, kFlagManual);
    }
    const LONG mode = flags & (kFlagAuto | kFlagManual);
    if (mode == 0 || mode == (kFlagAuto | kFlagManual)) {
        flags = (flags & ~(kFlagAuto | kFlagManual)) | kFlagAuto;
        c.Set(property, value, flags);
    }
    s->value = value;
    s->flags = flags;
    s->appliedFlags = flags;
    s->autoMode = flags & kFlagAuto;
    s->appliedValue = value;
    s->valid = 1;
    return true;
}

bool WriteControl(DeviceSession* session, int interfaceId, LONG property, ControlSetting* s) {
    const Control c = Select(session, interfaceId);
    if (!c.Present()) return false;
    const LONG flags = (s->flags & ~(kFlagAuto | kFlagManual)) | (s->autoMode ? kFlagAuto : kFlagManual);
    if (interfaceId == kVideoProcAmp && property == VideoProcAmp_WhiteBalance) {
        // The panel's value is a choice (0 automatic, 1-3 presets), not a
        // colour temperature: the camera keeps its own value.
        s->autoMode = s->value == 0;
        const LONG chosen = (s->flags & ~(kFlagAuto | kFlagManual)) | (s->autoMode ? kFlagAuto : kFlagManual);
        LONG present = 0, ignored = 0;
        if (FAILED(c.Get(property, &present, &ignored))) present = s->defaultValue;
        if (FAILED(c.Set(property, present, chosen))) return false;
        s->appliedFlags = chosen;
        return true;
    }
    if (s->value != s->appliedValue || flags != s->appliedFlags) {
        if (FAILED(c.Set(property, s->value, flags))) return false;
        s->appliedValue = s->value;
    }
    s->appliedFlags = flags;
    return true;
}

bool SnapToStep(const ControlSetting* s, LONG* v, bool nearest) {
    if (s->step < 1 || s->value < s->minimum || s->value > s->maximum) return false;
    const int64_t step = s->step;
    if ((static_cast<int64_t>(s->value) - s->minimum) % step != 0) return false;
    const int64_t offset = static_cast<int64_t>(*v) - s->minimum;
    if (*v == s->value || offset % step == 0) return false;
    // Floor division, so a value below the minimum snaps onto the grid too.
    int64_t q = offset / step;
    int64_t r = offset % step;
    if (r < 0) {
        r += step;
        --q;
    }
    int64_t snapped;
    if (nearest) {
        snapped = s->minimum + (2 * r < step ? q : q + 1) * step;
    } else {
        snapped = s->minimum + (*v < s->value ? q : q + 1) * step;
    }
    *v = static_cast<LONG>(snapped);
    return true;
}

LONG PageSize(const ControlSetting* s) {
    const int64_t step = s->step < 1 ? 1 : s->step;
    const int64_t steps = (static_cast<int64_t>(s->maximum) - s->minimum) / step;
    // A tenth of the steps, half up, in integers.
    int64_t pages = (steps + 5) / 10;
    if (pages < 1) pages = 1;
    return static_cast<LONG>(pages * step);
}

bool WaitForCamera(const char* description) {
    for (int attempt = 0; attempt < kWaitAttempts; ++attempt) {
        if (attempt > 0) Sleep(kWaitIntervalMs);
        DeviceSession session;
        const bool opened = OpenDeviceSession(description, &session);
        CloseDeviceSession(&session);
        if (opened) return true;
    }
    return false;
}

bool GetCustomProperty(DeviceSession* session, const GUID& set, ULONG id, ULONG offset, LONG* value) {
    if (session == nullptr || session->propertySet == nullptr || value == nullptr) return false;
    const ULONG bytes = RequestBytes(set);
    if (offset + sizeof(LONG) > bytes || offset < sizeof(KSPROPERTY)) return false;
    alignas(8) uint8_t buffer[40] = {};
    KSPROPERTY header{};
    header.Set = set;
    header.Id = id;
    header.Flags = KSPROPERTY_TYPE_GET;
    std::memcpy(buffer, &header, sizeof header);
    DWORD returned = 0;
    // The instance data is what follows the header; the answer comes into
    // the whole buffer, as the driver's layouts are written.
    const HRESULT hr = session->propertySet->Get(set, id, buffer + sizeof(KSPROPERTY), bytes - sizeof(KSPROPERTY),
                                                 buffer, bytes, &returned);
    if (FAILED(hr)) return false;
    std::memcpy(value, buffer + offset, sizeof(LONG));
    return true;
}

namespace {
bool SetWords(DeviceSession* session, const GUID& set, ULONG id, ULONG offset, const LONG* words, int count) {
    if (session == nullptr || session->propertySet == nullptr) return false;
    const ULONG bytes = RequestBytes(set);
    if (offset + count * sizeof(LONG) > bytes || offset < sizeof(KSPROPERTY)) return false;
    alignas(8) uint8_t buffer[40] = {};
    KSPROPERTY header{};
    header.Set = set;
    header.Id = id;
    header.Flags = KSPROPERTY_TYPE_SET;
    std::memcpy(buffer, &header, sizeof header);
    std::memcpy(buffer + offset, words, count * sizeof(LONG));
    return SUCCEEDED(session->propertySet->Set(set, id, buffer + sizeof(KSPROPERTY), bytes - sizeof(KSPROPERTY),
                                               buffer, bytes));
}
}  // namespace

bool SetCustomProperty(DeviceSession* session, const GUID& set, ULONG id, ULONG offset, LONG value) {
    return SetWords(session, set, id, offset, &value, 1);
}

bool ReadWhiteBalanceChoice(DeviceSession* session, ControlSetting* s) {
    if (!ReadControl(session, kVideoProcAmp, VideoProcAmp_WhiteBalance, s)) return false;
    const bool automatic = s->autoMode != 0;
    s->minimum = 0;
    s->maximum = 3;
    s->step = 1;
    s->defaultValue = 0;
    s->valid = 0;
    if (automatic) {
        s->value = s->appliedValue = 0;
        s->valid = 1;
        return true;
    }
    LONG preset = 0;
    if (!GetCustomProperty(session, PROPSETID_K0340_CAMERA, KSPROPERTY_K0340_WHITEBALANCE_PRESET, 28, &preset)) {
        return false;
    }
    s->value = s->appliedValue = preset;
    s->valid = 1;
    return true;
}

bool WriteWhiteBalanceChoice(DeviceSession* session, ControlSetting* s) {
    const bool changed = s->value != s->appliedValue;
    if (!WriteControl(session, kVideoProcAmp, VideoProcAmp_WhiteBalance, s)) return false;
    if (changed && s->value >= 1 && s->value <= 3) {
        SetCustomProperty(session, PROPSETID_K0340_CAMERA, KSPROPERTY_K0340_WHITEBALANCE_PRESET, 28, s->value);
    }
    s->appliedValue = s->value;
    return true;
}

bool ReadPowerLineFrequency(DeviceSession* session, ControlSetting* s) {
    if (ReadControl(session, kVideoProcAmp, kProcAmpPowerLineFrequency, s)) return true;
    s->minimum = 1;
    s->maximum = 3;
    s->step = 1;
    s->defaultValue = 2;
    s->flags = s->capsFlags = kFlagManual;
    LONG hertz = 0;
    if (!GetCustomProperty(session, PROPSETID_K0340_CAMERA, KSPROPERTY_K0340_POWERLINE, 28, &hertz)) return false;
    // The camera's 2 (50 Hz) and 3 (60 Hz) are the panel's choices 1 and 2.
    s->value = s->appliedValue = hertz == 2 ? 1 : hertz == 3 ? 2 : 0;
    s->appliedFlags = s->flags;
    s->valid = 1;
    return true;
}

bool WritePowerLineFrequency(DeviceSession* session, ControlSetting* s) {
    bool ok = WriteControl(session, kVideoProcAmp, kProcAmpPowerLineFrequency, s);
    if (!ok && s->valid) {
        const LONG hertz = s->value == 1 ? 2 : s->value == 2 ? 3 : 1;
        ok = SetCustomProperty(session, PROPSETID_K0340_CAMERA, KSPROPERTY_K0340_POWERLINE, 28, hertz);
    }
    s->appliedValue = s->value;
    s->appliedFlags = s->flags;
    return ok;
}

bool ReadMirrorFlip(DeviceSession* session, ControlSetting* mirror, ControlSetting* flip) {
    mirror->valid = flip->valid = 0;
    if (session == nullptr || session->videoControl == nullptr || session->pin == nullptr) return false;
    LONG caps = 0, mode = 0;
    if (FAILED(session->videoControl->GetCaps(session->pin, &caps)) ||
        FAILED(session->videoControl->GetMode(session->pin, &mode))) {
        return false;
    }
    auto fill = [](ControlSetting* c, bool present, bool on) {
        c->minimum = 0;
        c->maximum = 1;
        c->step = 1;
        c->defaultValue = 0;
        c->value = c->appliedValue = on ? 1 : 0;
        c->valid = present ? 1 : 0;
    };
    fill(mirror, (caps & VideoControlFlag_FlipHorizontal) != 0, (mode & VideoControlFlag_FlipHorizontal) != 0);
    fill(flip, (caps & VideoControlFlag_FlipVertical) != 0, (mode & VideoControlFlag_FlipVertical) != 0);
    return true;
}

bool WriteMirrorFlip(DeviceSession* session, ControlSetting* mirror, ControlSetting* flip) {
    const bool changed = (mirror->valid && mirror->value != mirror->appliedValue) ||
                         (flip->valid && flip->value != flip->appliedValue);
    if (!changed) return true;
    if (session == nullptr || session->videoControl == nullptr || session->pin == nullptr) return false;
    const LONG mode = (flip->value ? VideoControlFlag_FlipVertical : 0) |
                      (mirror->value ? VideoControlFlag_FlipHorizontal : 0);
    if (FAILED(session->videoControl->SetMode(session->pin, mode))) return false;
    mirror->appliedValue = mirror->value;
    flip->appliedValue = flip->value;
    return true;
}

bool GetLockState(DeviceSession* session, LONG* locked) {
    LONG state = 0;
    if (!GetCustomProperty(session, PROPSETID_K0340_CAMERA, KSPROPERTY_K0340_PARENTAL_LOCK, 28, &state)) return false;
    *locked = state != 0;
    return true;
}

bool SendLockCommand(DeviceSession* session, ULONG subCommand, ULONG checkValue) {
    const LONG words[2] = {static_cast<LONG>(subCommand), static_cast<LONG>(checkValue)};
    return SetWords(session, PROPSETID_K0340_CAMERA, KSPROPERTY_K0340_PARENTAL_LOCK, 28, words,
                    subCommand == 3 ? 2 : 1);
}

}  // namespace k0340cvw
