#include "capture/tests/capture_fixture.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>

#include "capture/formats.h"
#include "capture/k0340dev_entry.h"
#include "platform/ks/clock.h"
#include "platform/nt/io_manager.h"
#include "platform/nt/kernel.h"
#include "platform/nt/pnp.h"
#include "platform/usb/usb_bus.h"
#include "tools/install/install.h"

namespace k0340::testing {

void PatternSource::Render(int64_t, int width, int height, std::vector<uint8_t>& rgb) {
    rgb.resize(static_cast<size_t>(width) * height * 3);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            uint8_t* p = &rgb[(static_cast<size_t>(y) * width + x) * 3];
            p[0] = static_cast<uint8_t>(40 + x * 170 / (width - 1));
            p[1] = static_cast<uint8_t>(40 + y * 170 / (height - 1));
            p[2] = 120;
        }
    }
}

std::vector<uint8_t> PatternSource::Expected(int width, int height) {
    PatternSource s;
    std::vector<uint8_t> rgb;
    s.Render(0, width, height, rgb);
    for (size_t i = 0; i + 2 < rgb.size(); i += 3) std::swap(rgb[i], rgb[i + 2]);  // R, G, B to B, G, R
    return rgb;
}

double Psnr(const std::vector<uint8_t>& expected, const uint8_t* actual, size_t bytes) {
    double sum = 0;
    size_t n = std::min(expected.size(), bytes);
    for (size_t i = 0; i < n; ++i) {
        double d = static_cast<double>(expected[i]) - actual[i];
        sum += d * d;
    }
    if (n == 0) return 0;
    double mse = sum / static_cast<double>(n);
    return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

void CaptureTest::SetUp() {
    MachineTest::SetUp();
    qk::install::Options options;
    qk::install::Result result;
    std::string error;
    ASSERT_TRUE(qk::install::Install(options, &result, &error)) << error;
    qk::nt::io::RegisterStaticDriver(u"K0340Dev.sys", K0340DevDriverEntry);
    ASSERT_EQ(qk::usb::WriteInstallationEntries(), STATUS_SUCCESS);
    ASSERT_FALSE(qk::usb::StartHostController().empty());
    // Twice real time: streams run quickly and processing keeps up on a loaded host.
    qk::nt::Kernel::Get().TheClock().SetRealTime(2.0);
}

void CaptureTest::TearDown() {
    camera_.reset();
    MachineTest::TearDown();
}

int CaptureTest::PlugCamera(qk::sim::CameraConfig config, std::shared_ptr<qk::sim::FrameSource> source) {
    if (!source) source = std::make_shared<PatternSource>();
    camera_ = std::make_shared<qk::sim::Camera>(config, source);
    return qk::usb::Plug(camera_);
}

void CaptureTest::Unplug(int port) { qk::usb::Unplug(port); }

std::u16string CaptureTest::FilterLink() {
    qk::nt::pnp::WaitIdle();
    auto list = qk::nt::pnp::Interfaces(KSCATEGORY_CAPTURE);
    return list.empty() ? std::u16string() : list[0].symbolicLink;
}

bool CaptureTest::FindRange(qk::ks::client::Filter& filter, uint32_t formatIndex, int width, int height,
                            std::vector<uint8_t>* range) {
    std::vector<qk::ks::client::Bytes> ranges;
    if (!NT_SUCCESS(filter.DataRanges(0, &ranges))) return false;
    for (auto& r : ranges) {
        if (r.size() < sizeof(KS_DATARANGE_VIDEO)) continue;
        auto* v = reinterpret_cast<const KS_DATARANGE_VIDEO*>(r.data());
        if (IsEqualGUID(v->DataRange.SubFormat, *kSubFormats[formatIndex].subtype) &&
            v->VideoInfoHeader.bmiHeader.biWidth == width && v->VideoInfoHeader.bmiHeader.biHeight == height) {
            *range = r;
            return true;
        }
    }
    return false;
}

NTSTATUS CaptureTest::FormatFor(qk::ks::client::Filter& filter, const std::vector<uint8_t>& range, int fps,
                                std::vector<uint8_t>* format) {
    NTSTATUS status = filter.Intersect(0, range, format);
    if (!NT_SUCCESS(status)) return status;
    auto* f = reinterpret_cast<KS_DATAFORMAT_VIDEOINFOHEADER*>(format->data());
    f->VideoInfoHeader.AvgTimePerFrame = 10000000 / fps;
    return STATUS_SUCCESS;
}

std::vector<Sample> CaptureTest::Stream(uint32_t formatIndex, int width, int height, int fps, int count,
                                        NTSTATUS* createStatus) {
    std::vector<Sample> samples;
    std::unique_ptr<qk::ks::client::Filter> filter;
    std::u16string link = FilterLink();
    if (link.empty() || !NT_SUCCESS(qk::ks::client::Filter::Open(link, &filter))) {
        ADD_FAILURE() << "no capture filter";
        return samples;
    }
    std::vector<uint8_t> range, format;
    if (!FindRange(*filter, formatIndex, width, height, &range)) {
        ADD_FAILURE() << "no range for format " << formatIndex << " " << width << "x" << height;
        return samples;
    }
    EXPECT_EQ(FormatFor(*filter, range, fps, &format), STATUS_SUCCESS);
    std::unique_ptr<qk::ks::client::Pin> pin;
    NTSTATUS status = filter->CreatePin(0, format, &pin);
    if (createStatus) *createStatus = status;
    if (!NT_SUCCESS(status)) return samples;
    HANDLE clock = qk::ks::CreateClock();
    EXPECT_EQ(pin->SetClock(clock), STATUS_SUCCESS);
    ULONG sizeImage =
        reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format.data())->VideoInfoHeader.bmiHeader.biSizeImage;
    constexpr int kQueued = 3;
    std::mutex lock;  // guards samples, done and the returned list
    std::condition_variable changed;
    std::vector<std::vector<uint8_t>> buffers(kQueued, std::vector<uint8_t>(sizeImage));
    std::vector<int> returned;
    int done = 0;
    auto queue = [&](int slot) {
        pin->QueueRead(buffers[slot].data(), sizeImage, sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO),
                       [&, slot](const qk::ks::client::Pin::Sample& s) {
                           std::lock_guard guard(lock);
                           Sample out;
                           out.status = s.status;
                           std::memcpy(&out.header, s.header.data(), sizeof out.header);
                           std::memcpy(&out.info, s.header.data() + sizeof(KSSTREAM_HEADER), sizeof out.info);
                           size_t used = std::min<size_t>(out.header.DataUsed, buffers[slot].size());
                           out.data.assign(buffers[slot].begin(), buffers[slot].begin() + static_cast<long>(used));
                           if (static_cast<int>(samples.size()) < count) samples.push_back(std::move(out));
                           ++done;
                           returned.push_back(slot);
                           changed.notify_all();
                       });
    };
    EXPECT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    for (int i = 0; i < kQueued; ++i) queue(i);
    {
        std::unique_lock held(lock);
        while (static_cast<int>(samples.size()) < count) {
            if (!changed.wait_for(held, std::chrono::seconds(20), [&] { return !returned.empty(); })) {
                ADD_FAILURE() << "streaming stalled after " << samples.size() << " samples";
                break;
            }
            int slot = returned.back();
            returned.pop_back();
            if (static_cast<int>(samples.size()) >= count) break;
            held.unlock();
            queue(slot);
            held.lock();
        }
    }
    EXPECT_EQ(pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    pin->WaitIdle();
    pin.reset();
    ZwClose(clock);
    return samples;
}

}  // namespace k0340::testing
