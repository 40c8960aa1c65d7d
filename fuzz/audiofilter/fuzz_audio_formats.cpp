// Pin-create names and data formats as a hostile client could send them: the
// filter decides whether a create is an audio PCM pin and reads its format
// without reading past the name or the format's bytes.
#include <cstdint>
#include <algorithm>
#include <cstring>
#include <vector>

#include "audiofilter/filter.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace k0340aud;
    // The bytes alone as a data format (a format change property).
    std::vector<uint8_t> exact(data, data + size);
    AudioFormat format;
    (void)ParseAudioFormat(exact.data(), exact.size(), &format);

    // The bytes after the pin create's identifier: the inline form when the
    // name is long enough, else the pointer form, whose block is the input
    // padded to what that form may hold. And the bytes alone as a name.
    static const char16_t kPin[] = u"{146F1A80-4791-11D0-A5D6-28DB04C10000}\\";
    std::vector<uint8_t> name(reinterpret_cast<const uint8_t*>(kPin), reinterpret_cast<const uint8_t*>(kPin) + 78);
    std::vector<uint8_t> block(145, 0);
    if (78 + size < 224) {
        std::memcpy(block.data(), data, std::min<size_t>(size, block.size()));
        const uint8_t* pointer = block.data();
        name.resize(78 + sizeof pointer);
        std::memcpy(name.data() + 78, &pointer, sizeof pointer);
    } else {
        name.insert(name.end(), data, data + size);
    }
    name.resize(std::min<size_t>(name.size() & ~size_t{1}, 0xFFFE));
    FILE_OBJECT file{};
    file.FileName.Buffer = reinterpret_cast<PWCHAR>(name.data());
    file.FileName.Length = file.FileName.MaximumLength = static_cast<USHORT>(name.size());
    ULONG pin = 0;
    (void)ParsePinCreate(&file, &pin, &format);
    FILE_OBJECT raw{};
    // Any other create name (a reference string starts with a backslash).
    std::vector<uint8_t> rawName = {'\\', 0};
    rawName.insert(rawName.end(), exact.begin(), exact.begin() + long(std::min<size_t>(size & ~size_t{1}, 0xFFFC)));
    raw.FileName.Buffer = rawName.empty() ? nullptr : reinterpret_cast<PWCHAR>(rawName.data());
    raw.FileName.Length = raw.FileName.MaximumLength = static_cast<USHORT>(rawName.size());
    (void)ParsePinCreate(&raw, &pin, &format);
    return 0;
}
