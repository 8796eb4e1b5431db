#pragma once
// A file reader: frame-exact access to a DV AVI file (NTSC DV, 720x480) through a decoding
// graph that is seeked to one frame and run until it completes for every read.

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/com/com_ptr.h"
#include "toolkit/graph/direct_show.h"
#include "toolkit/graph/lock.h"

namespace tovik {

inline constexpr std::uint32_t kDvFrameBytes = 120000;
inline constexpr std::uint32_t kPictureBytes = 720 * 480 * 3;
inline constexpr std::uint32_t kFrameAudioBytes = 6480;
inline constexpr std::uint32_t k32kReadBytes = 4320;
inline constexpr std::uint32_t kConverted32kBytes = 6408;
inline constexpr std::uint32_t kGetAudioBufferBytes = 6600;

inline constexpr int kOpenRender = 0x1;
inline constexpr int kOpenSyncRender = 0x4;

// What the AAUX source pack of a DV frame says about its audio.
struct FrameAudio {
    bool is32k;
    std::uint32_t samples;  // stereo pairs in the frame
};
FrameAudio ReadAudioPack(const std::uint8_t* dvFrame);

// Stretches one frame of 16-bit stereo linearly onto the destination length, end pairs aligned.
void ConvertRate(void* destination, std::uint32_t destinationBytes, const void* source,
                 std::uint32_t sourceBytes);

}  // namespace tovik

class CFileReader final : public CDirectShow {
  public:
    CFileReader() = default;
    ~CFileReader() override;

    int Open(const char* fileName, int flags);
    int Close();
    std::uint32_t GetLength() const { return opened_ ? frameCount_ : 0; }
    int GetFrame(std::uint32_t frame, void* video, void* audio, int* audioBytes);
    int GetAudio(std::uint32_t first, std::uint32_t count, void* buffer);
    std::int32_t Error() const { return m_nError; }

  private:
    bool FrameAccess() const { return flags_ == 0; }
    bool AudioAccess() const {
        return flags_ != 0 && (flags_ & (tovik::kOpenRender | tovik::kOpenSyncRender)) == 0;
    }
    int OpenAccess(const char* fileName);
    int Fail();
    void ReleaseBuilt();
    bool LoadFile(const char* fileName);
    bool SetFullDecode();
    bool ConnectAccess();
    bool ObtainInterfaces();
    bool RunToFrame(std::uint32_t frame);
    bool Copy(ISampleGrabber* grabber, std::uint32_t capacity, void* into);
    std::uint32_t SamplesOfFrame(std::vector<std::uint8_t>& dvFrame);
    bool FillIndexUpTo(std::uint32_t first, std::uint32_t* start);
    bool FillIndexFrom(std::uint32_t entry);
    void SetGrabbersForIndexRun(bool indexRun);
    void CopyFrameAudio(void* audio, int* audioBytes, const tovik::FrameAudio& pack);

    CLock accessLock_;
    std::unique_ptr<CFilterTable> table_;
    int filterCount_ = 0;
    std::uint32_t frameCount_ = 0;
    std::vector<std::uint32_t> sampleIndex_;  // audio access: first sample of each frame
    int flags_ = 0;
    bool opened_ = false;

    platform::ComPtr<IMediaSeeking> seeking_;
    platform::ComPtr<ISampleGrabber> videoGrabber_;
    platform::ComPtr<ISampleGrabber> audioGrabber_;
    platform::ComPtr<ISampleGrabber> dvGrabber_;
    platform::ComPtr<IMediaEvent> events_;
    platform::ComPtr<IMediaControl> control_;
};
