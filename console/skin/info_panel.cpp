// InfoPanel and InfoPanelWnd: the collapsible panel frame and the scrolling
// stack of panels. The stack lays its panels out one below the other, shows
// a 15-pixel vertical scroll bar when they do not fit (narrowing every panel
// by its width), scrolls a panel into view when asked, and keeps which
// panels are open in the registry.
#include "console/skin/info_panel.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "commctrl.h"
#include "wingdi.h"

namespace console {

namespace {

HMODULE g_resources = nullptr;

constexpr char16_t kPanelClass[] = u"InfoPanel";
constexpr char16_t kStackClass[] = u"InfoPanelWnd";
constexpr char kSettingsChanged[] = "Lumora camera settings changed";
constexpr char kStackCallback[] = "WM_INFOPANELWND_CALLBACK";
constexpr int kLine = 10;

void RegisterClassOnce(const char16_t* name, WNDPROC proc) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.style = CS_DBLCLKS;
    wc.lpfnWndProc = proc;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<ULONG_PTR>(COLOR_BTNFACE + 1));
    wc.lpszClassName = name;
    RegisterClassExW(&wc);  // a second registration is refused, and harmless
}

std::u16string LoadText(UINT id) {
    char16_t text[256] = {};
    if (!g_resources || LoadStringW(g_resources, id, text, 256) <= 0) return {};
    return text;
}

}  // namespace

void SetResourceModule(HMODULE module) { g_resources = module; }
HMODULE ResourceModule() { return g_resources; }

// ---- InfoPanel ---------------------------------------------------------------------------

std::unique_ptr<InfoPanel> InfoPanel::Create(InfoPanelWnd* stack, DWORD styleFlags, UINT id, const std::u16string& title,
                                             HWND child, const std::string& bundlePath, const char* piece,
                                             const std::string& dropDownPiece) {
    RegisterClassOnce(kPanelClass, Proc);
    std::unique_ptr<InfoPanel> panel(new InfoPanel);
    panel->stack_ = stack;
    panel->id_ = id;
    panel->flags_ = styleFlags;
    panel->child_ = child;
    panel->dropDown_ = dropDownPiece;
    panel->hwnd_ = CreateWindowExW(WS_EX_CONTROLPARENT, kPanelClass, title.c_str(), WS_CHILD | WS_CLIPCHILDREN, 0, 0, 100,
                                   32, stack->Window(), reinterpret_cast<HMENU>(static_cast<UINT_PTR>(id)), nullptr, nullptr);
    if (!panel->hwnd_) return nullptr;
    SetWindowLongPtrW(panel->hwnd_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(panel.get()));
    panel->title_ = CreateWindowExW(0, u"Button", title.c_str(),
                                    WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN | WS_TABSTOP | BS_CHECKBOX | BS_LEFTTEXT,
                                    0, 0, 10, 10, panel->hwnd_, reinterpret_cast<HMENU>(static_cast<UINT_PTR>(kTitleButtonId)),
                                    nullptr, nullptr);
    if (!panel->title_) return nullptr;  // the destructor takes the half-made window away
    HFONT parentFont = reinterpret_cast<HFONT>(SendMessageW(stack->Window(), WM_GETFONT, 0, 0));
    HFONT font = parentFont ? parentFont : static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
    SendMessageW(panel->title_, WM_SETFONT, reinterpret_cast<WPARAM>(font), 0);

    // The skinning library is already loaded by the console window: no folder.
    skinhook::ControlStyle style{sizeof(skinhook::ControlStyle), 2, panel->dropDown_.c_str(), {}};
    skinhook::ChildDescriptor title69{sizeof(skinhook::ChildDescriptor), kTitleButtonId, &style};
    skinhook::SkinDescriptor d{sizeof(skinhook::SkinDescriptor), bundlePath.c_str(),
                               piece ? skinhook::kNamedPiece : skinhook::kDefaultPiece, piece, {}, 1, &title69};
    if (panel->skin_.AttachSkin(panel->hwnd_, &d, nullptr)) {
        const std::string section = std::string("InfoPanelData_") + (piece ? piece : "");
        Margins& m = panel->margins_;
        m.left = panel->skin_.ReadInteger(section, "LeftBorderMargin", 1);
        m.right = panel->skin_.ReadInteger(section, "RightBorderMargin", 1);
        m.top = panel->skin_.ReadInteger(section, "TopBorderMargin", 24);
        m.bottom = panel->skin_.ReadInteger(section, "BottomBorderMargin", 1);
        m.indentLeft = panel->skin_.ReadInteger(section, "TitleIndentLeft", 5);
        m.indentRight = panel->skin_.ReadInteger(section, "TitleIndentRight", 5);
        panel->titleColour_ = panel->skin_.ReadColour(section, "TitleColour", 0);
        panel->skin_.ReadString(section, "RegionData", panel->regionData_, sizeof panel->regionData_);
    }

    LOGFONTW lf{};
    GetObjectW(font, sizeof lf, &lf);
    lf.lfHeight = -12;
    lf.lfWeight = FW_BOLD;
    lf.lfCharSet = PRIMARYLANGID(GetUserDefaultLangID()) == LANG_JAPANESE ? SHIFTJIS_CHARSET : DEFAULT_CHARSET;
    panel->titleFont_ = CreateFontIndirectW(&lf);
    SendMessageW(panel->title_, WM_SETFONT, reinterpret_cast<WPARAM>(panel->titleFont_), 0);

    panel->tooltip_ = CreateWindowExW(0, TOOLTIPS_CLASSW, u"", WS_POPUP, 0, 0, 0, 0, panel->hwnd_, nullptr, nullptr, nullptr);
    if (panel->tooltip_) {
        TOOLINFOW ti{sizeof ti, TTF_IDISHWND | TTF_SUBCLASS, panel->hwnd_, reinterpret_cast<UINT_PTR>(panel->title_), {}, nullptr,
                     const_cast<LPWSTR>(u""), 0, nullptr};
        SendMessageW(panel->tooltip_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&ti));
    }

    if (child) {
        SetParent(child, panel->hwnd_);
        SetWindowPos(child, nullptr, panel->margins_.left, panel->margins_.top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
    RECT cr{0, 0, 0, 0};
    if (child) GetWindowRect(child, &cr);
    const bool visible = child && (GetWindowLongW(child, GWL_STYLE) & WS_VISIBLE);
    const Margins& m = panel->margins_;
    const int height = m.top + m.bottom + (visible ? cr.bottom - cr.top : 0);
    const int width = m.left + m.right + (cr.right - cr.left);
    SendMessageW(panel->title_, BM_SETCHECK, visible ? BST_CHECKED : BST_UNCHECKED, 0);
    SetWindowPos(panel->hwnd_, nullptr, 0, 0, width, height, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    ShowWindow(panel->hwnd_, SW_SHOWNA);
    panel->UpdateTooltip();
    return panel;
}

InfoPanel::~InfoPanel() {
    skin_.Detach();
    if (hwnd_ && IsWindow(hwnd_)) {
        SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);
        DestroyWindow(hwnd_);
    }
    if (titleFont_) DeleteObject(titleFont_);
}

LRESULT CALLBACK InfoPanel::Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<InfoPanel*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    return self ? self->Handle(message, wParam, lParam) : DefWindowProcW(hwnd, message, wParam, lParam);
}

