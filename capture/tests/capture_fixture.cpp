#include "capture/tests/capture_fixture.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>

#include "capture/formats.h"
#include "capture/k0340dev_entry.h"
#include "imaging/convert/convert.h"
#include "platform/nt/reg_util.h"
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
    BootPlatform();
}

void CaptureTest::BootPlatform() {
    qk::install::Options options;
    qk::install::Result result;
    std::string error;
    ASSERT_TRUE(qk::install::Install(options, &result, &error)) << error;
    qk::nt::io::RegisterStaticDriver(u"K0340Dev.sys", K0340DevDriverEntry);
    ASSERT_EQ(qk::usb::WriteInstallationEntries(), STATUS_SUCCESS);
    ASSERT_FALSE(qk::usb::StartHostController().empty());
    // Twice real time: streams run quickly and processing keeps up on a loaded
    // host; sanitizer builds run several times slower and keep real time.
#if defined(__SANITIZE_THREAD__)
    qk::nt::Kernel::Get().TheClock().SetRealTime(0.5);
#elif defined(__SANITIZE_ADDRESS__)
    qk::nt::Kernel::Get().TheClock().SetRealTime(1.0);
#else
    qk::nt::Kernel::Get().TheClock().SetRealTime(2.0);
#endif
}

void CaptureTest::Reboot() {
    camera_.reset();
    RestartMachine();
    BootPlatform();
}

void CaptureTest::InstallPictures() {
    namespace fs = std::filesystem;
    fs::path drivers = Root() / "Windows" / "System32" / "drivers";
    for (const char* name : {"K0340Pv2.bmp", "K0340Pc.bmp", "K0340Pvc.bmp"}) {
        std::error_code ec;
        fs::copy_file(fs::path(QK_ARTWORK_DIR) / name, drivers / name, fs::copy_options::overwrite_existing, ec);
        ASSERT_FALSE(ec) << "cannot install " << name << ": " << ec.message();
    }
}

PDEVICE_OBJECT CaptureTest::CameraPdo() {
    qk::nt::pnp::WaitIdle();
    for (auto& d : qk::nt::pnp::Devices()) {
        if (d.service == u"K0340Dev" && d.started) return d.pdo;
    }
    return nullptr;
}

std::u16string CaptureTest::DriverKeyPath() {
    qk::nt::pnp::WaitIdle();
    for (auto& d : qk::nt::pnp::Devices()) {
        if (d.service == u"K0340Dev" && !d.driverKey.empty()) driverKey_ = d.driverKey;
    }
    if (driverKey_.empty()) return {};
    return u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class\\" + driverKey_;
}

std::optional<ULONG> CaptureTest::DeviceValue(const char16_t* subkey, const char16_t* name) {
    std::u16string path = DriverKeyPath();
    if (path.empty()) return std::nullopt;
    if (subkey != nullptr) path += std::u16string(u"\\") + subkey;
    HANDLE key;
    if (!NT_SUCCESS(qk::nt::reg::OpenPath(path, KEY_READ, &key))) return std::nullopt;
    std::optional<ULONG> value = qk::nt::reg::QueryDword(key, name);
    ZwClose(key);
    return value;
}

