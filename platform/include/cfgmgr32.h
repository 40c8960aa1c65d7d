// The configuration manager's device-node calls: a device instance as a
// number, its instance ID and its status.
#pragma once

#include "minwindef.h"

typedef DWORD DEVINST;
typedef DWORD* PDEVINST;
typedef DWORD CONFIGRET;
typedef WCHAR* DEVINSTID_W;

#define CR_SUCCESS 0x00000000
#define CR_INVALID_POINTER 0x00000003
#define CR_INVALID_FLAG 0x00000004
#define CR_INVALID_DEVNODE 0x00000005
#define CR_NO_SUCH_DEVNODE 0x0000000D
#define CR_BUFFER_SMALL 0x0000001A

#define CM_LOCATE_DEVNODE_NORMAL 0x00000000
#define CM_LOCATE_DEVNODE_PHANTOM 0x00000001

// Status bits of a device node.
#define DN_DRIVER_LOADED 0x00000002
#define DN_STARTED 0x00000008
#define DN_HAS_PROBLEM 0x00000400

#define CM_PROB_FAILED_START 10
#define CM_PROB_FAILED_INSTALL 28
#define CM_PROB_FAILED_ADD 31
#define CM_PROB_DRIVER_FAILED_LOAD 39
#define CM_PROB_HELD_FOR_EJECT 47

#define MAX_DEVICE_ID_LEN 200

// Finds the node of an instance ID ("USB\VID_...\..."); a null or empty ID
// is the root. Without CM_LOCATE_DEVNODE_PHANTOM only present devices are found.
CONFIGRET CM_Locate_DevNodeW(PDEVINST pdnDevInst, const WCHAR* pDeviceID, ULONG ulFlags);
CONFIGRET CM_Get_DevNode_Status(PULONG pulStatus, PULONG pulProblemNumber, DEVINST dnDevInst, ULONG ulFlags);
CONFIGRET CM_Get_Device_IDW(DEVINST dnDevInst, WCHAR* Buffer, ULONG BufferLen, ULONG ulFlags);
CONFIGRET CM_Get_Device_ID_Size(PULONG pulLen, DEVINST dnDevInst, ULONG ulFlags);
