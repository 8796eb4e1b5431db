#pragma once
// DV test media made with the ffmpeg command line in a temporary folder, and ffmpeg's own
// reading of them, which the tests take as the reference.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace velmora::test::dv {

using Bytes = std::vector<std::uint8_t>;

// A temporary folder removed with everything in it when the object goes.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

  private:
    std::filesystem::path path_;
};

// Runs a shell command quietly; true when it exits with 0.
bool Run(const std::string& command);
Bytes ReadFile(const std::filesystem::path& path);
bool WriteFile(const std::filesystem::path& path, const Bytes& data);

// Raw NTSC DV (720x480, 29.97 frames/s) of `frames` frames from ffmpeg's test pattern, with
// 48 kHz 16-bit stereo audio: a 1 kHz tone on the left, 440 Hz on the right.
bool MakeNtscDv(const std::filesystem::path& path, int frames);
// A raw DV file cut into its 120000-byte frames.
std::vector<Bytes> SplitFrames(const Bytes& file, std::size_t frameSize = 120000);

// ffmpeg's decode of every frame of a DV file as top-down bgr24 pictures, one Bytes a frame.
std::vector<Bytes> FfmpegPictures(const std::filesystem::path& path, int width = 720,
                                  int height = 480);
// ffmpeg's reading of the file's first audio stream as interleaved 16-bit stereo.
std::vector<std::int16_t> FfmpegAudio(const std::filesystem::path& path);
// ffprobe's sample rate of the first audio stream (0 when none).
int FfprobeSampleRate(const std::filesystem::path& path);

// Peak signal-to-noise ratio of two equal-size 8-bit pictures, in dB (99 when identical).
double Psnr(const Bytes& a, const Bytes& b);
// The rows of a packed picture in reverse order.
Bytes FlipRows(const Bytes& picture, std::size_t rowBytes);

// Stereo test tones: frequencies and amplitude as given, `pairs` interleaved pairs.
std::vector<std::int16_t> Tones(std::size_t pairs, int sampleRate, double leftHz, double rightHz,
                                double amplitude = 12000.0, std::size_t offset = 0);

}  // namespace velmora::test::dv
