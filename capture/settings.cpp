// Settings kept in the registry: the camera's picture settings and the face
// tracking choices in the device's driver key, the effects library's tuning
// and the parental-lock flag under the product key, the console's check value
// under the 32-bit view of the product key. Values are REG_DWORDs read and
// written in batches; a missing value leaves the setting as it is.
#include <cstdio>
#include <cstring>

#include "capture/k0340dev.h"
#include "capture/k0340_props.h"
#include "common/registry_paths.h"

namespace k0340 {
namespace {

constexpr ACCESS_MASK kDeviceKeyAccess = 0x1F0000;
constexpr ULONG kValueBytes = sizeof(ULONG);

// Opens one store; the caller closes the handle.
NTSTATUS OpenStore(UsbCameraDevice* d, SettingsStore store, HANDLE* key) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) return STATUS_INVALID_DEVICE_STATE;
    if (store == SettingsStore::DeviceKey) {
        if (d->ks == nullptr || d->ks->PhysicalDeviceObject == nullptr) return STATUS_INVALID_DEVICE_STATE;
        return IoOpenDeviceRegistryKey(d->ks->PhysicalDeviceObject, PLUGPLAY_REGKEY_DRIVER, kDeviceKeyAccess, key);
    }
    // The product key is named by the configuration base name up to its first
    // '.'; a base name without one names no key.
    if (std::strchr(d->configurationBaseName, '.') == nullptr || d->keyName[0] == 0) return STATUS_OBJECT_NAME_INVALID;
    WCHAR path[300];
    const char16_t* base = store == SettingsStore::ProductKey ? qk::paths::kProductKeyBaseKernel
                                                              : qk::paths::kConsoleKeyBaseKernel;
    size_t n = 0;
    for (; base[n] && n < 299; ++n) path[n] = base[n];
    for (size_t i = 0; d->keyName[i] && n < 299; ++i) path[n++] = static_cast<WCHAR>(d->keyName[i]);
    if (store == SettingsStore::ConsoleKey) {
        for (const char16_t* p = u"\\Console"; *p && n < 299; ++p) path[n++] = *p;
    }
    path[n] = 0;
    // Each level is created when it is missing (the key may be new, and its
    // parents too on a fresh machine).
    HANDLE parent = nullptr;
    size_t start = 0;
    NTSTATUS status = STATUS_OBJECT_NAME_INVALID;
    constexpr size_t kRootLength = 18;  // "\Registry\Machine\" opens as one level
    for (size_t i = kRootLength; i <= n; ++i) {
        if (i < n && path[i] != u'\\') continue;
        UNICODE_STRING name;
        name.Buffer = path + (parent ? start : 0);
        name.Length = static_cast<USHORT>((i - (parent ? start : 0)) * sizeof(WCHAR));
        name.MaximumLength = name.Length;
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, parent, nullptr);
        HANDLE next = nullptr;
        ACCESS_MASK access = i == n && store == SettingsStore::ConsoleKey ? KEY_WRITE : KEY_ALL_ACCESS;
        status = ZwCreateKey(&next, access, &attributes, 0, nullptr, 0, nullptr);
        if (parent != nullptr) ZwClose(parent);
        if (!NT_SUCCESS(status)) return status;
        parent = next;
        start = i + 1;
    }
    if (parent == nullptr) return STATUS_OBJECT_NAME_INVALID;
    *key = parent;
    return STATUS_SUCCESS;
}

