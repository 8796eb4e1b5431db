#pragma once
// Sample tapes: a moving test pattern with its timecode burnt in, a tone, and subcode time code
// and recording date packs, encoded through the system's DV filters.

#include <string>

namespace vdeck {

bool MakeSampleTape(const std::string& path, int seconds, int sampleRate, std::string* error);

}  // namespace vdeck
