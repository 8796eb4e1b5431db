// velmora-capture: unattended capture of whole DV tapes and tape reports of DV files, on the
// command line.

#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <string_view>

#include "cli/analyse.h"
#include "cli/capture_command.h"
#include "cli/merge/pass_merger.h"

namespace {

constexpr const char* kUsage =
    "usage: velmora-capture --analyse FILE [--output REPORT]\n"
    "       velmora-capture --merge OUT.avi PASS PASS [PASS...]\n"
    "       velmora-capture --help\n"
    "--analyse writes the tape report of a DV AVI file (type 1 or 2) or raw DV file, one JSON\n"
    "line per frame (time code, recording date, damaged video and audio blocks, format) and\n"
    "the events (time code and date breaks, recording starts, format changes, blank tape),\n"
    "to FILE.dvlog.jsonl (never over an existing report: then FILE.dvlog.2.jsonl, ...) or to\n"
    "REPORT.\n"
    "--merge writes the best copy of a tape from 2 to 32 captures of it (DV AVI or raw DV),\n"
    "block by block, to OUT.avi.\n";

int Usage() {
    std::fputs(kUsage, stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string_view(argv[1]) == "--merge")
        return velmora::merge::RunMergeCommand({argv + 2, argv + argc}, std::cout, std::cerr);
    // Without --analyse, the program records from a DV unit.
    bool analyseMode = false;
    for (int i = 1; i < argc; ++i)
        analyseMode = analyseMode || std::strcmp(argv[i], "--analyse") == 0;
    if (!analyseMode) return capture::RunCaptureCommand(argc, argv);

    velmora_capture::AnalyseOptions analyse;
    bool analysing = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        const char* v = nullptr;
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--analyse" && (v = value())) {
            analyse.file = v;
            analysing = true;
        } else if (arg == "--output" && (v = value())) {
            analyse.output = v;
        } else {
            return Usage();
        }
    }
    if (analysing) return velmora_capture::Analyse(analyse);
    return Usage();
}
