// The common file-open dialog: a folder's subfolders and the files that match
// the chosen filter in a list, the file name in an edit box, the filters in a
// drop-down list. A name typed or chosen is completed with the default
// extension, checked as the flags ask and handed back with its offsets.
// Hooks, custom templates and multiple selection are not offered: a caller
// asking for them is refused with CDERR_INITIALIZATION before anything shows.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "commdlg.h"
#include "fileapi.h"
#include "platform/ui/dialog_template.h"
#include "platform/ui/ui_internal.h"

namespace qk::ui {

namespace {

thread_local DWORD t_lastError = 0;

struct Filter {
    std::u16string label;
    std::vector<std::u16string> patterns;  // "*.vfz", "*.*", ...
};

// What the dialog works on, wide whichever form the caller used.
struct Request {
    HWND owner = nullptr;
    std::u16string title;
    std::vector<Filter> filters;
    size_t filter = 0;
    std::u16string folder;  // "C:\\..." without a trailing backslash, except the drive's root "C:\\"
    std::u16string name;    // the initial name in the edit box
    std::u16string defaultExtension;
    DWORD flags = 0;
    std::u16string chosen;  // the full path, on OK
};

char16_t Lower(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c; }

// "*" and "?" against a name, without regard to case.
bool Matches(const std::u16string& pattern, const std::u16string& name) {
    size_t p = 0, n = 0, starP = std::u16string::npos, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == u'?' || Lower(pattern[p]) == Lower(name[n]))) {
            ++p;
            ++n;
        } else if (p < pattern.size() && pattern[p] == u'*') {
            starP = p++;
            starN = n;
        } else if (starP != std::u16string::npos) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == u'*') ++p;
    // "*.*" also takes a name without a dot, as the system's does.
    return p == pattern.size() || pattern.substr(p) == u".*";
}

// The filter string: pairs of label and ";"-separated patterns, each ended by
// a zero, the whole by a second zero.
std::vector<Filter> ParseFilters(const std::vector<std::u16string>& parts) {
    std::vector<Filter> out;
    for (size_t i = 0; i + 1 < parts.size(); i += 2) {
        Filter f;
        f.label = parts[i];
        size_t start = 0;
        const std::u16string& list = parts[i + 1];
        while (start <= list.size()) {
            size_t end = std::min(list.find(u';', start), list.size());
            std::u16string one = list.substr(start, end - start);
            one.erase(0, one.find_first_not_of(u' '));
            if (!one.empty()) f.patterns.push_back(one);
            start = end + 1;
        }
        if (f.patterns.empty()) f.patterns.push_back(u"*.*");
        out.push_back(std::move(f));
    }
    if (out.empty()) out.push_back({u"All files (*.*)", {u"*.*"}});
    return out;
}

template <typename Char>
std::vector<std::u16string> SplitDoubleZero(const Char* text) {
    std::vector<std::u16string> parts;
    if (text == nullptr) return parts;
    // A filter string of any sane size ends long before this.
    for (size_t guard = 0; *text != 0 && guard < 256; ++guard) {
        std::u16string part;
        while (*text != 0) part.push_back(static_cast<char16_t>(static_cast<std::make_unsigned_t<Char>>(*text++)));
        ++text;
        parts.push_back(std::move(part));
    }
    return parts;
}

bool IsAbsolute(const std::u16string& path) {
    return (path.size() >= 2 && path[1] == u':') || (path.size() >= 2 && path[0] == u'\\' && path[1] == u'\\');
}

std::u16string Join(const std::u16string& folder, const std::u16string& name) {
    if (folder.empty()) return name;
    return folder.back() == u'\\' ? folder + name : folder + u"\\" + name;
}

std::u16string ParentOf(const std::u16string& folder) {
    const size_t slash = folder.find_last_of(u'\\');
    if (slash == std::u16string::npos) return folder;
    if (slash <= 2) return folder.substr(0, 3);  // "C:\\"
    return folder.substr(0, slash);
}

