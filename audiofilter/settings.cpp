// Settings and device profiles: the fixed defaults of each profile, the
// three registry places, loading at the first create and saving after every
// change. All values are REG_DWORD; a missing value leaves the field as it was.
#include "audiofilter/capture_processor.h"
#include "audiofilter/filter.h"
#include "common/registry_paths.h"
#include "wdm_registry.h"

namespace k0340aud {

namespace {

constexpr char16_t kSenFiltDriver[] = u"\\Driver\\senfilt";
constexpr char16_t kHdAudioBusDriver[] = u"\\Driver\\HDAudBus";
constexpr char16_t kSoftwareKey[] = u"\\Registry\\Machine\\Software";

struct ProfileDefaults {
    Profile profile;
    ULONG arrayInstalled, stereoSupported, echoQuellAvailable, bfa3Available, noiseGuardOn, bfaOn, bfa3On;
    bool bfa3DefaultFixed;  // else from the interface key
    ULONG bfa3Default;
};

// Partners A to C and D's other products have no row of their own: they
// take the row of any other USB device.
constexpr ProfileDefaults kDefaults[] = {
    {.profile = Profile::Camera, .arrayInstalled = 1, .stereoSupported = 1, .echoQuellAvailable = 0, .bfa3Available = 1,
     .noiseGuardOn = 1, .bfaOn = 0, .bfa3On = 1, .bfa3DefaultFixed = true, .bfa3Default = 1},
    {.profile = Profile::Off, .arrayInstalled = 0, .stereoSupported = 0, .echoQuellAvailable = 0, .bfa3Available = 0,
     .noiseGuardOn = 0, .bfaOn = 0, .bfa3On = 0, .bfa3DefaultFixed = false, .bfa3Default = 0},
    {.profile = Profile::PartnerD9, .arrayInstalled = 1, .stereoSupported = 1, .echoQuellAvailable = 1, .bfa3Available = 1,
     .noiseGuardOn = 1, .bfaOn = 1, .bfa3On = 0, .bfa3DefaultFixed = false, .bfa3Default = 0},
    {.profile = Profile::PartnerD10, .arrayInstalled = 1, .stereoSupported = 1, .echoQuellAvailable = 0, .bfa3Available = 1,
     .noiseGuardOn = 1, .bfaOn = 1, .bfa3On = 0, .bfa3DefaultFixed = false, .bfa3Default = 0},
    {.profile = Profile::PartnerE, .arrayInstalled = 1, .stereoSupported = 1, .echoQuellAvailable = 1, .bfa3Available = 1,
     .noiseGuardOn = 1, .bfaOn = 1, .bfa3On = 0, .bfa3DefaultFixed = true, .bfa3Default = 0},
    {.profile = Profile::OtherUsb, .arrayInstalled = 1, .stereoSupported = 1, .echoQuellAvailable = 0, .bfa3Available = 0,
     .noiseGuardOn = 1, .bfaOn = 1, .bfa3On = 0, .bfa3DefaultFixed = false, .bfa3Default = 0},
};

const ProfileDefaults& DefaultsOf(Profile profile) {
    switch (profile) {
        case Profile::PartnerA:
        case Profile::PartnerB:
        case Profile::PartnerC:
        case Profile::PartnerD:
        case Profile::None: profile = Profile::OtherUsb; break;
        default: break;
    }
    for (const ProfileDefaults& row : kDefaults) {
        if (row.profile == profile) return row;
    }
    return kDefaults[5];
}

NTSTATUS OpenKey(const char16_t* path, ACCESS_MASK access, HANDLE* key) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    return ZwOpenKey(key, access, &attributes);
}

NTSTATUS CreateKey(const char16_t* path, size_t length, HANDLE* key) {
    UNICODE_STRING name;
    name.Buffer = const_cast<PWCHAR>(path);
    name.Length = name.MaximumLength = static_cast<USHORT>(length * sizeof(char16_t));
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    return ZwCreateKey(key, KEY_WRITE, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE, nullptr);
}

size_t Length(const char16_t* s) {
    size_t n = 0;
    while (s[n] != 0) ++n;
    return n;
}

// Opens the key for writing, creating it; when the whole path cannot be
// created at once, each missing level below "\Registry\Machine\Software" is
// created in turn and the whole path tried again.
NTSTATUS CreateKeyPath(const char16_t* path, HANDLE* key) {
    const size_t length = Length(path);
    if (NT_SUCCESS(CreateKey(path, length, key))) return STATUS_SUCCESS;
    for (size_t i = Length(kSoftwareKey) + 1; i <= length; ++i) {
        if (i == length || path[i] == u'\\') {
            HANDLE level;
            if (NT_SUCCESS(CreateKey(path, i, &level))) ZwClose(level);
        }
    }
    return CreateKey(path, length, key);
}

// Reads a REG_DWORD's first 32 bits through a 20-byte partial-information query.
bool ReadValue(HANDLE key, const char16_t* valueName, ULONG* value) {
    auto* info = static_cast<KEY_VALUE_PARTIAL_INFORMATION*>(ExAllocatePoolWithTag(PagedPool, 20, kPoolTag));
    if (info == nullptr) return false;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, valueName);
    ULONG returned = 0;
    NTSTATUS status = ZwQueryValueKey(key, &name, KeyValuePartialInformation, info, 20, &returned);
    bool ok = NT_SUCCESS(status) && info->DataLength >= sizeof(ULONG);
    if (ok) RtlCopyMemory(value, info->Data, sizeof(ULONG));
    ExFreePoolWithTag(info, kPoolTag);
    return ok;
}

