#pragma once
// Merges several captures of one tape into one DV AVI file and its tape report. Frames of the
// captures are matched by what marks a moment of the tape (subcode time code together with the
// recording date and time; frames without them by the last frame that had them and the count
// since), looking a bounded window of frames ahead in each capture, never by file position.
// Frames come out in tape order, each once; a frame missing from every capture stays missing.

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace velmora::merge {

struct MergeOptions {
    std::string output;               // the DV AVI file to write
    std::vector<std::string> passes;  // the captures, at least two
    int window = 100;                 // frames looked ahead in each capture
};

struct PassTotals {
    std::int64_t frames = 0, damagedFrames = 0, videoErrorBlocks = 0, audioErrorBlocks = 0;
};

struct MergeResult {
    bool ok = false;
    std::string error;  // why not, naming the file
    PassTotals merged;
    std::vector<PassTotals> passes;
    std::int64_t missingFrames = 0;  // frames of the tape in no capture (time code gaps)
    std::int64_t repairedBlocks = 0, disputedSettled = 0, disputedOpen = 0;
};

// Writes options.output and its report (options.output + ".dvlog.jsonl"); on failure neither
// is left behind.
MergeResult MergePasses(const MergeOptions& options);

// The command `--merge OUT.avi PASS PASS [PASS...]` (arguments after --merge): 0 done, 1 a
// file could not be read or written or the captures do not belong together, 2 bad usage.
int RunMergeCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace velmora::merge
