// The decoder's entry points and its marker reader: SOI search, the marker
// loop, and the frame header, table, restart-interval and scan segments
// (ITU-T T.81 Annex B).
#include <algorithm>

#include "imaging/jpeg/jpeg_private.h"

namespace qk::jpeg {

Record g_record;  // the one decoder record: zero at load, never freed

namespace {

constexpr int kMaxSoiAttempts = 100;
constexpr int kMaxMarkers = 100;
constexpr int kMaxSkippedBytes = 10001;

bool IsProgressive(const Record& r) { return r.frameMarker == 0xC2; }

// Sets a component's sample positions inside an MCU: pixel x of an MCU that
// is 8 * Hmax pixels wide lies on sample x * h / Hmax of the component.
void MapAxis(int factor, int maxFactor, uint8_t* map, uint8_t* next, uint8_t* between) {
    for (int x = 0; x < 8 * maxFactor; ++x) {
        const int scaled = x * factor;
        map[x] = uint8_t(scaled / maxFactor);
        next[x] = uint8_t(std::min(map[x] + 1, 8 * factor - 1));
        between[x] = scaled % maxFactor != 0;
    }
}

int ParseFrameHeader(Record& r, int marker, JPG_GET_IMAGE getImage) {
    Source& s = r.source;
    if (r.frameMarker != 0) {
        Log(Msg::kSecondFrame);
        return JPG_ERR_DATA;
    }
    if (ReadWord(s) < 0) return JPG_ERR_DATA;
    r.precision = ReadByte(s);
    if (r.precision < 0) return JPG_ERR_DATA;
    if (r.precision != 8) {
        Log(Msg::kPrecision);
        return JPG_ERR_PRECISION;
    }
    const int height = ReadWord(s), width = ReadWord(s), nf = ReadByte(s);
    if (height < 0 || width < 0 || nf < 0) return JPG_ERR_DATA;
    if (nf == 0) {
        Log(Msg::kNoComponents);
        return JPG_ERR_DATA;
    }
    // The record has room for three components; two or four are valid
    // ITU-T T.81 frames that this decoder does not turn into pictures.
    if (nf != 1 && nf != 3) {
        Log(Msg::kComponentCount, nf);
        return JPG_ERR_UNSUPPORTED;
    }
    for (int i = 0; i < nf; ++i) {
        const int id = ReadByte(s), hv = ReadByte(s), tq = ReadByte(s);
        if (id < 0 || hv < 0 || tq < 0) return JPG_ERR_DATA;
        const int h = hv >> 4, v = hv & 15;
        if (h == 0 || v == 0) {
            Log(Msg::kZeroFrequency);
            return JPG_ERR_DATA;
        }
        if (h > 4 || v > 4) {
            Log(Msg::kFrequencyRange, h, v);
            return JPG_ERR_DATA;
        }
        if (tq > 2) {
            Log(Msg::kQuantTableId, tq);
            return JPG_ERR_DATA;
        }
        for (int j = 0; j < i; ++j) {
            if (r.comp[j].id == id) {
                Log(Msg::kDuplicateComponent, id);
                return JPG_ERR_DATA;
            }
        }
        Component& c = r.comp[i];
        c = Component{};
        c.id = uint8_t(id);
        // A single component is coded one block per MCU whatever its
        // factors (ITU-T T.81 A.2.2).
        c.h = uint8_t(nf == 1 ? 1 : h);
        c.v = uint8_t(nf == 1 ? 1 : v);
        c.quantId = uint8_t(tq);
    }
    if (width == 0 || height == 0) {
        Log(Msg::kEmptyImage, width, height);
        return JPG_ERR_DATA;
    }
    r.frameMarker = marker;
    r.width = uint16_t(width);
    r.height = uint16_t(height);
    r.nf = nf;
    r.hMax = r.vMax = 1;
    for (int i = 0; i < nf; ++i) {
        r.hMax = std::max<int>(r.hMax, r.comp[i].h);
        r.vMax = std::max<int>(r.vMax, r.comp[i].v);
    }
    r.mcusPerRow = (width + 8 * r.hMax - 1) / (8 * r.hMax);
    r.mcuRows = (height + 8 * r.vMax - 1) / (8 * r.vMax);
    for (int i = 0; i < nf; ++i) {
        Component& c = r.comp[i];
        c.blocksPerMcu = uint8_t(c.h * c.v);
        // The component's own size is ceil(X * h / Hmax) (ITU-T T.81 A.1.1),
        // which decides how many blocks its single-component scans hold.
        const int samplesAcross = (width * c.h + r.hMax - 1) / r.hMax;
        const int samplesDown = (height * c.v + r.vMax - 1) / r.vMax;
        c.blockCols = (samplesAcross + 7) / 8;
        c.blockRows = (samplesDown + 7) / 8;
        c.stepH88 = c.h * 256 / r.hMax;
        c.stepV88 = c.v * 256 / r.vMax;
        MapAxis(c.h, r.hMax, r.mapX[i], r.nextX[i], r.betweenX[i]);
        MapAxis(c.v, r.vMax, r.mapY[i], r.nextY[i], r.betweenY[i]);
    }
    const auto is = [&](int i, int h, int v) { return r.comp[i].h == h && r.comp[i].v == v; };
    r.layout422 = nf == 3 && is(0, 2, 1) && is(1, 1, 1) && is(2, 1, 1);
    r.layout420 = nf == 3 && is(0, 2, 2) && is(1, 1, 1) && is(2, 1, 1);

    if (getImage == nullptr) {
        Log(Msg::kNoImageCallback);
        return JPG_ERR_DATA;
    }
    // Two-byte kinds pack pixel pairs: an odd last column is dropped.
    r.outWidth = r.bytesPerPixel == 2 ? width & ~1 : width;
    if (r.outWidth == 0) {
        Log(Msg::kEmptyImage, width, height);
        return JPG_ERR_DATA;
    }
    uint8_t* destination = nullptr;
    uint16_t pitch = 0;
    if (!getImage(&destination, &pitch, r.outWidth, height)) return JPG_ERR_IMAGE_REFUSED;
    if (destination == nullptr || int(pitch) < r.outWidth * r.bytesPerPixel) {
        Log(Msg::kDestination, int(pitch), r.outWidth);
        return JPG_ERR_IMAGE_REFUSED;
    }
    r.pitch = pitch;
    r.lineStep = r.bottomUp ? -ptrdiff_t{pitch} : ptrdiff_t{pitch};
    r.destination = r.bottomUp ? destination + ptrdiff_t(height - 1) * pitch : destination;
    return IsProgressive(r) ? AllocateCoefficients(r) : JPG_SUCCESS;
}

int ParseHuffmanTables(Record& r) {
    Source& s = r.source;
    const int length = ReadWord(s);
    if (length < 2) return JPG_ERR_DATA;
    int remaining = length - 2;
    while (remaining > 0) {
        if (remaining < 17) {
            Log(Msg::kHuffmanTableLength);
            return JPG_ERR_DATA;
        }
        const int classAndId = ReadByte(s);
        uint8_t counts[17] = {};
        int total = 0;
        for (int i = 1; i <= 16; ++i) {
            const int n = ReadByte(s);
            if (n < 0) return JPG_ERR_DATA;
            counts[i] = uint8_t(n);
            total += n;
        }
        if (classAndId < 0 || total > 256) return JPG_ERR_DATA;
        remaining -= 17;
        if (total > remaining) {
            Log(Msg::kHuffmanTableLength);
            return JPG_ERR_DATA;
        }
        uint8_t values[256];
        for (int i = 0; i < total; ++i) {
            const int v = ReadByte(s);
            if (v < 0) return JPG_ERR_DATA;
            values[i] = uint8_t(v);
        }
        remaining -= total;
        const int tableClass = classAndId >> 4, id = classAndId & 15;
        if (tableClass > 1 || id > 3) {
            Log(Msg::kHuffmanTableId, tableClass, id);
            return JPG_ERR_DATA;
        }
        HuffmanTable& current = r.huffman[tableClass][id];
        // A camera sends the same tables with every frame: they stand.
        if (current.defined && current.symbolCount == total && std::memcmp(current.counts, counts, 17) == 0 &&
            std::memcmp(current.values, values, size_t(total)) == 0) {
            continue;
        }
        if (!BuildHuffmanTable(current, counts, values, total, tableClass == 1)) {
            Log(Msg::kHuffmanTableCodes);
            return JPG_ERR_DATA;
        }
    }
    return JPG_SUCCESS;
}

int ParseQuantisationTables(Record& r) {
    Source& s = r.source;
    const int length = ReadWord(s);
    if (length < 2) return JPG_ERR_DATA;
    int remaining = length - 2;
    while (remaining > 0) {
        const int precisionAndId = ReadByte(s);
        if (precisionAndId < 0) return JPG_ERR_DATA;
        const int precision = precisionAndId >> 4, id = precisionAndId & 15;
        // 16-bit entries are read as what they are, so that the segment
        // stays in step and the picture keeps its quantisation.
        if (precision != 0) Log(Msg::kQuantPrecision);
        const int entryBytes = precision == 0 ? 1 : 2;
        remaining -= 1;
        if (precision > 1 || remaining < 64 * entryBytes) {
            Log(Msg::kSegmentLength, 0xDB);
            return JPG_ERR_DATA;
        }
        if (id > 2) {
            Log(Msg::kQuantTableId, id);
            return JPG_ERR_DATA;
        }
        uint16_t q[64];
        for (int k = 0; k < 64; ++k) {
            const int v = entryBytes == 1 ? ReadByte(s) : ReadWord(s);
            if (v < 0) return JPG_ERR_DATA;
            q[k] = uint16_t(v);
        }
        for (int k = 0; k < 64; ++k) {
            r.quantRaw[id][k] = uint8_t(std::min<int>(q[k], 255));
            const int natural = kZigzagToNatural[k];
            r.multipliers[id][natural] = int32_t(q[k]) * kPrescale[natural];
        }
        r.quantDefined[id] = true;
        remaining -= 64 * entryBytes;
    }
    return JPG_SUCCESS;
}

int ParseRestartInterval(Record& r) {
    const int length = ReadWord(r.source);
    const int interval = ReadWord(r.source);
    if (length < 4 || interval < 0) {
        Log(Msg::kSegmentLength, 0xDD);
        return JPG_ERR_DATA;
    }
    r.restartInterval = uint16_t(interval);
    return SkipBytes(r.source, size_t(length - 4)) ? JPG_SUCCESS : JPG_ERR_DATA;
}

bool TableReady(const HuffmanTable* t, int tableClass) {
    if (t->defined) return true;
    const Record& r = g_record;
    Log(Msg::kHuffmanTableMissing, tableClass, int(t - &r.huffman[tableClass][0]));
    return false;
}

// Reads a scan header and decodes the scan.
int ParseScan(Record& r) {
    Source& s = r.source;
    if (r.frameMarker == 0) {
        Log(Msg::kScanBeforeFrame);
        return JPG_ERR_DATA;
    }
    const int length = ReadWord(s), ns = ReadByte(s);
    if (length < 0 || ns < 0) return JPG_ERR_DATA;
    if (ns < 1 || ns > r.nf || length != 6 + 2 * ns) {
        Log(Msg::kScanShape, ns, r.nf);
        return JPG_ERR_DATA;
    }
    for (auto& c : r.comp) c.inScan = false;
    for (int i = 0; i < ns; ++i) {
        const int id = ReadByte(s), tables = ReadByte(s);
        if (id < 0 || tables < 0) return JPG_ERR_DATA;
        Component* c = nullptr;
        for (int j = 0; j < r.nf; ++j) {
            if (r.comp[j].id == id) c = &r.comp[j];
        }
        if (c == nullptr) {
            Log(Msg::kScanComponent, id);
            return JPG_ERR_DATA;
        }
        if (c->inScan) {
            Log(Msg::kDuplicateComponent, id);
            return JPG_ERR_DATA;
        }
        const int td = tables >> 4, ta = tables & 15;
        if (td > 3 || ta > 3) {
            Log(Msg::kHuffmanTableId, td > 3 ? 0 : 1, td > 3 ? td : ta);
            return JPG_ERR_DATA;
        }
        c->dcTable = &r.huffman[0][td];
        c->acTable = &r.huffman[1][ta];
        c->inScan = true;
    }
    const int ss = ReadByte(s), se = ReadByte(s), approximation = ReadByte(s);
    if (ss < 0 || se < 0 || approximation < 0) return JPG_ERR_DATA;
    r.ns = ns;
    r.ss = ss;
    r.se = se;
    r.ah = approximation >> 4;
    r.al = approximation & 15;

    if (!IsProgressive(r)) {
        // One interleaved scan of every component; frames coded as several
        // sequential scans are not decoded.
        if (ns != r.nf) {
            Log(Msg::kScanShape, ns, r.nf);
            return JPG_ERR_UNSUPPORTED;
        }
        for (int i = 0; i < r.nf; ++i) {
            const Component& c = r.comp[i];
            if (!TableReady(c.dcTable, 0) || !TableReady(c.acTable, 1)) return JPG_ERR_DATA;
            if (!r.quantDefined[c.quantId]) {
                Log(Msg::kQuantTableMissing, int(c.quantId));
                return JPG_ERR_DATA;
            }
        }
        ++r.scansDone;
        return DecodeSequentialScan();
    }

    if (ss == 0 && se != 0) {
        Log(Msg::kScanParameters, ss, se, r.ah, r.al);
        return JPG_ERR_UNSUPPORTED;
    }
    if (se > 63 || ss > se || r.ah > 13 || r.al > 13 || (ss > 0 && ns != 1)) {
        Log(Msg::kScanParameters, ss, se, r.ah, r.al);
        return JPG_ERR_DATA;
    }
    for (int i = 0; i < r.nf; ++i) {
        const Component& c = r.comp[i];
        if (!c.inScan) continue;
        if (ss == 0 && r.ah == 0 && !TableReady(c.dcTable, 0)) return JPG_ERR_DATA;
        if (ss > 0 && !TableReady(c.acTable, 1)) return JPG_ERR_DATA;
    }
    ++r.scansDone;
    return DecodeProgressiveScan();
}

bool SkipSegment(Record& r, int marker, int& result) {
    const int length = ReadWord(r.source);
    if (length < 0) return false;
    if (length < 2) {
        Log(Msg::kSegmentLength, marker);
        result = JPG_ERR_DATA;
        return false;
    }
    return SkipBytes(r.source, size_t(length - 2));
}

// The frame ended without its EOI: a progressive frame shows what its scans
// delivered, but the frame still counts as failed.
int EndedEarly(Record& r) {
    if (IsProgressive(r) && r.scansDone > 0) {
        Log(Msg::kTruncatedFrame);
        OutputProgressiveFrame();
        return JPG_ERR_DATA;
    }
    Log(Msg::kNoScans);
    return JPG_ERR_DATA;
}

}  // namespace

int DecodeFrame(JPG_GET_IMAGE getImage) {
    Record& r = g_record;
    r.frameMarker = 0;
    r.restartInterval = 0;
    r.scansDone = 0;
    r.endOfImage = false;
    r.destination = nullptr;
    r.pitch = 0;
    for (auto& c : r.comp) c.coefficients = nullptr;
    ResetBits(r.bits);
    Source& s = r.source;

    // SOI: with chunked input up to 100 stray bytes may precede it. The
    // final-chunk flag is tested before each attempt, so a frame handed over
    // as one final chunk gets one attempt and is parsed on from there.
    for (int failed = 0; !s.finalDelivered;) {
        const int b = ReadByte(s);
        if (b < 0) break;
        if (b == 0xFF) {
            const int m = ReadByte(s);
            if (m == 0xD8) break;
            if (m == 0xFF) UnreadByte(s, m);  // fill byte: the next 0xFF may start SOI
        }
        if (++failed > kMaxSoiAttempts) return JPG_ERR_DATA;
    }
    if (PeekByte(s) < 0) {
        Log(Msg::kNoImage);
        return JPG_ERR_DATA;
    }

    for (int markers = 0; markers < kMaxMarkers;) {
        int b = ReadByte(s);
        for (int skipped = 0; b != 0xFF; b = ReadByte(s)) {
            if (b < 0) return EndedEarly(r);
            if (++skipped > kMaxSkippedBytes) {
                Log(Msg::kExpectingFF, b);
                return JPG_ERR_DATA;
            }
        }
        int code = ReadByte(s);
        while (code == 0xFF) code = ReadByte(s);  // fill bytes before a marker
        if (code < 0) return EndedEarly(r);
        int result = JPG_SUCCESS;
        if (code >= 0xE0 && code <= 0xEF) {  // APPn: not counted
            if (!SkipSegment(r, code, result)) return result != JPG_SUCCESS ? result : EndedEarly(r);
            continue;
        }
        ++markers;
        switch (code) {
        case 0xC0:
        case 0xC1:
        case 0xC2:
            result = ParseFrameHeader(r, code, getImage);
            break;
        case 0xC3:
        case 0xC5:
        case 0xC6:
        case 0xC7:
        case 0xC9:
        case 0xCA:
        case 0xCB:
        case 0xCD:
        case 0xCE:
        case 0xCF:
            Log(Msg::kUnsupportedFrame, code);
            return JPG_ERR_UNSUPPORTED;
        case 0xC4:
            result = ParseHuffmanTables(r);
            break;
        case 0xDB:
            result = ParseQuantisationTables(r);
            break;
        case 0xDD:
            result = ParseRestartInterval(r);
            break;
        case 0xDA:
            result = ParseScan(r);
            if (result != JPG_SUCCESS || !IsProgressive(r)) return result;
            if (r.endOfImage) return OutputProgressiveFrame();
            break;
        case 0xD9:
            Log(Msg::kEndOfImage);
            if (r.frameMarker == 0 || r.scansDone == 0) {
                Log(Msg::kNoScans);
                return JPG_ERR_DATA;
            }
            return IsProgressive(r) ? OutputProgressiveFrame() : JPG_SUCCESS;
        case 0xD8:
            break;  // SOI again: a frame handed over with stray bytes in front
        case 0x01:
        case 0xD0:
        case 0xD1:
        case 0xD2:
        case 0xD3:
        case 0xD4:
        case 0xD5:
        case 0xD6:
        case 0xD7:
            Log(Msg::kUnknownToken, code);  // markers without a length (ITU-T T.81 Table B.1)
            break;
        default:  // COM and anything unknown: a segment with a length word
            if (code != 0xFE) Log(Msg::kUnknownToken, code);
            if (!SkipSegment(r, code, result)) return result != JPG_SUCCESS ? result : EndedEarly(r);
            break;
        }
        if (result != JPG_SUCCESS) return result;
    }
    return EndedEarly(r);
}

}  // namespace qk::jpeg

