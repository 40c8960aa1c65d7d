// Dialog templates as resource compilers write them: the classic
// DLGTEMPLATE with DLGITEMTEMPLATE items, and the extended DLGTEMPLATEEX
// (dlgVer 1, signature 0xFFFF) with its items. Each variable field is
// either absent (0x0000), an ordinal (0xFFFF then a WORD) or a
// NUL-terminated UTF-16 string; items start on DWORD boundaries counted
// from the start of the template. Reading is bounded by the resource's
// size: a damaged template is refused with a reason.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "windows.h"
#include "winuser.h"

namespace qk::ui {

struct NameOrOrdinal {
    bool present = false;
    bool isOrdinal = false;
    uint16_t ordinal = 0;
    std::u16string text;
};

struct DialogItem {
    uint32_t helpId = 0;
    uint32_t style = 0;
    uint32_t exStyle = 0;
    int16_t x = 0, y = 0, cx = 0, cy = 0;
    uint32_t id = 0;
    NameOrOrdinal windowClass;  // ordinals 0x80..0x85: Button, Edit, Static, ListBox, ScrollBar, ComboBox
    NameOrOrdinal title;
    std::vector<uint8_t> creationData;
};

struct DialogTemplate {
    bool extended = false;
    uint32_t helpId = 0;
    uint32_t style = 0;
    uint32_t exStyle = 0;
    int16_t x = 0, y = 0, cx = 0, cy = 0;
    NameOrOrdinal menu;
    NameOrOrdinal windowClass;
    std::u16string title;
    bool hasFont = false;
    uint16_t pointSize = 0;
    uint16_t weight = 400;
    bool italic = false;
    uint8_t charSet = 1;
    std::u16string face;
    std::vector<DialogItem> items;
};

bool ParseDialogTemplate(std::span<const uint8_t> bytes, DialogTemplate* out, std::string* error);

// A dialog the system builds itself (message boxes, the file dialog): made
// from `t` for a modal run, then run until EndDialog; -1 when it was not made.
HWND CreateModalDialog(const DialogTemplate& t, HWND owner, DLGPROC proc, LPARAM init);
INT_PTR RunModalDialog(HWND dialog, HWND owner);

// The class name an item's ordinal stands for (empty for an unknown one).
std::u16string PredefinedClassName(uint16_t ordinal);

}  // namespace qk::ui
