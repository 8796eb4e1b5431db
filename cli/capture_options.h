#pragma once
// The command line of an unattended capture: what to record from which unit, when to begin a
// new file and how to name the files.

#include <optional>
#include <string>
#include <vector>

namespace capture {

// What makes a new file begin (a change of format always does).
struct SplitRules {
    bool start = false;     // a recording's start flag
    bool date = false;      // a recording-date jump
    bool timecode = false;  // a time code break
};

enum class Container { Avi, Dv };
enum class Naming { Date, Counter };

struct CaptureOptions {
    bool list = false;
    bool help = false;
    int device = 0;
    bool rewind = false;
    std::optional<double> durationSeconds;
    double noSignalSeconds = 10;
    SplitRules split{false, true, false};
    Container container = Container::Avi;
    Naming naming = Naming::Date;
    bool json = false;
    std::string prefix;
};

// The options of `args` (without the program name); nothing, with the reason in *error, for a
// command line that is not one.
std::optional<CaptureOptions> ParseCaptureOptions(const std::vector<std::string>& args,
                                                  std::string* error);

extern const char kCaptureUsage[];

}  // namespace capture
