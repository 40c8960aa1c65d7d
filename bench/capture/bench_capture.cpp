// Processor time per delivered frame through the capture driver for 640x480
// MJPEG from the camera to YUY2 and to RGB24 (transport, assembly, decoding,
// conversion, delivery), against libjpeg-turbo's decoding plus libyuv's
// conversion of the same frames, measured in the same run.
//
// How it is made fair:
// - The camera offers only its MJPEG format, so the driver takes its
//   decoding path for both outputs; the machine runs on a platform clock a
//   few times faster than real time so the run is short, and every frame
//   still goes through the bus, the transport, assembly, the pin's
//   processing and a client's queued reads.
// - The process's processor time (every thread: bus, DPCs, work items, the
//   pin, the client) is read over a window of delivered frames after a
//   warm-up. From it go the simulated camera's own costs, measured in this
//   run: rendering (a cached scene, a copy), its MJPEG encoding and its
//   packets, by running the same camera model alone over the same stream;
//   and the machine's idle cost (the simulated bus and clock ticking with
//   no stream), measured on the same machine before streaming, per second of
//   platform time. What is left is what the driver and the platform it
//   runs on spend: the comparison the target is about.
// - The anchors decode the same JPEG frames (the camera's encoder, same
//   options) with libjpeg-turbo's accurate IDCT, then libyuv converts:
//   planar 4:2:2 to YUY2; for RGB24 the faster of libjpeg-turbo's own BGR
//   bottom-up output and planar plus libyuv's I422ToRGB24 with the flip.
#include <libyuv.h>
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

#include "capture/k0340dev_entry.h"
#include "imaging/jpeg/jpeg.h"
#include "platform/nt/kernel.h"
#include "platform/nt/machine.h"
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

double ProcessSeconds() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double WallSeconds() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
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

// The camera model alone over one stream of MJPEG at 30 fps: its processor
// time per frame it starts (render, encode, packets).
double CameraSecondsPerFrame(const std::shared_ptr<CachedScene>& scene, const Size& size, int busFrames) {
    qk::sim::Camera camera(MjpegOnlyCamera(), scene);
    uint32_t frame = 1000;
    camera.Reset(frame);
    std::vector<uint8_t> none, block(34);
    camera.Control({0x00, 0x09, 1, 0, 0}, none, frame);
    qk::sim::ProbeCommit commit;
    commit.bmHint = 1;
    commit.bFormatIndex = 1;  // the only format
    commit.bFrameIndex = size.frameIndex;
    commit.dwFrameInterval = qk::sim::kInterval30;
    commit.Write(block);
    camera.Control({0x21, 0x01, 0x0200, 1, 34}, block, frame);
    camera.Control({0x01, 0x0B, 7, 1, 0}, none, frame);
    std::vector<uint8_t> packet(24576);
    uint64_t before = camera.FramesStarted();
    double start = ThreadSeconds();
    for (int i = 0; i < busFrames; ++i) camera.IsochronousIn(0x81, ++frame, packet);
    double spent = ThreadSeconds() - start;
    uint64_t frames = camera.FramesStarted() - before;
    return frames > 0 ? spent / static_cast<double>(frames) : 0;
}

struct Anchor {
    double yuy2 = 0;       // planar decode + I422ToYUY2
    double rgbTurbo = 0;   // BGR bottom-up straight from libjpeg-turbo
    double rgbPlanar = 0;  // planar decode + I422ToRGB24 (flipped)
};

