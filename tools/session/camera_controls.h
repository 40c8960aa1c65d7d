// The capture filter's controls as a user names them: a table of every
// property item the driver can offer (the standard picture and camera sets,
// VideoControl, VideoCompression and the driver's own sets A, B and C) with a
// name, the byte layout of its property structure and the meaning of its
// values; and the requests an application sends for them through the
// kernel-streaming client: basic support, get and set on the filter handle.
//
//   const ControlInfo* zoom = FindControl("zoom");
//   ControlReading now;
//   ReadControl(filter, *zoom, &now);
//   SetResult r = WriteControl(filter, *zoom, {80, kFlagsManual});
//   if (!r.Applied()) ... r.Explain() names the control, the value and the driver's answer.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ks.h"
#include "wdm.h"

namespace qk::session {

// How a control's property structure carries its value.
enum class ControlLayout {
    Value,       // Value at 24, Flags at 28, Capabilities at 32 (VideoProcAmp, CameraControl, set B)
    ValueQ,      // a word at 24 not used, Value at 28, Flags at 32 (sets A and C)
    MirrorMode,  // VideoControl mode: the mirror flags at 28 (1 horizontal, 2 vertical)
    Lock,        // set A 2053: the action (set) or the state (get) at 28
    LockCheckValue,  // set A 2053 action 3: the console's check value at 32 (set only)
    Info,        // read-only items with structures of their own (status, still sizes, frame rates)
};

// The automatic and manual flags of layouts Value and ValueQ.
inline constexpr LONG kFlagsAutomatic = 1;
inline constexpr LONG kFlagsManual = 2;

// A word a user may give instead of a number ("off", "hv", "enable").
struct ValueWord {
    const char* word;
    LONG value;
};

struct ControlInfo {
    const char* name;      // "brightness", as typed on the command line
    const char* setName;   // "procamp", as the set is named in SET/ID
    const GUID* set;
    ULONG id;
    ControlLayout layout;
    ULONG bytes;           // the property structure, request and data alike
    const char* meaning;   // what the values mean, for people
    std::span<const ValueWord> words;
    // Why the driver answers STATUS_DEVICE_BUSY for this control, when it may.
    const char* busyGet;
    const char* busySet;
};

// Every control the tools know, in the order `props list` shows them.
std::span<const ControlInfo> AllControls();

// The control called `name` (any letter case), or given as SET/ID: the set's
// name (procamp, camera, video, compression, a, b, c) or its GUID in braces,
// a slash, and the property id in decimal or 0x hex ("camera/3", "A/2053").
// Null when nothing matches; `error` then says why and lists the names.
const ControlInfo* FindControl(std::string_view nameOrSetId, std::string* error = nullptr);

// "camera/3" for a control: the set/id form FindControl reads back.
std::string SetIdText(const ControlInfo& control);

// A value for a control: a decimal number, or one of its words. False with a
// message naming the control and what it takes.
bool ParseControlValue(const ControlInfo& control, std::string_view text, LONG* value, std::string* error);

// "zoom=80" or "mirror=hv": a control and its value, as --set takes them.
struct ControlAssignment {
    const ControlInfo* control = nullptr;
    LONG value = 0;
    LONG flags = kFlagsManual;
    std::string text;  // as given, for messages
};
bool ParseAssignment(std::string_view text, ControlAssignment* assignment, std::string* error);

// "auto" or "manual" (a trailing word of `props set`).
std::optional<LONG> ParseFlagsWord(std::string_view text);

// ---- What the filter says ----------------------------------------------------------------------

// A KSPROPERTY_TYPE_BASICSUPPORT answer.
struct ControlSupport {
    NTSTATUS status = STATUS_NOT_FOUND;
    ULONG access = 0;  // KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET
    struct Range {
        LONG minimum, maximum;
        ULONG step;
    };
    std::optional<Range> range;
    std::optional<LONG> defaultValue;
    // The filter has the item: the set and the id are in its automation table.
    bool Offered() const { return status != STATUS_NOT_FOUND && status != STATUS_PROPSET_NOT_FOUND; }
    bool CanGet() const { return (access & KSPROPERTY_TYPE_GET) != 0; }
    bool CanSet() const { return (access & KSPROPERTY_TYPE_SET) != 0; }
    // "-64 to 64 in steps of 1, default 0", or empty when the item gave no range.
    std::string RangeText() const;
};

// Reads a KSPROPERTY_DESCRIPTION with its member lists (the stepped range and
// the default value of a VT_I4 item). Anything it does not understand is left
// out; false only for a block too short for the description itself.
bool ParseDescription(std::span<const uint8_t> bytes, ControlSupport* support);

ControlSupport QuerySupport(HANDLE filter, const ControlInfo& control);

// A get: the value with its flags and capabilities where the layout has them.
struct ControlReading {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    LONG value = 0;
    std::optional<LONG> flags;
    std::optional<LONG> capabilities;
    std::string detail;   // Info items: the answer in words
    std::string summary;  // ... and in a few words, for a line of a list
    bool asked = true;   // false for items no get is sent for (a still, the check value)
    // The value came back: success, or busy (the driver writes the value then too).
    bool HasValue() const { return NT_SUCCESS(status) || status == STATUS_DEVICE_BUSY; }
};
ControlReading ReadControl(HANDLE filter, const ControlInfo& control);

// "80", "-5 (1/32 s)", "hv", "1 (continuous)": a value with its meaning.
std::string ValueText(const ControlInfo& control, LONG value);
// The flags in words: "auto", "manual".
std::string FlagsText(LONG flags);
// The capabilities: "auto or manual", "manual".
std::string CapabilitiesText(LONG capabilities);

struct SetResult {
    const ControlInfo* control = nullptr;
    LONG value = 0;
    LONG flags = kFlagsManual;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    // A busy answer is read back: when the control holds the value asked for,
    // the driver had nothing to change (speed or picture-in-picture while
    // tracking is off); otherwise it refused.
    std::optional<LONG> readBack;
    ControlSupport support;  // asked after a refusal, for the range in the message
    bool Applied() const;
    // One line for people: what was asked, what the driver answered and why.
    std::string Explain() const;
};
SetResult WriteControl(HANDLE filter, const ControlInfo& control, LONG value, LONG flags = kFlagsManual);

}  // namespace qk::session
