// A process that records DV unit 0 into the file it is given until it is killed: the subject of
// tests of what a recording keeps when its process dies.

#include <QApplication>
#include <QWidget>
#include <cstdio>
#include <cstdlib>

#include "platform/com/com.h"
#include "platform/media/ext_device.h"
#include "platform/user/window.h"
#include "toolkit/tovik.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: record-child FILE\n");
        return 2;
    }
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    CoInitialize(nullptr);
    QWidget owner;
    TovikOpenParams params{};
    params.size = 28;
    params.ownerWindow = platform::HwndFromWidget(&owner);
    TovikCaptureHandle capture = Tovik_Open(0, TOVIK_OPEN_PREVIEW, &params);
    if (!capture || Tovik_Control(capture, ED_MODE_PLAY, 0) != 1 ||
        Tovik_StartRec(capture, argv[1], 1) != 1) {
        std::fprintf(stderr, "record-child: cannot record (open error %d)\n",
                     Tovik_GetError(nullptr));
        return 1;
    }
    std::printf("recording\n");
    std::fflush(stdout);
    return app.exec();  // until killed
}
