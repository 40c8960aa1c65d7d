// Helpers shared by the signal-processing tests.
#pragma once

#include <cmath>
#include <algorithm>
#include <cstddef>
#include <cstdint>
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

// Distortion (dB) of the talker by a two-channel stage, by running it on
// talker + noise and on talker - noise: half the sum of the outputs is the
// stage's talker share. Measured where `active` is set from `from` on.
template <class Make>
double TalkerDistortion(Make make, const std::vector<float>& talker0, const std::vector<float>& talker1,
                        const std::vector<float>& noise0, const std::vector<float>& noise1,
                        const std::vector<uint8_t>& active, size_t from) {
    std::vector<float> p0(talker0.size()), p1(p0.size()), m0(p0.size()), m1(p0.size());
    for (size_t i = 0; i < p0.size(); ++i) {
        p0[i] = talker0[i] + noise0[i];
        p1[i] = talker1[i] + noise1[i];
        m0[i] = talker0[i] - noise0[i];
        m1[i] = talker1[i] - noise1[i];
    }
    auto a = make();
    auto b = make();
    std::vector<float> yp = RunStereo(*a, p0, p1), ym = RunStereo(*b, m0, m1);
    double err = 0, ref = 0;
    for (size_t i = from; i < yp.size(); ++i) {
        if (!active[i]) continue;
        double d = 0.5 * (yp[i] + ym[i]) - talker0[i];
        err += d * d;
        ref += double(talker0[i]) * talker0[i];
    }
    return Decibels(err / ref);
}

}  // namespace qk::dsp::testing
