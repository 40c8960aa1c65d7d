// Filter registrations as another program may have left them: any bytes as a
// filter's "FilterData" beside a valid class, read back by the filter
// mapper's search and by the device enumerator's listing. A value of another
// layout is passed over; nothing is read past its end (the address sanitizer
// watches) and no search fails for it.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include <unistd.h>

#include "fuzz/common/fuzz_world.h"
#include "platform/com/com_runtime.h"
#include "platform/dshow/dshow_servers.h"
#include "platform/nt/kernel.h"
#include "platform/nt/machine.h"
#include "strmif.h"
#include "tools/install/install.h"

namespace {

const CLSID kSomeClass = {0x3F1A2B4C, 0x5D6E, 0x4F70, {0x81, 0x92, 0xA3, 0xB4, 0xC5, 0xD6, 0xE7, 0xF8}};

IFilterMapper2* TheMapper() {
    static IFilterMapper2* mapper = [] {
        qk::fuzzing::BootMachine("dshow");
        qk::install::Options options;
        qk::install::Result result;
        std::string error;
        qk::install::Install(options, &result, &error);
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        qk::dshow::InstallSystemServers();
        IFilterMapper2* m = nullptr;
        if (FAILED(CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper2,
                                    reinterpret_cast<void**>(&m)))) {
            std::abort();
        }
        return m;
    }();
    return mapper;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    IFilterMapper2* mapper = TheMapper();
    std::u16string path = u"CLSID\\" + qk::com::GuidString(CLSID_LegacyAmFilterCategory) + u"\\Instance\\fuzzed";
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS) {
        std::abort();
    }
    std::u16string clsid = qk::com::GuidString(kSomeClass);
    RegSetValueExW(key, u"CLSID", 0, REG_SZ, reinterpret_cast<const BYTE*>(clsid.c_str()),
                   static_cast<DWORD>((clsid.size() + 1) * sizeof(char16_t)));
    RegSetValueExW(key, u"FilterData", 0, REG_BINARY, data, static_cast<DWORD>(size));
    RegCloseKey(key);

    const GUID video[2] = {MEDIATYPE_Video, GUID_NULL};
    for (BOOL render : {FALSE, TRUE}) {
        IEnumMoniker* found = nullptr;
        if (mapper->EnumMatchingFilters(&found, 0, FALSE, 0, TRUE, 1, video, nullptr, nullptr, render, FALSE, 0, nullptr,
                                        nullptr, nullptr) != S_OK) {
            std::abort();  // a stranger's bytes never fail the search
        }
        IMoniker* moniker = nullptr;
        while (found->Next(1, &moniker, nullptr) == S_OK) moniker->Release();
        found->Release();
    }
    RegDeleteKeyW(HKEY_CLASSES_ROOT, path.c_str());
    return 0;
}
