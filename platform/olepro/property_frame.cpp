// The property frame: a modal dialog with a tab for each page, the pages
// drawn by themselves into the frame, and OK, Cancel and Apply. Every page is
// created, given its site and the objects before the frame shows, and
// released on every path; a page that cannot take the objects keeps the
// frame from opening.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "commctrl.h"
#include "olectl.h"
#include "platform/olepro/olepro.h"
#include "platform/olepro/olepro_internal.h"
#include "windows.h"

namespace qk::olepro {

std::vector<WORD> BlankDialogTemplate(DWORD style, std::u16string_view caption) {
    std::vector<WORD> words(sizeof(DLGTEMPLATE) / sizeof(WORD), 0);
    auto* header = reinterpret_cast<DLGTEMPLATE*>(words.data());
    header->style = style | DS_SETFONT;
    words.push_back(0);  // no menu
    words.push_back(0);  // the dialog class
    for (char16_t c : caption) words.push_back(c);
    words.push_back(0);
    words.push_back(8);  // point size
    for (char16_t c : std::u16string_view(u"MS Shell Dlg")) words.push_back(c);
    words.push_back(0);
    return words;
}

LPOLESTR TaskString(std::u16string_view text) {
    auto* out = static_cast<LPOLESTR>(CoTaskMemAlloc((text.size() + 1) * sizeof(OLECHAR)));
    if (out == nullptr) return nullptr;
    std::memcpy(out, text.data(), text.size() * sizeof(OLECHAR));
    out[text.size()] = 0;
    return out;
}

namespace {

constexpr int kMargin = 7;
constexpr int kTabHeader = 24;
constexpr int kButtonWidth = 75;
constexpr int kButtonHeight = 23;
constexpr int kButtonGap = 6;

struct Frame;

// One site a page: the page's changes are its own.
class Site final : public IPropertyPageSite {
public:
    Site(Frame* frame, size_t index) : frame_(frame), index_(index) {}
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (riid != IID_IUnknown && riid != IID_IPropertyPageSite) return E_NOINTERFACE;
        *ppv = static_cast<IPropertyPageSite*>(this);
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return ++references_; }
    ULONG Release() override {
        const ULONG left = --references_;
        if (left == 0) delete this;
        return left;
    }
    HRESULT OnStatusChange(DWORD flags) override;
    HRESULT GetLocaleID(LCID* locale) override {
        if (locale == nullptr) return E_POINTER;
        *locale = 0x0409;
        return S_OK;
    }
    HRESULT GetPageContainer(IUnknown** container) override {
        if (container) *container = nullptr;
        return E_NOTIMPL;
    }
    HRESULT TranslateAccelerator(MSG*) override { return S_FALSE; }
    void Detach() { frame_ = nullptr; }

private:
    Frame* frame_;
    size_t index_;
    std::atomic<ULONG> references_{1};
};

struct Page {
    IPropertyPage* page = nullptr;
    Site* site = nullptr;
    std::u16string title;
    SIZE size{};
    bool activated = false;
    bool dirty = false;
};

struct Frame {
    std::u16string caption;
    POINT at{};
    std::vector<Page> pages;
    size_t active = 0;
    HWND window = nullptr;
    HWND tab = nullptr;
    HWND apply = nullptr;
    RECT pageRect{};
};

HRESULT Site::OnStatusChange(DWORD flags) {
    if (frame_ == nullptr) return E_UNEXPECTED;
    if (flags & PROPPAGESTATUS_DIRTY) {
        frame_->pages[index_].dirty = true;
        if (frame_->apply) EnableWindow(frame_->apply, TRUE);
    }
    return S_OK;
}

void ShowPage(Frame& f, size_t index) {
    if (index >= f.pages.size()) return;
    if (f.active < f.pages.size() && f.pages[f.active].activated) f.pages[f.active].page->Show(SW_HIDE);
    f.active = index;
    Page& p = f.pages[index];
    if (!p.activated) {
        p.activated = SUCCEEDED(p.page->Activate(f.window, &f.pageRect, TRUE));
        if (!p.activated) return;
        // The page lies on the tab control: the tab goes beneath every page.
        SetWindowPos(f.tab, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    }
    p.page->Show(SW_SHOWNORMAL);
}

// Applies every page with changes; false when one refused, whose changes
// then stay pending.
bool ApplyAll(Frame& f) {
    bool all = true;
    for (Page& p : f.pages) {
        if (!p.dirty) continue;
        if (SUCCEEDED(p.page->Apply())) {
            p.dirty = false;
        } else {
            all = false;
        }
    }
    EnableWindow(f.apply, !all);
    return all;
}

HWND Button(HWND parent, const char16_t* text, int id, int x, int y, DWORD style) {
    return CreateWindowExW(0, u"BUTTON", text, WS_CHILD | WS_VISIBLE | WS_TABSTOP | style, x, y, kButtonWidth, kButtonHeight, parent,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), nullptr, nullptr);
}

void Layout(Frame& f) {
    LONG pageWidth = 200, pageHeight = 100;
    for (const Page& p : f.pages) {
        pageWidth = std::max(pageWidth, p.size.cx);
        pageHeight = std::max(pageHeight, p.size.cy);
    }
    const int tabWidth = pageWidth + 8, tabHeight = pageHeight + kTabHeader + 4;
    const int clientWidth = tabWidth + 2 * kMargin;
    const int clientHeight = tabHeight + 3 * kMargin + kButtonHeight;
    RECT outer{0, 0, clientWidth, clientHeight};
    AdjustWindowRectEx(&outer, static_cast<DWORD>(GetWindowLongPtrW(f.window, GWL_STYLE)), FALSE,
                       static_cast<DWORD>(GetWindowLongPtrW(f.window, GWL_EXSTYLE)));
    SetWindowPos(f.window, nullptr, f.at.x, f.at.y, outer.right - outer.left, outer.bottom - outer.top, SWP_NOZORDER);

    f.tab = CreateWindowExW(0, WC_TABCONTROLW, u"", WS_CHILD | WS_VISIBLE | WS_TABSTOP, kMargin, kMargin, tabWidth, tabHeight, f.window,
                            reinterpret_cast<HMENU>(static_cast<INT_PTR>(kFrameTab)), nullptr, nullptr);
    for (size_t i = 0; i < f.pages.size(); ++i) {
        TCITEMW item{};
        item.mask = TCIF_TEXT;
        item.pszText = f.pages[i].title.data();
        SendMessageW(f.tab, TCM_INSERTITEMW, i, reinterpret_cast<LPARAM>(&item));
    }
    f.pageRect = {kMargin + 4, kMargin + kTabHeader, kMargin + 4 + pageWidth, kMargin + kTabHeader + pageHeight};
    const int y = clientHeight - kMargin - kButtonHeight;
    int x = clientWidth - kMargin - 3 * kButtonWidth - 2 * kButtonGap;
    Button(f.window, u"OK", IDOK, x, y, BS_DEFPUSHBUTTON);
    x += kButtonWidth + kButtonGap;
    Button(f.window, u"Cancel", IDCANCEL, x, y, BS_PUSHBUTTON);
    x += kButtonWidth + kButtonGap;
    f.apply = Button(f.window, u"&Apply", kApplyButton, x, y, BS_PUSHBUTTON);
    EnableWindow(f.apply, FALSE);
}

INT_PTR CALLBACK FrameProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* f = reinterpret_cast<Frame*>(GetWindowLongPtrW(window, DWLP_USER));
    switch (message) {
        case WM_INITDIALOG:
            f = reinterpret_cast<Frame*>(lParam);
            SetWindowLongPtrW(window, DWLP_USER, lParam);
            f->window = window;
            SetWindowTextW(window, (f->caption + u" Properties").c_str());
            Layout(*f);
            ShowPage(*f, 0);
            return TRUE;
        case WM_NOTIFY: {
            const auto* header = reinterpret_cast<const NMHDR*>(lParam);
            if (f && header && header->hwndFrom == f->tab && header->code == TCN_SELCHANGE) {
                ShowPage(*f, static_cast<size_t>(SendMessageW(f->tab, TCM_GETCURSEL, 0, 0)));
            }
            return TRUE;
        }
        case WM_COMMAND:
            if (f == nullptr) return FALSE;
            switch (LOWORD(wParam)) {
                case IDOK:
                    if (ApplyAll(*f)) EndDialog(window, IDOK);
                    return TRUE;
                case IDCANCEL: EndDialog(window, IDCANCEL); return TRUE;
                case kApplyButton: ApplyAll(*f); return TRUE;
            }
            return FALSE;
        default: return FALSE;
    }
}

