// A module handed to the loader as a data file is outside input: the
// resource reader must refuse damage with a reason and never read outside
// the bytes; every entry it accepts lies wholly inside them.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/win32/pe_resources.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t> bytes(data, data + size);
    std::string error;
    auto image = qk::win32::ResourceImage::Parse(bytes, &error);
    if (!image) {
        if (error.empty()) std::abort();
        return 0;
    }
    unsigned sum = 0;
    for (const auto& e : image->Entries()) {
        for (uint8_t b : e.data) sum += b;  // every byte of every entry is readable
        image->Find(e.type, e.name);
    }
    return static_cast<int>(sum & 0);
}
