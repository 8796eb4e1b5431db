// libFuzzer target over the file reader's access path, as a program drives it through the
// library's exports: the input is 8 control bytes and then a whole AVI file. The file is opened
// for frame or audio access, its length read, and frames or sample runs read at positions the
// control bytes choose, into buffers exactly as large as the calls promise to fill.

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "platform/com/com.h"
#include "toolkit/tovik.h"

namespace {

constexpr std::size_t kControlBytes = 8;
constexpr std::size_t kPictureBytes = 720 * 480 * 3;
constexpr std::size_t kFrameAudioBytes = 6480;

std::filesystem::path g_folder;
std::string g_file;

bool WriteInputFile(const std::uint8_t* data, std::size_t size) {
    const int fd = ::open(g_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    bool ok = true;
    while (ok && size > 0) {
        const ssize_t n = ::write(fd, data, size);
        ok = n > 0;
        if (ok) {
            data += n;
            size -= static_cast<std::size_t>(n);
        }
    }
    return ::close(fd) == 0 && ok;
}

// A position from two control bytes: near the start, near the end or past it.
std::uint32_t Position(std::uint8_t kind, std::uint8_t offset, std::uint32_t length) {
    switch (kind % 3) {
        case 0:
            return offset;
        case 1:
            return length > offset ? length - 1 - offset : 0;
        default:
            return length + offset;
    }
}

void ReadFrames(TovikFileHandle file, const std::uint8_t* control, std::uint32_t length) {
    // Heap buffers of exactly the promised sizes: a write past them is caught.
    std::unique_ptr<std::uint8_t[]> picture(new std::uint8_t[kPictureBytes]);
    std::unique_ptr<std::uint8_t[]> audio(new std::uint8_t[kFrameAudioBytes]);
    for (int i = 0; i < 2; ++i) {
        const std::uint32_t frame = Position(control[1 + 2 * i], control[2 + 2 * i], length);
        int bytes = -1;
        if (TovikFile_GetFrame(file, frame, control[5] & 1 ? picture.get() : nullptr, audio.get(),
                               &bytes) == 1 &&
            (bytes < 0 || bytes > static_cast<int>(kFrameAudioBytes) || bytes % 4 != 0))
            __builtin_trap();
    }
}

void ReadAudio(TovikFileHandle file, const std::uint8_t* control, std::uint32_t length) {
    // Sample numbers around the frame that the control bytes choose.
    const std::uint32_t frame = Position(control[1], control[2], length);
    const std::uint32_t first = frame * 1600u + control[3] * 13u;
    const std::uint32_t count = 1u + control[4] * 29u + (control[5] & 0xF0) * 64u;
    std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[std::size_t{count} * 4]);
    TovikFile_GetAudio(file, first, count, buffer.get());
    TovikFile_GetAudio(file, first / 2, count, buffer.get());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    CoInitialize(nullptr);
    char pattern[] = "/tmp/velmora-file-fuzz-XXXXXX";
    if (!::mkdtemp(pattern)) std::abort();
    g_folder = pattern;
    g_file = (g_folder / "input.avi").string();
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(g_folder, ignored);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < kControlBytes || !WriteInputFile(data + kControlBytes, size - kControlBytes))
        return 0;
    const std::uint8_t* control = data;
    TovikFileHandle file = TovikFile_Open(g_file.c_str(), control[0] & 1 ? 2 : 0);
    if (!file) return 0;
    const std::uint32_t length = TovikFile_GetLength(file);
    if (control[0] & 1)
        ReadAudio(file, control, length);
    else
        ReadFrames(file, control, length);
    TovikFile_Close(file);
    return 0;
}
