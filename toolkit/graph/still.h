#pragma once
// Stills of an owner's DV stream: the one-shot grab of the last DV frame from the owner's own
// Sample Grabber through its frame decoder, and BMP files of the picture.
//
// An owner's exported still functions are thin: GetOneShot(handle, picture, out) is
// GrabOneShot(owner's stream grabber, owner's decoder, picture, out); SaveBmp(handle, path)
// is SaveStillBmp(owner's stream grabber, owner's decoder, path).

#include <array>
#include <cstdint>
#include <vector>

#include "toolkit/graph/frame_decoder.h"

namespace tovik {

inline constexpr std::size_t kBmpHeaderBytes = 54;
inline constexpr std::size_t kBmpFileBytes = kBmpHeaderBytes + kPictureBytes;  // 1036854

// Fetches the last DV frame that passed the owner's grabber and decodes it into picture
// (kPictureBytes bytes). Answers 1 when the frame was fetched and handed to the decoder, 0
// when it could not be fetched or is a 625-line frame, whose picture would not fit. *out is 0
// when a picture was produced and -1 when not; the picture buffer is written only when one was.
int GrabOneShot(ISampleGrabber* streamGrabber, CFrameDecoder& decoder, BYTE* picture,
                std::int32_t* out);

// A still of either DV system: 720 x 480 or 720 x 576, 24 bits, rows bottom-up.
struct StillPicture {
    LONG height = 0;
    std::vector<BYTE> pixels;
};

// Fetches and decodes the last DV frame of either system; false when there is no picture.
bool GrabStill(ISampleGrabber* streamGrabber, CFrameDecoder& decoder, StillPicture* still);

// Grabs a still and writes it as a BMP file at path (UTF-8). Answers 1 when the file was
// written whole, 0 otherwise; no file is created for a still that produced no picture.
int SaveStillBmp(ISampleGrabber* streamGrabber, CFrameDecoder& decoder, const char* path);

// The file header and information header of a 720 x `height`, 24-bit, bottom-up BMP.
std::array<BYTE, kBmpHeaderBytes> BmpHeader(LONG height = kPictureHeight);

// Writes a BMP file of the 720 x `height` picture. The file is written under a temporary name
// in the same folder and renamed over path once complete, so a failure leaves no partial file
// behind (and an existing file at path as it was).
bool WriteBmpFile(const char* path, const BYTE* picture, LONG height = kPictureHeight);

}  // namespace tovik
