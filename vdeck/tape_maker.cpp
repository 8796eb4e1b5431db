#include "vdeck/tape_maker.h"

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <vector>

#include "platform/dv/audio.h"
#include "platform/dv/codec.h"
#include "platform/dv/dif.h"
#include "platform/dv/subcode.h"
#include "vdeck/deck.h"
#include "vdeck/tape_faults.h"

namespace vdeck {
namespace {

constexpr int kWidth = 720;
constexpr std::size_t kRow = kWidth * 3;

// A 5 x 7 font for the burnt-in time code: digits and the two separators, one row a byte.
constexpr std::uint8_t kGlyphs[12][7] = {
    {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}, {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E},
    {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}, {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E},
    {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}, {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E},
    {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}, {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08},
    {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}, {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C},
    {0x00, 0x0C, 0x0C, 0x00, 0x0C, 0x0C, 0x00}, {0x00, 0x0C, 0x0C, 0x00, 0x0C, 0x04, 0x08},
};

// Picture rows are stored bottom-up; y counts from the top.
void SetPixel(std::vector<std::uint8_t>& rgb, int x, int y, std::uint8_t r, std::uint8_t g,
              std::uint8_t b) {
    const int height = static_cast<int>(rgb.size() / kRow);
    if (x < 0 || x >= kWidth || y < 0 || y >= height) return;
    std::uint8_t* p = rgb.data() + (height - 1 - y) * kRow + x * 3;
    p[0] = b;
    p[1] = g;
    p[2] = r;
}

void FillRect(std::vector<std::uint8_t>& rgb, int x0, int y0, int w, int h, std::uint8_t r,
              std::uint8_t g, std::uint8_t b) {
    for (int y = y0; y < y0 + h; ++y)
        for (int x = x0; x < x0 + w; ++x) SetPixel(rgb, x, y, r, g, b);
}

void DrawText(std::vector<std::uint8_t>& rgb, const char* text, int x, int y, int scale) {
    for (; *text; ++text, x += 6 * scale) {
        int glyph = *text == ':' ? 10 : *text == ';' ? 11 : *text - '0';
        if (glyph < 0 || glyph > 11) continue;
        for (int row = 0; row < 7; ++row)
            for (int column = 0; column < 5; ++column)
                if (kGlyphs[glyph][row] & (0x10 >> column))
                    FillRect(rgb, x + column * scale, y + row * scale, scale, scale, 255, 255, 255);
    }
}

// Colour bars that drift sideways, a box that crosses the picture, the time code below.
void DrawPicture(std::vector<std::uint8_t>& rgb, std::int64_t frame, std::uint32_t timecode) {
    static constexpr std::uint8_t kBars[7][3] = {{192, 192, 192}, {192, 192, 0}, {0, 192, 192},
                                                 {0, 192, 0},     {192, 0, 192}, {192, 0, 0},
                                                 {0, 0, 192}};
    const int height = static_cast<int>(rgb.size() / kRow);
    for (int x = 0; x < kWidth; ++x) {
        const auto& bar = kBars[((x + frame * 4) / 103) % 7];
        for (int y = 0; y < height; ++y) SetPixel(rgb, x, y, bar[0], bar[1], bar[2]);
    }
    FillRect(rgb, static_cast<int>(frame * 6 % (kWidth - 80)), 120, 80, 80, 240, 240, 240);
    char text[16];
    std::snprintf(text, sizeof text, "%02X:%02X:%02X%c%02X", timecode >> 24, timecode >> 16 & 0xFF,
                  timecode >> 8 & 0xFF, height == 480 ? ';' : ':', timecode & 0xFF);
    FillRect(rgb, 150, height - 110, 420, 70, 0, 0, 0);
    DrawText(rgb, text, 164, height - 97, 6);
}

// A 1 kHz tone at a quarter of full scale on both channels, continuous across frames.
void Tone(std::vector<std::int16_t>& pcm, int pairs, int sampleRate, std::int64_t* phase) {
    pcm.resize(static_cast<std::size_t>(pairs) * 2);
    for (int i = 0; i < pairs; ++i) {
        double t = static_cast<double>((*phase)++) / sampleRate;
        auto value = static_cast<std::int16_t>(8192 * std::sin(2 * M_PI * 1000 * t));
        pcm[2 * i] = pcm[2 * i + 1] = value;
    }
}

}  // namespace

namespace {

// Writes the frames of the recordings to `out`; false with a message on failure.
bool WriteRecordings(std::ofstream& out, const std::vector<TapeRecording>& recordings,
                     bool flagStarts, int sampleRate, platform::dv::System system,
                     std::string* error) {
    using namespace platform::dv;
    const bool pal = system == System::Pal625;
    DvEncoder encoder(system);
    if (!encoder.IsOpen()) {
        *error = "FFmpeg has no DV encoder";
        return false;
    }
    const double rate = pal ? 25.0 : 30000.0 / 1001.0;
    const std::size_t frameSize = pal ? kFrameSize625 : kFrameSize525;
    std::vector<std::uint8_t> rgb(kRow * std::size_t(encoder.Height())), frame(frameSize);
    std::vector<std::int16_t> pcm;
    std::int64_t phase = 0, n = 0;
    AudioWriteFormat format;
    format.sampleRate = sampleRate;
    // 32 kHz is how camcorders record four channels: 12-bit nonlinear.
    if (sampleRate == 32000) format.quantization = Quantization::Nonlinear12;
    for (const TapeRecording& recording : recordings) {
        const std::int64_t frames = std::llround(recording.seconds * rate);
        for (std::int64_t k = 0; k < frames; ++k, ++n) {
            const std::int64_t label = recording.timecode + k;
            const std::uint32_t timecode = pal ? Pal25Timecode(label) : DropFrameTimecode(label);
            DrawPicture(rgb, n, timecode);
            if (encoder.Encode(rgb.data(), rgb.size(), frame.data(), frame.size()) != frameSize) {
                *error = "the DV encoder failed at frame " + std::to_string(n);
                return false;
            }
            const int pairs = LockedSamplesInFrame(system, sampleRate, n);
            Tone(pcm, pairs, sampleRate, &phase);
            const std::int64_t second = pal ? k / 25 : k * 1001 / 30000;
            const std::int64_t s = recording.second + second;
            const std::int64_t m = recording.minute + s / 60;
            if (!WriteAudio(frame.data(), frame.size(), format, pcm.data(), pairs, pairs) ||
                !WriteSubcode(frame.data(), frame.size(), timecode, !pal, recording.year,
                              recording.month, recording.day,
                              static_cast<int>((recording.hour + m / 60) % 24),
                              static_cast<int>(m % 60), static_cast<int>(s % 60)) ||
                (flagStarts && k == 0 && !SetRecordingStart(frame.data(), frame.size(), true))) {
                *error = "cannot write audio or subcode into frame " + std::to_string(n);
                return false;
            }
            out.write(reinterpret_cast<const char*>(frame.data()),
                      static_cast<std::streamsize>(frame.size()));
        }
    }
    return true;
}

bool WriteTape(const std::string& path, const std::vector<TapeRecording>& recordings,
               bool flagStarts, int sampleRate, platform::dv::System system, std::string* error) {
    std::filesystem::path target(path);
    std::filesystem::path temporary = target;
    temporary += ".part";
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (!out) {
        *error = "cannot write " + temporary.string();
        return false;
    }
    if (!WriteRecordings(out, recordings, flagStarts, sampleRate, system, error)) {
        out.close();
        std::filesystem::remove(temporary);
        return false;
    }
    out.close();
    if (!out) {
        *error = "writing " + temporary.string() + " failed";
        std::filesystem::remove(temporary);
        return false;
    }
    std::error_code ec;
    std::filesystem::rename(temporary, target, ec);
    if (ec) {
        *error = ec.message();
        return false;
    }
    return true;
}

}  // namespace

bool MakeSampleTape(const std::string& path, int seconds, int sampleRate, std::string* error,
                    platform::dv::System system) {
    TapeRecording recording;
    recording.seconds = seconds;
    // Whole seconds of frames, as many as the rate gives (30 for a second of 29.97).
    const double rate = system == platform::dv::System::Pal625 ? 25.0 : 30000.0 / 1001.0;
    recording.seconds = static_cast<double>(std::llround(seconds * rate)) / rate;
    return WriteTape(path, {recording}, false, sampleRate, system, error);
}

bool MakeTape(const std::string& path, const std::vector<TapeRecording>& recordings, int sampleRate,
              std::string* error, platform::dv::System system) {
    return WriteTape(path, recordings, true, sampleRate, system, error);
}

}  // namespace vdeck
