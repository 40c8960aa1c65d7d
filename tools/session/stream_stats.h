// What a capture run amounts to: samples delivered, cancelled and failed,
// the driver's drop count, and whether the time stamps keep to the frame
// interval the format asked for.
#pragma once

#include <cstdint>
#include <string>

#include "tools/session/capture_stream.h"

namespace qk::session {

struct TimingSummary {
    uint64_t intervals = 0;  // between successive delivered samples with valid times, 100 ns
    int64_t minimum = 0;
    int64_t maximum = 0;
    double mean = 0;
    double jitter = 0;       // standard deviation from the expected intervals
    uint64_t irregular = 0;  // intervals off their expected value by more than the tolerance
    uint64_t backwards = 0;  // time stamps not later than the one before
};

class StreamStats {
public:
    // `interval100ns` is the format's AvgTimePerFrame. The interval between
    // two delivered frames is regular when it lies within `tolerance` frames
    // of a whole number of frames, at least one and no more than their
    // picture numbers are apart: each picture then stays in a frame slot of
    // its own, and slots are skipped only for frames the driver says it
    // dropped. Half a frame is the most a player can take.
    explicit StreamStats(int64_t interval100ns, double tolerance = 0.5);

    void Add(const SampleReport& sample);

    uint64_t Samples() const { return samples_; }
    uint64_t Delivered() const { return delivered_; }
    uint64_t Cancelled() const { return cancelled_; }
    uint64_t Failed() const { return failed_; }                // other error statuses
    uint64_t Empty() const { return empty_; }                  // success with no data
    uint64_t WithoutTime() const { return withoutTime_; }      // delivered without TIMEVALID
    int64_t DropCount() const { return dropCount_; }           // the last delivered sample's
    int64_t FirstDropCount() const { return firstDropCount_; } // the first delivered sample's
    const TimingSummary& Timing() const { return timing_; }
    // At least one interval, and none irregular or backwards.
    bool Regular() const;

    // Two lines for people: the counts, then the time stamps.
    std::string Describe() const;

private:
    int64_t interval_;
    double tolerance_;
    uint64_t samples_ = 0, delivered_ = 0, cancelled_ = 0, failed_ = 0, empty_ = 0, withoutTime_ = 0;
    int64_t dropCount_ = 0;
    int64_t firstDropCount_ = 0;
    bool havePrevious_ = false;
    int64_t previousTime_ = 0;
    int64_t previousPicture_ = 0;
    double sum_ = 0;
    double sumSquaredDeviation_ = 0;
    TimingSummary timing_;
};

}  // namespace qk::session
