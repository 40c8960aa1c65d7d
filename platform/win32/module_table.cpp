#include "platform/win32/module_table.h"

#include <dlfcn.h>

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>

#include "platform/nt/machine.h"
#include "platform/nt/wformat.h"
#include "wdm.h"

namespace qk::win32 {

struct CodeModule {
    std::u16string key;   // the upper-case file name
    std::u16string name;  // as first asked for
    std::vector<Export> builtin;
    void* handle = nullptr;  // dlopen handle of a loaded file; null for a built-in
    int uses = 0;
};

namespace {

std::u16string Upper(std::u16string_view text) {
    std::u16string out(text);
    for (auto& c : out) {
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    }
    return out;
}

std::u16string FileNameOf(std::u16string_view path) {
    size_t slash = path.find_last_of(u"\\/");
    return std::u16string(slash == std::u16string_view::npos ? path : path.substr(slash + 1));
}

// Built-ins outlive machines: the process registers them once.
std::mutex g_builtinLock;  // guards Builtins()
std::map<std::u16string, std::vector<Export>>& Builtins() {
    static auto* table = new std::map<std::u16string, std::vector<Export>>();
    return *table;
}

// The modules one machine has loaded; what is still loaded at its shutdown
// is unloaded then (a program that never freed a library).
class LoadedModules {
public:
    explicit LoadedModules(Machine& machine) {
        machine.OnShutdown([this] { UnloadAll(); });
    }
    ~LoadedModules() { UnloadAll(); }

    std::mutex lock;  // guards modules
    std::map<std::u16string, std::unique_ptr<CodeModule>> modules;

    void UnloadAll() {
        std::lock_guard guard(lock);
        for (auto& [key, module] : modules) {
            if (module->handle != nullptr) dlclose(module->handle);
        }
        modules.clear();
    }
};

// The file in the system folder whose name matches, whatever its letter case.
std::filesystem::path FindInSystemFolder(const std::u16string& fileName) {
    std::error_code ec;
    auto folder = Machine::Current().SystemFolder();
    std::u16string wanted = Upper(fileName);
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        if (Upper(entry.path().filename().u16string()) == wanted) return entry.path();
    }
    return {};
}

}  // namespace

void RegisterBuiltinModule(std::u16string fileName, std::vector<Export> exports) {
    std::lock_guard guard(g_builtinLock);
    Builtins()[Upper(fileName)] = std::move(exports);
}

CodeModule* LoadCodeModule(std::u16string_view name, std::string* error) {
    std::u16string file = FileNameOf(name);
    if (file.empty()) {
        *error = "no module name";
        return nullptr;
    }
    std::u16string key = Upper(file);
    auto& loaded = Machine::Current().Component<LoadedModules>();
    std::lock_guard guard(loaded.lock);
    auto it = loaded.modules.find(key);
    if (it != loaded.modules.end()) {
        ++it->second->uses;
        return it->second.get();
    }
    auto module = std::make_unique<CodeModule>();
    module->key = key;
    module->name = file;
    {
        std::lock_guard builtinGuard(g_builtinLock);
        auto b = Builtins().find(key);
        if (b != Builtins().end()) module->builtin = b->second;
    }
    if (module->builtin.empty()) {
        auto path = FindInSystemFolder(file);
        if (path.empty()) {
            *error = ToUtf8(file) + " is not in the system folder";
            return nullptr;
        }
        module->handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (module->handle == nullptr) {
            const char* why = dlerror();
            *error = "cannot load " + path.string() + ": " + (why ? why : "unknown error");
            DbgPrint("LDR: %s\n", error->c_str());
            return nullptr;
        }
    }
    module->uses = 1;
    CodeModule* out = module.get();
    loaded.modules.emplace(key, std::move(module));
    return out;
}

void AddRefCodeModule(CodeModule* module) {
    auto& loaded = Machine::Current().Component<LoadedModules>();
    std::lock_guard guard(loaded.lock);
    ++module->uses;
}

void* CodeModuleExport(CodeModule* module, const char* name) {
    if (module == nullptr || name == nullptr) return nullptr;
    if (module->handle != nullptr) return dlsym(module->handle, name);
    for (const auto& e : module->builtin) {
        if (std::string_view(e.name) == name) return e.address;
    }
    return nullptr;
}

std::u16string CodeModuleName(CodeModule* module) { return module ? module->name : std::u16string(); }

void ReleaseCodeModule(CodeModule* module) {
    if (module == nullptr) return;
    auto& loaded = Machine::Current().Component<LoadedModules>();
    std::lock_guard guard(loaded.lock);
    if (--module->uses > 0) return;
    auto it = loaded.modules.find(module->key);
    if (it == loaded.modules.end()) return;
    if (module->handle != nullptr) dlclose(module->handle);
    loaded.modules.erase(it);
}

void PrepareModuleTable() { Machine::Current().Component<LoadedModules>(); }

std::vector<std::u16string> LoadedCodeModules() {
    std::vector<std::u16string> names;
    auto* loaded = Machine::Current().FindComponent<LoadedModules>();
    if (loaded == nullptr) return names;
    std::lock_guard guard(loaded->lock);
    for (const auto& [key, module] : loaded->modules) names.push_back(module->name);
    return names;
}

}  // namespace qk::win32
