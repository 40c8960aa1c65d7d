#include "tools/qk0340/progress.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace qk::cli {

Progress::Progress(std::string label, uint64_t total)
    : label_(std::move(label)), total_(total ? total : 1), start_(std::chrono::steady_clock::now()) {
    const char* forced = std::getenv("QK_PROGRESS");
    enabled_ = forced ? std::atoi(forced) != 0 : isatty(STDERR_FILENO) != 0;
}

Progress::~Progress() { Finish(); }

void Progress::Update(uint64_t done) {
    if (!enabled_ || finished_) return;
    if (done > total_) done = total_;
    int percent = static_cast<int>(done * 100 / total_);
    if (percent == lastPercent_) return;
    lastPercent_ = percent;
    constexpr int kWidth = 30;
    int filled = percent * kWidth / 100;
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    std::fprintf(stderr, "\r%s [%.*s%*s] %3d%% %.1fs", label_.c_str(), filled, "##############################",
                 kWidth - filled, "", percent, seconds);
    std::fflush(stderr);
}

void Progress::Finish() {
    if (!enabled_ || finished_) return;
    Update(total_);
    finished_ = true;
    std::fputc('\n', stderr);
}

}  // namespace qk::cli