DWORD AttributesOf(const std::u16string& path) { return GetFileAttributesA(Narrow(path).c_str()); }
bool IsFolder(const std::u16string& path) {
    const DWORD a = AttributesOf(path);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

constexpr int kFolderLabel = stc1;

void Fill(HWND dialog, Request& r) {
    SetDlgItemTextW(dialog, kFolderLabel, r.folder.c_str());
    HWND list = GetDlgItem(dialog, lst1);
    SendMessageW(list, LB_RESETCONTENT, 0, 0);
    std::vector<std::u16string> folders, files;
    WIN32_FIND_DATAA found{};
    const std::string pattern = Narrow(Join(r.folder, u"*"));
    HANDLE find = FindFirstFileA(pattern.c_str(), &found);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::u16string name = Widen(found.cFileName);
            if (name == u"." || name == u"..") continue;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                folders.push_back(u"[" + name + u"]");
            } else {
                const Filter& f = r.filters[r.filter];
                if (std::any_of(f.patterns.begin(), f.patterns.end(), [&](const auto& p) { return Matches(p, name); })) {
                    files.push_back(name);
                }
            }
        } while (FindNextFileA(find, &found));
        FindClose(find);
    }
    const auto byName = [](const std::u16string& a, const std::u16string& b) {
        return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                            [](char16_t x, char16_t y) { return Lower(x) < Lower(y); });
    };
    std::sort(folders.begin(), folders.end(), byName);
    std::sort(files.begin(), files.end(), byName);
    if (r.folder.size() > 3) folders.insert(folders.begin(), u"[..]");
    for (const auto& f : folders) SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(f.c_str()));
    for (const auto& f : files) SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(f.c_str()));
}

std::u16string TextOf(HWND window) {
    const int length = GetWindowTextLengthW(window);
    std::u16string text(static_cast<size_t>(std::max(length, 0)) + 1, u'\0');
    GetWindowTextW(window, reinterpret_cast<LPWSTR>(text.data()), length + 1);
    text.resize(static_cast<size_t>(std::max(length, 0)));
    return text;
}

void Warn(HWND dialog, const Request& r, const std::u16string& text) {
    MessageBoxW(dialog, text.c_str(), r.title.c_str(), MB_OK | MB_ICONEXCLAMATION);
}

// OK with `typed`: enters a folder, takes a pattern as the filter, or
// accepts a file. True when the dialog ends.
bool Accept(HWND dialog, Request& r, std::u16string typed) {
    while (!typed.empty() && typed.back() == u' ') typed.pop_back();
    typed.erase(0, typed.find_first_not_of(u' '));
    if (typed.empty()) return false;
    if (typed == u"..") {
        r.folder = ParentOf(r.folder);
        SetDlgItemTextW(dialog, edt1, u"");
        Fill(dialog, r);
        return false;
    }
    if (typed.find_first_of(u"*?") != std::u16string::npos) {
        r.filters[r.filter].patterns = {typed};
        Fill(dialog, r);
        return false;
    }
    std::u16string path = IsAbsolute(typed) ? typed : Join(r.folder, typed);
    if (IsFolder(path)) {
        while (path.size() > 3 && path.back() == u'\\') path.pop_back();
        r.folder = path;
        SetDlgItemTextW(dialog, edt1, u"");
        Fill(dialog, r);
        return false;
    }
    const size_t slash = path.find_last_of(u'\\');
    const std::u16string name = path.substr(slash == std::u16string::npos ? 0 : slash + 1);
    if (name.empty() || name.find_first_of(u"<>|\"/:") != std::u16string::npos) {
        Warn(dialog, r, typed + u"\nThe file name is not valid.");
        return false;
    }
    if (name.find(u'.') == std::u16string::npos && !r.defaultExtension.empty()) path += u"." + r.defaultExtension;
    const std::u16string folder = slash == std::u16string::npos ? r.folder : ParentOf(path);
    if ((r.flags & (OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST)) && !IsFolder(folder)) {
        Warn(dialog, r, typed + u"\nPath does not exist.\nCheck the path and try again.");
        return false;
    }
    if ((r.flags & OFN_FILEMUSTEXIST) && AttributesOf(path) == INVALID_FILE_ATTRIBUTES) {
        Warn(dialog, r, typed + u"\nFile not found.\nCheck the file name and try again.");
        return false;
    }
    r.chosen = path;
    return true;
}

