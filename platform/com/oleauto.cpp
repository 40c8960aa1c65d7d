// BSTR and VARIANT: a BSTR is counted text with its byte length in the four
// bytes before the characters and a terminating zero after them; the pointer
// handed out points at the characters.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "objbase.h"

namespace {

constexpr size_t kPrefix = sizeof(uint32_t);

uint32_t* Header(BSTR text) { return reinterpret_cast<uint32_t*>(reinterpret_cast<uint8_t*>(text) - kPrefix); }

}  // namespace

BSTR SysAllocStringLen(const OLECHAR* strIn, UINT ui) {
    // The byte length must fit the 32-bit prefix.
    if (ui > (UINT32_MAX - kPrefix - 2) / 2) return nullptr;
    size_t bytes = size_t{ui} * 2;
    auto* block = static_cast<uint8_t*>(std::malloc(kPrefix + bytes + 2));
    if (block == nullptr) return nullptr;
    uint32_t length = static_cast<uint32_t>(bytes);
    std::memcpy(block, &length, kPrefix);
    auto* text = reinterpret_cast<OLECHAR*>(block + kPrefix);
    if (strIn != nullptr) {
        std::memcpy(text, strIn, bytes);
    } else {
        std::memset(text, 0, bytes);
    }
    text[ui] = 0;
    return text;
}

BSTR SysAllocString(const OLECHAR* psz) {
    if (psz == nullptr) return nullptr;
    UINT n = 0;
    while (psz[n] != 0) ++n;
    return SysAllocStringLen(psz, n);
}

void SysFreeString(BSTR bstrString) {
    if (bstrString != nullptr) std::free(Header(bstrString));
}

UINT SysStringByteLen(BSTR bstr) {
    if (bstr == nullptr) return 0;
    uint32_t length;
    std::memcpy(&length, Header(bstr), kPrefix);
    return length;
}

UINT SysStringLen(BSTR pbstr) { return SysStringByteLen(pbstr) / 2; }

void VariantInit(VARIANT* pvarg) {
    if (pvarg == nullptr) return;
    std::memset(pvarg, 0, sizeof *pvarg);
    pvarg->vt = VT_EMPTY;
}

HRESULT VariantClear(VARIANT* pvarg) {
    if (pvarg == nullptr) return E_INVALIDARG;
    switch (pvarg->vt) {
        case VT_BSTR:
            SysFreeString(pvarg->bstrVal);
            break;
        case VT_UNKNOWN:
            if (pvarg->punkVal) pvarg->punkVal->Release();
            break;
        default:
            if (pvarg->vt & VT_ARRAY) return DISP_E_TYPEMISMATCH;  // no safe arrays are made here
            break;
    }
    VariantInit(pvarg);
    return S_OK;
}

HRESULT VariantCopy(VARIANT* pvargDest, const VARIANT* pvargSrc) {
    if (pvargDest == nullptr || pvargSrc == nullptr) return E_INVALIDARG;
    if (pvargDest == pvargSrc) return S_OK;
    HRESULT hr = VariantClear(pvargDest);
    if (FAILED(hr)) return hr;
    *pvargDest = *pvargSrc;
    if (pvargSrc->vt == VT_BSTR && pvargSrc->bstrVal != nullptr) {
        pvargDest->bstrVal = SysAllocStringLen(pvargSrc->bstrVal, SysStringLen(pvargSrc->bstrVal));
        if (pvargDest->bstrVal == nullptr) {
            VariantInit(pvargDest);
            return E_OUTOFMEMORY;
        }
    } else if (pvargSrc->vt == VT_UNKNOWN && pvargSrc->punkVal != nullptr) {
        pvargSrc->punkVal->AddRef();
    }
    return S_OK;
}
