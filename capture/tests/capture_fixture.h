// A machine with the package installed, the USB host controller up and
// K0340Dev registered; tests plug simulated cameras and stream from the
// capture filter as an application would.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "ks.h"
#include "ksmedia.h"
#include "platform/ks/client.h"
#include "platform/nt/testing/machine_test.h"
#include "sim/camera/camera.h"

namespace k0340::testing {

// A smooth picture that does not change with time: red across, green down.
class PatternSource : public qk::sim::FrameSource {
public:
    void Render(int64_t time, int width, int height, std::vector<uint8_t>& rgb) override;
    std::string Describe() const override { return "pattern"; }
    // The pattern at a size, as B, G, R lines from the top.
    static std::vector<uint8_t> Expected(int width, int height);
};

struct Sample {
    NTSTATUS status;
    KSSTREAM_HEADER header;
    KS_FRAME_INFO info;
    std::vector<uint8_t> data;
};

class CaptureTest : public qk::testing::MachineTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // Plugs a camera (a pattern source unless told otherwise); returns its port.
    int PlugCamera(qk::sim::CameraConfig config = {}, std::shared_ptr<qk::sim::FrameSource> source = nullptr);
    void Unplug(int port);
    // The capture filter's interface link, or empty when there is none.
    std::u16string FilterLink();
    // Finds the data range of a format index and size among the pin's ranges.
    bool FindRange(qk::ks::client::Filter& filter, uint32_t formatIndex, int width, int height,
                   std::vector<uint8_t>* range);
    // A connection format for the range at `fps`, through the intersection.
    NTSTATUS FormatFor(qk::ks::client::Filter& filter, const std::vector<uint8_t>& range, int fps,
                       std::vector<uint8_t>* format);
    // Streams `count` samples (several reads queued) and returns them.
    std::vector<Sample> Stream(uint32_t formatIndex, int width, int height, int fps, int count,
                               NTSTATUS* createStatus = nullptr);

    std::shared_ptr<qk::sim::Camera> camera_;
};

// Peak signal-to-noise ratio of `actual` against `expected` (8-bit samples).
double Psnr(const std::vector<uint8_t>& expected, const uint8_t* actual, size_t bytes);

}  // namespace k0340::testing
