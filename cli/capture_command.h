#pragma once
// The capture mode of velmora-capture: parses its command line, runs the capture and reports.

namespace capture {

// argv as main receives it; answers the exit code.
int RunCaptureCommand(int argc, char** argv);

}  // namespace capture
