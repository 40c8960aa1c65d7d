#include "audiofilter/capture_processor.h"

#include <new>

#include "audiofilter/filter.h"

namespace k0340aud {

CaptureProcessor* CaptureProcessor::Create() {
    void* memory = ExAllocatePoolWithTag(NonPagedPool, sizeof(CaptureProcessor), kPoolTag);
    if (memory == nullptr) return nullptr;
    return new (memory) CaptureProcessor();
}

void CaptureProcessor::Destroy(CaptureProcessor* processor) {
    if (processor == nullptr) return;
    processor->~CaptureProcessor();
    ExFreePoolWithTag(processor, kPoolTag);
}

void CaptureProcessor::SetFeature(ULONG feature, ULONG value) {
    switch (feature) {
        case FEATURE_NOISEGUARD: requested_.noiseGuard = value != 0; break;
        case FEATURE_BFA: requested_.bfa = value != 0; break;
        case FEATURE_BFA3: requested_.bfa3 = value != 0; break;
        default: break;
    }
}

void CaptureProcessor::SetFormat(ULONG rateHz, ULONG channels, ULONG bits) {
    if (rateHz < 4000 || rateHz > 48000 || channels < 1 || channels > 4 || (bits != 16 && bits != 32)) return;
    requested_.rateHz = rateHz;
    requested_.channels = channels;
    requested_.bits = bits;
}

}  // namespace k0340aud