bool CaptureTest::DeleteDeviceValue(const char16_t* subkey, const char16_t* name) {
    std::u16string path = DriverKeyPath();
    if (path.empty()) return false;
    path += std::u16string(u"\\") + subkey;
    HANDLE key;
    NTSTATUS opened = qk::nt::reg::OpenPath(path, KEY_ALL_ACCESS, &key);
    if (!NT_SUCCESS(opened)) {
        ADD_FAILURE() << "cannot open the driver key: " << std::hex << opened;
        return false;
    }
    UNICODE_STRING value;
    RtlInitUnicodeString(&value, name);
    bool done = NT_SUCCESS(ZwDeleteValueKey(key, &value));
    ZwClose(key);
    return done;
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
    qk::nt::Kernel::Get().FlushWork();  // post-start (settings, effects) runs from a work item
    DriverKeyPath();                     // remembered for after an unplug
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

namespace k0340::testing {

std::unique_ptr<qk::ks::client::Filter> CaptureTest::OpenFilter() {
    std::unique_ptr<qk::ks::client::Filter> filter;
    std::u16string link = FilterLink();
    if (link.empty() || !NT_SUCCESS(qk::ks::client::Filter::Open(link, &filter))) {
        ADD_FAILURE() << "no capture filter";
        return nullptr;
    }
    return filter;
}

std::vector<uint8_t> CaptureTest::Format(qk::ks::client::Filter& filter, uint32_t formatIndex, int width, int height,
                                         int fps) {
    std::vector<uint8_t> range, format;
    if (!FindRange(filter, formatIndex, width, height, &range)) {
        ADD_FAILURE() << "no range for format " << formatIndex << " " << width << "x" << height;
        return {};
    }
    if (!NT_SUCCESS(FormatFor(filter, range, fps, &format))) return {};
    return format;
}

std::vector<uint8_t> AsTopDownBgr(const Sample& s, uint32_t formatIndex, int width, int height) {
    std::vector<uint8_t> bgr(static_cast<size_t>(width) * height * 3);
    if (formatIndex == kFormatYuy2) {
        ConvertYuy2ToRgb24(bgr.data(), width * 3, s.data.data(), width, height);
    } else {
        FlipTopBottom(bgr.data(), s.data.data(), width, height, width * 3, MT_RGB24);
    }
    return bgr;
}

// ---- LiveStream ---------------------------------------------------------------------------

std::unique_ptr<LiveStream> LiveStream::Start(qk::ks::client::Filter& filter, const std::vector<uint8_t>& format,
                                              NTSTATUS* status) {
    std::unique_ptr<LiveStream> stream(new LiveStream);
    NTSTATUS created = filter.CreatePin(0, format, &stream->pin_);
    if (status) *status = created;
    if (!NT_SUCCESS(created)) return nullptr;
    stream->clock_ = qk::ks::CreateClock();
    stream->pin_->SetClock(stream->clock_);
    stream->sizeImage_ =
        reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format.data())->VideoInfoHeader.bmiHeader.biSizeImage;
    constexpr int kQueued = 4;
    stream->buffers_.assign(kQueued, std::vector<uint8_t>(stream->sizeImage_));
    NTSTATUS run = stream->pin_->SetState(KSSTATE_RUN);
    if (status) *status = run;
    if (!NT_SUCCESS(run)) {
        stream->Stop();
        return nullptr;
    }
    for (int i = 0; i < kQueued; ++i) stream->Queue(i);
    stream->feeder_ = std::thread([s = stream.get()] { s->Feed(); });
    return stream;
}

LiveStream::~LiveStream() { Stop(); }

void LiveStream::Queue(int slot) {
    pin_->QueueRead(buffers_[slot].data(), sizeImage_, sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO),
                    [this, slot](const qk::ks::client::Pin::Sample& s) {
                        {
                            std::lock_guard guard(lock_);
                            Sample out;
                            out.status = s.status;
                            std::memcpy(&out.header, s.header.data(), std::min(sizeof out.header, s.header.size()));
                            if (s.header.size() >= sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO)) {
                                std::memcpy(&out.info, s.header.data() + sizeof(KSSTREAM_HEADER), sizeof out.info);
                            }
                            size_t used = std::min<size_t>(out.header.DataUsed, buffers_[slot].size());
                            out.data.assign(buffers_[slot].begin(), buffers_[slot].begin() + static_cast<long>(used));
                            if (s.status == STATUS_SUCCESS && used > 0) ++delivered_;
                            // Only the last pictures are kept; older samples keep their headers.
                            if (samples_.size() >= 8) samples_[samples_.size() - 8].data.clear();
                            samples_.push_back(std::move(out));
                            // Completions come at DISPATCH_LEVEL: the read goes again from the feeder.
                            returned_.push_back(slot);
                        }
                        changed_.notify_all();
                    });
}

void LiveStream::Feed() {
    std::unique_lock held(lock_);
    for (;;) {
        changed_.wait(held, [&] { return stopping_ || !returned_.empty(); });
        if (stopping_) return;
        int slot = returned_.back();
        returned_.pop_back();
        held.unlock();
        Queue(slot);
        held.lock();
    }
}

bool LiveStream::WaitSamples(size_t count) {
    std::unique_lock held(lock_);
    size_t target = samples_.size() + count;
    return changed_.wait_for(held, std::chrono::seconds(20), [&] { return samples_.size() >= target; });
}

bool LiveStream::WaitDelivered(size_t count) {
    std::unique_lock held(lock_);
    size_t target = delivered_ + count;
    return changed_.wait_for(held, std::chrono::seconds(20), [&] { return delivered_ >= target; });
}

Sample LiveStream::NextDelivered(size_t count) {
    EXPECT_TRUE(WaitDelivered(count));
    auto samples = Samples();
    for (auto it = samples.rbegin(); it != samples.rend(); ++it) {
        if (it->status == STATUS_SUCCESS && !it->data.empty()) return *it;
    }
    return {};
}

std::vector<Sample> LiveStream::Samples() {
    std::lock_guard guard(lock_);
    return samples_;
}

