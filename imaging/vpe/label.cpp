// Connected skin regions in one raster pass with a fixed table of labels,
// and the closing tests that decide which regions are listed.
#include <algorithm>
#include <cstring>

#include "imaging/vpe/vpe_internal.h"

namespace qk::vpe {
namespace {

void PaintLabel(VPE_CONTEXT& c, int width, const LabelRecord& rec, uint32_t label, uint8_t code) {
    if (!c.track.overlayActive) return;
    for (int y = rec.y0; y <= rec.y1; ++y) {
        for (int x = rec.x0; x <= rec.x1; ++x) {
            const size_t i = size_t(y) * size_t(width) + size_t(x);
            if (c.labelMap[i] == label) c.overlayCodes[i] = code;
        }
    }
}

// Appends the region, or lets it push out the smallest listed one.
void ListRegion(VPE_CONTEXT& c, int width, int32_t label, const LabelRecord& rec) {
    RegionList& list = c.track.regions;
    const int capacity = std::clamp(c.settings.MaxBBox, 0, kMaxRegions);
    const Region region{label, rec.x0, rec.y0, rec.x1, rec.y1, rec.count, rec.sumX, rec.sumY, kCodeKept};
    if (list.count < capacity) {
        list.entries[list.count++] = region;
        return;
    }
    if (list.count == 0) return;
    int smallest = 0;
    for (int i = 1; i < list.count; ++i) {
        if (list.entries[i].count < list.entries[smallest].count) smallest = i;
    }
    if (list.entries[smallest].count < region.count) {
        PaintRegion(c, width, list.entries[smallest], kCodeDropped);
        list.entries[smallest] = region;
    }
}

void CloseLabel(VPE_CONTEXT& c, int width, int32_t label) {
    LabelRecord& rec = c.track.labels[label];
    if (rec.state != kLabelOpen) return;
    rec.state = kLabelUnused;
    if (RegionPassesShapeTests(c.settings, rec)) {
        ListRegion(c, width, label, rec);
    } else {
        PaintLabel(c, width, rec, uint32_t(label), kCodeShapeRejected);
    }
}

// A free label for a region starting at (x, y): the next unused one, or,
// when all are taken, the first that is merged away or whose region ended
// above the previous row (that region is closed first). -1 if none.
int32_t NewLabel(VPE_CONTEXT& c, int width, int x, int y) {
    TrackState& t = c.track;
    int32_t label = -1;
    if (t.labelsUsed < kMaxLabels) {
        label = t.labelsUsed++;
    } else {
        for (int32_t l = 0; l < kMaxLabels; ++l) {
            const LabelRecord& rec = t.labels[l];
            if (rec.state == kLabelOpen && rec.lastRow >= y - 1) continue;
            CloseLabel(c, width, l);
            label = l;
            break;
        }
        if (label < 0) return -1;
    }
    t.labels[label] = LabelRecord{x, y, x, y, kLabelOpen, y, 0, 0, 0};
    return label;
}

// Merges label `from` into `into`; its pixels so far (rows from its first to
// the current one, within its box) take the surviving label.
void MergeLabels(VPE_CONTEXT& c, int width, int32_t from, int32_t into, int currentRow) {
    LabelRecord& a = c.track.labels[from];
    LabelRecord& b = c.track.labels[into];
    b.count += a.count;
    b.sumX += a.sumX;
    b.sumY += a.sumY;
    b.x0 = std::min(b.x0, a.x0);
    b.y0 = std::min(b.y0, a.y0);
    b.x1 = std::max(b.x1, a.x1);
    b.y1 = std::max(b.y1, a.y1);
    b.lastRow = std::max(b.lastRow, a.lastRow);
    a.state = kLabelMerged;
    for (int y = a.y0; y <= currentRow; ++y) {
        uint32_t* row = c.labelMap + size_t(y) * size_t(width);
        for (int x = a.x0; x <= a.x1; ++x) {
            if (row[x] == uint32_t(from)) row[x] = uint32_t(into);
        }
    }
}

// The whole map unlabelled. A plain fill of a 32-bit value is a store per
// label; copying the filled part onto the rest goes at memcpy's speed.
void FillNoLabel(uint32_t* map, size_t n) {
    const size_t first = std::min<size_t>(n, 64);
    for (size_t i = 0; i < first; ++i) map[i] = kNoLabel;
    for (size_t done = first; done < n;) {
        const size_t copied = std::min(done, n - done);
        std::memcpy(map + done, map, copied * sizeof *map);
        done += copied;
    }
}

}  // namespace

bool RegionPassesShapeTests(const FtkSettings& s, const LabelRecord& rec) {
    const int64_t w = int64_t(rec.x1) - rec.x0, h = int64_t(rec.y1) - rec.y0;
    if ((s.TestMask & 1) != 0 && !(rec.count > s.RgnSizeTh)) return false;
    if ((s.TestMask & 2) != 0 && w * 4 < h) return false;        // too narrow
    if ((s.TestMask & 4) != 0 && !(w < h * 11 / 10)) return false;  // too wide for a face
    return true;
}

void PaintRegion(VPE_CONTEXT& c, int width, const Region& r, uint8_t code) {
    if (!c.track.overlayActive || r.x0 < 0 || r.y0 < 0 || r.x1 < r.x0 || r.y1 < r.y0) return;
    if (r.x1 >= c.track.analysisWidth || r.y1 >= c.track.analysisHeight) return;
    for (int y = r.y0; y <= r.y1; ++y) {
        for (int x = r.x0; x <= r.x1; ++x) {
            const size_t i = size_t(y) * size_t(width) + size_t(x);
            if (c.skinMask[i] != 0) c.overlayCodes[i] = code;
        }
    }
}

void ftkLabelRegions(VPE_CONTEXT& c, int width, int height) {
    TrackState& t = c.track;
    const size_t n = size_t(width) * size_t(height);
    FillNoLabel(c.labelMap, n);
    t.labelsUsed = 0;
    t.regions.count = 0;
    // The outer border is never labelled, so every pixel looked at has a
    // left and an upper neighbour.
    for (int y = 1; y + 1 < height; ++y) {
        const size_t rowStart = size_t(y) * size_t(width);
        const uint8_t* maskRow = c.skinMask + rowStart;
        for (int x = 1; x + 1 < width; ++x) {
            // Most of a picture is not skin: eight mask bytes at a time are
            // passed over while they are all zero.
            uint64_t eight;
            while (x + 9 < width && (std::memcpy(&eight, maskRow + x, 8), eight == 0)) x += 8;
            const size_t i = rowStart + size_t(x);
            if (c.skinMask[i] == 0) continue;
            const uint32_t left = c.labelMap[i - 1], up = c.labelMap[i - size_t(width)];
            int32_t label;
            if (left != kNoLabel && (up == kNoLabel || up == left)) {
                label = int32_t(left);
            } else if (up != kNoLabel && left == kNoLabel) {
                label = int32_t(up);
            } else if (left == kNoLabel) {
                label = NewLabel(c, width, x, y);
                if (label < 0) continue;
            } else {
                // Two regions meet: the smaller (the left one on a tie) joins the larger.
                const bool leftSmaller = t.labels[left].count <= t.labels[up].count;
                const int32_t from = int32_t(leftSmaller ? left : up), into = int32_t(leftSmaller ? up : left);
                MergeLabels(c, width, from, into, y);
                label = into;
            }
            c.labelMap[i] = uint32_t(label);
            LabelRecord& rec = t.labels[label];
            ++rec.count;
            rec.sumX += x;
            rec.sumY += y;
            rec.lastRow = y;
            rec.x0 = std::min(rec.x0, x);
            rec.x1 = std::max(rec.x1, x);
            rec.y0 = std::min(rec.y0, y);
            rec.y1 = std::max(rec.y1, y);
        }
    }
    for (int32_t l = 0; l < t.labelsUsed; ++l) CloseLabel(c, width, l);
}

}  // namespace qk::vpe