Anchor MeasureAnchors(const std::vector<std::vector<uint8_t>>& jpegs, const Size& size, int rounds) {
    const int w = size.width, h = size.height, cw = w / 2;
    tjhandle t = tjInitDecompress();
    std::vector<uint8_t> y(size_t(w) * h), u(size_t(cw) * h), v(size_t(cw) * h);
    unsigned char* planes[3] = {y.data(), u.data(), v.data()};
    int strides[3] = {w, cw, cw};
    std::vector<uint8_t> out(size_t(w) * h * 3);
    Anchor a;
    auto measure = [&](auto&& one) {
        double start = ThreadSeconds();
        for (int r = 0; r < rounds; ++r) {
            for (const auto& j : jpegs) one(j);
        }
        return (ThreadSeconds() - start) / static_cast<double>(rounds * jpegs.size());
    };
    a.yuy2 = measure([&](const std::vector<uint8_t>& j) {
        tjDecompressToYUVPlanes(t, j.data(), j.size(), planes, w, strides, h, 0);
        libyuv::I422ToYUY2(y.data(), w, u.data(), cw, v.data(), cw, out.data(), w * 2, w, h);
    });
    a.rgbTurbo = measure([&](const std::vector<uint8_t>& j) {
        tjDecompress2(t, j.data(), j.size(), out.data(), w, w * 3, h, TJPF_BGR, TJFLAG_BOTTOMUP);
    });
    a.rgbPlanar = measure([&](const std::vector<uint8_t>& j) {
        tjDecompressToYUVPlanes(t, j.data(), j.size(), planes, w, strides, h, 0);
        // libyuv's RGB24 is B, G, R in memory; a negative height writes bottom-up.
        libyuv::I422ToRGB24(y.data(), w, u.data(), cw, v.data(), cw, out.data(), w * 3, w, -h);
    });
    tjDestroy(t);
    return a;
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

struct Measured {
    bool ok = false;
    uint64_t delivered = 0, bad = 0, cameraFrames = 0;
    double processSeconds = 0, platformSeconds = 0, wallSeconds = 0;
};

// Streams `frames` delivered frames after `warmup`, and reads the process's
// processor time and the camera's frame count across them.
Measured Stream(qk::session::PixelFormat format, const Size& size, int warmup, int frames, qk::sim::Camera& camera,
                qk::ks::client::Filter& filter) {
    Measured m;
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
    double cpu0 = 0, wall0 = 0;
    int64_t platform0 = 0;
    uint64_t camera0 = 0;
    auto& clock = qk::nt::Kernel::Get().TheClock();
    bool ran = stream->Run(
        [&](const qk::session::SampleReport& s) {
            if (!s.Delivered()) return true;
            if (s.dataUsed != expected) ++m.bad;
            ++delivered;
            if (delivered == static_cast<uint64_t>(warmup)) {
                cpu0 = ProcessSeconds();
                wall0 = WallSeconds();
                platform0 = clock.Now();
                camera0 = camera.FramesStarted();
            } else if (delivered == static_cast<uint64_t>(warmup + frames)) {
                m.processSeconds = ProcessSeconds() - cpu0;
                m.wallSeconds = WallSeconds() - wall0;
                m.platformSeconds = static_cast<double>(clock.Now() - platform0) / 1e7;
                m.cameraFrames = camera.FramesStarted() - camera0;
                return false;
            }
            return true;
        },
        &error);
    if (!ran) std::fprintf(stderr, "the stream failed: %s\n", error.c_str());
    m.delivered = delivered > static_cast<uint64_t>(warmup) ? delivered - warmup : 0;
    m.ok = ran && m.delivered == static_cast<uint64_t>(frames);
    return m;
}

// One measured path: what the driver spent per delivered frame once the
// camera model and the idle machine are taken out.
struct PathCost {
    bool ok = false;
    double perFrame = 0;          // seconds
    double withIdlePerFrame = 0;  // the idle machine left in
};

PathCost Cost(const Measured& m, double cameraPerFrame, double idlePerPlatformSecond) {
    PathCost c;
    if (!m.ok || m.delivered == 0) return c;
    const double camera = cameraPerFrame * static_cast<double>(m.cameraFrames);
    const double idle = idlePerPlatformSecond * m.platformSeconds;
    c.ok = true;
    c.perFrame = (m.processSeconds - camera - idle) / static_cast<double>(m.delivered);
    c.withIdlePerFrame = (m.processSeconds - camera) / static_cast<double>(m.delivered);
    return c;
}

}  // namespace

