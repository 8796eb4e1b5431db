/* Tovik: the DV toolkit's exported interface. */
#ifndef VELMORA_TOVIK_H
#define VELMORA_TOVIK_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A window handle: 32 bits, issued by the platform's window table. */
typedef uint32_t TovikWindow;

/* Open parameters of the capture family (28 bytes). */
typedef struct TovikOpenParams {
    int32_t size;         /* must be 28 */
    uint32_t notifyFlags; /* bit 0: post graph events to the notify window */
    TovikWindow notifyWindow;
    uint32_t notifyMessage; /* message number of the posted events */
    int32_t reserved1;
    TovikWindow ownerWindow; /* owner of the preview window */
    int32_t reserved2;
} TovikOpenParams;

/* Recording or writing progress (16 bytes). */
typedef struct TovikProgress {
    uint32_t caller;  /* neither read nor written */
    int32_t active;   /* 1 while recording (writing) */
    int64_t position; /* recorded length in 100 ns units, or the current frame */
} TovikProgress;

/* Tape timecode (20 bytes). */
typedef struct TovikTimecode {
    int32_t size;   /* must be 20 */
    int32_t format; /* 1: 30 fps non-drop, 2: 25 fps, 0: other (30 fps drop-frame) */
    uint16_t hours;
    uint16_t minutes;
    uint16_t seconds;
    uint16_t frames;
    uint32_t user;
} TovikTimecode;

/* Device capabilities (20 bytes). */
typedef struct TovikCapability {
    int32_t size;
    int32_t unitType;   /* AV/C unit type, 31 when unknown */
    int32_t deviceType; /* platform device type, 4999 when unknown */
    int32_t medium;     /* cassette kind and flags, -1 when unknown */
    uint32_t transport; /* bit per implemented transport command */
} TovikCapability;

typedef struct TovikRect {
    int32_t left, top, right, bottom;
} TovikRect;

typedef struct CDVCapture* TovikCaptureHandle;

TovikCaptureHandle Tovik_Open(int deviceIndex, uint32_t flags, const TovikOpenParams* params);
int Tovik_Close(TovikCaptureHandle handle);
int Tovik_GetError(TovikCaptureHandle handle);
int Tovik_Control(TovikCaptureHandle handle, int32_t mode, uint32_t speed);
int Tovik_SetPreviewWindowStyle(TovikCaptureHandle handle, int extended, int32_t style);
int Tovik_SetPreviewWindowRect(TovikCaptureHandle handle, const TovikRect* rect);
int Tovik_ShowPreviewWindow(TovikCaptureHandle handle, int command);
int Tovik_StartRec(TovikCaptureHandle handle, const char* path, int keepPreview);
int Tovik_StopRec(TovikCaptureHandle handle);
int Tovik_GetControlStatus(TovikCaptureHandle handle);
int Tovik_GetDevice(void);
int Tovik_GetOneShot(TovikCaptureHandle handle, void* picture, int* result);
int Tovik_SaveBmp(TovikCaptureHandle handle, const char* path);
int Tovik_SetWriteFile(TovikCaptureHandle handle, const char* path, int reserved);
int Tovik_WriteStart(TovikCaptureHandle handle);
int Tovik_WriteStop(TovikCaptureHandle handle);
int Tovik_GetWriteFileLength(TovikCaptureHandle handle, int64_t* length);
int Tovik_SetWriteRange(TovikCaptureHandle handle, int a, int b, int c, int d);
int Tovik_GetWriteStatus(TovikCaptureHandle handle, TovikProgress* progress);
int Tovik_GetRecStatus(TovikCaptureHandle handle, TovikProgress* progress);
/* The tape report of the current recording (the last one once it ended): frames written,
   frames lost before them, frames with damaged video or audio blocks. 1, or 0 without a
   report; -1 for a null handle. */
typedef struct TovikRecReport {
    int64_t frames;
    int64_t dropped;
    int64_t damaged;
} TovikRecReport;
int Tovik_GetRecReport(TovikCaptureHandle handle, TovikRecReport* report);
int Tovik_GetTimecode(TovikCaptureHandle handle, TovikTimecode* timecode);
int Tovik_GetCapability(TovikCaptureHandle handle, TovikCapability* capability);

/* Capture open flags. */
#define TOVIK_OPEN_PREVIEW 0x1u
#define TOVIK_OPEN_WRITE 0x2u

/* Posted to the notify window (wParam) when a recording ended by itself; lParam is the HRESULT
   that says why: 0x80070070 the disk is full, 0x80040200 the tape changed to the other DV
   system (525/625 lines), anything else the file could not be written. The file holds every
   frame that reached the disk; Tovik_StopRec finishes it and runs the preview again.
   Tovik_GetRecStatus reports such a recording as no longer active. */
#define TOVIK_EC_RECORDING_STOPPED 0x8001

/* Shuttle modes with a speed level 1-15 (1 slowest, 8 normal, 15 fastest). */
#define TOVIK_MODE_SHUTTLE_FORWARD 0x10000000
#define TOVIK_MODE_SHUTTLE_REVERSE 0x10000001

/* ---- Player family ---- */

/* Parameters of TovikPlay_Open (48 bytes). */
typedef struct TovikPlayParams {
    uint32_t size; /* must be 48 */
    int32_t reserved1;
    int32_t reserved2;
    TovikWindow ownerWindow; /* parent of the video window */
    int32_t left;            /* video window rectangle in the owner's client coordinates */
    int32_t top;
    int32_t right;
    int32_t bottom;
    uint32_t windowStyle;
    uint32_t windowStyleEx;
    int32_t windowState; /* a show command: SW_HIDE, SW_SHOW, ... */
    int32_t reserved3;
} TovikPlayParams;

