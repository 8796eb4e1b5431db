#pragma once
// What a capture tells while it runs (standard error: one line kept up to date on a terminal,
// a plain line every few seconds otherwise) and when it ends (standard output: a summary, or
// the same as JSON).

#include <chrono>
#include <cstdio>
#include <string>

#include "cli/capture_session.h"

namespace capture {

// "TC 00:01:02;15  2003-03-10 15:04:43  1234 frames  0 dropped  2 damaged  123.4 MB  NAME".
std::string ProgressLine(const CaptureFigures& figures);

class ProgressReporter {
  public:
    // `terminal`: the stream is a terminal, whose line is rewritten in place.
    ProgressReporter(std::FILE* out, bool terminal);
    void Update(const CaptureFigures& figures);
    // Ends the line kept up to date, if any.
    void Close();

  private:
    std::FILE* out_;
    bool terminal_;
    bool lineOpen_ = false;
    std::string lastFile_;
    std::chrono::steady_clock::time_point nextPlain_{};
};

std::string SummaryText(const CaptureResult& result);
std::string SummaryJson(const CaptureResult& result);

}  // namespace capture
