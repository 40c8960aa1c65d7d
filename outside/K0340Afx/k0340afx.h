// The audio effects library K0340Afx.dll as its callers see it: one entry,
// luAFXEntryPoint(instance, command, block), answering 0 on success and a
// system error code otherwise. Blocks are the caller's memory; the library
// never keeps a pointer into one past the call.
#pragma once

#include <cstddef>
#include <cstdint>

#include "minwindef.h"

namespace k0340afx {

enum Command : ULONG {
    kGetVersion = 0x1501,    // block: 32-bit version out
    kOpenInstance = 0x1503,  // block: OpenBlock
    kCloseInstance = 0x1504, // no block
    kListEffects = 0x1505,   // block: EffectList
    kApply = 0x1506,         // block: EffectState in
    kGetState = 0x1507,      // block: EffectState out
};

// Version 1.10; callers take the library for installed from 1.00 on.
constexpr ULONG kLibraryVersion = 0x0110;
constexpr std::size_t kDeviceNameChars = 260;

struct OpenBlock {
    char deviceName[kDeviceNameChars];  // NUL-terminated ANSI, the audio device's name
    HANDLE instance;                    // out
};

// One effect as the library lists it; 620 bytes with the display name at 276.
struct EffectRecord {
    ULONG size;               // 620
    char key[272];            // the stable name the library stores the choice under
    char displayName[260];    // what a panel shows
    ULONG kind;               // the library's own effect number
    BYTE reserved[80];
};
static_assert(sizeof(EffectRecord) == 620);
static_assert(offsetof(EffectRecord, displayName) == 276);

struct EffectState {
    ULONG enabled;   // 0 or 1
    ULONG selected;  // index into the list
};

// On entry `count` is how many records `records` can take (0 with null asks
// for the number); on return it is how many there are. The state words after
// the pointer are filled too, so one call gives the whole picture; a caller
// reads the state alone with kGetState on &list.state.
struct EffectList {
    ULONG count;
    EffectRecord* records;
    EffectState state;
};

using EntryPointFunction = LONG (*)(HANDLE instance, ULONG command, void* block);

// The library's second export, for a recording that wants the chosen effect
// applied: interleaved 16-bit samples processed in place. Disabled, the
// samples are left untouched.
using ProcessFunction = LONG (*)(HANDLE instance, SHORT* samples, ULONG frames, ULONG channels, ULONG rateHz);

}  // namespace k0340afx