LRESULT InfoPanel::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_COMMAND:
            if (LOWORD(wParam) == kTitleButtonId && HIWORD(wParam) == BN_CLICKED) {
                TitleClicked();
                return 0;
            }
            break;
        case WM_SIZE: Resize(LOWORD(lParam), HIWORD(lParam)); return 0;
        case WM_CTLCOLORBTN:
            if (reinterpret_cast<HWND>(lParam) == title_) {
                SetTextColor(reinterpret_cast<HDC>(wParam), titleColour_);
                return 0;
            }
            break;
        default: break;
    }
    return DefWindowProcW(hwnd_, message, wParam, lParam);
}

void InfoPanel::TitleClicked() {
    if (!child_) return;
    WPARAM report;
    if (IsWindowVisible(child_)) {
        // In accordion mode an open panel closes only when another opens.
        if (flags_ & kAccordion) return;
        Show(false, true);
        report = 2;
    } else {
        Show(true, true);
        if (flags_ & kAccordion) SendMessageW(stack_->Window(), kAccordionExpanded, id_, 0);
        report = 1;
    }
    const UINT callback = RegisterWindowMessageA(kStackCallback);
    if (HWND holder = GetParent(stack_->Window())) SendMessageW(holder, callback, report, id_);
    SendMessageW(stack_->Window(), callback, 2, id_);
}

