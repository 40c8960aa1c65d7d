// Programs started as processes of the machine, and the shell's way of
// opening files. A process is its program's main thread: the process handle
// is a second handle on the thread's object, so it is signalled and carries
// the exit code when the program's main returns.
#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/win32/host_paths.h"
#include "platform/win32/programs.h"
#include "processthreadsapi.h"
#include "shellapi.h"
#include "synchapi.h"
#include "sysinfoapi.h"
#include "windows.h"
#include "winuser.h"

namespace qk::win32 {
namespace {

struct Program {
    ProgramMain main = nullptr;
    ProgramPlace place = ProgramPlace::Installed;
};

std::mutex g_programsLock;  // guards Programs()
std::map<std::u16string, Program>& Programs() {
    static std::map<std::u16string, Program> programs;
    return programs;
}

std::u16string Widen(const std::string& s) {
    std::u16string out;
    for (unsigned char c : s) out.push_back(c);
    return out;
}

std::string BaseName(const std::string& path) {
    const size_t slash = path.find_last_of('\\');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The first token of a command line (quoted or up to white space) and what
// follows it, without the white space between.
std::pair<std::string, std::string> SplitCommandLine(const std::string& line) {
    size_t at = line.find_first_not_of(" \t");
    if (at == std::string::npos) return {};
    std::string first;
    size_t end;
    if (line[at] == '"') {
        end = line.find('"', at + 1);
        first = line.substr(at + 1, end == std::string::npos ? std::string::npos : end - at - 1);
        end = end == std::string::npos ? line.size() : end + 1;
    } else {
        end = line.find_first_of(" \t", at);
        if (end == std::string::npos) end = line.size();
        first = line.substr(at, end - at);
    }
    const size_t rest = line.find_first_not_of(" \t", end);
    return {first, rest == std::string::npos ? std::string() : line.substr(rest)};
}

// A program file built for the machine: a loadable module whose entry is
// "ProgramMain". Opened once and kept for the life of the process, as a
// program's code may still run on a thread of its own.
ProgramMain ProgramInFile(const std::filesystem::path& host) {
    static std::mutex lock;  // guards opened
    static std::map<std::string, ProgramMain> opened;
    std::lock_guard guard(lock);
    auto it = opened.find(host.string());
    if (it != opened.end()) return it->second;
    ProgramMain main = nullptr;
    if (void* module = dlopen(host.c_str(), RTLD_NOW | RTLD_LOCAL)) {
        main = reinterpret_cast<ProgramMain>(dlsym(module, "ProgramMain"));
        if (main == nullptr) dlclose(module);
    }
    opened.emplace(host.string(), main);
    return main;
}

struct Found {
    Program program;
    std::string path;
};

// Finds the program `name` names: a bare name in the system folder, then the
// Windows folder; ".exe" when it has no extension.
DWORD FindProgram(std::string name, Found* found) {
    if (name.empty()) return ERROR_FILE_NOT_FOUND;
    if (BaseName(name).find('.') == std::string::npos) name += ".exe";
    std::string candidates[2];
    size_t count = 0;
    if (name.find('\\') != std::string::npos) {
        candidates[count++] = name;
    } else {
        candidates[count++] = "C:\\Windows\\System32\\" + name;
        candidates[count++] = "C:\\Windows\\" + name;
    }
    Program program;
    {
        std::lock_guard guard(g_programsLock);
        auto it = Programs().find(Upper(Widen(BaseName(name))));
        if (it != Programs().end()) program = it->second;
    }
    for (size_t i = 0; i < count; ++i) {
        const std::u16string wide = Widen(candidates[i]);
        const bool inSystem = Upper(wide) == Upper(u"C:\\Windows\\System32\\" + Widen(BaseName(name)));
        if (program.main && program.place == ProgramPlace::System && inSystem) {
            *found = {program, candidates[i]};
            return ERROR_SUCCESS;
        }
        const std::filesystem::path host = HostFile(wide);
        if (host.empty()) continue;
        if (!program.main) program.main = ProgramInFile(host);
        // A file whose code the machine does not have cannot run here.
        if (!program.main) return ERROR_BAD_EXE_FORMAT;
        *found = {program, candidates[i]};
        return ERROR_SUCCESS;
    }
    return ERROR_FILE_NOT_FOUND;
}

struct Start {
    ProgramMain main;
    std::string arguments;
    int show;
};

DWORD RunProgram(LPVOID parameter) {
    std::unique_ptr<Start> start(static_cast<Start*>(parameter));
    return static_cast<DWORD>(start->main(start->arguments.c_str(), start->show));
}

bool StartProgram(const Found& found, const std::string& arguments, int show, PROCESS_INFORMATION* info) {
    auto start = std::make_unique<Start>(Start{found.program.main, arguments, show});
    DWORD threadId = 0;
    HANDLE thread = CreateThread(nullptr, 0, RunProgram, start.get(), 0, &threadId);
    if (thread == nullptr) return false;
    start.release();  // the program's thread frees it
    static std::atomic<DWORD> nextProcessId{0x400};
    info->hThread = thread;
    const HANDLE self = GetCurrentProcess();
    DuplicateHandle(self, thread, self, &info->hProcess, 0, FALSE, DUPLICATE_SAME_ACCESS);
    info->dwThreadId = threadId;
    info->dwProcessId = nextProcessId += 4;
    return true;
}

// The command of `verb` for class `progId` under HKEY_CLASSES_ROOT.
bool AssociatedCommand(const std::string& progId, const std::string& verb, std::string* command) {
    HKEY key;
    const std::string path = progId + "\\shell\\" + verb + "\\command";
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    char text[1024] = {};
    DWORD type = 0, bytes = sizeof text - 1;
    const bool ok = RegQueryValueExA(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(text), &bytes) == ERROR_SUCCESS &&
                    (type == REG_SZ || type == REG_EXPAND_SZ);
    RegCloseKey(key);
    if (ok) *command = text;
    return ok && !command->empty();
}

bool DefaultValue(const std::string& keyPath, std::string* value) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, keyPath.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    char text[260] = {};
    DWORD type = 0, bytes = sizeof text - 1;
    const bool ok = RegQueryValueExA(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(text), &bytes) == ERROR_SUCCESS &&
                    type == REG_SZ;
    RegCloseKey(key);
    if (ok) *value = text;
    return ok && !value->empty();
}

// Runs the association's command for `file` ("%1" is the file, "%*" the
// parameters); 0 or an SE_ERR code.
int OpenByAssociation(const std::string& file, const std::string& verb, const std::string& parameters, int show,
                      PROCESS_INFORMATION* info) {
    std::string progId;
    const size_t colon = file.find(':');
    const bool address = colon != std::string::npos && colon > 1;  // a scheme, not a drive letter
    if (address) {
        progId = file.substr(0, colon);
    } else {
        const std::string base = BaseName(file);
        const size_t dot = base.rfind('.');
        if (dot == std::string::npos || !DefaultValue(base.substr(dot), &progId)) return SE_ERR_NOASSOC;
        if (HostFile(Widen(file)).empty()) return SE_ERR_FNF;
    }
    std::string command;
    if (!AssociatedCommand(progId, verb, &command)) return SE_ERR_NOASSOC;
    std::string line;
    for (size_t i = 0; i < command.size(); ++i) {
        if (command[i] == '%' && i + 1 < command.size() && (command[i + 1] == '1' || command[i + 1] == 'L')) {
            line += file;
            ++i;
        } else if (command[i] == '%' && i + 1 < command.size() && command[i + 1] == '*') {
            line += parameters;
            ++i;
        } else {
            line += command[i];
        }
    }
    auto [program, arguments] = SplitCommandLine(line);
    Found found;
    if (FindProgram(program, &found) != ERROR_SUCCESS) return SE_ERR_NOASSOC;
    return StartProgram(found, arguments, show, info) ? 0 : SE_ERR_OOM;
}

int ShellOpen(const char* verbText, const char* fileText, const char* parametersText, int show, PROCESS_INFORMATION* info) {
    if (fileText == nullptr || *fileText == 0) return SE_ERR_FNF;
    const std::string verb = verbText && *verbText ? verbText : "open";
    const std::string file = fileText;
    const std::string parameters = parametersText ? parametersText : "";
    Found found;
    const std::string base = BaseName(file);
    const size_t dot = base.rfind('.');
    const bool program = file.find(':') == std::string::npos || file.find(":\\") == 1;
    if (program && (dot == std::string::npos || Upper(Widen(base.substr(dot))) == u".EXE") && verb == "open") {
        switch (FindProgram(file, &found)) {
            case ERROR_SUCCESS: return StartProgram(found, parameters, show, info) ? 0 : SE_ERR_OOM;
            case ERROR_BAD_EXE_FORMAT: return SE_ERR_NOASSOC;
            default: return SE_ERR_FNF;
        }
    }
    return OpenByAssociation(file, verb, parameters, show, info);
}

DWORD ErrorOf(int seError) {
    switch (seError) {
        case SE_ERR_FNF: return ERROR_FILE_NOT_FOUND;
        case SE_ERR_NOASSOC: return ERROR_NO_ASSOCIATION;
        default: return ERROR_NOT_ENOUGH_MEMORY;
    }
}

}  // namespace

void RegisterProgram(const std::u16string& fileName, ProgramMain main, ProgramPlace place) {
    std::lock_guard guard(g_programsLock);
    Programs()[Upper(fileName)] = Program{main, place};
}

}  // namespace qk::win32

