// The kernel-streaming proxy's property pages. The VideoProcAmp and
// CameraControl pages show a row for each property the object offers (a
// slider on the property's step grid, its value, an automatic box where the
// property has one) and write only the rows changed since the last Apply;
// the format page offers the pin's formats, sizes and frame rates from its
// capabilities and sets the chosen one. Nothing is written before Apply.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "commctrl.h"
#include "olectl.h"
#include "platform/com/class_factory.h"
#include "platform/com/com_runtime.h"
#include "platform/olepro/olepro.h"
#include "platform/olepro/olepro_internal.h"
#include "strmif.h"
#include "windows.h"

namespace qk::olepro {
namespace {

qk::com::ObjectCount& Live() {
    static qk::com::ObjectCount count;
    return count;
}

std::u16string Widen(const char* s) { return std::u16string(s, s + std::char_traits<char>::length(s)); }

// What the pages have in common: the site, the window made on Activate,
// the dirty state the frame is told of.
class PageBase : public IPropertyPage {
public:
    PageBase(const char16_t* title, SIZE size) : title_(title), size_(size) { Live().Add(); }
    virtual ~PageBase() {
        if (site_) site_->Release();
        Live().Remove();
    }

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (riid != IID_IUnknown && riid != IID_IPropertyPage) return E_NOINTERFACE;
        *ppv = static_cast<IPropertyPage*>(this);
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return ++references_; }
    ULONG Release() override {
        const ULONG left = --references_;
        if (left == 0) delete this;
        return left;
    }

    HRESULT SetPageSite(IPropertyPageSite* site) override {
        if (site) site->AddRef();
        if (site_) site_->Release();
        site_ = site;
        return S_OK;
    }
    HRESULT SetObjects(ULONG count, IUnknown** objects) override {
        Disconnect();
        if (count == 0) return S_OK;
        if (objects == nullptr || objects[0] == nullptr) return E_POINTER;
        return Connect(objects[0]);
    }
    HRESULT GetPageInfo(PROPPAGEINFO* info) override {
        if (info == nullptr) return E_POINTER;
        info->cb = sizeof *info;
        info->pszTitle = TaskString(title_);
        info->size = PageSize();
        info->pszDocString = info->pszHelpFile = nullptr;
        info->dwHelpContext = 0;
        return info->pszTitle ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT Activate(HWND parent, LPCRECT rect, BOOL) override {
        if (rect == nullptr) return E_POINTER;
        if (window_) return E_UNEXPECTED;
        const auto dialog = BlankDialogTemplate(WS_CHILD | DS_CONTROL, u"");
        window_ = CreateDialogIndirectParamW(nullptr, reinterpret_cast<LPCDLGTEMPLATEW>(dialog.data()), parent, PageProc,
                                             reinterpret_cast<LPARAM>(this));
        if (window_ == nullptr) return E_OUTOFMEMORY;
        MoveWindow(window_, rect->left, rect->top, rect->right - rect->left, rect->bottom - rect->top, TRUE);
        Build();
        return S_OK;
    }
    HRESULT Deactivate() override {
        if (window_) DestroyWindow(window_);
        window_ = nullptr;
        return S_OK;
    }
    HRESULT Show(UINT show) override {
        if (window_ == nullptr) return E_UNEXPECTED;
        ShowWindow(window_, static_cast<int>(show));
        return S_OK;
    }
    HRESULT Move(LPCRECT rect) override {
        if (window_ == nullptr || rect == nullptr) return E_UNEXPECTED;
        MoveWindow(window_, rect->left, rect->top, rect->right - rect->left, rect->bottom - rect->top, TRUE);
        return S_OK;
    }
    HRESULT IsPageDirty() override { return dirty_ ? S_OK : S_FALSE; }
    HRESULT Apply() override {
        if (!dirty_) return S_OK;
        const HRESULT hr = Write();
        if (SUCCEEDED(hr)) dirty_ = false;
        return hr;
    }
    HRESULT Help(LPCOLESTR) override { return E_NOTIMPL; }
    HRESULT TranslateAccelerator(MSG*) override { return S_FALSE; }

protected:
    // Asked after the objects are set, so a page can fit what they offer.
    virtual SIZE PageSize() const { return size_; }
    virtual HRESULT Connect(IUnknown* object) = 0;
    virtual void Disconnect() = 0;
    virtual void Build() = 0;                          // the controls, filled from the object
    virtual void Command(int id, int code, HWND) = 0;  // WM_COMMAND
    virtual void Scroll(HWND) {}                       // WM_HSCROLL from a slider
    virtual HRESULT Write() = 0;

    void Changed() {
        dirty_ = true;
        if (site_) site_->OnStatusChange(PROPPAGESTATUS_DIRTY);
    }
    HWND Control(const char16_t* cls, const char16_t* text, DWORD style, int x, int y, int w, int h, int id) {
        return CreateWindowExW(0, cls, text, WS_CHILD | WS_VISIBLE | style, x, y, w, h, window_,
                               reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), nullptr, nullptr);
    }
    HWND window_ = nullptr;

private:
    static INT_PTR CALLBACK PageProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        auto* page = reinterpret_cast<PageBase*>(GetWindowLongPtrW(window, DWLP_USER));
        switch (message) {
            case WM_INITDIALOG: SetWindowLongPtrW(window, DWLP_USER, lParam); return TRUE;
            case WM_COMMAND:
                if (page && page->window_) page->Command(LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HWND>(lParam));
                return TRUE;
            case WM_HSCROLL:
                if (page && page->window_) page->Scroll(reinterpret_cast<HWND>(lParam));
                return TRUE;
            default: return FALSE;
        }
    }

