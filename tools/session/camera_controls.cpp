#include "tools/session/camera_controls.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>

#include "capture/k0340_props.h"
#include "ksmedia.h"
#include "platform/ks/client.h"
#include "platform/nt/wformat.h"
#include "tools/session/capture_stream.h"

namespace qk::session {
namespace {

constexpr ValueWord kMirrorWords[] = {{"off", 0}, {"h", 1}, {"v", 2}, {"hv", 3}, {"vh", 3}};
constexpr ValueWord kOnOffWords[] = {{"off", 0}, {"on", 1}};
constexpr ValueWord kTrackingWords[] = {{"off", 0}, {"continuous", 1}, {"still", 2}};
constexpr ValueWord kSpeedWords[] = {{"slow", 0}, {"normal", 1}, {"fast", 2}};
constexpr ValueWord kPipWords[] = {{"off", 0}};
constexpr ValueWord kPowerLineWords[] = {{"disabled", 1}, {"50hz", 2}, {"60hz", 3}};
constexpr ValueWord kPresetWords[] = {{"auto", 0}, {"4650k", 1}, {"2800k", 2}, {"6500k", 3}};
constexpr ValueWord kLockWords[] = {{"disable", K0340_LOCK_DISABLE}, {"enable", K0340_LOCK_ENABLE},
                                    {"release", K0340_LOCK_RELEASE}};

constexpr const char* kFramingBusy = "face tracking owns the framing while it runs";
constexpr const char* kFramingBusySet = "face tracking owns the framing while it runs (set tracking-mode 0 first)";
constexpr const char* kTrackingOffGet = "face tracking is off: the value waits for tracking to start";
constexpr const char* kTrackingOffSet = "the value is unchanged and face tracking is off";

using L = ControlLayout;
const GUID& kProcAmp = PROPSETID_VIDCAP_VIDEOPROCAMP;
const GUID& kCamera = PROPSETID_VIDCAP_CAMERACONTROL;
const GUID& kVideo = PROPSETID_VIDCAP_VIDEOCONTROL;
const GUID& kCompression = PROPSETID_VIDCAP_VIDEOCOMPRESSION;
const GUID& kSetA = PROPSETID_K0340_CAMERA;
const GUID& kSetB = PROPSETID_K0340_TRACKING;
const GUID& kSetC = PROPSETID_K0340_FOCUS;

// The items in the order of the filter's automation table. The lock's check
// value is the lock item's action 3, named apart because it takes a number.
const ControlInfo kControls[] = {
    {"brightness", "procamp", &kProcAmp, 0, L::Value, 40, "camera units", {}, nullptr, nullptr},
    {"contrast", "procamp", &kProcAmp, 1, L::Value, 40, "camera units", {}, nullptr, nullptr},
    {"hue", "procamp", &kProcAmp, 2, L::Value, 40, "camera units", {}, nullptr, nullptr},
    {"saturation", "procamp", &kProcAmp, 3, L::Value, 40, "0 to 4, the camera's levels 3 to 7", {}, nullptr, nullptr},
    {"sharpness", "procamp", &kProcAmp, 4, L::Value, 40, "camera units", {}, nullptr, nullptr},
    {"gamma", "procamp", &kProcAmp, 5, L::Value, 40, "camera units", {}, nullptr, nullptr},
    {"color-enable", "procamp", &kProcAmp, 6, L::Value, 40, "0 or 1", {}, nullptr, nullptr},
    {"white-balance", "procamp", &kProcAmp, 7, L::Value, 40, "colour temperature in kelvin; auto or manual", {},
     nullptr, nullptr},
    {"backlight", "procamp", &kProcAmp, 8, L::Value, 40, "backlight compensation", {}, nullptr, nullptr},
    {"gain", "procamp", &kProcAmp, 9, L::Value, 40, "camera units", {}, nullptr, nullptr},
    {"pan", "camera", &kCamera, 0, L::Value, 40, "digital pan, -50 (left edge) to 50 (right edge)", {}, kFramingBusy,
     kFramingBusySet},
    {"tilt", "camera", &kCamera, 1, L::Value, 40, "digital tilt, -50 (bottom edge) to 50 (top edge)", {}, kFramingBusy,
     kFramingBusySet},
    {"zoom", "camera", &kCamera, 3, L::Value, 40, "digital zoom, 50 (the whole picture) to 100 (half its width)", {},
     kFramingBusy, kFramingBusySet},
    {"exposure", "camera", &kCamera, 4, L::Value, 40, "log2 of seconds, -6 (1/64 s) to -2 (1/4 s); auto or manual", {},
     nullptr, nullptr},
    {"iris", "camera", &kCamera, 5, L::Value, 40, "camera units", {}, nullptr, nullptr},
    {"focus", "camera", &kCamera, 6, L::Value, 40, "lens position; auto or manual", {}, nullptr, nullptr},
    {"privacy", "camera", &kCamera, 8, L::Value, 40, "0 off, 1 on (the privacy picture replaces the camera's)",
     kOnOffWords, nullptr, nullptr},
    {"pan-tilt", "camera", &kCamera, 9, L::Value, 40, "camera units", {}, nullptr, nullptr},
    {"mirror-caps", "video", &kVideo, KSPROPERTY_VIDEOCONTROL_CAPS, L::Info, 32, "the mirror directions offered", {},
     nullptr, nullptr},
    {"actual-frame-rate", "video", &kVideo, KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE, L::Info, 56,
     "the stream's rate and the fastest of each format record", {}, nullptr, nullptr},
    {"frame-rates", "video", &kVideo, KSPROPERTY_VIDEOCONTROL_FRAME_RATES, L::Info, 40,
     "the rates of each format record", {}, nullptr, nullptr},
    {"mirror", "video", &kVideo, KSPROPERTY_VIDEOCONTROL_MODE, L::MirrorMode, 32,
     "off, h (horizontal), v (vertical) or hv (both)", kMirrorWords, nullptr, nullptr},
    {"compression", "compression", &kCompression, 0, L::Info, 48, "the compression capabilities", {}, nullptr, nullptr},
    {"quality", "compression", &kCompression, 3, L::Info, 32, "compression quality", {}, nullptr, nullptr},
    {"white-balance-preset", "a", &kSetA, KSPROPERTY_K0340_WHITEBALANCE_PRESET, L::ValueQ, 36,
     "0 auto, 1 4650 K, 2 2800 K, 3 6500 K", kPresetWords, nullptr, nullptr},
    {"power-line", "a", &kSetA, KSPROPERTY_K0340_POWERLINE, L::ValueQ, 36, "1 disabled, 2 50 Hz, 3 60 Hz",
     kPowerLineWords, nullptr, nullptr},
    {"status", "a", &kSetA, KSPROPERTY_K0340_STATUS, L::Info, 36, "the camera status summary", {}, nullptr, nullptr},
    {"still-sizes", "a", &kSetA, KSPROPERTY_K0340_STILL_SIZES, L::Info, 192, "the still sizes of the stream's format",
     {}, nullptr, nullptr},
    {"still-capture", "a", &kSetA, KSPROPERTY_K0340_STILL_CAPTURE, L::Info, 60, "one still picture while streaming", {},
     nullptr, nullptr},
    {"status-query", "a", &kSetA, KSPROPERTY_K0340_STATUS_QUERY, L::Info, K0340_STATUS_QUERY_BYTES,
     "streaming, idle and whether the register block works", {}, nullptr, nullptr},
    {"lock", "a", &kSetA, KSPROPERTY_K0340_PARENTAL_LOCK, L::Lock, 36,
     "get: disabled, locked or released; set: disable, enable or release", kLockWords, nullptr, nullptr},
    {"lock-check-value", "a", &kSetA, KSPROPERTY_K0340_PARENTAL_LOCK, L::LockCheckValue, 36,
     "the console's 32-bit check value, stored by the driver (set only)", {}, nullptr, nullptr},
    {"tracking-mode", "b", &kSetB, KSPROPERTY_K0340_TRACKING_MODE, L::Value, K0340_SET_B_ITEM_BYTES,
     "0 off, 1 continuous following, 2 following a still scene", kTrackingWords, nullptr, nullptr},
    {"tracking-speed", "b", &kSetB, KSPROPERTY_K0340_TRACKING_SPEED, L::Value, K0340_SET_B_ITEM_BYTES,
     "0 slow, 1 normal, 2 fast", kSpeedWords, kTrackingOffGet, kTrackingOffSet},
    {"pip", "b", &kSetB, KSPROPERTY_K0340_TRACKING_PIP, L::Value, K0340_SET_B_ITEM_BYTES,
     "picture-in-picture: 0 off, 1 and 2 the two placements", kPipWords, kTrackingOffGet, kTrackingOffSet},
    {"focus-area", "c", &kSetC, KSPROPERTY_K0340_FOCUS_AREA, L::ValueQ, 36, "0 to 5", {}, nullptr, nullptr},
    {"focus-windows", "c", &kSetC, KSPROPERTY_K0340_FOCUS_WINDOWS, L::ValueQ, 36, "1 to 16", {}, nullptr, nullptr},
    {"focus-scale", "c", &kSetC, KSPROPERTY_K0340_FOCUS_SCALE, L::ValueQ, 36, "1 to 100", {}, nullptr, nullptr},
    {"focus-third", "c", &kSetC, KSPROPERTY_K0340_FOCUS_THIRD, L::ValueQ, 36, "1 to 255", {}, nullptr, nullptr},
    {"camera-variant", "c", &kSetC, KSPROPERTY_K0340_CAMERA_VARIANT, L::ValueQ, 36,
     "read only: 1 on camera variant 2, else 0", {}, nullptr, nullptr},
};

struct SetName {
    const char* name;
    const GUID* set;
    const char* title;  // as messages name the set
};
constexpr SetName kSets[] = {
    {"procamp", &kProcAmp, "VideoProcAmp"}, {"camera", &kCamera, "CameraControl"},
    {"video", &kVideo, "VideoControl"},     {"compression", &kCompression, "VideoCompression"},
    {"a", &kSetA, "the driver's set A"},    {"b", &kSetB, "the driver's set B"},
    {"c", &kSetC, "the driver's set C"},
};

std::string Lower(std::string_view text) {
    std::string s(text);
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

bool ParseLong(std::string_view text, LONG* value) {
    if (text.empty()) return false;
    if (text.front() == '+') text.remove_prefix(1);
    int64_t v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size()) return false;
    if (v < INT32_MIN || v > INT32_MAX) return false;
    *value = static_cast<LONG>(v);
    return true;
}

bool ParseId(std::string_view text, ULONG* id) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    if (text.empty()) return false;
    uint64_t v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v, base);
    if (ec != std::errc() || end != text.data() + text.size() || v > UINT32_MAX) return false;
    *id = static_cast<ULONG>(v);
    return true;
}

