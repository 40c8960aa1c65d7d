// Regions as sets of pixels described by disjoint rectangles. Every
// combination is computed on the grid of all the edges involved, then merged
// back into rows of rectangles, so the result is exact for any input.
#pragma once

#include <vector>

#include "windef.h"

namespace qk::ui {

class Region {
public:
    Region() = default;
    explicit Region(const RECT& r) { Add(r); }
    static Region Ellipse(const RECT& bounds);

    enum class Op { And, Or, Xor, Diff };
    static Region Combine(const Region& a, const Region& b, Op op);

    bool Empty() const { return rects_.empty(); }
    bool Contains(int x, int y) const;
    RECT Bounds() const;
    void Offset(int dx, int dy);
    const std::vector<RECT>& Rects() const { return rects_; }
    // 1 NULLREGION, 2 SIMPLEREGION, 3 COMPLEXREGION.
    int Complexity() const { return rects_.empty() ? 1 : rects_.size() == 1 ? 2 : 3; }

private:
    void Add(const RECT& r);
    std::vector<RECT> rects_;  // disjoint, none empty
};

bool RectEmpty(const RECT& r);
RECT RectIntersect(const RECT& a, const RECT& b);
RECT RectUnion(const RECT& a, const RECT& b);

}  // namespace qk::ui
