// The dialogs' property frames: what an object names, shown by the
// platform's frame.
#include "vfw/property_frame.h"

#include "olectl.h"

namespace k0340vfw {
namespace {

// The pages `object` names; empty when it names none.
CAUUID PagesOf(IUnknown* object) {
    CAUUID pages{};
    ISpecifyPropertyPages* specify = nullptr;
    if (object == nullptr ||
        FAILED(object->QueryInterface(IID_ISpecifyPropertyPages, reinterpret_cast<void**>(&specify)))) {
        return pages;
    }
    if (FAILED(specify->GetPages(&pages))) {
        CoTaskMemFree(pages.pElems);
        pages = CAUUID{};
    }
    specify->Release();
    return pages;
}

}  // namespace

bool HasPropertyPages(IUnknown* object) {
    CAUUID pages = PagesOf(object);
    CoTaskMemFree(pages.pElems);
    return pages.cElems != 0;
}

HRESULT ShowPropertyPages(IUnknown* object, const char16_t* caption, HWND parent) {
    CAUUID pages = PagesOf(object);
    if (pages.cElems == 0) {
        CoTaskMemFree(pages.pElems);
        return S_FALSE;
    }
    HRESULT hr = OleCreatePropertyFrame(parent, 30, 30, caption, 1, &object, pages.cElems, pages.pElems, 0, 0, nullptr);
    CoTaskMemFree(pages.pElems);
    return hr;
}

}  // namespace k0340vfw