// "{C6E13360-30AC-11D0-A18C-00A0C9118956}" (braces optional, any case).
bool ParseGuid(std::string_view text, GUID* guid) {
    if (text.size() == 38 && text.front() == '{' && text.back() == '}') text = text.substr(1, 36);
    if (text.size() != 36 || text[8] != '-' || text[13] != '-' || text[18] != '-' || text[23] != '-') return false;
    auto hex = [&](size_t at, size_t digits, uint64_t* out) {
        auto [end, ec] = std::from_chars(text.data() + at, text.data() + at + digits, *out, 16);
        return ec == std::errc() && end == text.data() + at + digits;
    };
    uint64_t a, b, c, d, e;
    if (!hex(0, 8, &a) || !hex(9, 4, &b) || !hex(14, 4, &c) || !hex(19, 4, &d) || !hex(24, 12, &e)) return false;
    guid->Data1 = static_cast<uint32_t>(a);
    guid->Data2 = static_cast<uint16_t>(b);
    guid->Data3 = static_cast<uint16_t>(c);
    guid->Data4[0] = static_cast<uint8_t>(d >> 8);
    guid->Data4[1] = static_cast<uint8_t>(d);
    for (int i = 0; i < 6; ++i) guid->Data4[2 + i] = static_cast<uint8_t>(e >> (8 * (5 - i)));
    return true;
}