    std::u16string title_;
    SIZE size_;
    IPropertyPageSite* site_ = nullptr;
    bool dirty_ = false;
    std::atomic<ULONG> references_{1};
};

// ---- VideoProcAmp and CameraControl -------------------------------------------------------------

constexpr int kRowHeight = 30;
constexpr int kRowTop = 10;

const char16_t* const kProcAmpNames[] = {u"Brightness", u"Contrast",  u"Hue",         u"Saturation", u"Sharpness",
                                         u"Gamma",      u"ColorEnable", u"White Balance", u"BacklightComp", u"Gain"};
const char16_t* const kCameraNames[] = {u"Pan", u"Tilt", u"Roll", u"Zoom", u"Exposure", u"Iris", u"Focus"};

struct Row {
    LONG property = 0;
    LONG min = 0, max = 0, step = 1, defaultValue = 0, caps = 0;
    LONG value = 0, flags = 0;           // as shown
    LONG written = 0, writtenFlags = 0;  // as the object has it
    bool autoCapable() const { return (caps & 1) != 0; }
};

template <class Interface>
class ControlPage final : public PageBase {
public:
    ControlPage(const char16_t* title, REFIID iid, const char16_t* const* names, LONG count)
        : PageBase(title, SIZE{440, 0}), iid_(iid), names_(names), count_(count) {}
    ~ControlPage() override { Disconnect(); }

private:
    int Rows() const { return std::max<int>(1, static_cast<int>(rows_.size())); }
    SIZE PageSize() const override { return SIZE{440, kRowTop + Rows() * kRowHeight + 44}; }

    HRESULT Connect(IUnknown* object) override {
        HRESULT hr = object->QueryInterface(iid_, reinterpret_cast<void**>(&object_));
        if (FAILED(hr)) return hr;
        rows_.clear();
        for (LONG p = 0; p < count_; ++p) {
            Row r;
            r.property = p;
            if (FAILED(object_->GetRange(p, &r.min, &r.max, &r.step, &r.defaultValue, &r.caps)) || r.max < r.min) continue;
            if (r.step <= 0) r.step = 1;
            if (FAILED(object_->Get(p, &r.value, &r.flags))) {
                r.value = r.defaultValue;
                r.flags = 2;
            }
            r.written = r.value;
            r.writtenFlags = r.flags;
            rows_.push_back(r);
        }
        return S_OK;
    }
    void Disconnect() override {
        if (object_) object_->Release();
        object_ = nullptr;
        rows_.clear();
    }

