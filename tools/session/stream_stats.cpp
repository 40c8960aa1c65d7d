#include "tools/session/stream_stats.h"

#include <algorithm>
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
    if (delivered_++ == 0) firstDropCount_ = sample.dropCount;
    dropCount_ = sample.dropCount;
    if (!sample.TimeValid()) {
        ++withoutTime_;
        return;
    }
    if (havePrevious_) {
        int64_t span = sample.presentationTime - previousTime_;
        if (span <= 0) {
            ++timing_.backwards;
        } else {
            if (timing_.intervals == 0 || span < timing_.minimum) timing_.minimum = span;
            if (timing_.intervals == 0 || span > timing_.maximum) timing_.maximum = span;
            ++timing_.intervals;
            sum_ += static_cast<double>(span);
            timing_.mean = sum_ / static_cast<double>(timing_.intervals);
            // The frame slots the interval covers; more than one only where the
            // driver reported frames dropped in between (the picture numbers
            // skipped them). Picture numbers come from the time stamps rounded
            // down, so they may skip one more than the slots covered.
            int64_t slots = std::llround(static_cast<double>(span) / static_cast<double>(interval_));
            int64_t allowed = std::max<int64_t>(1, sample.pictureNumber - previousPicture_);
            double deviation = static_cast<double>(span - std::max<int64_t>(1, slots) * interval_);
            sumSquaredDeviation_ += deviation * deviation;
            timing_.jitter = std::sqrt(sumSquaredDeviation_ / static_cast<double>(timing_.intervals));
            if (slots < 1 || slots > allowed || std::fabs(deviation) > tolerance_ * static_cast<double>(interval_)) {
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
    // The driver counts drops from the clock's start, so frame times that
    // passed before the first frame arrived count as dropped too.
    if (firstDropCount_ > 0) counts += Format(" (%lld before the first frame)", (long long)std::min(firstDropCount_, dropCount_));
    if (failed_ > 0) counts += Format(", failed %llu", (unsigned long long)failed_);
    if (empty_ > 0) counts += Format(", empty %llu", (unsigned long long)empty_);
    std::string times;
    if (timing_.intervals == 0) {
        times = withoutTime_ > 0 ? "time stamps: none valid (the pin has no reference clock?)"
                                 : "time stamps: too few delivered frames to judge";
    } else {
        const uint64_t good = timing_.intervals - timing_.irregular;
        const char* verdict = Regular() ? "regular" : good * 20 >= timing_.intervals * 19 ? "mostly regular" : "irregular";
        times = Format("time stamps %s: %llu of %llu intervals within %.0f%% of a frame of their frame slot; mean %.2f ms "
                       "against %.2f ms a frame (%.2f to %.2f ms, jitter %.2f ms)",
                       verdict, (unsigned long long)good, (unsigned long long)timing_.intervals, tolerance_ * 100,
                       timing_.mean / 1e4, static_cast<double>(interval_) / 1e4,
                       static_cast<double>(timing_.minimum) / 1e4, static_cast<double>(timing_.maximum) / 1e4,
                       timing_.jitter / 1e4);
        if (timing_.backwards > 0) times += Format("; %llu not later than the one before", (unsigned long long)timing_.backwards);
    }
    return counts + "\n" + times;
}

}  // namespace qk::session
