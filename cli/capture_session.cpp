#include "cli/capture_session.h"

#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "platform/dv/frame_analysis.h"
#include "platform/dv1394/dv_link_stats.h"
#include "platform/dv1394/dv_unit.h"
#include "platform/filters/avi_mux.h"
#include "platform/kernel/text.h"
#include "platform/media/events.h"

namespace capture {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

PinEntry g_devicePins[] = {
    {"DV A/V In", nullptr}, {"DV Vid Out", nullptr}, {"DV A/V Out", nullptr}};
PinEntry g_teePins[] = {{"Input", nullptr}, {"Capture", nullptr}, {"Preview", nullptr}};
PinEntry g_muxPins[] = {{"Input 01", nullptr}, {"Input 02", nullptr}, {"AVI Out", nullptr}};
PinEntry g_writerPins[] = {{"in", nullptr}};

enum Entry { kDevice, kTee, kMux, kWriter, kEntries };

const FilterEntry kFilters[kEntries] = {
    {kCreateDevice, {.deviceIndex = 0}, "Microsoft DV Camera and VCR", nullptr, 3, g_devicePins},
    {kCreateByClass, {&CLSID_SmartTee}, "Smart Tee", nullptr, 3, g_teePins},
    {kCreateByClass, {&CLSID_AviDest}, "AVI Mux", nullptr, 3, g_muxPins},
    {kCreateByClass, {&CLSID_FileWriter}, "File Writer", nullptr, 1, g_writerPins},
};

const ConnectStep kPlan[9] = {
    FindStep(kDevice, 2), FindStep(kTee, 0),    JoinStep(kDevice, 2, kTee, 0),
    FindStep(kTee, 1),    FindStep(kMux, 0),    JoinStep(kTee, 1, kMux, 0),
    FindStep(kMux, 2),    FindStep(kWriter, 0), JoinStep(kMux, 2, kWriter, 0),
};

// The frames the device has lost so far, and why.
RecordingSplitter::LossCounter LossesOf(IBaseFilter* filter) {
    auto stats = platform::QueryFrom<IVelmoraDvLinkStats>(filter);
    if (!stats) return {};
    return [stats] {
        LONGLONG bus = 0, incomplete = 0, foreign = 0, overrun = 0;
        stats->GetLosses(&bus, &incomplete, &foreign, &overrun);
        platform::dv::FrameLoss loss;
        loss.bus = bus;
        loss.overrun = overrun;
        loss.incomplete = incomplete + foreign;
        return loss;
    };
}

// What a stopped device saw of the DV system its outputs were not connected for.
SystemChange ChangeSeenBy(IBaseFilter* filter) {
    SystemChange change;
    change.stopped = Clock::now();
    auto stats = platform::QueryFrom<IVelmoraDvLinkStats>(filter);
    if (!stats) return change;
    std::vector<std::uint8_t> first(platform::dv1394::kPalFrameSize);
    LONG written = 0;
    LONGLONG since = 0;
    if (SUCCEEDED(
            stats->GetFirstForeignFrame(first.data(), LONG(first.size()), &written, &since))) {
        change.firstDropped = platform::dv::AnalyseFrame(first.data(), std::size_t(written));
        change.dropped = since;
    }
    return change;
}

// A graph built again that hears of a change before any frame came this often in a row: the
// unit does not tell the system it plays, and no graph it could be built for would receive.
constexpr int kMostIdleRebuilds = 3;

}  // namespace

const char* EndReasonName(EndReason reason) {
    switch (reason) {
        case EndReason::TapeEnd:
            return "end of tape";
        case EndReason::Duration:
            return "duration reached";
        case EndReason::NoSignal:
            return "no signal";
        case EndReason::Interrupted:
            return "interrupted";
        case EndReason::WriteFailed:
            return "write error";
        case EndReason::DeviceLost:
            return "device lost";
    }
    return "";
}

CaptureSession::CaptureSession(CaptureOptions options) : options_(std::move(options)) {}

CaptureSession::~CaptureSession() {
    Shutdown();
}

