// The console's replay scripts: one command a line, so that every
// interaction with a running console can be replayed and pictured without a
// person at it. Parsing is separate from running, and refuses a whole
// script with the first bad line (its number and text) before anything runs.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace k0340cvw {

// Expect: the control of the window in front shows a value (a slider's
// position, a check box's state), else the script fails there. Next: the
// window in front goes behind the others, so that a script can act on each
// of several console windows in turn. Expand, collapse: the panel of that
// identifier in the stack shown is opened or closed by its title (every
// title button has the same identifier, so a click cannot name one); a
// panel already so is left alone.
enum class ScriptVerb { Click, Drag, Type, Key, Wait, Unplug, Plug, Screenshot, Expect, Next, Expand, Collapse };

// The keys a script can press, by name.
enum class ScriptKey { Enter, Escape, Tab, Space, Left, Right, Up, Down, Home, End, PageUp, PageDown };

struct ScriptCommand {
    ScriptVerb verb;
    int line;          // 1-based
    int id = 0;        // click, drag, expect, expand, collapse: a control identifier of the window in front
    int32_t value = 0; // drag, expect: the position; wait: milliseconds
    ScriptKey key = ScriptKey::Enter;
    std::string text;  // type: the text; screenshot: the file
};

struct ScriptError {
    int line = 0;
    std::string text;    // the line as written (cut at 80 characters)
    std::string reason;
    std::string Message() const;  // "line N: 'TEXT': REASON"
};

inline constexpr int32_t kLongestWaitMs = 600000;
inline constexpr size_t kLongestScriptLine = 4096;

// Blank lines and lines starting with '#' are skipped; a trailing carriage
// return is dropped. False with the first bad line in `error`.
bool ParseScript(std::string_view script, std::vector<ScriptCommand>* commands, ScriptError* error);

}  // namespace k0340cvw
