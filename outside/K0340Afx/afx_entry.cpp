// The audio effects library's instances. An instance belongs to one audio
// device; the device's choice (on or off, which effect) lives in the registry
// so that every panel and every recording of the machine sees the same one.
// Handles are numbers the library hands out, never addresses, so a stale or
// made-up handle is refused instead of followed.
#include "outside/K0340Afx/afx_entry.h"

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "outside/K0340Afx/effects.h"
#include "outside/K0340Afx/k0340afx.h"
#include "winreg.h"

namespace k0340afx {
namespace {

// A recording re-reads the stored choice once a second of audio, so a panel
// switching the effect is heard without the recorder holding a panel.
constexpr ULONG kRereadSeconds = 1;

struct Instance {
    std::string deviceName;
    EffectState state{};
    EffectProcessor processor;
    ULONGLONG framesSinceRead = 0;
};

struct Instances {
    std::mutex lock;  // guards the table and every instance in it
    std::map<uintptr_t, std::unique_ptr<Instance>> table;
    uintptr_t next = 0x0AF0001;
};

Instances& All() {
    static Instances instances;
    return instances;
}

// Registry key names cannot hold a backslash; device names can.
std::string DeviceKey(const std::string& deviceName) {
    std::string key = std::string(kDevicesKey) + "\\";
    for (char c : deviceName) key += c == '\\' ? '#' : c;
    return key;
}

int IndexOfKey(const char* key) {
    const auto effects = Effects();
    for (size_t i = 0; i < effects.size(); ++i) {
        if (std::strcmp(effects[i].key, key) == 0) return static_cast<int>(i);
    }
    return -1;
}

// A missing or unreadable record, or one naming an effect this library does
// not have, reads as "off, first effect".
EffectState ReadState(const std::string& deviceName) {
    EffectState state{};
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, DeviceKey(deviceName).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return state;
    }
    DWORD enabled = 0, type = 0, bytes = sizeof enabled;
    if (RegQueryValueExA(key, "Enabled", nullptr, &type, reinterpret_cast<BYTE*>(&enabled), &bytes) != ERROR_SUCCESS ||
        type != REG_DWORD || bytes != sizeof enabled) {
        enabled = 0;
    }
    char effect[sizeof EffectRecord::key] = {};
    bytes = sizeof effect - 1;
    int index = -1;
    if (RegQueryValueExA(key, "Effect", nullptr, &type, reinterpret_cast<BYTE*>(effect), &bytes) == ERROR_SUCCESS &&
        type == REG_SZ) {
        effect[std::min<size_t>(bytes, sizeof effect - 1)] = 0;
        index = IndexOfKey(effect);
    }
    RegCloseKey(key);
    if (index >= 0) {
        state.enabled = enabled != 0;
        state.selected = static_cast<ULONG>(index);
    }
    return state;
}

LONG WriteState(const std::string& deviceName, const EffectState& state) {
    HKEY key;
    LONG error = RegCreateKeyExA(HKEY_LOCAL_MACHINE, DeviceKey(deviceName).c_str(), 0, nullptr, 0, KEY_WRITE,
                                 nullptr, &key, nullptr);
    if (error != ERROR_SUCCESS) return error;
    const DWORD enabled = state.enabled;
    const char* effect = Effects()[state.selected].key;
    // The effect first: a record cut short between the two writes is then
    // at worst "the new effect, old on/off".
    error = RegSetValueExA(key, "Effect", 0, REG_SZ, reinterpret_cast<const BYTE*>(effect),
                           static_cast<DWORD>(std::strlen(effect) + 1));
    if (error == ERROR_SUCCESS) {
        error = RegSetValueExA(key, "Enabled", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&enabled), sizeof enabled);
    }
    RegCloseKey(key);
    return error;
}

Instance* Find(Instances& all, HANDLE handle) {
    auto it = all.table.find(reinterpret_cast<uintptr_t>(handle));
    return it == all.table.end() ? nullptr : it->second.get();
}

LONG Open(OpenBlock* block) {
    const char* end = static_cast<const char*>(std::memchr(block->deviceName, 0, sizeof block->deviceName));
    if (end == nullptr || end == block->deviceName) return ERROR_INVALID_PARAMETER;
    auto instance = std::make_unique<Instance>();
    instance->deviceName.assign(block->deviceName, static_cast<size_t>(end - block->deviceName));
    instance->state = ReadState(instance->deviceName);
    Instances& all = All();
    std::lock_guard guard(all.lock);
    const uintptr_t handle = all.next++;
    all.table.emplace(handle, std::move(instance));
    block->instance = reinterpret_cast<HANDLE>(handle);
    return ERROR_SUCCESS;
}

