// velmora-capture: unattended whole-tape capture from a DV unit, and tape reports.

#include "cli/capture_command.h"

int main(int argc, char** argv) {
    return capture::RunCaptureCommand(argc, argv);
}