void InfoPanel::Show(bool expand, bool scroll) {
    if (!child_) return;
    RECT cr;
    GetWindowRect(child_, &cr);
    RECT pr;
    GetWindowRect(hwnd_, &pr);
    ShowWindow(child_, expand ? SW_SHOWNA : SW_HIDE);
    SendMessageW(title_, BM_SETCHECK, expand ? BST_CHECKED : BST_UNCHECKED, 0);
    const int height = margins_.top + margins_.bottom + (expand ? cr.bottom - cr.top : 0);
    SetWindowPos(hwnd_, nullptr, 0, 0, pr.right - pr.left, height, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    UpdateTooltip();
    PostMessageW(stack_->Window(), kPanelSizeChanged, id_, scroll ? id_ : 0);
}

SIZE InfoPanel::Size() const {
    RECT r;
    GetWindowRect(hwnd_, &r);
    return SIZE{r.right - r.left, r.bottom - r.top};
}

bool InfoPanel::Expanded() const { return child_ && (GetWindowLongW(child_, GWL_STYLE) & WS_VISIBLE); }

void InfoPanel::Resize(int width, int height) {
    const Margins& m = margins_;
    SetWindowPos(title_, nullptr, m.left + m.indentLeft, 2, width - m.indentRight - m.right - m.left - m.indentLeft,
                 m.top - 4, SWP_NOZORDER | SWP_NOACTIVATE);
    skin_.ApplyRegion(hwnd_, regionData_);
}

void InfoPanel::UpdateTooltip() {
    if (!tooltip_) return;
    std::u16string text = LoadText(Expanded() ? 57713 : 57712);
    TOOLINFOW ti{sizeof ti, TTF_IDISHWND, hwnd_, reinterpret_cast<UINT_PTR>(title_), {}, nullptr, text.data(), 0, nullptr};
    SendMessageW(tooltip_, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&ti));
}

// ---- InfoPanelWnd ---------------------------------------------------------------------------

std::unique_ptr<InfoPanelWnd> InfoPanelWnd::Create(HWND parent, DWORD exStyle, UINT id, DWORD styleArgument,
                                                   const std::string& bundlePath, const char* piece) {
    RegisterClassOnce(kStackClass, Proc);
    std::unique_ptr<InfoPanelWnd> stack(new InfoPanelWnd);
    stack->bundlePath_ = bundlePath;
    stack->piece_ = piece ? piece : "";
    stack->panelFlags_ = LOWORD(styleArgument);
    stack->settingsChanged_ = RegisterWindowMessageA(kSettingsChanged);
    stack->callback_ = RegisterWindowMessageA(kStackCallback);
    RECT r{0, 0, 0, 0};
    if (parent) GetClientRect(parent, &r);
    stack->hwnd_ = CreateWindowExW(exStyle, kStackClass, u"", WS_CHILD | WS_CLIPCHILDREN | (static_cast<DWORD>(HIWORD(styleArgument)) << 16),
                                   0, 0, r.right, r.bottom, parent, reinterpret_cast<HMENU>(static_cast<UINT_PTR>(id)), nullptr, nullptr);
    if (!stack->hwnd_) return nullptr;
    SetWindowLongPtrW(stack->hwnd_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(stack.get()));
    if (HFONT font = parent ? reinterpret_cast<HFONT>(SendMessageW(parent, WM_GETFONT, 0, 0)) : nullptr) {
        SendMessageW(stack->hwnd_, WM_SETFONT, reinterpret_cast<WPARAM>(font), 0);
    }
    skinhook::SkinDescriptor d{sizeof(skinhook::SkinDescriptor), stack->bundlePath_.c_str(),
                               piece ? skinhook::kNamedPiece : skinhook::kDefaultPiece, piece, {}, 0, nullptr};
    if (stack->skin_.AttachSkin(stack->hwnd_, &d, nullptr)) {
        const std::string section = std::string("InfoPanelWndData_") + (piece ? piece : "InfoPanel.png");
        char buffer[120];
        if (stack->skin_.ReadString(section, "InfoPanelBkgBMP", buffer, sizeof buffer)) stack->background_ = buffer;
        if (stack->skin_.ReadString(section, "DropDownBMP", buffer, sizeof buffer)) stack->dropDown_ = buffer;
    }
    if (GetWindowLongW(stack->hwnd_, GWL_STYLE) & WS_VISIBLE) SetTimer(stack->hwnd_, kStateTimer, 100, nullptr);
    return stack;
}

InfoPanelWnd::~InfoPanelWnd() {
    // Panels go from last to first.
    while (!panels_.empty()) panels_.pop_back();
    skin_.Detach();
    if (hwnd_ && IsWindow(hwnd_)) {
        SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);
        DestroyWindow(hwnd_);
    }
}

