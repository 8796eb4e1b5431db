#include "cli/capture_options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <sstream>

namespace capture {

const char kCaptureUsage[] =
    "usage: velmora-capture [--device N] [--rewind] [--duration SECONDS]\n"
    "                       [--split none|start|date|timecode[,...]] [--format avi|dv]\n"
    "                       [--name date|counter] [--no-signal SECONDS] [--json] PREFIX\n"
    "       velmora-capture --list\n"
    "       velmora-capture --analyse FILE\n"
    "Records a whole tape unattended: plays it from the DV unit N (0 = first) and writes\n"
    "PREFIX-YYYY.MM.DD_HH-MM-SS.avi (or PREFIX-NNNN.avi) until the tape ends, the duration is\n"
    "reached, no signal comes for the given seconds (10), or Ctrl-C. A new file begins where\n"
    "the split rules say (default: at a recording-date jump) and where the format changes.\n"
    "--format avi (default) writes type-1 DV AVI files; --format dv writes raw DV files\n"
    "(PREFIX-....dv: the DV frames back to back, bit for bit). Every file gets its tape\n"
    "report beside it (NAME.avi.dvlog.jsonl, NAME.dv.dvlog.jsonl).\n"
    "Exit codes: 0 done, 1 device or file error, 2 usage, 3 stopped by a write error.\n";

namespace {

bool ParseSeconds(const std::string& text, double* out) {
    char* end = nullptr;
    errno = 0;
    double value = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || errno != 0 || !std::isfinite(value) || value <= 0)
        return false;
    *out = value;
    return true;
}

bool ParseIndex(const std::string& text, int* out) {
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || value < 0 || value > 1000) return false;
    *out = int(value);
    return true;
}

bool ParseSplit(const std::string& text, SplitRules* out) {
    SplitRules rules;
    if (text == "none") {
        *out = rules;
        return true;
    }
    std::stringstream items(text);
    std::string item;
    bool any = false;
    while (std::getline(items, item, ',')) {
        if (item == "start")
            rules.start = true;
        else if (item == "date")
            rules.date = true;
        else if (item == "timecode")
            rules.timecode = true;
        else
            return false;
        any = true;
    }
    if (!any || text.back() == ',') return false;
    *out = rules;
    return true;
}

}  // namespace

std::optional<CaptureOptions> ParseCaptureOptions(const std::vector<std::string>& args,
                                                  std::string* error) {
    CaptureOptions options;
    auto fail = [&](std::string why) -> std::optional<CaptureOptions> {
        *error = std::move(why);
        return std::nullopt;
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto value = [&](std::string* out) {
            if (i + 1 >= args.size()) return false;
            *out = args[++i];
            return true;
        };
        std::string text;
        if (arg == "--list") {
            options.list = true;
        } else if (arg == "--help" || arg == "-h") {
            options.help = true;
        } else if (arg == "--rewind") {
            options.rewind = true;
        } else if (arg == "--json") {
            options.json = true;
        } else if (arg == "--device") {
            if (!value(&text) || !ParseIndex(text, &options.device))
                return fail("--device needs a unit number (0 = the first)");
        } else if (arg == "--duration") {
            double seconds = 0;
            if (!value(&text) || !ParseSeconds(text, &seconds))
                return fail("--duration needs a number of seconds above 0");
            options.durationSeconds = seconds;
        } else if (arg == "--no-signal") {
            if (!value(&text) || !ParseSeconds(text, &options.noSignalSeconds))
                return fail("--no-signal needs a number of seconds above 0");
        } else if (arg == "--split") {
            if (!value(&text) || !ParseSplit(text, &options.split))
                return fail("--split takes none, or start, date and timecode joined by commas");
        } else if (arg == "--format") {
            if (!value(&text) || (text != "avi" && text != "dv"))
                return fail("--format takes avi or dv");
            options.container = text == "dv" ? Container::Dv : Container::Avi;
        } else if (arg == "--name") {
            if (!value(&text) || (text != "date" && text != "counter"))
                return fail("--name takes date or counter");
            options.naming = text == "counter" ? Naming::Counter : Naming::Date;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return fail("unknown option " + arg);
        } else if (!options.prefix.empty()) {
            return fail("one PREFIX only (" + options.prefix + ", " + arg + ")");
        } else {
            options.prefix = arg;
        }
    }
    if (options.help || options.list) return options;
    if (options.prefix.empty()) return fail("PREFIX is missing");
    return options;
}

}  // namespace capture
