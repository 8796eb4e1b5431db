#pragma once
// Filters for the DV filter tests: a source that pushes a list of buffers of one media type,
// and a sink that keeps every sample it gets (without waiting for the clock).

#include <mutex>
#include <vector>

#include "platform/com/com_ptr.h"
#include "platform/media/base/source.h"
#include "tests/platform/dv/dv_media.h"

namespace velmora::test::dv {

class BufferSource final : public CSource {
  public:
    // Buffer i is stamped [i, i + 1) x duration when duration > 0, and left untimed otherwise.
    static platform::ComPtr<IBaseFilter> Create(const CMediaType& type, std::vector<Bytes> buffers,
                                                REFERENCE_TIME duration);

  private:
    class Stream;
    BufferSource();
};

struct Received {
    Bytes data;
    bool timed = false;
    REFERENCE_TIME start = 0, end = 0;
    bool hasMediaTime = false;
    LONGLONG mediaStart = 0, mediaEnd = 0;
    bool discontinuity = false;
    int newRate = 0;  // the sample rate of a media type the sample carries, else 0
};

class CollectSink final : public CBaseFilter {
  public:
    static platform::ComPtr<IBaseFilter> Create(CollectSink** self);
    int GetPinCount() override { return 1; }
    CBasePin* GetPin(int index) override;
    std::vector<Received> Samples();
    int EndOfStreams();
    // The sink answers S_FALSE (refuses more) after this many samples; -1 never.
    void RefuseAfter(int count);

  private:
    class Pin;
    CollectSink();
    CCritSec lock_;
    std::unique_ptr<Pin> pin_;
    std::mutex mutex_;
    std::vector<Received> samples_;
    int eos_ = 0;
    int refuseAfter_ = -1;
};

}  // namespace velmora::test::dv