BOOL CreateProcessA(LPCSTR applicationName, LPSTR commandLine, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL,
                    DWORD creationFlags, LPVOID environment, LPCSTR, LPSTARTUPINFOA startupInfo,
                    LPPROCESS_INFORMATION processInformation) {
    // A program here cannot be held before its first instruction, nor given
    // an environment of its own.
    if (processInformation == nullptr || (creationFlags & CREATE_SUSPENDED) || environment != nullptr ||
        (applicationName == nullptr && commandLine == nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::string line = commandLine ? commandLine : "";
    auto [first, arguments] = qk::win32::SplitCommandLine(line);
    qk::win32::Found found;
    DWORD error = qk::win32::FindProgram(applicationName ? applicationName : first, &found);
    // An unquoted name with spaces: each longer stretch up to a space is
    // tried in turn, as the platform does ("C:\Program Files\...").
    const size_t start = line.find_first_not_of(" \t");
    if (!applicationName && error == ERROR_FILE_NOT_FOUND && start != std::string::npos && line[start] != '"') {
        for (size_t space = line.find(' ', start + first.size() + 1); error == ERROR_FILE_NOT_FOUND;
             space = line.find(' ', space + 1)) {
            const std::string stretch = line.substr(start, space == std::string::npos ? std::string::npos : space - start);
            error = qk::win32::FindProgram(stretch, &found);
            if (error != ERROR_FILE_NOT_FOUND) {
                const size_t rest = space == std::string::npos ? std::string::npos : line.find_first_not_of(" \t", space);
                arguments = rest == std::string::npos ? std::string() : line.substr(rest);
            }
            if (space == std::string::npos) break;
        }
    }
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return FALSE;
    }
    const int show = startupInfo && (startupInfo->dwFlags & STARTF_USESHOWWINDOW) ? startupInfo->wShowWindow : SW_SHOWDEFAULT;
    if (!qk::win32::StartProgram(found, arguments, show, processInformation)) return FALSE;
    return TRUE;
}

BOOL GetExitCodeProcess(HANDLE process, LPDWORD exitCode) {
    if (exitCode == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const DWORD state = WaitForSingleObject(process, 0);
    if (state == WAIT_FAILED) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (state == WAIT_TIMEOUT) {
        *exitCode = STILL_ACTIVE;
        return TRUE;
    }
    return GetExitCodeThread(process, exitCode);
}

BOOL ShellExecuteExA(SHELLEXECUTEINFOA* info) {
    if (info == nullptr || info->cbSize != sizeof *info) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    PROCESS_INFORMATION process{};
    const int error = qk::win32::ShellOpen(info->lpVerb, info->lpFile, info->lpParameters, info->nShow, &process);
    info->hProcess = nullptr;
    if (error != 0) {
        info->hInstApp = reinterpret_cast<HINSTANCE>(static_cast<INT_PTR>(error));
        SetLastError(qk::win32::ErrorOf(error));
        return FALSE;
    }
    info->hInstApp = reinterpret_cast<HINSTANCE>(static_cast<INT_PTR>(42));
    CloseHandle(process.hThread);
    if (info->fMask & SEE_MASK_NOCLOSEPROCESS) {
        info->hProcess = process.hProcess;
    } else {
        CloseHandle(process.hProcess);
    }
    return TRUE;
}

HINSTANCE ShellExecuteA(HWND hwnd, LPCSTR verb, LPCSTR file, LPCSTR parameters, LPCSTR directory, INT show) {
    SHELLEXECUTEINFOA info{};
    info.cbSize = sizeof info;
    info.hwnd = hwnd;
    info.lpVerb = verb;
    info.lpFile = file;
    info.lpParameters = parameters;
    info.lpDirectory = directory;
    info.nShow = show;
    ShellExecuteExA(&info);
    return info.hInstApp;
}
