// A one-line progress bar on standard error for long commands. It draws only
// when standard error is a terminal (or QK_PROGRESS=1), so logs stay clean.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace qk::cli {

class Progress {
public:
    Progress(std::string label, uint64_t total);
    ~Progress();
    void Update(uint64_t done);
    void Finish();

private:
    std::string label_;
    uint64_t total_;
    bool enabled_;
    bool finished_ = false;
    int lastPercent_ = -1;
    std::chrono::steady_clock::time_point start_;
};

}  // namespace qk::cli