std::string Names() {
    std::string names;
    for (const auto& c : kControls) names += std::string(names.empty() ? "" : ", ") + c.name;
    return names;
}

std::string SetTitle(const GUID& set) {
    for (const auto& s : kSets) {
        if (IsEqualGUID(*s.set, set)) return s.title;
    }
    return "an unknown set";
}

LONG ReadLong(const std::vector<uint8_t>& data, size_t offset) {
    LONG v = 0;
    if (offset + sizeof v <= data.size()) std::memcpy(&v, data.data() + offset, sizeof v);
    return v;
}

void WriteLong(std::vector<uint8_t>& data, size_t offset, LONG v) {
    if (offset + sizeof v <= data.size()) std::memcpy(data.data() + offset, &v, sizeof v);
}

// The control's property structure with its header filled in.
std::vector<uint8_t> Request(const ControlInfo& control, ULONG flags) {
    std::vector<uint8_t> request(control.bytes, 0);
    KSPROPERTY p{};
    p.Set = *control.set;
    p.Id = control.id;
    p.Flags = flags;
    std::memcpy(request.data(), &p, sizeof p);
    return request;
}

// Sends the structure as the request and as the data buffer, as the
// system's proxy does for these sets; `data` holds what came back.
NTSTATUS Send(HANDLE filter, const std::vector<uint8_t>& request, std::vector<uint8_t>* data) {
    *data = request;
    ULONG returned = 0;
    return ks::client::Property(filter, request.data(), static_cast<ULONG>(request.size()), data->data(),
                                static_cast<ULONG>(data->size()), &returned);
}

