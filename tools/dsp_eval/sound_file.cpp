#include "tools/dsp_eval/sound_file.h"

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace qk::dsp {

namespace {

constexpr sf_count_t kMaxFrames = sf_count_t(48000) * 60 * 60;  // one hour

struct Memory {
    const uint8_t* data;
    sf_count_t size;
    sf_count_t pos;
};

sf_count_t MemLength(void* user) { return static_cast<Memory*>(user)->size; }
sf_count_t MemSeek(sf_count_t offset, int whence, void* user) {
    Memory* m = static_cast<Memory*>(user);
    sf_count_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? m->pos : m->size;
    sf_count_t to = base + offset;
    if (to < 0 || to > m->size) return -1;
    m->pos = to;
    return m->pos;
}
sf_count_t MemRead(void* ptr, sf_count_t count, void* user) {
    Memory* m = static_cast<Memory*>(user);
    sf_count_t n = std::max<sf_count_t>(0, std::min(count, m->size - m->pos));
    if (n > 0) std::memcpy(ptr, m->data + m->pos, size_t(n));
    m->pos += n;
    return n;
}
sf_count_t MemWrite(const void*, sf_count_t, void*) { return 0; }
sf_count_t MemTell(void* user) { return static_cast<Memory*>(user)->pos; }

std::string Load(SNDFILE* file, const SF_INFO& info, Sound& sound) {
    if (!file) return std::string("cannot read the sound file: ") + sf_strerror(nullptr);
    int sub = info.format & SF_FORMAT_SUBMASK;
    std::string error;
    if (sub != SF_FORMAT_PCM_16 && sub != SF_FORMAT_PCM_32)
        error = "only 16-bit or 32-bit PCM samples are supported";
    else if (info.channels < 1 || info.channels > 2)
        error = "only mono or stereo files are supported";
    else if (info.samplerate < 8000 || info.samplerate > 48000)
        error = "the sample rate must be 8000-48000 Hz";
    else if (info.frames < 0 || info.frames > kMaxFrames)
        error = "the file is longer than one hour";
    if (!error.empty()) {
        sf_close(file);
        return error;
    }
    sound.rateHz = info.samplerate;
    sound.channels = info.channels;
    sound.samples.assign(size_t(info.frames) * size_t(info.channels), 0.0f);
    // Reading as int keeps 32-bit samples exact; scale to 16-bit units.
    std::vector<int> buffer(4096 * size_t(info.channels));
    size_t at = 0;
    for (;;) {
        sf_count_t got = sf_readf_int(file, buffer.data(), 4096);
        if (got <= 0) break;
        size_t n = size_t(got) * size_t(info.channels);
        if (at + n > sound.samples.size()) n = sound.samples.size() - at;
        for (size_t i = 0; i < n; ++i) sound.samples[at + i] = float(double(buffer[i]) / 65536.0);
        at += n;
        if (at >= sound.samples.size()) break;
    }
    sound.samples.resize(at - at % size_t(info.channels));
    sf_close(file);
    return {};
}

}  // namespace

std::string ReadSound(const std::string& path, Sound& sound) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (!file) return "cannot open " + path + ": " + sf_strerror(nullptr);
    return Load(file, info, sound);
}

std::string ReadSoundFromMemory(const uint8_t* data, size_t size, Sound& sound) {
    Memory m{data, sf_count_t(size), 0};
    SF_VIRTUAL_IO io{&MemLength, &MemSeek, &MemRead, &MemWrite, &MemTell};
    SF_INFO info{};
    SNDFILE* file = sf_open_virtual(&io, SFM_READ, &info, &m);
    return Load(file, info, sound);
}

std::string WriteSound(const std::string& path, const Sound& sound) {
    SF_INFO info{};
    info.samplerate = sound.rateHz;
    info.channels = sound.channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!file) return "cannot write " + path + ": " + sf_strerror(nullptr);
    std::vector<short> out(sound.samples.size());
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = short(std::clamp(std::lround(sound.samples[i]), -32767l, 32767l));
    sf_count_t frames = sf_writef_short(file, out.data(), sf_count_t(sound.frames()));
    sf_close(file);
    if (frames != sf_count_t(sound.frames())) return "short write to " + path;
    return {};
}

}  // namespace qk::dsp
