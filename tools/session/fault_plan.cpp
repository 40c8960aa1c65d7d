#include "tools/session/fault_plan.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

#include "platform/nt/wformat.h"

namespace qk::session {
namespace {

constexpr const char* kKeys = "lose-every=N, stall-at=S, unplug-at=S, replug-at=S";

std::string Seconds(double s) { return Format("%g s", s); }

std::string Ordinal(uint32_t n) {
    const uint32_t tens = n % 100, ones = n % 10;
    const char* suffix = tens >= 11 && tens <= 13 ? "th" : ones == 1 ? "st" : ones == 2 ? "nd" : ones == 3 ? "rd" : "th";
    return std::to_string(n) + suffix;
}

bool ParseSeconds(std::string_view text, double* seconds) {
    // strtod needs a terminated string; a field is short.
    std::string s(text);
    if (s.empty() || s.size() > 32 || s.find_first_not_of("0123456789.") != std::string::npos) return false;
    char* end = nullptr;
    double v = std::strtod(s.c_str(), &end);
    if (end != s.c_str() + s.size() || !std::isfinite(v) || v < 0 || v > kFaultLatestSecond) return false;
    *seconds = v;
    return true;
}

}  // namespace

std::string FaultPlan::Describe() const {
    std::string text;
    auto add = [&](const std::string& part) { text += (text.empty() ? "" : ", ") + part; };
    if (loseEvery) add("every " + Ordinal(loseEvery) + " packet lost");
    if (stallAt) add("a stall at " + Seconds(*stallAt));
    if (unplugAt) add("unplugged at " + Seconds(*unplugAt));
    if (replugAt) add("plugged back in at " + Seconds(*replugAt));
    return text.empty() ? "no faults" : text;
}

bool ParseFaultPlan(std::string_view text, FaultPlan* plan, std::string* error) {
    FaultPlan p;
    bool seenLose = false;
    if (text.empty()) {
        *error = "--inject wants " + std::string(kKeys) + " (any of them, comma-separated)";
        return false;
    }
    while (!text.empty()) {
        const size_t comma = text.find(',');
        std::string_view item = text.substr(0, comma);
        text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
        if (comma != std::string_view::npos && text.empty()) {
            *error = "--inject ends with a comma";
            return false;
        }
        const size_t equals = item.find('=');
        if (equals == std::string_view::npos) {
            *error = "--inject: '" + std::string(item) + "' is no KEY=VALUE; the keys are " + kKeys;
            return false;
        }
        std::string_view key = item.substr(0, equals), value = item.substr(equals + 1);
        if (key == "lose-every") {
            uint32_t n = 0;
            auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), n);
            if (seenLose) {
                *error = "--inject names lose-every twice";
                return false;
            }
            if (ec != std::errc() || end != value.data() + value.size() || n < 2 || n > 1'000'000) {
                *error = "--inject: lose-every wants a whole number of packets from 2 to 1000000, not '" +
                         std::string(value) + "'";
                return false;
            }
            p.loseEvery = n;
            seenLose = true;
            continue;
        }
        std::optional<double>* field = key == "stall-at"    ? &p.stallAt
                                       : key == "unplug-at" ? &p.unplugAt
                                       : key == "replug-at" ? &p.replugAt
                                                            : nullptr;
        if (field == nullptr) {
            *error = "--inject: unknown fault '" + std::string(key) + "'; the keys are " + kKeys;
            return false;
        }
        if (field->has_value()) {
            *error = "--inject names " + std::string(key) + " twice";
            return false;
        }
        double seconds = 0;
        if (!ParseSeconds(value, &seconds)) {
            *error = "--inject: " + std::string(key) + " wants seconds of the run from 0 to " +
                     Format("%g", kFaultLatestSecond) + ", not '" + std::string(value) + "'";
            return false;
        }
        *field = seconds;
    }
    if (p.replugAt && !p.unplugAt) {
        *error = "--inject: replug-at needs an unplug-at before it";
        return false;
    }
    if (p.replugAt && *p.replugAt <= *p.unplugAt) {
        *error = "--inject: replug-at (" + Seconds(*p.replugAt) + ") must come after unplug-at (" +
                 Seconds(*p.unplugAt) + ")";
        return false;
    }
    *plan = p;
    return true;
}

}  // namespace qk::session
