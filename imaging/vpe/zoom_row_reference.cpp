// Plain row kernels of the bilinear zoom: the arithmetic as it stands. The
// fast kernels must give exactly these bytes.
#include "imaging/vpe/zoom.h"

namespace qk::vpe::row {

template <typename Workspace>
void HorizontalRow_Reference(const uint8_t* line, const Workspace& table, int n, uint16_t* out) {
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

template <typename Workspace>
void ChromaPairsRow_Reference(const uint8_t* line, Workspace& table, int n, uint8_t* out) {
    for (int p = 0; p < n / 2; ++p) {
        out[2 * p] = line[table.chromaU[p]];
        out[2 * p + 1] = line[table.chromaV[p]];
    }
}

template void HorizontalRow_Reference(const uint8_t*, const ZoomWorkspace&, int, uint16_t*);
template void HorizontalRow_Reference(const uint8_t*, const StackZoomWorkspace&, int, uint16_t*);
template void ChromaPairsRow_Reference(const uint8_t*, ZoomWorkspace&, int, uint8_t*);
template void ChromaPairsRow_Reference(const uint8_t*, StackZoomWorkspace&, int, uint8_t*);

void VerticalYuy2Row_Reference(const uint16_t* a, const uint16_t* b, int n, int nearWeight, int farWeight,
                               const uint8_t* chroma, uint8_t* out) {
    for (int p = 0; p < n / 2; ++p) {
        out[4 * p + 0] = uint8_t((nearWeight * a[2 * p] + farWeight * b[2 * p] + 32768) >> 16);
        out[4 * p + 1] = chroma[2 * p];
        out[4 * p + 2] = uint8_t((nearWeight * a[2 * p + 1] + farWeight * b[2 * p + 1] + 32768) >> 16);
        out[4 * p + 3] = chroma[2 * p + 1];
    }
}

void SmoothInTime_Reference(uint8_t* smoothed, const uint8_t* fresh, size_t bytes) {
    for (size_t i = 0; i < bytes; ++i) smoothed[i] = uint8_t((2 * fresh[i] + 6 * smoothed[i]) >> 3);
}

DifferenceSums AbsDifference_Reference(const uint8_t* a, const uint8_t* b, size_t n, uint8_t* out) {
    DifferenceSums sums{0, 0};
    for (size_t i = 0; i < n; ++i) {
        const int d = int(a[i]) - int(b[i]);
        const int magnitude = d < 0 ? -d : d;
        out[i] = uint8_t(magnitude);
        sums.sum += uint64_t(magnitude);
        sums.squares += uint64_t(d * d);
    }
    return sums;
}

void ClampLuma_Reference(uint8_t* out, const uint8_t* in, size_t n) {
    for (size_t i = 0; i < n; ++i) out[i] = in[i] < 16 ? 16 : in[i] > 235 ? 235 : in[i];
}

const ZoomKernels& ReferenceZoomKernels() {
    static constexpr ZoomKernels kReference{
        .wide = {HorizontalRow_Reference<ZoomWorkspace>, ChromaPairsRow_Reference<ZoomWorkspace>},
        .narrow = {HorizontalRow_Reference<StackZoomWorkspace>, ChromaPairsRow_Reference<StackZoomWorkspace>},
        .vertical = VerticalRow_Reference,
        .verticalYuy2 = VerticalYuy2Row_Reference,
        .smooth = SmoothInTime_Reference,
        .absDifference = AbsDifference_Reference,
        .clampLuma = ClampLuma_Reference,
    };
    return kReference;
}

const ZoomKernels& ZoomKernelsInUse() {
    static const ZoomKernels& chosen = Avx512ZoomKernels() ? *Avx512ZoomKernels()
                                       : Avx2ZoomKernels() ? *Avx2ZoomKernels()
                                                           : ReferenceZoomKernels();
    return chosen;
}

}  // namespace qk::vpe::row
