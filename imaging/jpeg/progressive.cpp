// Progressive Huffman-coded frames (ITU-T T.81 Annex G): the coefficients of
// the whole frame are gathered over its scans and written out at the end.
#include <cstdlib>

#include "imaging/jpeg/jpeg_private.h"

namespace qk::jpeg {
namespace {

// A frame whose coefficients would need more than this is refused as if the
// memory had run out; the camera's largest frame needs under 12 MiB.
constexpr size_t kMaxCoefficientBytes = size_t(256) << 20;

void* Allocate(const Record& r, size_t bytes) {
    if (r.allocate == nullptr) return std::calloc(bytes, 1);
    void* block = r.allocate(bytes);
    if (block != nullptr) std::memset(block, 0, bytes);
    return block;
}

size_t BlocksAcross(const Record& r, const Component& c) { return size_t(r.mcusPerRow) * c.h; }

int16_t* BlockAt(const Record& r, const Component& c, int blockX, int blockY) {
    return c.coefficients + (size_t(blockY) * BlocksAcross(r, c) + size_t(blockX)) * 64;
}

int Symbol(Record& r, const HuffmanTable& t) {
    FillBits(r.bits, r.source);
    const int symbol = DecodeSymbol(r.bits, t);
    if (symbol < 0) Log(Msg::kHuffmanDecode);
    return symbol;
}

bool DcFirst(Record& r, Component& c, int16_t* block) {
    const int size = Symbol(r, *c.dcTable);
    if (size < 0) return false;
    if (size > 15) {
        Log(Msg::kHuffmanDecode);
        return false;
    }
    c.dcPredictor = int16_t(c.dcPredictor + Extend(TakeBits(r.bits, size), size));
    block[0] = int16_t(c.dcPredictor * (1 << r.al));
    return true;
}

bool DcRefine(Record& r, int16_t* block) {
    FillBits(r.bits, r.source);
    if (TakeBits(r.bits, 1) != 0) block[0] = int16_t(block[0] | (1 << r.al));
    return true;
}

bool AcFirst(Record& r, const Component& c, int16_t* block) {
    if (r.eobRun > 0) {
        --r.eobRun;
        return true;
    }
    for (int k = r.ss; k <= r.se; ++k) {
        const int rs = Symbol(r, *c.acTable);
        if (rs < 0) return false;
        const int run = rs >> 4, size = rs & 15;
        if (size != 0) {
            k += run;
            if (k > r.se) {
                Log(Msg::kAcPosition);
                return false;
            }
            block[kZigzagToNatural[k]] = int16_t(Extend(TakeBits(r.bits, size), size) * (1 << r.al));
        } else if (run == 15) {
            k += 15;
        } else {
            // End of band: this block and 2^run + (run bits) - 1 more.
            r.eobRun = (1 << run) + TakeBits(r.bits, run) - 1;
            break;
        }
    }
    return true;
}

// A correction bit for a coefficient that is already non-zero: 1 means its
// magnitude grows by 1 << Al (ITU-T T.81 G.1.2.3).
inline void Correct(Record& r, int16_t& coefficient, int p1) {
    FillBits(r.bits, r.source);
    if (TakeBits(r.bits, 1) != 0 && (coefficient & p1) == 0) {
        coefficient = int16_t(coefficient >= 0 ? coefficient + p1 : coefficient - p1);
    }
}

bool AcRefine(Record& r, const Component& c, int16_t* block) {
    const int p1 = 1 << r.al;
    int k = r.ss;
    if (r.eobRun == 0) {
        for (; k <= r.se; ++k) {
            const int rs = Symbol(r, *c.acTable);
            if (rs < 0) return false;
            int run = rs >> 4;
            const int size = rs & 15;
            int value = 0;
            if (size != 0) {
                if (size != 1) {
                    Log(Msg::kHuffmanDecode);
                    return false;
                }
                value = TakeBits(r.bits, 1) != 0 ? p1 : -p1;
            } else if (run != 15) {
                r.eobRun = (1 << run) + TakeBits(r.bits, run);
                break;  // the rest of this block belongs to the band's end
            }
            // Pass over already non-zero coefficients (correcting them) and
            // `run` zero ones; a new coefficient lands on the next zero.
            while (k <= r.se) {
                int16_t& coefficient = block[kZigzagToNatural[k]];
                if (coefficient != 0) {
                    Correct(r, coefficient, p1);
                } else if (--run < 0) {
                    break;
                }
                ++k;
            }
            if (value != 0) {
                if (k > r.se) {
                    Log(Msg::kAcPosition);
                    return false;
                }
                block[kZigzagToNatural[k]] = int16_t(value);
            }
        }
    }
    if (r.eobRun > 0) {
        for (; k <= r.se; ++k) {
            int16_t& coefficient = block[kZigzagToNatural[k]];
            if (coefficient != 0) Correct(r, coefficient, p1);
        }
        --r.eobRun;
    }
    return true;
}

bool DecodeOne(Record& r, Component& c, int16_t* block) {
    if (r.ss == 0) return r.ah == 0 ? DcFirst(r, c, block) : DcRefine(r, block);
    return r.ah == 0 ? AcFirst(r, c, block) : AcRefine(r, c, block);
}

// After one MCU (or one block of a single-component scan); false ends the scan.
bool AfterUnit(Record& r, bool last, int& result) {
    if (r.restartInterval == 0 || ++r.mcusSinceRestart != r.restartInterval || last) return true;
    // The end-of-band run is left as it is: a conforming stream ends its
    // runs before a restart marker.
    switch (ProcessRestart(r)) {
    case RestartResult::kContinue:
        return true;
    case RestartResult::kEndOfImage:
        r.endOfImage = true;
        return false;
    case RestartResult::kError:
        result = JPG_ERR_DATA;
        return false;
    }
    return false;
}

}  // namespace

int AllocateCoefficients(Record& r) {
    size_t total = 0;
    for (int ci = 0; ci < r.nf; ++ci) {
        total += BlocksAcross(r, r.comp[ci]) * size_t(r.mcuRows) * r.comp[ci].v * 64 * sizeof(int16_t);
    }
    if (total > kMaxCoefficientBytes) {
        Log(Msg::kFrameTooLarge, int(r.width), int(r.height));
        return JPG_ERR_NO_MEMORY;
    }
    for (int ci = 0; ci < r.nf; ++ci) {
        Component& c = r.comp[ci];
        const size_t coefficients = BlocksAcross(r, c) * size_t(r.mcuRows) * c.v * 64;
        c.coefficients = static_cast<int16_t*>(Allocate(r, coefficients * sizeof(int16_t)));
        c.coefficientsPerMcuRow = BlocksAcross(r, c) * c.v * 64;
        if (c.coefficients == nullptr) {
            Log(Msg::kNoMemory, static_cast<unsigned long long>(coefficients * sizeof(int16_t)));
            ReleaseCoefficients(r);
            return JPG_ERR_NO_MEMORY;
        }
    }
    return JPG_SUCCESS;
}

void ReleaseCoefficients(Record& r) {
    for (auto& c : r.comp) {
        if (c.coefficients != nullptr) {
            if (r.release == nullptr) {
                std::free(c.coefficients);
            } else {
                r.release(c.coefficients);
            }
        }
        c.coefficients = nullptr;
    }
}

int DecodeProgressiveScan() {
    Record& r = g_record;
    ResetBits(r.bits);
    for (auto& c : r.comp) c.dcPredictor = 0;
    r.mcusSinceRestart = 0;
    r.eobRun = 0;
    int result = JPG_SUCCESS;
    if (r.ns == 1) {
        // One component: its own blocks in raster order, each one an MCU.
        int ci = 0;
        while (!r.comp[ci].inScan) ++ci;
        Component& c = r.comp[ci];
        for (int by = 0; by < c.blockRows; ++by) {
            for (int bx = 0; bx < c.blockCols; ++bx) {
                if (!DecodeOne(r, c, BlockAt(r, c, bx, by))) {
                    result = JPG_ERR_DATA;
                    goto done;
                }
                if (!AfterUnit(r, by == c.blockRows - 1 && bx == c.blockCols - 1, result)) goto done;
            }
        }
    } else {
        // Interleaved DC scan: MCUs of every scan component.
        for (int mcuY = 0; mcuY < r.mcuRows; ++mcuY) {
            for (int mcuX = 0; mcuX < r.mcusPerRow; ++mcuX) {
                for (int ci = 0; ci < r.nf; ++ci) {
                    Component& c = r.comp[ci];
                    if (!c.inScan) continue;
                    for (int by = 0; by < c.v; ++by) {
                        for (int bx = 0; bx < c.h; ++bx) {
                            if (!DecodeOne(r, c, BlockAt(r, c, mcuX * c.h + bx, mcuY * c.v + by))) {
                                result = JPG_ERR_DATA;
                                goto done;
                            }
                        }
                    }
                }
                if (!AfterUnit(r, mcuY == r.mcuRows - 1 && mcuX == r.mcusPerRow - 1, result)) goto done;
            }
        }
    }
done:
    ResetBits(r.bits);
    return result;
}

int OutputProgressiveFrame() {
    Record& r = g_record;
    for (int ci = 0; ci < r.nf; ++ci) {
        if (!r.quantDefined[r.comp[ci].quantId]) {
            Log(Msg::kQuantTableMissing, int(r.comp[ci].quantId));
            return JPG_ERR_DATA;
        }
    }
    for (int mcuY = 0; mcuY < r.mcuRows; ++mcuY) {
        for (int mcuX = 0; mcuX < r.mcusPerRow; ++mcuX) {
            for (int ci = 0; ci < r.nf; ++ci) {
                const Component& c = r.comp[ci];
                for (int by = 0; by < c.v; ++by) {
                    for (int bx = 0; bx < c.h; ++bx) {
                        IdctInto(r, ci, BlockAt(r, c, mcuX * c.h + bx, mcuY * c.v + by), bx, by);
                    }
                }
            }
            WriteMcu(r, mcuX, mcuY);
        }
    }
    return JPG_SUCCESS;
}

}  // namespace qk::jpeg
