// One step of the auto focus panel's slider: WM_HSCROLL to the panel, which
// opens a device session (the system device enumerator, the camera's
// moniker, the proxy's interfaces), writes the focus through the camera
// control and closes the session again, as the console does for every
// change. References in the same run: the session and write without the
// window (what the panel adds is the message and its controls), and one
// bare property request on an open filter handle (what the driver itself
// costs). A machine with the package installed and the simulated camera
// plugged in, set up once.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "capture/k0340_props.h"
#include "commctrl.h"
#include "bench/console/console_bench_machine.h"
#include "console/k0340cvw.h"
#include "console/panels/steering_panels.h"
#include "console/resources/resource_ids.h"
#include "console/skin/resource_library.h"
#include "platform/ks/client.h"
#include "platform/nt/pnp.h"

namespace {

constexpr char kCamera[] = "QK0340 Camera";

struct Rig {
    Rig() : base("qk-panel-bench") {
        ok = base.ok;
        const auto links = qk::nt::pnp::Interfaces(KSCATEGORY_CAPTURE);
        ok = ok && !links.empty() && NT_SUCCESS(qk::ks::client::Filter::Open(links[0].symbolicLink, &filter));

        resources = std::make_unique<console::ResourceLibrary>();
        host = CreateWindowExA(0, "STATIC", "host", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 380, 300, nullptr, nullptr,
                               nullptr, nullptr);
        panel = std::make_unique<k0340cvw::AutoFocusPanel>();
        ok = ok && resources->Loaded() && panel->Create(host, resources->Module(), k0340cvw::ConsoleMode::Standalone);
        if (!ok) return;
        ShowWindow(panel->Window(), SW_SHOW);
        panel->SetDevice(kCamera);
        SendMessageW(GetDlgItem(panel->Window(), IDC_FOCUS_MANUAL), BM_CLICK, 0, 0);
        slider = GetDlgItem(panel->Window(), IDC_FOCUS_SLIDER);
        DeviceSession session{};
        OpenDeviceSession(kCamera, &session);
        ReadControl(&session, k0340cvw::kCameraControl, CameraControl_Focus, &focus);
        CloseDeviceSession(&session);
        ok = focus.valid && IsWindowEnabled(slider);
    }
    ~Rig() {
        panel.reset();
        if (host) DestroyWindow(host);
        resources.reset();
        filter.reset();
    }
    using DeviceSession = k0340cvw::DeviceSession;
    qk::bench::ConsoleBenchMachine base;
    bool ok = false;
    std::unique_ptr<qk::ks::client::Filter> filter;
    std::unique_ptr<console::ResourceLibrary> resources;
    HWND host = nullptr;
    HWND slider = nullptr;
    std::unique_ptr<k0340cvw::AutoFocusPanel> panel;
    k0340cvw::ControlSetting focus{};
};

Rig* g_rig = nullptr;

// Two focus values a step apart, alternated so that every write changes something.
LONG Next(int64_t i) { return g_rig->focus.minimum + (i % 2 == 0 ? 2 : 3) * g_rig->focus.step; }

void BM_PanelSliderStep(benchmark::State& state) {
    int64_t i = 0;
    for (auto _ : state) {
        SendMessageW(g_rig->slider, TBM_SETPOS, TRUE, Next(i++));
        SendMessageW(g_rig->panel->Window(), WM_HSCROLL, MAKEWPARAM(TB_THUMBPOSITION, 0),
                     reinterpret_cast<LPARAM>(g_rig->slider));
    }
}

void BM_SessionAndWriteReference(benchmark::State& state) {
    k0340cvw::ControlSetting focus = g_rig->focus;
    focus.autoMode = 0;
    int64_t i = 0;
    for (auto _ : state) {
        focus.value = Next(i++);
        k0340cvw::DeviceSession session{};
        k0340cvw::OpenDeviceSession(kCamera, &session);
        k0340cvw::WriteControl(&session, k0340cvw::kCameraControl, CameraControl_Focus, &focus);
        k0340cvw::CloseDeviceSession(&session);
    }
}

void BM_BarePropertySetReference(benchmark::State& state) {
    int64_t i = 0;
    for (auto _ : state) {
        KSPROPERTY_CAMERACONTROL_S p{};
        p.Value = Next(i++);
        p.Flags = KSPROPERTY_CAMERACONTROL_FLAGS_MANUAL;
        qk::ks::client::StructProperty(g_rig->filter->Handle(), PROPSETID_VIDCAP_CAMERACONTROL,
                                       KSPROPERTY_CAMERACONTROL_FOCUS, KSPROPERTY_TYPE_SET, &p, sizeof p);
    }
}

BENCHMARK(BM_PanelSliderStep)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SessionAndWriteReference)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BarePropertySetReference)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    auto rig = std::make_unique<Rig>();
    if (!rig->ok) {
        std::fprintf(stderr, "the machine with the camera could not be set up\n");
        return 1;
    }
    g_rig = rig.get();
    benchmark::RunSpecifiedBenchmarks();
    g_rig = nullptr;
    rig.reset();
    benchmark::Shutdown();
    return 0;
}
