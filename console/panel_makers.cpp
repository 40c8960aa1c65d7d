// The library's own panel table. Each panel's file provides its maker; the
// entries are one a line so that each panel joins the table on its own.
#include <atomic>

#include "console/panel.h"
#include "console/panels/panels.h"

namespace k0340cvw {
namespace {

const PanelMakers kOwnMakers = {
    .view = nullptr,
    .faceTracking = MakeFaceTrackingPanel,
    .videoFx = nullptr,
    .panTilt = MakePanTiltPanel,
    .autoFocus = MakeAutoFocusPanel,
    .audio = nullptr,
    .audioFx = nullptr,
    .audioFxInstalled = nullptr,
};
std::atomic<const PanelMakers*> g_makers{&kOwnMakers};

}  // namespace

const PanelMakers& ThePanelMakers() { return *g_makers.load(); }

const PanelMakers* SetPanelMakers(const PanelMakers* makers) { return g_makers.exchange(makers ? makers : &kOwnMakers); }

}  // namespace k0340cvw
