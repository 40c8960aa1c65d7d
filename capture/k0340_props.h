// The capture filter's property sets as its clients see them: the driver's own
// sets A (camera extras), B (face tracking) and C (focus), their ids and the
// byte layouts of every property the filter answers. Shared by the driver, the
// console and the tools; little-endian, offsets from the start of the property
// structure (the 24-byte KSPROPERTY header comes first).
#pragma once

#include <cstdint>

#include "ksmedia.h"

// ---- The driver's own sets --------------------------------------------------------------
DEFINE_GUID(PROPSETID_K0340_CAMERA, 0xCCA349DA, 0x4FE2, 0x423A, 0xAA, 0x50, 0xE6, 0xF3, 0x52, 0x57, 0x5C, 0xBC);
DEFINE_GUID(PROPSETID_K0340_TRACKING, 0x5A403423, 0x5667, 0x4EC4, 0x85, 0x73, 0x7B, 0x88, 0xCC, 0xDC, 0x11, 0xCF);
DEFINE_GUID(PROPSETID_K0340_FOCUS, 0x22A24976, 0xF251, 0x4398, 0xA1, 0xEA, 0xD9, 0xBA, 0x0C, 0x95, 0x9E, 0x27);

// Set A (camera extras).
enum : uint32_t {
    KSPROPERTY_K0340_WHITEBALANCE_PRESET = 258,  // layout Q: 0 automatic, 1 4650 K, 2 2800 K, 3 6500 K
    KSPROPERTY_K0340_POWERLINE = 259,            // layout Q: 1..3
    KSPROPERTY_K0340_STATUS = 2049,              // get: camera status summary
    KSPROPERTY_K0340_STILL_SIZES = 2050,         // get: the still sizes of the stream's format
    KSPROPERTY_K0340_STILL_CAPTURE = 2051,       // get: one still picture into the caller's buffer
    KSPROPERTY_K0340_STATUS_QUERY = 2052,        // get: yes/no answers to status item ids
    KSPROPERTY_K0340_PARENTAL_LOCK = 2053,       // get, set
};

// Set B (face tracking), layout P.
enum : uint32_t {
    KSPROPERTY_K0340_TRACKING_RESERVED1 = 1,
    KSPROPERTY_K0340_TRACKING_MODE = 2,   // 0 off, 1 continuous following, 2 following a still scene
    KSPROPERTY_K0340_TRACKING_SPEED = 3,  // 0 slow, 1 normal, 2 fast
    KSPROPERTY_K0340_TRACKING_PIP = 4,    // picture-in-picture: 0 off, 1 and 2 the two placements
    KSPROPERTY_K0340_TRACKING_RESERVED5 = 5,
    KSPROPERTY_K0340_TRACKING_RESERVED6 = 6,
    KSPROPERTY_K0340_TRACKING_RESERVED7 = 7,
};

// Set C (focus), layout Q.
enum : uint32_t {
    KSPROPERTY_K0340_FOCUS_AREA = 258,     // 0..5
    KSPROPERTY_K0340_FOCUS_WINDOWS = 259,  // 1..16
    KSPROPERTY_K0340_FOCUS_SCALE = 260,    // 1..100
    KSPROPERTY_K0340_FOCUS_THIRD = 261,    // 1..255
    KSPROPERTY_K0340_CAMERA_VARIANT = 262, // read only: 1 on camera variant 2
};

// ---- Layouts --------------------------------------------------------------------------------
// Layout P (VideoProcAmp, CameraControl, set B): 40 bytes for the standard sets, 36 for set B.
struct K0340_PROPERTY_P {
    KSPROPERTY Property;
    LONG Value;
    LONG Flags;  // 1 automatic, 2 manual
    LONG Capabilities;
};
static_assert(sizeof(K0340_PROPERTY_P) == 40);
inline constexpr ULONG K0340_SET_B_ITEM_BYTES = 36;

// The 36- and 60-byte layouts end on a 4-byte boundary: packed to 4 so that
// their size is the wire size rather than KSPROPERTY's 8-byte alignment.
#pragma pack(push, 4)

// Layout Q (sets A and C controls): 36 bytes.
struct K0340_PROPERTY_Q {
    KSPROPERTY Property;
    ULONG Unused;
    LONG Value;
    LONG Flags;
};
static_assert(sizeof(K0340_PROPERTY_Q) == 36);

// 2049: the camera status summary.
struct K0340_STATUS_S {
    KSPROPERTY Property;
    ULONG Unused;
    ULONG Flagged;       // 1 when status bit 0 or 1 is set
    ULONG LowestBit;     // the lower of those bits
};
static_assert(sizeof(K0340_STATUS_S) == 36);
// The status word behind it.
enum : uint32_t {
    K0340_STATUS_STREAMING = 0x04,
    K0340_STATUS_IDLE = 0x08,
    K0340_STATUS_REGISTERS_WORK = 0x10,
    K0340_STATUS_REGISTERS_FAIL = 0x20,
};

// 2050: still sizes.
struct K0340_STILL_SIZE {
    ULONG Width;
    ULONG Height;
    ULONG Bytes;  // width x height x 3: a still is an RGB24 picture
    ULONG Reserved;
};
struct K0340_STILL_SIZES_S {
    KSPROPERTY Property;
    ULONG Unused;
    ULONG Count;
    K0340_STILL_SIZE Sizes[10];
};
static_assert(sizeof(K0340_STILL_SIZES_S) == 192);

// 2051: still capture. The buffer address is 32 bits wide for 32-bit callers
// (the rest of that field is then unused) and 64 bits for 64-bit callers.
struct K0340_STILL_CAPTURE_S {
    KSPROPERTY Property;
    ULONG Unused;
    ULONG SizeIndex;     // below the still-size count of 2050
    ULONG BufferLength;  // bytes at BufferAddress
    uint8_t BufferAddress[8];
    ULONG Width;         // written on success
    ULONG Height;
    ULONG Bytes;
    ULONG Reserved;
};
static_assert(sizeof(K0340_STILL_CAPTURE_S) == 60);

// 2052: each 32-bit word from offset 24 to the end of the buffer is a status
// item id, answered in place with 2 (yes) or 1 (no); unknown ids get 4.
enum : uint32_t {
    K0340_QUERY_STREAMING = 0,
    K0340_QUERY_IDLE = 1,
    K0340_QUERY_REGISTERS_WORK = 2,
    K0340_QUERY_REGISTERS_FAIL = 3,
    K0340_ANSWER_NO = 1,
    K0340_ANSWER_YES = 2,
    K0340_ANSWER_UNKNOWN = 4,
};
inline constexpr ULONG K0340_STATUS_QUERY_BYTES = 40;

// 2053: the parental lock. Set: Action (and Value for action 3); get: State.
struct K0340_PARENTAL_LOCK_S {
    KSPROPERTY Property;
    ULONG Unused;
    ULONG Action;  // set: 0 disable, 1 enable, 2 release, 3 store Value as the console's check value
    ULONG Value;   // get: the state is in Action's place, Value is 0
};
static_assert(sizeof(K0340_PARENTAL_LOCK_S) == 36);
enum : uint32_t {
    K0340_LOCK_DISABLE = 0,
    K0340_LOCK_ENABLE = 1,
    K0340_LOCK_RELEASE = 2,
    K0340_LOCK_STORE_CHECK_VALUE = 3,
    K0340_LOCK_STATE_DISABLED = 0,
    K0340_LOCK_STATE_LOCKED = 1,
    K0340_LOCK_STATE_RELEASED = 2,
};
#pragma pack(pop)
