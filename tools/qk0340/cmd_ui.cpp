// qk0340 ui gallery|show: the console's dialogs as its resource library
// builds them, through the same loader and dialog calls the console makes,
// saved as pictures (and, for the gallery, one contact sheet of them all).

#include <cairo.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "outside/SkinHook/skin_descriptors.h"
#include "platform/ui/presentation.h"
#include "tools/install/machine_session.h"
#include "tools/qk0340/contact_sheet.h"
#include "tools/qk0340/command_registry.h"
#include "windows.h"
#include "winuser.h"

namespace {

using qk::cli::Failure;

constexpr int kFirstTemplate = 115;
constexpr int kLastTemplate = 134;

INT_PTR CALLBACK Passive(HWND, UINT message, WPARAM, LPARAM) { return message == WM_INITDIALOG; }

// The pieces each window of the console takes (its own, then its child
// controls by identifier), and pictures the console sets by message.
struct ChildPiece {
    uint32_t id;
    const char* piece;
};
struct SkinPlan {
    int number;
    const char* piece;
    std::vector<ChildPiece> children;
    std::vector<ChildPiece> buttonPictures;  // WM_HKBUTTON_FUNCTION 6
    std::vector<ChildPiece> staticPictures;  // WM_HKSTATIC_FUNCTION 2
};

const SkinPlan* PlanFor(int number) {
    static const std::vector<SkinPlan> plans = {
        {120, "BG.png", {{1057, "Minimize.png"}, {1058, "Close.png"}, {1059, "Button_Special.png"}, {1107, "Setting.png"}}, {}, {}},
        {134, "BG3.png", {{1141, "TabsButton.png"}, {1142, "TabsButton.png"}}, {{1141, "BrioView.png"}, {1142, "BrioAudio.png"}}, {}},
        {127, "InfoPanelWnd.png", {{1141, "TabsButton.png"}, {1142, "TabsButton.png"}}, {{1141, "BrioView.png"}, {1142, "BrioAudio.png"}}, {}},
        {118, "InfoPanelWnd.png",
         {{1001, "PT_BttnC.png"}, {1002, "PT_BttnL.png"}, {1003, "PT_BttnR.png"}, {1004, "PT_BttnT.png"}, {1005, "PT_BttnD.png"},
          {1009, "PTBttnZ_in.png"}, {1008, "PTBttnZ_out.png"}, {1040, "PT_BttnLU.png"}, {1042, "PT_BttnRU.png"},
          {1046, "PT_BttnLD.png"}, {1049, "PT_BttnRD.png"}},
         {}, {}},
        {128, "InfoPanelWnd.png", {{1151, "Area_Disabled.png"}}, {}, {{1151, "Area_Center.png"}}},
    };
    for (const SkinPlan& p : plans) {
        if (p.number == number) return &p;
    }
    static const SkinPlan panel{0, "InfoPanelWnd.png", {}, {}, {}};
    return &panel;
}

// The skinning library as the console binds it: from the console's folder
// of the Windows directory, by name, through its one export.
class Skinner {
public:
    Skinner() {
        library_ = LoadLibraryA("C:\\Windows\\TWAIN_32\\Lumora\\QK0340\\SkinHook.DLL");
        if (library_) entry_ = reinterpret_cast<skinhook::CallSkinHookFn>(reinterpret_cast<void*>(GetProcAddress(library_, "CallSkinHook")));
    }
    ~Skinner() {
        if (library_) FreeLibrary(library_);
    }
    bool Ready() const { return entry_ != nullptr; }

