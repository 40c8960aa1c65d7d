// The picture, microphone and effects panels of the console and the
// pieces of them that tests reach: the advanced picture dialog, the audio
// filter's control device, and the slider and record helpers they share.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "console/k0340cvw.h"
#include "console/panel.h"
#include "windows.h"
#include "winuser.h"

namespace k0340cvw {

// IAMCameraControl's privacy property (the SDK's enumeration stops at focus).
inline constexpr LONG kPrivacyControl = 8;

// A panel whose reads run on its window's thread only: a read asked for on
// another thread (a notifier's) is posted to the window. The panel's
// destructor waits for its notifier, so a send that the window's thread
// could not answer meanwhile would never return; a post cannot hang.
class WindowThreadPanel : public Panel {
public:
    using Panel::Panel;

protected:
    void ReadControls() final;
    // Reads the camera (or filter) and shows it, on the window's thread.
    virtual void ReadNow() = 0;
    // Answers the posted read; false for other messages.
    bool HandleRead(UINT message);
};

// ---- view_panel.cpp ------------------------------------------------------------------------
// "Brio! View Panel" (template 121).
std::unique_ptr<Panel> MakeViewPanel();
// The panel's private message: read the camera on the window's own thread.
inline constexpr UINT kPanelReadMessage = WM_APP + 0x36;
// Shows a slider record: range, line size = step, page size, position, and
// enabled only when the record is valid (and, with `automatic`, not in
// automatic mode).
void ShowSlider(HWND slider, const ControlSetting& setting, bool enabled);
// A slider the user moved: the position snapped to the record's step grid
// (nearest for a drag, toward the move otherwise) and put back on the
// slider; true when the record's value changed.
bool TakeSliderMove(HWND slider, int scrollCode, ControlSetting* setting);

// ---- view_advanced_dialog.cpp --------------------------------------------------------------
// "Brio! View Advanced Settings" (template 129), modal over `owner`; the
// resource library is the owner's.
INT_PTR RunViewAdvancedDialog(HWND owner, const std::string& device, ConsoleMode mode);
// The same dialog made modeless (for tests and screenshots); closed by
// OK/Cancel as the modal one. Null when it cannot be made.
HWND CreateViewAdvancedDialog(HMODULE resources, HWND owner, const std::string& device, ConsoleMode mode);

// ---- audio_panel.cpp -----------------------------------------------------------------------
// "Brio! Audio Panel" (template 115).
std::unique_ptr<Panel> MakeAudioPanel();
// Registered message broadcast after the panel switched the filter.
inline constexpr char kAudioFiltersMessage[] = "AE_FILTERS";
// The timer on which the microphone panels re-read while visible.
inline constexpr UINT kRereadMilliseconds = 1500;

// A short-lived handle on the audio filter's control device, opened for
// reading and writing (shared both ways); closed when the client goes.
class AudioFilterClient {
public:
    AudioFilterClient();
    ~AudioFilterClient();
    AudioFilterClient(const AudioFilterClient&) = delete;
    AudioFilterClient& operator=(const AudioFilterClient&) = delete;

    bool Open() const { return handle_ != INVALID_HANDLE_VALUE; }
    // A get counts only when the call succeeds and returns data.
    bool GetFeature(uint32_t feature, bool* available, bool* enabled) const;
    bool SetFeature(uint32_t feature, bool on) const;

private:
    HANDLE handle_;
};

// The console's view of the filter's four features as one number.
inline constexpr int kNoAudioFilter = -1;
bool AudioFilterPresent();
// -1 when there is no filter or it does not offer NoiseGuard, else 0-6.
int GetAudioFilterMode();
// Sends NoiseGuard, BFA, BFA3 and EchoQuell in that order (an unknown mode
// switches all off); false when the device cannot be opened or a set fails.
bool SetAudioFilterMode(int mode);

// ---- audio_fx_panel.cpp --------------------------------------------------------------------
// "Advanced Audio FX Panel" (template 116).
std::unique_ptr<Panel> MakeAudioFxPanel();
// The name the audio effects library knows the camera's microphone by: the
// "LuAudioName" of the present capture device whose "FriendlyName" is the
// camera's description (letter case aside); false and empty when none.
bool FindAudioDeviceName(const std::string& description, std::string* name);
// Whether the audio effects library is installed and new enough (1.00 on).
bool AudioEffectsInstalled();

// ---- video_fx_panel.cpp --------------------------------------------------------------------
// "Advanced Video FX Panel" (template 119); `enginePath` is the engine's file.
std::unique_ptr<Panel> MakeVideoFxPanel(const std::string& enginePath);
// The language text the engine is opened with for the first subkey name of
// its installed languages: the known identifiers as decimal text, any other
// (or none) empty.
std::u16string EngineLanguageText(const char* subkeyName);
// Reads an effect's thumbnail file (a machine path) and decodes it into
// 48 x 48 pixels; false when it has no readable picture.
bool LoadEffectThumbnail(const std::u16string& path, std::vector<uint32_t>* pixels);

}  // namespace k0340cvw
