// Dialogs from templates compiled by the resource compiler: layout in
// dialog units, the messages a dialog procedure sees, modal loops ending,
// keyboard navigation, strings; and damaged templates refused.
#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/ui/dialog_template.h"
#include "platform/ui/tests/ui_test.h"
#include "wingdi.h"

namespace qk::ui::testing {
namespace {

struct DialogLog {
    std::vector<std::string> names;
    std::vector<std::pair<WORD, WORD>> commands;  // id, code
    INT_PTR endOnInit = -1;
};
DialogLog* g_log = nullptr;

INT_PTR CALLBACK RecordingDialog(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (!g_log) return FALSE;
    if (message == WM_SETFONT || message == WM_INITDIALOG) g_log->names.push_back(MessageName(message));
    if (message == WM_INITDIALOG && g_log->endOnInit >= 0) PostMessageW(dialog, WM_USER, 0, 0);
    if (message == WM_USER) EndDialog(dialog, g_log->endOnInit);
    if (message == WM_COMMAND) {
        g_log->commands.push_back({LOWORD(wParam), HIWORD(wParam)});
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) EndDialog(dialog, LOWORD(wParam));
        return TRUE;
    }
    return message == WM_INITDIALOG;
}

class DialogTest : public UiTest {
protected:
    void SetUp() override {
        UiTest::SetUp();
        std::filesystem::create_directories(Root() / "Windows" / "System32");
        std::filesystem::copy_file(QK_TEST_DIALOGS, Root() / "Windows" / "System32" / "Dialogs.crl");
        module_ = LoadLibraryExW(u"Dialogs.crl", nullptr, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(module_, nullptr);
        g_log = &log_;
    }
    void TearDown() override {
        g_log = nullptr;
        FreeLibrary(module_);
        UiTest::TearDown();
    }
    RECT ControlRect(HWND dialog, int id) {
        RECT r;
        GetWindowRect(GetDlgItem(dialog, id), &r);
        MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&r), 2);
        return r;
    }

    HMODULE module_ = nullptr;
    DialogLog log_;
};

TEST_F(DialogTest, ControlsArePlacedInDialogUnitsOfTheTemplateFont) {
    HWND dialog = CreateDialogParamW(module_, MAKEINTRESOURCEW(200), nullptr, RecordingDialog, 0);
    ASSERT_NE(dialog, nullptr);
    EXPECT_TRUE(SameMessages({"WM_SETFONT", "WM_INITDIALOG"}, log_.names));
    for (int id : {1001, 1002, 1003, 1004, IDOK, IDCANCEL}) {
        SCOPED_TRACE(id);
        EXPECT_NE(GetDlgItem(dialog, id), nullptr);
    }
    RECT expected{40, 7, 40 + 110, 7 + 14};
    MapDialogRect(dialog, &expected);
    const RECT edit = ControlRect(dialog, 1001);
    EXPECT_EQ(edit.left, expected.left);
    EXPECT_EQ(edit.top, expected.top);
    EXPECT_EQ(edit.right, expected.right);
    EXPECT_EQ(edit.bottom, expected.bottom);
    // 8-point "MS Shell Dlg": 4 horizontal units are one average character.
    const LONG base = GetDialogBaseUnits();
    RECT four{0, 0, 4, 8};
    MapDialogRect(dialog, &four);
    EXPECT_EQ(four.right, LOWORD(base));
    EXPECT_EQ(four.bottom, HIWORD(base));

    RECT client;
    GetClientRect(dialog, &client);
    RECT size{0, 0, 160, 100};
    MapDialogRect(dialog, &size);
    EXPECT_EQ(client.right, size.right);
    EXPECT_EQ(client.bottom, size.bottom);
    char16_t title[32];
    GetWindowTextW(dialog, title, 32);
    EXPECT_EQ(std::u16string(title), u"Settings");
    // Every control got the dialog's font.
    EXPECT_EQ(SendDlgItemMessageW(dialog, 1004, WM_GETFONT, 0, 0), SendMessageW(dialog, WM_GETFONT, 0, 0));
    EXPECT_FALSE(IsWindowVisible(dialog)) << "no WS_VISIBLE in the template";
    DestroyWindow(dialog);
}

TEST_F(DialogTest, TheClassicFormMakesAChildDialog) {
    HWND parent = CreateWindowExW(0, u"Recorder", u"", WS_POPUP | WS_VISIBLE, 0, 0, 300, 200, nullptr, nullptr, nullptr, nullptr);
    HWND dialog = CreateDialogParamA(module_, MAKEINTRESOURCEA(201), parent, RecordingDialog, 0);
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(GetParent(dialog), parent);
    RECT r;
    GetWindowRect(dialog, &r);
    RECT at{10, 20, 0, 0};
    MapDialogRect(dialog, &at);
    EXPECT_EQ(r.left, at.left);
    EXPECT_EQ(r.top, at.top);
    EXPECT_NE(GetDlgItem(dialog, 1141), nullptr);
    EXPECT_EQ(GetWindowLongW(GetDlgItem(dialog, 1141), GWL_STYLE) & BS_LEFTTEXT, BS_LEFTTEXT);
    EXPECT_EQ(CreateDialogParamW(module_, MAKEINTRESOURCEW(999), parent, RecordingDialog, 0), nullptr);
    DestroyWindow(parent);
    EXPECT_FALSE(IsWindow(dialog));
}

