// velmora: the DV deck program.

#include <cstdio>
#include <cstring>

#include "app/deck_app.h"

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("Velmora %s\n", velmora::app::kVersion);
            return 0;
        }
        if (std::strcmp(argv[i], "--help") == 0) {
            std::printf(
                "Usage: velmora\n"
                "Shows the live picture of the first DV camcorder or deck, drives its tape and\n"
                "records what it plays to DV AVI files. Start velmora-vdeck first to use a\n"
                "virtual deck.\n");
            return 0;
        }
    }
    velmora::app::CDeckApp app(argc, argv);
    return app.Run();
}
