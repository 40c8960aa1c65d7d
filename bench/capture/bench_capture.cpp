// Processor time per delivered frame through the capture driver for 640x480
// MJPEG from the camera to YUY2 and to RGB24 (transport, assembly, decoding,
// conversion, delivery), against libjpeg-turbo's decoding plus libyuv's
// conversion of the same frames, measured in the same run.
//
// How it is charged:
// - The camera offers only its MJPEG format, so the driver takes its
//   decoding path for both outputs; the machine runs on a platform clock a
//   few times faster than real time so the run is short, and every frame
//   still goes through the bus, the transport, assembly, the pin's
//   processing and a client's queued reads.
// - The work is charged to the threads that do it, each read with its own
//   processor clock over a window of delivered frames after a warm-up: the
//   kernel's DPC thread (timers and DPCs: the bus's completions, assembly,
//   the transport's re-submission and watchdog), the system workers (the
//   pin's processing: decoding, conversion, completing the reads and the
//   client's completion routine) and the client's own thread (waiting for
//   samples and sending the next read through the I/O manager and kernel
//   streaming). Threads with no part in the stream (Plug and Play, the
//   registry) are not charged. Another program on the machine's processors
//   stops none of these clocks from counting only this work.
// - The paths are measured in rounds (each path streamed once a round, the
//   anchors and the decoder alone in a loop before them) and each figure is
//   the median of the rounds, so that a burst of load elsewhere, which still
//   slows every thread through the caches and the cost of waking, falls on
//   one round of every path and decides nothing.
// - The camera model (rendering a cached scene, its MJPEG encoding, its
//   packets) runs inside the bus DPC on the DPC thread; the bus reads that
//   thread's clock around each transfer's calls into the camera, and that
//   time is taken out: what is left is what the driver and the platform it
//   runs on spend. The clock reads' own cost is taken out too.
// - The anchors decode the same JPEG frames (the camera's encoder, same
//   options) with libjpeg-turbo's accurate IDCT, then libyuv converts:
//   planar 4:2:2 to YUY2; for RGB24 the faster of libjpeg-turbo's own BGR
//   bottom-up output and planar plus libyuv's I422ToRGB24 with the flip.
//   The target compares with them in a loop; they also run in a stream of
//   their own, once a delivered frame, where like the driver each frame
//   starts with the caches as the stream left them, and that ratio is shown
//   beside the target's.
#include <libyuv.h>
#include <sys/resource.h>
#include <time.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "capture/k0340_props.h"
#include "capture/k0340dev_entry.h"
#include "imaging/jpeg/jpeg.h"
#include "platform/nt/kernel.h"
#include "platform/nt/machine.h"
#include "platform/nt/processor_time.h"
#include "platform/usb/host_controller.h"
#include "sim/camera/camera.h"
#include "sim/camera/jpeg_encoder.h"
#include "tools/session/camera_rig.h"
#include "tools/session/capture_output.h"
#include "tools/session/capture_stream.h"

