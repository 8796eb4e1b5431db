#pragma once
// The DV Muxer system filter: DV frames in on "Stream 0", 16-bit stereo PCM (48, 44.1 or 32
// kHz) on "Stream 1", interleaved DV frames out on "Output" with the audio written into each
// frame's audio DIF blocks.
//
// Pairing: audio is paired with video by position, from the start of the stream (or of the
// segment after a flush): frame k carries the next LockedSamplesInFrame(k) samples (1600, 1602,
// 1602, 1602, 1602 at 48 kHz on 525 lines). A frame waits until its audio has arrived, or
// until the audio ends; frames are queued, not blocked, so that one thread may feed both
// inputs (the DV Splitter does). Video blocks only when 30 frames wait for audio; audio blocks
// only when more than two seconds of it wait and no frame does.
//
// Short audio (the audio stream ended first): the frames still go out, their missing samples
// written as DV's "no sample" code, which players conceal and FFmpeg reads as silence. Long
// audio (samples left when the video ends): those samples cannot be carried and are dropped.
// Both are counted (MissingAudioSamples, SurplusAudioSamples) and reported on the debug output
// at the end of the stream; nothing is padded or dropped without that record. With "Stream 1"
// unconnected the frames pass unchanged, their own audio blocks kept.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/media/base/filter.h"

namespace platform::filters {

class DvMuxer final : public CBaseFilter {
  public:
    explicit DvMuxer(IUnknown* outer);
    ~DvMuxer() override;
    static HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** object);

    int GetPinCount() override { return 3; }
    CBasePin* GetPin(int index) override;
    HRESULT STDMETHODCALLTYPE Stop() override;
    HRESULT STDMETHODCALLTYPE Pause() override;

    // Writes 32 kHz audio as 12-bit nonlinear samples (camcorder style) instead of 16-bit.
    // Takes effect at the next run.
    void SetTwelveBitAudio(bool twelveBit);

    // Figures of the current or last run.
    std::int64_t FramesWritten() const;
    std::int64_t MissingAudioSamples() const;
    std::int64_t SurplusAudioSamples() const;

  private:
    class InputPin;
    class OutputPin;

    struct Frame {
        std::vector<std::uint8_t> data;
        REFERENCE_TIME start = 0, end = 0;
        HRESULT timed = S_FALSE;  // GetTime's answer
        bool discontinuity = false;
    };

    HRESULT ReceiveVideo(IMediaSample* sample);
    HRESULT ReceiveAudio(IMediaSample* sample);
    HRESULT EndOfStream(bool video);
    HRESULT BeginFlush();
    HRESULT EndFlush();
    HRESULT Pump();
    bool TakeNext(Frame* frame, std::vector<std::int16_t>* pcm, std::size_t* count);
    HRESULT DeliverFrame(Frame& frame);
    void DeliverEndIfDone();
    void ResetStreaming();
    int AudioRate() const;

    CCritSec stateLock_;
    std::unique_ptr<InputPin> video_;
    std::unique_ptr<InputPin> audio_;
    std::unique_ptr<OutputPin> output_;
    bool twelveBit_ = false;

    std::mutex deliverLock_;    // one thread at a time delivers downstream, in order
    mutable std::mutex mutex_;  // the queues and flags below; never held while calling out
    std::condition_variable changed_;
    std::deque<Frame> frames_;
    std::deque<std::int16_t> audioQueue_;  // interleaved pairs
    bool audioInUse_ = false, twelveBitRun_ = false;
    int rate_ = 48000;
    bool stopping_ = true, videoEnded_ = false, audioEnded_ = false, endDelivered_ = false;
    int flushes_ = 0;
    std::int64_t frameNumber_ = 0, missing_ = 0, surplus_ = 0;
};

}  // namespace platform::filters
