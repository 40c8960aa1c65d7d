// A machine with the package installed, the USB host controller up and
// K0340Dev registered; tests plug simulated cameras and stream from the
// capture filter as an application would.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
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

// A stream kept running in the background: reads stay queued, every completed
// sample is kept (the pictures of the last few), until Stop.
class LiveStream {
public:
    ~LiveStream();
    // Opens a pin on `filter` for the format (intersection) and runs it.
    static std::unique_ptr<LiveStream> Start(qk::ks::client::Filter& filter, const std::vector<uint8_t>& format,
                                             NTSTATUS* status = nullptr);
    // Waits (platform time is faster than real time) until `count` more
    // samples have completed; false when they do not come within 20 s.
    bool WaitSamples(size_t count);
    // Waits for `count` more successful samples.
    bool WaitDelivered(size_t count);
    std::vector<Sample> Samples();  // every sample so far (pictures of the last 8 only)
    // The last delivered sample once `count` more have been delivered (empty
    // and a test failure when they do not come).
    Sample NextDelivered(size_t count = 3);
    size_t Completed();
    size_t Delivered();
    NTSTATUS SetState(KSSTATE state);
    // Stops the pin and waits for every read; returns the stop's status.
    NTSTATUS Stop();
    qk::ks::client::Pin& Pin() { return *pin_; }
    ULONG SizeImage() const { return sizeImage_; }

private:
    void Queue(int slot);
    void Feed();
    std::unique_ptr<qk::ks::client::Pin> pin_;
    std::thread feeder_;  // queues returned reads again
    HANDLE clock_ = nullptr;
    ULONG sizeImage_ = 0;
    std::vector<std::vector<uint8_t>> buffers_;
    std::mutex lock_;  // guards everything below
    std::condition_variable changed_;
    std::vector<Sample> samples_;
    std::vector<int> returned_;
    size_t delivered_ = 0;
    bool stopping_ = false;
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

    // Installs the package, registers the driver, starts the bus.
    void BootPlatform();
    // A restart of the machine on the same system root (registry and files stay).
    void Reboot();
    // Puts the built substitute pictures into the drivers folder of the root.
    void InstallPictures();
    // The started camera's video function, and its driver key's values.
    PDEVICE_OBJECT CameraPdo();
    // The camera's driver key ("\\Registry\\Machine\\...\\Class\\{guid}\\0000"), known
    // once the camera has been seen, also after it is unplugged.
    std::u16string DriverKeyPath();
    std::optional<ULONG> DeviceValue(const char16_t* subkey, const char16_t* name);
    bool DeleteDeviceValue(const char16_t* subkey, const char16_t* name);
    // Opens the capture filter (fails the test when there is none).
    std::unique_ptr<qk::ks::client::Filter> OpenFilter();
    // The connection format for a format index, size and rate, or empty.
    std::vector<uint8_t> Format(qk::ks::client::Filter& filter, uint32_t formatIndex, int width, int height, int fps);

    std::shared_ptr<qk::sim::Camera> camera_;
    std::u16string driverKey_;
};

// Properties whose structure is both the request and the data.
struct ControlAnswer {
    NTSTATUS status;
    LONG value;
    LONG flags;
    LONG capabilities;
};
// Layout P (value at 24, flags at 28, capabilities at 32) in `bytes` (40, or 36 for set B).
ControlAnswer GetP(HANDLE filter, const GUID& set, ULONG id, ULONG bytes = 40);
NTSTATUS SetP(HANDLE filter, const GUID& set, ULONG id, LONG value, LONG flags, ULONG bytes = 40);
// Layout Q (value at 28, flags at 32), 36 bytes.
ControlAnswer GetQ(HANDLE filter, const GUID& set, ULONG id);
NTSTATUS SetQ(HANDLE filter, const GUID& set, ULONG id, LONG value, LONG flags = 2);
// The basic-support answer: access flags and, for ranges, min, max, step and default.
struct Support {
    NTSTATUS status;
    ULONG access;
    bool ranged;
    LONG minimum, maximum, step, defaultValue;
};
Support BasicSupport(HANDLE filter, const GUID& set, ULONG id);

// The top-down B, G, R picture of a successful sample.
std::vector<uint8_t> AsTopDownBgr(const Sample& s, uint32_t formatIndex, int width, int height);

// Peak signal-to-noise ratio of `actual` against `expected` (8-bit samples).
double Psnr(const std::vector<uint8_t>& expected, const uint8_t* actual, size_t bytes);

}  // namespace k0340::testing
