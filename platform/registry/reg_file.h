// The .reg text format, version 5.00:
//
//   Windows Registry Editor Version 5.00
//
//   [HKEY_LOCAL_MACHINE\SOFTWARE\X]        a key (created with its parents)
//   "Name"="text"                           REG_SZ
//   @="text"                                the default value
//   "D"=dword:00000005                      REG_DWORD
//   "B"=hex:01,02                           REG_BINARY
//   "E"=hex(2):25,00,00,00                  any type by number: 2 expandable string,
//   "M"=hex(7):...  "Q"=hex(b):...          7 multi-string, b (11) quad word
//   "Gone"=-                                deletes the value
//   [-HKEY_LOCAL_MACHINE\SOFTWARE\Y]        deletes the key and everything below
//
// In quoted names and strings \\ is a backslash and \" a quote; names may also
// hold \n and \r (line feed, carriage return), the only characters that could
// not stand in a line. Hex lists continue on the next line after a trailing
// backslash. Lines starting with ';' are comments. Paths are native: a
// 32-bit key is written with its Wow6432Node level.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/registry/store.h"

namespace qk::registry {

struct RegOperation {
    enum class Kind { CreateKey, DeleteKey, SetValue, DeleteValue };
    Kind kind = Kind::CreateKey;
    size_t line = 0;                     // where the file says it, from 1
    std::vector<std::u16string> levels;  // the key, below \REGISTRY
    std::u16string valueName;
    uint32_t type = 0;
    std::vector<uint8_t> data;
};

struct RegFileError {
    size_t line = 0;  // 0 when the error is not on one line
    std::string message;
    std::string Text() const;  // "line 7: ..." or the message alone
};

// Reads a whole file (UTF-8 with or without a byte-order mark, or UTF-16LE
// with one) into the changes it asks for; false at the first malformed line.
bool ParseRegText(std::span<const uint8_t> bytes, std::vector<RegOperation>* operations, RegFileError* error);

// Applies the changes in one transaction: all of them or, at the first that
// cannot be made, none (the error names that line).
bool ApplyRegOperations(Store& store, const std::vector<RegOperation>& operations, RegFileError* error);

// Writes the key at `levels` and everything below it as UTF-8 text; `display`
// is the name of the first section.
bool WriteRegText(Store& store, const std::vector<std::u16string>& levels, std::u16string_view display,
                  std::string* text, RegFileError* error);

}  // namespace qk::registry