namespace {

constexpr int kScenes = 30;  // distinct pictures, a second of the scene at 30 fps

double ThreadSeconds() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

struct Size {
    int width, height;
    uint8_t frameIndex;  // of the camera's MJPEG format
};
constexpr Size kVga = {640, 480, 1};
constexpr Size kSmall = {160, 120, 5};

// A second of the synthetic scene at each size the run uses, rendered once:
// the camera's rendering is then a copy, and every run films the same pictures.
class CachedScene : public qk::sim::FrameSource {
public:
    explicit CachedScene(std::vector<Size> sizes) {
        qk::sim::SyntheticScene scene;
        for (const Size& size : sizes) {
            auto& pictures = pictures_[Key(size.width, size.height)];
            for (int i = 0; i < kScenes; ++i) {
                pictures.emplace_back();
                scene.Render(int64_t{i} * 333333, size.width, size.height, pictures.back());
            }
        }
    }
    void Render(int64_t time, int width, int height, std::vector<uint8_t>& rgb) override {
        auto found = pictures_.find(Key(width, height));
        if (found == pictures_.end()) {
            rgb.assign(size_t(width) * height * 3, 128);
            return;
        }
        rgb = found->second[static_cast<size_t>(time / 333333) % found->second.size()];
    }
    std::string Describe() const override { return "cached synthetic scene"; }
    const std::vector<std::vector<uint8_t>>& Pictures(const Size& size) { return pictures_[Key(size.width, size.height)]; }

private:
    static int64_t Key(int width, int height) { return int64_t{width} << 32 | height; }
    std::map<int64_t, std::vector<std::vector<uint8_t>>> pictures_;
};

qk::sim::CameraConfig MjpegOnlyCamera() {
    qk::sim::CameraConfig config;
    config.variant = 2;
    for (const auto& format : qk::sim::DefaultFormats(2)) {
        if (format.format == qk::sim::VideoFormat::Mjpeg) config.formats.push_back(format);
    }
    return config;
}

// libjpeg-turbo and libyuv doing what the driver does to one frame.
class AnchorDecoder {
public:
    explicit AnchorDecoder(const Size& size)
        : w_(size.width), h_(size.height), cw_(size.width / 2), handle_(tjInitDecompress()),
          y_(size_t(w_) * h_), u_(size_t(cw_) * h_), v_(size_t(cw_) * h_), out_(size_t(w_) * h_ * 3) {}
    ~AnchorDecoder() { tjDestroy(handle_); }
    AnchorDecoder(const AnchorDecoder&) = delete;
    AnchorDecoder& operator=(const AnchorDecoder&) = delete;