using qk::jpeg::g_record;

int jpgInit(int version, JPG_PROGRESS progress) {
    if (version != JPG_VERSION) {
        qk::jpeg::Log(qk::jpeg::Msg::kVersion, JPG_VERSION, version);
        return JPG_ERR_VERSION;
    }
    g_record.kind = JPG_KIND_RGB24;
    g_record.writers = &qk::jpeg::ChosenWriters(JPG_KIND_RGB24);
    g_record.bytesPerPixel = g_record.writers->bytesPerPixel;
    g_record.fastPath = true;
    g_record.smoothChroma = false;
    g_record.bottomUp = false;
    g_record.progress = progress;
    return JPG_SUCCESS;
}

int jpgSetOption(uint16_t option, int value) {
    if (option > JPG_OPT_SMOOTH_CHROMA) return JPG_ERR_OPTION;
    switch (option) {
    case JPG_OPT_OUTPUT_KIND:
        if (value >= JPG_KIND_RGB24 && value <= JPG_KIND_YUY2) {
            g_record.kind = value;
            g_record.writers = &qk::jpeg::ChosenWriters(value);
            g_record.bytesPerPixel = g_record.writers->bytesPerPixel;
        }
        break;
    case JPG_OPT_FAST_PATH:
        g_record.fastPath = value != 0;
        break;
    case JPG_OPT_SCALE_ENABLE:
        g_record.scaleEnable = value;
        break;
    case JPG_OPT_SCALE_EXACT:
        g_record.scaleExact = value;
        break;
    case JPG_OPT_SMOOTH_CHROMA:
        g_record.smoothChroma = value != 0;
        break;
    default:  // 0 and the MCU position index: no effect
        break;
    }
    return JPG_SUCCESS;
}

int jpgDecode(JPG_GET_IMAGE gpucGetImage, JPG_GET_DATA gpucGetData) {
    if (g_record.writers == nullptr) {  // before any jpgInit: kind 0 as at load
        g_record.writers = &qk::jpeg::ChosenWriters(g_record.kind);
        g_record.bytesPerPixel = g_record.writers->bytesPerPixel;
    }
    qk::jpeg::StartSource(g_record.source, gpucGetData);
    const int result = qk::jpeg::DecodeFrame(gpucGetImage);
    qk::jpeg::ReleaseCoefficients(g_record);
    return result;
}

void jpgSetLogSink(JPG_LOG_SINK sink) { g_record.sink = sink; }

void jpgSetBottomUp(int bottomUp) { g_record.bottomUp = bottomUp != 0; }

void jpgSetMemoryHooks(JPG_ALLOCATE allocate, JPG_RELEASE release) {
    g_record.allocate = allocate;
    g_record.release = release;
}