size_t LiveStream::Completed() {
    std::lock_guard guard(lock_);
    return samples_.size();
}

size_t LiveStream::Delivered() {
    std::lock_guard guard(lock_);
    return delivered_;
}

NTSTATUS LiveStream::SetState(KSSTATE state) { return pin_ ? pin_->SetState(state) : STATUS_INVALID_HANDLE; }

NTSTATUS LiveStream::Stop() {
    if (!pin_) return STATUS_SUCCESS;
    {
        std::lock_guard guard(lock_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (feeder_.joinable()) feeder_.join();
    NTSTATUS status = pin_->SetState(KSSTATE_STOP);
    pin_->WaitIdle();
    pin_.reset();
    if (clock_ != nullptr) ZwClose(clock_);
    clock_ = nullptr;
    return status;
}

// ---- Properties -----------------------------------------------------------------------------

namespace {

LONG At(const uint8_t* b, size_t offset) {
    LONG v;
    std::memcpy(&v, b + offset, sizeof v);
    return v;
}
void Put(uint8_t* b, size_t offset, LONG v) { std::memcpy(b + offset, &v, sizeof v); }

}  // namespace

ControlAnswer GetP(HANDLE filter, const GUID& set, ULONG id, ULONG bytes) {
    std::vector<uint8_t> b(bytes, 0);
    NTSTATUS status = qk::ks::client::StructProperty(filter, set, id, KSPROPERTY_TYPE_GET, b.data(), bytes);
    return {status, At(b.data(), 24), At(b.data(), 28), bytes >= 36 ? At(b.data(), 32) : 0};
}

NTSTATUS SetP(HANDLE filter, const GUID& set, ULONG id, LONG value, LONG flags, ULONG bytes) {
    std::vector<uint8_t> b(bytes, 0);
    Put(b.data(), 24, value);
    Put(b.data(), 28, flags);
    return qk::ks::client::StructProperty(filter, set, id, KSPROPERTY_TYPE_SET, b.data(), bytes);
}

ControlAnswer GetQ(HANDLE filter, const GUID& set, ULONG id) {
    std::vector<uint8_t> b(36, 0);
    NTSTATUS status = qk::ks::client::StructProperty(filter, set, id, KSPROPERTY_TYPE_GET, b.data(), 36);
    return {status, At(b.data(), 28), At(b.data(), 32), 0};
}

NTSTATUS SetQ(HANDLE filter, const GUID& set, ULONG id, LONG value, LONG flags) {
    std::vector<uint8_t> b(36, 0);
    Put(b.data(), 28, value);
    Put(b.data(), 32, flags);
    return qk::ks::client::StructProperty(filter, set, id, KSPROPERTY_TYPE_SET, b.data(), 36);
}

Support BasicSupport(HANDLE filter, const GUID& set, ULONG id) {
    Support out{};
    KSPROPERTY request{};
    request.Set = set;
    request.Id = id;
    request.Flags = KSPROPERTY_TYPE_BASICSUPPORT;
    std::vector<uint8_t> b(256, 0);
    ULONG got = 0;
    out.status = qk::ks::client::Property(filter, &request, sizeof request, b.data(), static_cast<ULONG>(b.size()), &got);
    if (!NT_SUCCESS(out.status) || got < sizeof(KSPROPERTY_DESCRIPTION)) return out;
    KSPROPERTY_DESCRIPTION d;
    std::memcpy(&d, b.data(), sizeof d);
    out.access = d.AccessFlags;
    size_t at = sizeof d;
    for (ULONG i = 0; i < d.MembersListCount && at + sizeof(KSPROPERTY_MEMBERSHEADER) <= got; ++i) {
        KSPROPERTY_MEMBERSHEADER h;
        std::memcpy(&h, b.data() + at, sizeof h);
        at += sizeof h;
        if (h.MembersFlags == KSPROPERTY_MEMBER_STEPPEDRANGES && at + sizeof(KSPROPERTY_STEPPING_LONG) <= got) {
            KSPROPERTY_STEPPING_LONG r;
            std::memcpy(&r, b.data() + at, sizeof r);
            out.ranged = true;
            out.minimum = r.Bounds.SignedMinimum;
            out.maximum = r.Bounds.SignedMaximum;
            out.step = static_cast<LONG>(r.SteppingDelta);
        } else if (h.MembersFlags == KSPROPERTY_MEMBER_VALUES && (h.Flags & KSPROPERTY_MEMBER_FLAG_DEFAULT) &&
                   at + 4 <= got) {
            out.defaultValue = At(b.data(), at);
        }
        at += size_t{h.MembersSize} * h.MembersCount;
    }
    return out;
}

}  // namespace k0340::testing
