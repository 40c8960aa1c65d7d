// Registration as the installer runs it: the console announced to the
// camera manager (when one is installed), the Start-menu shortcut, and a
// `Run` entry that repeats the registration at the next logon whenever any
// of that could not be done. Unregistration undoes it all, closes a running
// standalone console and removes every user's console settings. Nothing is
// ever reported to the user: a failure becomes a retry.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "console/k0340cvw.h"
#include "console/skin/resource_library.h"
#include "fileapi.h"
#include "setupapi.h"
#include "shlobj.h"
#include "winreg.h"

namespace k0340cvw {
namespace {

constexpr char kRunKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr char kImageClassText[] = "{6bdd1fc6-810f-11d0-bec7-08002be2092f}";
constexpr char kViewerName[] = "CustomViewWin";
constexpr char kMaker[] = "Lumora";

// The shortcut the library keeps: title string, target, icon.
struct ShortcutRecord {
    UINT titleString;
    const char* file;
    const char* entry;
    int iconSelector;  // -1: no "/i:" argument
    const char* iconFile;
    int iconIndex;
};
constexpr ShortcutRecord kShortcut = {57673, "K0340Cvw.dll", "luCVWConsoleRunDLL32EP", -1, "K0340Cvw.crl", 4};

void PutText(uint8_t* block, size_t offset, size_t field, const char* text) {
    std::snprintf(reinterpret_cast<char*>(block + offset), field, "%s", text);
}

void PutWord(uint8_t* block, size_t offset, uint32_t value) { std::memcpy(block + offset, &value, sizeof value); }

// The camera manager library while bound: loaded, its entry found and its
// session opened.
struct Manager {
    HMODULE module = nullptr;
    LuCamMgrInstallEntryPointProc entry = nullptr;

    bool Bind() {
        module = LoadLibraryA("LuCamMgr.dll");
        if (module == nullptr) return false;
        entry = reinterpret_cast<LuCamMgrInstallEntryPointProc>(
            reinterpret_cast<void*>(GetProcAddress(module, "LuCamMgrInstallEntryPoint")));
        if (entry == nullptr) {
            FreeLibrary(module);
            module = nullptr;
            return false;
        }
        entry(kMgrOpen, nullptr);  // its answer tells nothing the later commands do not
        return true;
    }
    void Unbind() {
        entry(kMgrClose, nullptr);
        FreeLibrary(module);
        module = nullptr;
        entry = nullptr;
    }
};

// The viewer list for 0x204 (whole records) or 0x205 (names only), with
// room for one record more than it holds.
std::vector<uint8_t> ViewerList(bool namesOnly) {
    const uint32_t count = 1;
    std::vector<uint8_t> block(8 + kViewerRecordBytes * (count + 1), 0);
    PutWord(block.data(), 0, kMgrBlockVersion);
    PutWord(block.data(), 4, count);
    uint8_t* record = block.data() + 8;
    PutText(record, 0, 128, kViewerName);
    if (!namesOnly) {
        PutWord(record, 128, 4);
        PutWord(record, 132, 0x104);
        PutWord(record, 136, 0x1403);
        PutWord(record, 140, 0);
    }
    return block;
}

std::vector<uint8_t> DeviceBlock(uint32_t viewers) {
    std::vector<uint8_t> block(kDeviceBlockBytes + kDeviceViewerRecordBytes * viewers, 0);
    PutWord(block.data(), 0, kMgrBlockVersion);
    PutText(block.data(), 8, 64, kImageClassText);
    PutText(block.data(), 72, 64, SupportedHardwareId());
    if (viewers > 0) {
        PutWord(block.data(), 4, 0);  // the device identified by class and hardware ID
        PutWord(block.data(), 392, viewers);
        uint8_t* record = block.data() + 396;
        PutText(record, 0, 128, kViewerName);
        PutWord(record, 128, 0x100);
        PutText(record, 132, 128, kShortcut.file);
        PutText(record, 260, 128, "luCVWEntryPoint");
    }
    return block;
}

// The `Run` value: named after the library's full path. The console is a
// 32-bit library; its machine keys are those of the 32-bit view.
bool WriteRunEntry(bool present) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kRunKey, 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_32KEY, nullptr, &key,
                        nullptr) != ERROR_SUCCESS) {
        return false;
    }
    const std::string path = LibraryPath();
    LSTATUS status;
    if (present) {
        char system[MAX_PATH] = {};
        GetSystemDirectoryA(system, MAX_PATH);
        const std::string command = std::string(system) + "\\RegSvr32.exe /s " + path;
        status = RegSetValueExA(key, path.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(command.c_str()),
                                static_cast<DWORD>(command.size() + 1));
    } else {
        status = RegDeleteValueA(key, path.c_str());
        if (status == ERROR_FILE_NOT_FOUND) status = ERROR_SUCCESS;
    }
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

