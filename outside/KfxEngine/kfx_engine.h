// The video effects engine ("KFXE") as its clients see it: one COM class in
// the engine library "BlinklyEx.dll", its two interfaces, its result codes,
// and where the machine records the engine. Effects come in categories; each
// names a thumbnail picture file. A camera's effects are switched on and an
// effect applied per camera; the choice is the engine's to keep.
#pragma once

#include "objbase.h"
#include "windef.h"

DEFINE_GUID(CLSID_KfxEngine, 0x0F31130E, 0xB760, 0x11DA, 0x95, 0x96, 0x00, 0xE0, 0x81, 0x61, 0x16, 0x5F);
DEFINE_GUID(IID_IKfxEngine, 0xED2BA4CC, 0xB75F, 0x11DA, 0x95, 0x96, 0x00, 0xE0, 0x81, 0x61, 0x16, 0x5F);
DEFINE_GUID(IID_IKfxEngineWindows, 0xD1A02AF0, 0x4393, 0x11DB, 0x96, 0x51, 0x00, 0xE0, 0x81, 0x61, 0x16, 0x5F);

// The engine's own failures (facility 0xF00, customer bit set).
#define KFX_E_NEWER_ENGINE static_cast<HRESULT>(0x8F000027)  // the effect needs a newer engine
#define KFX_E_NOT_OPEN static_cast<HRESULT>(0x8F000028)      // Open was not called
#define KFX_E_NOT_RUNNING static_cast<HRESULT>(0x8F000029)   // the engine's service has not been started
#define KFX_E_EXISTS static_cast<HRESULT>(0x8F000030)        // an imported effect is there already
#define KFX_E_DAMAGED static_cast<HRESULT>(0x8F000031)       // an effect file that is not whole
#define KFX_E_COPY static_cast<HRESULT>(0x8F000032)          // an imported effect could not be stored

// Lists come back in task memory: the array with CoTaskMemFree, each string
// with SysFreeString (KfxFreeStrings does both).
struct IKfxEngine : IUnknown {
    // `language`: a decimal language identifier of the installed languages,
    // or empty for the engine's own.
    STDMETHOD(Open)(LPCOLESTR language) PURE;
    STDMETHOD(GetCategories)(ULONG* count, BSTR** names) PURE;
    // The effects of `category` and, beside each, its thumbnail file's full
    // path (empty when it has none).
    STDMETHOD(GetEffects)(LPCOLESTR category, ULONG* count, BSTR** names, BSTR** thumbnails) PURE;
    STDMETHOD(IsRunning)(BOOL* running) PURE;
    STDMETHOD(EnableEffects)(LPCOLESTR camera, BOOL enable) PURE;
    // E_FAIL when effects are off for the camera or the effect is unknown.
    STDMETHOD(ApplyEffect)(LPCOLESTR camera, LPCOLESTR category, LPCOLESTR effect) PURE;
    STDMETHOD(GetCameraEffect)(LPCOLESTR camera, BOOL* enabled, BSTR* category, BSTR* effect) PURE;
    // Imports an effect file (".vfz"); on success its category and name.
    STDMETHOD(ImportEffect)(LPCOLESTR file, BSTR* category, BSTR* name) PURE;
};

// Windows the engine tells of a change (the registered message "KFXE
// Effects Changed" is posted to each, wParam 0).
struct IKfxEngineWindows : IUnknown {
    STDMETHOD(RegisterWindow)(HWND window) PURE;
    STDMETHOD(UnregisterWindow)(HWND window) PURE;
};

namespace kfx {

inline constexpr char16_t kEngineFile[] = u"BlinklyEx.dll";
inline constexpr char16_t kChangedMessage[] = u"KFXE Effects Changed";
// HKEY_LOCAL_MACHINE: the engine's data; "Running" is volatile, made by
// StartKFX.exe and gone at the next start of the machine.
inline constexpr char16_t kEngineKey[] = u"SOFTWARE\\Lumora Tech\\KFXE";
inline constexpr char16_t kRunningKey[] = u"SOFTWARE\\Lumora Tech\\KFXE\\Running";
inline constexpr char16_t kLanguagesKey[] = u"SOFTWARE\\Lumora Tech\\Software Installed\\KFXE Engine";
// The engine's folder on the machine, with its programs and thumbnails.
inline constexpr char16_t kEngineFolder[] = u"C:\\Program Files\\Lumora Tech\\KFXE";

void FreeStrings(BSTR* strings, ULONG count);

}  // namespace kfx
