// printf-style formatting with the target platform's rules, for DbgPrint,
// the Rtl string functions and the user-mode sprintf family.
//
// Differences from the C library of this host that matter:
//  - 'l' on an integer conversion is 32 bits (LONG); 'll', 'I64' are 64 bits,
//    'I' and 'z' pointer-sized, 'I32' 32 bits.
//  - In a narrow format %S / %ls / %ws take a 16-bit wide string and %C a
//    wide character; in a wide format %s is wide and %S / %hs narrow.
//  - %wZ takes a UNICODE_STRING*, %Z an ANSI_STRING*; both print "(null)" for null.
//  - %p prints the full pointer width in upper-case hexadecimal.
// Malformed conversions are copied to the output as they stand and consume
// no argument.
#pragma once

#include <cstdarg>
#include <string>

namespace qk {

std::string FormatV(const char* format, va_list args);
std::string Format(const char* format, ...);
std::u16string FormatWideV(const char16_t* format, va_list args);
std::u16string FormatWide(const char16_t* format, ...);

// UTF-16 <-> UTF-8 helpers used wherever wide platform strings meet host text.
std::string ToUtf8(const char16_t* text, size_t units);
std::string ToUtf8(const std::u16string& text);
std::u16string ToUtf16(const std::string& text);

}  // namespace qk
