// GUIDs as registry text: "{6DB09BC4-9E27-4AC1-B2A9-07442E08A16C}", upper
// case when written, either case when read.
#include <cstring>

#include "objbase.h"

namespace {

constexpr char16_t kHex[] = u"0123456789ABCDEF";

void PutHex(OLECHAR*& out, uint64_t value, int digits) {
    for (int i = digits - 1; i >= 0; --i) *out++ = kHex[(value >> (i * 4)) & 0xF];
}

int HexValue(OLECHAR c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}

bool ReadHex(const OLECHAR*& in, int digits, uint64_t* value) {
    *value = 0;
    for (int i = 0; i < digits; ++i) {
        int v = HexValue(*in);
        if (v < 0) return false;
        *value = (*value << 4) | static_cast<uint64_t>(v);
        ++in;
    }
    return true;
}

bool Expect(const OLECHAR*& in, OLECHAR c) {
    if (*in != c) return false;
    ++in;
    return true;
}

bool ParseGuid(LPCOLESTR text, GUID* guid) {
    if (text == nullptr) return false;
    const OLECHAR* in = text;
    uint64_t v;
    if (!Expect(in, u'{') || !ReadHex(in, 8, &v)) return false;
    guid->Data1 = static_cast<uint32_t>(v);
    if (!Expect(in, u'-') || !ReadHex(in, 4, &v)) return false;
    guid->Data2 = static_cast<uint16_t>(v);
    if (!Expect(in, u'-') || !ReadHex(in, 4, &v)) return false;
    guid->Data3 = static_cast<uint16_t>(v);
    if (!Expect(in, u'-')) return false;
    for (int i = 0; i < 8; ++i) {
        if (i == 2 && !Expect(in, u'-')) return false;
        if (!ReadHex(in, 2, &v)) return false;
        guid->Data4[i] = static_cast<uint8_t>(v);
    }
    return Expect(in, u'}') && *in == 0;
}

}  // namespace

int StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax) {
    if (lpsz == nullptr || cchMax < 39) return 0;
    OLECHAR* out = lpsz;
    *out++ = u'{';
    PutHex(out, rguid.Data1, 8);
    *out++ = u'-';
    PutHex(out, rguid.Data2, 4);
    *out++ = u'-';
    PutHex(out, rguid.Data3, 4);
    *out++ = u'-';
    for (int i = 0; i < 8; ++i) {
        if (i == 2) *out++ = u'-';
        PutHex(out, rguid.Data4[i], 2);
    }
    *out++ = u'}';
    *out = 0;
    return 39;
}

HRESULT StringFromCLSID(REFCLSID rclsid, LPOLESTR* lplpsz) {
    if (lplpsz == nullptr) return E_INVALIDARG;
    *lplpsz = static_cast<LPOLESTR>(CoTaskMemAlloc(39 * sizeof(OLECHAR)));
    if (*lplpsz == nullptr) return E_OUTOFMEMORY;
    StringFromGUID2(rclsid, *lplpsz, 39);
    return S_OK;
}

HRESULT CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid) {
    if (pclsid == nullptr) return E_INVALIDARG;
    if (!ParseGuid(lpsz, pclsid)) {
        std::memset(pclsid, 0, sizeof *pclsid);
        return CO_E_CLASSSTRING;
    }
    return S_OK;
}

HRESULT IIDFromString(LPCOLESTR lpsz, LPIID lpiid) {
    if (lpiid == nullptr) return E_INVALIDARG;
    return ParseGuid(lpsz, lpiid) ? S_OK : E_INVALIDARG;
}
