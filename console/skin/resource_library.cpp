#include "console/skin/resource_library.h"

#include "console/skin/info_panel.h"

namespace console {

ResourceLibrary::ResourceLibrary() {
    module_ = LoadLibraryExW(u"K0340Cvw.crl", nullptr, LOAD_LIBRARY_AS_DATAFILE);
    previous_ = ResourceModule();
    if (module_) SetResourceModule(module_);
}

ResourceLibrary::~ResourceLibrary() {
    if (!module_) return;
    if (ResourceModule() == module_) SetResourceModule(previous_);
    FreeLibrary(module_);
}

HMODULE ResourceLibrary::Release() {
    HMODULE m = module_;
    module_ = nullptr;
    return m;
}

}  // namespace console
