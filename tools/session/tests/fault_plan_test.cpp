// --inject specifications: what they schedule, and the clear refusal of
// anything else.
#include <gtest/gtest.h>

#include "tools/session/fault_plan.h"

namespace qk::session {
namespace {

TEST(FaultPlanTest, SpecificationsScheduleTheirFaults) {
    struct Case {
        const char* text;
        uint32_t loseEvery;
        std::optional<double> stall, unplug, replug;
        const char* described;
    };
    const Case cases[] = {
        {"lose-every=50", 50, {}, {}, {}, "every 50th packet lost"},
        {"stall-at=1.5", 0, 1.5, {}, {}, "a stall at 1.5 s"},
        {"unplug-at=2", 0, {}, 2.0, {}, "unplugged at 2 s"},
        {"unplug-at=2,replug-at=3", 0, {}, 2.0, 3.0, "unplugged at 2 s, plugged back in at 3 s"},
        {"replug-at=3,unplug-at=0", 0, {}, 0.0, 3.0, "unplugged at 0 s, plugged back in at 3 s"},
        {"lose-every=2,stall-at=0,unplug-at=1,replug-at=3600", 2, 0.0, 1.0, 3600.0,
         "every 2nd packet lost, a stall at 0 s, unplugged at 1 s, plugged back in at 3600 s"},
        {"lose-every=21", 21, {}, {}, {}, "every 21st packet lost"},
        {"lose-every=113", 113, {}, {}, {}, "every 113th packet lost"},
        {"lose-every=1000000", 1000000, {}, {}, {}, "every 1000000th packet lost"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        FaultPlan plan;
        std::string error;
        ASSERT_TRUE(ParseFaultPlan(c.text, &plan, &error)) << error;
        EXPECT_EQ(plan.loseEvery, c.loseEvery);
        EXPECT_EQ(plan.stallAt, c.stall);
        EXPECT_EQ(plan.unplugAt, c.unplug);
        EXPECT_EQ(plan.replugAt, c.replug);
        EXPECT_TRUE(plan.Any());
        EXPECT_EQ(plan.Describe(), c.described);
    }
    EXPECT_EQ(FaultPlan{}.Describe(), "no faults");
    EXPECT_FALSE(FaultPlan{}.Any());
}

TEST(FaultPlanTest, AnythingElseIsRefusedSayingWhy) {
    struct Case {
        const char* text;
        const char* says;
    };
    const Case cases[] = {
        {"", "--inject wants lose-every=N"},
        {"lose-every", "is no KEY=VALUE"},
        {"lose-every=1", "from 2 to 1000000"},
        {"lose-every=0", "from 2 to 1000000"},
        {"lose-every=1000001", "from 2 to 1000000"},
        {"lose-every=-5", "from 2 to 1000000"},
        {"lose-every=5x", "from 2 to 1000000"},
        {"lose-every=99999999999999999999", "from 2 to 1000000"},
        {"lose-every=5,lose-every=6", "names lose-every twice"},
        {"stall-at=1,stall-at=2", "names stall-at twice"},
        {"stall-at=", "wants seconds of the run"},
        {"stall-at=-1", "wants seconds of the run"},
        {"stall-at=1e3", "wants seconds of the run"},
        {"stall-at=nan", "wants seconds of the run"},
        {"stall-at=3601", "wants seconds of the run from 0 to 3600"},
        {"stall-at=1..2", "wants seconds of the run"},
        {"replug-at=2", "replug-at needs an unplug-at"},
        {"unplug-at=2,replug-at=2", "must come after unplug-at"},
        {"unplug-at=3,replug-at=2", "must come after unplug-at (3 s)"},
        {"shake-at=2", "unknown fault 'shake-at'"},
        {"stall-at=1,", "ends with a comma"},
        {",stall-at=1", "is no KEY=VALUE"},
        {"stall-at=1 ,unplug-at=2", "wants seconds of the run"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        FaultPlan plan;
        plan.loseEvery = 77;  // a refusal leaves the plan as it was
        std::string error;
        EXPECT_FALSE(ParseFaultPlan(c.text, &plan, &error));
        EXPECT_NE(error.find(c.says), std::string::npos) << error;
        EXPECT_EQ(plan.loseEvery, 77u);
    }
}

}  // namespace
}  // namespace qk::session
