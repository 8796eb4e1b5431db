#pragma once
// DV test media made with the ffmpeg command line.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace velmora::test {

// Runs a shell command; answers its exit status (-1 when it could not run).
int RunCommand(const std::string& command);

// Runs a shell command and answers what it printed (standard output and error).
std::string RunCommandOutput(const std::string& command);

// Writes `frames` NTSC DV frames (120000 bytes each, a moving test pattern, no audio) to path.
bool MakeDvTape(const std::filesystem::path& path, int frames);

// PSNR of two pictures of equal size, in dB: 99 for identical ones, 0 when the sizes differ.
double Psnr(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b);

// Reads a whole file.
std::vector<std::uint8_t> ReadFileBytes(const std::filesystem::path& path);

// The little-endian 32-bit value at `at` of a file's bytes; 0 past the end.
std::uint32_t Le32At(const std::vector<std::uint8_t>& file, std::size_t at);

// The whole 120000-byte '00dc' chunks in the first 'movi' list of a DV AVI file, walked without
// the index; a list whose size was never written runs to the end of the file.
std::size_t AviFramesOnDisk(const std::vector<std::uint8_t>& file);

// The video frames ffprobe decodes in a file.
std::size_t ProbedVideoFrames(const std::filesystem::path& path);

// A small tmpfs mounted on a folder (created if need be) for as long as the object lives, so
// that a test can fill a disk. Mounting needs root; Mounted() says whether it worked.
class SmallFileSystem {
  public:
    SmallFileSystem(std::filesystem::path folder, int megabytes);
    ~SmallFileSystem();
    SmallFileSystem(const SmallFileSystem&) = delete;
    SmallFileSystem& operator=(const SmallFileSystem&) = delete;
    bool Mounted() const { return mounted_; }
    const std::filesystem::path& Path() const { return folder_; }

  private:
    std::filesystem::path folder_;
    bool mounted_ = false;
};

}  // namespace velmora::test