// Opens (or, when writing, creates) each level of a subkey path below `root`.
NTSTATUS OpenSubkey(HANDLE root, const char* subkey, bool create, HANDLE* key) {
    HANDLE current = root;
    size_t length = strnlen(subkey, 30);
    if (length >= 30) return STATUS_OBJECT_NAME_INVALID;
    size_t start = 0;
    for (size_t i = 0; i <= length; ++i) {
        if (i < length && subkey[i] != '\\') continue;
        if (i == start) {  // empty level (none at all, or doubled separators)
            start = i + 1;
            continue;
        }
        WCHAR level[30];
        size_t n = i - start;
        for (size_t k = 0; k < n; ++k) level[k] = static_cast<WCHAR>(static_cast<UCHAR>(subkey[start + k]));
        UNICODE_STRING name{static_cast<USHORT>(n * 2), static_cast<USHORT>(n * 2), level};
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, current, nullptr);
        HANDLE next = nullptr;
        NTSTATUS status = create ? ZwCreateKey(&next, KEY_ALL_ACCESS, &attributes, 0, nullptr, 0, nullptr)
                                 : ZwOpenKey(&next, KEY_ALL_ACCESS, &attributes);
        if (current != root) ZwClose(current);
        if (!NT_SUCCESS(status)) return status;
        current = next;
        start = i + 1;
    }
    *key = current;
    return STATUS_SUCCESS;
}

ULONG RegistryType(ULONG type) {
    switch (type) {
        case 3: return REG_DWORD;
        case 1: return REG_NONE;
        case 2: return REG_BINARY;
        case 5: return REG_MULTI_SZ;
        default: return REG_SZ;
    }
}

VOID ValueName(const char* name, WCHAR* out, UNICODE_STRING* string) {
    size_t n = strnlen(name, 29);
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<WCHAR>(static_cast<UCHAR>(name[i]));
    out[n] = 0;
    string->Buffer = out;
    string->Length = string->MaximumLength = static_cast<USHORT>(n * 2);
}

// Reads one value: the data is copied only when it fits the caller's length;
// the stored length is reported either way.
NTSTATUS ReadOne(HANDLE root, const SettingsEntry& e) {
    HANDLE key;
    NTSTATUS status = OpenSubkey(root, e.subkey, false, &key);
    if (!NT_SUCCESS(status)) return status;
    WCHAR nameBuffer[30];
    UNICODE_STRING name;
    ValueName(e.valueName, nameBuffer, &name);
    ULONG expected = e.length ? *e.length : 0;
    ULONG size = name.Length + 24 + expected;
    auto* info = static_cast<KEY_VALUE_FULL_INFORMATION*>(Allocate(size));
    ULONG needed = 0;
    status = info ? ZwQueryValueKey(key, &name, KeyValueFullInformation, info, size, &needed) : STATUS_INSUFFICIENT_RESOURCES;
    if (status == STATUS_BUFFER_OVERFLOW || status == STATUS_BUFFER_TOO_SMALL) {
        Free(info);
        size = needed;
        info = static_cast<KEY_VALUE_FULL_INFORMATION*>(Allocate(size));
        status = info ? ZwQueryValueKey(key, &name, KeyValueFullInformation, info, size, &needed)
                      : STATUS_INSUFFICIENT_RESOURCES;
    }
    if (NT_SUCCESS(status)) {
        ULONG stored = info->DataLength;
        if (stored <= expected && info->DataOffset <= size && stored <= size - info->DataOffset) {
            std::memcpy(e.value, reinterpret_cast<UCHAR*>(info) + info->DataOffset, stored);
        }
        if (e.length) *e.length = stored;
    }
    Free(info);
    if (key != root) ZwClose(key);
    return status;
}

NTSTATUS WriteOne(HANDLE root, const SettingsEntry& e) {
    HANDLE key;
    NTSTATUS status = OpenSubkey(root, e.subkey, true, &key);
    if (!NT_SUCCESS(status)) return status;
    WCHAR nameBuffer[30];
    UNICODE_STRING name;
    ValueName(e.valueName, nameBuffer, &name);
    status = ZwSetValueKey(key, &name, 0, RegistryType(e.type), e.value, e.length ? *e.length : 0);
    if (key != root) ZwClose(key);
    return status;
}

