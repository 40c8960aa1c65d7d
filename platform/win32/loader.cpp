// The loader for modules opened as data (LoadLibraryEx with
// LOAD_LIBRARY_AS_DATAFILE): the file is read whole through the machine's
// file calls, its resource directory parsed once, and the handle counted, so
// that loading the same file twice yields the same handle and the module goes
// only when the last FreeLibrary comes. A bare file name is looked up in the
// system folder, where the installation puts the resource library.
#include <dlfcn.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/nt/machine.h"
#include "platform/win32/code_modules.h"
#include "platform/win32/host_paths.h"
#include "platform/win32/pe_resources.h"
#include "platform/win32/terminal_services.h"
#include "windows.h"

namespace qk::win32 {
namespace {

struct Module {
    std::u16string path;  // upper-cased full path: the key of the table
    int references = 0;
    std::unique_ptr<ResourceImage> image;  // modules opened as data
    void* host = nullptr;                  // code modules opened from the root (dlopen)
    ExportLookup lookup = nullptr;         // code modules linked into the process
    bool pinned = false;                   // the system's own modules stay for the process's life
    ~Module() {
        if (host) dlclose(host);
    }
};

std::mutex g_staticLock;  // guards StaticModules()
std::map<std::u16string, ExportLookup>& StaticModules() {
    static std::map<std::u16string, ExportLookup> modules = {{u"WTSAPI32.DLL", TerminalServicesExport}};
    return modules;
}

// Kernel32.dll is part of every process: it needs no file on the machine.
// Its exports here are the calls programs look up at run time because an
// older system may lack them.
constexpr char16_t kKernel32[] = u"KERNEL32.DLL";
constexpr char16_t kKernel32Path[] = u"C:\\WINDOWS\\SYSTEM32\\KERNEL32.DLL";

FARPROC Kernel32Export(const char* name) {
    struct Entry {
        const char* name;
        void* address;
    };
    static const Entry exports[] = {
        {"IsWow64Process", reinterpret_cast<void*>(&IsWow64Process)},
        {"GetSystemWow64DirectoryA", reinterpret_cast<void*>(&GetSystemWow64DirectoryA)},
        {"GetSystemDirectoryA", reinterpret_cast<void*>(&GetSystemDirectoryA)},
        {"GetWindowsDirectoryA", reinterpret_cast<void*>(&GetWindowsDirectoryA)},
        {"GetCurrentProcess", reinterpret_cast<void*>(&GetCurrentProcess)},
        {"ProcessIdToSessionId", reinterpret_cast<void*>(&ProcessIdToSessionId)},
        {"WTSGetActiveConsoleSessionId", reinterpret_cast<void*>(&WTSGetActiveConsoleSessionId)},
    };
    for (const Entry& e : exports) {
        if (std::strcmp(e.name, name) == 0) return reinterpret_cast<FARPROC>(e.address);
    }
    return nullptr;
}

class ModuleTable {
public:
    explicit ModuleTable(Machine&) {}
    std::mutex lock;  // guards modules
    std::map<std::u16string, std::unique_ptr<Module>> modules;

