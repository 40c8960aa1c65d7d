// Filters registered under a category (the key
// HKEY_CLASSES_ROOT\CLSID\{category}\Instance\{instance}) as the filter
// mapper writes them and the system device enumerator lists them: each one a
// moniker whose property bag holds "FriendlyName" and "CLSID" and which binds
// by creating the class.
#pragma once

#include <string>
#include <vector>

#include "objbase.h"
#include "strmif.h"

namespace qk::dshow {

struct RegisteredFilter {
    CLSID clsid{};
    GUID category{};
    std::u16string instance;  // the key's name
    std::u16string friendlyName;
    std::vector<uint8_t> filterData;  // the mapper's description of merit and pins
};

// The filters of a category, in the registry's order of instance names.
std::vector<RegisteredFilter> RegisteredFilters(const GUID& category);
// An enumerator of their monikers (one reference for the caller).
IEnumMoniker* CreateFilterMonikers(std::vector<RegisteredFilter> filters);

}  // namespace qk::dshow
