#pragma once
// Sample tapes: a moving test pattern with its timecode burnt in, a tone, and subcode time code
// and recording date packs, encoded through the system's DV filters.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/dv/dif.h"

namespace vdeck {

// A tape of the given system: 720x480 at 30000/1001 frames a second with drop-frame time code,
// or 720x576 at 25 frames a second. 48 kHz sound is 16-bit, 32 kHz sound 12-bit.
bool MakeSampleTape(const std::string& path, int seconds, int sampleRate, std::string* error,
                    platform::dv::System system = platform::dv::System::Ntsc525);

// One recording of a made tape: how long, when it was recorded and the time code it starts at
// (a frame count: drop-frame counting on 525 lines, 25 a second on 625). Its first frame is
// flagged as a recording's start.
struct TapeRecording {
    double seconds = 1;
    int year = 2026, month = 12, day = 8, hour = 12, minute = 0, second = 0;
    std::int64_t timecode = 0;
};

// A tape of several recordings one after the other, each with its own date and time code.
bool MakeTape(const std::string& path, const std::vector<TapeRecording>& recordings, int sampleRate,
              std::string* error, platform::dv::System system = platform::dv::System::Ntsc525);

}  // namespace vdeck