    // Planar 4:2:2, then libyuv to YUY2.
    void Yuy2(const std::vector<uint8_t>& jpeg) {
        Planar(jpeg);
        libyuv::I422ToYUY2(y_.data(), w_, u_.data(), cw_, v_.data(), cw_, out_.data(), w_ * 2, w_, h_);
    }
    // BGR bottom-up straight from libjpeg-turbo.
    void RgbTurbo(const std::vector<uint8_t>& jpeg) {
        tjDecompress2(handle_, jpeg.data(), jpeg.size(), out_.data(), w_, w_ * 3, h_, TJPF_BGR, TJFLAG_BOTTOMUP);
    }
    // Planar, then libyuv's RGB24 (B, G, R in memory; a negative height writes bottom-up).
    void RgbPlanar(const std::vector<uint8_t>& jpeg) {
        Planar(jpeg);
        libyuv::I422ToRGB24(y_.data(), w_, u_.data(), cw_, v_.data(), cw_, out_.data(), w_ * 3, w_, -h_);
    }

private:
    void Planar(const std::vector<uint8_t>& jpeg) {
        unsigned char* planes[3] = {y_.data(), u_.data(), v_.data()};
        int strides[3] = {w_, cw_, cw_};
        tjDecompressToYUVPlanes(handle_, jpeg.data(), jpeg.size(), planes, w_, strides, h_, 0);
    }
    int w_, h_, cw_;
    tjhandle handle_;
    std::vector<uint8_t> y_, u_, v_, out_;
};

struct Anchor {
    double yuy2 = 0;       // planar decode + I422ToYUY2
    double rgbTurbo = 0;   // BGR bottom-up straight from libjpeg-turbo
    double rgbPlanar = 0;  // planar decode + I422ToRGB24 (flipped)
    double Rgb24() const { return std::min(rgbTurbo, rgbPlanar); }
};

// The anchors in a loop over the frames, caches warm.
Anchor MeasureAnchors(const std::vector<std::vector<uint8_t>>& jpegs, const Size& size, int rounds) {
    AnchorDecoder decoder(size);
    auto measure = [&](void (AnchorDecoder::*one)(const std::vector<uint8_t>&)) {
        double start = ThreadSeconds();
        for (int r = 0; r < rounds; ++r) {
            for (const auto& j : jpegs) (decoder.*one)(j);
        }
        return (ThreadSeconds() - start) / static_cast<double>(rounds * jpegs.size());
    };
    Anchor a;
    a.yuy2 = measure(&AnchorDecoder::Yuy2);
    a.rgbTurbo = measure(&AnchorDecoder::RgbTurbo);
    a.rgbPlanar = measure(&AnchorDecoder::RgbPlanar);
    return a;
}

// What reading a processor-time clock itself costs (a system call): one such
// cost falls outside every timed span and lands on the thread's own figure.
double ClockReadSeconds() {
    constexpr int kReads = 2000;
    const int64_t first = qk::nt::CurrentThreadProcessorNs();
    int64_t last = first;
    for (int i = 1; i < kReads; ++i) last = qk::nt::CurrentThreadProcessorNs();
    return static_cast<double>(last - first) * 1e-9 / (kReads - 1);
}

// The driver's own decoder alone on the same frames, as the pin calls it
// (into a work buffer; the pin then copies or flips into the sample).
const uint8_t* g_jpeg;
uint32_t g_jpegBytes;
uint8_t* g_picture;
int g_pitch, g_width, g_height;

int JpegData(const uint8_t** chunk, uint32_t* length) {
    *chunk = g_jpeg;
    *length = g_jpegBytes;
    g_jpegBytes = 0;
    return 1;
}

int JpegImage(uint8_t** destination, uint16_t* pitch, int width, int height) {
    if (width != g_width || height != g_height) return 0;
    *destination = g_picture;
    *pitch = static_cast<uint16_t>(g_pitch);
    return 1;
}

double MeasureDecoder(const std::vector<std::vector<uint8_t>>& jpegs, const Size& size, int kind, int bytesPerPixel,
                      int rounds) {
    std::vector<uint8_t> picture(size_t(size.width) * size.height * bytesPerPixel);
    g_picture = picture.data();
    g_pitch = size.width * bytesPerPixel;
    g_width = size.width;
    g_height = size.height;
    jpgInit(JPG_VERSION, nullptr);
    jpgSetOption(JPG_OPT_OUTPUT_KIND, kind);
    int failures = 0;
    double start = ThreadSeconds();
    for (int r = 0; r < rounds; ++r) {
        for (const auto& j : jpegs) {
            g_jpeg = j.data();
            g_jpegBytes = static_cast<uint32_t>(j.size());
            failures += jpgDecode(JpegImage, JpegData) != JPG_SUCCESS;
        }
    }
    double seconds = (ThreadSeconds() - start) / static_cast<double>(rounds * jpegs.size());
    if (failures > 0) std::fprintf(stderr, "the decoder refused %d frames\n", failures);
    return seconds;
}

// Clocks read at the two ends of a window.
struct Reading {
    int64_t dpcNs = 0, workersNs = 0, clientNs = 0, cameraNs = 0, cameraSpans = 0;
    long voluntarySwitches = 0, involuntarySwitches = 0;

