// Playback through a render pin, checked at the loudspeaker: a signal with no
// zero sample (so where it starts is plain) played on a stepped clock, and
// what the device played compared with it.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

namespace qk::audio::testing {

// A fifth of a second of 48000 Hz stereo, every sample non-zero.
inline std::vector<int16_t> MarkedStereo() {
    std::vector<int16_t> pcm;
    for (int i = 0; i < 48000 / 5; ++i) {
        pcm.push_back(static_cast<int16_t>(i % 5000 + 1));
        pcm.push_back(static_cast<int16_t>(-(i % 5000) - 1));
    }
    return pcm;
}

// Silence until the first write arrived, then every sample as written.
inline ::testing::AssertionResult PlayedWholeAndInOrder(const std::vector<int16_t>& played, const std::vector<int16_t>& pcm) {
    auto first = std::find_if(played.begin(), played.end(), [](int16_t v) { return v != 0; });
    if (first == played.end()) return ::testing::AssertionFailure() << "nothing but silence was played";
    const size_t at = static_cast<size_t>(first - played.begin());
    if (played.size() - at < pcm.size()) {
        return ::testing::AssertionFailure() << "only " << played.size() - at << " of " << pcm.size() << " samples were played";
    }
    auto mismatch = std::mismatch(pcm.begin(), pcm.end(), played.begin() + static_cast<ptrdiff_t>(at));
    if (mismatch.first != pcm.end()) {
        return ::testing::AssertionFailure() << "first difference at sample " << (mismatch.first - pcm.begin()) << " of "
                                             << pcm.size() << ": " << *mismatch.first << " played as " << *mismatch.second;
    }
    return ::testing::AssertionSuccess();
}

// The clock steps a millisecond at a time with room for the completions to
// run: a stepped bus must not outrun the writer (it would play silence).
template <class Advance>
auto SteppedClock(Advance advance) {
    return [advance] {
        advance(1);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
}

}  // namespace qk::audio::testing
