#pragma once
// The DVINFO format block of a DV stream, built from one frame's own packs.

#include <cstddef>

#include "platform/media/formats.h"

namespace platform::dv {

// Fills `info` from the AAUX source and control packs of both halves of the frame (the first
// and second audio channel blocks) and its VAUX source and control packs. Each DWORD holds the
// pack's four payload bytes in frame order (first payload byte in the low byte); a pack the
// frame lacks is all ones, DV's "no information". Answers false, leaving `info` untouched,
// when `frame` is not a whole 525- or 625-line DV frame of `size` bytes or more.
bool BuildDvInfo(const BYTE* frame, std::size_t size, DVINFO* info);

}  // namespace platform::dv