// The product name the camera's installation wrote into its driver key.
bool ProductName(std::string* name) {
    HDEVINFO set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
    if (set == INVALID_HANDLE_VALUE) return false;
    bool found = false;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD i = 0; !found && SetupDiEnumDeviceInfo(set, i, &device); ++i, device.cbSize = sizeof device) {
        char ids[260] = {};
        DWORD type = 0;
        if (!SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID, &type, reinterpret_cast<PBYTE>(ids),
                                               sizeof ids - 1, nullptr) ||
            !HardwareIdListNamesCamera(ids, sizeof ids - 1)) {
            continue;
        }
        char driver[260] = {};
        if (SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_DRIVER, &type, reinterpret_cast<PBYTE>(driver),
                                              sizeof driver - 1, nullptr)) {
            const std::string path = std::string("SYSTEM\\CurrentControlSet\\Control\\Class\\") + driver;
            HKEY key = nullptr;
            if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS) {
                char text[260] = {};
                DWORD bytes = sizeof text - 1;
                if (RegQueryValueExA(key, "LuProductName", nullptr, &type, reinterpret_cast<BYTE*>(text), &bytes) ==
                        ERROR_SUCCESS &&
                    type == REG_SZ && text[0] != 0) {
                    *name = text;
                }
                RegCloseKey(key);
            }
        }
        found = true;  // the first device of the camera decides
    }
    SetupDiDestroyDeviceInfoList(set);
    return !name->empty();
}

std::string ProgramsFolder() {
    char folder[MAX_PATH] = {};
    // The target's profiles always hold these folders; a fresh system root
    // gets them when first asked for.
    if (FAILED(SHGetFolderPathA(nullptr, CSIDL_COMMON_PROGRAMS | CSIDL_FLAG_CREATE, nullptr, 0, folder)) &&
        FAILED(SHGetFolderPathA(nullptr, CSIDL_PROGRAMS | CSIDL_FLAG_CREATE, nullptr, 0, folder))) {
        return {};
    }
    return folder;
}

bool MakeFolder(const std::string& path) {
    return CreateDirectoryA(path.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

// Empties and removes a folder: files made writable and deleted, folders
// emptied first.
void RemoveTree(const std::string& folder) {
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::string name = data.cFileName;
            if (name == "." || name == "..") continue;
            const std::string path = folder + "\\" + name;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(path);
            } else {
                SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileA(path.c_str());
            }
        } while (FindNextFileA(find, &data));
        FindClose(find);
    }
    RemoveDirectoryA(folder.c_str());
}

bool CreateShortcut() {
    console::ResourceLibrary resources;
    const std::string programs = ProgramsFolder();
    if (programs.empty()) return false;
    const std::string makerFolder = programs + "\\" + kMaker + "\\";
    if (!MakeFolder(makerFolder.substr(0, makerFolder.size() - 1))) return false;
    std::string product;
    if (!ProductName(&product)) return false;
    const std::string folder = makerFolder + product;
    if (!MakeFolder(folder)) return false;

    ShellLinkRequest link;
    BOOL wow64 = FALSE;
    char system[MAX_PATH] = {};
    if (IsWow64Process(GetCurrentProcess(), &wow64) && wow64 && GetSystemWow64DirectoryA(system, MAX_PATH) > 0) {
        link.target = std::string(system) + "\\RunDLL32.exe";
    } else {
        GetSystemDirectoryA(system, MAX_PATH);
        link.target = std::string(system) + "\\rundll32.exe";
    }
    link.workingDirectory = system;
    link.arguments = std::string(kShortcut.file) + "," + kShortcut.entry;
    if (kShortcut.iconSelector != -1) {
        char withIcon[300];
        std::snprintf(withIcon, sizeof withIcon, "%s /i:%d", link.arguments.c_str(), kShortcut.iconSelector);
        link.arguments = withIcon;
    }
    link.iconFile = std::string(system) + "\\" + kShortcut.iconFile;
    link.iconIndex = kShortcut.iconIndex;
    char title[256] = {};
    if (!resources.Loaded() ||
        LoadStringA(reinterpret_cast<HINSTANCE>(resources.Module()), kShortcut.titleString, title, sizeof title) <= 0) {
        return false;
    }
    link.description = title;
    link.linkFile = folder + "\\" + LinkName(title) + ".lnk";
    return SUCCEEDED(WriteShellLink(link));
}

}  // namespace

