#include "tools/session/stream_stats.h"

#include <cmath>

#include "platform/nt/wformat.h"

namespace qk::session {

StreamStats::StreamStats(int64_t interval100ns, double tolerance) : interval_(interval100ns), tolerance_(tolerance) {}

void StreamStats::Add(const SampleReport& sample) {
    ++samples_;
    if (sample.status == STATUS_CANCELLED) {
        ++cancelled_;
        return;
    }
    if (!NT_SUCCESS(sample.status)) {
        ++failed_;
        return;
    }
    if (sample.dataUsed == 0) {
        ++empty_;
        return;
    }
    ++delivered_;
    dropCount_ = sample.dropCount;
    if (!sample.TimeValid()) {
        ++withoutTime_;
        return;
    }
    if (havePrevious_) {
        int64_t span = sample.presentationTime - previousTime_;
        // Frames the driver dropped between the two (their picture numbers
        // were skipped) stretch the interval by whole frames.
        int64_t frames = sample.pictureNumber - previousPicture_;
        if (frames < 1) frames = 1;
        if (span <= 0) {
            ++timing_.backwards;
        } else {
            int64_t perFrame = span / frames;
            if (timing_.intervals == 0 || perFrame < timing_.minimum) timing_.minimum = perFrame;
            if (timing_.intervals == 0 || perFrame > timing_.maximum) timing_.maximum = perFrame;
            sum_ += static_cast<double>(perFrame);
            ++timing_.intervals;
            timing_.mean = sum_ / static_cast<double>(timing_.intervals);
            if (std::fabs(static_cast<double>(span - frames * interval_)) > tolerance_ * static_cast<double>(interval_)) {
                ++timing_.irregular;
            }
        }
    }
    havePrevious_ = true;
    previousTime_ = sample.presentationTime;
    previousPicture_ = sample.pictureNumber;
}

bool StreamStats::Regular() const { return timing_.intervals > 0 && timing_.irregular == 0 && timing_.backwards == 0; }

std::string StreamStats::Describe() const {
    std::string counts = Format("frames delivered %llu, cancelled %llu, dropped %lld", (unsigned long long)delivered_,
                                (unsigned long long)cancelled_, (long long)dropCount_);
    if (failed_ > 0) counts += Format(", failed %llu", (unsigned long long)failed_);
    if (empty_ > 0) counts += Format(", empty %llu", (unsigned long long)empty_);
    std::string times;
    double frameMs = static_cast<double>(interval_) / 1e4;
    if (timing_.intervals == 0) {
        times = withoutTime_ > 0 ? "time stamps: none valid (the pin has no reference clock?)"
                                 : "time stamps: too few delivered frames to judge";
    } else {
        times = Format("time stamps %s: %llu intervals, mean %.2f ms, min %.2f ms, max %.2f ms against %.2f ms a frame",
                       Regular() ? "regular" : "irregular", (unsigned long long)timing_.intervals, timing_.mean / 1e4,
                       static_cast<double>(timing_.minimum) / 1e4, static_cast<double>(timing_.maximum) / 1e4, frameMs);
        if (timing_.irregular > 0) {
            times += Format("; %llu off by more than %.0f%%", (unsigned long long)timing_.irregular, tolerance_ * 100);
        }
        if (timing_.backwards > 0) times += Format("; %llu not later than the one before", (unsigned long long)timing_.backwards);
    }
    return counts + "\n" + times;
}

}  // namespace qk::session
