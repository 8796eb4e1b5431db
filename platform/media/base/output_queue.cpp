#include "platform/media/base/output_queue.h"

COutputQueue::COutputQueue(CBaseOutputPin* pin) : pin_(pin) {}

COutputQueue::~COutputQueue() {
    Stop();
}

void COutputQueue::Start() {
    {
        std::lock_guard lock(mutex_);
        if (running_) return;
        running_ = true;
        flushing_ = false;
        refused_ = S_OK;
    }
    thread_.Start([this] { Run(); });
}

void COutputQueue::Stop() {
    std::deque<Item> dropped;
    {
        std::lock_guard lock(mutex_);
        running_ = false;
        dropped.swap(items_);
    }
    changed_.notify_all();
    dropped.clear();  // the samples go back to their allocator, outside the lock
    thread_.Join();
}

HRESULT COutputQueue::Receive(IMediaSample* sample) {
    if (!sample) return E_POINTER;
    {
        std::lock_guard lock(mutex_);
        if (!running_) return VFW_E_WRONG_STATE;
        if (flushing_) return S_FALSE;
        if (refused_ != S_OK) return refused_;
        items_.push_back({Kind::Sample, platform::ComPtr<IMediaSample>(sample)});
    }
    changed_.notify_all();
    return S_OK;
}

void COutputQueue::NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
    Push({Kind::Segment, nullptr, start, stop, rate});
}

void COutputQueue::EndOfStream() {
    Push({Kind::End, nullptr});
}

void COutputQueue::Push(Item item) {
    {
        std::lock_guard lock(mutex_);
        if (!running_ || flushing_) return;
        items_.push_back(std::move(item));
    }
    changed_.notify_all();
}

void COutputQueue::BeginFlush() {
    std::deque<Item> dropped;
    {
        std::lock_guard lock(mutex_);
        flushing_ = true;
        dropped.swap(items_);
    }
    dropped.clear();
    // Downstream lets go of a sample it holds, which ends a delivery in progress.
    pin_->DeliverBeginFlush();
}

void COutputQueue::EndFlush() {
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return !delivering_; });
    }
    pin_->DeliverEndFlush();
    std::lock_guard lock(mutex_);
    flushing_ = false;
    refused_ = S_OK;
}

void COutputQueue::Run() {
    for (;;) {
        Item item;
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [&] { return !running_ || !items_.empty(); });
            if (!running_) return;
            item = std::move(items_.front());
            items_.pop_front();
            // After a refusal only stream events go on; the sample is dropped below.
            if (item.kind == Kind::Sample && refused_ != S_OK) continue;
            delivering_ = true;
        }
        Deliver(item);
        item.sample.Reset();
        {
            std::lock_guard lock(mutex_);
            delivering_ = false;
        }
        changed_.notify_all();
    }
}

void COutputQueue::Deliver(Item& item) {
    switch (item.kind) {
        case Kind::Sample:
            if (HRESULT hr = pin_->Deliver(item.sample.Get()); hr != S_OK) {
                std::lock_guard lock(mutex_);
                refused_ = hr;
            }
            break;
        case Kind::Segment:
            pin_->DeliverNewSegment(item.start, item.stop, item.rate);
            break;
        case Kind::End:
            pin_->DeliverEndOfStream();
            break;
    }
}
