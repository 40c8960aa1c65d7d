// The camera manager's installation commands. Blocks come from other
// libraries: every string must end inside its field, every count stay within
// what a block of that kind can hold, and a name must be usable as a key
// name; anything else is refused whole, with nothing stored.
#include "outside/LuCamMgr/lucammgr.h"

#include <atomic>
#include <cstring>
#include <string>

#include "windows.h"
#include "winreg.h"

namespace lucammgr {
namespace {

constexpr uint32_t kOpen = 0x202;
constexpr uint32_t kClose = 0x203;
constexpr uint32_t kRegisterViewers = 0x204;
constexpr uint32_t kUnregisterViewers = 0x205;
constexpr uint32_t kAttachViewer = 0x206;
constexpr uint32_t kDetachDevice = 0x207;
constexpr uint32_t kVersion = 0x101;

constexpr size_t kViewerRecordBytes = 144;
constexpr size_t kDeviceViewerRecordBytes = 388;
constexpr char kRoot[] = "Software\\Lumora Tech\\Camera Manager";

std::atomic<int> g_sessions{0};

uint32_t Word(const uint8_t* block, size_t offset) {
    uint32_t w;
    std::memcpy(&w, block + offset, sizeof w);
    return w;
}

// The NUL-terminated text of a fixed field; false when it does not end
// inside the field or is empty.
bool Field(const uint8_t* block, size_t offset, size_t bytes, std::string* text) {
    const char* p = reinterpret_cast<const char*>(block + offset);
    const size_t n = strnlen(p, bytes);
    if (n == 0 || n == bytes) return false;
    text->assign(p, n);
    return true;
}

bool KeyName(const std::string& name) {
    if (name.size() > 255) return false;
    for (unsigned char c : name) {
        if (c < 0x20 || c == '\\') return false;
    }
    return true;
}

std::string DeviceKeyName(std::string id) {
    for (char& c : id) {
        if (c == '\\') c = '#';
    }
    return id;
}

bool WithKey(const std::string& path, bool (*work)(HKEY, const void*), const void* context) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, (std::string(kRoot) + "\\" + path).c_str(), 0, nullptr, 0,
                        KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr, &key, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    const bool ok = work(key, context);
    RegCloseKey(key);
    return ok;
}

bool DeleteTree(const std::string& path) {
    HKEY root = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRoot, 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY, &root) != ERROR_SUCCESS) {
        return true;  // nothing was ever stored
    }
    const LSTATUS status = RegDeleteTreeA(root, path.c_str());
    RegCloseKey(root);
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

uint32_t RegisterViewers(const uint8_t* block, bool namesOnly) {
    const uint32_t count = Word(block, 4);
    if (count > kMaxRecords) return kBadBlock;
    std::string names[kMaxRecords];
    for (uint32_t i = 0; i < count; ++i) {
        if (!Field(block + 8 + i * kViewerRecordBytes, 0, 128, &names[i]) || !KeyName(names[i])) return kBadBlock;
    }
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* record = block + 8 + i * kViewerRecordBytes;
        bool ok = namesOnly ? DeleteTree("Viewers\\" + names[i])
                            : WithKey("Viewers\\" + names[i],
                                      [](HKEY key, const void* r) {
                                          return RegSetValueExA(key, "Words", 0, REG_BINARY,
                                                                static_cast<const uint8_t*>(r) + 128, 16) ==
                                                 ERROR_SUCCESS;
                                      },
                                      record);
        if (!ok) return kStoreFailed;
    }
    return kOk;
}

struct Attachment {
    std::string setupClass, file, entry;
    uint32_t word;
};

uint32_t AttachViewer(const uint8_t* block) {
    std::string setupClass, id;
    if (!Field(block, 8, 64, &setupClass) || !Field(block, 72, 64, &id) || !KeyName(DeviceKeyName(id))) {
        return kBadBlock;
    }
    const uint32_t count = Word(block, 392);
    if (count == 0 || count > kMaxRecords) return kBadBlock;
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* record = block + 396 + i * kDeviceViewerRecordBytes;
        std::string name;
        Attachment a{setupClass, {}, {}, Word(record, 128)};
        if (!Field(record, 0, 128, &name) || !KeyName(name) || !Field(record, 132, 128, &a.file) ||
            !Field(record, 260, 128, &a.entry)) {
            return kBadBlock;
        }
    }
    const std::string device = "Devices\\" + DeviceKeyName(id);
    if (!WithKey(device,
                 [](HKEY key, const void* c) {
                     const std::string& text = *static_cast<const std::string*>(c);
                     return RegSetValueExA(key, "Class", 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                                           static_cast<DWORD>(text.size() + 1)) == ERROR_SUCCESS;
                 },
                 &setupClass)) {
        return kStoreFailed;
    }
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* record = block + 396 + i * kDeviceViewerRecordBytes;
        std::string name;
        Attachment a{setupClass, {}, {}, Word(record, 128)};
        Field(record, 0, 128, &name);
        Field(record, 132, 128, &a.file);
        Field(record, 260, 128, &a.entry);
        const bool ok = WithKey(device + "\\" + name,
                                [](HKEY key, const void* c) {
                                    auto* at = static_cast<const Attachment*>(c);
                                    auto text = [key](const char* value, const std::string& s) {
                                        return RegSetValueExA(key, value, 0, REG_SZ,
                                                              reinterpret_cast<const BYTE*>(s.c_str()),
                                                              static_cast<DWORD>(s.size() + 1)) == ERROR_SUCCESS;
                                    };
                                    return text("File", at->file) && text("Entry", at->entry) &&
                                           RegSetValueExA(key, "Word", 0, REG_DWORD,
                                                          reinterpret_cast<const BYTE*>(&at->word),
                                                          sizeof at->word) == ERROR_SUCCESS;
                                },
                                &a);
        if (!ok) return kStoreFailed;
    }
    return kOk;
}

uint32_t DetachDevice(const uint8_t* block) {
    std::string id;
    if (!Field(block, 72, 64, &id) || !KeyName(DeviceKeyName(id))) return kBadBlock;
    return DeleteTree("Devices\\" + DeviceKeyName(id)) ? kOk : kStoreFailed;
}

}  // namespace

uint32_t InstallEntryPoint(uint32_t command, void* pointer) {
    const auto* block = static_cast<const uint8_t*>(pointer);
    switch (command) {
        case kOpen: ++g_sessions; return kOk;
        case kClose:
            if (g_sessions.load() == 0) return kNotOpen;
            --g_sessions;
            return kOk;
        case kRegisterViewers:
        case kUnregisterViewers:
        case kAttachViewer:
        case kDetachDevice: break;
        default: return kNotSupported;
    }
    if (g_sessions.load() == 0) return kNotOpen;
    if (block == nullptr || Word(block, 0) != kVersion) return kBadBlock;
    switch (command) {
        case kRegisterViewers: return RegisterViewers(block, false);
        case kUnregisterViewers: return RegisterViewers(block, true);
        case kAttachViewer: return AttachViewer(block);
        default: return DetachDevice(block);
    }
}

FARPROC LookupExport(const char* name) {
    if (name != nullptr && std::strcmp(name, "LuCamMgrInstallEntryPoint") == 0) {
        return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&InstallEntryPoint));
    }
    return nullptr;
}

}  // namespace lucammgr
