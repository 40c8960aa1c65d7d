// Video for Windows capture drivers: the DVM_ messages, the channel and
// stream structures and the DV_ERR results, as capture drivers and the
// runtime exchange them.
#pragma once

#include "ksmedia.h"
#include "mmsystem.h"

// The window system may bring these names; the capture structures need
// them whichever header comes first.
#ifndef QK_BITMAPINFOHEADER_DEFINED
#define QK_BITMAPINFOHEADER_DEFINED
typedef KS_BITMAPINFOHEADER BITMAPINFOHEADER, *LPBITMAPINFOHEADER;
#endif
#ifndef QK_RECT_DEFINED
#define QK_RECT_DEFINED
typedef KS_RECT RECT, *LPRECT;
#endif

// ---- Results
#define DV_ERR_OK 0
#define DV_ERR_BASE 1
#define DV_ERR_NONSPECIFIC (DV_ERR_BASE)
#define DV_ERR_BADFORMAT (DV_ERR_BASE + 1)
#define DV_ERR_STILLPLAYING (DV_ERR_BASE + 2)
#define DV_ERR_UNPREPARED (DV_ERR_BASE + 3)
#define DV_ERR_SYNC (DV_ERR_BASE + 4)
#define DV_ERR_TOOMANYCHANNELS (DV_ERR_BASE + 5)
#define DV_ERR_NOTDETECTED (DV_ERR_BASE + 6)
#define DV_ERR_BADINSTALL (DV_ERR_BASE + 7)
#define DV_ERR_CREATEPALETTE (DV_ERR_BASE + 8)
#define DV_ERR_SIZEFIELD (DV_ERR_BASE + 9)
#define DV_ERR_PARAM1 (DV_ERR_BASE + 10)
#define DV_ERR_PARAM2 (DV_ERR_BASE + 11)
#define DV_ERR_CONFIG1 (DV_ERR_BASE + 12)
#define DV_ERR_CONFIG2 (DV_ERR_BASE + 13)
#define DV_ERR_FLAGS (DV_ERR_BASE + 14)
#define DV_ERR_13 (DV_ERR_BASE + 15)
#define DV_ERR_NOTSUPPORTED (DV_ERR_BASE + 16)
#define DV_ERR_NOMEM (DV_ERR_BASE + 17)
#define DV_ERR_ALLOCATED (DV_ERR_BASE + 18)
#define DV_ERR_BADDEVICEID (DV_ERR_BASE + 19)
#define DV_ERR_INVALHANDLE (DV_ERR_BASE + 20)
#define DV_ERR_BADERRNUM (DV_ERR_BASE + 21)
#define DV_ERR_NO_BUFFERS (DV_ERR_BASE + 22)

// ---- Messages
#define DVM_START DRV_USER
#define DVM_GETERRORTEXT (DVM_START + 0)
#define DVM_PALETTE (DVM_START + 1)
#define DVM_PALETTERGB555 (DVM_START + 2)
#define DVM_FORMAT (DVM_START + 3)
#define DVM_SRC_RECT (DVM_START + 4)
#define DVM_DST_RECT (DVM_START + 5)
#define DVM_DIALOG (DVM_START + 100)
#define DVM_CONFIGURESTORAGE (DVM_START + 101)
#define DVM_GET_CHANNEL_CAPS (DVM_START + 102)
#define DVM_UPDATE (DVM_START + 103)
#define DVM_FRAME (DVM_START + 200)
#define DVM_STREAM_MSG_START (DVM_START + 300)
#define DVM_STREAM_ADDBUFFER (DVM_STREAM_MSG_START + 0)
#define DVM_STREAM_FINI (DVM_STREAM_MSG_START + 1)
#define DVM_STREAM_GETERROR (DVM_STREAM_MSG_START + 2)
#define DVM_STREAM_GETPOSITION (DVM_STREAM_MSG_START + 3)
#define DVM_STREAM_INIT (DVM_STREAM_MSG_START + 4)
#define DVM_STREAM_PREPAREHEADER (DVM_STREAM_MSG_START + 5)
#define DVM_STREAM_RESET (DVM_STREAM_MSG_START + 6)
#define DVM_STREAM_START (DVM_STREAM_MSG_START + 7)
#define DVM_STREAM_STOP (DVM_STREAM_MSG_START + 8)
#define DVM_STREAM_UNPREPAREHEADER (DVM_STREAM_MSG_START + 9)
static_assert(DVM_PALETTE == 0x4001 && DVM_DIALOG == 0x4064 && DVM_FRAME == 0x40C8);
static_assert(DVM_STREAM_ADDBUFFER == 0x412C && DVM_STREAM_UNPREPAREHEADER == 0x4135);

// ---- Channels
#define VIDEO_EXTERNALIN 0x0001
#define VIDEO_EXTERNALOUT 0x0002
#define VIDEO_IN 0x0004
#define VIDEO_OUT 0x0008
#define VIDEO_DLG_QUERY 0x0010

#define VIDEOCONFIGURE_QUERYSIZE 0x0001
#define VIDEOCONFIGURE_CURRENT 0x0010
#define VIDEOCONFIGURE_NOMINAL 0x0020
#define VIDEOCONFIGURE_MIN 0x0040
#define VIDEOCONFIGURE_MAX 0x0080
#define VIDEOCONFIGURE_SET 0x1000
#define VIDEOCONFIGURE_GET 0x2000
#define VIDEOCONFIGURE_QUERY 0x8000

typedef struct {
    DWORD dwSize;
    DWORD fccType;
    DWORD fccComp;
    DWORD dwVersion;
    DWORD dwFlags;
    DWORD dwError;
    LPVOID pV1Reserved;
    LPVOID pV2Reserved;
    DWORD dnDevNode;
} VIDEO_OPEN_PARMS, *LPVIDEO_OPEN_PARMS;

typedef struct {
    LPDWORD lpdwReturn;
    LPVOID lpData1;
    DWORD dwSize1;
    LPVOID lpData2;
    DWORD dwSize2;
} VIDEOCONFIGPARMS, *LPVIDEOCONFIGPARMS;

typedef struct videohdr_tag {
    LPBYTE lpData;
    DWORD dwBufferLength;
    DWORD dwBytesUsed;
    DWORD dwTimeCaptured;
    DWORD_PTR dwUser;
    DWORD dwFlags;
    DWORD_PTR dwReserved[4];
} VIDEOHDR, *LPVIDEOHDR;

#define VHDR_DONE 0x00000001
#define VHDR_PREPARED 0x00000002
#define VHDR_INQUEUE 0x00000004
#define VHDR_KEYFRAME 0x00000008

typedef struct channel_caps_tag {
    DWORD dwFlags;
    DWORD dwSrcRectXMod, dwSrcRectYMod, dwSrcRectWidthMod, dwSrcRectHeightMod;
    DWORD dwDstRectXMod, dwDstRectYMod, dwDstRectWidthMod, dwDstRectHeightMod;
} CHANNEL_CAPS, *LPCHANNEL_CAPS;

typedef struct tag_video_stream_init_parms {
    DWORD dwMicroSecPerFrame;
    DWORD_PTR dwCallback;
    DWORD_PTR dwCallbackInst;
    DWORD dwFlags;
    DWORD_PTR hVideo;
} VIDEO_STREAM_INIT_PARMS, *LPVIDEO_STREAM_INIT_PARMS;

// The exported entry point of a capture driver.
extern "C" LRESULT DriverProc(DWORD_PTR dwDriverId, HDRVR hDriver, UINT uMsg, LPARAM lParam1, LPARAM lParam2);
