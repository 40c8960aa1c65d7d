#include "platform/nt/debug.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>

#include "platform/nt/wformat.h"
#include "wdm.h"

namespace qk::debug {
namespace {

struct Store {
    std::mutex lock;  // guards messages and echo
    std::deque<std::string> messages;
    bool echo = std::getenv("QK_DEBUG") != nullptr;
};

Store& TheStore() {
    static Store store;
    return store;
}

}  // namespace

void Write(std::string_view message) {
    Store& s = TheStore();
    std::lock_guard guard(s.lock);
    if (s.messages.size() >= kCapacity) s.messages.pop_front();
    s.messages.emplace_back(message);
    if (s.echo) {
        std::fwrite(message.data(), 1, message.size(), stderr);
        if (message.empty() || message.back() != '\n') std::fputc('\n', stderr);
    }
}

std::vector<std::string> Messages() {
    Store& s = TheStore();
    std::lock_guard guard(s.lock);
    return {s.messages.begin(), s.messages.end()};
}

size_t Count(std::string_view text) {
    Store& s = TheStore();
    std::lock_guard guard(s.lock);
    size_t n = 0;
    for (const auto& m : s.messages) {
        if (m.find(text) != std::string::npos) ++n;
    }
    return n;
}

void Clear() {
    Store& s = TheStore();
    std::lock_guard guard(s.lock);
    s.messages.clear();
}

void SetEcho(bool on) {
    Store& s = TheStore();
    std::lock_guard guard(s.lock);
    s.echo = on;
}

}  // namespace qk::debug

ULONG DbgPrint(PCSTR Format, ...) {
    va_list args;
    va_start(args, Format);
    std::string text = qk::FormatV(Format, args);
    va_end(args);
    qk::debug::Write(text);
    return STATUS_SUCCESS;
}

ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...) {
    va_list args;
    va_start(args, Format);
    std::string text = qk::FormatV(Format, args);
    va_end(args);
    qk::debug::Write(text);
    return STATUS_SUCCESS;
}
