// Format strings from outside (registry values, device strings) must never
// make the formatter read past its input or write anywhere.
#include <cstdint>
#include <string>

#include "platform/nt/wformat.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string format(reinterpret_cast<const char*>(data), size);
    // Every conversion and '*' takes one argument (a long double, 'L', two
    // slots); keep well within what is passed, which also covers a long
    // double taken from the stack for every conversion.
    size_t consumers = 0;
    for (char c : format) consumers += (c == '%' || c == '*') + (c == 'L');
    if (consumers > 8) return 0;
    // Arguments that are safe for every conversion: pointers to a zeroed
    // area are valid strings, UNICODE_STRINGs and integers at once.
    alignas(16) static char zeros[64] = {};
#define QK_ZEROS8 zeros, zeros, zeros, zeros, zeros, zeros, zeros, zeros
    (void)qk::Format(format.c_str(), QK_ZEROS8, QK_ZEROS8, QK_ZEROS8);
    std::u16string wide(format.begin(), format.end());
    (void)qk::FormatWide(wide.c_str(), QK_ZEROS8, QK_ZEROS8, QK_ZEROS8);
#undef QK_ZEROS8
    (void)qk::ToUtf16(format);
    return 0;
}