bool CaptureSession::Build(CaptureResult* result, const std::optional<SystemChange>& change) {
    auto fail = [&](int code, std::string message) {
        result->exitCode = code;
        result->message = std::move(message);
        return false;
    };
    table_ = CopyTable(kFilters, kEntries);
    if (!table_ || !CreateGraph()) return fail(kExitDeviceOrFile, "cannot make the capture graph");
    (*table_)[kDevice].cls.deviceIndex = options_.device;
    built_ = true;
    stopped_ = false;
    try {
        CreateFilters(table_->Entries(), kEntries);
    } catch (const _tagDXM_EXPECT& e) {
        if (e.index == kDevice)
            return fail(kExitDeviceOrFile, "there is no DV unit " +
                                               std::to_string(options_.device) +
                                               " (velmora-capture --list shows them)");
        return fail(kExitDeviceOrFile, "a filter of the capture graph is missing");
    }
    if (!AddFilters(table_->Entries(), kEntries))
        return fail(kExitDeviceOrFile, "cannot make the capture graph");
    try {
        Connect(table_->Entries(), kEntries, kPlan, 9);
    } catch (const _tagDXM_EXPECT& e) {
        if (e.index <= 2)
            return fail(kExitDeviceOrFile,
                        "the DV unit cannot send to this program (another program receives "
                        "from it?)");
        return fail(kExitDeviceOrFile, "cannot connect the capture graph");
    }
    IBaseFilter* device = (*table_)[kDevice].filter;
    IBaseFilter* mux = (*table_)[kMux].filter;
    IBaseFilter* writer = (*table_)[kWriter].filter;
    control_ = platform::QueryFrom<IMediaControl>(m_pGraph);
    events_ = platform::QueryFrom<IMediaEvent>(m_pGraph);
    transport_ = platform::QueryFrom<IAMExtTransport>(device);
    sequence_ = platform::QueryFrom<IVelmoraFileSequence>(mux);
    muxStatus_ = platform::QueryFrom<IVelmoraWriteStatus>(mux);
    writerStatus_ = platform::QueryFrom<IVelmoraWriteStatus>(writer);
    auto sink = platform::QueryFrom<IFileSinkFilter2>(writer);
    auto settings = platform::QueryFrom<IVelmoraAviMuxSettings>(mux);
    if (!control_ || !events_ || !transport_ || !sequence_ || !sink || !settings)
        return fail(kExitDeviceOrFile, "the capture graph lacks an interface it needs");
    const VelmoraMuxFileFormat format =
        options_.container == Container::Dv ? VELMORA_MUX_RAW_DV : VELMORA_MUX_AVI;
    if (FAILED(settings->SetFileFormat(format)))
        return fail(kExitDeviceOrFile, "the capture graph cannot write this file format");

    const std::string unitName = platform::dv1394::DvUnitNameOf(device);
    if (change && splitter_) {
        // Found again by its place in the device list, which units plugged meanwhile change.
        if (unitName != unitName_) {
            transport_.Reset();  // another unit's, not to be told anything
            return fail(kExitDeviceOrFile, "the DV unit went away or moved in the device list");
        }
        splitter_->ContinueAfterSystemChange(LossesOf(device), *change);
    } else {
        unitName_ = unitName;
        splitter_ = std::make_unique<RecordingSplitter>(
            options_.split, FileNamer(options_.prefix, options_.container, options_.naming),
            unitName, LossesOf(device));
    }
    sequence_->SetSplitter(splitter_.get(), RecordingSplitter::kLookahead);
    // The writer opens a file as the graph starts; the first frame names the real one, and
    // this one, never written, goes again.
    placeholder_ = options_.prefix + ".capture-" + std::to_string(::getpid()) + ".part";
    sink->SetMode(AM_FILE_OVERWRITE);
    if (FAILED(sink->SetFileName(platform::Utf8ToUtf16(placeholder_).c_str(), nullptr)))
        return fail(kExitDeviceOrFile, "cannot write files named " + options_.prefix);
    return true;
}

LONG CaptureSession::TransportMode() {
    LONG mode = 0;
    return SUCCEEDED(transport_->get_Mode(&mode)) ? mode : 0;
}

bool CaptureSession::Rewind(const std::atomic<bool>& stop) {
    if (FAILED(transport_->put_Mode(ED_MODE_REW))) return false;
    // The deck stops by itself at the start of the tape.
    while (!stop) {
        std::this_thread::sleep_for(200ms);
        if (TransportMode() == ED_MODE_STOP) return true;
    }
    transport_->put_Mode(ED_MODE_STOP);
    return true;
}

std::optional<EndReason> CaptureSession::GraphEnd(CaptureResult* result) {
    LONG code = 0;
    LONG_PTR param1 = 0, param2 = 0;
    std::optional<EndReason> end;
    if (!events_) return end;  // a graph built again failed: there is none
    while (events_->GetEvent(&code, &param1, &param2, 0) == S_OK) {
        if (code == EC_VELMORA_DV_SYSTEM_CHANGED) systemChanged_ = true;
        if (code == EC_DEVICE_LOST && !end) {
            end = EndReason::DeviceLost;
            result->exitCode = kExitDeviceOrFile;
            result->message = "the DV unit went away";
        }
        if (code == EC_ERRORABORT) {
            HRESULT failure = S_OK;
            bool written = (muxStatus_ && muxStatus_->GetWriteFailure(&failure) == S_OK) ||
                           (writerStatus_ && writerStatus_->GetWriteFailure(&failure) == S_OK);
            if (!written) failure = static_cast<HRESULT>(param1);
            end = EndReason::WriteFailed;
            result->exitCode = kExitWriteFailed;
            char text[64];
            std::snprintf(text, sizeof text, "writing the file failed (0x%08X)",
                          static_cast<unsigned>(failure));
            result->message = text;
        }
        events_->FreeEventParams(code, param1, param2);
    }
    return end;
}