    void Build() override {
        if (rows_.empty()) {
            Control(u"STATIC", u"The device offers none of these settings.", 0, 10, kRowTop, 400, 20, -1);
            return;
        }
        for (size_t i = 0; i < rows_.size(); ++i) {
            const Row& r = rows_[i];
            const int y = kRowTop + static_cast<int>(i) * kRowHeight, id = kSliderBase + 4 * static_cast<int>(i);
            Control(u"STATIC", names_[r.property], 0, 10, y + 4, 100, 18, id + 3);
            HWND slider = Control(TRACKBAR_CLASSW, u"", WS_TABSTOP | TBS_HORZ | TBS_NOTICKS, 112, y, 200, 24, id);
            SendMessageW(slider, TBM_SETRANGEMIN, FALSE, r.min);
            SendMessageW(slider, TBM_SETRANGEMAX, FALSE, r.max);
            SendMessageW(slider, TBM_SETLINESIZE, 0, r.step);
            SendMessageW(slider, TBM_SETPAGESIZE, 0, std::max<LONG>(r.step, (r.max - r.min) / 10));
            Control(u"STATIC", u"", SS_RIGHT, 318, y + 4, 48, 18, id + 1);
            if (r.autoCapable()) Control(u"BUTTON", u"Auto", WS_TABSTOP | BS_AUTOCHECKBOX, 376, y + 2, 56, 20, id + 2);
            Show(i);
        }
        Control(u"BUTTON", u"&Default", WS_TABSTOP | BS_PUSHBUTTON, 10, kRowTop + Rows() * kRowHeight + 8, 75, 23, kDefaultButton);
    }

    // The row's controls as the row says.
    void Show(size_t i) {
        const Row& r = rows_[i];
        const int id = kSliderBase + 4 * static_cast<int>(i);
        HWND slider = GetDlgItem(window_, id);
        SendMessageW(slider, TBM_SETPOS, TRUE, r.value);
        const bool automatic = r.autoCapable() && (r.flags & 1);
        EnableWindow(slider, !automatic);
        char16_t text[16];
        const std::string digits = std::to_string(r.value);
        std::copy(digits.begin(), digits.end(), text);
        text[digits.size()] = 0;
        SetDlgItemTextW(window_, id + 1, text);
        if (r.autoCapable()) CheckDlgButton(window_, id + 2, automatic ? BST_CHECKED : BST_UNCHECKED);
    }

    void Scroll(HWND slider) override {
        const int id = GetDlgCtrlID(slider);
        const size_t i = static_cast<size_t>((id - kSliderBase) / 4);
        if (id < kSliderBase || (id - kSliderBase) % 4 != 0 || i >= rows_.size()) return;
        Row& r = rows_[i];
        const LONG position = static_cast<LONG>(SendMessageW(slider, TBM_GETPOS, 0, 0));
        // Onto the step grid, the way the device takes values.
        const LONG snapped = std::clamp(r.min + (position - r.min + r.step / 2) / r.step * r.step, r.min, r.max);
        if (snapped == r.value) {
            Show(i);
            return;
        }
        r.value = snapped;
        r.flags = 2;
        Show(i);
        Changed();
    }

    void Command(int id, int code, HWND) override {
        if (code != BN_CLICKED) return;
        if (id == kDefaultButton) {
            for (size_t i = 0; i < rows_.size(); ++i) {
                rows_[i].value = rows_[i].defaultValue;
                rows_[i].flags = 2;
                Show(i);
            }
            Changed();
            return;
        }
        const size_t i = static_cast<size_t>((id - kSliderBase) / 4);
        if (id < kSliderBase || (id - kSliderBase) % 4 != 2 || i >= rows_.size()) return;
        rows_[i].flags = IsDlgButtonChecked(window_, id) == BST_CHECKED ? 1 : 2;
        Show(i);
        Changed();
    }

