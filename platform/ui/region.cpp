#include "platform/ui/region.h"

#include <algorithm>
#include <cmath>

namespace qk::ui {

bool RectEmpty(const RECT& r) { return r.right <= r.left || r.bottom <= r.top; }

RECT RectIntersect(const RECT& a, const RECT& b) {
    RECT r{std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right), std::min(a.bottom, b.bottom)};
    if (RectEmpty(r)) return RECT{0, 0, 0, 0};
    return r;
}

RECT RectUnion(const RECT& a, const RECT& b) {
    if (RectEmpty(a)) return b;
    if (RectEmpty(b)) return a;
    return RECT{std::min(a.left, b.left), std::min(a.top, b.top), std::max(a.right, b.right),
                std::max(a.bottom, b.bottom)};
}

void Region::Add(const RECT& r) {
    if (!RectEmpty(r)) rects_.push_back(r);
}

Region Region::Ellipse(const RECT& b) {
    Region out;
    const double cx = (b.left + b.right) / 2.0, cy = (b.top + b.bottom) / 2.0;
    const double rx = (b.right - b.left) / 2.0, ry = (b.bottom - b.top) / 2.0;
    if (rx <= 0 || ry <= 0) return out;
    for (LONG y = b.top; y < b.bottom; ++y) {
        const double dy = (y + 0.5 - cy) / ry;
        if (dy * dy > 1) continue;
        const double half = rx * std::sqrt(1 - dy * dy);
        out.Add(RECT{static_cast<LONG>(std::lround(cx - half)), y, static_cast<LONG>(std::lround(cx + half)), y + 1});
    }
    return out;
}

bool Region::Contains(int x, int y) const {
    for (const RECT& r : rects_) {
        if (x >= r.left && x < r.right && y >= r.top && y < r.bottom) return true;
    }
    return false;
}

RECT Region::Bounds() const {
    RECT box{0, 0, 0, 0};
    for (const RECT& r : rects_) box = RectUnion(box, r);
    return box;
}

void Region::Offset(int dx, int dy) {
    for (RECT& r : rects_) {
        r.left += dx;
        r.right += dx;
        r.top += dy;
        r.bottom += dy;
    }
}

Region Region::Combine(const Region& a, const Region& b, Op op) {
    // Two rectangles cut by one another, the most frequent case (a window
    // clipped by its ancestors): the grid below would give the same.
    if (op == Op::And && a.rects_.size() == 1 && b.rects_.size() == 1) return Region(RectIntersect(a.rects_[0], b.rects_[0]));
    if (op == Op::And && (a.rects_.empty() || b.rects_.empty())) return Region();
    // Bands between every top and bottom edge; within a band each region is
    // a row of disjoint intervals (every rectangle covers a band whole or
    // not at all), combined in one sweep over their edges.
    std::vector<LONG> ys;
    for (const Region* g : {&a, &b}) {
        for (const RECT& r : g->rects_) ys.insert(ys.end(), {r.top, r.bottom});
    }
    std::sort(ys.begin(), ys.end());
    ys.erase(std::unique(ys.begin(), ys.end()), ys.end());
    Region out;
    std::vector<std::pair<LONG, LONG>> ia, ib;
    std::vector<LONG> xs;
    auto row = [](const Region& g, LONG y0, LONG y1, std::vector<std::pair<LONG, LONG>>* intervals) {
        intervals->clear();
        for (const RECT& r : g.rects_) {
            if (r.top <= y0 && r.bottom >= y1) intervals->push_back({r.left, r.right});
        }
        std::sort(intervals->begin(), intervals->end());
    };
    auto inside = [](const std::vector<std::pair<LONG, LONG>>& intervals, size_t* at, LONG x) {
        while (*at < intervals.size() && intervals[*at].second <= x) ++*at;
        return *at < intervals.size() && intervals[*at].first <= x;
    };
    for (size_t j = 0; j + 1 < ys.size(); ++j) {
        row(a, ys[j], ys[j + 1], &ia);
        row(b, ys[j], ys[j + 1], &ib);
        xs.clear();
        for (const auto* intervals : {&ia, &ib}) {
            for (const auto& [l, r] : *intervals) xs.insert(xs.end(), {l, r});
        }
        std::sort(xs.begin(), xs.end());
        xs.erase(std::unique(xs.begin(), xs.end()), xs.end());
        size_t atA = 0, atB = 0;
        LONG runStart = 0;
        bool inRun = false;
        for (size_t i = 0; i + 1 < xs.size(); ++i) {
            const bool inA = inside(ia, &atA, xs[i]);
            const bool inB = inside(ib, &atB, xs[i]);
            bool in = false;
            switch (op) {
                case Op::And: in = inA && inB; break;
                case Op::Or: in = inA || inB; break;
                case Op::Xor: in = inA != inB; break;
                case Op::Diff: in = inA && !inB; break;
            }
            if (in && !inRun) {
                runStart = xs[i];
                inRun = true;
            } else if (!in && inRun) {
                out.Add(RECT{runStart, ys[j], xs[i], ys[j + 1]});
                inRun = false;
            }
        }
        if (inRun) out.Add(RECT{runStart, ys[j], xs.back(), ys[j + 1]});
    }
    // Rows of equal extent one above the other become one rectangle.
    std::vector<RECT> merged;
    for (const RECT& r : out.rects_) {
        bool joined = false;
        for (RECT& m : merged) {
            if (m.left == r.left && m.right == r.right && m.bottom == r.top) {
                m.bottom = r.bottom;
                joined = true;
                break;
            }
        }
        if (!joined) merged.push_back(r);
    }
    out.rects_ = std::move(merged);
    return out;
}

}  // namespace qk::ui