LONG List(Instance& instance, EffectList* list) {
    const auto effects = Effects();
    instance.state = ReadState(instance.deviceName);
    const ULONG room = list->count;
    list->count = static_cast<ULONG>(effects.size());
    list->state = instance.state;
    if (room < effects.size() || list->records == nullptr) return ERROR_MORE_DATA;
    for (size_t i = 0; i < effects.size(); ++i) {
        EffectRecord& record = list->records[i];
        std::memset(&record, 0, sizeof record);
        record.size = sizeof record;
        std::strncpy(record.key, effects[i].key, sizeof record.key - 1);
        std::strncpy(record.displayName, effects[i].displayName, sizeof record.displayName - 1);
        record.kind = static_cast<ULONG>(effects[i].kind);
    }
    return ERROR_SUCCESS;
}

LONG Apply(Instance& instance, const EffectState* wanted) {
    if (wanted->selected >= Effects().size()) return ERROR_INVALID_PARAMETER;
    const EffectState state{.enabled = wanted->enabled != 0, .selected = wanted->selected};
    // Kept only once stored: a choice the registry refused is not pretended.
    const LONG error = WriteState(instance.deviceName, state);
    if (error == ERROR_SUCCESS) instance.state = state;
    return error;
}

}  // namespace

LONG EntryPoint(HANDLE handle, ULONG command, void* block) {
    if (command == kGetVersion) {
        if (block == nullptr) return ERROR_INVALID_PARAMETER;
        *static_cast<ULONG*>(block) = kLibraryVersion;
        return ERROR_SUCCESS;
    }
    if (command == kOpenInstance) {
        return block == nullptr ? ERROR_INVALID_PARAMETER : Open(static_cast<OpenBlock*>(block));
    }
    Instances& all = All();
    std::unique_lock guard(all.lock);
    Instance* instance = Find(all, handle);
    if (instance == nullptr) {
        return command >= kCloseInstance && command <= kGetState ? ERROR_INVALID_HANDLE : ERROR_INVALID_FUNCTION;
    }
    switch (command) {
        case kCloseInstance: all.table.erase(reinterpret_cast<uintptr_t>(handle)); return ERROR_SUCCESS;
        case kListEffects:
            return block == nullptr ? ERROR_INVALID_PARAMETER : List(*instance, static_cast<EffectList*>(block));
        case kApply:
            return block == nullptr ? ERROR_INVALID_PARAMETER : Apply(*instance, static_cast<const EffectState*>(block));
        case kGetState:
            if (block == nullptr) return ERROR_INVALID_PARAMETER;
            instance->state = ReadState(instance->deviceName);
            *static_cast<EffectState*>(block) = instance->state;
            return ERROR_SUCCESS;
        default: return ERROR_INVALID_FUNCTION;
    }
}

LONG Process(HANDLE handle, SHORT* samples, ULONG frames, ULONG channels, ULONG rateHz) {
    if (channels == 0 || channels > kMaxChannels || rateHz < kMinRateHz || rateHz > kMaxRateHz ||
        (samples == nullptr && frames != 0)) {
        return ERROR_INVALID_PARAMETER;
    }
    Instances& all = All();
    std::lock_guard guard(all.lock);
    Instance* instance = Find(all, handle);
    if (instance == nullptr) return ERROR_INVALID_HANDLE;
    if (instance->framesSinceRead >= static_cast<ULONGLONG>(rateHz) * kRereadSeconds) {
        instance->state = ReadState(instance->deviceName);
        instance->framesSinceRead = 0;
    }
    instance->framesSinceRead += frames;
    if (!instance->state.enabled) return ERROR_SUCCESS;
    instance->processor.Configure(Effects()[instance->state.selected].kind, rateHz, channels);
    instance->processor.Process(samples, frames);
    return ERROR_SUCCESS;
}

FARPROC LookupExport(const char* name) {
    if (name == nullptr) return nullptr;
    // Through void*, as GetProcAddress hands out every export.
    if (std::strcmp(name, "luAFXEntryPoint") == 0) return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&EntryPoint));
    if (std::strcmp(name, "luAFXProcess") == 0) return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&Process));
    return nullptr;
}

}  // namespace k0340afx

extern "C" __attribute__((visibility("default"))) LONG luAFXEntryPoint(HANDLE instance, ULONG command, void* block) {
    return k0340afx::EntryPoint(instance, command, block);
}

extern "C" __attribute__((visibility("default"))) LONG luAFXProcess(HANDLE instance, SHORT* samples, ULONG frames,
                                                                    ULONG channels, ULONG rateHz) {
    return k0340afx::Process(instance, samples, frames, channels, rateHz);
}
