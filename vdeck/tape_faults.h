#pragma once
// What goes wrong on a real tape, written into DV frames: damaged video blocks with the error
// status a deck reports, audio blocks the deck could not read, time code and recording date
// breaks, blank tape, a change of audio mode, a recording's start flag. Each answers false,
// leaving the frame untouched, when the bytes are not a whole DV frame.

#include <cstddef>
#include <cstdint>

namespace vdeck {

enum class Sequences { All, Even, Odd };

// Gives `blocks` video blocks the error status `sta` (1..15): block i of them is in DIF
// sequence i % n of the chosen ones (n of them), so the damage spreads over the sequences.
bool SetVideoStatus(std::uint8_t* frame, std::size_t size, int sta, int blocks,
                    Sequences where = Sequences::All);
// Fills the first `blocks` audio blocks of the halves carrying sound with the "no sample"
// code, as a deck does with audio it could not read.
bool MarkAudioErrors(std::uint8_t* frame, std::size_t size, int blocks);
// Rewrites every time code pack (HHMMSSFF in BCD).
bool SetTimecode(std::uint8_t* frame, std::size_t size, std::uint32_t timecodeBcd, bool dropFrame);
// Rewrites every recording date and time pack: subcode, VAUX and AAUX copies.
bool SetRecordingDate(std::uint8_t* frame, std::size_t size, int year, int month, int day, int hour,
                      int minute, int second);
// Moves the frame's time code on by `frames` (negative: back), counted as the frame counts
// (drop-frame, 30 or 25 labels a second); a frame without time code is left as it is.
bool ShiftTimecode(std::uint8_t* frame, std::size_t size, std::int64_t frames);
// Moves the frame's recording date and time on by `seconds`; a frame without one is left as
// it is.
bool ShiftRecordingDate(std::uint8_t* frame, std::size_t size, std::int64_t seconds);
// Sets or clears the start-of-recording flag of every AAUX control pack.
bool SetRecordingStart(std::uint8_t* frame, std::size_t size, bool start);
// Blank tape: no time code, no date and no sound description (those packs say "no
// information"), silent audio blocks.
bool BlankFrame(std::uint8_t* frame, std::size_t size);
// Rewrites the frame's audio as silence of another rate (48000, 44100 or 32000; 32 kHz as
// 12-bit), with the sample count of frame `frameNumber` of audio locked to the video.
bool ChangeAudioMode(std::uint8_t* frame, std::size_t size, int sampleRate,
                     std::int64_t frameNumber);

}  // namespace vdeck
