// Programs of the machine. A program is code built into the host process
// under its Windows file name, or a program file built for the machine (a
// loadable module exporting "ProgramMain" with the signature below);
// CreateProcess and ShellExecute start it on a thread of its own with its
// command line. The system's own programs
// (rundll32.exe, regsvr32.exe) are always in the system folder; any other
// program runs only where its file lies on the machine, as an installed
// program would.
#pragma once

#include <string>

#include "minwindef.h"

namespace qk::win32 {

// `arguments` is the command line after the program's name, as WinMain gets
// it; `show` the show command of the start-up information. The result is the
// process's exit code.
using ProgramMain = int (*)(const char* arguments, int show);

enum class ProgramPlace {
    System,     // in the system folder of every machine
    Installed,  // wherever its file has been put
};

// `fileName` is the program's base name ("StartKFX.exe"), compared without case.
void RegisterProgram(const std::u16string& fileName, ProgramMain main, ProgramPlace place);

}  // namespace qk::win32
