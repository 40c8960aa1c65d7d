// What the camera's two microphones hear. Channel 0 is microphone 1 (left),
// channel 1 microphone 2 (right); samples are floats in [-1, 1] on a timeline
// that starts when the device is plugged, rendered at whatever rate the host
// asks for.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

namespace qk::sim {

class SoundSource {
public:
    virtual ~SoundSource() = default;
    // Renders frames start .. start + interleaved.size() / 2 - 1 at `rateHz`.
    virtual void Capture(int rateHz, int64_t start, std::span<float> interleaved) = 0;
    // What the device's loudspeaker plays from frame `start` on (stereo,
    // interleaved), for sources with an echo path.
    virtual void Play(int rateHz, int64_t start, std::span<const float> interleaved) {}
    virtual std::string Describe() const = 0;
};

// A WAV file (any format libsndfile reads): mono goes to both microphones,
// stereo to one each; resampled to the rate asked for and looped.
class WavSource : public SoundSource {
public:
    // Throws std::runtime_error with a clear message when the file cannot be read.
    explicit WavSource(const std::string& path);
    void Capture(int rateHz, int64_t start, std::span<float> interleaved) override;
    std::string Describe() const override { return "wav " + path_; }
    int FileRate() const { return rate_; }
    size_t Frames() const { return left_.size(); }

private:
    float Sample(const std::vector<float>& channel, double position, double cutoff) const;
    std::string path_;
    int rate_ = 0;
    std::vector<float> left_, right_;
};

// The parts of the two-microphone scene.
enum SceneComponent : unsigned {
    kSceneTalker = 1,   // a voiced talker straight in front: the same at both microphones
    kSceneNoise = 2,    // a noise source to the side: microphone 2 hears it a fraction of a sample later
    kSceneDiffuse = 4,  // noise from everywhere: unrelated at the two microphones
    kSceneEcho = 8,     // what the loudspeaker plays, delayed and smeared by the room
    kSceneAll = 15,
};

struct SceneParameters {
    double microphoneSpacing = 0.10;  // metres
    double speedOfSound = 343.0;      // metres per second
    double talkerLevel = 0.25;
    double noiseLevel = 0.05;
    double noiseAngleDegrees = 60.0;  // from straight ahead, towards microphone 1
    double diffuseLevel = 0.01;
    double echoDelayMs = 12.0;
    double echoGain = 0.5;
    double echoDecayMs = 25.0;  // the room's impulse response falls by 1/e in this time
    uint32_t seed = 1;
};

// A synthetic scene whose every part is a continuous-time signal, so it
// renders at any rate and the noise source's inter-microphone delay is exact.
class TwoMicrophoneScene : public SoundSource {
public:
    explicit TwoMicrophoneScene(SceneParameters parameters = {}, unsigned components = kSceneAll);
    void Capture(int rateHz, int64_t start, std::span<float> interleaved) override;
    void Play(int rateHz, int64_t start, std::span<const float> interleaved) override;
    std::string Describe() const override { return "two-microphone scene"; }

    // One part alone, on the same timeline (tests measure what processing removed).
    void CaptureComponent(SceneComponent component, int rateHz, int64_t start, std::span<float> interleaved);
    // How much later microphone 2 hears the noise source than microphone 1.
    double NoiseDelaySeconds() const;
    const SceneParameters& Parameters() const { return p_; }

private:
    struct Tone {
        double frequency, phase;
    };
    double Talker(double t) const;
    double Sum(const std::vector<Tone>& tones, double t) const;
    void Echo(int rateHz, int64_t start, std::span<float> interleaved);
    const std::vector<float>& Response(int rateHz);

    SceneParameters p_;
    unsigned components_;
    std::vector<Tone> noise_, diffuse1_, diffuse2_;
    std::mutex lock_;  // guards the played history and the responses
    int playedRate_ = 0;
    int64_t playedBase_ = 0;                     // frame of played_.front()
    std::deque<float> played_;                   // mono loudspeaker samples, the last two seconds
    std::map<int, std::vector<float>> responses_;  // room response per rate
};

}  // namespace qk::sim