bool InfoPanelWnd::Insert(HWND dialog, int position, const std::u16string& title, UINT id) {
    std::u16string text = title;
    if (text.empty() && dialog) {
        char16_t buffer[256] = {};
        GetWindowTextW(dialog, buffer, 256);
        text = buffer;
    }
    auto panel = InfoPanel::Create(this, panelFlags_, id, text, dialog, bundlePath_,
                                   background_.empty() ? nullptr : background_.c_str(), dropDown_);
    if (!panel) return false;
    // The panels keep the stack's narrowing while its scroll bar shows.
    if (barShown_) {
        SIZE s = panel->Size();
        SetWindowPos(panel->Window(), nullptr, 0, 0, s.cx - kStackScrollBar, s.cy, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
    const size_t at = (position < 0 || position > Count()) ? panels_.size() : static_cast<size_t>(position);
    panels_.insert(panels_.begin() + static_cast<long>(at), std::move(panel));
    Layout();
    return true;
}

void InfoPanelWnd::Expand(int position, bool expand, bool scroll) {
    if (position < 0 || position >= Count()) return;
    panels_[static_cast<size_t>(position)]->Show(expand, scroll);
}

void InfoPanelWnd::ExpandById(UINT id, bool expand) {
    for (auto& p : panels_) {
        if (p->Id() == id) p->Show(expand, true);
    }
}

HWND InfoPanelWnd::PanelDialog(int position) const {
    return (position >= 0 && position < Count()) ? panels_[static_cast<size_t>(position)]->Child() : nullptr;
}

bool InfoPanelWnd::IsExpanded(int position) const {
    return position >= 0 && position < Count() && panels_[static_cast<size_t>(position)]->Expanded();
}

int InfoPanelWnd::TotalHeight() const {
    int total = 0;
    for (size_t i = 0; i < panels_.size(); ++i) total += panels_[i]->Size().cy + (i + 1 < panels_.size() ? spacing_ : 0);
    return total;
}

void InfoPanelWnd::SetStateKey(const std::u16string& key, int offset) {
    stateKey_ = key;
    stateOffset_ = offset;
}

void InfoPanelWnd::Layout(int scrollToId) {
    if (laying_) return;
    laying_ = true;
    std::vector<int> ys;
    int y = margins_.top, widest = 0, scrollTarget = -1;
    for (size_t i = 0; i < panels_.size(); ++i) {
        const SIZE s = panels_[i]->Size();
        if (scrollToId && panels_[i]->Id() == static_cast<UINT>(scrollToId)) scrollTarget = y - margins_.top;
        ys.push_back(y);
        y += s.cy + (i + 1 < panels_.size() ? spacing_ : 0);
        widest = std::max<int>(widest, s.cx);
    }
    const int contentHeight = y + margins_.bottom;
    (void)widest;
    ShowScrollBar(hwnd_, SB_HORZ, FALSE);
    horizontal_ = 0;
    RECT client;
    GetClientRect(hwnd_, &client);
    bool again = false;
    if (client.bottom < contentHeight) {
        if (!barShown_) {
            for (auto& p : panels_) {
                const SIZE s = p->Size();
                SetWindowPos(p->Window(), nullptr, 0, 0, s.cx - kStackScrollBar, s.cy, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
            }
            barShown_ = true;
            ShowScrollBar(hwnd_, SB_VERT, TRUE);
        }
        if (scrollTarget >= 0) vertical_ = scrollTarget;
    } else {
        if (barShown_) {
            for (auto& p : panels_) {
                const SIZE s = p->Size();
                SetWindowPos(p->Window(), nullptr, 0, 0, s.cx + kStackScrollBar, s.cy, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
            }
            barShown_ = false;
            ShowScrollBar(hwnd_, SB_VERT, FALSE);
        }
        again = vertical_ > 0;
        vertical_ = 0;
    }
    // No space opens below the content.
    vertical_ = std::clamp(vertical_, 0, std::max(0, contentHeight - static_cast<int>(client.bottom)));
    if (barShown_) {
        SCROLLINFO si{sizeof si, SIF_RANGE | SIF_PAGE | SIF_POS, 0, contentHeight, static_cast<UINT>(client.bottom), vertical_, 0};
        SetScrollInfo(hwnd_, SB_VERT, &si, TRUE);
    }
    const bool up = vertical_ >= previousVertical_;
    auto place = [&](size_t i) {
        SetWindowPos(panels_[i]->Window(), nullptr, margins_.left - horizontal_, ys[i] - vertical_, 0, 0,
                     SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    };
    if (up) {
        for (size_t i = panels_.size(); i-- > 0;) place(i);
    } else {
        for (size_t i = 0; i < panels_.size(); ++i) place(i);
    }
    previousVertical_ = vertical_;
    laying_ = false;
    if (again) Layout();
}

void InfoPanelWnd::Scroll(int position) {
    SCROLLINFO si{sizeof si, SIF_RANGE | SIF_PAGE, 0, 0, 0, 0, 0};
    GetScrollInfo(hwnd_, SB_VERT, &si);
    vertical_ = std::clamp(position, 0, std::max(0, si.nMax - static_cast<int>(si.nPage)));
    Layout();
}

void InfoPanelWnd::ApplyStates() {
    std::vector<int> stored(panels_.size(), -1);
    bool any = false;
    HKEY key;
    if (!stateKey_.empty() && RegOpenKeyExW(HKEY_CURRENT_USER, stateKey_.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS) {
        for (size_t i = 0; i < panels_.size(); ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "PanelState%d", static_cast<int>(i) + stateOffset_);
            DWORD value = 0, size = sizeof value, type = 0;
            if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) == ERROR_SUCCESS &&
                type == REG_DWORD) {
                stored[i] = value ? 1 : 0;
                any = true;
            }
        }
        RegCloseKey(key);
    }
    if (any) {
        for (size_t i = 0; i < panels_.size(); ++i) {
            if (stored[i] == 1) panels_[i]->Show(true, false);
        }
    } else if (!panels_.empty()) {
        panels_[0]->Show(true, false);
        if (firstShow_ && stateOffset_ == 0) SendMessageW(GetParent(hwnd_), kFirstPanelOpened, 0, 0);
    }
    firstShow_ = false;
}

void InfoPanelWnd::WriteStates() {
    if (stateKey_.empty()) return;
    HKEY key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, stateKey_.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) != ERROR_SUCCESS) {
        return;
    }
    for (size_t i = 0; i < panels_.size(); ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "PanelState%d", static_cast<int>(i) + stateOffset_);
        const DWORD value = panels_[i]->Expanded() ? 1 : 0;
        RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    }
    RegCloseKey(key);
}