CaptureResult CaptureSession::Run(const std::atomic<bool>& stop,
                                  const std::function<void(const CaptureFigures&)>& progress) {
    CaptureResult result;
    const auto began = Clock::now();
    if (!Build(&result)) return result;
    if (options_.rewind && !Rewind(stop)) {
        result.exitCode = kExitDeviceOrFile;
        result.message = "the DV unit does not rewind";
        return result;
    }
    if (FAILED(control_->Run())) {
        result.exitCode = kExitDeviceOrFile;
        result.message = "cannot create files named " + options_.prefix + "...";
        return result;
    }
    if (FAILED(transport_->put_Mode(ED_MODE_PLAY))) {
        StopGraph();
        result.exitCode = kExitDeviceOrFile;
        result.message = "the DV unit does not play (no cassette?)";
        return result;
    }
    const auto playing = Clock::now();
    auto listening = playing;  // since the graph that runs now began
    auto nextTransportCheck = playing + 1s;
    std::optional<EndReason> end;
    while (!end) {
        std::this_thread::sleep_for(200ms);
        const auto now = Clock::now();
        const CaptureFigures figures = splitter_->Figures();
        if (progress) progress(figures);
        if (stop) end = EndReason::Interrupted;
        if (!end) end = GraphEnd(&result);
        if (!end && systemChanged_) {
            end = GoOverToNewSystem(&result);
            listening = Clock::now();
        }
        if (!end && options_.durationSeconds &&
            now - playing >= std::chrono::duration<double>(*options_.durationSeconds))
            end = EndReason::Duration;
        const auto quiet = Clock::now() - std::max(splitter_->LastArrival(), listening);
        if (!end && quiet >= std::chrono::duration<double>(options_.noSignalSeconds))
            end = EndReason::NoSignal;
        // The deck stops at the end of the tape; the frames on their way still come.
        if (!end && now >= nextTransportCheck) {
            nextTransportCheck = now + 1s;
            if (TransportMode() == ED_MODE_STOP && quiet >= 1s) end = EndReason::TapeEnd;
        }
    }
    result.reason = *end;
    if (*end != EndReason::DeviceLost && transport_) transport_->put_Mode(ED_MODE_STOP);
    StopGraph();
    // Finishing the last file can fail too.
    if (std::optional<EndReason> late = GraphEnd(&result); late == EndReason::WriteFailed)
        result.reason = *late;
    result.files = splitter_->Files();
    result.figures = splitter_->Figures();
    result.seconds = std::chrono::duration<double>(Clock::now() - began).count();
    return result;
}

std::optional<EndReason> CaptureSession::GoOverToNewSystem(CaptureResult* result) {
    systemChanged_ = false;
    const bool idle = splitter_->Arrived() == arrivedAtBuild_;
    idleRebuilds_ = idle ? idleRebuilds_ + 1 : 0;
    StopGraph();
    // Finishing the file can fail, and the unit can have gone meanwhile.
    if (std::optional<EndReason> end = GraphEnd(result)) return end;
    if (idleRebuilds_ > kMostIdleRebuilds) {
        result->exitCode = kExitDeviceOrFile;
        result->message = "the DV unit does not say which DV system it plays";
        return EndReason::NoSignal;
    }
    const SystemChange change = ChangeSeenBy((*table_)[kDevice].filter);
    TakeDown();
    if (Build(result, change)) {
        arrivedAtBuild_ = splitter_->Arrived();
        if (SUCCEEDED(control_->Run())) return std::nullopt;
        result->exitCode = kExitDeviceOrFile;
        result->message = "cannot create files named " + options_.prefix + "...";
    }
    // The tape stops where the unit can still be told.
    if (transport_) transport_->put_Mode(ED_MODE_STOP);
    return EndReason::DeviceLost;
}

void CaptureSession::StopGraph() {
    if (!control_ || stopped_) return;
    stopped_ = true;
    // Every frame held for the splitter goes out, split where it should be, before the graph
    // stops and the last file is finished.
    if (sequence_) sequence_->WriteHeldFrames();
    control_->Stop();
    if (splitter_) splitter_->Finish();
    if (sequence_) sequence_->SetSplitter(nullptr, 0);
    struct stat info {};
    if (!placeholder_.empty() && ::stat(placeholder_.c_str(), &info) == 0 && info.st_size == 0)
        ::unlink(placeholder_.c_str());
}

void CaptureSession::Shutdown() {
    if (!built_) return;
    built_ = false;
    StopGraph();
    TakeDown();
}

void CaptureSession::TakeDown() {
    control_.Reset();
    transport_.Reset();
    sequence_.Reset();
    muxStatus_.Reset();
    writerStatus_.Reset();
    if (table_) {
        Teardown(table_->Entries(), kEntries);
        FreeTable(table_);
    }
    events_.Reset();
    ReleaseGraph();
}

}  // namespace capture
