// The skinned containers every console panel is shown in: InfoPanel, a
// collapsible frame around one panel dialog with a title button (69), and
// InfoPanelWnd, a scrolling vertical stack of them that remembers which
// panels were open. Margins, colours, region data and pictures come from
// the skin; everything works unskinned with the default margins.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "console/skin/skin_hook_client.h"
#include "windows.h"
#include "winuser.h"

namespace console {

inline constexpr int kTitleButtonId = 69;
inline constexpr UINT kPanelSizeChanged = 1093;  // to the stack; lParam nonzero: scroll to that panel
inline constexpr UINT kAccordionExpanded = 1193;  // to the stack; wParam: the panel that opened
inline constexpr UINT kFirstPanelOpened = 4055;  // to the stack's parent
inline constexpr UINT kStateTimer = 101;
inline constexpr DWORD kAccordion = 0x2;  // panel style flag (bit 1)
inline constexpr int kStackScrollBar = 15;  // pixels the vertical scroll bar takes

// The module whose strings the framework shows (the console's resource library while it is loaded).
void SetResourceModule(HMODULE module);
HMODULE ResourceModule();

class InfoPanelWnd;

class InfoPanel {
public:
    // Null when the panel could not be made (the half-made panel is gone).
    static std::unique_ptr<InfoPanel> Create(InfoPanelWnd* stack, DWORD styleFlags, UINT id, const std::u16string& title,
                                             HWND child, const std::string& bundlePath, const char* piece,
                                             const std::string& dropDownPiece);
    ~InfoPanel();

    void Show(bool expand, bool scroll);
    SIZE Size() const;
    bool Expanded() const;
    HWND Window() const { return hwnd_; }
    HWND Child() const { return child_; }
    UINT Id() const { return id_; }

    // Margins and looks read from the skin (for tests and the stack).
    struct Margins {
        int left = 1, right = 1, top = 24, bottom = 1, indentLeft = 5, indentRight = 5;
    };
    const Margins& GetMargins() const { return margins_; }
    COLORREF TitleColour() const { return titleColour_; }
    HFONT TitleFont() const { return titleFont_; }
    HWND Tooltip() const { return tooltip_; }

private:
    InfoPanel() = default;
    static LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);
    void TitleClicked();
    void Resize(int width, int height);
    void UpdateTooltip();

    InfoPanelWnd* stack_ = nullptr;
    HWND hwnd_ = nullptr;
    HWND title_ = nullptr;
    HWND child_ = nullptr;
    HWND tooltip_ = nullptr;
    UINT id_ = 0;
    DWORD flags_ = 0;
    SkinHookClient skin_;
    Margins margins_;
    COLORREF titleColour_ = 0;
    char regionData_[100] = {};
    HFONT titleFont_ = nullptr;
    std::string titlePiece_;
    std::string dropDown_;
};

class InfoPanelWnd {
public:
    // `styleArgument`: its high word is added to the window style, its low
    // word becomes the style flags of every panel the stack creates.
    static std::unique_ptr<InfoPanelWnd> Create(HWND parent, DWORD exStyle, UINT id, DWORD styleArgument,
                                                const std::string& bundlePath, const char* piece);
    ~InfoPanelWnd();

    // Inserts `dialog` at `position` (-1: the end) with `title` (the
    // dialog's text when empty); false leaves the stack unchanged.
    bool Insert(HWND dialog, int position, const std::u16string& title, UINT id);
    void Expand(int position, bool expand, bool scroll = true);
    void ExpandById(UINT id, bool expand);
    HWND PanelDialog(int position) const;
    bool IsExpanded(int position) const;
    int Count() const { return static_cast<int>(panels_.size()); }
    int TotalHeight() const;
    // "PanelState%d" values under HKEY_CURRENT_USER `key`, numbered by position plus `offset`.
    void SetStateKey(const std::u16string& key, int offset);
    // Applies the remembered states now (the stack's timer does this once the parent shows).
    void ApplyStates();

    HWND Window() const { return hwnd_; }
    int ScrollPosition() const { return vertical_; }
    bool ScrollBarShown() const { return barShown_; }
    InfoPanel* Panel(int position) const { return panels_[static_cast<size_t>(position)].get(); }
    void Layout(int scrollToId = 0);

private:
    InfoPanelWnd() = default;
    static LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);
    void Scroll(int position);
    void WriteStates();

    HWND hwnd_ = nullptr;
    SkinHookClient skin_;
    std::vector<std::unique_ptr<InfoPanel>> panels_;
    int spacing_ = 0;
    RECT margins_{0, 0, 0, 0};
    int horizontal_ = 0, vertical_ = 0, previousVertical_ = 0;
    bool barShown_ = false;
    std::string background_, dropDown_;
    std::string bundlePath_;
    std::string piece_;
    DWORD panelFlags_ = 0;
    std::u16string stateKey_;
    int stateOffset_ = 0;
    bool firstShow_ = true;
    UINT settingsChanged_ = 0;
    UINT callback_ = 0;
    bool laying_ = false;

    friend class InfoPanel;
};

}  // namespace console
