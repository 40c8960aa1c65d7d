// Stored windows of the filter bank's prototype low-pass (M = 64 and M = 128).
#pragma once

namespace qk::dsp {

extern const float kPrototypeWindow129[129];
extern const float kPrototypeWindow257[257];

}  // namespace qk::dsp
