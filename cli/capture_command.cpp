#include "cli/capture_command.h"

#include <unistd.h>

#include <csignal>
#include <cstdio>

#include "cli/capture_options.h"
#include "cli/capture_session.h"
#include "cli/device_list.h"
#include "cli/progress.h"
#include "platform/com/com.h"

namespace capture {

namespace {

std::atomic<bool> g_stop{false};

void OnSignal(int) {
    g_stop = true;
}

// Ctrl-C and a polite kill end the capture with its files finished.
void CatchStopSignals() {
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
}

}  // namespace

int RunCaptureCommand(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string error;
    std::optional<CaptureOptions> options = ParseCaptureOptions(args, &error);
    if (!options) {
        std::fprintf(stderr, "velmora-capture: %s\n%s", error.c_str(), kCaptureUsage);
        return kExitUsage;
    }
    if (options->help) {
        std::fputs(kCaptureUsage, stdout);
        return kExitDone;
    }
    CoInitialize(nullptr);
    int code = kExitDone;
    if (options->list) {
        code = PrintDeviceList(stdout);
    } else {
        CatchStopSignals();
        ProgressReporter reporter(stderr, ::isatty(STDERR_FILENO) != 0);
        CaptureResult result;
        {
            CaptureSession session(*options);
            result = session.Run(g_stop, [&](const CaptureFigures& f) { reporter.Update(f); });
        }
        reporter.Close();
        if (!result.message.empty())
            std::fprintf(stderr, "velmora-capture: %s\n", result.message.c_str());
        std::fputs((options->json ? SummaryJson(result) : SummaryText(result)).c_str(), stdout);
        code = result.exitCode;
    }
    CoUninitialize();
    return code;
}

}  // namespace capture
