#pragma once
// The frame decoder: a private graph that turns one compressed DV frame into a 720 x 480
// picture, 24 bits per pixel, rows bottom-up (Tovik Source Bridge -> DV Video Decoder ->
// Sample Grabber -> Null Renderer). An owner (capture object, player) holds one, builds it
// once and decodes one still at a time; the chain is connected and disconnected per still.

#include <cstdint>
#include <memory>

#include "bridge/source_bridge.h"
#include "platform/com/com_ptr.h"
#include "toolkit/graph/direct_show.h"

namespace tovik {

inline constexpr LONG kDvFrameBytes = 120000;
inline constexpr LONG kPictureWidth = 720;
inline constexpr LONG kPictureHeight = 480;
inline constexpr LONG kPictureBytes = kPictureWidth * kPictureHeight * 3;  // 1036800
// A 625-line frame and its picture, which only stills written to files take.
inline constexpr LONG kDvFrameBytes625 = 144000;
inline constexpr LONG kPictureHeight625 = 576;
inline constexpr LONG kPictureBytes625 = kPictureWidth * kPictureHeight625 * 3;

// The text shown when the bridge filter cannot be created (it is not registered).
inline constexpr const char* kBridgeNotFoundMessage =
    "TovikPlayer Assert -\nTovik Source Bridge Filter (TovikSrcBrdg.ax) is not found!";

class CFrameDecoder : public CDirectShow {
  public:
    CFrameDecoder() = default;
    ~CFrameDecoder() override;

    // Creates the graph and its four filters: 1 when ready, 0 otherwise (also when already
    // built). A bridge filter that cannot be created is reported in a message box.
    int Build();
    // Decodes one frame (frameBytes bytes, of the stream type dvType) into picture
    // (pictureBytes bytes: a 720 x 480 or 720 x 576 picture for a frame of that system).
    // Answers 1 after a completed run, 0 when not built or the chain could not be connected.
    // *out becomes 0 only when a picture of exactly that size was produced; picture is written
    // only then. A frame that does not decode ends the run as soon as the decoder has passed
    // it over.
    int Decode(const AM_MEDIA_TYPE* dvType, const BYTE* dvFrame, LONG frameBytes, BYTE* picture,
               LONG pictureBytes, std::int32_t* out);
    // A 525-line frame into a 720 x 480 picture.
    int Decode(const AM_MEDIA_TYPE* dvType, const BYTE* dvFrame, BYTE* picture, std::int32_t* out) {
        return Decode(dvType, dvFrame, kDvFrameBytes, picture, kPictureBytes, out);
    }
    // Releases what Build made: 0 when not built, 1 otherwise.
    int Teardown();
    bool IsBuilt() const { return built_ != 0; }

  private:
    static LONG RenderProc(BYTE* buffer, LONG* size, void* context);
    bool QueryInterfaces();
    bool ConnectChain();
    bool ChoosePictureType(CMediaType* type);
    bool TakePicture(BYTE* picture, LONG bytes);
    void ReleaseAll();

    std::unique_ptr<CFilterTable> table_;
    // The still being decoded; set while the graph is stopped, read by the bridge's thread.
    const BYTE* currentFrame_ = nullptr;
    LONG currentFrameBytes_ = 0;
    bool frameSent_ = false;  // the bridge's thread has been handed the frame in this run
    std::int32_t built_ = 0;
    platform::ComPtr<ISampleGrabber> grabber_;
    platform::ComPtr<IMediaEvent> events_;
    platform::ComPtr<IMediaControl> control_;
    platform::ComPtr<ITovikSourceBridge> bridge_;
};

}  // namespace tovik
