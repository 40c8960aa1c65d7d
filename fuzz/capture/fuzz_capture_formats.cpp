// Hostile formats and ranges into the set-data-format check, format matching
// and the intersection, against every data range of both tables.
#include <cstdint>
#include <cstring>
#include <vector>

#include "capture/formats.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    int variant = (data[0] & 1) ? 1 : 2;
    k0340::FormatTable table = k0340::FormatTableForVariant(variant);
    const k0340::FormatRecord& record = table.records[(data[0] >> 1) % table.count];
    KS_DATARANGE_VIDEO ours;
    k0340::BuildDataRange(record, &ours);
    // The rest is the caller's buffer, copied so that its size is exact.
    std::vector<uint8_t> buffer(data + 1, data + size);
    auto* format = reinterpret_cast<const KSDATAFORMAT*>(buffer.data());
    if (buffer.size() >= sizeof(KSDATAFORMAT)) {
        k0340::CheckDataFormat(table, format, buffer.size(), &ours);
        k0340::StreamFormat stream;
        const k0340::FormatRecord* matched;
        k0340::MatchFormat(table, format, buffer.size(), &stream, &matched);
        ULONG needed = 0;
        k0340::IntersectRange(format, buffer.size(), &ours, nullptr, 0, &needed);
        std::vector<uint8_t> out(needed < 4096 ? needed : 4096);
        ULONG got = 0;
        k0340::IntersectRange(format, buffer.size(), &ours, out.data(), static_cast<ULONG>(out.size()), &got);
    }
    return 0;
}