SettingsEntry Dword(const char* subkey, const char* name, PVOID value, ULONG* length) {
    SettingsEntry e{};
    std::snprintf(e.subkey, sizeof e.subkey, "%s", subkey);
    std::snprintf(e.valueName, sizeof e.valueName, "%s", name);
    e.type = 3;
    e.value = value;
    e.length = length;
    return e;
}

constexpr char kVideoProcAmp[] = "Settings\\VideoProcAmp";
constexpr char kCameraControl[] = "Settings\\CameraControl";
constexpr char kVpe[] = "Settings\\VPE";

// The 18 picture settings in table order.
struct PictureValues {
    LONG brightness, contrast, hue, saturationLevel, sharpness, gamma, flipValue, whiteBalanceFlag, backlight,
        whiteBalance, exposureFlag, exposure, focusFlag, focus, focusArea, powerLine, focusScale, focusWindows;
};
constexpr ULONG kPictureValueCount = 18;
static_assert(sizeof(PictureValues) == kPictureValueCount * sizeof(LONG));

VOID PictureEntries(PictureValues* v, ULONG* lengths, SettingsEntry* e) {
    struct Row {
        const char* subkey;
        const char* name;
        LONG* field;
    };
    const Row rows[kPictureValueCount] = {
        {kVideoProcAmp, "Brightness", &v->brightness},      {kVideoProcAmp, "Contrast", &v->contrast},
        {kVideoProcAmp, "Hue", &v->hue},                    {kVideoProcAmp, "Saturation", &v->saturationLevel},
        {kVideoProcAmp, "Sharpness", &v->sharpness},        {kVideoProcAmp, "Gamma", &v->gamma},
        {kVideoProcAmp, "FlipValue", &v->flipValue},        {kVideoProcAmp, "WhiteBalanceFlag", &v->whiteBalanceFlag},
        {kVideoProcAmp, "Backlight", &v->backlight},        {kVideoProcAmp, "WhiteBalance", &v->whiteBalance},
        {kCameraControl, "ExposureFlag", &v->exposureFlag}, {kCameraControl, "Exposure", &v->exposure},
        {kCameraControl, "FocusFlag", &v->focusFlag},       {kCameraControl, "Focus", &v->focus},
        {kCameraControl, "FocusArea", &v->focusArea},       {kCameraControl, "PowerlineFreq", &v->powerLine},
        {kCameraControl, "FocusScale", &v->focusScale},     {kCameraControl, "FocusWindows", &v->focusWindows},
    };
    for (ULONG i = 0; i < kPictureValueCount; ++i) {
        lengths[i] = kValueBytes;
        e[i] = Dword(rows[i].subkey, rows[i].name, rows[i].field, &lengths[i]);
    }
}

bool Offered(const CameraContext* c, int control) { return CapabilityFor(c, control) != nullptr; }

}  // namespace

int ReadSettings(UsbCameraDevice* d, SettingsStore store, SettingsEntry* entries, ULONG count) {
    HANDLE root;
    if (!NT_SUCCESS(OpenStore(d, store, &root))) return -1;
    int result = 0;
    for (ULONG i = 0; i < count; ++i) {
        if (!NT_SUCCESS(ReadOne(root, entries[i]))) {
            result = -1;
            break;
        }
    }
    ZwClose(root);
    return result;
}

int WriteSettings(UsbCameraDevice* d, SettingsStore store, const SettingsEntry* entries, ULONG count) {
    HANDLE root;
    if (!NT_SUCCESS(OpenStore(d, store, &root))) return -1;
    int result = 0;
    for (ULONG i = 0; i < count; ++i) {
        if (!NT_SUCCESS(WriteOne(root, entries[i]))) {
            result = -1;
            break;
        }
    }
    ZwClose(root);
    return result;
}

