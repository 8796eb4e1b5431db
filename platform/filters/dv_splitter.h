#pragma once
// The DV Splitter system filter: interleaved DV frames in on "Input"; each frame, whole, out on
// "DVVidOut0" (MEDIATYPE_Video/dvsd) and its audio out on "AudOut00" as 16-bit stereo PCM at
// the stream's own rate.
//
// Timing: both outputs carry the input sample's time stamps (a frame's audio lasts as long as
// the frame) and flags; audio samples also carry their media time, the running sample count of
// the segment. End of stream, flushes and new segments go to both outputs. An output whose
// downstream refuses a sample is not fed again until the next flush or stop; the input refuses
// (S_FALSE) once every connected output has refused. When the audio's rate differs from the
// connected audio type, the first sample at the new rate carries the new type. A frame without
// readable audio sends no audio; the next audio sample is marked as a discontinuity.
//
// Threads: each output delivers from a queue with a thread of its own while the filter is
// active, so a paused graph settles with a frame in both renderers: the video renderer holding
// its first frame does not hold the input's thread, which goes on to queue that frame's audio.

#include <memory>
#include <vector>

#include "platform/media/base/filter.h"

namespace platform::filters {

class DvSplitter final : public CBaseFilter {
  public:
    explicit DvSplitter(IUnknown* outer);
    ~DvSplitter() override;
    static HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** object);

    int GetPinCount() override { return 3; }
    CBasePin* GetPin(int index) override;
    HRESULT STDMETHODCALLTYPE Stop() override;
    HRESULT STDMETHODCALLTYPE Pause() override;

  private:
    class InputPin;
    class QueuedPin;
    class VideoPin;
    class AudioPin;

    HRESULT Receive(IMediaSample* sample);
    HRESULT EndOfStream();
    HRESULT BeginFlush();
    HRESULT EndFlush();
    HRESULT NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate);
    HRESULT DeliverVideo(IMediaSample* in, const BYTE* data, LONG length);
    HRESULT DeliverAudio(IMediaSample* in, const BYTE* data, LONG length);
    void ResetStreaming();

    CCritSec stateLock_;
    CCritSec receiveLock_;
    std::unique_ptr<InputPin> input_;
    std::unique_ptr<VideoPin> video_;
    std::unique_ptr<AudioPin> audio_;

    // Streaming state, under receiveLock_.
    bool videoDone_ = false;
    bool audioDone_ = false;
    bool audioGap_ = false;
    int audioRate_ = 0;  // the rate of the audio delivered last (0: the connected type's)
    LONGLONG audioPosition_ = 0;
    std::vector<std::int16_t> pcm_;
};

}  // namespace platform::filters
