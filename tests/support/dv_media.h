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

}  // namespace velmora::test