    HRESULT Write() override {
        if (object_ == nullptr) return E_UNEXPECTED;
        HRESULT first = S_OK;
        for (Row& r : rows_) {
            if (r.value == r.written && r.flags == r.writtenFlags) continue;
            const HRESULT hr = object_->Set(r.property, r.value, r.flags);
            if (SUCCEEDED(hr)) {
                r.written = r.value;
                r.writtenFlags = r.flags;
            } else if (SUCCEEDED(first)) {
                first = hr;
            }
        }
        return first;
    }

    IID iid_;
    const char16_t* const* names_;
    LONG count_;
    Interface* object_ = nullptr;
    std::vector<Row> rows_;
};

// ---- The video stream format --------------------------------------------------------------------

struct Capability {
    GUID subtype{};
    LONG width = 0, height = 0;
    LONGLONG minInterval = 0, maxInterval = 0;
    int index = 0;
};

std::u16string SubtypeName(const GUID& subtype) {
    if (subtype == MEDIASUBTYPE_MJPG) return u"MJPG";
    if (subtype == MEDIASUBTYPE_YUY2) return u"YUY2";
    if (subtype == MEDIASUBTYPE_RGB24) return u"RGB 24";
    if (subtype == MEDIASUBTYPE_I420) return u"I420";
    char text[8];
    std::snprintf(text, sizeof text, "%.4s", reinterpret_cast<const char*>(&subtype.Data1));
    return Widen(text);
}

constexpr int kStandardRates[] = {60, 30, 25, 24, 20, 15, 10, 7, 5, 1};

class FormatPage final : public PageBase {
public:
    FormatPage() : PageBase(u"Stream Format", SIZE{360, 150}) {}
    ~FormatPage() override { Disconnect(); }

private:
    HRESULT Connect(IUnknown* object) override {
        HRESULT hr = object->QueryInterface(IID_IAMStreamConfig, reinterpret_cast<void**>(&config_));
        if (FAILED(hr)) return hr;
        int count = 0, size = 0;
        hr = config_->GetNumberOfCapabilities(&count, &size);
        if (FAILED(hr)) return hr;
        if (size != static_cast<int>(sizeof(VIDEO_STREAM_CONFIG_CAPS))) return E_UNEXPECTED;
        for (int i = 0; i < count; ++i) {
            AM_MEDIA_TYPE* mt = nullptr;
            VIDEO_STREAM_CONFIG_CAPS caps{};
            if (FAILED(config_->GetStreamCaps(i, &mt, reinterpret_cast<BYTE*>(&caps))) || mt == nullptr) continue;
            if (mt->formattype == FORMAT_VideoInfo && mt->cbFormat >= sizeof(VIDEOINFOHEADER) && mt->pbFormat) {
                const auto* vih = reinterpret_cast<const VIDEOINFOHEADER*>(mt->pbFormat);
                caps_.push_back({mt->subtype, vih->bmiHeader.biWidth, std::abs(vih->bmiHeader.biHeight), caps.MinFrameInterval,
                                 caps.MaxFrameInterval, i});
            }
            DeleteMediaType(mt);
        }
        AM_MEDIA_TYPE* current = nullptr;
        if (SUCCEEDED(config_->GetFormat(&current)) && current) {
            if (current->formattype == FORMAT_VideoInfo && current->cbFormat >= sizeof(VIDEOINFOHEADER) && current->pbFormat) {
                const auto* vih = reinterpret_cast<const VIDEOINFOHEADER*>(current->pbFormat);
                chosen_ = {current->subtype, vih->bmiHeader.biWidth, std::abs(vih->bmiHeader.biHeight), 0, 0, -1};
                rate_ = vih->AvgTimePerFrame > 0 ? static_cast<int>((10000000 + vih->AvgTimePerFrame / 2) / vih->AvgTimePerFrame) : 30;
            }
            DeleteMediaType(current);
        }
        if (chosen_.index == 0 && !caps_.empty() && chosen_.width == 0) chosen_ = caps_.front();
        return caps_.empty() ? E_FAIL : S_OK;
    }
    void Disconnect() override {
        if (config_) config_->Release();
        config_ = nullptr;
        caps_.clear();
        chosen_ = {};
    }

