// The frame side of `qk0340 vfw dialog` (see vfw_frame.h); no command of its own.
#include <filesystem>
#include <memory>

#include "commctrl.h"
#include "platform/olepro/olepro.h"
#include "platform/ui/presentation.h"
#include "tools/qk0340/vfw_frame.h"
#include "winuser.h"

namespace qk::cli::vfw {
namespace {

FrameVisit* g_visit = nullptr;
std::string g_screenshot;

std::string Narrow(const char16_t* text) {
    std::string out;
    for (; *text != 0; ++text) out.push_back(*text < 0x80 ? static_cast<char>(*text) : '?');
    return out;
}

std::string PictureName(size_t page) {
    if (page == 0) return g_screenshot;
    std::filesystem::path path(g_screenshot);
    std::filesystem::path named = path.parent_path() / (path.stem().string() + "-" + std::to_string(page + 1) + path.extension().string());
    return named.string();
}

void Visit(HWND, UINT, UINT_PTR id, DWORD) {
    KillTimer(nullptr, id);
    FrameVisit* visit = g_visit;
    HWND frame = GetActiveWindow();
    if (visit == nullptr || frame == nullptr) return;
    visit->shown = true;
    char16_t text[256] = {};
    GetWindowTextW(frame, text, 256);
    visit->caption = Narrow(text);
    HWND tab = GetDlgItem(frame, qk::olepro::kFrameTab);
    const int count = static_cast<int>(SendMessageW(tab, TCM_GETITEMCOUNT, 0, 0));
    for (int i = 0; i < count; ++i) {
        ++visit->pages;
        if (g_screenshot.empty()) continue;
        // The page as a click on its tab shows it.
        SendMessageW(tab, TCM_SETCURSEL, i, 0);
        NMHDR changed{tab, static_cast<UINT_PTR>(qk::olepro::kFrameTab), static_cast<UINT>(TCN_SELCHANGE)};
        SendMessageW(frame, WM_NOTIFY, qk::olepro::kFrameTab, reinterpret_cast<LPARAM>(&changed));
        const std::string file = PictureName(static_cast<size_t>(i));
        std::string error;
        if (qk::ui::SaveWindowPng(frame, file, &error)) {
            visit->pictures.push_back(file);
        } else if (visit->error.empty()) {
            visit->error = file + ": " + error;
        }
    }
    SendMessageW(frame, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
}

}  // namespace

void VisitTheNextFrame(const std::string& screenshot, FrameVisit* visit) {
    g_visit = visit;
    g_screenshot = screenshot;
    SetTimer(nullptr, 0, 20, Visit);
}

}  // namespace qk::cli::vfw