int main(int argc, char** argv) {
    double speed = 3;
    int frames = 240;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--speed") == 0) speed = std::atof(argv[i + 1]);
        if (std::strcmp(argv[i], "--frames") == 0) frames = std::atoi(argv[i + 1]);
    }
    if (speed <= 0 || frames < 10) {
        std::fprintf(stderr, "usage: %s [--speed FACTOR] [--frames N>=10]\n", argv[0]);
        return 2;
    }
    const int warmup = 15;
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
    const double cameraVga = CameraSecondsPerFrame(scene, kVga, 3000);
    const double cameraSmall = CameraSecondsPerFrame(scene, kSmall, 3000);
    const Anchor anchor = MeasureAnchors(vgaJpegs, kVga, 8);
    const double decoderYuy2 = MeasureDecoder(vgaJpegs, kVga, JPG_KIND_YUY2, 2, 8);
    const double decoderRgb24 = MeasureDecoder(vgaJpegs, kVga, JPG_KIND_RGB24, 3, 8);
    const double decoderSmall = MeasureDecoder(smallJpegs, kSmall, JPG_KIND_YUY2, 2, 32);

    auto root = std::filesystem::temp_directory_path() / ("qk-capture-bench-" + std::to_string(getpid()));
    std::filesystem::remove_all(root);
    Measured yuy2, rgb24, small;
    double idlePerPlatformSecond = 0;
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
        // The machine with the camera plugged in and no stream.
        auto& clock = qk::nt::Kernel::Get().TheClock();
        double cpu0 = ProcessSeconds();
        int64_t platform0 = clock.Now();
        usleep(1'000'000);
        idlePerPlatformSecond = (ProcessSeconds() - cpu0) / (static_cast<double>(clock.Now() - platform0) / 1e7);

        yuy2 = Stream(qk::session::PixelFormat::Yuy2, kVga, warmup, frames, rig->Camera(), *filter);
        rgb24 = Stream(qk::session::PixelFormat::Rgb24, kVga, warmup, frames, rig->Camera(), *filter);
        small = Stream(qk::session::PixelFormat::Yuy2, kSmall, warmup, frames, rig->Camera(), *filter);
        filter.reset();
    }
    std::filesystem::remove_all(root);

    const PathCost yuy2Cost = Cost(yuy2, cameraVga, idlePerPlatformSecond);
    const PathCost rgb24Cost = Cost(rgb24, cameraVga, idlePerPlatformSecond);
    const PathCost smallCost = Cost(small, cameraSmall, idlePerPlatformSecond);
    const double rgbAnchor = std::min(anchor.rgbTurbo, anchor.rgbPlanar);

    std::printf("640x480 MJPEG frames of the synthetic scene, 4:2:2, %zu bytes on average; platform clock at %.3gx real "
                "time; %d frames after %d of warm-up\n",
                jpegBytes / vgaJpegs.size(), speed, frames, warmup);
    std::printf("camera model alone: %.3f ms a 640x480 frame, %.3f ms a 160x120 frame (cached scene, encoding, packets); "
                "idle machine: %.2f ms of processor time a platform second\n",
                cameraVga * 1e3, cameraSmall * 1e3, idlePerPlatformSecond * 1e3);
    std::printf("anchors a frame: turbo planar + libyuv I422ToYUY2 %.3f ms; turbo BGR bottom-up %.3f ms; turbo planar + "
                "libyuv I422ToRGB24 %.3f ms (RGB24 takes the faster)\n\n",
                anchor.yuy2 * 1e3, anchor.rgbTurbo * 1e3, anchor.rgbPlanar * 1e3);
    std::printf("%-16s %9s %4s %10s %10s %10s %10s %10s %7s %7s\n", "640x480 path", "delivered", "bad", "process",
                "camera", "driver", "a frame", "anchor", "ratio", "target");
    int missed = 0, failed = 0;
    auto row = [&](const char* name, const Measured& m, const PathCost& c, double anchorSeconds) {
        if (!c.ok) {
            std::printf("%-16s did not deliver %d frames (got %llu)\n", name, frames, (unsigned long long)m.delivered);
            ++failed;
            return;
        }
        const double ratio = c.perFrame / anchorSeconds;
        missed += ratio > 1.5;
        std::printf("%-16s %9llu %4llu %7.0f ms %7.0f ms %7.0f ms %7.3f ms %7.3f ms %7.2f %7s %s\n", name,
                    (unsigned long long)m.delivered, (unsigned long long)m.bad, m.processSeconds * 1e3,
                    cameraVga * static_cast<double>(m.cameraFrames) * 1e3, c.perFrame * m.delivered * 1e3, c.perFrame * 1e3,
                    anchorSeconds * 1e3, ratio, "<=1.5", ratio > 1.5 ? "MISSED" : "");
    };
    row("MJPEG -> YUY2", yuy2, yuy2Cost, anchor.yuy2);
    row("MJPEG -> RGB24", rgb24, rgb24Cost, rgbAnchor);

    // Where the time goes: the decoder alone on the same frames, and the cost
    // of moving a frame through the simulated bus, transport, pin and client,
    // taken from a 160x120 stream (same packets a millisecond, a tiny decode).
    if (smallCost.ok) {
        const double floor = smallCost.perFrame - decoderSmall;
        std::printf("\ntransport floor: %.3f ms a frame (160x120 MJPEG -> YUY2 through the same stack, %.3f ms, less its "
                    "decoding, %.3f ms)\n",
                    floor * 1e3, smallCost.perFrame * 1e3, decoderSmall * 1e3);
        auto split = [&](const char* name, const PathCost& c, double decoder, double anchorSeconds) {
            if (!c.ok) return;
            std::printf("%-16s decoder alone %.3f ms (%.2f of the anchor); in the stream less the transport floor "
                        "%.3f ms (%.2f of the anchor); with the idle machine left in %.3f ms\n",
                        name, decoder * 1e3, decoder / anchorSeconds, (c.perFrame - floor) * 1e3,
                        (c.perFrame - floor) / anchorSeconds, c.withIdlePerFrame * 1e3);
        };
        split("MJPEG -> YUY2", yuy2Cost, decoderYuy2, anchor.yuy2);
        split("MJPEG -> RGB24", rgb24Cost, decoderRgb24, rgbAnchor);
    } else {
        ++failed;
    }
    if (missed > 0) std::printf("%d ratio(s) above target\n", missed);
    return failed > 0 ? 1 : 0;
}
