// The information classes must never write past the caller's buffer, whatever
// its length, the class asked for and the sizes of names and data.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/registry/information.h"

using namespace qk::registry;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 9) return 0;  // the header and at least one byte of data
    uint32_t informationClass = data[0] % 8;
    uint32_t length = (data[1] | data[2] << 8) % 2048;
    size_t nameLength = data[3] % 64, classLength = data[4] % 16;
    data += 8;
    size -= 8;
    ValueRecord value;
    value.type = data[0];
    value.name.assign(nameLength, u'n');
    value.data.assign(data, data + size);
    KeyRecord key;
    key.name.assign(nameLength, u'k');
    key.className.assign(classLength, u'c');
    KeyCounts counts{1, 2, 3, 4, 5, 6};
    std::u16string path(nameLength * 2, u'p');

    // Exactly `length` bytes, so the address sanitizer sees any overrun.
    std::vector<uint8_t> buffer(length);
    ULONG needed = 0;
    NTSTATUS status = WriteValueInformation(static_cast<KEY_VALUE_INFORMATION_CLASS>(informationClass), value,
                                            length ? buffer.data() : nullptr, length, &needed);
    if (status == STATUS_SUCCESS && needed > length) std::abort();
    if (status == STATUS_BUFFER_OVERFLOW && needed <= length) std::abort();
    status = WriteKeyInformation(static_cast<KEY_INFORMATION_CLASS>(informationClass), key, counts, path,
                                 length ? buffer.data() : nullptr, length, &needed);
    if (status == STATUS_SUCCESS && needed > length) std::abort();
    if (status == STATUS_BUFFER_OVERFLOW && needed <= length) std::abort();
    return 0;
}
