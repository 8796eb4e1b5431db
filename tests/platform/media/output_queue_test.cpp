// The output queue between an output pin and a sink that logs what reaches it, and that can
// hold a sample (as a paused renderer does) or refuse samples: order of samples and stream
// events, a refusal kept until the next flush, a flush that frees a held delivery and drops
// what waits, and a stop.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <string>
#include <vector>

#include "platform/media/base/output_queue.h"

namespace {

using namespace std::chrono_literals;

// An input pin that logs "s<n>" for sample n (its first byte), "segment", "eos", "begin-flush"
// and "end-flush"; it holds sample `holdAt` until a flush begins, and answers S_FALSE from
// sample `refuseAt` on.
class LogSink final : public CBaseFilter {
  public:
    LogSink() : CBaseFilter("log sink", nullptr, &lock_, GUID_NULL), pin_(this) {}
    int GetPinCount() override { return 1; }
    CBasePin* GetPin(int) override { return &pin_; }
    IPin* Input() { return &pin_; }

    void HoldAt(int n) {
        std::lock_guard lock(mutex_);
        holdAt_ = n;
    }
    void RefuseAt(int n) {
        std::lock_guard lock(mutex_);
        refuseAt_ = n;
    }
    std::vector<std::string> Log() {
        std::lock_guard lock(mutex_);
        return log_;
    }
    // Waits until the log has this many entries.
    bool WaitFor(std::size_t entries) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 10s, [&] { return log_.size() >= entries; });
    }
    bool WaitUntilHolding() {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 10s, [&] { return holding_; });
    }

  private:
    class Pin final : public CBaseInputPin {
      public:
        explicit Pin(LogSink* sink)
            : CBaseInputPin("log sink in", sink, &sink->lock_, nullptr, u"In"), sink_(sink) {}
        HRESULT CheckMediaType(const CMediaType*) override { return S_OK; }
        HRESULT STDMETHODCALLTYPE Receive(IMediaSample* sample) override {
            BYTE* data = nullptr;
            sample->GetPointer(&data);
            return sink_->Take(data[0]);
        }
        HRESULT STDMETHODCALLTYPE EndOfStream() override { return sink_->Add("eos"); }
        HRESULT STDMETHODCALLTYPE NewSegment(REFERENCE_TIME, REFERENCE_TIME, double) override {
            return sink_->Add("segment");
        }
        HRESULT STDMETHODCALLTYPE BeginFlush() override { return sink_->Flush(true); }
        HRESULT STDMETHODCALLTYPE EndFlush() override { return sink_->Flush(false); }

      private:
        LogSink* sink_;
    };

    HRESULT Add(const std::string& entry) {
        {
            std::lock_guard lock(mutex_);
            log_.push_back(entry);
        }
        changed_.notify_all();
        return S_OK;
    }
    HRESULT Take(int n) {
        std::unique_lock lock(mutex_);
        if (flushing_) return S_FALSE;
        if (n == holdAt_) {
            holding_ = true;
            changed_.notify_all();
            changed_.wait(lock, [&] { return flushing_; });
            holding_ = false;
            log_.push_back("released s" + std::to_string(n));
            changed_.notify_all();
            return S_FALSE;
        }
        log_.push_back("s" + std::to_string(n));
        changed_.notify_all();
        return refuseAt_ >= 0 && n >= refuseAt_ ? S_FALSE : S_OK;
    }
    HRESULT Flush(bool begin) {
        {
            std::lock_guard lock(mutex_);
            flushing_ = begin;
            log_.push_back(begin ? "begin-flush" : "end-flush");
        }
        changed_.notify_all();
        return S_OK;
    }

    CCritSec lock_;
    Pin pin_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> log_;
    int holdAt_ = -1, refuseAt_ = -1;
    bool holding_ = false, flushing_ = false;
};

// An output pin with three one-byte buffers and a queue of its own.
class QueuedSource final : public CBaseFilter {
  public:
    QueuedSource() : CBaseFilter("queued source", nullptr, &lock_, GUID_NULL), pin_(this) {}
    int GetPinCount() override { return 1; }
    CBasePin* GetPin(int) override { return &pin_; }
    IPin* Output() { return &pin_; }
    COutputQueue& Queue() { return pin_.queue; }
    HRESULT Activate() {
        HRESULT hr = pin_.Active();
        pin_.queue.Start();
        return hr;
    }
    void Deactivate() {
        pin_.Inactive();
        pin_.queue.Stop();
    }
    // Queues sample n: S_OK or what the queue answers. Without waiting for a buffer, the answer
    // is VFW_E_TIMEOUT while all three are queued or downstream.
    HRESULT Send(int n, bool waitForBuffer = true) {
        IMediaSample* sample = nullptr;
        HRESULT hr =
            pin_.GetDeliveryBuffer(&sample, nullptr, nullptr, waitForBuffer ? 0 : AM_GBF_NOWAIT);
        if (FAILED(hr)) return hr;
        BYTE* data = nullptr;
        sample->GetPointer(&data);
        data[0] = BYTE(n);
        sample->SetActualDataLength(1);
        hr = pin_.queue.Receive(sample);
        sample->Release();
        return hr;
    }

