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
    EXPECT_NE(text.find("time stamps regular: 9 of 9 intervals within 50% of a frame of their frame slot; mean 33.33 ms "
                        "against 33.33 ms a frame"),
              std::string::npos)
        << text;
    EXPECT_EQ(stats.Timing().jitter, 0);
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
        // Less than half a frame off stays inside its slot; more does not.
        {"almost half a frame late", {{0, 0}, {kFrame, 1}, {kFrame + 480000, 2}, {kFrame + 813333, 3}}, true, 0, 0},
        {"late frame", {{0, 0}, {kFrame, 1}, {kFrame + 600000, 2}, {kFrame + 933333, 3}}, false, 1, 0},
        {"early frame", {{0, 0}, {kFrame, 1}, {kFrame + 150000, 2}, {3 * kFrame, 3}}, false, 2, 0},
        // Picture numbers from rounded-down times may skip one more than the slots.
        {"gap with a generous skip", {{0, 0}, {698000, 3}}, true, 0, 0},
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
    // One slip in forty intervals is "mostly regular"; one in ten is not.
    for (int every : {40, 10}) {
        StreamStats stats(kFrame);
        int64_t time = 0;
        for (int k = 0; k <= 40; ++k) {
            time += (k % every == every - 1) ? kFrame / 3 : kFrame;
            stats.Add(Delivered(time, k));
        }
        std::string text = stats.Describe();
        EXPECT_NE(text.find(every == 40 ? "time stamps mostly regular" : "time stamps irregular"), std::string::npos) << text;
    }
    StreamStats drops(kFrame);
    drops.Add(Delivered(0, 0, 0));
    drops.Add(Delivered(4 * kFrame, 4, 3));
    EXPECT_EQ(drops.DropCount(), 3);
    EXPECT_EQ(drops.Timing().minimum, 4 * kFrame);
    EXPECT_EQ(drops.Timing().jitter, 0);
    EXPECT_NE(drops.Describe().find("cancelled 0, dropped 3\n"), std::string::npos) << drops.Describe();
    // Frame times that passed before the first frame are told apart.
    StreamStats late(kFrame);
    late.Add(Delivered(7 * kFrame, 7, 7));
    late.Add(Delivered(8 * kFrame, 8, 7));
    late.Add(Delivered(10 * kFrame, 10, 8));
    EXPECT_NE(late.Describe().find("dropped 8 (7 before the first frame)"), std::string::npos) << late.Describe();
    EXPECT_NEAR(late.Timing().mean, 1.5 * kFrame, 1);
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