std::string LibraryPath() {
    char system[MAX_PATH] = {};
    GetSystemDirectoryA(system, MAX_PATH);
    return std::string(system) + "\\K0340Cvw.dll";
}

std::string LinkName(const std::string& title) {
    // The shortcut already sits in the maker's folder: a title that begins
    // with the maker's name is shown without it.
    const std::string prefix = std::string(kMaker) + " ";
    if (title.size() > prefix.size() && title.compare(0, prefix.size(), prefix) == 0) return title.substr(prefix.size());
    return title;
}

HRESULT WriteShellLink(const ShellLinkRequest& request) {
    IShellLinkA* link = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA, reinterpret_cast<void**>(&link));
    if (FAILED(hr)) return hr;
    hr = link->SetPath(request.target.c_str());
    if (SUCCEEDED(hr)) hr = link->SetArguments(request.arguments.c_str());
    if (SUCCEEDED(hr)) hr = link->SetWorkingDirectory(request.workingDirectory.c_str());
    if (SUCCEEDED(hr)) hr = link->SetIconLocation(request.iconFile.c_str(), request.iconIndex);
    if (SUCCEEDED(hr)) hr = link->SetDescription(request.description.c_str());
    IPersistFile* file = nullptr;
    if (SUCCEEDED(hr)) hr = link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file));
    if (SUCCEEDED(hr)) {
        // The file interface takes the name in UTF-16; the console's texts are
        // of the machine's code page, Latin-1.
        std::u16string name;
        for (unsigned char c : request.linkFile) name.push_back(c);
        hr = file->Save(name.c_str(), TRUE);
        file->Release();
    }
    link->Release();
    return hr;
}

std::string ShortcutFolder() {
    std::string product;
    const std::string programs = ProgramsFolder();
    if (programs.empty() || !ProductName(&product)) return {};
    return programs + "\\" + kMaker + "\\" + product;
}

HRESULT DllRegisterServer() {
    bool retry = false;
    Manager manager;
    if (manager.Bind()) {
        std::vector<uint8_t> viewers = ViewerList(false);
        manager.entry(kMgrRegisterViewers, viewers.data());
        std::vector<uint8_t> attach = DeviceBlock(1);
        if (manager.entry(kMgrAttachViewer, attach.data()) != 0) retry = true;
        manager.Unbind();
    } else {
        retry = true;
    }
    if (!CreateShortcut()) retry = true;
    WriteRunEntry(retry);
    return retry ? 1 : 0;
}

HRESULT DllUnregisterServer() {
    WriteRunEntry(false);
    Manager manager;
    if (!manager.Bind()) return 1;
    std::vector<uint8_t> detach = DeviceBlock(0);
    manager.entry(kMgrDetachDevice, detach.data());
    std::vector<uint8_t> viewers = ViewerList(true);
    manager.entry(kMgrUnregisterViewers, viewers.data());
    manager.Unbind();

    const std::string folder = ShortcutFolder();
    if (!folder.empty()) {
        RemoveTree(folder);
        const std::string programs = ProgramsFolder();
        RemoveDirectoryA((programs + "\\" + kMaker).c_str());  // only when empty
    }

    HANDLE quit = OpenEventA(EVENT_MODIFY_STATE, FALSE, kQuitEventName);
    if (quit != nullptr) {
        SetEvent(quit);
        CloseHandle(quit);
    }

    HKEY users = HKEY_USERS;
    char sid[256];
    std::vector<std::string> hives;
    for (DWORD i = 0;; ++i) {
        DWORD length = sizeof sid;
        if (RegEnumKeyExA(users, i, sid, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        hives.emplace_back(sid, length);
    }
    for (const std::string& hive : hives) {
        RegDeleteTreeA(users, (hive + "\\" + kConsoleKeyPath).c_str());
    }
    return 0;
}

}  // namespace k0340cvw