INT_PTR CALLBACK Proc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* r = reinterpret_cast<Request*>(GetWindowLongPtrW(dialog, DWLP_USER));
    switch (message) {
    case WM_INITDIALOG: {
        r = reinterpret_cast<Request*>(lParam);
        SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        HWND types = GetDlgItem(dialog, cmb1);
        for (const Filter& f : r->filters) SendMessageW(types, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(f.label.c_str()));
        SendMessageW(types, CB_SETCURSEL, r->filter, 0);
        SetDlgItemTextW(dialog, edt1, r->name.c_str());
        Fill(dialog, *r);
        SetFocus(GetDlgItem(dialog, edt1));
        return FALSE;
    }
    case WM_COMMAND: {
        if (r == nullptr) return FALSE;
        const int id = LOWORD(wParam), code = HIWORD(wParam);
        HWND list = GetDlgItem(dialog, lst1);
        if (id == lst1 && (code == LBN_SELCHANGE || code == LBN_DBLCLK)) {
            const LRESULT at = SendMessageW(list, LB_GETCURSEL, 0, 0);
            if (at < 0) return TRUE;
            std::u16string item(static_cast<size_t>(SendMessageW(list, LB_GETTEXTLEN, at, 0)) + 1, u'\0');
            SendMessageW(list, LB_GETTEXT, at, reinterpret_cast<LPARAM>(item.data()));
            item.resize(std::char_traits<char16_t>::length(item.c_str()));
            const bool folder = item.size() >= 2 && item.front() == u'[' && item.back() == u']';
            if (folder) item = item.substr(1, item.size() - 2);
            // A folder chosen goes into the name box too: Open then enters it.
            if (code == LBN_SELCHANGE) {
                SetDlgItemTextW(dialog, edt1, item.c_str());
            } else if (Accept(dialog, *r, item)) {
                EndDialog(dialog, IDOK);
            }
            return TRUE;
        }
        if (id == cmb1 && code == CBN_SELCHANGE) {
            const LRESULT at = SendMessageW(GetDlgItem(dialog, cmb1), CB_GETCURSEL, 0, 0);
            if (at >= 0 && static_cast<size_t>(at) < r->filters.size()) r->filter = static_cast<size_t>(at);
            Fill(dialog, *r);
            return TRUE;
        }
        if (id == IDOK) {
            if (Accept(dialog, *r, TextOf(GetDlgItem(dialog, edt1)))) EndDialog(dialog, IDOK);
            return TRUE;
        }
        if (id == IDCANCEL) {
            EndDialog(dialog, IDCANCEL);
            return TRUE;
        }
        return FALSE;
    }
    case WM_CLOSE:
        EndDialog(dialog, IDCANCEL);
        return TRUE;
    default:
        return FALSE;
    }
}

DialogItem Item(uint16_t cls, DWORD style, int x, int y, int cx, int cy, uint32_t id, const char16_t* text) {
    DialogItem item;
    item.style = WS_CHILD | WS_VISIBLE | style;
    item.x = static_cast<int16_t>(x);
    item.y = static_cast<int16_t>(y);
    item.cx = static_cast<int16_t>(cx);
    item.cy = static_cast<int16_t>(cy);
    item.id = id;
    item.windowClass = NameOrOrdinal{true, true, cls, {}};
    item.title = NameOrOrdinal{true, false, 0, text};
    return item;
}

// True with `r.chosen` set on OK; false on Cancel (t_lastError 0) or when
// the dialog could not be made.
bool Run(Request& r) {
    enum : uint16_t { kButton = 0x80, kEdit = 0x81, kStatic = 0x82, kListBox = 0x83, kComboBox = 0x85 };
    DialogTemplate t;
    t.style = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_CENTER | DS_SETFONT;
    t.cx = 250;
    t.cy = 150;
    t.title = r.title;
    t.hasFont = true;
    t.pointSize = 8;
    t.face = u"MS Shell Dlg";
    t.items = {
        Item(kStatic, SS_LEFT | SS_NOPREFIX, 7, 7, 40, 9, stc4, u"Look in:"),
        Item(kStatic, SS_LEFT | SS_NOPREFIX, 50, 7, 193, 9, kFolderLabel, u""),
        Item(kListBox, LBS_NOTIFY | LBS_NOINTEGRALHEIGHT | WS_VSCROLL | WS_BORDER | WS_TABSTOP, 7, 19, 236, 72, lst1, u""),
        Item(kStatic, SS_LEFT, 7, 99, 50, 9, stc3, u"File &name:"),
        Item(kEdit, ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP, 60, 97, 126, 12, edt1, u""),
        Item(kStatic, SS_LEFT, 7, 117, 50, 9, stc2, u"Files of &type:"),
        Item(kComboBox, CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP, 60, 115, 126, 60, cmb1, u""),
        Item(kButton, BS_DEFPUSHBUTTON | WS_TABSTOP, 193, 96, 50, 14, IDOK, u"&Open"),
        Item(kButton, BS_PUSHBUTTON | WS_TABSTOP, 193, 114, 50, 14, IDCANCEL, u"Cancel"),
    };
    HWND dialog = CreateModalDialog(t, r.owner, Proc, reinterpret_cast<LPARAM>(&r));
    if (dialog == nullptr) {
        t_lastError = CDERR_INITIALIZATION;
        return false;
    }
    SendMessageW(dialog, DM_SETDEFID, IDOK, 0);
    return RunModalDialog(dialog, r.owner) == IDOK;
}