typedef struct CFilePlayer* TovikPlayHandle;

TovikPlayHandle TovikPlay_Create(int unused);
int TovikPlay_Destroy(TovikPlayHandle handle);
int TovikPlay_Control(TovikPlayHandle handle, int command, int argument);
TovikPlayHandle TovikPlay_Open(const TovikPlayParams* params, const char* fileName);
int TovikPlay_ShowWindow(TovikPlayHandle handle, int windowState);
int TovikPlay_SetWindowRect(TovikPlayHandle handle, const TovikRect* rect);
int TovikPlay_EnableAudioMonitor(TovikPlayHandle handle, int enable);
int TovikPlay_GetCurrentPos(TovikPlayHandle handle, int64_t* position);
int TovikPlay_SetCurrentPos(TovikPlayHandle handle, int64_t position);
int TovikPlay_SetPlayRange(TovikPlayHandle handle, int64_t first, int64_t last);
int TovikPlay_GetLength(TovikPlayHandle handle, int64_t* length);
int TovikPlay_SetCallback(TovikPlayHandle handle, TovikWindow notifyWindow, uint32_t notifyMessage,
                          int flags);
int TovikPlay_SetLoop(TovikPlayHandle handle, int loop);
int TovikPlay_Close(TovikPlayHandle handle);
int TovikPlay_SetWindowStyle(TovikPlayHandle handle, int which, int style);
int TovikPlay_GetError(TovikPlayHandle handle);
int TovikPlay_GetOneShot(TovikPlayHandle handle, void* picture, int* out);
int TovikPlay_SaveBmp(TovikPlayHandle handle, const char* fileName);

/* ---- DV tools and the file reader ---- */

/* Tool timecode (8 bytes): no size or format field. */
typedef struct TovikToolTimecode {
    uint16_t hours;
    uint16_t minutes;
    uint16_t seconds;
    uint16_t frames;
} TovikToolTimecode;

/* Frame-rate codes of TovikTool_FrameToTimecode. */
#define TOVIK_RATE_DROP_FRAME 0 /* 29.97 material, drop-frame labels */
#define TOVIK_RATE_30 1
#define TOVIK_RATE_25 2

int TovikTool_FrameToTimecode(int32_t frame, TovikToolTimecode* timecode, int code);
int TovikTool_Adjust4816SAudio(void* destination, uint32_t destinationBytes, const void* source,
                               uint32_t sourceBytes);

/* File open flags: 0 reads frames, other values without bits 0 and 2 read audio. */
#define TOVIK_FILE_FRAMES 0
#define TOVIK_FILE_AUDIO 2
#define TOVIK_FILE_RENDER 1
#define TOVIK_FILE_SYNC_RENDER 4

typedef struct CFileReader* TovikFileHandle;

TovikFileHandle TovikFile_Open(const char* fileName, int flags);
int TovikFile_Close(TovikFileHandle handle);
uint32_t TovikFile_GetLength(TovikFileHandle handle);
int TovikFile_GetFrame(TovikFileHandle handle, uint32_t frame, void* video, void* audio,
                       int* audioBytes);
int TovikFile_GetAudio(TovikFileHandle handle, uint32_t firstSample, uint32_t sampleCount,
                       void* buffer);
int TovikFile_GetError(TovikFileHandle handle);

/* Why the last TovikFile_Open of the process failed, as TovikFile_GetError(NULL) answers it
   (0 while none has). Frame access reads 720x480 (525-line) frames only. */
#define TOVIK_FILE_ERROR_NOT_DV_AVI 1 /* missing, unreadable or not a DV AVI file */
#define TOVIK_FILE_ERROR_625_LINES 2  /* a 625-line (PAL) file */

/* Render modes: the procedures write into the graph's own buffers and set *size to the bytes
   written; returning 0 ends the stream (both streams for the synchronised procedure). Video:
   720x480 RGB24 bottom-up, capacity 1036800 bytes; audio: 48 kHz 16-bit stereo, 6480 bytes. */
typedef int (*TovikRenderProc)(uint8_t* buffer, int32_t* size, void* user);
typedef int (*TovikSyncRenderProc)(uint8_t* video, int32_t* videoSize, uint8_t* audio,
                                   int32_t* audioSize, void* user);
int TovikFile_SetRenderProc(TovikFileHandle handle, TovikRenderProc videoProc, void* videoUser,
                            TovikRenderProc audioProc, void* audioUser);
int TovikFile_StartRendering(TovikFileHandle handle, int notifyMode, TovikWindow notifyWindow,
                             uint32_t notifyMessage);
int TovikFile_SetSyncRenderingProc(TovikFileHandle handle, TovikSyncRenderProc proc, void* user);

#ifdef __cplusplus
}

static_assert(sizeof(TovikToolTimecode) == 8, "tool timecode is 8 bytes");
static_assert(sizeof(TovikOpenParams) == 28, "open parameters are 28 bytes");
static_assert(sizeof(TovikProgress) == 16, "progress record is 16 bytes");
static_assert(offsetof(TovikProgress, position) == 8, "progress position at offset 8");
static_assert(sizeof(TovikTimecode) == 20, "timecode record is 20 bytes");
static_assert(sizeof(TovikCapability) == 20, "capability record is 20 bytes");
static_assert(sizeof(TovikPlayParams) == 48, "player parameters are 48 bytes");
#endif

#endif