    void Build() override {
        Control(u"STATIC", u"Colour space / compression:", 0, 10, 14, 170, 18, -1);
        Control(u"COMBOBOX", u"", WS_TABSTOP | CBS_DROPDOWNLIST, 186, 10, 160, 160, kFormatCombo);
        Control(u"STATIC", u"Output size:", 0, 10, 50, 170, 18, -1);
        Control(u"COMBOBOX", u"", WS_TABSTOP | CBS_DROPDOWNLIST, 186, 46, 160, 160, kSizeCombo);
        Control(u"STATIC", u"Frame rate:", 0, 10, 86, 170, 18, -1);
        Control(u"COMBOBOX", u"", WS_TABSTOP | CBS_DROPDOWNLIST, 186, 82, 160, 160, kRateCombo);
        FillFormats();
    }

    void Fill(int combo, const std::vector<std::u16string>& items, int selected) {
        HWND box = GetDlgItem(window_, combo);
        SendMessageW(box, CB_RESETCONTENT, 0, 0);
        for (const auto& item : items) SendMessageW(box, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item.c_str()));
        SendMessageW(box, CB_SETCURSEL, std::max(selected, 0), 0);
    }

    void FillFormats() {
        subtypes_.clear();
        for (const Capability& c : caps_) {
            if (std::find(subtypes_.begin(), subtypes_.end(), c.subtype) == subtypes_.end()) subtypes_.push_back(c.subtype);
        }
        std::vector<std::u16string> names;
        int selected = 0;
        for (size_t i = 0; i < subtypes_.size(); ++i) {
            names.push_back(SubtypeName(subtypes_[i]));
            if (subtypes_[i] == chosen_.subtype) selected = static_cast<int>(i);
        }
        Fill(kFormatCombo, names, selected);
        FillSizes();
    }

    void FillSizes() {
        sizes_.clear();
        std::vector<std::u16string> names;
        int selected = -1;
        for (const Capability& c : caps_) {
            if (c.subtype != chosen_.subtype) continue;
            if (c.width == chosen_.width && c.height == chosen_.height) selected = static_cast<int>(sizes_.size());
            sizes_.push_back(c);
            names.push_back(Widen((std::to_string(c.width) + " x " + std::to_string(c.height)).c_str()));
        }
        if (selected < 0 && !sizes_.empty()) {
            selected = 0;
            chosen_ = sizes_[0];
        } else if (selected >= 0) {
            chosen_ = sizes_[static_cast<size_t>(selected)];
        }
        Fill(kSizeCombo, names, selected);
        FillRates();
    }

    void FillRates() {
        rates_.clear();
        const double fastest = chosen_.minInterval > 0 ? 1e7 / static_cast<double>(chosen_.minInterval) : 30;
        const double slowest = chosen_.maxInterval > 0 ? 1e7 / static_cast<double>(chosen_.maxInterval) : 1;
        for (int r : kStandardRates) {
            if (r <= fastest + 0.01 && r >= slowest - 0.01) rates_.push_back(r);
        }
        if (rates_.empty()) rates_.push_back(static_cast<int>(fastest));
        int selected = 0;
        for (size_t i = 0; i < rates_.size(); ++i) {
            if (rates_[i] == rate_) selected = static_cast<int>(i);
        }
        rate_ = rates_[static_cast<size_t>(selected)];
        std::vector<std::u16string> names;
        for (int r : rates_) names.push_back(Widen((std::to_string(r) + " frames a second").c_str()));
        Fill(kRateCombo, names, selected);
    }

    void Command(int id, int code, HWND box) override {
        if (code != CBN_SELCHANGE) return;
        const auto selected = static_cast<size_t>(SendMessageW(box, CB_GETCURSEL, 0, 0));
        if (id == kFormatCombo && selected < subtypes_.size()) {
            chosen_.subtype = subtypes_[selected];
            FillSizes();
        } else if (id == kSizeCombo && selected < sizes_.size()) {
            chosen_ = sizes_[selected];
            FillRates();
        } else if (id == kRateCombo && selected < rates_.size()) {
            rate_ = rates_[selected];
        } else {
            return;
        }
        Changed();
    }

    HRESULT Write() override {
        if (config_ == nullptr) return E_UNEXPECTED;
        AM_MEDIA_TYPE* mt = nullptr;
        VIDEO_STREAM_CONFIG_CAPS caps{};
        HRESULT hr = config_->GetStreamCaps(chosen_.index, &mt, reinterpret_cast<BYTE*>(&caps));
        if (FAILED(hr) || mt == nullptr) return FAILED(hr) ? hr : E_UNEXPECTED;
        if (mt->formattype == FORMAT_VideoInfo && mt->cbFormat >= sizeof(VIDEOINFOHEADER) && rate_ > 0) {
            reinterpret_cast<VIDEOINFOHEADER*>(mt->pbFormat)->AvgTimePerFrame = 10000000 / rate_;
        }
        hr = config_->SetFormat(mt);
        DeleteMediaType(mt);
        return hr;
    }

    IAMStreamConfig* config_ = nullptr;
    std::vector<Capability> caps_;
    std::vector<GUID> subtypes_;
    std::vector<Capability> sizes_;
    std::vector<int> rates_;
    Capability chosen_;
    int rate_ = 30;
};