  private:
    class Pin final : public CBaseOutputPin {
      public:
        explicit Pin(QueuedSource* source)
            : CBaseOutputPin("queued out", source, &source->lock_, nullptr, u"Out"), queue(this) {}
        HRESULT CheckMediaType(const CMediaType*) override { return S_OK; }
        HRESULT GetMediaType(int position, CMediaType* type) override {
            if (position != 0) return VFW_S_NO_MORE_ITEMS;
            type->SetType(&MEDIATYPE_Video);
            type->SetFormatType(&FORMAT_None);
            return S_OK;
        }
        HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES*) override {
            ALLOCATOR_PROPERTIES wanted{3, 1, 1, 0}, actual{};
            return allocator->SetProperties(&wanted, &actual);
        }
        COutputQueue queue;
    };

    CCritSec lock_;
    Pin pin_;
};

class OutputQueue : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(source_->Output()->Connect(sink_->Input(), nullptr), S_OK);
        ASSERT_EQ(source_->Activate(), S_OK);
    }
    void TearDown() override {
        sink_->Input()->BeginFlush();  // lets go of a held sample
        source_->Deactivate();
        source_->Output()->Disconnect();
        sink_->Input()->Disconnect();
    }
    // Each filter goes with its last reference.
    LogSink* sink_ = new LogSink;
    platform::ComPtr<IBaseFilter> sinkReference_{sink_};
    QueuedSource* source_ = new QueuedSource;
    platform::ComPtr<IBaseFilter> sourceReference_{source_};
};

using Log = std::vector<std::string>;

TEST_F(OutputQueue, DeliversSamplesAndStreamEventsInOrder) {
    source_->Queue().NewSegment(0, 100, 1.0);
    for (int n = 0; n < 6; ++n) ASSERT_EQ(source_->Send(n), S_OK);
    source_->Queue().EndOfStream();
    ASSERT_TRUE(sink_->WaitFor(8));
    EXPECT_EQ(sink_->Log(), (Log{"segment", "s0", "s1", "s2", "s3", "s4", "s5", "eos"}));
}

TEST_F(OutputQueue, ARefusalDropsLaterSamplesUntilTheNextFlush) {
    sink_->RefuseAt(2);
    for (int n = 0; n < 3; ++n) ASSERT_EQ(source_->Send(n), S_OK);
    // The refusal becomes the queue's answer; what was queued before it is known is dropped.
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    HRESULT hr = S_OK;
    while (hr == S_OK && std::chrono::steady_clock::now() < deadline) hr = source_->Send(3);
    EXPECT_EQ(hr, S_FALSE);
    // The end of the stream still goes through.
    source_->Queue().EndOfStream();
    ASSERT_TRUE(sink_->WaitFor(4));
    EXPECT_EQ(sink_->Log(), (Log{"s0", "s1", "s2", "eos"}));

    sink_->RefuseAt(-1);
    source_->Queue().BeginFlush();
    source_->Queue().EndFlush();
    ASSERT_EQ(source_->Send(4), S_OK);
    ASSERT_TRUE(sink_->WaitFor(7));
    EXPECT_EQ(sink_->Log(), (Log{"s0", "s1", "s2", "eos", "begin-flush", "end-flush", "s4"}));
}

// A sink that holds a sample (a paused renderer) keeps the queue's thread, not the sender's; a
// flush lets it go, drops what waits and ends only once the held delivery has returned.
TEST_F(OutputQueue, AFlushFreesAHeldDeliveryAndDropsWhatWaits) {
    sink_->HoldAt(0);
    ASSERT_EQ(source_->Send(0), S_OK);
    ASSERT_TRUE(sink_->WaitUntilHolding());
    ASSERT_EQ(source_->Send(1), S_OK);  // waits in the queue
    ASSERT_EQ(source_->Send(2), S_OK);  // the last buffer
    EXPECT_EQ(source_->Send(3, false), VFW_E_TIMEOUT);
    source_->Queue().EndOfStream();
    source_->Queue().BeginFlush();
    EXPECT_EQ(source_->Send(3, false), S_FALSE);  // the dropped samples gave their buffers back
    source_->Queue().EndFlush();
    EXPECT_EQ(sink_->Log(), (Log{"begin-flush", "released s0", "end-flush"}));

    sink_->HoldAt(-1);
    source_->Queue().NewSegment(0, 100, 1.0);
    ASSERT_EQ(source_->Send(5), S_OK);
    ASSERT_TRUE(sink_->WaitFor(5));
    EXPECT_EQ(sink_->Log(), (Log{"begin-flush", "released s0", "end-flush", "segment", "s5"}));
}

TEST_F(OutputQueue, AStoppedQueueTakesNothingAndStartsAfresh) {
    sink_->RefuseAt(0);
    ASSERT_EQ(source_->Send(0), S_OK);
    ASSERT_TRUE(sink_->WaitFor(1));
    source_->Queue().Stop();
    EXPECT_EQ(source_->Send(1), VFW_E_WRONG_STATE);
    source_->Queue().EndOfStream();
    // Started again, the refusal of the run before is forgotten.
    sink_->RefuseAt(-1);
    source_->Queue().Start();
    ASSERT_EQ(source_->Send(2), S_OK);
    ASSERT_TRUE(sink_->WaitFor(2));
    EXPECT_EQ(sink_->Log(), (Log{"s0", "s2"}));
}

}  // namespace
