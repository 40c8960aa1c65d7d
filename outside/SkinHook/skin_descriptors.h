// What the console and the skinning library exchange through CallSkinHook:
// the operations, the skin descriptor with its child-control descriptors and
// control style blocks, and the value requests. Layouts are shared between
// the two components: fields are 32-bit words, and fields that hold
// pointers take the build's pointer size (on a 32-bit build the descriptor
// is 40 bytes, a child descriptor 12, a style block 28, the wrapped form 52).
#pragma once

#include <cstddef>
#include <cstdint>

#include "minwindef.h"

namespace skinhook {

enum Operation : uint32_t {
    kCreate = 1,
    kDestroy = 2,
    kAttach = 3,
    kDetach = 4,
    kReadInteger = 9,
    kReadColour = 10,
    kReadString = 11,
    kApplyRegion = 12,
};

enum Kind : uint32_t {
    kNamedPiece = 8,    // the piece named in the descriptor
    kDefaultPiece = 9,  // the bundle's default piece for the window's type
};

struct ControlStyle {
    uint32_t size;  // sizeof(ControlStyle)
    uint32_t style;  // 2
    const char* piece;
    uint32_t zero[4];
};

struct ChildDescriptor {
    uint32_t size;  // sizeof(ChildDescriptor)
    uint32_t controlId;
    const ControlStyle* style;
};

struct SkinDescriptor {
    uint32_t size;  // sizeof(SkinDescriptor)
    const char* bundlePath;
    uint32_t kind;
    const char* piece;
    uint32_t zero[4];
    uint32_t childCount;
    const ChildDescriptor* children;
};

// The form of a window that adds two words of its own.
struct WrappedDescriptor {
    uint32_t size;  // sizeof(WrappedDescriptor)
    SkinDescriptor descriptor;
    uint32_t value;
    const void* data;
};

struct ValueRequest {  // operations 9 and 10
    uint32_t reserved;
    const char* section;
    const char* key;
    uint32_t defaultValue;
};

struct StringRequest {  // operation 11
    uint32_t reserved;
    const char* section;
    const char* key;
    char* buffer;
    uint32_t bufferSize;
};

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(SkinDescriptor) == 40 && sizeof(ChildDescriptor) == 12 && sizeof(ControlStyle) == 28 &&
              sizeof(WrappedDescriptor) == 52, "the 32-bit layouts of the shared descriptors");
#endif

// The entry: operation and four arguments of the build's pointer size.
using CallSkinHookFn = DWORD_PTR (*)(UINT operation, DWORD_PTR skin, DWORD_PTR a, DWORD_PTR b, DWORD_PTR data);

// The registered messages the skinned controls take.
inline constexpr char kStaticFunction[] = "WM_HKSTATIC_FUNCTION";  // wParam 2: lParam names the picture
inline constexpr char kButtonFunction[] = "WM_HKBUTTON_FUNCTION";  // wParam 6: lParam names the picture
inline constexpr char kWindowFunction[] = "WM_HKWND_FUNC";
inline constexpr char kSliderFunction[] = "WM_HKSLIDER_FUNCTION";

}  // namespace skinhook
