// Common frame of the signal-processing stages. The audio filter keeps its
// stages behind plain pointers in per-device structures, so each stage frees
// itself through a virtual Destroy() instead of being deleted by its owner.
#pragma once

#include <cmath>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "ntdef.h"

namespace qk::dsp {

using Complex = std::complex<float>;

// |c| without the overflow guard of std::abs, whose hypot call dominated the
// per-band loops; band values stay far below the float range.
inline float Magnitude(Complex c) { return std::sqrt(c.real() * c.real() + c.imag() * c.imag()); }

class Stage {
public:
    Stage(const Stage&) = delete;
    Stage& operator=(const Stage&) = delete;

    // Frees the stage and everything it allocated at set-up.
    virtual void Destroy() { delete this; }

protected:
    Stage() = default;
    virtual ~Stage() = default;
};

// Owner for code that holds a stage in a scope (tests, tools).
struct StageDestroyer {
    void operator()(Stage* stage) const {
        if (stage) stage->Destroy();
    }
};
template <class T>
using StagePtr = std::unique_ptr<T, StageDestroyer>;

template <class T, class... Args>
StagePtr<T> MakeStage(Args&&... args) {
    return StagePtr<T>(new T(std::forward<Args>(args)...));
}

// Rates the stages accept at all; the capture processor refuses others.
constexpr ULONG kMinRateHz = 4000;
constexpr ULONG kMaxRateHz = 48000;

}  // namespace qk::dsp
