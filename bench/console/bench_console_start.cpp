// The console from a host's create command to its first full paint with one
// camera: the instance (the camera enumeration), the integrated window from
// its template with both panel stacks, the first panel open with the
// camera's values read, everything painted; then destroyed. Processor time
// of the whole process, headless. Reference in the same run: the bare
// window template made and painted with no console behind it (what the
// window system itself costs). A machine with the package installed and the
// simulated camera plugged in, set up once.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/console/console_bench_machine.h"
#include "console/k0340cvw.h"
#include "console/resources/resource_ids.h"
#include "console/skin/resource_library.h"

namespace {

constexpr char kCamera[] = "QK0340 Camera";

using Rig = qk::bench::ConsoleBenchMachine;

// Serves the thread's queue until `done` holds (at most 5 s); the stacks
// open their first panel from a timer.
template <class F>
bool PumpUntil(F done) {
    MSG m;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        if (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&m);
            DispatchMessageW(&m);
        } else {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&m);
    return true;
}

bool FirstPanelShows(HWND window) {
    struct Search {
        HWND found = nullptr;
    } search;
    EnumChildWindows(
        window,
        [](HWND hwnd, LPARAM p) -> BOOL {
            if (GetDlgCtrlID(hwnd) != IDC_VIEW_BRIGHTNESS || !IsWindowVisible(hwnd)) return TRUE;
            reinterpret_cast<Search*>(p)->found = hwnd;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found != nullptr;
}

void BM_ConsoleStartToFirstPaint(benchmark::State& state) {
    for (auto _ : state) {
        std::vector<uint8_t> create(k0340cvw::kCreateBlockBytes, 0);
        std::memcpy(create.data() + 4, kCamera, sizeof kCamera);
        if (luCVWEntryPoint(nullptr, k0340cvw::CVW_CMD_CREATE, create.data()) != k0340cvw::CVW_OK) {
            state.SkipWithError("no instance");
            return;
        }
        void* instance = nullptr;
        std::memcpy(&instance, create.data() + 260, sizeof instance);
        std::vector<uint8_t> open(k0340cvw::kOpenWindowBlockBytes, 0);
        const uint32_t size = k0340cvw::kOpenWindowBlockBytes;
        std::memcpy(open.data() + 4, &size, 4);
        HWND window = nullptr;
        if (luCVWEntryPoint(instance, k0340cvw::CVW_CMD_OPEN_WINDOW, open.data()) == k0340cvw::CVW_OK) {
            std::memcpy(&window, open.data() + 8, sizeof window);
        }
        const bool shown = window != nullptr && PumpUntil([&] { return FirstPanelShows(window); });
        if (shown) RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
        uint32_t destroy = 0;
        luCVWEntryPoint(instance, k0340cvw::CVW_CMD_DESTROY, &destroy);
        if (!shown) {
            state.SkipWithError("the console's first panel did not show");
            return;
        }
    }
}

// The bare template of the integrated window, made and painted.
void BM_BareTemplateReference(benchmark::State& state) {
    console::ResourceLibrary resources;
    if (!resources.Loaded()) {
        state.SkipWithError("no resource library");
        return;
    }
    for (auto _ : state) {
        HWND window = CreateDialogParamW(resources.Module(), MAKEINTRESOURCEW(127), nullptr,
                                         [](HWND, UINT, WPARAM, LPARAM) -> INT_PTR { return FALSE; }, 0);
        if (window == nullptr) {
            state.SkipWithError("the template did not make a window");
            return;
        }
        ShowWindow(window, SW_SHOW);
        RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
        DestroyWindow(window);
    }
}

BENCHMARK(BM_ConsoleStartToFirstPaint)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->Iterations(10);
BENCHMARK(BM_BareTemplateReference)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    auto rig = std::make_unique<Rig>("qk-console-start-bench");
    if (!rig->ok) {
        std::fprintf(stderr, "the machine with the camera could not be set up\n");
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    rig.reset();
    benchmark::Shutdown();
    return 0;
}