    // On the client's thread (the one that runs the stream's callback).
    static Reading Take() {
        Reading r;
        const auto kernel = qk::nt::Kernel::Get().ProcessorTimes();
        r.dpcNs = kernel.dpcNs;
        r.workersNs = kernel.workersNs;
        r.clientNs = qk::nt::CurrentThreadProcessorNs();
        r.cameraNs = qk::usb::TheHostController()->DeviceProcessorNs();
        r.cameraSpans = qk::usb::TheHostController()->DeviceTimedSpans();
        rusage u;
        getrusage(RUSAGE_SELF, &u);
        r.voluntarySwitches = u.ru_nvcsw;
        r.involuntarySwitches = u.ru_nivcsw;
        return r;
    }
    Reading Since(const Reading& start) const {
        Reading d;
        d.dpcNs = dpcNs - start.dpcNs;
        d.workersNs = workersNs - start.workersNs;
        d.clientNs = clientNs - start.clientNs;
        d.cameraNs = cameraNs - start.cameraNs;
        d.cameraSpans = cameraSpans - start.cameraSpans;
        d.voluntarySwitches = voluntarySwitches - start.voluntarySwitches;
        d.involuntarySwitches = involuntarySwitches - start.involuntarySwitches;
        return d;
    }
};

// The anchors run on the client's thread once for every delivered frame of
// a stream of their own, on one of the camera's frames: like the driver each
// starts its frame after a sleep, with the caches as the rest of the stream
// left them, which a loop over the frames never sees. The three take turns.
// The paths' own streams run without it, so that it disturbs none of their
// figures.
struct StreamAnchor {
    AnchorDecoder* decoder = nullptr;
    const std::vector<std::vector<uint8_t>>* jpegs = nullptr;
    int64_t ns[3] = {0, 0, 0};  // YUY2, turbo BGR, planar RGB24
    int64_t calls[3] = {0, 0, 0};

    void Run(uint64_t frame) {
        if (decoder == nullptr) return;
        const auto& jpeg = (*jpegs)[frame % jpegs->size()];
        const int way = static_cast<int>(frame % 3);
        const int64_t start = qk::nt::CurrentThreadProcessorNs();
        if (way == 0) {
            decoder->Yuy2(jpeg);
        } else if (way == 1) {
            decoder->RgbTurbo(jpeg);
        } else {
            decoder->RgbPlanar(jpeg);
        }
        ns[way] += qk::nt::CurrentThreadProcessorNs() - start;
        ++calls[way];
    }
    // Seconds a frame of one way; one clock read of each timed span is its own.
    double Seconds(int way, double clockRead) const {
        if (calls[way] == 0) return 0;
        const double n = static_cast<double>(calls[way]);
        return (static_cast<double>(ns[way]) * 1e-9 - n * clockRead) / n;
    }
    int64_t Spans() const { return calls[0] + calls[1] + calls[2]; }
    int64_t TotalNs() const { return ns[0] + ns[1] + ns[2]; }
};

struct Measured {
    bool ok = false;
    uint64_t delivered = 0, bad = 0;
    Reading window;
    StreamAnchor anchor;
};

// Streams `frames` delivered frames after `warmup` and reads the clocks
// across them.
Measured Stream(qk::session::PixelFormat format, const Size& size, int warmup, int frames,
                qk::ks::client::Filter& filter, StreamAnchor anchor) {
    Measured m;
    m.anchor = anchor;
    std::string error;
    std::unique_ptr<qk::session::CaptureStream> stream;
    qk::session::StreamOptions options;
    options.queuedReads = 4;
    if (!qk::session::CaptureStream::Open(filter, {format, size.width, size.height, 30}, options, &stream, &error)) {
        std::fprintf(stderr, "cannot open the stream: %s\n", error.c_str());
        return m;
    }
    const uint64_t expected = qk::session::PictureBytes(format, size.width, size.height);
    uint64_t delivered = 0;
    Reading start;
    bool ran = stream->Run(
        [&](const qk::session::SampleReport& s) {
            if (!s.Delivered()) return true;
            if (s.dataUsed != expected) ++m.bad;
            ++delivered;
            if (delivered == static_cast<uint64_t>(warmup)) {
                start = Reading::Take();
            } else if (delivered == static_cast<uint64_t>(warmup + frames)) {
                m.window = Reading::Take().Since(start);
                return false;
            } else if (delivered > static_cast<uint64_t>(warmup)) {
                m.anchor.Run(delivered);
            }
            return true;
        },
        &error);
    if (!ran) std::fprintf(stderr, "the stream failed: %s\n", error.c_str());
    m.delivered = delivered > static_cast<uint64_t>(warmup) ? delivered - warmup : 0;
    m.ok = ran && m.delivered == static_cast<uint64_t>(frames);
    return m;
}

// One measured path, per delivered frame (seconds).
struct PathCost {
    bool ok = false;
    double dpc = 0, workers = 0, client = 0, camera = 0;
    double driver = 0;  // DPC thread + workers + client, less the camera model
    double switches = 0;
};

// `clockRead`: the cost of one processor-clock read, of which one falls
// outside each timed span (on the thread's own figure) and one inside it.
PathCost Cost(const Measured& m, double clockRead) {
    PathCost c;
    if (!m.ok || m.delivered == 0) return c;
    const double n = static_cast<double>(m.delivered);
    const Reading& w = m.window;
    const StreamAnchor& a = m.anchor;
    const double spans = static_cast<double>(w.cameraSpans);
    const double anchorSpans = static_cast<double>(a.Spans());
    c.ok = true;
    c.dpc = static_cast<double>(w.dpcNs) * 1e-9 / n;
    c.workers = static_cast<double>(w.workersNs) * 1e-9 / n;
    c.client = (static_cast<double>(w.clientNs - a.TotalNs()) * 1e-9 - anchorSpans * clockRead) / n;
    c.camera = (static_cast<double>(w.cameraNs) * 1e-9 - spans * clockRead) / n;
    c.driver = c.dpc + c.workers + c.client - c.camera - 2 * spans * clockRead / n;
    c.switches = static_cast<double>(w.voluntarySwitches + w.involuntarySwitches) / n;
    return c;
}

// The median of `values` (the upper one of an even count).
double Median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// One measuring round: the anchors and the decoder alone in a loop, then
// each path streamed once, so that a burst of load elsewhere on the machine
// falls on one round and not on one path.
struct Round {
    Anchor anchor;
    Anchor streamAnchor;  // the anchors run in a stream, once a delivered frame
    double decoderYuy2 = 0, decoderRgb24 = 0, decoderSmall = 0;
    PathCost yuy2, rgb24, small;
    PathCost tracked;  // YUY2 640x480 with face tracking on
    uint64_t bad = 0;
};

// Face tracking on or off through the driver's property, as an application sets it.
bool SetTracking(qk::ks::client::Filter& filter, LONG mode) {
    uint8_t p[36] = {};
    std::memcpy(p + 24, &mode, sizeof mode);
    const LONG manual = 2;
    std::memcpy(p + 28, &manual, sizeof manual);
    return NT_SUCCESS(qk::ks::client::StructProperty(filter.Handle(), PROPSETID_K0340_TRACKING,
                                                    KSPROPERTY_K0340_TRACKING_MODE, KSPROPERTY_TYPE_SET, p, sizeof p));
}

}  // namespace