TEST_F(DialogTest, ModalLoopsEndWithEndDialogAndReenableTheOwner) {
    HWND owner = CreateWindowExW(0, u"Recorder", u"", WS_POPUP | WS_VISIBLE, 0, 0, 300, 200, nullptr, nullptr, nullptr, nullptr);
    log_.endOnInit = 42;
    bool ownerDisabledDuring = false;
    const INT_PTR result = DialogBoxParamW(module_, MAKEINTRESOURCEW(200), owner, [](HWND d, UINT m, WPARAM w, LPARAM l) -> INT_PTR {
        // Inside the modal loop (the posted message), not yet in WM_INITDIALOG.
        if (m == WM_USER) {
            g_log->names.push_back(IsWindowEnabled(GetParent(d)) ? "owner enabled" : "owner disabled");
        }
        return RecordingDialog(d, m, w, l);
    }, 0);
    for (const auto& n : log_.names) ownerDisabledDuring |= n == "owner disabled";
    EXPECT_EQ(result, 42);
    EXPECT_TRUE(ownerDisabledDuring);
    EXPECT_TRUE(IsWindowEnabled(owner));
    EXPECT_EQ(DialogBoxParamW(module_, MAKEINTRESOURCEW(999), owner, RecordingDialog, 0), -1);
    DestroyWindow(owner);
}

TEST_F(DialogTest, KeysMoveBetweenControlsAndPressTheDefaultButtons) {
    HWND dialog = CreateDialogParamW(module_, MAKEINTRESOURCEW(200), nullptr, RecordingDialog, 0);
    ShowWindow(dialog, SW_SHOW);
    SetFocus(GetDlgItem(dialog, 1001));
    auto press = [&](UINT vk) {
        InjectKey(vk, true);
        InjectKey(vk, false);
        MSG m;
        while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
            if (!IsDialogMessageW(dialog, &m)) {
                TranslateMessage(&m);
                DispatchMessageW(&m);
            }
        }
    };
    // Tab order: edit, the checked radio button's group (Small), Remember, OK, Cancel.
    CheckRadioButton(dialog, 1002, 1003, 1002);
    press(VK_TAB);
    EXPECT_EQ(GetFocus(), GetDlgItem(dialog, 1002));
    press(VK_DOWN);
    EXPECT_EQ(GetFocus(), GetDlgItem(dialog, 1003)) << "arrows move within the group";
    EXPECT_EQ(IsDlgButtonChecked(dialog, 1003), BST_CHECKED) << "and choose the radio button";
    EXPECT_EQ(IsDlgButtonChecked(dialog, 1002), BST_UNCHECKED);
    press(VK_TAB);
    EXPECT_EQ(GetFocus(), GetDlgItem(dialog, 1004));
    press(VK_SPACE);
    EXPECT_EQ(IsDlgButtonChecked(dialog, 1004), BST_CHECKED) << "space presses the focused button";
    InjectKey(VK_SHIFT, true);
    press(VK_TAB);
    InjectKey(VK_SHIFT, false);
    EXPECT_EQ(GetFocus(), GetDlgItem(dialog, 1003)) << "shift+tab goes back";

    // Typing reaches the edit; Enter presses the default button.
    SetFocus(GetDlgItem(dialog, 1001));
    press('Q');
    char16_t text[8];
    GetDlgItemTextW(dialog, 1001, text, 8);
    EXPECT_EQ(std::u16string(text), u"q");
    log_.commands.clear();
    press(VK_RETURN);
    ASSERT_FALSE(log_.commands.empty());
    EXPECT_EQ(log_.commands.back(), (std::pair<WORD, WORD>{IDOK, BN_CLICKED}));
    press(VK_ESCAPE);
    EXPECT_EQ(log_.commands.back(), (std::pair<WORD, WORD>{IDCANCEL, BN_CLICKED}));
    DestroyWindow(dialog);
}

