#pragma once
// External devices (tape transports): their interfaces and the platform's constant values.

#include "platform/media/interfaces.h"

inline constexpr LONG ED_BASE = 0x1000;

inline constexpr LONG ED_DEVCAP_DEVICE_TYPE = ED_BASE + 7;
inline constexpr LONG ED_DEVTYPE_VCR = ED_BASE + 8;
inline constexpr LONG ED_DEVCAP_TIMECODE_READ = ED_BASE + 25;
inline constexpr LONG ED_DEVTYPE_CAMERA = ED_BASE + 900;
inline constexpr LONG ED_DEVTYPE_UNKNOWN = ED_BASE + 903;
inline constexpr LONG ED_RAW_EXT_DEV_CMD = ED_BASE + 920;

inline constexpr LONG ED_MODE_PLAY = ED_BASE + 200;
inline constexpr LONG ED_MODE_STOP = ED_BASE + 201;
inline constexpr LONG ED_MODE_FREEZE = ED_BASE + 202;
inline constexpr LONG ED_MODE_FF = ED_BASE + 204;
inline constexpr LONG ED_MODE_REW = ED_BASE + 205;
inline constexpr LONG ED_MODE_RECORD = ED_BASE + 206;
inline constexpr LONG ED_MODE_RECORD_FREEZE = ED_BASE + 808;
inline constexpr LONG ED_MODE_STEP_FWD = ED_BASE + 208;
inline constexpr LONG ED_MODE_STEP_REV = ED_BASE + 809;
inline constexpr LONG ED_MODE_SHUTTLE = ED_BASE + 209;
inline constexpr LONG ED_MODE_PLAY_SLOWEST_FWD = ED_BASE + 932;
inline constexpr LONG ED_MODE_PLAY_FASTEST_FWD = ED_BASE + 933;
inline constexpr LONG ED_MODE_PLAY_SLOWEST_REV = ED_BASE + 934;
inline constexpr LONG ED_MODE_PLAY_FASTEST_REV = ED_BASE + 935;

inline constexpr LONG ED_FORMAT_SMPTE_30 = ED_BASE + 406;
inline constexpr LONG ED_FORMAT_SMPTE_30DROP = ED_BASE + 407;
inline constexpr LONG ED_FORMAT_SMPTE_25 = ED_BASE + 408;

struct TIMECODE {
    WORD wFrameRate;
    WORD wFrameFract;
    DWORD dwFrames;  // 0xHHMMSSFF in binary-coded decimal
};

struct TIMECODE_SAMPLE {
    LONGLONG qwTick;
    TIMECODE timecode;
    DWORD dwUser;
    DWORD dwFlags;
};
static_assert(sizeof(TIMECODE_SAMPLE) == 24);

struct IAMExtDevice : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetCapability(LONG capability, LONG* value,
                                                    double* doubleValue) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ExternalDeviceID(LPOLESTR* id) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ExternalDeviceVersion(LPOLESTR* version) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_DevicePower(LONG power) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_DevicePower(LONG* power) = 0;
    virtual HRESULT STDMETHODCALLTYPE Calibrate(HANDLE event, LONG mode, LONG* status) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_DevicePort(LONG port) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_DevicePort(LONG* port) = 0;

protected:
    ~IAMExtDevice() = default;
};
VELMORA_DECLARE_IID(IAMExtDevice, IID_IAMExtDevice)

struct IAMExtTransport : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetCapability(LONG capability, LONG* value,
                                                    double* doubleValue) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_MediaState(LONG state) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_MediaState(LONG* state) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_LocalControl(LONG state) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_LocalControl(LONG* state) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetStatus(LONG item, LONG* value) = 0;
    // With ED_RAW_EXT_DEV_CMD: *value is the command length in and the response length out,
    // and `data` is really the byte buffer holding the command and then the response.
    virtual HRESULT STDMETHODCALLTYPE GetTransportBasicParameters(LONG param, LONG* value,
                                                                  LPOLESTR* data) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetTransportBasicParameters(LONG param, LONG value,
                                                                  LPCOLESTR data) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetTransportVideoParameters(LONG param, LONG* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetTransportVideoParameters(LONG param, LONG value) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetTransportAudioParameters(LONG param, LONG* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetTransportAudioParameters(LONG param, LONG value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Mode(LONG mode) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Mode(LONG* mode) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Rate(double rate) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Rate(double* rate) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetChase(LONG* enabled, LONG* offset, HANDLE* event) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetChase(LONG enabled, LONG offset, HANDLE event) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetBump(LONG* speed, LONG* duration) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetBump(LONG speed, LONG duration) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_AntiClogControl(LONG* enabled) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_AntiClogControl(LONG enabled) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetEditPropertySet(LONG editId, LONG* state) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetEditPropertySet(LONG* editId, LONG state) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetEditProperty(LONG editId, LONG param, LONG* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetEditProperty(LONG editId, LONG param, LONG value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_EditStart(LONG* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_EditStart(LONG value) = 0;

protected:
    ~IAMExtTransport() = default;
};
VELMORA_DECLARE_IID(IAMExtTransport, IID_IAMExtTransport)

struct IAMTimecodeReader : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetTCRMode(LONG param, LONG* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetTCRMode(LONG param, LONG value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_VITCLine(LONG line) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_VITCLine(LONG* line) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetTimecode(TIMECODE_SAMPLE* sample) = 0;

protected:
    ~IAMTimecodeReader() = default;
};
VELMORA_DECLARE_IID(IAMTimecodeReader, IID_IAMTimecodeReader)

inline constexpr ULONG AM_FILTER_MISC_FLAGS_IS_RENDERER = 0x1;
inline constexpr ULONG AM_FILTER_MISC_FLAGS_IS_SOURCE = 0x2;

// Lets a filter with output pins say that it also ends a stream.
struct IAMFilterMiscFlags : IUnknown {
    virtual ULONG STDMETHODCALLTYPE GetMiscFlags() = 0;

protected:
    ~IAMFilterMiscFlags() = default;
};
VELMORA_DECLARE_IID(IAMFilterMiscFlags, IID_IAMFilterMiscFlags)
