// Two cameras tracking at once: contexts are independent, the library-wide
// frame-rate estimate and switches are shared without a data race.
#include <thread>

#include "imaging/vpe/tests/vpe_test_support.h"
#include "sim/scene/scene.h"

namespace qk::vpe {
namespace {

using testing::VpeTest;

TEST_F(VpeTest, TwoContextsTrackOnTwoThreads) {
    const int w = 320, h = 240;
    const sim::Scene scene(sim::Scene::Standard());
    std::vector<uint8_t> frames[2];
    for (int k = 0; k < 2; ++k) {
        frames[k].resize(size_t(w) * h * 2);
        scene.Render(60 + 40 * k, w, h, sim::PixelFormat::kYuy2, frames[k].data(), 2 * w);
    }
    PVPE_CONTEXT contexts[2] = {NewContext(), NewContext()};
    int results[2] = {-1, -1};
    auto run = [&](int k) {
        PVPE_CONTEXT c = contexts[k];
        if (vpeFtkInit(c, w, h) != VPE_SUCCESS) return;
        vpeSetAttrib(c, VPE_ATTR_TEST_FREQ, 0);
        std::vector<uint8_t> dst(frames[k].size());
        int rc = VPE_SUCCESS;
        for (int f = 0; f < 40 && rc == VPE_SUCCESS; ++f) {
            rc = vpeFtk(c, dst.data(), w, h, 2 * w, frames[k].data(), w, h, 2 * w, nullptr, MT_YUY2,
                        uint32_t(f * 33));
        }
        results[k] = rc;
    };
    std::thread a(run, 0), b(run, 1);
    a.join();
    b.join();
    EXPECT_EQ(results[0], VPE_SUCCESS);
    EXPECT_EQ(results[1], VPE_SUCCESS);
    // Each framed its own face: the faces stand at different places.
    VPE_FRAMING f0{}, f1{};
    vpeGetFraming(contexts[0], &f0);
    vpeGetFraming(contexts[1], &f1);
    EXPECT_NE(f0.targetX, f1.targetX);
}

}  // namespace
}  // namespace qk::vpe
