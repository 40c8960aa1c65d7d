// Faults to inject into a capture run, as `qk0340 capture --inject` takes
// them: "lose-every=N,stall-at=S,unplug-at=S,replug-at=S" (any subset, S in
// seconds of the run). The camera model loses the packets and stalls its
// endpoint; the session pulls the camera out and plugs a new one in.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qk::session {

struct FaultPlan {
    uint32_t loseEvery = 0;           // every Nth packet of the stream is spoilt on the wire (0: none)
    std::optional<double> stallAt;    // the camera halts its video endpoint at this second of its stream
    std::optional<double> unplugAt;   // the camera is pulled out at this second of the run
    std::optional<double> replugAt;   // and plugged back in at this one

    bool Any() const { return loseEvery != 0 || stallAt || unplugAt || replugAt; }
    // "every 50th packet lost, a stall at 1 s, unplugged at 2 s, plugged back in at 3 s".
    std::string Describe() const;
};

// Longest time a fault may wait for, in seconds.
inline constexpr double kFaultLatestSecond = 3600;

// False with a message for anything but comma-separated known keys, each at
// most once, with N from 2 (every packet lost would leave nothing to see) and
// S from 0 to kFaultLatestSecond; a replug needs an earlier unplug.
bool ParseFaultPlan(std::string_view text, FaultPlan* plan, std::string* error);

}  // namespace qk::session
