// The replay script's reader. Numbers are read whole (no sign where none
// belongs, nothing after the digits, no overflow); a line is refused rather
// than guessed at.
#include "console/script.h"

#include <array>
#include <charconv>

namespace k0340cvw {
namespace {

struct KeyName {
    const char* name;
    ScriptKey key;
};
constexpr std::array<KeyName, 12> kKeys = {{
    {"enter", ScriptKey::Enter},   {"escape", ScriptKey::Escape}, {"tab", ScriptKey::Tab},
    {"space", ScriptKey::Space},   {"left", ScriptKey::Left},     {"right", ScriptKey::Right},
    {"up", ScriptKey::Up},         {"down", ScriptKey::Down},     {"home", ScriptKey::Home},
    {"end", ScriptKey::End},       {"pageup", ScriptKey::PageUp}, {"pagedown", ScriptKey::PageDown},
}};

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (Lower(a[i]) != Lower(b[i])) return false;
    }
    return true;
}

bool ReadNumber(std::string_view text, int64_t lowest, int64_t highest, int64_t* value) {
    if (text.empty()) return false;
    int64_t v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size() || v < lowest || v > highest) return false;
    *value = v;
    return true;
}

// Splits at the first run of blanks: the word and the rest.
std::pair<std::string_view, std::string_view> Split(std::string_view s) {
    const size_t blank = s.find_first_of(" \t");
    if (blank == std::string_view::npos) return {s, {}};
    const size_t rest = s.find_first_not_of(" \t", blank);
    return {s.substr(0, blank), rest == std::string_view::npos ? std::string_view() : s.substr(rest)};
}

std::string_view TrimRight(std::string_view s) {
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

// One line into a command; the reason when it is none.
std::string ParseLine(std::string_view line, ScriptCommand* c) {
    const auto [word, rest] = Split(line);
    const std::string_view args = TrimRight(rest);
    if (word == "click" || word == "drag" || word == "expect" || word == "expand" || word == "collapse") {
        const auto [idText, valueText] = Split(args);
        int64_t id = 0;
        if (!ReadNumber(idText, 0, 65535, &id)) return "wants a control identifier from 0 to 65535";
        c->id = static_cast<int>(id);
        if (word == "click" || word == "expand" || word == "collapse") {
            if (!valueText.empty()) return std::string(word) + " takes only the control identifier";
            c->verb = word == "click"    ? ScriptVerb::Click
                      : word == "expand" ? ScriptVerb::Expand
                                         : ScriptVerb::Collapse;
            return {};
        }
        int64_t value = 0;
        const auto [valueWord, extra] = Split(valueText);
        const std::string verb(word);
        if (!ReadNumber(valueWord, INT32_MIN, INT32_MAX, &value)) return verb + " wants a control identifier and a whole number";
        if (!extra.empty()) return verb + " takes a control identifier and one number";
        c->verb = word == "drag" ? ScriptVerb::Drag : ScriptVerb::Expect;
        c->value = static_cast<int32_t>(value);
        return {};
    }
    if (word == "type") {
        if (rest.empty()) return "type wants the text to type";
        c->verb = ScriptVerb::Type;
        c->text = std::string(rest);
        return {};
    }
    if (word == "key") {
        for (const KeyName& k : kKeys) {
            if (EqualsIgnoringCase(args, k.name)) {
                c->verb = ScriptVerb::Key;
                c->key = k.key;
                return {};
            }
        }
        return "key wants one of enter, escape, tab, space, left, right, up, down, home, end, pageup, pagedown";
    }
    if (word == "wait") {
        int64_t ms = 0;
        if (!ReadNumber(args, 0, kLongestWaitMs, &ms)) return "wait wants milliseconds from 0 to 600000";
        c->verb = ScriptVerb::Wait;
        c->value = static_cast<int32_t>(ms);
        return {};
    }
    if (word == "unplug" || word == "plug" || word == "next") {
        if (!args.empty()) return std::string(word) + " takes nothing more";
        c->verb = word == "plug" ? ScriptVerb::Plug : word == "next" ? ScriptVerb::Next : ScriptVerb::Unplug;
        return {};
    }
    if (word == "screenshot") {
        if (args.size() < 5 || !EqualsIgnoringCase(args.substr(args.size() - 4), ".png")) {
            return "screenshot wants a file name ending in .png";
        }
        c->verb = ScriptVerb::Screenshot;
        c->text = std::string(args);
        return {};
    }
    return "no command is called '" + std::string(word.substr(0, 40)) +
           "'; the commands are click, expand, collapse, drag, expect, type, key, wait, unplug, plug, next, screenshot";
}

}  // namespace

std::string ScriptError::Message() const { return "line " + std::to_string(line) + ": '" + text + "': " + reason; }

bool ParseScript(std::string_view script, std::vector<ScriptCommand>* commands, ScriptError* error) {
    commands->clear();
    int number = 0;
    size_t at = 0;
    while (at < script.size()) {
        const size_t end = script.find('\n', at);
        std::string_view line = script.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at);
        at = end == std::string_view::npos ? script.size() : end + 1;
        ++number;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        const size_t first = line.find_first_not_of(" \t");
        if (first == std::string_view::npos || line[first] == '#') continue;
        line.remove_prefix(first);
        std::string reason;
        ScriptCommand command{ScriptVerb::Wait, number};
        if (line.size() > kLongestScriptLine) {
            reason = "the line is longer than 4096 characters";
        } else if (line.find('\0') != std::string_view::npos) {
            reason = "the line holds a NUL character";
        } else {
            reason = ParseLine(line, &command);
        }
        if (!reason.empty()) {
            if (error != nullptr) *error = ScriptError{number, std::string(line.substr(0, 80)), reason};
            commands->clear();
            return false;
        }
        commands->push_back(std::move(command));
    }
    return true;
}

}  // namespace k0340cvw
