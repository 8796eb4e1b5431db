#pragma once
// Frames waiting to go out on the bus. The writer blocks while the queue is full; the bus side
// reads the frames as one stream of bytes, as fast as the isochronous cycle asks for them, and
// repeats the last frame (a still picture) when the writer falls behind.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

namespace platform::dv1394::firewire {

class FrameQueue {
  public:
    explicit FrameQueue(std::size_t capacity) : capacity_(capacity == 0 ? 1 : capacity) {}

    // Queues a copy of the frame; waits while `capacity` frames are waiting. False once closed.
    bool Push(const std::uint8_t* frame, std::size_t size);
    // Waits until a frame is queued or the queue is closed; the first frame's size, 0 if closed.
    std::size_t WaitFirst();
    // The next `size` bytes of the stream. Never waits: repeats the last frame when nothing new
    // is queued, and gives zeros before the first frame.
    void Read(std::uint8_t* out, std::size_t size);
    // Waits until every queued frame has been read to its end, or the queue is closed; false
    // when closed, or when no frame was finished for `stall`.
    bool WaitDrained(std::chrono::milliseconds stall);
    // Wakes and refuses writers from now on.
    void Close();
    bool Closed() const;
    std::uint64_t Repeats() const;

  private:
    void NextFrameLocked();

    const std::size_t capacity_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::vector<std::uint8_t>> waiting_;
    std::vector<std::uint8_t> current_;
    std::size_t offset_ = 0;
    std::uint64_t repeats_ = 0;
    bool closed_ = false;
};

}  // namespace platform::dv1394::firewire
