// velmora-capture: unattended whole-tape capture from a DV unit, and tape reports.

#include <iostream>
#include <string_view>

#include "cli/capture_command.h"
#include "cli/merge/pass_merger.h"

int main(int argc, char** argv) {
    if (argc > 1 && std::string_view(argv[1]) == "--merge")
        return velmora::merge::RunMergeCommand({argv + 2, argv + argc}, std::cout, std::cerr);
    return capture::RunCaptureCommand(argc, argv);
}