LRESULT CALLBACK InfoPanelWnd::Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<InfoPanelWnd*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    return self ? self->Handle(message, wParam, lParam) : DefWindowProcW(hwnd, message, wParam, lParam);
}

LRESULT InfoPanelWnd::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == settingsChanged_ && settingsChanged_) {
        for (auto& p : panels_) {
            if (p->Child()) SendMessageW(p->Child(), message, wParam, lParam);
        }
        return 0;
    }
    if (message == callback_ && callback_) {
        WriteStates();
        return 0;
    }
    switch (message) {
        case WM_SIZE: Layout(); return 0;
        case WM_SHOWWINDOW:
            if (wParam) SetTimer(hwnd_, kStateTimer, 100, nullptr);
            break;
        case WM_TIMER:
            if (wParam == kStateTimer) {
                // The states are applied once the window that holds the stack shows.
                HWND parent = GetParent(hwnd_);
                if (!parent || IsWindowVisible(parent)) {
                    KillTimer(hwnd_, kStateTimer);
                    ApplyStates();
                }
                return 0;
            }
            break;
        case kPanelSizeChanged: Layout(static_cast<int>(lParam)); return 0;
        case kAccordionExpanded:
            for (auto& p : panels_) {
                if (p->Id() != static_cast<UINT>(wParam) && p->Expanded()) p->Show(false, false);
            }
            return 0;
        case WM_VSCROLL: {
            SCROLLINFO si{sizeof si, SIF_ALL, 0, 0, 0, 0, 0};
            GetScrollInfo(hwnd_, SB_VERT, &si);
            int pos = vertical_;
            switch (LOWORD(wParam)) {
                case SB_LINEUP: pos -= kLine; break;
                case SB_LINEDOWN: pos += kLine; break;
                case SB_PAGEUP: pos -= static_cast<int>(si.nPage); break;
                case SB_PAGEDOWN: pos += static_cast<int>(si.nPage); break;
                case SB_THUMBTRACK:
                case SB_THUMBPOSITION: pos = HIWORD(wParam); break;
                case SB_TOP: pos = 0; break;
                case SB_BOTTOM: pos = si.nMax; break;
                default: return 0;
            }
            Scroll(pos);
            return 0;
        }
        case WM_MOUSEWHEEL: Scroll(vertical_ - GET_WHEEL_DELTA_WPARAM(wParam) / 5); return 0;
        case WM_DESTROY:
            KillTimer(hwnd_, kStateTimer);
            break;
        default: break;
    }
    return DefWindowProcW(hwnd_, message, wParam, lParam);
}

}  // namespace console
