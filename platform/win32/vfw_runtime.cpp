// The multimedia runtime's side of installable drivers, as the Video-for-
// Windows runtime uses it: drivers found by their entry under "Drivers32"
// (such as "msvideo" = "K0340Vfw.dll") or by file name, loaded through the
// module table and called only through their DriverProc, DRV_LOAD and
// DRV_ENABLE before a module's first open and DRV_DISABLE and DRV_FREE after
// its last close; client callbacks; and the multimedia clock.
#include <map>
#include <mutex>
#include <string>

#include "mmsystem.h"
#include "platform/win32/module_table.h"
#include "wdm.h"

namespace {

constexpr char16_t kDriversKey[] = u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\";
constexpr uint32_t kHandleTag = 0x52445648;  // "HVDR"

struct LoadedDriver {
    qk::win32::CodeModule* module;
    DRIVERPROC proc;
    int opens;
};

struct DriverHandle {
    uint32_t tag;
    std::u16string file;
    DRIVERPROC proc;
    DWORD_PTR id;
};

std::mutex g_lock;  // guards Loaded()
std::map<std::u16string, LoadedDriver>& Loaded() {
    static auto* loaded = new std::map<std::u16string, LoadedDriver>;
    return *loaded;
}

std::u16string Upper(std::u16string text) {
    for (auto& c : text) {
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    }
    return text;
}

// The file an entry names, or the name itself when it is no entry.
std::u16string DriverFile(LPCWSTR name, LPCWSTR section) {
    std::u16string key = kDriversKey;
    key += section != nullptr ? section : u"Drivers32";
    HKEY k = nullptr;
    std::u16string file = name;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &k) == ERROR_SUCCESS) {
        char16_t value[260] = {};
        DWORD type = 0, bytes = sizeof(value) - sizeof(char16_t);
        if (RegQueryValueExW(k, name, nullptr, &type, reinterpret_cast<LPBYTE>(value), &bytes) == ERROR_SUCCESS &&
            type == REG_SZ && value[0] != 0) {
            file = value;
        }
        RegCloseKey(k);
    }
    return file;
}

DriverHandle* HandleOf(HDRVR driver) {
    auto* h = reinterpret_cast<DriverHandle*>(driver);
    return h != nullptr && h->tag == kHandleTag ? h : nullptr;
}

// The module's last close: disable, free, unload. Called with g_lock held.
void Unload(const std::u16string& key) {
    auto it = Loaded().find(key);
    if (it == Loaded().end()) return;
    it->second.proc(0, nullptr, DRV_DISABLE, 0, 0);
    it->second.proc(0, nullptr, DRV_FREE, 0, 0);
    qk::win32::ReleaseCodeModule(it->second.module);
    Loaded().erase(it);
}

}  // namespace

DWORD timeGetTime() { return static_cast<DWORD>(KeQueryInterruptTime() / 10000); }

HDRVR OpenDriver(LPCWSTR szDriverName, LPCWSTR szSectionName, LPARAM lParam2) {
    if (szDriverName == nullptr || szDriverName[0] == 0) return nullptr;
    std::u16string file = DriverFile(szDriverName, szSectionName);
    std::u16string key = Upper(file);
    std::lock_guard guard(g_lock);
    auto it = Loaded().find(key);
    if (it == Loaded().end()) {
        std::string error;
        qk::win32::CodeModule* module = qk::win32::LoadCodeModule(file, &error);
        if (module == nullptr) {
            DbgPrint("WINMM: cannot load driver %S: %s\n", file.c_str(), error.c_str());
            return nullptr;
        }
        auto proc = reinterpret_cast<DRIVERPROC>(qk::win32::CodeModuleExport(module, "DriverProc"));
        if (proc == nullptr) {
            DbgPrint("WINMM: %S exports no DriverProc\n", file.c_str());
            qk::win32::ReleaseCodeModule(module);
            return nullptr;
        }
        if (proc(0, nullptr, DRV_LOAD, 0, 0) == 0) {
            DbgPrint("WINMM: %S refused DRV_LOAD\n", file.c_str());
            proc(0, nullptr, DRV_FREE, 0, 0);
            qk::win32::ReleaseCodeModule(module);
            return nullptr;
        }
        proc(0, nullptr, DRV_ENABLE, 0, 0);
        it = Loaded().emplace(key, LoadedDriver{module, proc, 0}).first;
    }
    auto* handle = new DriverHandle{kHandleTag, key, it->second.proc, 0};
    LRESULT id = it->second.proc(0, reinterpret_cast<HDRVR>(handle), DRV_OPEN,
                                 reinterpret_cast<LPARAM>(szSectionName), lParam2);
    if (id == 0) {
        handle->tag = 0;
        delete handle;
        if (it->second.opens == 0) Unload(key);
        return nullptr;
    }
    handle->id = static_cast<DWORD_PTR>(id);
    ++it->second.opens;
    return reinterpret_cast<HDRVR>(handle);
}

LRESULT SendDriverMessage(HDRVR hDriver, UINT message, LPARAM lParam1, LPARAM lParam2) {
    DriverHandle* h = HandleOf(hDriver);
    if (h == nullptr) return 0;
    return h->proc(h->id, hDriver, message, lParam1, lParam2);
}

LRESULT CloseDriver(HDRVR hDriver, LPARAM lParam1, LPARAM lParam2) {
    DriverHandle* h = HandleOf(hDriver);
    if (h == nullptr) return 0;
    LRESULT result = h->proc(h->id, hDriver, DRV_CLOSE, lParam1, lParam2);
    std::lock_guard guard(g_lock);
    auto it = Loaded().find(h->file);
    if (it != Loaded().end() && --it->second.opens == 0) Unload(h->file);
    h->tag = 0;
    delete h;
    return result;
}

BOOL DriverCallback(DWORD_PTR dwCallback, DWORD dwFlags, HDRVR hDevice, DWORD dwMsg, DWORD_PTR dwUser,
                    DWORD_PTR dwParam1, DWORD_PTR dwParam2) {
    switch (dwFlags & DCB_TYPEMASK) {
        case DCB_NULL:
            return TRUE;
        case DCB_FUNCTION:
            if (dwCallback == 0) return FALSE;
            reinterpret_cast<DRVCALLBACK>(dwCallback)(hDevice, dwMsg, dwUser, dwParam1, dwParam2);
            return TRUE;
        default:  // windows, tasks and events need the window system
            return FALSE;
    }
}