TEST_F(DialogTest, StringsAreReadFromTheirBlocks) {
    char16_t text[32];
    EXPECT_EQ(LoadStringW(module_, 4, text, 32), 4);
    EXPECT_EQ(std::u16string(text), u"Four");
    EXPECT_EQ(LoadStringW(module_, 17, text, 32), 9) << "second block";
    EXPECT_EQ(LoadStringW(module_, 57713, text, 32), 14);
    EXPECT_EQ(std::u16string(text), u"Hide the panel");
    EXPECT_EQ(LoadStringW(module_, 57712, text, 5), 4) << "truncated to the buffer";
    EXPECT_EQ(std::u16string(text), u"Show");
    EXPECT_EQ(LoadStringW(module_, 5, text, 32), 0) << "an empty slot of a block";
    EXPECT_EQ(LoadStringW(module_, 300, text, 32), 0) << "a missing block";
    const char16_t* direct = nullptr;
    EXPECT_EQ(LoadStringW(module_, 4, reinterpret_cast<LPWSTR>(&direct), 0), 4);
    EXPECT_EQ(std::u16string(direct, 4), u"Four");
    char ansi[8];
    EXPECT_EQ(LoadStringA(module_, 4, ansi, 8), 4);
    EXPECT_STREQ(ansi, "Four");
}

struct BoxProbe {
    std::u16string caption;
    bool hasYes = false, hasNo = false, hasCancel = false;
    UINT key = VK_ESCAPE;
};
BoxProbe* g_probe = nullptr;

TEST_F(DialogTest, MessageBoxesAreModalAndReturnTheButtonChosen) {
    struct Case {
        const char* name;
        UINT type;
        UINT key;
        int expected;
        bool yes, no, cancel;
    } cases[] = {
        {"enter presses the default button", MB_YESNOCANCEL | MB_ICONQUESTION, VK_RETURN, IDYES, true, true, true},
        {"escape cancels", MB_YESNOCANCEL, VK_ESCAPE, IDCANCEL, true, true, true},
        {"a plain box", MB_OK, VK_RETURN, IDOK, false, false, false},
    };
    HWND owner = CreateWindowExW(0, u"Recorder", u"", WS_POPUP | WS_VISIBLE, 0, 0, 300, 200, nullptr, nullptr, nullptr, nullptr);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BoxProbe probe;
        probe.key = c.key;
        g_probe = &probe;
        // Once the box runs its loop, look at it and press the key.
        SetTimer(nullptr, 0, 20, [](HWND, UINT, UINT_PTR id, DWORD) {
            KillTimer(nullptr, id);
            HWND box = GetActiveWindow();
            char16_t caption[64] = {};
            GetWindowTextW(box, caption, 64);
            g_probe->caption = caption;
            g_probe->hasYes = GetDlgItem(box, IDYES) != nullptr;
            g_probe->hasNo = GetDlgItem(box, IDNO) != nullptr;
            g_probe->hasCancel = GetDlgItem(box, IDCANCEL) != nullptr;
            InjectKey(g_probe->key, true);
            InjectKey(g_probe->key, false);
        });
        const int result = MessageBoxA(owner, "Do you want to protect the camera with a password now?", "Viewing Lock", c.type);
        EXPECT_EQ(result, c.expected);
        EXPECT_EQ(probe.caption, u"Viewing Lock");
        EXPECT_EQ(probe.hasYes, c.yes);
        EXPECT_EQ(probe.hasNo, c.no);
        EXPECT_EQ(probe.hasCancel, c.cancel);
        EXPECT_TRUE(IsWindowEnabled(owner)) << "the owner is given back";
    }
    g_probe = nullptr;
    DestroyWindow(owner);
}

TEST(DialogTemplate, EveryTruncationOfARealTemplateIsRefused) {
    std::ifstream in(QK_TEST_DIALOGS, std::ios::binary);
    std::vector<uint8_t> module{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    // The DLGTEMPLATEEX header starts with 01 00 FF FF.
    size_t start = 0;
    for (size_t i = 0; i + 4 < module.size(); ++i) {
        if (module[i] == 1 && module[i + 1] == 0 && module[i + 2] == 0xFF && module[i + 3] == 0xFF) {
            start = i;
            break;
        }
    }
    ASSERT_GT(start, 0u);
    DialogTemplate t;
    std::string error;
    std::span<const uint8_t> all(module.data() + start, module.size() - start);
    ASSERT_TRUE(ParseDialogTemplate(all, &t, &error)) << error;
    EXPECT_TRUE(t.extended);
    EXPECT_EQ(t.items.size(), 7u);
    EXPECT_EQ(t.face, u"MS Shell Dlg");
    EXPECT_EQ(t.pointSize, 8);
    EXPECT_EQ(t.items[1].id, 1001u);
    EXPECT_TRUE(t.items[1].windowClass.isOrdinal);
    EXPECT_EQ(PredefinedClassName(t.items[1].windowClass.ordinal), u"Edit");
    // The last item ends somewhere before the end of `all`: every shorter
    // prefix up to that point must be refused, never read past.
    size_t refused = 0;
    for (size_t n = 0; n < 200; ++n) {
        DialogTemplate partial;
        if (!ParseDialogTemplate(all.first(n), &partial, &error)) ++refused;
    }
    EXPECT_GT(refused, 150u);
}

}  // namespace
}  // namespace qk::ui::testing
