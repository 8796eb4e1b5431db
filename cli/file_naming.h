#pragma once
// Names of the files of a capture: PREFIX-YYYY.MM.DD_HH-MM-SS.avi from the recording date of a
// file's first frame, or PREFIX-NNNN.avi, never the name of a file that exists.

#include <cstdint>
#include <optional>
#include <set>
#include <string>

#include "cli/capture_options.h"
#include "platform/dv/frame_analysis.h"

namespace capture {

class FileNamer {
  public:
    FileNamer(std::string prefix, Container container, Naming naming);

    // The name of the next file; `recorded` is the recording date of its first frame, when
    // the tape has one. A name that exists on disk (or was given before) gets "-2", "-3", ...
    std::string Next(const std::optional<platform::dv::RecordingDateTime>& recorded);

  private:
    std::string Unused(const std::string& stem);

    std::string prefix_;
    std::string extension_;
    Naming naming_;
    int counter_ = 0;
    std::set<std::string> given_;
};

}  // namespace capture