int LoadPictureSettings(UsbCameraDevice* d) {
    CameraContext* c = d->GetCameraContext();
    if (c == nullptr) return -1;
    PictureValues v{};
    ULONG lengths[kPictureValueCount];
    SettingsEntry entries[kPictureValueCount];
    PictureEntries(&v, lengths, entries);
    bool complete = ReadSettings(d, SettingsStore::DeviceKey, entries, kPictureValueCount) == 0;
    for (ULONG i = 0; complete && i < kPictureValueCount; ++i) complete = lengths[i] == kValueBytes;
    if (!complete) {
        // Nothing stored yet (or only part of it): the camera keeps what it
        // reported, with the two settings it does not start with.
        if (Offered(c, kFocusScale)) {
            WriteRegister(c, 0x8102, 2);
            c->controls[kFocusScale].current = 2;
        }
        if (Offered(c, kSaturation)) {
            WriteSaturationLevel(c, 4);
            c->controls[kSaturation].current = 4;
        }
        return -1;
    }
    // Stored values go to the camera in table order; a control the camera
    // lacks is skipped and a refused value leaves the camera as it was.
    // A value the control cannot take (an old or hand-edited registry) leaves
    // the camera's own.
    auto send = [&](int control, LONG value, auto write) {
        if (!Offered(c, control) || !StoredValueAllowed(c, control, value)) return;
        c->controls[control].current = value;
        write(value);
    };
    auto unit = [&](int control) { return [c, control](LONG value) { WriteUnitControl(c, control, value); }; };
    send(kBrightness, v.brightness, unit(kBrightness));
    send(kContrast, v.contrast, unit(kContrast));
    send(kHue, v.hue, unit(kHue));
    send(kSaturation, v.saturationLevel, [c](LONG level) { WriteSaturationLevel(c, level); });
    send(kSharpness, v.sharpness, unit(kSharpness));
    send(kGamma, v.gamma, unit(kGamma));
    if (Offered(c, kMirrorHorizontal)) WriteMirrorBits(c, static_cast<USHORT>(v.flipValue & 3));
    if (v.whiteBalanceFlag == 1 || v.whiteBalanceFlag == 2) {
        c->controls[kWhiteBalance].flags = v.whiteBalanceFlag;
        c->whiteBalanceModeFlags = v.whiteBalanceFlag;
        if (c->controls[kWhiteBalance].capabilities & 1) WriteWhiteBalanceAuto(c, v.whiteBalanceFlag);
    }
    send(kBacklight, v.backlight, unit(kBacklight));
    // The temperature goes out even in automatic mode, where the camera may refuse it.
    send(kWhiteBalance, v.whiteBalance, [c](LONG kelvin) { WriteWhiteBalanceTemperature(c, kelvin); });
    if ((v.exposureFlag == 1 || v.exposureFlag == 2) && v.exposureFlag != c->exposureModeFlags &&
        (c->controls[kExposure].capabilities & 1)) {
        SetExposureMode(c, v.exposureFlag);
    }
    if (v.exposureFlag == 1 || v.exposureFlag == 2) c->controls[kExposure].flags = v.exposureFlag;
    send(kExposure, v.exposure, [c](LONG units) { WriteExposure(c, units); });
    if ((v.focusFlag == 1 || v.focusFlag == 2) && v.focusFlag != c->focusModeFlags &&
        (c->controls[kFocus].capabilities & 1)) {
        SetFocusMode(c, v.focusFlag);
    }
    if (v.focusFlag == 1 || v.focusFlag == 2) c->controls[kFocus].flags = v.focusFlag;
    send(kFocus, v.focus, [c](LONG position) { WriteFocusPosition(c, position); });
    send(kFocusArea, v.focusArea, [c](LONG area) { WriteFocusArea(c, area); });
    send(kPowerLine, v.powerLine, [c](LONG value) { WritePowerLine(c, value); });
    send(kFocusScale, v.focusScale, [c](LONG value) { WriteRegister(c, 0x8102, static_cast<UCHAR>(value)); });
    send(kFocusWindows, v.focusWindows, [c](LONG value) { WriteRegister(c, 0x8101, static_cast<UCHAR>(value)); });
    return 0;
}

