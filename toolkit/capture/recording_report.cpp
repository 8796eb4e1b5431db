#include "toolkit/capture/recording_report.h"

#include <algorithm>
#include <filesystem>

#include "platform/com/com.h"

namespace tovik {
namespace dv = platform::dv;

dv::FrameLoss LossAttribution::Next(std::optional<std::int64_t> number,
                                    const dv::FrameLoss& totals) {
    unused_.bus += std::max<std::int64_t>(0, totals.bus - seen_.bus);
    unused_.overrun += std::max<std::int64_t>(0, totals.overrun - seen_.overrun);
    unused_.incomplete += std::max<std::int64_t>(0, totals.incomplete - seen_.incomplete);
    seen_ = totals;
    dv::FrameLoss lost;
    if (!number) return lost;
    std::int64_t gap = last_ ? *number - *last_ - 1 : 0;
    last_ = number;
    if (gap <= 0) return lost;
    auto take = [&](std::int64_t& from) {
        const std::int64_t n = std::min(from, gap);
        from -= n;
        gap -= n;
        return n;
    };
    lost.overrun = take(unused_.overrun);
    lost.incomplete = take(unused_.incomplete);
    lost.bus = take(unused_.bus) + gap;
    return lost;
}

RecordingReport::RecordingReport() = default;

RecordingReport::~RecordingReport() {
    End();
}

void RecordingReport::Begin(const char* path, IBaseFilter* device, IBaseFilter* mux) {
    End();
    losses_ = LossAttribution();
    if (!path || !mux || FAILED(mux->QueryInterface(IID_IVelmoraAviMuxTap, tap_.PutVoid()))) return;
    platform::QueryFrom(device, &stats_);
    DvLogSource source{"DV unit", "capture"};
    source.device = platform::dv1394::DvUnitNameOf(device);
    if (!writer_) writer_ = std::make_unique<DvLogWriter>();
    if (!writer_->Start(path, source)) {
        tap_.Reset();
        stats_.Reset();
        return;
    }
    sidecar_ = DvLogPathFor(path);
    tap_->SetFrameTap(this);
}

void RecordingReport::End() {
    if (tap_) tap_->SetFrameTap(nullptr);
    tap_.Reset();
    stats_.Reset();
    if (writer_) writer_->Finish();
}

void RecordingReport::Abandon() {
    End();
    if (!sidecar_.empty()) {
        std::error_code ignored;
        std::filesystem::remove(sidecar_, ignored);
    }
    sidecar_.clear();
}

dv::FrameLoss RecordingReport::DeviceTotals() const {
    dv::FrameLoss totals;
    if (!stats_) return totals;
    LONGLONG bus = 0, incomplete = 0, foreign = 0, overrun = 0;
    stats_->GetLosses(&bus, &incomplete, &foreign, &overrun);
    totals.bus = bus;
    totals.incomplete = incomplete + foreign;
    totals.overrun = overrun;
    return totals;
}

void RecordingReport::OnFrameWritten(const BYTE* data, LONG size, IMediaSample* sample) {
    LONGLONG start = 0, end = 0;
    std::optional<std::int64_t> number;
    if (sample && sample->GetMediaTime(&start, &end) == S_OK) number = start;
    const dv::FrameLoss lost = losses_.Next(number, DeviceTotals());
    if (writer_ && data && size > 0) writer_->AddFrame(data, static_cast<std::size_t>(size), lost);
}

}  // namespace tovik