std::string LockStateText(LONG state) {
    switch (state) {
        case K0340_LOCK_STATE_DISABLED: return "disabled";
        case K0340_LOCK_STATE_LOCKED: return "locked";
        case K0340_LOCK_STATE_RELEASED: return "released";
        default: return "state " + std::to_string(state);
    }
}

std::string RateList(const std::vector<LONGLONG>& intervals) {
    std::string text;
    for (LONGLONG i : intervals) text += (text.empty() ? "" : ", ") + (i > 0 ? RateText(i) : std::string("?"));
    return text + " fps";
}

// The format records' rates, asked record by record until the driver says
// the index is beyond its table.
void ReadFrameRates(HANDLE filter, const ControlInfo& control, ControlReading* reading) {
    constexpr ULONG kMaxRecords = 64;
    std::string text;
    ULONG records = 0;
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG index = 0; index < kMaxRecords; ++index) {
        std::vector<uint8_t> request = Request(control, KSPROPERTY_TYPE_GET);
        WriteLong(request, 28, static_cast<LONG>(index));
        std::vector<uint8_t> data;
        if (control.id == KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE) {
            status = Send(filter, request, &data);
            if (!NT_SUCCESS(status)) break;
            KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S out;
            std::memcpy(&out, data.data(), std::min(sizeof out, data.size()));
            text += Format("%s%dx%d %s now, %s at most", text.empty() ? "" : "; ", out.Dimensions.cx,
                           out.Dimensions.cy, RateList({out.CurrentActualFrameRate}).c_str(),
                           RateList({out.CurrentMaxAvailableFrameRate}).c_str());
        } else {
            // A size query first, then the intervals after their multiple-item header.
            ULONG size = 0;
            status = ks::client::Property(filter, request.data(), static_cast<ULONG>(request.size()), nullptr, 0, &size);
            if (status != STATUS_BUFFER_OVERFLOW) break;
            if (size < sizeof(KSMULTIPLE_ITEM) || size > 4096) {
                status = STATUS_INVALID_BUFFER_SIZE;
                break;
            }
            data.assign(size, 0);
            status = ks::client::Property(filter, request.data(), static_cast<ULONG>(request.size()), data.data(), size,
                                          &size);
            if (!NT_SUCCESS(status)) break;
            KSMULTIPLE_ITEM header;
            std::memcpy(&header, data.data(), sizeof header);
            std::vector<LONGLONG> intervals;
            for (ULONG i = 0; i < header.Count && sizeof header + (i + 1) * sizeof(LONGLONG) <= data.size(); ++i) {
                LONGLONG v;
                std::memcpy(&v, data.data() + sizeof header + i * sizeof v, sizeof v);
                intervals.push_back(v);
            }
            text += std::string(text.empty() ? "" : "; ") + "record " + std::to_string(index) + ": " + RateList(intervals);
        }
        ++records;
    }
    // The first index beyond the table ends the walk; only a failure before it is one.
    reading->status = records > 0 && status == STATUS_INVALID_PARAMETER ? STATUS_SUCCESS : status;
    reading->value = static_cast<LONG>(records);
    reading->detail = text;
    reading->summary = std::to_string(records) + " format records";
}

