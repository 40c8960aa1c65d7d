// The file-open dialog driven as a user drives it: a timer on the dialog's
// own thread plays steps (look at the list, type, press OK, answer a warning)
// while GetOpenFileName runs its modal loop.
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "commdlg.h"
#include "platform/ui/tests/ui_test.h"

namespace qk::ui::testing {
namespace {

using Step = std::function<void(HWND front)>;
std::vector<Step>* g_steps = nullptr;
size_t g_next = 0;

// One step a tick, on whatever window is active then (the dialog, or a
// warning it shows). Steps that leave the dialog open are a failure, not a
// hang: once they are played, whatever is in front is cancelled.
void PlaySteps(std::vector<Step>& steps) {
    g_steps = &steps;
    g_next = 0;
    SetTimer(nullptr, 0, 30, [](HWND, UINT, UINT_PTR id, DWORD) {
        if (g_steps == nullptr) {
            KillTimer(nullptr, id);
        } else if (g_next < g_steps->size()) {
            (*g_steps)[g_next++](GetActiveWindow());
        } else if (++g_next > g_steps->size() + 20) {
            ADD_FAILURE() << "the dialog was still open after its steps";
            PostMessageW(GetActiveWindow(), WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
        }
    });
}

std::vector<std::string> ListOf(HWND dialog) {
    HWND list = GetDlgItem(dialog, lst1);
    std::vector<std::string> items;
    const LRESULT count = SendMessageW(list, LB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        char16_t text[260] = {};
        SendMessageW(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(text));
        items.emplace_back(text, text + std::char_traits<char16_t>::length(text));
    }
    return items;
}

std::string Text(HWND window) {
    char text[260] = {};
    GetWindowTextA(window, text, sizeof text);
    return text;
}

Step Type(const char* text) {
    return [text](HWND dialog) { SetDlgItemTextA(dialog, edt1, text); };
}
Step Press(int id) {
    return [id](HWND front) { PostMessageW(front, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0); };
}

class FileDialogTest : public UiTest {
protected:
    void SetUp() override {
        UiTest::SetUp();
        const auto folder = Root() / "Effects";
        std::filesystem::create_directories(folder / "More");
        for (const char* name : {"glow.vfz", "Rain.VFZ", "notes.txt"}) std::ofstream(folder / name) << "effect";
        std::ofstream(folder / "More" / "snow.vfz") << "effect";
        std::memset(file_, 0, sizeof file_);
        ofn_ = {};
        ofn_.lStructSize = sizeof ofn_;
        ofn_.lpstrFilter = "Video effect files (*.vfz)\0*.vfz\0All files (*.*)\0*.*\0";
        ofn_.lpstrFile = file_;
        ofn_.nMaxFile = sizeof file_;
        ofn_.lpstrInitialDir = "C:\\Effects";
        ofn_.lpstrTitle = "Import";
        ofn_.lpstrDefExt = "vfz";
        ofn_.Flags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY;
    }

    char file_[MAX_PATH];
    OPENFILENAMEA ofn_;
};

TEST_F(FileDialogTest, TheListFollowsTheFilterAndTheFoldersAndOkHandsBackTheCompletedPath) {
    std::vector<std::string> first, all, inner;
    std::string caption, folderShown;
    std::vector<Step> steps = {
        [&](HWND d) {
            std::filesystem::create_directories(QK_UI_ARTEFACTS);
            std::string error;
            EXPECT_TRUE(qk::ui::SaveWindowPng(d, QK_UI_ARTEFACTS "/file_dialog.png", &error)) << error;
            caption = Text(d);
            folderShown = Text(GetDlgItem(d, stc1));
            first = ListOf(d);
        },
        // The second filter shows every file; back to the first.
        [&](HWND d) {
            SendMessageW(GetDlgItem(d, cmb1), CB_SETCURSEL, 1, 0);
            SendMessageW(d, WM_COMMAND, MAKEWPARAM(cmb1, CBN_SELCHANGE), 0);
            all = ListOf(d);
            SendMessageW(GetDlgItem(d, cmb1), CB_SETCURSEL, 0, 0);
            SendMessageW(d, WM_COMMAND, MAKEWPARAM(cmb1, CBN_SELCHANGE), 0);
        },
        Type("More"), Press(IDOK),
        [&](HWND d) { inner = ListOf(d); },
        // A name without an extension gets the default one.
        Type("snow"), Press(IDOK),
    };
    PlaySteps(steps);
    ASSERT_TRUE(GetOpenFileNameA(&ofn_)) << CommDlgExtendedError();
    EXPECT_EQ(caption, "Import");
    EXPECT_EQ(folderShown, "C:\\Effects");
    EXPECT_EQ(first, (std::vector<std::string>{"[..]", "[More]", "glow.vfz", "Rain.VFZ"}));
    EXPECT_EQ(all, (std::vector<std::string>{"[..]", "[More]", "glow.vfz", "notes.txt", "Rain.VFZ"}));
    EXPECT_EQ(inner, (std::vector<std::string>{"[..]", "snow.vfz"}));
    EXPECT_STREQ(file_, "C:\\Effects\\More\\snow.vfz");
    EXPECT_EQ(ofn_.nFileOffset, std::strlen("C:\\Effects\\More\\"));
    EXPECT_EQ(ofn_.nFileExtension, std::strlen("C:\\Effects\\More\\snow."));
    EXPECT_EQ(ofn_.nFilterIndex, 1u);
}

TEST_F(FileDialogTest, AMissingFileIsWarnedAboutAndTheDialogStaysUntilAChoiceOrCancel) {
    std::string warning;
    bool warned = false, stayed = false;
    std::vector<Step> steps = {
        Type("nothing.vfz"), Press(IDOK),
        [&](HWND box) {
            warning = Text(box);
            warned = GetDlgItem(box, lst1) == nullptr && GetDlgItem(box, IDOK) != nullptr;
            PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        },
        [&](HWND d) { stayed = GetDlgItem(d, lst1) != nullptr; },
        // A double-click on a file in the list chooses it.
        [&](HWND d) {
            HWND list = GetDlgItem(d, lst1);
            SendMessageW(list, LB_SETCURSEL, 2, 0);  // glow.vfz after [..] and [More]
            SendMessageW(d, WM_COMMAND, MAKEWPARAM(lst1, LBN_DBLCLK), reinterpret_cast<LPARAM>(list));
        },
    };
    PlaySteps(steps);
    ASSERT_TRUE(GetOpenFileNameA(&ofn_)) << CommDlgExtendedError();
    EXPECT_TRUE(warned) << "a message box came in front";
    EXPECT_EQ(warning, "Import") << "the warning carries the dialog's title";
    EXPECT_TRUE(stayed);
    EXPECT_STREQ(file_, "C:\\Effects\\glow.vfz");

    std::vector<Step> cancel = {Press(IDCANCEL)};
    PlaySteps(cancel);
    EXPECT_FALSE(GetOpenFileNameA(&ofn_));
    EXPECT_EQ(CommDlgExtendedError(), 0u) << "Cancel is no error";
}

TEST_F(FileDialogTest, BadRequestsAreRefusedWithTheirErrorAndATooSmallBufferSaysWhatItNeeds) {
    OPENFILENAMEA bad = ofn_;
    bad.lStructSize = 12;
    EXPECT_FALSE(GetOpenFileNameA(&bad));
    EXPECT_EQ(CommDlgExtendedError(), static_cast<DWORD>(CDERR_STRUCTSIZE));
    EXPECT_FALSE(GetOpenFileNameA(nullptr));
    EXPECT_EQ(CommDlgExtendedError(), static_cast<DWORD>(CDERR_STRUCTSIZE));
    bad = ofn_;
    bad.Flags |= OFN_ENABLEHOOK;
    EXPECT_FALSE(GetOpenFileNameA(&bad));
    EXPECT_EQ(CommDlgExtendedError(), static_cast<DWORD>(CDERR_INITIALIZATION));
    bad = ofn_;
    bad.lpstrFile = nullptr;
    EXPECT_FALSE(GetOpenFileNameA(&bad));
    EXPECT_EQ(CommDlgExtendedError(), static_cast<DWORD>(CDERR_INITIALIZATION));

    // The old, shorter structure is taken; the path does not fit 8 characters.
    char small[8] = {};
    OPENFILENAMEA tight = ofn_;
    tight.lStructSize = OPENFILENAME_SIZE_VERSION_400A;
    tight.lpstrFile = small;
    tight.nMaxFile = sizeof small;
    std::vector<Step> steps = {Type("glow"), Press(IDOK)};
    PlaySteps(steps);
    EXPECT_FALSE(GetOpenFileNameA(&tight));
    EXPECT_EQ(CommDlgExtendedError(), static_cast<DWORD>(FNERR_BUFFERTOOSMALL));
    WORD need = 0;
    std::memcpy(&need, small, sizeof need);
    EXPECT_EQ(need, std::strlen("C:\\Effects\\glow.vfz") + 1);
}

}  // namespace
}  // namespace qk::ui::testing
