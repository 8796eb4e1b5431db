#include "tests/support/dv_media.h"

#include <cmath>

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

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

}  // namespace velmora::test
