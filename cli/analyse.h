#pragma once
// velmora-capture --analyse: the tape report of an existing DV file.

#include <string>

namespace velmora_capture {

struct AnalyseOptions {
    std::string file;    // a DV AVI (type 1 or 2) or a raw DV file
    std::string output;  // the report's path; empty: beside the file
};

// Writes the report and prints its summary line; answers the exit code (0 done, 1 the file
// could not be read or the report not written).
int Analyse(const AnalyseOptions& options);

}  // namespace velmora_capture
