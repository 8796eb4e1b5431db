#pragma once
// Sample tapes: a moving test pattern with its timecode burnt in, a tone, and subcode time code
// and recording date packs, encoded through the system's DV filters.

#include <string>

#include "platform/dv/dif.h"

namespace vdeck {

// A tape of the given system: 720x480 at 30000/1001 frames a second with drop-frame time code,
// or 720x576 at 25 frames a second. 48 kHz sound is 16-bit, 32 kHz sound 12-bit.
bool MakeSampleTape(const std::string& path, int seconds, int sampleRate, std::string* error,
                    platform::dv::System system = platform::dv::System::Ntsc525);

}  // namespace vdeck