void ReadInfoItem(HANDLE filter, const ControlInfo& control, ControlReading* reading);

void ReadInfo(HANDLE filter, const ControlInfo& control, ControlReading* reading) {
    if (IsEqualGUID(*control.set, kVideo) && control.id != KSPROPERTY_VIDEOCONTROL_CAPS) {
        ReadFrameRates(filter, control, reading);
        return;
    }
    ReadInfoItem(filter, control, reading);
    if (reading->summary.empty()) reading->summary = reading->detail;
}

void ReadInfoItem(HANDLE filter, const ControlInfo& control, ControlReading* reading) {
    if (IsEqualGUID(*control.set, kSetA) && control.id == KSPROPERTY_K0340_STILL_CAPTURE) {
        // Not sent: a still needs a running stream and a buffer of the caller's.
        reading->status = STATUS_NOT_SUPPORTED;
        reading->asked = false;
        reading->detail = "a still needs a running stream; the capture command's stream is the place for it";
        return;
    }
    std::vector<uint8_t> request = Request(control, KSPROPERTY_TYPE_GET);
    if (control.id == KSPROPERTY_K0340_STATUS_QUERY && IsEqualGUID(*control.set, kSetA)) {
        for (ULONG i = 0; i < 4; ++i) WriteLong(request, 24 + 4 * i, static_cast<LONG>(i));
    }
    std::vector<uint8_t> data;
    reading->status = Send(filter, request, &data);
    if (!NT_SUCCESS(reading->status)) return;
    if (IsEqualGUID(*control.set, kVideo)) {
        LONG caps = ReadLong(data, 28);
        reading->value = caps;
        reading->detail = caps == 0 ? "no mirror" : std::string((caps & 1) ? "horizontal" : "") +
                                                        ((caps & 3) == 3 ? " and " : "") + ((caps & 2) ? "vertical" : "") +
                                                        " mirror";
    } else if (control.id == KSPROPERTY_K0340_STATUS) {
        reading->value = ReadLong(data, 28);
        reading->detail = Format("busy %d, lowest status bit %d", ReadLong(data, 28), ReadLong(data, 32));
    } else if (control.id == KSPROPERTY_K0340_STILL_SIZES) {
        LONG count = std::clamp<LONG>(ReadLong(data, 28), 0, 10);
        reading->value = count;
        for (LONG i = 0; i < count; ++i) {
            reading->detail += Format("%s%dx%d", i ? ", " : "", ReadLong(data, 32 + 16 * i), ReadLong(data, 36 + 16 * i));
        }
        if (count == 0) reading->detail = "none";
    } else if (control.id == KSPROPERTY_K0340_STATUS_QUERY) {
        static const char* const kItems[] = {"streaming", "idle", "registers work", "registers fail"};
        for (ULONG i = 0; i < 4; ++i) {
            LONG answer = ReadLong(data, 24 + 4 * i);
            reading->detail += std::string(i ? ", " : "") + kItems[i] + " " +
                               (answer == K0340_ANSWER_YES ? "yes" : answer == K0340_ANSWER_NO ? "no" : "unknown");
        }
    }
}

}  // namespace

std::span<const ControlInfo> AllControls() { return kControls; }

