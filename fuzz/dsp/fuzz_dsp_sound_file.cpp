// Any bytes as a sound file: the reader must refuse what it cannot take with
// a message, and whatever it accepts must run through every stage.
#include <cstdint>
#include <cstdlib>

#include "tools/dsp_eval/feature_runner.h"
#include "tools/dsp_eval/sound_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qk::dsp::Sound sound;
    std::string error = qk::dsp::ReadSoundFromMemory(data, size, sound);
    if (!error.empty()) return 0;
    if (sound.rateHz < 8000 || sound.rateHz > 48000 || sound.channels < 1 || sound.channels > 2) std::abort();
    if (sound.samples.size() % size_t(sound.channels) != 0) std::abort();
    // Keep each run short.
    if (sound.frames() > 4000) sound.samples.resize(4000 * size_t(sound.channels));
    const qk::dsp::Feature features[] = {qk::dsp::Feature::kNoiseGuard, qk::dsp::Feature::kBfa,
                                         qk::dsp::Feature::kBfa3, qk::dsp::Feature::kEchoQuell};
    qk::dsp::Feature feature = features[size % 4];
    qk::dsp::Sound out;
    long delay = feature == qk::dsp::Feature::kEchoQuell ? long(size % 300) : -1;
    error = qk::dsp::RunFeature(feature, sound, &sound, out, {}, delay);
    if (error.empty() && out.frames() != sound.frames()) std::abort();
    return 0;
}