int SavePictureSettings(UsbCameraDevice* d) {
    CameraContext* c = d->GetCameraContext();
    if (c == nullptr) return -1;
    const ControlState* s = c->controls;
    // Exposure and focus are also written by the deferred exposure kick.
    PictureValues v{s[kBrightness].current,     s[kContrast].current,   s[kHue].current,
                    s[kSaturation].current,     s[kSharpness].current,  s[kGamma].current,
                    c->mirrorBits,              s[kWhiteBalance].flags, s[kBacklight].current,
                    s[kWhiteBalance].current,   Load(s[kExposure].flags), Load(s[kExposure].current),
                    Load(s[kFocus].flags),      Load(s[kFocus].current), s[kFocusArea].current,
                    s[kPowerLine].current,      s[kFocusScale].current, s[kFocusWindows].current};
    ULONG lengths[kPictureValueCount];
    SettingsEntry entries[kPictureValueCount];
    PictureEntries(&v, lengths, entries);
    return WriteSettings(d, SettingsStore::DeviceKey, entries, kPictureValueCount);
}

int LoadFaceTracking(UsbCameraDevice* d) {
    CameraContext* c = d->GetCameraContext();
    EffectsState* e = c ? c->effects : nullptr;
    if (e == nullptr) return -1;
    e->mirror = 0;
    e->trackingMode = 0;
    e->zoom = 50;
    e->pan = e->tilt = 0;
    LONG mode = 0, speed = 1, pip = 0, autoZoom = 1, zoom = 50, pan = 0, tilt = 0;
    ULONG lengths[7];
    SettingsEntry one[4] = {Dword(kVpe, "FaceTrackingMode", &mode, &lengths[0]),
                            Dword(kVpe, "FaceTrackingSpeed", &speed, &lengths[1]),
                            Dword(kVpe, "FaceTrackingPIP", &pip, &lengths[2]),
                            Dword(kVpe, "FaceTrackingAutoZoom", &autoZoom, &lengths[3])};
    SettingsEntry two[3] = {Dword(kVpe, "Zoom", &zoom, &lengths[4]), Dword(kVpe, "Pan", &pan, &lengths[5]),
                            Dword(kVpe, "Tilt", &tilt, &lengths[6])};
    for (ULONG& length : lengths) length = kValueBytes;
    if (ReadSettings(d, SettingsStore::DeviceKey, one, 4) != 0) {
        mode = 0, speed = 1, pip = 0, autoZoom = 1;
    }
    if (ReadSettings(d, SettingsStore::DeviceKey, two, 3) != 0) zoom = 50, pan = 0, tilt = 0;
    // Stored values come from a registry anyone can edit: out-of-range ones
    // keep the defaults rather than reaching the library's arithmetic.
    auto within = [](LONG v, LONG lo, LONG hi, LONG fallback) { return v >= lo && v <= hi ? v : fallback; };
    e->trackingMode = within(mode, 0, 2, 0);
    e->speed = within(speed, 0, 2, 1);
    e->pictureInPicture = within(pip, 0, 2, 0);
    e->autoZoom = within(autoZoom, 0, 1, 1);
    e->zoom = within(zoom, 50, 100, 50);
    e->pan = within(pan, -50, 50, 0);
    e->tilt = within(tilt, -50, 50, 0);
    e->rememberedZoom = e->zoom;
    e->rememberedPan = e->pan;
    e->rememberedTilt = e->tilt;
    return LoadTuning(d);
}

