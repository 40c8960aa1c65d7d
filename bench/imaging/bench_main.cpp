// Runs the benchmarks and then prints every ratio of ours to its anchor,
// measured in this same run.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <random>

#include "bench/imaging/bench_common.h"

namespace qk::bench {
namespace {

struct Ratio {
    std::string ours, anchor, note;
    double target;
};

std::vector<Ratio>& Ratios() {
    static std::vector<Ratio> ratios;
    return ratios;
}

class CollectingReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration && run.iterations > 0) {
                times[run.run_name.function_name] = {run.GetAdjustedCPUTime(), run.GetAdjustedRealTime()};
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, std::pair<double, double>> times;  // CPU, real
};

}  // namespace

std::vector<uint8_t> CameraScene(int width, int height) {
    std::mt19937 rng(340);
    std::uniform_int_distribution<int> noise(-3, 3);
    std::vector<uint8_t> rgb(size_t(width) * height * 3);
    const double cx = width * 0.45, cy = height * 0.45, radius = height * 0.28;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const double dx = x - cx, dy = (y - cy) * 0.8;
            double r = 60 + 120.0 * x / width + 30 * std::sin(y * 0.05);
            double g = 70 + 100.0 * y / height;
            double b = 110 + 50 * std::cos(x * 0.03 + y * 0.02);
            if (dx * dx + dy * dy < radius * radius) {
                r = 200 + 20 * std::sin(x * 0.2);
                g = 150 + 15 * std::cos(y * 0.15);
                b = 120;
            }
            if (x > width * 3 / 4 && y > height / 2 && ((x / 4) + (y / 4)) % 2 == 0) r = g = b = 230;
            uint8_t* p = &rgb[(size_t(y) * width + x) * 3];
            p[0] = uint8_t(std::clamp(int(r) + noise(rng), 0, 255));
            p[1] = uint8_t(std::clamp(int(g) + noise(rng), 0, 255));
            p[2] = uint8_t(std::clamp(int(b) + noise(rng), 0, 255));
        }
    }
    return rgb;
}

void ExpectRatio(const std::string& ours, const std::string& anchor, double target, const std::string& note) {
    Ratios().push_back({ours, anchor, note, target});
}

}  // namespace qk::bench

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    qk::bench::CollectingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    // Ratios of CPU time (robust when the machine is shared) and of wall time.
    std::printf("\n%-50s %-26s %9s %9s %7s\n", "ours", "anchor", "cpu ratio", "wall", "target");
    int missed = 0;
    for (const auto& r : qk::bench::Ratios()) {
        const auto a = reporter.times.find(r.ours), b = reporter.times.find(r.anchor);
        if (a == reporter.times.end() || b == reporter.times.end() || b->second.first <= 0) continue;
        const double ratio = a->second.first / b->second.first;
        const double wall = a->second.second / b->second.second;
        const bool met = r.target <= 0 || ratio <= r.target;
        missed += !met;
        const std::string ours = r.ours.substr(0, r.ours.rfind('/'));
        const std::string anchor = r.anchor.substr(r.anchor.rfind('/') + 1);
        const std::string target = r.target > 0 ? "<=" + std::to_string(r.target).substr(0, 4) : "-";
        std::printf("%-50s %-26s %9.2f %9.2f %7s %s%s\n", ours.c_str(), anchor.c_str(), ratio, wall, target.c_str(),
                    met ? "" : "MISSED ", r.note.c_str());
    }
    if (missed > 0) std::printf("%d ratio(s) above target\n", missed);
    benchmark::Shutdown();
    return 0;
}
