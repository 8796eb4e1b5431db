#pragma once
// A sink for the bridge tests that records, in order, every sample (times, length, first
// bytes) and every end of stream that reaches its input pin.

#include <condition_variable>
#include <mutex>
#include <vector>

#include "platform/media/base/filter.h"

namespace bridge_test {

struct Arrival {
    bool endOfStream = false;
    REFERENCE_TIME start = -1, end = -1;
    LONG length = -1;
    std::vector<BYTE> data;  // the sample's whole buffer
};

class RecordingSink final : public CBaseFilter {
  public:
    // After `limit` samples it refuses more, which ends the upstream pin's loop.
    explicit RecordingSink(std::size_t limit)
        : CBaseFilter("recording sink", nullptr, &lock_, GUID_NULL), pin_(this), limit_(limit) {}
    int GetPinCount() override { return 1; }
    CBasePin* GetPin(int index) override { return index == 0 ? &pin_ : nullptr; }

    // Waits until `count` arrivals were recorded; answers them (fewer after a second).
    std::vector<Arrival> WaitFor(std::size_t count) {
        std::unique_lock lock(mutex_);
        arrived_.wait_for(lock, std::chrono::seconds(5), [&] { return arrivals_.size() >= count; });
        return arrivals_;
    }
    void Clear() {
        std::lock_guard lock(mutex_);
        arrivals_.clear();
        samples_ = 0;
    }

  private:
    class Pin final : public CBaseInputPin {
      public:
        explicit Pin(RecordingSink* sink)
            : CBaseInputPin("recording input", sink, &sink->lock_, nullptr, u"In"), sink_(sink) {}
        HRESULT CheckMediaType(const CMediaType*) override { return S_OK; }
        HRESULT STDMETHODCALLTYPE Receive(IMediaSample* sample) override {
            HRESULT hr = CBaseInputPin::Receive(sample);
            if (hr != S_OK) return hr;
            Arrival a;
            sample->GetTime(&a.start, &a.end);
            a.length = sample->GetActualDataLength();
            BYTE* data = nullptr;
            sample->GetPointer(&data);
            a.data.assign(data, data + sample->GetSize());
            return sink_->Record(std::move(a));
        }
        HRESULT STDMETHODCALLTYPE EndOfStream() override {
            Arrival a;
            a.endOfStream = true;
            sink_->Record(std::move(a));
            return S_OK;
        }

      private:
        RecordingSink* sink_;
    };

    HRESULT Record(Arrival a) {
        std::lock_guard lock(mutex_);
        const bool sample = !a.endOfStream;
        arrivals_.push_back(std::move(a));
        arrived_.notify_all();
        if (sample && ++samples_ >= limit_) return S_FALSE;
        return S_OK;
    }

    CCritSec lock_;
    Pin pin_;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<Arrival> arrivals_;
    std::size_t samples_ = 0;
    std::size_t limit_;
};

}  // namespace bridge_test
