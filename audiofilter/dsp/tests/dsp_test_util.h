// Helpers shared by the signal-processing tests.
#pragma once

#include <cmath>
#include <cstddef>
#include <vector>

namespace qk::dsp::testing {

inline double Energy(const std::vector<float>& x, size_t from, size_t to) {
    double s = 0;
    for (size_t i = from; i < to && i < x.size(); ++i) s += double(x[i]) * x[i];
    return s;
}

inline double Decibels(double ratio) { return 10 * std::log10(ratio); }

// Runs a mono stage over `x` in blocks of `block`; the output is lined up
// with the input and as long as what the stage produced.
template <class StageT>
std::vector<float> RunMono(StageT& stage, const std::vector<float>& x, size_t block = 1000) {
    std::vector<float> out(x.size() + block);
    size_t produced = 0;
    for (size_t at = 0; at < x.size(); at += block) {
        size_t n = std::min(block, x.size() - at);
        produced += stage.Process(x.data() + at, n, out.data() + produced);
    }
    out.resize(produced);
    return out;
}

template <class StageT>
std::vector<float> RunStereo(StageT& stage, const std::vector<float>& l, const std::vector<float>& r,
                             size_t block = 1000) {
    std::vector<float> out(l.size() + block);
    size_t produced = 0;
    for (size_t at = 0; at < l.size(); at += block) {
        size_t n = std::min(block, l.size() - at);
        produced += stage.Process(l.data() + at, r.data() + at, n, out.data() + produced);
    }
    out.resize(produced);
    return out;
}

}  // namespace qk::dsp::testing
