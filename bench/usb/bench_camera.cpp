// What the simulated camera spends per frame, so that tests and the CLI run
// faster than real time: the MJPEG encoder against TurboJPEG, the YUY2
// conversion against libyuv, the reference payload reader against a memcpy
// of the frame, and a whole second of a 640x480 MJPEG stream.
#include <benchmark/benchmark.h>
#include <libyuv.h>
#include <turbojpeg.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "sim/camera/camera.h"
#include "sim/camera/jpeg_encoder.h"
#include "sim/camera/payload_reader.h"

namespace {

constexpr int kW = 640, kH = 480;

const std::vector<uint8_t>& Picture() {
    static const std::vector<uint8_t> rgb = [] {
        std::vector<uint8_t> out;
        qk::sim::SyntheticScene().Render(0, kW, kH, out);
        return out;
    }();
    return rgb;
}

void CameraMjpeg(benchmark::State& state) {
    qk::sim::MjpegOptions options;
    for (auto _ : state) benchmark::DoNotOptimize(qk::sim::EncodeJpeg(Picture().data(), kW, kH, options, true));
}
BENCHMARK(CameraMjpeg)->Unit(benchmark::kMillisecond);

void TurboJpegAnchor(benchmark::State& state) {
    tjhandle h = tjInitCompress();
    for (auto _ : state) {
        unsigned char* out = nullptr;
        unsigned long size = 0;
        tjCompress2(h, Picture().data(), kW, 0, kH, TJPF_RGB, &out, &size, TJSAMP_422, 85, TJFLAG_FASTDCT);
        benchmark::DoNotOptimize(size);
        tjFree(out);
    }
    tjDestroy(h);
}
BENCHMARK(TurboJpegAnchor)->Unit(benchmark::kMillisecond);

void CameraYuy2(benchmark::State& state) {
    std::vector<uint8_t> yuy2(size_t(kW) * kH * 2);
    for (auto _ : state) {
        qk::sim::RgbToYuy2(Picture().data(), kW, kH, yuy2.data());
        benchmark::DoNotOptimize(yuy2.data());
    }
}
BENCHMARK(CameraYuy2)->Unit(benchmark::kMicrosecond);

void LibyuvYuy2Anchor(benchmark::State& state) {
    std::vector<uint8_t> argb(size_t(kW) * kH * 4), yuy2(size_t(kW) * kH * 2);
    for (auto _ : state) {
        // R, G, B bytes are libyuv's "RAW".
        libyuv::RAWToARGB(Picture().data(), kW * 3, argb.data(), kW * 4, kW, kH);
        libyuv::ARGBToYUY2(argb.data(), kW * 4, yuy2.data(), kW * 2, kW, kH);
        benchmark::DoNotOptimize(yuy2.data());
    }
}
BENCHMARK(LibyuvYuy2Anchor)->Unit(benchmark::kMicrosecond);

// The payloads of one 640x480 YUY2 frame at 24576 bytes a packet.
const std::vector<std::vector<uint8_t>>& Payloads() {
    static const std::vector<std::vector<uint8_t>> packets = [] {
        std::vector<std::vector<uint8_t>> out;
        std::vector<uint8_t> frame(size_t(kW) * kH * 2);
        qk::sim::RgbToYuy2(Picture().data(), kW, kH, frame.data());
        for (int id = 0; id < 2; ++id) {
            for (size_t at = 0; at < frame.size();) {
                size_t n = std::min<size_t>(24576 - 12, frame.size() - at);
                std::vector<uint8_t> p(12 + n, 0);
                p[0] = 12;
                p[1] = static_cast<uint8_t>(0x8C | id | (at + n == frame.size() ? 2 : 0));
                std::memcpy(p.data() + 12, frame.data() + at, n);
                out.push_back(std::move(p));
                at += n;
            }
        }
        return out;
    }();
    return packets;
}

void PayloadReader(benchmark::State& state) {
    qk::sim::PayloadReader reader;
    for (auto _ : state) {
        for (const auto& p : Payloads()) reader.Packet(p, 0);
        benchmark::DoNotOptimize(reader.TakeFrames());
    }
}
BENCHMARK(PayloadReader)->Unit(benchmark::kMicrosecond);

void MemcpyAnchor(benchmark::State& state) {
    std::vector<uint8_t> frame;
    for (auto _ : state) {
        frame.clear();
        for (const auto& p : Payloads()) frame.insert(frame.end(), p.begin() + 12, p.end());
        benchmark::DoNotOptimize(frame.data());
    }
}
BENCHMARK(MemcpyAnchor)->Unit(benchmark::kMicrosecond);

// One second (1000 bus frames) of a 640x480 MJPEG stream at 30 frames a second.
void CameraStreamSecond(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        qk::sim::Camera camera;
        uint32_t frame = 1000;
        camera.Reset(frame);
        std::vector<uint8_t> none, probe(34);
        camera.Control({0x00, 0x09, 1, 0, 0}, none, frame);
        qk::sim::ProbeCommit p;
        p.bFormatIndex = 2;
        p.bFrameIndex = 1;
        p.dwFrameInterval = qk::sim::kInterval30;
        p.Write(probe);
        camera.Control({0x21, 0x01, 0x0200, 1, 34}, probe, frame);
        camera.Control({0x01, 0x0B, 7, 1, 0}, none, frame);
        std::vector<uint8_t> packet(24576);
        state.ResumeTiming();
        for (int i = 0; i < 1000; ++i) camera.IsochronousIn(0x81, ++frame, packet);
    }
}
BENCHMARK(CameraStreamSecond)->Unit(benchmark::kMillisecond);

class Collector : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration && run.iterations > 0) {
                cpu[run.run_name.function_name] = run.GetAdjustedCPUTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> cpu;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    const std::pair<const char*, const char*> ratios[] = {
        {"CameraMjpeg", "TurboJpegAnchor"}, {"CameraYuy2", "LibyuvYuy2Anchor"}, {"PayloadReader", "MemcpyAnchor"}};
    std::printf("\n%-16s %-18s %10s\n", "ours", "anchor", "cpu ratio");
    for (const auto& [ours, anchor] : ratios) {
        if (collector.cpu.count(ours) && collector.cpu.count(anchor) && collector.cpu[anchor] > 0) {
            std::printf("%-16s %-18s %10.2f\n", ours, anchor, collector.cpu[ours] / collector.cpu[anchor]);
        }
    }
    if (collector.cpu.count("CameraStreamSecond")) {
        std::printf("one second of 640x480 MJPEG at 30 fps takes %.0f ms (%.1fx real time)\n",
                    collector.cpu["CameraStreamSecond"], 1000.0 / collector.cpu["CameraStreamSecond"]);
    }
    return 0;
}