int main(int argc, char** argv) {
    double speed = 3;
    int frames = 120, rounds = 7;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--speed") == 0) speed = std::atof(argv[i + 1]);
        if (std::strcmp(argv[i], "--frames") == 0) frames = std::atoi(argv[i + 1]);
        if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::atoi(argv[i + 1]);
    }
    if (speed <= 0 || frames < 10 || rounds < 1) {
        std::fprintf(stderr, "usage: %s [--speed FACTOR] [--frames N>=10] [--rounds N>=1]\n", argv[0]);
        return 2;
    }
    const int warmup = 15;
    constexpr double kTarget = 1.0;
    auto scene = std::make_shared<CachedScene>(std::vector<Size>{kVga, kSmall});

    // The same frames the camera sends: its encoder with its options.
    auto encode = [&](const Size& size) {
        std::vector<std::vector<uint8_t>> jpegs;
        for (const auto& p : scene->Pictures(size)) {
            jpegs.push_back(qk::sim::EncodeJpeg(p.data(), size.width, size.height, qk::sim::MjpegOptions{}, true));
        }
        return jpegs;
    };
    const auto vgaJpegs = encode(kVga), smallJpegs = encode(kSmall);
    size_t jpegBytes = 0;
    for (const auto& j : vgaJpegs) jpegBytes += j.size();

    auto root = std::filesystem::temp_directory_path() / ("qk-capture-bench-" + std::to_string(getpid()));
    std::filesystem::remove_all(root);
    std::vector<Round> measured;
    double idleKernelPerPlatformSecond = 0, clockRead = 0;
    int failed = 0;
    {
        qk::Machine machine(root);
        qk::nt::Boot(machine);
        qk::nt::Kernel::Get().TheClock().SetRealTime(speed);
        qk::session::RigOptions options;
        options.camera = MjpegOnlyCamera();
        options.frames = scene;
        std::string error;
        auto rig = qk::session::CameraRig::Start(K0340DevDriverEntry, options, &error);
        if (!rig) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 1;
        }
        std::unique_ptr<qk::ks::client::Filter> filter;
        if (!NT_SUCCESS(rig->OpenFilter(&filter))) {
            std::fprintf(stderr, "cannot open the capture filter\n");
            return 1;
        }
        qk::usb::TheHostController()->SetDeviceTiming(true);
        clockRead = ClockReadSeconds();
        AnchorDecoder streamDecoder(kVga);
        // The kernel's threads with the camera plugged in and no stream: what
        // their waiting costs when there is nothing to do.
        auto& kernel = qk::nt::Kernel::Get();
        const auto idle0 = kernel.ProcessorTimes();
        const int64_t platform0 = kernel.TheClock().Now();
        usleep(500'000);
        const auto idle1 = kernel.ProcessorTimes();
        const double idleNs = static_cast<double>(idle1.dpcNs + idle1.workersNs - idle0.dpcNs - idle0.workersNs);
        idleKernelPerPlatformSecond = idleNs * 1e-9 / (static_cast<double>(kernel.TheClock().Now() - platform0) / 1e7);

        for (int r = 0; r < rounds && failed == 0; ++r) {
            Round round;
            round.anchor = MeasureAnchors(vgaJpegs, kVga, 2);
            round.decoderYuy2 = MeasureDecoder(vgaJpegs, kVga, JPG_KIND_YUY2, 2, 2);
            round.decoderRgb24 = MeasureDecoder(vgaJpegs, kVga, JPG_KIND_RGB24, 3, 2);
            round.decoderSmall = MeasureDecoder(smallJpegs, kSmall, JPG_KIND_YUY2, 2, 8);
            struct Path {
                qk::session::PixelFormat format;
                Size size;
                PathCost* cost;
                const char* name;
                StreamAnchor anchor;
                bool tracking = false;
            };
            PathCost anchorStream;
            const Path paths[] = {
                {qk::session::PixelFormat::Yuy2, kVga, &round.yuy2, "MJPEG -> YUY2 640x480", {}},
                {qk::session::PixelFormat::Yuy2, kVga, &anchorStream, "the anchors' stream",
                 {&streamDecoder, &vgaJpegs}},
                {qk::session::PixelFormat::Rgb24, kVga, &round.rgb24, "MJPEG -> RGB24 640x480", {}},
                {qk::session::PixelFormat::Yuy2, kSmall, &round.small, "MJPEG -> YUY2 160x120", {}},
                {qk::session::PixelFormat::Yuy2, kVga, &round.tracked, "MJPEG -> YUY2 640x480, tracking", {}, true}};
            for (const Path& path : paths) {
                if (path.tracking && !SetTracking(*filter, 1)) {
                    std::printf("cannot turn face tracking on\n");
                    ++failed;
                    continue;
                }
                Measured m = Stream(path.format, path.size, warmup, frames, *filter, path.anchor);
                if (path.tracking) SetTracking(*filter, 0);
                *path.cost = Cost(m, clockRead);
                round.bad += m.bad;
                if (!path.cost->ok) {
                    std::printf("%s did not deliver %d frames (got %llu)\n", path.name, frames,
                                (unsigned long long)m.delivered);
                    ++failed;
                }
                if (path.anchor.decoder != nullptr) {
                    round.streamAnchor.yuy2 = m.anchor.Seconds(0, clockRead);
                    round.streamAnchor.rgbTurbo = m.anchor.Seconds(1, clockRead);
                    round.streamAnchor.rgbPlanar = m.anchor.Seconds(2, clockRead);
                }
            }
            measured.push_back(round);
        }
        filter.reset();
    }
    std::filesystem::remove_all(root);
    if (failed > 0) return 1;

    auto median = [&](auto field) {
        std::vector<double> v;
        for (const Round& r : measured) v.push_back(field(r));
        return Median(v);
    };
    auto range = [&](auto field) {
        double lo = 1e9, hi = 0;
        for (const Round& r : measured) {
            lo = std::min(lo, field(r));
            hi = std::max(hi, field(r));
        }
        return std::pair<double, double>(lo, hi);
    };
    const double anchorYuy2 = median([](const Round& r) { return r.anchor.yuy2; });
    const double anchorRgb24 = median([](const Round& r) { return r.anchor.Rgb24(); });
    uint64_t bad = 0;
    for (const Round& r : measured) bad += r.bad;

    std::printf("640x480 MJPEG frames of the synthetic scene, 4:2:2, %zu bytes on average; platform clock at %.3gx real "
                "time; %d rounds of %d frames a path after %d of warm-up; medians of the rounds\n",
                jpegBytes / vgaJpegs.size(), speed, rounds, frames, warmup);
    std::printf("anchors a frame: turbo planar + libyuv I422ToYUY2 %.3f ms; turbo BGR bottom-up %.3f ms; turbo planar + "
                "libyuv I422ToRGB24 %.3f ms (RGB24 takes the faster)\n",
                anchorYuy2 * 1e3, median([](const Round& r) { return r.anchor.rgbTurbo; }) * 1e3,
                median([](const Round& r) { return r.anchor.rgbPlanar; }) * 1e3);
    std::printf("idle machine: the kernel's threads spend %.3f ms a platform second with the camera plugged in and no "
                "stream\n\n",
                idleKernelPerPlatformSecond * 1e3);
    std::printf("ms a delivered frame   %7s %7s %7s %7s %7s %13s %7s %5s %9s %5s | %7s %5s %9s | %6s\n", "DPC",
                "workers", "client", "camera", "driver", "(rounds)", "anchor", "ratio", "(rounds)", "target", "in strm",
                "ratio", "(rounds)", "switch");
    int missed = 0;
    // The round whose driver figure is the median gives the row, so that its
    // columns add up; the driver figure's range over the rounds follows it.
    // Each round gives a ratio to each anchor (the loop measured at its start,
    // the stream's in its anchors' stream); their medians and ranges close the row.
    using AnchorOf = double (*)(const Round&);
    auto row = [&](const char* name, PathCost Round::*path, AnchorOf loopAnchorOf, AnchorOf streamAnchorOf) {
        std::vector<const Round*> order;
        for (const Round& r : measured) order.push_back(&r);
        std::sort(order.begin(), order.end(), [&](const Round* a, const Round* b) {
            return (a->*path).driver < (b->*path).driver;
        });
        const PathCost& c = order[order.size() / 2]->*path;
        const auto [lo, hi] = range([&](const Round& r) { return (r.*path).driver; });
        std::printf("%-22s %7.3f %7.3f %7.3f %7.3f %7.3f %6.3f-%-6.3f ", name, c.dpc * 1e3, c.workers * 1e3,
                    c.client * 1e3, c.camera * 1e3, c.driver * 1e3, lo * 1e3, hi * 1e3);
        bool miss = false;
        if (loopAnchorOf != nullptr) {
            auto loopRatio = [&](const Round& r) { return (r.*path).driver / loopAnchorOf(r); };
            auto streamRatio = [&](const Round& r) { return (r.*path).driver / streamAnchorOf(r); };
            const double ratio = median(loopRatio);
            const auto [llo, lhi] = range(loopRatio);
            const auto [slo, shi] = range(streamRatio);
            miss = ratio > kTarget;
            std::printf("%7.3f %5.2f %4.2f-%-4.2f %5s | %7.3f %5.2f %4.2f-%-4.2f |", median(loopAnchorOf) * 1e3, ratio,
                        llo, lhi, "<=1.0", median(streamAnchorOf) * 1e3, median(streamRatio), slo, shi);
        } else {
            std::printf("%7s %5s %9s %5s | %7s %5s %9s |", "", "", "", "", "", "", "");
        }
        missed += miss;
        std::printf(" %6.1f %s\n", c.switches, miss ? "MISSED" : "");
        return c.driver;
    };
    const double driverYuy2 =
        row("MJPEG -> YUY2 640x480", &Round::yuy2, [](const Round& r) { return r.anchor.yuy2; },
            [](const Round& r) { return r.streamAnchor.yuy2; });
    const double driverRgb24 =
        row("MJPEG -> RGB24 640x480", &Round::rgb24, [](const Round& r) { return r.anchor.Rgb24(); },
            [](const Round& r) { return r.streamAnchor.Rgb24(); });
    const double driverSmall = row("MJPEG -> YUY2 160x120", &Round::small, nullptr, nullptr);
    std::printf("(driver = DPC thread + workers + client thread - camera model; anchor: in a loop, caches warm; in "
                "strm: the same run by a stream's client once a delivered frame; switch: the process's context "
                "switches a frame; a clock read costs %.1f us; %llu samples of the wrong size)\n",
                clockRead * 1e6, (unsigned long long)bad);

    // Where the time goes: the decoder alone on the same frames, and the cost
    // of moving a frame through the simulated bus, transport, pin and client,
    // taken from a 160x120 stream (same packets a millisecond, a tiny decode).
    const double decoderSmall = median([](const Round& r) { return r.decoderSmall; });
    const double floor = driverSmall - decoderSmall;
    const auto [floorLo, floorHi] = range([](const Round& r) { return r.small.driver - r.decoderSmall; });
    std::printf("\ntransport floor: %.3f ms a frame (rounds %.3f-%.3f; 160x120 MJPEG -> YUY2 through the same stack, "
                "%.3f ms, less its decoding, %.3f ms)\n",
                floor * 1e3, floorLo * 1e3, floorHi * 1e3, driverSmall * 1e3, decoderSmall * 1e3);
    auto split = [&](const char* name, double driver, double decoder, double anchorSeconds) {
        std::printf("%-16s decoder alone %.3f ms (%.2f of the anchor); in the stream less the transport floor "
                    "%.3f ms (%.2f of the anchor)\n",
                    name, decoder * 1e3, decoder / anchorSeconds, (driver - floor) * 1e3,
                    (driver - floor) / anchorSeconds);
    };
    split("MJPEG -> YUY2", driverYuy2, median([](const Round& r) { return r.decoderYuy2; }), anchorYuy2);
    split("MJPEG -> RGB24", driverRgb24, median([](const Round& r) { return r.decoderRgb24; }), anchorRgb24);
    // Face tracking in the driver: the same YUY2 stream with the effects stage on.
    const double driverTracked = median([](const Round& r) { return r.tracked.driver; });
    const auto [trackLo, trackHi] = range([](const Round& r) { return r.tracked.driver; });
    std::printf("\nface tracking: MJPEG -> YUY2 640x480 costs the driver %.3f ms a frame with tracking on (rounds "
                "%.3f-%.3f) and %.3f ms off; the effects stage adds %.3f ms\n",
                driverTracked * 1e3, trackLo * 1e3, trackHi * 1e3, driverYuy2 * 1e3, (driverTracked - driverYuy2) * 1e3);
    if (missed > 0) std::printf("%d ratio(s) above target\n", missed);
    return 0;
}
