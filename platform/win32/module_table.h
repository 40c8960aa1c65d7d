// The code modules of the machine's user-mode programs: libraries found by
// file name, either built into the process (the system's own libraries, and
// deliverables linked into a test) or loaded from the system folder as the
// loadable modules the build makes ("K0340Vfw.dll"). COM loads in-process
// servers through it and the Video-for-Windows runtime its installable
// drivers. Modules are counted: the last release unloads.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qk::win32 {

struct Export {
    const char* name;
    void* address;
};

// A library built into the process under its file name ("quartz.dll"). A
// later registration of the same name replaces the exports (tests register
// the deliverable they link on every machine).
void RegisterBuiltinModule(std::u16string fileName, std::vector<Export> exports);

struct CodeModule;

// Finds a module by file name or path ("K0340Vfw.dll",
// "C:\Windows\System32\K0340Vfw.dll"): built-ins first, then the file in the
// system folder (letter case does not matter). Counts one use. Null with a
// message when there is no such module or it cannot be loaded.
CodeModule* LoadCodeModule(std::u16string_view name, std::string* error);
// One more use of a module already loaded.
void AddRefCodeModule(CodeModule* module);
// The address of an export, or null.
void* CodeModuleExport(CodeModule* module, const char* name);
// The file name the module was found under, as asked ("K0340Vfw.dll").
std::u16string CodeModuleName(CodeModule* module);
// One use less; the last unloads the module.
void ReleaseCodeModule(CodeModule* module);
// Creates the machine's module table now, so that whoever calls this first
// finds its modules still loaded in its own shutdown step.
void PrepareModuleTable();
// The modules loaded at the moment, by file name (tests check what stays).
std::vector<std::u16string> LoadedCodeModules();

}  // namespace qk::win32
