// The library's own panel table. Each panel's file provides its maker; the
// entries are one a line so that each panel joins the table on its own.
#include <atomic>

#include "console/panel.h"
#include "console/panels/panels.h"
#include "console/panels/steering_panels.h"

namespace k0340cvw {
namespace {

const PanelMakers kOwnMakers = {
    .view = MakeViewPanel,
    .faceTracking = MakeFaceTrackingPanel,
    .videoFx = MakeVideoFxPanel,
    .panTilt = MakePanTiltPanel,
    .autoFocus = MakeAutoFocusPanel,
    .audio = MakeAudioPanel,
    .audioFx = MakeAudioFxPanel,
    .audioFxInstalled = AudioEffectsInstalled,
};
std::atomic<const PanelMakers*> g_makers{&kOwnMakers};

}  // namespace

const PanelMakers& ThePanelMakers() { return *g_makers.load(); }

const PanelMakers* SetPanelMakers(const PanelMakers* makers) { return g_makers.exchange(makers ? makers : &kOwnMakers); }

}  // namespace k0340cvw
