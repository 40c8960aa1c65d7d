#include "tools/dsp_eval/espeak_speech.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>

#include "tools/dsp_eval/sound_file.h"

extern char** environ;

namespace qk::dsp {

namespace {

constexpr double kPi = 3.14159265358979323846;

// Runs espeak-ng without a shell (the sentence is an argument, never a command line).
std::string Run(const std::string& program, const SpokenOptions& o, const std::string& sentence,
                const std::string& wav) {
    const std::string speed = std::to_string(o.words);
    std::vector<std::string> args = {program, "-v", o.voice, "-s", speed, "-w", wav, "--", sentence};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
        return "cannot start " + program;
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return program + " failed on voice " + o.voice;
    }
    return {};
}

// Talking or not, per 20 ms frame: within 35 dB of the loudest frames' level.
std::vector<uint8_t> Activity(const std::vector<float>& x, double rateHz) {
    const size_t frame = size_t(rateHz / 50);
    std::vector<double> energy;
    for (size_t at = 0; at + frame <= x.size(); at += frame) {
        double e = 0;
        for (size_t i = 0; i < frame; ++i) e += double(x[at + i]) * x[at + i];
        energy.push_back(e / double(frame));
    }
    std::vector<uint8_t> active(x.size(), 0);
    if (energy.empty()) return active;
    std::vector<double> sorted = energy;
    std::sort(sorted.begin(), sorted.end());
    const double loud = sorted[sorted.size() * 95 / 100];
    for (size_t f = 0; f < energy.size(); ++f) {
        if (energy[f] < loud * std::pow(10.0, -3.5)) continue;
        std::fill_n(active.begin() + long(f * frame), frame, 1);
    }
    return active;
}

}  // namespace

std::string EspeakProgram() {
    // QK_ESPEAK_NG names another program (or, naming none, makes it absent).
    if (const char* chosen = std::getenv("QK_ESPEAK_NG")) return ::access(chosen, X_OK) == 0 ? chosen : "";
    for (const char* dir : {"/usr/bin", "/usr/local/bin", "/bin"}) {
        std::filesystem::path p = std::filesystem::path(dir) / "espeak-ng";
        if (::access(p.c_str(), X_OK) == 0) return p.string();
    }
    return {};
}

std::vector<float> Resample(const std::vector<float>& x, double fromHz, double toHz) {
    if (fromHz == toHz) return x;
    constexpr int kHalf = 24;
    const double ratio = toHz / fromHz;
    const double cutoff = std::min(1.0, ratio) * 0.95;  // of the input's Nyquist
    const size_t n = size_t(std::floor(double(x.size()) * ratio));
    std::vector<float> y(n);
    for (size_t o = 0; o < n; ++o) {
        const double centre = double(o) / ratio;
        const long first = long(std::floor(centre)) - kHalf + 1;
        double acc = 0;
        for (long i = first; i < first + 2 * kHalf; ++i) {
            if (i < 0 || i >= long(x.size())) continue;
            const double t = double(i) - centre;
            const double arg = kPi * t * cutoff;
            const double sinc = std::abs(arg) < 1e-9 ? 1.0 : std::sin(arg) / arg;
            const double window = 0.5 + 0.5 * std::cos(kPi * t / (kHalf + 1));
            acc += cutoff * sinc * window * x[size_t(i)];
        }
        y[o] = float(acc);
    }
    return y;
}

std::string Speak(const SpokenOptions& o, qk::sim::SpeechSignal* out) {
    const std::string program = EspeakProgram();
    if (program.empty()) return "espeak-ng is not installed (scripts/deps.sh installs it)";
    if (o.sentences.empty()) return "nothing to say";
    const auto wav = std::filesystem::temp_directory_path() /
                     ("qk-speech-" + std::to_string(::getpid()) + "-" + std::to_string(std::rand()) + ".wav");
    const size_t total = size_t(o.rateHz * o.seconds);
    const size_t pause = size_t(o.rateHz * o.pauseS);
    std::vector<float> speech(pause, 0.0f);
    for (size_t k = 0; speech.size() < total; ++k) {
        if (k >= 4 * o.sentences.size() && speech.size() <= pause) break;  // speaks nothing
        const std::string& sentence = o.sentences[k % o.sentences.size()];
        if (std::string e = Run(program, o, sentence, wav.string()); !e.empty()) {
            std::filesystem::remove(wav);
            return e;
        }
        Sound sound;
        std::string e = ReadSound(wav.string(), sound);
        std::filesystem::remove(wav);
        if (!e.empty()) return "espeak-ng wrote no sound: " + e;
        std::vector<float> mono(sound.frames());
        for (size_t i = 0; i < mono.size(); ++i) mono[i] = sound.samples[i * size_t(sound.channels)];
        std::vector<float> spoken = Resample(mono, sound.rateHz, o.rateHz);
        speech.insert(speech.end(), spoken.begin(), spoken.end());
        speech.insert(speech.end(), pause, 0.0f);
    }
    speech.resize(total, 0.0f);
    out->active = Activity(speech, o.rateHz);
    double energy = 0;
    size_t talking = 0;
    for (size_t i = 0; i < speech.size(); ++i) {
        if (!out->active[i]) continue;
        energy += double(speech[i]) * speech[i];
        ++talking;
    }
    if (talking == 0 || energy <= 0) return "espeak-ng spoke only silence";
    const double scale = o.level / std::sqrt(energy / double(talking));
    for (float& v : speech) v = float(v * scale);
    out->samples = std::move(speech);
    return {};
}

}  // namespace qk::dsp
