// Reading and writing the sound files of `qk0340 dsp run`: 16- or 32-bit PCM
// WAV (or any container libsndfile reads with such samples), mono or
// stereo, 8000-48000 Hz. Samples come back on the 16-bit scale, as the
// filter sees them. Anything else is refused with a message.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qk::dsp {

struct Sound {
    int rateHz = 0;
    int channels = 0;
    std::vector<float> samples;  // interleaved, 16-bit scale
    size_t frames() const { return channels ? samples.size() / size_t(channels) : 0; }
};

// Returns an empty string on success, else the reason.
std::string ReadSound(const std::string& path, Sound& sound);
std::string ReadSoundFromMemory(const uint8_t* data, size_t size, Sound& sound);
std::string WriteSound(const std::string& path, const Sound& sound);

}  // namespace qk::dsp