    Module* FromHandle(HMODULE handle) {
        for (auto& [path, m] : modules) {
            if (reinterpret_cast<HMODULE>(m.get()) == handle) return m.get();
        }
        return nullptr;
    }
};

}  // namespace

std::u16string Upper(std::u16string s) {
    for (char16_t& c : s) {
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
    }
    return s;
}

namespace {

std::u16string FullPath(const std::u16string& name) {
    if (name.find(u'\\') != std::u16string::npos) return name;
    return u"C:\\Windows\\System32\\" + name;
}

std::u16string BaseName(const std::u16string& path) {
    const size_t slash = path.find_last_of(u"\\/");
    return slash == std::u16string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::filesystem::path HostEntry(const std::u16string& path) {
    if (path.size() < 3 || (path[0] != u'C' && path[0] != u'c') || path[1] != u':' || path[2] != u'\\') return {};
    std::filesystem::path at = Machine::Current().SystemRoot();
    size_t pos = 3;
    while (pos <= path.size()) {
        size_t next = path.find(u'\\', pos);
        if (next == std::u16string::npos) next = path.size();
        const std::u16string part = path.substr(pos, next - pos);
        pos = next + 1;
        if (part.empty() || part == u".") continue;
        if (part == u".." || part.find(u'/') != std::u16string::npos) return {};
        std::error_code ec;
        bool found = false;
        for (const auto& entry : std::filesystem::directory_iterator(at, ec)) {
            std::u16string name = entry.path().filename().u16string();
            if (Upper(name) == Upper(part)) {
                at = entry.path();
                found = true;
                break;
            }
        }
        if (!found) return {};
    }
    return at;
}

std::filesystem::path HostFile(const std::u16string& path) {
    std::filesystem::path at = HostEntry(path);
    std::error_code ec;
    return !at.empty() && std::filesystem::is_regular_file(at, ec) ? at : std::filesystem::path{};
}

namespace {

bool ReadWhole(const std::u16string& path, std::vector<uint8_t>* bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ_W, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    uint8_t chunk[65536];
    DWORD got = 0;
    bool ok = true;
    while (true) {
        if (!ReadFile(file, chunk, sizeof chunk, &got, nullptr)) {
            ok = GetLastError() == ERROR_HANDLE_EOF;
            break;
        }
        if (got == 0) break;
        bytes->insert(bytes->end(), chunk, chunk + got);
    }
    const DWORD error = GetLastError();
    CloseHandle(file);
    SetLastError(error);
    return ok;
}

ResourceKey KeyOf(LPCWSTR nameOrId) {
    if (IS_INTRESOURCE(nameOrId)) return ResourceKey::Number(static_cast<uint16_t>(reinterpret_cast<ULONG_PTR>(nameOrId)));
    std::u16string text(nameOrId);
    // "#123" names the number 123, as the loader accepts it.
    if (text.size() > 1 && text[0] == u'#' && text.size() <= 6 &&
        std::all_of(text.begin() + 1, text.end(), [](char16_t c) { return c >= u'0' && c <= u'9'; })) {
        uint32_t n = 0;
        for (size_t i = 1; i < text.size(); ++i) n = n * 10 + (text[i] - u'0');
        if (n <= 0xFFFF) return ResourceKey::Number(static_cast<uint16_t>(n));
    }
    return ResourceKey::Text(std::move(text));
}

std::u16string Widen(LPCSTR s) {
    std::u16string out;
    for (; *s; ++s) out.push_back(static_cast<char16_t>(static_cast<unsigned char>(*s)));
    return out;
}

}  // namespace

void RegisterStaticModule(const std::u16string& fileName, ExportLookup lookup) {
    std::lock_guard guard(g_staticLock);
    if (lookup) StaticModules()[Upper(fileName)] = lookup;
    else StaticModules().erase(Upper(fileName));
}

namespace {

// The system's own module of that base name, loaded with the process (so
// never unloaded): a registered substitute's exports, else the platform's.
Module* SystemModule(ModuleTable& table, const std::u16string& base) {
    if (base != kKernel32) return nullptr;
    auto& slot = table.modules[kKernel32Path];
    if (!slot) {
        slot = std::make_unique<Module>();
        slot->path = kKernel32Path;
        slot->references = 1;
        slot->pinned = true;
    }
    // A substitute registered (or withdrawn) since serves from the next look-up on.
    std::lock_guard guard(g_staticLock);
    auto it = StaticModules().find(base);
    slot->lookup = it != StaticModules().end() ? it->second : Kernel32Export;
    return slot.get();
}

// "kernel32" names "KERNEL32.DLL", as the loader appends the extension.
std::u16string ModuleBaseName(const std::u16string& name) {
    std::u16string base = Upper(BaseName(name));
    if (base.find(u'.') == std::u16string::npos) base += u".DLL";
    return base;
}

}  // namespace

// The parsed resources of a loaded module, for the window system's readers
// (strings, dialogs, icons); null for a handle that is not loaded.
const ResourceImage* ResourcesOf(HMODULE module) {
    auto* machine = Machine::CurrentOrNull();
    if (!machine) return nullptr;
    auto& table = machine->Component<ModuleTable>();
    std::lock_guard guard(table.lock);
    Module* m = table.FromHandle(module);
    return m ? m->image.get() : nullptr;
}

}  // namespace qk::win32

using qk::win32::ModuleTable;

HMODULE LoadLibraryExW(LPCWSTR fileName, HANDLE reserved, DWORD flags) {
    if (!fileName || !*fileName || reserved) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // Modules are only ever opened for their resources here; running code
    // from a module is the job of the driver and library loaders.
    if (!(flags & (LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE))) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    const std::u16string path = qk::win32::FullPath(fileName);
    const std::u16string key = qk::win32::Upper(path);
    auto& table = qk::Machine::Current().Component<ModuleTable>();
    {
        std::lock_guard guard(table.lock);
        auto it = table.modules.find(key);
        if (it != table.modules.end()) {
            ++it->second->references;
            return reinterpret_cast<HMODULE>(it->second.get());
        }
    }
    std::vector<uint8_t> bytes;
    if (!qk::win32::ReadWhole(path, &bytes)) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    std::string error;
    auto image = qk::win32::ResourceImage::Parse(std::move(bytes), &error);
    if (!image) {
        SetLastError(ERROR_BAD_EXE_FORMAT);
        return nullptr;
    }
    std::lock_guard guard(table.lock);
    auto& slot = table.modules[key];
    if (!slot) {
        slot = std::make_unique<qk::win32::Module>();
        slot->path = key;
        slot->image = std::move(image);
    }
    ++slot->references;
    return reinterpret_cast<HMODULE>(slot.get());
}

HMODULE LoadLibraryExA(LPCSTR fileName, HANDLE reserved, DWORD flags) {
    if (!fileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const std::u16string wide = qk::win32::Widen(fileName);
    return LoadLibraryExW(wide.c_str(), reserved, flags);
}

BOOL FreeLibrary(HMODULE module) {
    auto& table = qk::Machine::Current().Component<ModuleTable>();
    std::lock_guard guard(table.lock);
    qk::win32::Module* m = table.FromHandle(module);
    if (!m) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (m->pinned) return TRUE;
    if (--m->references == 0) table.modules.erase(m->path);
    return TRUE;
}

HRSRC FindResourceW(HMODULE module, LPCWSTR name, LPCWSTR type) {
    const qk::win32::ResourceImage* image = qk::win32::ResourcesOf(module);
    if (!image || !name || !type) {
        SetLastError(image ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return nullptr;
    }
    const qk::win32::ResourceEntry* e = image->Find(qk::win32::KeyOf(type), qk::win32::KeyOf(name));
    if (!e) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<HRSRC>(const_cast<qk::win32::ResourceEntry*>(e));
}

HRSRC FindResourceA(HMODULE module, LPCSTR name, LPCSTR type) {
    std::u16string wideName, wideType;
    LPCWSTR n = reinterpret_cast<LPCWSTR>(name);
    LPCWSTR t = reinterpret_cast<LPCWSTR>(type);
    if (name && !IS_INTRESOURCE(name)) n = (wideName = qk::win32::Widen(name)).c_str();
    if (type && !IS_INTRESOURCE(type)) t = (wideType = qk::win32::Widen(type)).c_str();
    return FindResourceW(module, n, t);
}

HGLOBAL LoadResource(HMODULE module, HRSRC resource) {
    if (!resource || !qk::win32::ResourcesOf(module)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    auto* e = reinterpret_cast<const qk::win32::ResourceEntry*>(resource);
    return const_cast<uint8_t*>(e->data.data());
}

LPVOID LockResource(HGLOBAL data) { return data; }

DWORD SizeofResource(HMODULE module, HRSRC resource) {
    if (!resource || !qk::win32::ResourcesOf(module)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return static_cast<DWORD>(reinterpret_cast<const qk::win32::ResourceEntry*>(resource)->data.size());
}

HMODULE LoadLibraryW(LPCWSTR fileName) {
    if (!fileName || !*fileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const std::u16string name(fileName);
    const bool hasPath = name.find(u'\\') != std::u16string::npos;
    const std::u16string base = qk::win32::Upper(qk::win32::BaseName(name));
    auto& table = qk::Machine::Current().Component<ModuleTable>();
    {
        // A bare name finds a code module already loaded under that name.
        std::lock_guard guard(table.lock);
        if (qk::win32::Module* system = qk::win32::SystemModule(table, qk::win32::ModuleBaseName(name))) {
            ++system->references;
            return reinterpret_cast<HMODULE>(system);
        }
        for (auto& [path, m] : table.modules) {
            if ((m->host || m->lookup) && (hasPath ? path == qk::win32::Upper(name) : qk::win32::BaseName(path) == base)) {
                ++m->references;
                return reinterpret_cast<HMODULE>(m.get());
            }
        }
    }
    std::vector<std::u16string> candidates;
    if (hasPath) {
        candidates.push_back(name);
    } else {
        candidates.push_back(u"C:\\Windows\\System32\\" + name);
        candidates.push_back(u"C:\\Windows\\" + name);
    }
    for (const std::u16string& candidate : candidates) {
        const std::filesystem::path host = qk::win32::HostFile(candidate);
        if (host.empty()) continue;
        auto module = std::make_unique<qk::win32::Module>();
        module->path = qk::win32::Upper(candidate);
        {
            std::lock_guard guard(qk::win32::g_staticLock);
            auto it = qk::win32::StaticModules().find(base);
            if (it != qk::win32::StaticModules().end()) module->lookup = it->second;
        }
        if (!module->lookup) {
            module->host = dlopen(host.c_str(), RTLD_NOW | RTLD_LOCAL);
            if (!module->host) {
                SetLastError(ERROR_BAD_EXE_FORMAT);
                return nullptr;
            }
        }
        std::lock_guard guard(table.lock);
        auto& slot = table.modules[module->path];
        if (!slot) slot = std::move(module);
        ++slot->references;
        return reinterpret_cast<HMODULE>(slot.get());
    }
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

HMODULE LoadLibraryA(LPCSTR fileName) {
    if (!fileName) return LoadLibraryW(nullptr);
    const std::u16string wide = qk::win32::Widen(fileName);
    return LoadLibraryW(wide.c_str());
}

HMODULE GetModuleHandleW(LPCWSTR moduleName) {
    if (!moduleName || !*moduleName) {
        // The program's own image is no module of this loader.
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const std::u16string name(moduleName);
    const bool hasPath = name.find(u'\\') != std::u16string::npos;
    const std::u16string base = qk::win32::ModuleBaseName(name);
    auto& table = qk::Machine::Current().Component<ModuleTable>();
    std::lock_guard guard(table.lock);
    if (qk::win32::Module* system = qk::win32::SystemModule(table, base)) return reinterpret_cast<HMODULE>(system);
    // Only code modules: a file opened as data is not loaded for the program.
    for (auto& [path, m] : table.modules) {
        if ((m->host || m->lookup) && (hasPath ? path == qk::win32::Upper(name) : qk::win32::BaseName(path) == base)) {
            return reinterpret_cast<HMODULE>(m.get());
        }
    }
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

HMODULE GetModuleHandleA(LPCSTR moduleName) {
    if (!moduleName) return GetModuleHandleW(nullptr);
    const std::u16string wide = qk::win32::Widen(moduleName);
    return GetModuleHandleW(wide.c_str());
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
    auto& table = qk::Machine::Current().Component<ModuleTable>();
    qk::win32::ExportLookup lookup = nullptr;
    void* host = nullptr;
    {
        std::lock_guard guard(table.lock);
        qk::win32::Module* m = table.FromHandle(module);
        if (!m) {
            SetLastError(ERROR_INVALID_HANDLE);
            return nullptr;
        }
        lookup = m->lookup;
        host = m->host;
    }
    FARPROC proc = nullptr;
    if (name && !IS_INTRESOURCE(name)) {
        proc = lookup ? lookup(name) : reinterpret_cast<FARPROC>(host ? dlsym(host, name) : nullptr);
    }
    if (!proc) SetLastError(ERROR_PROC_NOT_FOUND);
    return proc;
}