int SaveFaceTracking(UsbCameraDevice* d) {
    CameraContext* c = d->GetCameraContext();
    EffectsState* e = c ? c->effects : nullptr;
    if (e == nullptr) return -1;
    LONG values[7] = {e->trackingMode, e->speed, e->pictureInPicture, e->autoZoom, e->zoom, e->pan, e->tilt};
    ULONG lengths[7];
    for (ULONG& length : lengths) length = kValueBytes;
    const SettingsEntry one[4] = {Dword(kVpe, "FaceTrackingMode", &values[0], &lengths[0]),
                                  Dword(kVpe, "FaceTrackingSpeed", &values[1], &lengths[1]),
                                  Dword(kVpe, "FaceTrackingPIP", &values[2], &lengths[2]),
                                  Dword(kVpe, "FaceTrackingAutoZoom", &values[3], &lengths[3])};
    const SettingsEntry two[3] = {Dword(kVpe, "Zoom", &values[4], &lengths[4]), Dword(kVpe, "Pan", &values[5], &lengths[5]),
                                  Dword(kVpe, "Tilt", &values[6], &lengths[6])};
    int a = WriteSettings(d, SettingsStore::DeviceKey, one, 4);
    int b = WriteSettings(d, SettingsStore::DeviceKey, two, 3);
    return a == 0 && b == 0 ? 0 : -1;
}

int LoadTuning(UsbCameraDevice* d) {
    CameraContext* c = d->GetCameraContext();
    EffectsState* e = c ? c->effects : nullptr;
    if (e == nullptr || e->context == nullptr) return -1;
    HANDLE root;
    if (!NT_SUCCESS(OpenStore(d, SettingsStore::ProductKey, &root))) return -1;
    // "100", "101", "200".."225", "230".."235": each value found becomes that attribute.
    static constexpr LONG kRanges[][2] = {{100, 101}, {200, 225}, {230, 235}};
    for (const auto& range : kRanges) {
        for (LONG id = range[0]; id <= range[1]; ++id) {
            LONG value = 0;
            ULONG length = kValueBytes;
            char name[16];
            std::snprintf(name, sizeof name, "%ld", static_cast<long>(id));
            SettingsEntry entry = Dword("", name, &value, &length);
            if (!NT_SUCCESS(ReadOne(root, entry)) || length != kValueBytes) continue;
            KIRQL old;
            KeAcquireSpinLock(&e->lock, &old);
            vpeSetAttrib(e->context, id, value);
            KeReleaseSpinLock(&e->lock, old);
        }
    }
    ZwClose(root);
    return 0;
}

int WriteConsoleValue(UsbCameraDevice* d, ULONG value) {
    ULONG length = kValueBytes;
    SettingsEntry entry = Dword("", "Reserved2", &value, &length);
    return WriteSettings(d, SettingsStore::ConsoleKey, &entry, 1);
}

int UsbCameraDevice::ReadLockFlag() {
    LONG enabled = 1;
    ULONG length = kValueBytes;
    SettingsEntry entry = Dword("", "Reserved", &enabled, &length);
    // Missing means enabled: a camera nobody configured stays locked.
    if (ReadSettings(this, SettingsStore::ProductKey, &entry, 1) != 0 || length != kValueBytes) enabled = 1;
    Store(lock.enabled, static_cast<BOOLEAN>(enabled != 0));
    return 0;
}

int UsbCameraDevice::WriteLockFlag() {
    LONG enabled = lock.enabled ? 1 : 0;
    ULONG length = kValueBytes;
    SettingsEntry entry = Dword("", "Reserved", &enabled, &length);
    return WriteSettings(this, SettingsStore::ProductKey, &entry, 1);
}

int UsbCameraDevice::LoadPrivacy() {
    LONG value = 0;
    ULONG length = kValueBytes;
    SettingsEntry entry = Dword("", "Privacy", &value, &length);
    if (ReadSettings(this, SettingsStore::DeviceKey, &entry, 1) != 0 || length != kValueBytes) value = 0;
    Store(privacyValue, static_cast<LONG>(value == 1 ? 1 : 0));
    return 0;
}

int UsbCameraDevice::SavePrivacy() {
    LONG value = privacyValue;
    ULONG length = kValueBytes;
    SettingsEntry entry = Dword("", "Privacy", &value, &length);
    return WriteSettings(this, SettingsStore::DeviceKey, &entry, 1);
}

}  // namespace k0340
