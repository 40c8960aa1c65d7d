#include "tools/dsp_eval/anchor.h"

#include <speex/speex_echo.h>
#include <speex/speex_preprocess.h>

#include <algorithm>
#include <cmath>

namespace qk::dsp::anchor {

namespace {
short Clip(float v) { return short(std::clamp(std::lround(v), -32767l, 32767l)); }
}  // namespace

std::vector<float> SpeexDenoise(const std::vector<float>& mono, int rateHz) {
    int frame = rateHz / 100;
    SpeexPreprocessState* st = speex_preprocess_state_init(frame, rateHz);
    int on = 1, off = 0;
    speex_preprocess_ctl(st, SPEEX_PREPROCESS_SET_DENOISE, &on);
    speex_preprocess_ctl(st, SPEEX_PREPROCESS_SET_AGC, &off);
    speex_preprocess_ctl(st, SPEEX_PREPROCESS_SET_DEREVERB, &off);
    std::vector<float> out(mono.size(), 0.0f);
    std::vector<short> buf(static_cast<size_t>(frame));
    for (size_t at = 0; at + size_t(frame) <= mono.size(); at += size_t(frame)) {
        for (int i = 0; i < frame; ++i) buf[size_t(i)] = Clip(mono[at + size_t(i)]);
        speex_preprocess_run(st, buf.data());
        for (int i = 0; i < frame; ++i) out[at + size_t(i)] = buf[size_t(i)];
    }
    speex_preprocess_state_destroy(st);
    return out;
}

std::vector<float> SpeexEcho(const std::vector<float>& mic, const std::vector<float>& far, int rateHz, int filterMs,
                             bool suppressResidual) {
    int frame = rateHz / 100;
    SpeexEchoState* st = speex_echo_state_init(frame, rateHz * filterMs / 1000);
    speex_echo_ctl(st, SPEEX_ECHO_SET_SAMPLING_RATE, &rateHz);
    SpeexPreprocessState* pp = nullptr;
    if (suppressResidual) {
        pp = speex_preprocess_state_init(frame, rateHz);
        // Its residual echo suppression works inside the suppressor's gain
        // stage, so that runs too, with the least noise suppression.
        int off = 0, on = 1, noiseDb = -1;
        speex_preprocess_ctl(pp, SPEEX_PREPROCESS_SET_ECHO_STATE, st);
        speex_preprocess_ctl(pp, SPEEX_PREPROCESS_SET_DENOISE, &on);
        speex_preprocess_ctl(pp, SPEEX_PREPROCESS_SET_NOISE_SUPPRESS, &noiseDb);
        speex_preprocess_ctl(pp, SPEEX_PREPROCESS_SET_AGC, &off);
        speex_preprocess_ctl(pp, SPEEX_PREPROCESS_SET_DEREVERB, &off);
    }
    std::vector<float> out(mic.size(), 0.0f);
    const size_t n = static_cast<size_t>(frame);
    std::vector<short> m(n), f(n), o(n);
    for (size_t at = 0; at + size_t(frame) <= mic.size(); at += size_t(frame)) {
        for (int i = 0; i < frame; ++i) {
            m[size_t(i)] = Clip(mic[at + size_t(i)]);
            f[size_t(i)] = Clip(at + size_t(i) < far.size() ? far[at + size_t(i)] : 0.0f);
        }
        speex_echo_cancellation(st, m.data(), f.data(), o.data());
        if (pp) speex_preprocess_run(pp, o.data());
        for (int i = 0; i < frame; ++i) out[at + size_t(i)] = o[size_t(i)];
    }
    if (pp) speex_preprocess_state_destroy(pp);
    speex_echo_state_destroy(st);
    return out;
}

}  // namespace qk::dsp::anchor