void WriteValue(HANDLE key, const char16_t* valueName, ULONG value) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, valueName);
    ZwSetValueKey(key, &name, 0, REG_DWORD, &value, sizeof value);
}

bool IsArrayCodec(const FilterExtension* f) { return f->profile == Profile::ArrayCodec; }

const char16_t* ProfileKey(const FilterExtension* f) {
    return IsArrayCodec(f) ? qk::paths::kArraySettingsKeyKernel : qk::paths::kAudioFilterKeyKernel;
}

bool DriverIs(PDEVICE_OBJECT device, const char16_t* driverName) {
    if (device == nullptr || device->DriverObject == nullptr) return false;
    UNICODE_STRING wanted;
    RtlInitUnicodeString(&wanted, driverName);
    return RtlEqualUnicodeString(&device->DriverObject->DriverName, &wanted, TRUE);
}

bool SenFiltAbove(const FilterExtension* f) {
    for (PDEVICE_OBJECT above = f->self->AttachedDevice; above != nullptr; above = above->AttachedDevice) {
        if (DriverIs(above, kSenFiltDriver)) return true;
    }
    return false;
}

}  // namespace

void ReadInterfaceDefaults(FilterExtension* f) {
    HANDLE key;
    if (!NT_SUCCESS(IoOpenDeviceInterfaceRegistryKey(&f->interfaceName, KEY_ALL_ACCESS, &key))) return;
    WriteValue(key, u"Version", 1);
    ULONG value;
    if (ReadValue(key, u"ESEnabled", &value)) f->echoQuellDefault = value;
    if (ReadValue(key, u"BFA3Enabled", &value)) f->bfa3Default = value;
    ZwClose(key);
}

