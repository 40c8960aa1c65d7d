// The window system's costs: repainting a console-sized skinned window (the
// console's own template with its skin and a stack of three open panels)
// beside the same window unskinned and beside the floor, one Cairo fill of
// a surface of that size; and dispatching messages, posted through the
// queue and sent directly, beside calling the window procedure itself.
#include <benchmark/benchmark.h>
#include <cairo.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "console/skin/info_panel.h"
#include "outside/SkinHook/skin_hook.h"
#include "platform/nt/kernel.h"
#include "platform/nt/machine.h"
#include "platform/ui/presentation.h"
#include "platform/win32/code_modules.h"
#include "windows.h"
#include "winuser.h"

namespace {

INT_PTR CALLBACK Passive(HWND, UINT message, WPARAM, LPARAM) { return message == WM_INITDIALOG; }

struct Rig {
    explicit Rig(bool skinned) : root(std::filesystem::temp_directory_path() / ("qk-bench-ui-" + std::to_string(getpid()))) {
        std::filesystem::remove_all(root);
        const auto system = root / "Windows" / "System32";
        const auto folder = root / "Windows" / "TWAIN_32" / "Lumora" / "QK0340";
        std::filesystem::create_directories(system);
        std::filesystem::create_directories(folder);
        std::filesystem::copy_file(QK_SKIN_BUNDLE, system / "K0340Cvw.bff");
        std::filesystem::copy_file(QK_CONSOLE_CRL, system / "K0340Cvw.crl");
        if (skinned) std::ofstream(folder / "SkinHook.DLL") << "linked";
        machine = std::make_unique<qk::Machine>(root);
        qk::nt::Boot(*machine);
        qk::win32::RegisterStaticModule(u"SkinHook.DLL", skinhook::LookupExport);
        resources = LoadLibraryExW(u"K0340Cvw.crl", nullptr, LOAD_LIBRARY_AS_DATAFILE);
        window = CreateDialogParamW(resources, MAKEINTRESOURCEW(120), nullptr, Passive, 0);
        // The console's frame, about 400 x 600 pixels.
        MoveWindow(window, 0, 0, 400, 600, FALSE);
        static skinhook::ControlStyle styles[] = {{sizeof(skinhook::ControlStyle), 2, "Minimize.png", {}},
                                                  {sizeof(skinhook::ControlStyle), 2, "Close.png", {}},
                                                  {sizeof(skinhook::ControlStyle), 2, "Button_Special.png", {}},
                                                  {sizeof(skinhook::ControlStyle), 2, "Setting.png", {}}};
        static skinhook::ChildDescriptor children[] = {{sizeof(skinhook::ChildDescriptor), 1057, &styles[0]},
                                                       {sizeof(skinhook::ChildDescriptor), 1058, &styles[1]},
                                                       {sizeof(skinhook::ChildDescriptor), 1059, &styles[2]},
                                                       {sizeof(skinhook::ChildDescriptor), 1107, &styles[3]}};
        bundle = console::SkinBundlePath();
        const skinhook::SkinDescriptor d{sizeof(skinhook::SkinDescriptor), bundle.c_str(), skinhook::kNamedPiece, "BG.png", {}, 4, children};
        if (skinned) client.AttachSkin(window, &d, console::SkinLibraryFolder().c_str());
        stack = console::InfoPanelWnd::Create(window, 0, 201, MAKELONG(0, HIWORD(WS_VISIBLE)), bundle, "InfoPanelWnd.PNG");
        MoveWindow(stack->Window(), 1, 62, 382, 500, FALSE);
        for (int panel : {121, 117, 131}) {
            HWND dialog = CreateDialogParamW(resources, MAKEINTRESOURCEW(panel), window, Passive, 0);
            ShowWindow(dialog, SW_SHOWNA);
            stack->Insert(dialog, -1, u"Panel", static_cast<UINT>(panel));
        }
        ShowWindow(window, SW_SHOWNA);
        qk::ui::RenderWindow(window);
    }
    ~Rig() {
        stack.reset();
        client.Detach();
        DestroyWindow(window);
        FreeLibrary(resources);
        machine.reset();
        std::filesystem::remove_all(root);
    }
    std::filesystem::path root;
    std::unique_ptr<qk::Machine> machine;
    HMODULE resources = nullptr;
    HWND window = nullptr;
    std::string bundle;
    console::SkinHookClient client;
    std::unique_ptr<console::InfoPanelWnd> stack;
};

void Repaint(benchmark::State& state, bool skinned) {
    Rig rig(skinned);
    for (auto _ : state) {
        RedrawWindow(rig.window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
    }
    state.SetLabel(skinned ? "skinned console window 400x600, 3 open panels" : "the same, unskinned");
}

void BM_RepaintSkinnedConsole(benchmark::State& state) { Repaint(state, true); }
void BM_RepaintUnskinnedConsole(benchmark::State& state) { Repaint(state, false); }

// The floor: one gradient fill of a 400 x 600 surface with Cairo itself.
void BM_CairoFillReference(benchmark::State& state) {
    cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_RGB24, 400, 600);
    for (auto _ : state) {
        cairo_t* cr = cairo_create(s);
        cairo_pattern_t* g = cairo_pattern_create_linear(0, 0, 0, 600);
        cairo_pattern_add_color_stop_rgb(g, 0, 0.2, 0.3, 0.5);
        cairo_pattern_add_color_stop_rgb(g, 1, 0.1, 0.1, 0.2);
        cairo_set_source(cr, g);
        cairo_paint(cr);
        cairo_pattern_destroy(g);
        cairo_destroy(cr);
        cairo_surface_flush(s);
        benchmark::DoNotOptimize(cairo_image_surface_get_data(s));
    }
    cairo_surface_destroy(s);
}

LRESULT CALLBACK Counter(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    static volatile LPARAM sink;
    if (message == WM_USER) {
        sink = sink + lParam;
        return 1;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

struct MessageRig {
    MessageRig() : root(std::filesystem::temp_directory_path() / ("qk-bench-msg-" + std::to_string(getpid()))) {
        std::filesystem::create_directories(root);
        machine = std::make_unique<qk::Machine>(root);
        qk::nt::Boot(*machine);
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = Counter;
        wc.lpszClassName = u"Counter";
        RegisterClassExW(&wc);
        window = CreateWindowExW(0, u"Counter", u"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    }
    ~MessageRig() {
        DestroyWindow(window);
        machine.reset();
        std::filesystem::remove_all(root);
    }
    std::filesystem::path root;
    std::unique_ptr<qk::Machine> machine;
    HWND window = nullptr;
};

void BM_PostAndDispatch(benchmark::State& state) {
    MessageRig rig;
    constexpr int kBatch = 1000;
    for (auto _ : state) {
        for (int i = 0; i < kBatch; ++i) PostMessageW(rig.window, WM_USER, 0, i);
        MSG m;
        while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&m);
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
}

void BM_SendMessage(benchmark::State& state) {
    MessageRig rig;
    for (auto _ : state) benchmark::DoNotOptimize(SendMessageW(rig.window, WM_USER, 0, 1));
    state.SetItemsProcessed(state.iterations());
}

// The anchor: the window procedure called directly.
void BM_DirectCallReference(benchmark::State& state) {
    MessageRig rig;
    for (auto _ : state) benchmark::DoNotOptimize(Counter(rig.window, WM_USER, 0, 1));
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_RepaintSkinnedConsole)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RepaintUnskinnedConsole)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CairoFillReference)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PostAndDispatch)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SendMessage);
BENCHMARK(BM_DirectCallReference);

}  // namespace

BENCHMARK_MAIN();
