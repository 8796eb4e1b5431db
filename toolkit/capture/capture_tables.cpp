#include "toolkit/capture/capture_tables.h"

namespace {

PinEntry g_devicePins[] = {
    {"DV A/V In", nullptr}, {"DV Vid Out", nullptr}, {"DV A/V Out", nullptr}};
PinEntry g_teePins[] = {{"Input", nullptr}, {"Capture", nullptr}, {"Preview", nullptr}};
PinEntry g_splitterPins[] = {{"Input", nullptr}, {"DVVidOut0", nullptr}, {"AudOut00", nullptr}};
PinEntry g_grabberPins[] = {{"Input", nullptr}, {"Output", nullptr}};
PinEntry g_decoderPins[] = {{"XForm In", nullptr}, {"XForm Out", nullptr}};
PinEntry g_rendererPins[] = {{"Input", nullptr}};
PinEntry g_soundPins[] = {{"Audio Input pin (rendered)", nullptr}};
PinEntry g_muxPins[] = {{"Input 01", nullptr}, {"Input 02", nullptr}, {"AVI Out", nullptr}};
PinEntry g_writerPins[] = {{"in", nullptr}};
PinEntry g_readerPins[] = {{"Output", nullptr}};
PinEntry g_aviSplitterPins[] = {{"input pin", nullptr}, {"Stream 00", nullptr}};

constexpr const char* kDeviceName = "Microsoft DV Camera and VCR";

}  // namespace

const FilterEntry kCaptureFilters[kCaptureFilterCount] = {
    {kCreateDevice, {.deviceIndex = 0}, kDeviceName, nullptr, 3, g_devicePins},
    {kCreateByClass, {&CLSID_SmartTee}, "Smart Tee", nullptr, 3, g_teePins},
    {kCreateByClass, {&CLSID_DVSplitter}, "DV Splitter", nullptr, 3, g_splitterPins},
    {kCreateByClass, {&CLSID_SampleGrabber}, "Sample Grabber", nullptr, 2, g_grabberPins},
    {kCreateByClass, {&CLSID_DVVideoCodec}, "DV Video Decoder", nullptr, 2, g_decoderPins},
    {kCreateByClass, {&CLSID_VideoRenderer}, "Video Renderer", nullptr, 1, g_rendererPins},
    {kCreateByClass,
     {&CLSID_DSoundRender},
     "Default DirectSound Renderer",
     nullptr,
     1,
     g_soundPins},
    {kCreateByClass, {&CLSID_AviDest}, "AVI Mux", nullptr, 3, g_muxPins},
    {kCreateByClass, {&CLSID_FileWriter}, "File Writer", nullptr, 1, g_writerPins},
};

const FilterEntry kWriteFilters[kWriteFilterCount] = {
    {kCreateDevice, {.deviceIndex = 0}, kDeviceName, nullptr, 3, g_devicePins},
    {kCreateByClass, {&CLSID_AsyncReader}, "Async Reader (File)", nullptr, 1, g_readerPins},
    {kCreateByClass, {&CLSID_AviSplitter}, "AVI Splitter", nullptr, 2, g_aviSplitterPins},
};

const ConnectStep kPreviewPlan[15] = {
    FindStep(0, 2), FindStep(1, 0), JoinStep(0, 2, 1, 0),  // device -> Smart Tee
    FindStep(1, 2), FindStep(2, 0), JoinStep(1, 2, 2, 0),  // Preview -> DV Splitter
    FindStep(2, 1), FindStep(3, 0), JoinStep(2, 1, 3, 0),  // DVVidOut0 -> Sample Grabber
    FindStep(3, 1), FindStep(4, 0), JoinStep(3, 1, 4, 0),  // grabber -> DV Video Decoder
    FindStep(4, 1), FindStep(5, 0), JoinStep(4, 1, 5, 0),  // decoder -> Video Renderer
};

const ConnectStep kAudioPlan[3] = {FindStep(2, 2), FindStep(6, 0), JoinStep(2, 2, 6, 0)};

const ConnectStep kRecordPlan[6] = {
    FindStep(1, 1), FindStep(7, 0), JoinStep(1, 1, 7, 0),  // Smart Tee Capture -> AVI Mux
    FindStep(7, 2), FindStep(8, 0), JoinStep(7, 2, 8, 0),  // AVI Out -> File Writer
};

const ConnectStep kWritePlan[6] = {
    FindStep(1, 0), FindStep(2, 0), JoinStep(1, 0, 2, 0),  // Async Reader -> AVI Splitter
    FindStep(2, 1), FindStep(0, 0), JoinStep(2, 1, 0, 0),  // Stream 00 -> device DV A/V In
};
