#pragma once
// An output pin's deliveries on a thread of their own. A filter that feeds several outputs from
// one streaming thread hands each output's samples, new segments and ends of stream to the
// output's queue, which passes them downstream in order. One output's downstream blocking (a
// paused renderer holding the sample it shows) then never keeps the others from being fed.
//
// A queue holds no more than the samples its pin's allocator lends: once they are all queued or
// downstream, the filter's next GetDeliveryBuffer waits. A sample that downstream refuses
// (anything but S_OK) makes that answer the queue's: later samples are dropped and Receive
// answers it, until the next flush or stop. BeginFlush drops what waits and passes the flush
// on; EndFlush waits for a delivery in progress to return before passing the end of the flush
// on, so nothing of the old segment follows it.

#include <condition_variable>
#include <deque>
#include <mutex>

#include "platform/com/com_ptr.h"
#include "platform/kernel/thread.h"
#include "platform/media/base/filter.h"

class COutputQueue {
  public:
    explicit COutputQueue(CBaseOutputPin* pin);
    ~COutputQueue();
    COutputQueue(const COutputQueue&) = delete;
    COutputQueue& operator=(const COutputQueue&) = delete;

    // Starts the delivering thread, as the pin becomes active.
    void Start();
    // Drops what waits and joins the thread, as the pin becomes inactive. What a delivery in
    // progress may block on (a paused renderer downstream) must be released first.
    void Stop();

    // Queues the sample (with a reference of its own): S_OK, S_FALSE while flushing, the kept
    // refusal, or VFW_E_WRONG_STATE when the queue is not running.
    HRESULT Receive(IMediaSample* sample);
    void NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate);
    void EndOfStream();
    void BeginFlush();
    void EndFlush();

  private:
    enum class Kind { Sample, Segment, End };
    struct Item {
        Kind kind;
        platform::ComPtr<IMediaSample> sample;
        REFERENCE_TIME start = 0, stop = 0;
        double rate = 1.0;
    };

    // Queues an item unless stopped or flushing.
    void Push(Item item);
    void Run();
    void Deliver(Item& item);

    CBaseOutputPin* pin_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Item> items_;
    bool running_ = false;
    bool flushing_ = false;
    bool delivering_ = false;
    HRESULT refused_ = S_OK;
    platform::Thread thread_;
};
