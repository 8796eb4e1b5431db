#include "toolkit/file/file_tables.h"

#include "bridge/source_bridge.h"

namespace {

PinEntry g_readerPins[] = {{"Output", nullptr}};
PinEntry g_aviSplitterPins[] = {{"input pin", nullptr}, {"Stream 00", nullptr}};
PinEntry g_dvGrabberPins[] = {{"Input", nullptr}, {"Output", nullptr}};
PinEntry g_dvSplitterPins[] = {{"Input", nullptr}, {"DVVidOut0", nullptr}, {"AudOut00", nullptr}};
PinEntry g_decoderPins[] = {{"XForm In", nullptr}, {"XForm Out", nullptr}};
PinEntry g_videoGrabberPins[] = {{"Input", nullptr}, {"Output", nullptr}};
PinEntry g_videoNullPins[] = {{"In", nullptr}};
PinEntry g_audioGrabberPins[] = {{"Input", nullptr}, {"Output", nullptr}};
PinEntry g_audioNullPins[] = {{"In", nullptr}};
PinEntry g_rendererPins[] = {{"Input", nullptr}};
PinEntry g_soundPins[] = {{"Audio Input pin (rendered)", nullptr}};
PinEntry g_videoBridgePins[] = {{"Out", nullptr}};
PinEntry g_audioBridgePins[] = {{"Out", nullptr}};
PinEntry g_encoderPins[] = {{"XForm In", nullptr}, {"XForm Out", nullptr}};
PinEntry g_dvMuxerPins[] = {{"Stream 0", nullptr}, {"Stream 1", nullptr}, {"Output", nullptr}};
PinEntry g_aviMuxPins[] = {{"Input 01", nullptr}, {"AVI Out", nullptr}};
PinEntry g_writerPins[] = {{"in", nullptr}};

}  // namespace

const FilterEntry kAccessFilters[kAccessFilterCount] = {
    {kCreateByClass, {&CLSID_AsyncReader}, "Async Reader (File)", nullptr, 1, g_readerPins},
    {kCreateByClass, {&CLSID_AviSplitter}, "AVI Splitter", nullptr, 2, g_aviSplitterPins},
    {kCreateByClass,
     {&CLSID_SampleGrabber},
     "Sample Grabber for DV Stream",
     nullptr,
     2,
     g_dvGrabberPins},
    {kCreateByClass, {&CLSID_DVSplitter}, "DV Splitter", nullptr, 3, g_dvSplitterPins},
    {kCreateByClass, {&CLSID_DVVideoCodec}, "DV Video Decoder", nullptr, 2, g_decoderPins},
    {kCreateByClass,
     {&CLSID_SampleGrabber},
     "Sample Grabber for Video",
     nullptr,
     2,
     g_videoGrabberPins},
    {kCreateByClass, {&CLSID_NullRenderer}, "Null Renderer for Video", nullptr, 1, g_videoNullPins},
    {kCreateByClass,
     {&CLSID_SampleGrabber},
     "Sample Grabber for Audio",
     nullptr,
     2,
     g_audioGrabberPins},
    {kCreateByClass, {&CLSID_NullRenderer}, "Null Renderer for Audio", nullptr, 1, g_audioNullPins},
    {kCreateByClass, {&CLSID_VideoRenderer}, "Video Renderer", nullptr, 1, g_rendererPins},
    {kCreateByClass,
     {&CLSID_DSoundRender},
     "Default DirectSound Renderer",
     nullptr,
     1,
     g_soundPins},
};

const ConnectStep kAccessPlan[kAccessPlanSteps] = {
    FindStep(0, 0), FindStep(1, 0), JoinStep(0, 0, 1, 0),  // reader -> AVI splitter
    FindStep(1, 1), FindStep(2, 0), JoinStep(1, 1, 2, 0),  // Stream 00 -> DV-stream grabber
    FindStep(2, 1), FindStep(3, 0), JoinStep(2, 1, 3, 0),  // grabber -> DV splitter
    FindStep(3, 1), FindStep(4, 0), JoinStep(3, 1, 4, 0),  // DVVidOut0 -> decoder
    FindStep(4, 1), FindStep(5, 0), JoinStep(4, 1, 5, 0),  // XForm Out -> video grabber (RGB24)
    FindStep(5, 1), FindStep(6, 0), JoinStep(5, 1, 6, 0),  // video grabber -> null renderer (RGB24)
    FindStep(3, 2), FindStep(7, 0), JoinStep(3, 2, 7, 0),  // AudOut00 -> audio grabber (PCM)
    FindStep(7, 1), FindStep(8, 0), JoinStep(7, 1, 8, 0),  // audio grabber -> null renderer (PCM)
};

const FilterEntry kRenderFilters[kRenderFilterCount] = {
    {kCreateByClass,
     {&CLSID_TovikSourceBridge},
     "Tovik Source Bridge Video",
     nullptr,
     1,
     g_videoBridgePins},
    {kCreateByClass,
     {&CLSID_TovikSourceBridge},
     "Tovik Source Bridge Image",
     nullptr,
     1,
     g_audioBridgePins},
    {kCreateByClass, {&CLSID_DVVideoEnc}, "DV Video Encoder", nullptr, 2, g_encoderPins},
    {kCreateByClass, {&CLSID_DVMux}, "DV Muxer", nullptr, 3, g_dvMuxerPins},
    {kCreateByClass, {&CLSID_AviDest}, "AVI Mux", nullptr, 2, g_aviMuxPins},
    {kCreateByClass, {&CLSID_FileWriter}, "File Writer", nullptr, 1, g_writerPins},
};

const ConnectStep kRenderPlan[kRenderPlanSteps] = {
    FindStep(0, 0), FindStep(2, 0), JoinStep(0, 0, 2, 0),  // video bridge -> DV encoder
    FindStep(2, 1), FindStep(3, 0), JoinStep(2, 1, 3, 0),  // encoder -> DV muxer Stream 0
    FindStep(1, 0), FindStep(3, 1), JoinStep(1, 0, 3, 1),  // audio bridge -> DV muxer Stream 1
    FindStep(3, 2), FindStep(4, 0), JoinStep(3, 2, 4, 0),  // DV muxer -> AVI mux
    FindStep(4, 1), FindStep(5, 0), JoinStep(4, 1, 5, 0),  // AVI mux -> file writer
};
