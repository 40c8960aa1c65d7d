// The kernel debugger of the simulated machine: everything DbgPrint writes
// lands here, one entry per call, so that tests can read what a driver said.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace qk::debug {

// Appends one message. Thread-safe; callable at any IRQL.
void Write(std::string_view message);

// A copy of the messages kept so far (the oldest are dropped beyond kCapacity).
std::vector<std::string> Messages();
constexpr size_t kCapacity = 65536;

// Number of kept messages that contain `text`.
size_t Count(std::string_view text);
inline bool Contains(std::string_view text) { return Count(text) > 0; }

void Clear();

// Also copy every message to standard error (QK_DEBUG=1 in the environment
// turns this on at start-up).
void SetEcho(bool on);

}  // namespace qk::debug