// The common part of both forms: checks, the run, the offsets. `Char` is
// the caller's character type.
template <typename Ofn, typename Char>
BOOL GetOpenFileNameT(Ofn* ofn, size_t oldSize) {
    t_lastError = 0;
    if (ofn == nullptr || (ofn->lStructSize != sizeof(Ofn) && ofn->lStructSize != oldSize)) {
        t_lastError = CDERR_STRUCTSIZE;
        return FALSE;
    }
    if (ofn->lpstrFile == nullptr || ofn->nMaxFile == 0 ||
        (ofn->Flags & (OFN_ENABLEHOOK | OFN_ENABLETEMPLATE | OFN_ENABLETEMPLATEHANDLE | OFN_ALLOWMULTISELECT))) {
        t_lastError = CDERR_INITIALIZATION;
        return FALSE;
    }
    const auto wide = [](const Char* text) {
        std::u16string out;
        for (size_t i = 0; text != nullptr && text[i] != 0 && i < 32768; ++i) {
            out.push_back(static_cast<char16_t>(static_cast<std::make_unsigned_t<Char>>(text[i])));
        }
        return out;
    };
    Request r;
    r.owner = ofn->hwndOwner;
    r.title = ofn->lpstrTitle ? wide(ofn->lpstrTitle) : u"Open";
    r.filters = ParseFilters(SplitDoubleZero(ofn->lpstrFilter));
    r.filter = ofn->nFilterIndex >= 1 && ofn->nFilterIndex <= r.filters.size() ? ofn->nFilterIndex - 1 : 0;
    r.flags = ofn->Flags;
    r.defaultExtension = wide(ofn->lpstrDefExt);
    if (r.defaultExtension.size() > 3) r.defaultExtension.resize(3);  // the system uses the first three
    // The buffer's own text, bounded by its stated size.
    std::u16string initial;
    for (DWORD i = 0; i < ofn->nMaxFile && ofn->lpstrFile[i] != 0; ++i) {
        initial.push_back(static_cast<char16_t>(static_cast<std::make_unsigned_t<Char>>(ofn->lpstrFile[i])));
    }
    r.folder = ofn->lpstrInitialDir ? wide(ofn->lpstrInitialDir) : std::u16string();
    const size_t slash = initial.find_last_of(u'\\');
    if (slash != std::u16string::npos && IsAbsolute(initial)) {
        if (r.folder.empty()) r.folder = ParentOf(initial);
        initial = initial.substr(slash + 1);
    }
    if (r.folder.empty() || !IsFolder(r.folder)) r.folder = u"C:\\";
    while (r.folder.size() > 3 && r.folder.back() == u'\\') r.folder.pop_back();
    r.name = initial;
    if (!Run(r)) return FALSE;

    if (r.chosen.size() + 1 > ofn->nMaxFile) {
        // The size it needs, in the first two bytes of the buffer.
        const WORD need = static_cast<WORD>(std::min<size_t>(r.chosen.size() + 1, 0xFFFF));
        if (ofn->nMaxFile * sizeof(Char) >= sizeof need) std::memcpy(ofn->lpstrFile, &need, sizeof need);
        t_lastError = FNERR_BUFFERTOOSMALL;
        return FALSE;
    }
    for (size_t i = 0; i < r.chosen.size(); ++i) ofn->lpstrFile[i] = static_cast<Char>(r.chosen[i]);
    ofn->lpstrFile[r.chosen.size()] = 0;
    const size_t nameAt = r.chosen.find_last_of(u'\\') + 1;
    const size_t dot = r.chosen.find_last_of(u'.');
    ofn->nFileOffset = static_cast<WORD>(nameAt);
    ofn->nFileExtension = static_cast<WORD>(dot != std::u16string::npos && dot > nameAt ? dot + 1 : r.chosen.size());
    ofn->nFilterIndex = static_cast<DWORD>(r.filter + 1);
    if (ofn->lpstrFileTitle != nullptr && ofn->nMaxFileTitle > 0) {
        const std::u16string title = r.chosen.substr(nameAt);
        const size_t n = std::min<size_t>(title.size(), ofn->nMaxFileTitle - 1);
        for (size_t i = 0; i < n; ++i) ofn->lpstrFileTitle[i] = static_cast<Char>(title[i]);
        ofn->lpstrFileTitle[n] = 0;
    }
    return TRUE;
}

}  // namespace

}  // namespace qk::ui

BOOL GetOpenFileNameA(LPOPENFILENAMEA ofn) {
    return qk::ui::GetOpenFileNameT<OPENFILENAMEA, char>(ofn, OPENFILENAME_SIZE_VERSION_400A);
}

BOOL GetOpenFileNameW(LPOPENFILENAMEW ofn) {
    return qk::ui::GetOpenFileNameT<OPENFILENAMEW, char16_t>(ofn, OPENFILENAME_SIZE_VERSION_400W);
}

DWORD CommDlgExtendedError(void) { return qk::ui::t_lastError; }
