#include "toolkit/player/player_tables.h"

namespace {

PinEntry g_readerPins[] = {{"Output", nullptr}};
PinEntry g_aviSplitterPins[] = {{"input pin", nullptr}, {"Stream 00", nullptr}};
PinEntry g_splitterPins[] = {{"Input", nullptr}, {"DVVidOut0", nullptr}, {"AudOut00", nullptr}};
PinEntry g_grabberPins[] = {{"Input", nullptr}, {"Output", nullptr}};
PinEntry g_decoderPins[] = {{"XForm In", nullptr}, {"XForm Out", nullptr}};
PinEntry g_rendererPins[] = {{"Input", nullptr}};
PinEntry g_soundPins[] = {{"Audio Input pin (rendered)", nullptr}};

}  // namespace

const FilterEntry kPlayerFilters[kPlayerFilterCount] = {
    {kCreateByClass, {&CLSID_AsyncReader}, "Async Reader (File)", nullptr, 1, g_readerPins},
    {kCreateByClass, {&CLSID_AviSplitter}, "AVI Splitter", nullptr, 2, g_aviSplitterPins},
    {kCreateByClass, {&CLSID_DVSplitter}, "DV Splitter", nullptr, 3, g_splitterPins},
    {kCreateByClass, {&CLSID_SampleGrabber}, "Sample Grabber for Image", nullptr, 2, g_grabberPins},
    {kCreateByClass, {&CLSID_DVVideoCodec}, "DV Video Decoder", nullptr, 2, g_decoderPins},
    {kCreateByClass, {&CLSID_VideoRenderer}, "Video Renderer", nullptr, 1, g_rendererPins},
    {kCreateByClass,
     {&CLSID_DSoundRender},
     "Default DirectSound Renderer",
     nullptr,
     1,
     g_soundPins},
};

// The grabber sits between the DV splitter and the decoder, so it sees every compressed frame
// on its way to the screen and keeps the last one for stills.
const ConnectStep kPlayerPlan[kPlayerPlanSteps] = {
    FindStep(0, 0), FindStep(1, 0), JoinStep(0, 0, 1, 0),  // Async Reader -> AVI Splitter
    FindStep(1, 1), FindStep(2, 0), JoinStep(1, 1, 2, 0),  // Stream 00 -> DV Splitter
    FindStep(2, 1), FindStep(3, 0), JoinStep(2, 1, 3, 0),  // DVVidOut0 -> Sample Grabber for Image
    FindStep(3, 1), FindStep(4, 0), JoinStep(3, 1, 4, 0),  // grabber -> DV Video Decoder
    FindStep(4, 1), FindStep(5, 0), JoinStep(4, 1, 5, 0),  // decoder -> Video Renderer
    FindStep(2, 2), FindStep(6, 0), JoinStep(2, 2, 6, 0),  // AudOut00 -> sound renderer
};