const ControlInfo* FindControl(std::string_view nameOrSetId, std::string* error) {
    const std::string wanted = Lower(nameOrSetId);
    for (const auto& c : kControls) {
        if (wanted == c.name) return &c;
    }
    const size_t slash = wanted.rfind('/');
    if (slash != std::string::npos) {
        std::string_view setText = std::string_view(wanted).substr(0, slash);
        std::string_view idText = std::string_view(wanted).substr(slash + 1);
        const GUID* set = nullptr;
        GUID parsed{};
        for (const auto& s : kSets) {
            if (setText == s.name) set = s.set;
        }
        if (set == nullptr && ParseGuid(setText, &parsed)) set = &parsed;
        ULONG id = 0;
        if (set == nullptr || !ParseId(idText, &id)) {
            if (error) {
                *error = "'" + std::string(nameOrSetId) +
                         "' is no SET/ID: the set is procamp, camera, video, compression, a, b or c (or its GUID in "
                         "braces) and the id a number";
            }
            return nullptr;
        }
        for (const auto& c : kControls) {
            if (c.id == id && IsEqualGUID(*c.set, *set)) return &c;
        }
        if (error) *error = "no control of the capture filter is " + SetTitle(*set) + " item " + std::to_string(id);
        return nullptr;
    }
    if (error) *error = "no control is called '" + std::string(nameOrSetId) + "'; the controls are " + Names();
    return nullptr;
}

std::string SetIdText(const ControlInfo& control) { return std::string(control.setName) + "/" + std::to_string(control.id); }

bool ParseControlValue(const ControlInfo& control, std::string_view text, LONG* value, std::string* error) {
    const std::string lower = Lower(text);
    for (const auto& w : control.words) {
        if (lower == w.word) {
            *value = w.value;
            return true;
        }
    }
    // The lock's actions are words first; numbers stand for them too.
    if (ParseLong(lower, value)) return true;
    std::string words;
    for (const auto& w : control.words) words += std::string(words.empty() ? "" : ", ") + w.word;
    *error = std::string(control.name) + " wants " + (words.empty() ? "a number" : "a number or one of " + words) +
             " (" + control.meaning + "), not '" + std::string(text) + "'";
    return false;
}

bool ParseAssignment(std::string_view text, ControlAssignment* assignment, std::string* error) {
    const size_t equals = text.find('=');
    if (equals == std::string_view::npos || equals == 0) {
        *error = "--set wants NAME=VALUE (such as zoom=80), not '" + std::string(text) + "'";
        return false;
    }
    std::string_view name = text.substr(0, equals), valueText = text.substr(equals + 1);
    ControlAssignment a;
    a.text = std::string(text);
    a.control = FindControl(name, error);
    if (a.control == nullptr) return false;
    // "white-balance=4650:manual" or "=auto": the flags of layouts with flags.
    const size_t colon = valueText.rfind(':');
    if (colon != std::string_view::npos) {
        std::optional<LONG> flags = ParseFlagsWord(valueText.substr(colon + 1));
        if (!flags) {
            *error = "'" + std::string(valueText.substr(colon + 1)) + "' in '" + std::string(text) +
                     "' is neither auto nor manual";
            return false;
        }
        a.flags = *flags;
        valueText = valueText.substr(0, colon);
    } else if (std::optional<LONG> flags = ParseFlagsWord(valueText); flags && a.control->words.empty()) {
        // "exposure=auto": automatic needs no value.
        a.flags = *flags;
        *assignment = a;
        return true;
    }
    if (!ParseControlValue(*a.control, valueText, &a.value, error)) return false;
    *assignment = a;
    return true;
}

std::optional<LONG> ParseFlagsWord(std::string_view text) {
    const std::string lower = Lower(text);
    if (lower == "auto" || lower == "automatic") return kFlagsAutomatic;
    if (lower == "manual") return kFlagsManual;
    return std::nullopt;
}

std::string ControlSupport::RangeText() const {
    std::string text;
    if (range) {
        text = Format("%d to %d in steps of %u", range->minimum, range->maximum, range->step);
    }
    if (defaultValue) text += std::string(text.empty() ? "" : ", ") + "default " + std::to_string(*defaultValue);
    return text;
}

