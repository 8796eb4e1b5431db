#include "tests/platform/dv/dv_media.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>

namespace velmora::test::dv {

namespace fs = std::filesystem;

TempDir::TempDir() {
    std::random_device random;
    path_ = fs::temp_directory_path() /
            ("velmora-dv-" + std::to_string(getpid()) + "-" + std::to_string(random()));
    fs::create_directories(path_);
}

TempDir::~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

bool Run(const std::string& command) {
    return std::system(("(" + command + ") >/dev/null 2>&1").c_str()) == 0;
}

Bytes ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool WriteFile(const fs::path& path, const Bytes& data) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(data.data()),
              static_cast<std::streamsize>(data.size()));
    return static_cast<bool>(out);
}

bool MakeNtscDv(const fs::path& path, int frames) {
    const std::string command =
        "ffmpeg -nostdin -y -f lavfi -i testsrc=size=720x480:rate=30000/1001"
        " -f lavfi -i sine=frequency=1000:sample_rate=48000"
        " -f lavfi -i sine=frequency=440:sample_rate=48000"
        " -filter_complex '[1:a][2:a]amerge=inputs=2[a]' -map 0:v -map '[a]'"
        " -frames:v " +
        std::to_string(frames + 4) +
        " -c:v dvvideo -pix_fmt yuv411p -c:a pcm_s16le -ar 48000 -ac 2 -f dv '" + path.string() +
        "'";
    // ffmpeg's DV muxer leaves out the last frames, whose audio has not all arrived when the
    // video ends (and says so in its exit status): ask for a few more and keep those wanted.
    Run(command);
    const std::uintmax_t wanted = static_cast<std::uintmax_t>(frames) * 120000;
    std::error_code error;
    if (fs::file_size(path, error) < wanted || error) return false;
    fs::resize_file(path, wanted, error);
    return !error;
}

std::vector<Bytes> SplitFrames(const Bytes& file, std::size_t frameSize) {
    std::vector<Bytes> frames;
    for (std::size_t at = 0; at + frameSize <= file.size(); at += frameSize)
        frames.emplace_back(file.begin() + at, file.begin() + at + frameSize);
    return frames;
}

std::vector<Bytes> FfmpegPictures(const fs::path& path, int width, int height) {
    const fs::path raw = path.string() + ".bgr";
    Run("ffmpeg -nostdin -y -threads 1 -i '" + path.string() + "' -f rawvideo -pix_fmt bgr24 '" +
        raw.string() + "'");
    return SplitFrames(ReadFile(raw), static_cast<std::size_t>(width) * height * 3);
}

std::vector<std::int16_t> FfmpegAudio(const fs::path& path) {
    const fs::path raw = path.string() + ".pcm";
    Run("ffmpeg -nostdin -y -i '" + path.string() + "' -map 0:a:0 -f s16le -c:a pcm_s16le '" +
        raw.string() + "'");
    const Bytes bytes = ReadFile(raw);
    std::vector<std::int16_t> samples(bytes.size() / 2);
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<std::int16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
    return samples;
}

int FfprobeSampleRate(const fs::path& path) {
    const fs::path out = path.string() + ".rate";
    Run("ffprobe -v error -select_streams a:0 -show_entries stream=sample_rate -of csv=p=0 '" +
        path.string() + "' > '" + out.string() + "'");
    const Bytes text = ReadFile(out);
    return std::atoi(std::string(text.begin(), text.end()).c_str());
}

double Psnr(const Bytes& a, const Bytes& b) {
    if (a.size() != b.size() || a.empty()) return 0.0;
    double sum = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const double d = static_cast<double>(a[i]) - b[i];
        sum += d * d;
    }
    if (sum == 0.0) return 99.0;
    return 10.0 * std::log10(255.0 * 255.0 * a.size() / sum);
}

Bytes FlipRows(const Bytes& picture, std::size_t rowBytes) {
    Bytes flipped(picture.size());
    const std::size_t rows = picture.size() / rowBytes;
    for (std::size_t r = 0; r < rows; ++r)
        std::copy_n(picture.begin() + r * rowBytes, rowBytes,
                    flipped.begin() + (rows - 1 - r) * rowBytes);
    return flipped;
}

std::vector<std::int16_t> Tones(std::size_t pairs, int sampleRate, double leftHz, double rightHz,
                                double amplitude, std::size_t offset) {
    std::vector<std::int16_t> pcm(2 * pairs);
    const double step = 2.0 * M_PI / sampleRate;
    for (std::size_t n = 0; n < pairs; ++n) {
        const double t = static_cast<double>(n + offset);
        pcm[2 * n] =
            static_cast<std::int16_t>(std::lround(amplitude * std::sin(step * leftHz * t)));
        pcm[2 * n + 1] =
            static_cast<std::int16_t>(std::lround(amplitude * std::sin(step * rightHz * t)));
    }
    return pcm;
}

}  // namespace velmora::test::dv