void LoadSettings(FilterExtension* f) {
    if (!f->settingsPending || f->captureProcessor == nullptr || f->deviceDescriptor == nullptr) return;
    f->settingsPending = 0;

    const ProfileDefaults& row = DefaultsOf(f->profile);
    f->arrayInstalled = row.arrayInstalled;
    f->stereoSupported = row.stereoSupported;
    f->echoQuellAvailable = row.echoQuellAvailable;
    f->bfa3Available = row.bfa3Available;
    f->noiseGuardOn = row.noiseGuardOn;
    f->bfaOn = row.bfaOn;
    f->bfa3On = row.bfa3On;
    if (row.bfa3DefaultFixed) f->bfa3Default = row.bfa3Default;
    f->echoQuellOn = 0;
    if (IsArrayCodec(f)) {
        f->arrayInstalled = 0;
        f->noiseGuardOn = f->bfaOn = f->bfa3On = 0;
        f->echoQuellAvailable = 1;
        HANDLE key;
        ULONG value;
        if (NT_SUCCESS(OpenKey(qk::paths::kArraySettingsKeyKernel, KEY_READ, &key))) {
            if (ReadValue(key, u"BeamArray Installed", &value)) f->arrayInstalled = value != 0;
            ZwClose(key);
        }
        f->stereoSupported = 1;  // a missing value means stereo
        if (f->interfaceName.Buffer != nullptr &&
            NT_SUCCESS(IoOpenDeviceInterfaceRegistryKey(&f->interfaceName, KEY_READ, &key))) {
            if (ReadValue(key, u"StereoSupported", &value)) f->stereoSupported = value != 0;
            ZwClose(key);
        }
        f->bfa3Available = f->stereoSupported;
        if (f->echoQuellAvailable && SenFiltAbove(f)) {
            f->echoNeeds16Bit = 0;
            f->echoRateFixed = 1;
        }
    }

    const bool off = f->profile == Profile::Off;
    HANDLE key;
    if (NT_SUCCESS(OpenKey(ProfileKey(f), KEY_READ, &key))) {
        ULONG value;
        if (ReadValue(key, u"BFA", &value)) {
            f->bfaOn = value != 0 && !off && f->stereoSupported && (f->arrayInstalled || f->bfa3Available);
        }
        if (ReadValue(key, u"NoiseGuard", &value)) f->noiseGuardOn = value != 0 && !off;
        if (ReadValue(key, u"BFA3", &value)) {
            f->bfa3On = value != 0 && f->bfa3Available;
        } else {
            f->bfa3On = f->bfa3Default != 0 && f->bfa3Available;
        }
        if (ReadValue(key, u"EchoQuell", &value)) {
            f->echoQuellOn = value != 0 && f->echoQuellAvailable;
        } else {
            f->echoQuellOn = f->echoQuellDefault != 0 && f->echoQuellAvailable;
        }
        if (f->echoRateFixed || DriverIs(f->physicalDevice, kHdAudioBusDriver)) {
            f->echoQuellRate = 48000;
        } else if (ReadValue(key, u"EchoQuellSampleRate", &value)) {
            f->echoQuellRate = value;
        }
        if (ReadValue(key, u"PushToTalk Enabled", &value)) f->pushToTalkOn = value;
        if (ReadValue(key, u"MicBoost", &value)) f->micBoost = value >= 2 && value <= 20 ? value : 0;
        ZwClose(key);
    }
    CaptureProcessor* p = f->captureProcessor;
    p->SetFeature(FEATURE_BFA, f->bfaOn);
    p->SetFeature(FEATURE_NOISEGUARD, f->noiseGuardOn);
    p->SetFeature(FEATURE_BFA3, f->bfa3On);
    p->SetFeature(FEATURE_ECHOQUELL, f->echoQuellOn);
}

void SaveSettings(FilterExtension* f) {
    HANDLE key;
    if (!NT_SUCCESS(CreateKeyPath(ProfileKey(f), &key))) return;
    WriteValue(key, u"BFA", f->bfaOn);
    WriteValue(key, u"NoiseGuard", f->noiseGuardOn);
    WriteValue(key, u"BFA3", f->bfa3On);
    WriteValue(key, u"EchoQuell", f->echoQuellOn);
    WriteValue(key, u"EchoQuellSampleRate", f->echoQuellRate);
    ZwClose(key);
}

void LoadFormatOverride(FilterExtension* f, bool capture) {
    if (f->profile != Profile::ArrayCodec || f->interfaceName.Buffer == nullptr) return;
    HANDLE key;
    if (!NT_SUCCESS(IoOpenDeviceInterfaceRegistryKey(&f->interfaceName, KEY_READ, &key))) return;
    ULONG bits = 0, rate = 0, channels = 0;
    ReadValue(key, capture ? u"RecordSampleSize" : u"PlaybackSampleSize", &bits);
    ReadValue(key, capture ? u"RecordSampleRate" : u"PlaybackSampleRate", &rate);
    ReadValue(key, capture ? u"RecordNumChannels" : u"PlaybackNumChannels", &channels);
    ZwClose(key);
    // Zero (or missing) keeps what the pin was created with.
    if (capture) {
        if (bits) f->captureBits = bits;
        if (rate) f->captureRate = static_cast<USHORT>(rate);
        if (channels) f->captureChannels = static_cast<LONG>(channels);
    } else {
        if (bits) f->renderBits = bits;
        if (rate) f->renderRate = static_cast<USHORT>(rate);
        if (channels) f->renderChannels = static_cast<LONG>(channels);
    }
}

void WriteStreamOpen(ULONG value) {
    HANDLE key;
    if (!NT_SUCCESS(CreateKeyPath(qk::paths::kAudioFilterKeyKernel, &key))) return;
    WriteValue(key, u"AudioStreamOpen", value);
    ZwClose(key);
}

void WriteArrayInstalled(ULONG value) {
    HANDLE key;
    if (!NT_SUCCESS(CreateKeyPath(qk::paths::kArraySettingsKeyKernel, &key))) return;
    WriteValue(key, u"BeamArray Installed", value);
    ZwClose(key);
}

}  // namespace k0340aud