bool ParseDescription(std::span<const uint8_t> bytes, ControlSupport* support) {
    KSPROPERTY_DESCRIPTION d;
    if (bytes.size() < sizeof d) return false;
    std::memcpy(&d, bytes.data(), sizeof d);
    support->access = d.AccessFlags;
    // Only what lies inside both the block and the size it states is read.
    size_t end = std::min<size_t>(bytes.size(), d.DescriptionSize);
    size_t at = sizeof d;
    for (ULONG list = 0; list < d.MembersListCount && at + sizeof(KSPROPERTY_MEMBERSHEADER) <= end; ++list) {
        KSPROPERTY_MEMBERSHEADER h;
        std::memcpy(&h, bytes.data() + at, sizeof h);
        at += sizeof h;
        const uint64_t members = uint64_t{h.MembersSize} * h.MembersCount;
        if (members > end - at) break;
        if (h.MembersFlags == KSPROPERTY_MEMBER_STEPPEDRANGES && h.MembersSize >= sizeof(KSPROPERTY_STEPPING_LONG) &&
            h.MembersCount >= 1 && !support->range) {
            KSPROPERTY_STEPPING_LONG s;
            std::memcpy(&s, bytes.data() + at, sizeof s);
            support->range = ControlSupport::Range{s.Bounds.SignedMinimum, s.Bounds.SignedMaximum, s.SteppingDelta};
        } else if (h.MembersFlags == KSPROPERTY_MEMBER_VALUES && (h.Flags & KSPROPERTY_MEMBER_FLAG_DEFAULT) &&
                   h.MembersSize >= sizeof(LONG) && h.MembersCount >= 1 && !support->defaultValue) {
            LONG v;
            std::memcpy(&v, bytes.data() + at, sizeof v);
            support->defaultValue = v;
        }
        at += static_cast<size_t>(members);
    }
    return true;
}

ControlSupport QuerySupport(HANDLE filter, const ControlInfo& control) {
    ControlSupport support;
    KSPROPERTY p{};
    p.Set = *control.set;
    p.Id = control.id;
    p.Flags = KSPROPERTY_TYPE_BASICSUPPORT;
    // The access flags first (a ULONG buffer asks for just them), then the
    // description's size, and the description itself only when it carries
    // member lists: the driver's list items and fixed items have none.
    ULONG access = 0, size = 0;
    support.status = ks::client::Property(filter, &p, sizeof p, &access, sizeof access, &size);
    if (!NT_SUCCESS(support.status)) return support;
    support.access = access;
    NTSTATUS status = ks::client::Property(filter, &p, sizeof p, nullptr, 0, &size);
    if (status != STATUS_BUFFER_OVERFLOW || size <= sizeof(KSPROPERTY_DESCRIPTION)) return support;
    // A description larger than any list of a VT_I4 item is not believed.
    if (size > 4096) {
        support.status = STATUS_INVALID_BUFFER_SIZE;
        return support;
    }
    std::vector<uint8_t> data(size, 0);
    support.status = ks::client::Property(filter, &p, sizeof p, data.data(), size, &size);
    if (NT_SUCCESS(support.status)) {
        ParseDescription(std::span<const uint8_t>(data.data(), std::min<size_t>(size, data.size())), &support);
    }
    return support;
}

ControlReading ReadControl(HANDLE filter, const ControlInfo& control) {
    ControlReading reading;
    switch (control.layout) {
        case L::Info:
            ReadInfo(filter, control, &reading);
            return reading;
        case L::LockCheckValue:
            reading.status = STATUS_NOT_SUPPORTED;
            reading.asked = false;
            reading.detail = "it can only be set";
            return reading;
        default:
            break;
    }
    std::vector<uint8_t> data;
    reading.status = Send(filter, Request(control, KSPROPERTY_TYPE_GET), &data);
    if (!reading.HasValue()) return reading;
    switch (control.layout) {
        case L::Value:
            reading.value = ReadLong(data, 24);
            reading.flags = ReadLong(data, 28);
            reading.capabilities = ReadLong(data, 32);
            break;
        case L::ValueQ:
            reading.value = ReadLong(data, 28);
            reading.flags = ReadLong(data, 32);
            break;
        case L::MirrorMode:
        case L::Lock:
            reading.value = ReadLong(data, 28);
            break;
        default:
            break;
    }
    return reading;
}

