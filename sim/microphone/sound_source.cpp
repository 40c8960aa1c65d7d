#include "sim/microphone/sound_source.h"

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <stdexcept>

namespace qk::sim {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kSincHalfTaps = 16;

double Hann(double x, double half) { return 0.5 + 0.5 * std::cos(kPi * x / half); }

}  // namespace

// ---- WAV files ----------------------------------------------------------------------------------------

WavSource::WavSource(const std::string& path) : path_(path) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) throw std::runtime_error("cannot read sound file " + path + ": " + sf_strerror(nullptr));
    if (info.frames <= 0 || info.channels <= 0 || info.samplerate <= 0 || info.frames > (int64_t{1} << 31) / info.channels) {
        sf_close(file);
        throw std::runtime_error("sound file " + path + " is empty or too large");
    }
    std::vector<float> all(static_cast<size_t>(info.frames) * info.channels);
    sf_count_t got = sf_readf_float(file, all.data(), info.frames);
    sf_close(file);
    if (got <= 0) throw std::runtime_error("cannot read the samples of " + path);
    rate_ = info.samplerate;
    left_.resize(static_cast<size_t>(got));
    right_.resize(static_cast<size_t>(got));
    for (sf_count_t i = 0; i < got; ++i) {
        left_[i] = all[static_cast<size_t>(i) * info.channels];
        right_[i] = all[static_cast<size_t>(i) * info.channels + (info.channels > 1 ? 1 : 0)];
    }
}

float WavSource::Sample(const std::vector<float>& channel, double position, double cutoff) const {
    // Windowed-sinc interpolation, low-passed at `cutoff` of the file's Nyquist
    // frequency when the host's rate is lower.
    auto n = static_cast<int64_t>(channel.size());
    auto base = static_cast<int64_t>(std::floor(position));
    double sum = 0;
    for (int64_t k = base - kSincHalfTaps + 1; k <= base + kSincHalfTaps; ++k) {
        double x = position - static_cast<double>(k);
        double s = x == 0 ? 1.0 : std::sin(kPi * cutoff * x) / (kPi * cutoff * x);
        int64_t at = ((k % n) + n) % n;  // the file loops
        sum += channel[static_cast<size_t>(at)] * cutoff * s * Hann(x, kSincHalfTaps);
    }
    return static_cast<float>(sum);
}

void WavSource::Capture(int rateHz, int64_t start, std::span<float> interleaved) {
    if (rateHz <= 0) return;
    double cutoff = std::min(1.0, static_cast<double>(rateHz) / rate_);
    auto length = static_cast<int64_t>(left_.size());
    for (size_t i = 0; i + 1 < interleaved.size(); i += 2) {
        int64_t frame = start + static_cast<int64_t>(i / 2);
        if (rateHz == rate_) {
            int64_t at = frame % length;
            interleaved[i] = left_[static_cast<size_t>(at)];
            interleaved[i + 1] = right_[static_cast<size_t>(at)];
            continue;
        }
        // Keep the position exact over long runs: whole file loops first.
        double seconds = static_cast<double>(frame) / rateHz;
        double position = std::fmod(seconds * rate_, static_cast<double>(length));
        interleaved[i] = Sample(left_, position, cutoff);
        interleaved[i + 1] = Sample(right_, position, cutoff);
    }
}

// ---- The two-microphone scene ----------------------------------------------------------------------------

TwoMicrophoneScene::TwoMicrophoneScene(SceneParameters parameters, unsigned components)
    : p_(parameters), components_(components) {
    std::mt19937 random(p_.seed);
    std::uniform_real_distribution<double> frequency(150.0, 3800.0), phase(0.0, 2 * kPi);
    for (auto* tones : {&noise_, &diffuse1_, &diffuse2_}) {
        for (int i = 0; i < 48; ++i) tones->push_back({frequency(random), phase(random)});
    }
}

double TwoMicrophoneScene::NoiseDelaySeconds() const {
    return p_.microphoneSpacing * std::sin(p_.noiseAngleDegrees * kPi / 180.0) / p_.speedOfSound;
}

double TwoMicrophoneScene::Talker(double t) const {
    // A voice around 140 Hz (gliding by 20 Hz) with harmonics shaped like a
    // vowel, in syllables of a third of a second, two seconds on, one off.
    double envelope = std::fmod(t, 3.0) < 2.0 ? std::pow(std::max(0.0, std::sin(2 * kPi * 1.5 * t)), 2) : 0.0;
    if (envelope == 0) return 0;
    double cycles = 140.0 * t - 20.0 / kPi * std::cos(kPi * t);
    double sum = 0;
    for (int k = 1; k <= 24; ++k) {
        double f = k * 140.0;
        double formant = std::exp(-std::pow((f - 700.0) / 400.0, 2)) + 0.6 * std::exp(-std::pow((f - 1200.0) / 500.0, 2));
        sum += (0.2 + formant) / k * std::sin(2 * kPi * k * cycles);
    }
    return p_.talkerLevel * envelope * sum / 1.5;
}

