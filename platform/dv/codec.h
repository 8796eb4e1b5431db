#pragma once
// DV video through FFmpeg: a single-threaded libavcodec `dvvideo` decoder whose pictures are
// converted by libswscale into the layouts the filters deliver, and an encoder from bottom-up
// 24-bit RGB pictures to DV frames. FFmpeg's objects live behind this interface only.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/dv/dif.h"

namespace platform::dv {

// Uncompressed picture layouts: RGB24 and RGB32 rows run bottom-up in blue, green, red (and
// unused) byte order, as device-independent bitmaps store them; YUY2 rows run top-down.
enum class PixelLayout { Rgb24, Rgb32, Yuy2 };

// Bytes in one row and in a whole picture of the layout (rows are packed, width * bytes).
std::size_t RowBytes(PixelLayout layout, int width);
std::size_t PictureBytes(PixelLayout layout, int width, int height);

class DvDecoder {
  public:
    DvDecoder();
    ~DvDecoder();
    DvDecoder(const DvDecoder&) = delete;
    DvDecoder& operator=(const DvDecoder&) = delete;

    // False when libavcodec has no DV decoder or it could not be opened.
    bool IsOpen() const;
    // Decodes one DV frame; false when FFmpeg could make no picture of it. A damaged frame
    // decodes as far as FFmpeg can.
    bool Decode(const std::uint8_t* frame, std::size_t size);
    // Size of the last decoded picture (0 before the first).
    int Width() const;
    int Height() const;
    // Converts the last decoded picture, scaled to width x height, into `out`; false when
    // there is no picture or `out` is smaller than PictureBytes(layout, width, height).
    bool Convert(PixelLayout layout, int width, int height, std::uint8_t* out, std::size_t size);

  private:
    struct State;
    std::unique_ptr<State> state_;
};

class DvEncoder {
  public:
    // An encoder of 720 x 480 pictures at 30000/1001 frames a second into 120000-byte frames,
    // or for the 625-line system of 720 x 576 pictures at 25 frames a second into 144000 bytes.
    explicit DvEncoder(System system = System::Ntsc525);
    ~DvEncoder();
    DvEncoder(const DvEncoder&) = delete;
    DvEncoder& operator=(const DvEncoder&) = delete;

    bool IsOpen() const;
    static constexpr int kWidth = 720;
    static constexpr int kHeight = 480;  // of the 525-line system
    int Height() const { return height_; }
    // Encodes one bottom-up RGB24 picture of kWidth x Height() into `out` (at least a frame of
    // the system); answers the frame's size, or 0 on failure.
    std::size_t Encode(const std::uint8_t* rgb, std::size_t size, std::uint8_t* out,
                       std::size_t capacity);

  private:
    struct State;
    int height_;
    std::unique_ptr<State> state_;
};

}  // namespace platform::dv
