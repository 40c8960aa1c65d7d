// K0340Cvw built into a process (tests, the command-line tool) under its
// file name, with the exports the loadable module has: the loader's
// LoadLibrary/GetProcAddress (hosts, RunDLL32) and the module table
// (RegSvr32) both find it.
#include <cstring>

#include "console/k0340cvw.h"
#include "platform/win32/code_modules.h"
#include "platform/win32/module_table.h"

namespace k0340cvw {
namespace {

template <class F>
void* Address(F* f) {
    return reinterpret_cast<void*>(f);
}

const qk::win32::Export kExports[] = {
    {"luCVWEntryPoint", Address(luCVWEntryPoint)},
    {"luCVWConsoleRunDLL32EP", Address(luCVWConsoleRunDLL32EP)},
    {"luCVWParentalRunDLL32EP", Address(luCVWParentalRunDLL32EP)},
    {"luCVWIntroRunDLL32EP", Address(luCVWIntroRunDLL32EP)},
    {"luCVWUtilityRunDLL32EP", Address(luCVWUtilityRunDLL32EP)},
    {"DllRegisterServer", Address(DllRegisterServer)},
    {"DllUnregisterServer", Address(DllUnregisterServer)},
};

FARPROC LookupExport(const char* name) {
    for (const auto& e : kExports) {
        if (std::strcmp(e.name, name) == 0) return reinterpret_cast<FARPROC>(e.address);
    }
    return nullptr;
}

}  // namespace

void RegisterBuiltin() {
    qk::win32::RegisterBuiltinModule(u"K0340Cvw.dll", std::vector<qk::win32::Export>(std::begin(kExports),
                                                                                    std::end(kExports)));
    qk::win32::RegisterStaticModule(u"K0340Cvw.dll", LookupExport);
}

}  // namespace k0340cvw