double TwoMicrophoneScene::Sum(const std::vector<Tone>& tones, double t) const {
    double sum = 0;
    for (const auto& tone : tones) sum += std::sin(2 * kPi * tone.frequency * t + tone.phase);
    return sum / std::sqrt(static_cast<double>(tones.size()) / 2.0);
}

const std::vector<float>& TwoMicrophoneScene::Response(int rateHz) {
    auto it = responses_.find(rateHz);
    if (it != responses_.end()) return it->second;
    // Decaying random taps after a direct path.
    std::mt19937 random(p_.seed * 7919u + static_cast<uint32_t>(rateHz));
    std::normal_distribution<double> tap(0.0, 1.0);
    auto delay = static_cast<size_t>(p_.echoDelayMs * rateHz / 1000.0);
    auto tail = static_cast<size_t>(2.5 * p_.echoDecayMs * rateHz / 1000.0);
    std::vector<float> h(delay + tail + 1, 0.0f);
    h[delay] = static_cast<float>(p_.echoGain);
    double norm = std::sqrt(p_.echoDecayMs * rateHz / 1000.0);
    for (size_t k = 1; k <= tail; ++k) {
        double decay = std::exp(-static_cast<double>(k) / (p_.echoDecayMs * rateHz / 1000.0));
        h[delay + k] = static_cast<float>(p_.echoGain * 0.5 * decay * tap(random) / norm);
    }
    return responses_.emplace(rateHz, std::move(h)).first->second;
}

void TwoMicrophoneScene::Play(int rateHz, int64_t start, std::span<const float> interleaved) {
    std::lock_guard guard(lock_);
    if (rateHz != playedRate_) {
        played_.clear();
        playedRate_ = rateHz;
        playedBase_ = start;
    }
    if (played_.empty()) playedBase_ = start;
    int64_t end = playedBase_ + static_cast<int64_t>(played_.size());
    if (start < playedBase_) return;  // older than what is kept
    while (end < start) {
        played_.push_back(0.0f);  // the loudspeaker was silent
        ++end;
    }
    for (size_t i = 0; i + 1 < interleaved.size(); i += 2) {
        int64_t frame = start + static_cast<int64_t>(i / 2);
        float mono = 0.5f * (interleaved[i] + interleaved[i + 1]);
        if (frame < end) {
            played_[static_cast<size_t>(frame - playedBase_)] = mono;
        } else {
            played_.push_back(mono);
            ++end;
        }
    }
    while (played_.size() > static_cast<size_t>(2 * rateHz)) {
        played_.pop_front();
        ++playedBase_;
    }
}

void TwoMicrophoneScene::Echo(int rateHz, int64_t start, std::span<float> interleaved) {
    std::lock_guard guard(lock_);
    if (rateHz != playedRate_ || played_.empty()) return;
    const std::vector<float>& h = Response(rateHz);
    for (size_t i = 0; i + 1 < interleaved.size(); i += 2) {
        int64_t frame = start + static_cast<int64_t>(i / 2);
        double sum = 0;
        for (size_t k = 0; k < h.size(); ++k) {
            if (h[k] == 0.0f) continue;
            int64_t at = frame - static_cast<int64_t>(k) - playedBase_;
            if (at < 0) break;
            if (at >= static_cast<int64_t>(played_.size())) continue;
            sum += h[k] * played_[static_cast<size_t>(at)];
        }
        interleaved[i] += static_cast<float>(sum);
        interleaved[i + 1] += static_cast<float>(sum);
    }
}

void TwoMicrophoneScene::CaptureComponent(SceneComponent component, int rateHz, int64_t start,
                                          std::span<float> interleaved) {
    std::fill(interleaved.begin(), interleaved.end(), 0.0f);
    if (rateHz <= 0) return;
    if (component == kSceneEcho) return Echo(rateHz, start, interleaved);
    double delay = NoiseDelaySeconds();
    for (size_t i = 0; i + 1 < interleaved.size(); i += 2) {
        double t = static_cast<double>(start + static_cast<int64_t>(i / 2)) / rateHz;
        double left = 0, right = 0;
        switch (component) {
            case kSceneTalker: left = right = Talker(t); break;
            case kSceneNoise:
                left = p_.noiseLevel * Sum(noise_, t);
                right = p_.noiseLevel * Sum(noise_, t - delay);
                break;
            case kSceneDiffuse:
                left = p_.diffuseLevel * Sum(diffuse1_, t);
                right = p_.diffuseLevel * Sum(diffuse2_, t);
                break;
            default: break;
        }
        interleaved[i] = static_cast<float>(left);
        interleaved[i + 1] = static_cast<float>(right);
    }
}

void TwoMicrophoneScene::Capture(int rateHz, int64_t start, std::span<float> interleaved) {
    std::fill(interleaved.begin(), interleaved.end(), 0.0f);
    std::vector<float> part(interleaved.size());
    for (SceneComponent c : {kSceneTalker, kSceneNoise, kSceneDiffuse, kSceneEcho}) {
        if (!(components_ & c)) continue;
        CaptureComponent(c, rateHz, start, part);
        for (size_t i = 0; i < part.size(); ++i) interleaved[i] += part[i];
    }
}

}  // namespace qk::sim
