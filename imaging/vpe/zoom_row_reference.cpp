// Plain row kernels of the bilinear zoom: the arithmetic as it stands. The
// fast kernels must give exactly these bytes.
#include "imaging/vpe/zoom.h"

namespace qk::vpe::row {

void HorizontalRow_Reference(const uint8_t* line, const ZoomWorkspace& table, int n, uint16_t* out) {
    const int distance = table.distance;
    for (int s = 0; s < n; ++s) {
        const uint8_t* near = line + table.offset[s];
        out[s] = uint16_t(table.weights[2 * s] * near[0] + table.weights[2 * s + 1] * near[distance]);
    }
}

void VerticalRow_Reference(const uint16_t* a, const uint16_t* b, int n, int nearWeight, int farWeight,
                           uint8_t* out) {
    for (int s = 0; s < n; ++s) out[s] = uint8_t((nearWeight * a[s] + farWeight * b[s] + 32768) >> 16);
}

const ZoomKernels& ReferenceZoomKernels() {
    static constexpr ZoomKernels kReference{
        .horizontal = HorizontalRow_Reference,
        .vertical = VerticalRow_Reference,
    };
    return kReference;
}

const ZoomKernels& ZoomKernelsInUse() {
    static const ZoomKernels& chosen = Avx2ZoomKernels() ? *Avx2ZoomKernels() : ReferenceZoomKernels();
    return chosen;
}

}  // namespace qk::vpe::row