// ---- The server ---------------------------------------------------------------------------------

IPropertyPage* NewPage(REFCLSID clsid) {
    if (clsid == CLSID_VideoProcAmpPropertyPage) {
        return new ControlPage<IAMVideoProcAmp>(u"Video Proc Amp", IID_IAMVideoProcAmp, kProcAmpNames, 10);
    }
    if (clsid == CLSID_CameraControlPropertyPage) {
        return new ControlPage<IAMCameraControl>(u"Camera Control", IID_IAMCameraControl, kCameraNames, 7);
    }
    if (clsid == CLSID_VideoStreamConfigPropertyPage) return new FormatPage();
    return nullptr;
}

template <const CLSID* Class>
HRESULT CreatePage(REFIID riid, void** ppv) {
    IPropertyPage* page = NewPage(*Class);
    const HRESULT hr = page->QueryInterface(riid, ppv);
    page->Release();
    return hr;
}

struct PageClass {
    const CLSID* clsid;
    const char16_t* name;
};
const PageClass kPageClasses[] = {
    {&CLSID_VideoProcAmpPropertyPage, u"VideoProcAmp Property Page"},
    {&CLSID_CameraControlPropertyPage, u"CameraControl Property Page"},
    {&CLSID_VideoStreamConfigPropertyPage, u"VideoStreamConfig Property Page"},
};

HRESULT GetPagesClassObject(REFCLSID clsid, REFIID riid, LPVOID* ppv) {
    static qk::com::StaticClassFactory factories[] = {
        {CreatePage<&CLSID_VideoProcAmpPropertyPage>, Live()},
        {CreatePage<&CLSID_CameraControlPropertyPage>, Live()},
        {CreatePage<&CLSID_VideoStreamConfigPropertyPage>, Live()},
    };
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    for (size_t i = 0; i < std::size(kPageClasses); ++i) {
        if (*kPageClasses[i].clsid == clsid) return factories[i].QueryInterface(riid, ppv);
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT RegisterPages() {
    for (const PageClass& c : kPageClasses) {
        const HRESULT hr = qk::com::RegisterInprocClass(*c.clsid, c.name, u"kspages.ax", u"Both");
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}

}  // namespace

long LivePageObjects() { return Live().Value(); }

HRESULT InstallPropertyPages() {
    qk::com::RegisterBuiltinServer(u"kspages.ax", {GetPagesClassObject, [] { return Live().CanUnloadNow(); }, RegisterPages,
                                                   [] {
                                                       for (const PageClass& c : kPageClasses) qk::com::UnregisterInprocClass(*c.clsid);
                                                       return S_OK;
                                                   }});
    return RegisterPages();
}

}  // namespace qk::olepro