std::string ValueText(const ControlInfo& control, LONG value) {
    if (control.layout == L::Lock) return LockStateText(value);
    std::string text = std::to_string(value);
    if (control.layout == L::MirrorMode) {
        switch (value) {
            case 0: return "off";
            case 1: return "h";
            case 2: return "v";
            case 3: return "hv";
            default: return "mode " + text;
        }
    }
    if (std::strcmp(control.name, "exposure") == 0 && value >= -13 && value <= 0) {
        return text + " (1/" + std::to_string(1 << -value) + " s)";
    }
    for (const auto& w : control.words) {
        if (w.value == value) return text + " (" + w.word + ")";
    }
    return text;
}

std::string FlagsText(LONG flags) {
    switch (flags) {
        case kFlagsAutomatic: return "auto";
        case kFlagsManual: return "manual";
        case 0: return "none";
        default: return "flags " + std::to_string(flags);
    }
}

std::string CapabilitiesText(LONG capabilities) {
    switch (capabilities & 3) {
        case 3: return "auto or manual";
        case 1: return "auto";
        case 2: return "manual";
        default: return "none";
    }
}

bool SetResult::Applied() const {
    if (NT_SUCCESS(status)) return true;
    return status == STATUS_DEVICE_BUSY && readBack && *readBack == value;
}

std::string SetResult::Explain() const {
    const ControlInfo& c = *control;
    std::string asked = std::string(c.name) + " " +
                        (c.layout == L::Lock ? std::string(c.words[static_cast<size_t>(std::clamp<LONG>(value, 0, 2))].word)
                                             : ValueText(c, value));
    if (c.layout == L::Lock && (value < 0 || value > 2)) asked = std::string(c.name) + " action " + std::to_string(value);
    if ((c.layout == L::Value || c.layout == L::ValueQ) && flags == kFlagsAutomatic) {
        asked = std::string(c.name) + " auto";
    }
    if (NT_SUCCESS(status)) return asked + ": set";
    if (Applied()) {
        return asked + ": unchanged (the driver answered " + StatusText(status) + ": " + (c.busySet ? c.busySet : "busy") +
               ")";
    }
    std::string text = asked + ": refused by the driver: " + StatusText(status);
    if (status == STATUS_NOT_FOUND || status == STATUS_PROPSET_NOT_FOUND) {
        return std::string("the camera has no ") + c.name + " control: its capture filter offers no " + SetTitle(*c.set) +
               " item " + std::to_string(c.id) + " (" + StatusText(status) + ")";
    }
    if (status == STATUS_INVALID_DEVICE_REQUEST && support.Offered() && !support.CanSet()) {
        return text + ": " + c.name + " is read only";
    }
    if (status == STATUS_DEVICE_BUSY) {
        text += std::string(": ") + (c.busySet ? c.busySet : "the control is busy");
        if (readBack) text += "; it stays " + ValueText(c, *readBack);
        return text;
    }
    if (status == STATUS_NOT_SUPPORTED) text += ": the camera did not take it";
    const std::string range = support.RangeText();
    if (support.range) {
        text += "; it takes " + range;
    } else {
        text += std::string("; it takes ") + c.meaning + (range.empty() ? "" : " (" + range + ")");
    }
    return text;
}

SetResult WriteControl(HANDLE filter, const ControlInfo& control, LONG value, LONG flags) {
    SetResult result;
    result.control = &control;
    result.value = value;
    result.flags = flags;
    std::vector<uint8_t> request = Request(control, KSPROPERTY_TYPE_SET);
    switch (control.layout) {
        case L::Value:
            WriteLong(request, 24, value);
            WriteLong(request, 28, flags);
            break;
        case L::ValueQ:
            WriteLong(request, 28, value);
            WriteLong(request, 32, flags);
            break;
        case L::MirrorMode:
        case L::Lock:
            WriteLong(request, 28, value);
            break;
        case L::LockCheckValue:
            WriteLong(request, 28, K0340_LOCK_STORE_CHECK_VALUE);
            WriteLong(request, 32, value);
            break;
        case L::Info:
            break;
    }
    std::vector<uint8_t> data;
    result.status = Send(filter, request, &data);
    if (result.status == STATUS_DEVICE_BUSY) {
        ControlReading now = ReadControl(filter, control);
        if (now.HasValue()) result.readBack = now.value;
    }
    if (!result.Applied()) result.support = QuerySupport(filter, control);
    return result;
}

}  // namespace qk::session