void ReleasePages(Frame& f) {
    for (Page& p : f.pages) {
        if (p.activated) p.page->Deactivate();
        p.page->SetObjects(0, nullptr);
        p.page->SetPageSite(nullptr);
        p.page->Release();
        p.site->Detach();
        p.site->Release();
    }
    f.pages.clear();
}

}  // namespace

}  // namespace qk::olepro

HRESULT OleCreatePropertyFrame(HWND owner, UINT x, UINT y, LPCOLESTR caption, ULONG objectCount, IUnknown** objects, ULONG pageCount,
                               LPCLSID pageClasses, LCID, DWORD, LPVOID) {
    using namespace qk::olepro;
    if (objectCount == 0 || objects == nullptr || pageCount == 0 || pageClasses == nullptr) return E_INVALIDARG;
    Frame f;
    f.caption = caption ? caption : u"";
    // The position is in the owner's client coordinates.
    f.at = {static_cast<LONG>(x), static_cast<LONG>(y)};
    if (owner) ClientToScreen(owner, &f.at);
    HRESULT hr = S_OK;
    for (ULONG i = 0; i < pageCount && SUCCEEDED(hr); ++i) {
        Page p;
        hr = CoCreateInstance(pageClasses[i], nullptr, CLSCTX_INPROC_SERVER, IID_IPropertyPage, reinterpret_cast<void**>(&p.page));
        if (FAILED(hr)) break;
        p.site = new Site(&f, f.pages.size());
        f.pages.push_back(p);
        Page& added = f.pages.back();
        hr = added.page->SetPageSite(added.site);
        if (SUCCEEDED(hr)) hr = added.page->SetObjects(objectCount, objects);
        PROPPAGEINFO info{};
        info.cb = sizeof info;
        if (SUCCEEDED(hr)) hr = added.page->GetPageInfo(&info);
        if (SUCCEEDED(hr)) {
            added.title = info.pszTitle ? info.pszTitle : u"";
            added.size = info.size;
        }
        CoTaskMemFree(info.pszTitle);
        CoTaskMemFree(info.pszDocString);
        CoTaskMemFree(info.pszHelpFile);
    }
    if (SUCCEEDED(hr)) {
        const auto dialog = BlankDialogTemplate(WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME, u"");
        if (DialogBoxIndirectParamW(nullptr, reinterpret_cast<LPCDLGTEMPLATEW>(dialog.data()), owner, FrameProc,
                                    reinterpret_cast<LPARAM>(&f)) == -1) {
            hr = E_OUTOFMEMORY;
        }
    }
    ReleasePages(f);
    return hr;
}
