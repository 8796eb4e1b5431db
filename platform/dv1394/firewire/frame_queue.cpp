#include "platform/dv1394/firewire/frame_queue.h"

#include <algorithm>
#include <cstring>

namespace platform::dv1394::firewire {

bool FrameQueue::Push(const std::uint8_t* frame, std::size_t size) {
    if (frame == nullptr || size == 0) return false;
    std::vector<std::uint8_t> copy(frame, frame + size);
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return closed_ || waiting_.size() < capacity_; });
    if (closed_) return false;
    waiting_.push_back(std::move(copy));
    changed_.notify_all();
    return true;
}

std::size_t FrameQueue::WaitFirst() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return closed_ || !waiting_.empty() || !current_.empty(); });
    if (closed_) return 0;
    return current_.empty() ? waiting_.front().size() : current_.size();
}

void FrameQueue::Read(std::uint8_t* out, std::size_t size) {
    std::lock_guard lock(mutex_);
    while (size > 0) {
        if (offset_ >= current_.size()) NextFrameLocked();
        if (current_.empty()) {
            std::memset(out, 0, size);
            return;
        }
        const std::size_t n = std::min(size, current_.size() - offset_);
        std::memcpy(out, current_.data() + offset_, n);
        offset_ += n;
        out += n;
        size -= n;
    }
    if (offset_ >= current_.size() && waiting_.empty()) changed_.notify_all();  // drained
}

bool FrameQueue::WaitDrained(std::chrono::milliseconds stall) {
    std::unique_lock lock(mutex_);
    auto drained = [this] { return waiting_.empty() && offset_ >= current_.size(); };
    while (!closed_ && !drained()) {
        const std::size_t left = waiting_.size();
        // Progress (a frame taken from the queue) starts the time anew.
        if (!changed_.wait_for(lock, stall,
                               [&] { return closed_ || drained() || waiting_.size() < left; }))
            return false;
    }
    return !closed_;
}

void FrameQueue::NextFrameLocked() {
    offset_ = 0;
    if (waiting_.empty()) {
        if (!current_.empty()) ++repeats_;
        return;
    }
    current_ = std::move(waiting_.front());
    waiting_.pop_front();
    changed_.notify_all();
}

void FrameQueue::Close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    changed_.notify_all();
}

bool FrameQueue::Closed() const {
    std::lock_guard lock(mutex_);
    return closed_;
}

std::uint64_t FrameQueue::Repeats() const {
    std::lock_guard lock(mutex_);
    return repeats_;
}

}  // namespace platform::dv1394::firewire
