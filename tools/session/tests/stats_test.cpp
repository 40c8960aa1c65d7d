// The closing summary's judgement of a run: counts by status and whether
// the time stamps keep to the frame interval, with dropped frames allowed
// for.
#include <gtest/gtest.h>

#include "tools/session/stream_stats.h"

namespace qk::session {
namespace {

constexpr int64_t kFrame = 333333;
constexpr uint32_t kTimed = KSSTREAM_HEADER_OPTIONSF_TIMEVALID | KSSTREAM_HEADER_OPTIONSF_DURATIONVALID;

SampleReport Delivered(int64_t time, int64_t picture, int64_t drops = 0, uint32_t flags = kTimed) {
    SampleReport s;
    s.status = STATUS_SUCCESS;
    s.dataUsed = 614400;
    s.presentationTime = time;
    s.optionsFlags = flags;
    s.pictureNumber = picture;
    s.dropCount = drops;
    return s;
}

SampleReport WithStatus(NTSTATUS status) {
    SampleReport s;
    s.status = status;
    return s;
}

TEST(StreamStats, SteadyStreamIsRegular) {
    StreamStats stats(kFrame);
    stats.Add(WithStatus(STATUS_CANCELLED));
    stats.Add(WithStatus(STATUS_CANCELLED));
    for (int k = 0; k < 10; ++k) stats.Add(Delivered(1000 + k * kFrame, k));
    EXPECT_EQ(stats.Samples(), 12u);
    EXPECT_EQ(stats.Delivered(), 10u);
    EXPECT_EQ(stats.Cancelled(), 2u);
    EXPECT_EQ(stats.Timing().intervals, 9u);
    EXPECT_DOUBLE_EQ(stats.Timing().mean, kFrame);
    EXPECT_TRUE(stats.Regular());
    std::string text = stats.Describe();
    EXPECT_NE(text.find("frames delivered 10, cancelled 2, dropped 0"), std::string::npos) << text;
    EXPECT_NE(text.find("time stamps regular: 9 intervals, mean 33.33 ms"), std::string::npos) << text;
}

TEST(StreamStats, JitterWithinToleranceDropsAndOutliers) {
    struct Case {
        const char* name;
        std::vector<std::pair<int64_t, int64_t>> stamps;  // time, picture number
        bool regular;
        uint64_t irregular, backwards;
    };
    const Case cases[] = {
        {"jitter", {{0, 0}, {320000, 1}, {666666, 2}, {980000, 3}}, true, 0, 0},
        // Two pictures skipped: one interval of three frames.
        {"drops", {{0, 0}, {kFrame, 1}, {4 * kFrame, 4}, {5 * kFrame, 5}}, true, 0, 0},
        {"late frame", {{0, 0}, {kFrame, 1}, {kFrame + 500000, 2}, {kFrame + 833333, 3}}, false, 1, 0},
        // A gap the picture numbers do not explain.
        {"unexplained gap", {{0, 0}, {3 * kFrame, 1}}, false, 1, 0},
        {"same time", {{0, 0}, {kFrame, 1}, {kFrame, 2}}, false, 0, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        StreamStats stats(kFrame);
        for (const auto& [time, picture] : c.stamps) stats.Add(Delivered(time, picture));
        EXPECT_EQ(stats.Regular(), c.regular);
        EXPECT_EQ(stats.Timing().irregular, c.irregular);
        EXPECT_EQ(stats.Timing().backwards, c.backwards);
    }
    StreamStats drops(kFrame);
    drops.Add(Delivered(0, 0, 0));
    drops.Add(Delivered(4 * kFrame, 4, 3));
    EXPECT_EQ(drops.DropCount(), 3);
    EXPECT_EQ(drops.Timing().minimum, kFrame);  // per frame
    EXPECT_NE(drops.Describe().find("dropped 3"), std::string::npos);
}

TEST(StreamStats, OtherOutcomesAreCountedApart) {
    StreamStats stats(kFrame);
    stats.Add(WithStatus(STATUS_DEVICE_NOT_CONNECTED));
    SampleReport empty = Delivered(0, 0);
    empty.dataUsed = 0;
    stats.Add(empty);
    stats.Add(Delivered(0, 0, 0, 0));
    stats.Add(Delivered(kFrame, 1, 0, 0));
    EXPECT_EQ(stats.Failed(), 1u);
    EXPECT_EQ(stats.Empty(), 1u);
    EXPECT_EQ(stats.Delivered(), 2u);
    EXPECT_EQ(stats.WithoutTime(), 2u);
    EXPECT_FALSE(stats.Regular());
    std::string text = stats.Describe();
    EXPECT_NE(text.find("failed 1, empty 1"), std::string::npos) << text;
    EXPECT_NE(text.find("none valid"), std::string::npos) << text;
    EXPECT_NE(StreamStats(kFrame).Describe().find("too few"), std::string::npos);
}

}  // namespace
}  // namespace qk::session
