#include "tests/support/dv_media.h"

#include <cmath>

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include <gtest/gtest.h>

namespace velmora::test {

int RunCommand(const std::string& command) {
    int status = std::system(command.c_str());
    if (status == -1 || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

std::string RunCommandOutput(const std::string& command) {
    std::string output;
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (!pipe) return output;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe)) output += buffer;
    ::pclose(pipe);
    return output;
}

bool MakeDvTape(const std::filesystem::path& path, int frames) {
    std::string command =
        "ffmpeg -nostdin -loglevel error -f lavfi -i testsrc=size=720x480:rate=30000/1001 "
        "-frames:v " + std::to_string(frames) +
        " -c:v dvvideo -pix_fmt yuv411p -f dv -y '" + path.string() + "'";
    return RunCommand(command) == 0 &&
           std::filesystem::file_size(path) == static_cast<std::uintmax_t>(frames) * 120000;
}

std::vector<std::uint8_t> ReadFileBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)),
                                     std::istreambuf_iterator<char>());
}

double Psnr(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) {
    if (a.size() != b.size() || a.empty()) return 0;
    double sum = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        double d = static_cast<double>(a[i]) - b[i];
        sum += d * d;
    }
    if (sum == 0) return 99;
    return 10 * std::log10(255.0 * 255.0 / (sum / static_cast<double>(a.size())));
}

std::uint32_t Le32At(const std::vector<std::uint8_t>& file, std::size_t at) {
    std::uint32_t value = 0;
    if (at + 4 <= file.size()) std::memcpy(&value, file.data() + at, 4);
    return value;
}

std::size_t AviFramesOnDisk(const std::vector<std::uint8_t>& file) {
    std::size_t at = 12;
    while (at + 12 <= file.size() && Le32At(file, at + 8) != 0x69766F6D /* movi */)
        at += 8 + Le32At(file, at + 4);
    EXPECT_LE(at + 12, file.size()) << "no movi list";
    const std::size_t size = Le32At(file, at + 4);
    const std::size_t end = size ? std::min(file.size(), at + 8 + size) : file.size();
    std::size_t frames = 0;
    for (std::size_t chunk = at + 12; chunk + 8 <= end; chunk += 8 + Le32At(file, chunk + 4)) {
        if (Le32At(file, chunk) != 0x63643030 /* 00dc */ || Le32At(file, chunk + 4) != 120000)
            break;
        if (chunk + 8 + 120000 > end) break;  // cut off
        ++frames;
    }
    return frames;
}

std::size_t ProbedVideoFrames(const std::filesystem::path& path) {
    auto probe = RunCommandOutput(
        "ffprobe -v error -count_frames -select_streams v:0 -show_entries "
        "stream=nb_read_frames -of csv=p=0 '" +
        path.string() + "'");
    return std::strtoul(probe.c_str(), nullptr, 10);
}

SmallFileSystem::SmallFileSystem(std::filesystem::path folder, int megabytes)
    : folder_(std::move(folder)) {
    std::error_code ignored;
    std::filesystem::create_directories(folder_, ignored);
    mounted_ = RunCommand("mount -t tmpfs -o size=" + std::to_string(megabytes) +
                          "m velmora-test '" + folder_.string() + "' 2>/dev/null") == 0;
}

SmallFileSystem::~SmallFileSystem() {
    if (mounted_) RunCommand("umount -l '" + folder_.string() + "'");
}

}  // namespace velmora::test