    // Attaches the plan's skin to `dialog`; 0 when it could not.
    DWORD_PTR Attach(HWND dialog, const SkinPlan& plan) {
        if (!entry_) return 0;
        const DWORD_PTR skin = entry_(skinhook::kCreate, 0, 0, 0, 0);
        if (!skin) return 0;
        std::vector<skinhook::ControlStyle> styles;
        styles.reserve(plan.children.size());
        std::vector<skinhook::ChildDescriptor> children;
        for (const ChildPiece& c : plan.children) {
            styles.push_back({sizeof(skinhook::ControlStyle), 2, c.piece, {}});
            children.push_back({sizeof(skinhook::ChildDescriptor), c.id, &styles.back()});
        }
        const skinhook::SkinDescriptor d{sizeof(skinhook::SkinDescriptor), "C:\\Windows\\System32\\K0340Cvw.bff",
                                         skinhook::kNamedPiece, plan.piece, {}, static_cast<uint32_t>(children.size()),
                                         children.empty() ? nullptr : children.data()};
        if (!entry_(skinhook::kAttach, skin, 0, reinterpret_cast<DWORD_PTR>(dialog), reinterpret_cast<DWORD_PTR>(&d))) {
            entry_(skinhook::kDestroy, skin, 0, 0, 0);
            return 0;
        }
        const UINT buttonFunction = RegisterWindowMessageA(skinhook::kButtonFunction);
        const UINT staticFunction = RegisterWindowMessageA(skinhook::kStaticFunction);
        for (const ChildPiece& c : plan.buttonPictures) {
            SendDlgItemMessageA(dialog, static_cast<int>(c.id), buttonFunction, 6, reinterpret_cast<LPARAM>(c.piece));
        }
        for (const ChildPiece& c : plan.staticPictures) {
            SendDlgItemMessageA(dialog, static_cast<int>(c.id), staticFunction, 2, reinterpret_cast<LPARAM>(c.piece));
        }
        return skin;
    }
    void Release(DWORD_PTR skin) {
        if (entry_ && skin) {
            entry_(skinhook::kDetach, skin, 0, 0, 0);
            entry_(skinhook::kDestroy, skin, 0, 0, 0);
        }
    }

private:
    HMODULE library_ = nullptr;
    skinhook::CallSkinHookFn entry_ = nullptr;
};

// A plain window to hold a panel template, which is a child dialog.
HWND HostWindow() {
    // On the machine's desktop; registering again is refused, harmlessly.
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = DefWindowProcW;
    wc.lpszClassName = u"QkGalleryHost";
    wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<ULONG_PTR>(COLOR_BTNFACE + 1));
    RegisterClassExW(&wc);
    return CreateWindowExW(0, u"QkGalleryHost", u"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
}

struct Shot {
    int number;
    std::string file;
    std::string error;
};

// Builds template `number`, skinned when a skinner is given, and saves it;
// the error names what failed.
Shot Photograph(HMODULE library, int number, const std::filesystem::path& file, Skinner* skinner) {
    Shot shot{number, file.string(), ""};
    if (!FindResourceW(library, MAKEINTRESOURCEW(number), MAKEINTRESOURCEW(5))) {
        shot.error = "no such template";
        return shot;
    }
    HWND host = HostWindow();
    HWND dialog = CreateDialogParamW(library, MAKEINTRESOURCEW(number), host, Passive, 0);
    if (!dialog) {
        DestroyWindow(host);
        shot.error = "the template does not build a dialog (error " + std::to_string(GetLastError()) + ")";
        return shot;
    }
    const DWORD_PTR skin = skinner ? skinner->Attach(dialog, *PlanFor(number)) : 0;
    HWND picture = dialog;
    if (GetWindowLongW(dialog, GWL_STYLE) & WS_CHILD) {
        RECT r;
        GetWindowRect(dialog, &r);
        SetWindowPos(dialog, nullptr, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        SetWindowPos(host, nullptr, 0, 0, r.right - r.left, r.bottom - r.top, SWP_NOZORDER | SWP_NOACTIVATE);
        ShowWindow(dialog, SW_SHOW);
        ShowWindow(host, SW_SHOWNA);
        picture = host;
    } else {
        ShowWindow(dialog, SW_SHOW);
    }
    std::string error;
    if (!qk::ui::SaveWindowPng(picture, shot.file, &error)) shot.error = error;
    if (skinner) skinner->Release(skin);
    DestroyWindow(dialog);
    DestroyWindow(host);
    return shot;
}

INT_PTR CALLBACK Closable(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    if (message == WM_INITDIALOG) return TRUE;
    if (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
        DestroyWindow(GetAncestor(dialog, GA_ROOT));
        PostQuitMessage(0);
        return TRUE;
    }
    return FALSE;
}

// Shows the template on the display and runs its messages until it goes;
// -1 when it cannot be built or shown.
int ShowOnDesktop(HMODULE library, int number, Skinner* skinner) {
    HWND host = nullptr;
    HWND dialog = nullptr;
    if (!FindResourceW(library, MAKEINTRESOURCEW(number), MAKEINTRESOURCEW(5))) return -1;
    host = HostWindow();
    dialog = CreateDialogParamW(library, MAKEINTRESOURCEW(number), host, Closable, 0);
    if (!dialog) {
        DestroyWindow(host);
        return -1;
    }
    const DWORD_PTR skin = skinner ? skinner->Attach(dialog, *PlanFor(number)) : 0;
    HWND top = dialog;
    RECT r;
    GetWindowRect(dialog, &r);
    if (GetWindowLongW(dialog, GWL_STYLE) & WS_CHILD) {
        SetWindowPos(dialog, nullptr, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        SetWindowPos(host, nullptr, 200, 150, r.right - r.left, r.bottom - r.top, SWP_NOZORDER | SWP_NOACTIVATE);
        ShowWindow(dialog, SW_SHOW);
        ShowWindow(host, SW_SHOW);
        top = host;
    } else {
        SetWindowPos(dialog, nullptr, 200, 150, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
        ShowWindow(dialog, SW_SHOW);
    }
    if (HWND first = GetNextDlgTabItem(dialog, nullptr, FALSE)) SetFocus(first);
    MSG m;
    while (IsWindow(top) && GetMessageW(&m, nullptr, 0, 0)) {
        if (IsWindow(dialog) && IsDialogMessageW(dialog, &m)) continue;
        TranslateMessage(&m);
        DispatchMessageW(&m);
    }
    if (skinner) skinner->Release(skin);
    if (IsWindow(top)) DestroyWindow(top);
    if (IsWindow(host)) DestroyWindow(host);
    return 0;
}

HMODULE LoadResourceLibrary() {
    HMODULE library = LoadLibraryExW(u"K0340Cvw.crl", nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (!library) {
        throw Failure("the resource library K0340Cvw.crl cannot be loaded from the system folder of the root (error " +
                      std::to_string(GetLastError()) + "); run qk0340 install first");
    }
    return library;
}

struct UiArguments {
    std::string root = "./qk0340-root";
    std::string output;
    int number = 0;
};

void Gallery(const UiArguments& a) {
    std::string error;
    auto session = qk::install::MachineSession::Start(a.root, qk::install::MachineSession::Root::Installed, &error);
    if (!session) throw Failure(error);
    HMODULE library = LoadResourceLibrary();
    Skinner skinner;
    if (!skinner.Ready()) std::cerr << "the skinning library SkinHook.DLL is not installed: the dialogs are shown unskinned\n";
    std::filesystem::create_directories(a.output);
    std::vector<Shot> shots;
    int failed = 0;
    for (int number = kFirstTemplate; number <= kLastTemplate; ++number) {
        if (!FindResourceW(library, MAKEINTRESOURCEW(number), MAKEINTRESOURCEW(5))) continue;
        Shot shot = Photograph(library, number, std::filesystem::path(a.output) / ("template_" + std::to_string(number) + ".png"),
                               skinner.Ready() ? &skinner : nullptr);
        if (!shot.error.empty()) {
            std::cerr << "template " << number << ": " << shot.error << "\n";
            ++failed;
            continue;
        }
        std::cout << shot.file << "\n";
        shots.push_back(shot);
    }
    FreeLibrary(library);
    const auto sheet = std::filesystem::path(a.output) / "contact_sheet.png";
    std::vector<qk::cli::SheetPicture> pictures;
    for (const Shot& shot : shots) pictures.push_back({"Template " + std::to_string(shot.number), shot.file});
    if (!qk::cli::WriteContactSheet(pictures, sheet, &error)) throw Failure("cannot write " + sheet.string() + ": " + error);
    std::cout << sheet.string() << "\n";
    if (failed) throw Failure(std::to_string(failed) + " template(s) failed to load");
}

void Show(const UiArguments& a) {
    std::string error;
    auto session = qk::install::MachineSession::Start(a.root, qk::install::MachineSession::Root::Installed, &error);
    if (!session) throw Failure(error);
    HMODULE library = LoadResourceLibrary();
    if (!FindResourceW(library, MAKEINTRESOURCEW(a.number), MAKEINTRESOURCEW(5))) {
        FreeLibrary(library);
        throw Failure("template " + std::to_string(a.number) + " is not in the resource library");
    }
    Skinner skinner;
    const char* display = std::getenv("DISPLAY");
    if (a.output.empty() && display && *display) {
        // On a desktop: the skinned dialog until the user closes it (Escape,
        // Enter, or a button that ends it).
        const int result = ShowOnDesktop(library, a.number, skinner.Ready() ? &skinner : nullptr);
        FreeLibrary(library);
        if (result < 0) throw Failure("template " + std::to_string(a.number) + " cannot be shown on the display " + display);
        std::cout << "closed\n";
        return;
    }
    const std::string file = a.output.empty() ? "template_" + std::to_string(a.number) + ".png" : a.output;
    Shot shot = Photograph(library, a.number, file, skinner.Ready() ? &skinner : nullptr);
    FreeLibrary(library);
    if (!shot.error.empty()) throw Failure("template " + std::to_string(a.number) + ": " + shot.error);
    std::cout << shot.file << "\n";
}

struct DisplayArguments {
    std::vector<LONG> area;  // x y width height
    std::string output;
    std::string compare;
};

// The picture in a PNG file as 0x00RRGGBB pixels; empty when it cannot be read.
qk::ui::Picture ReadPng(const std::string& file) {
    qk::ui::Picture p;
    cairo_surface_t* s = cairo_image_surface_create_from_png(file.c_str());
    if (cairo_surface_status(s) == CAIRO_STATUS_SUCCESS) {
        cairo_surface_flush(s);
        p.width = cairo_image_surface_get_width(s);
        p.height = cairo_image_surface_get_height(s);
        const uint8_t* data = cairo_image_surface_get_data(s);
        const int stride = cairo_image_surface_get_stride(s);
        p.pixels.resize(static_cast<size_t>(p.width) * p.height);
        for (int y = 0; y < p.height; ++y) {
            for (int x = 0; x < p.width; ++x) {
                p.pixels[static_cast<size_t>(y) * p.width + x] =
                    reinterpret_cast<const uint32_t*>(data + static_cast<size_t>(y) * stride)[x] & 0xFFFFFF;
            }
        }
    }
    cairo_surface_destroy(s);
    return p;
}

// What the X display shows of an area, as a display shows the console to a
// person; with --compare it must equal a headless picture pixel for pixel.
void Display(const DisplayArguments& a) {
    const RECT area{a.area[0], a.area[1], a.area[0] + a.area[2], a.area[1] + a.area[3]};
    std::string error;
    const qk::ui::Picture shown = qk::ui::CaptureDisplay(area, &error);
    if (shown.pixels.empty()) throw Failure(error);
    if (!a.output.empty() && !qk::ui::SavePicturePng(shown, a.output, &error)) throw Failure("cannot write " + a.output + ": " + error);
    if (a.compare.empty()) return;
    const qk::ui::Picture expected = ReadPng(a.compare);
    if (expected.pixels.empty()) throw Failure("cannot read the picture " + a.compare);
    if (expected.width != shown.width || expected.height != shown.height) {
        throw Failure("the display shows " + std::to_string(shown.width) + " x " + std::to_string(shown.height) + ", " + a.compare +
                      " is " + std::to_string(expected.width) + " x " + std::to_string(expected.height));
    }
    long differing = 0;
    RECT box{shown.width, shown.height, -1, -1};
    for (int y = 0; y < shown.height; ++y) {
        for (int x = 0; x < shown.width; ++x) {
            if (shown.At(x, y) == expected.At(x, y)) continue;
            ++differing;
            box = RECT{std::min<LONG>(box.left, x), std::min<LONG>(box.top, y), std::max<LONG>(box.right, x + 1),
                       std::max<LONG>(box.bottom, y + 1)};
        }
    }
    if (differing != 0) {
        throw Failure(std::to_string(differing) + " of " + std::to_string(shown.pixels.size()) + " pixels differ from " + a.compare +
                      ", within (" + std::to_string(box.left) + ", " + std::to_string(box.top) + ")-(" + std::to_string(box.right) +
                      ", " + std::to_string(box.bottom) + ")");
    }
    std::cout << "the display shows " << a.compare << " exactly (" << shown.width << " x " << shown.height << ")\n";
}

void AddUiCommands(CLI::App& app) {
    auto* ui = app.add_subcommand("ui", "The console's windows: dialogs of the resource library as pictures");
    ui->require_subcommand(1);
    auto args = std::make_shared<UiArguments>();

    auto* gallery = ui->add_subcommand("gallery", "Every dialog template of the installed resource library, with a contact sheet");
    gallery->add_option("--root", args->root, "System root (made by qk0340 install)");
    gallery->add_option("-o,--output", args->output, "Folder for the pictures")->required();
    gallery->callback([args] { Gallery(*args); });

    auto* show = ui->add_subcommand("show", "One dialog template as a picture");
    show->add_option("--root", args->root, "System root (made by qk0340 install)");
    show->add_option("template", args->number, "Template number")->required();
    show->add_option("-o,--output", args->output, "PNG file (default template_N.png)");
    show->callback([args] { Show(*args); });

    auto d = std::make_shared<DisplayArguments>();
    auto* display = ui->add_subcommand("display", "What the X display (DISPLAY) shows of a screen area, as PNG or compared with a picture");
    display->add_option("area", d->area, "X Y WIDTH HEIGHT in screen pixels")->required()->expected(4)->check(CLI::Range(0, 65535));
    display->add_option("-o,--output", d->output, "PNG file for what the display shows");
    display->add_option("--compare", d->compare, "Fail unless the display shows this PNG picture pixel for pixel");
    display->callback([d] { Display(*d); });
}

QK_CLI_COMMAND(AddUiCommands);

}  // namespace
