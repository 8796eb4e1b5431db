// The exported functions. Nothing thrown leaves them: a failure is a result of 0.

#include "jog/pelko.h"

#include <type_traits>

#include "jog/jog_controller.h"
#include "platform/user/window.h"

static_assert(std::is_same_v<HWND, uint32_t>, "the exported header passes windows as uint32_t");

namespace {

template <typename Body>
int32_t Guarded(Body body) {
    try {
        return body() ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

}  // namespace

extern "C" {

int32_t Pelko_Open(uint32_t window, uint32_t message, int32_t) {
    return Guarded([&] { return pelko::Controller().Open(window, message); });
}

int32_t Pelko_Close(void) {
    return Guarded([] { return pelko::Controller().Close(); });
}

int32_t Pelko_EnableNotify(int32_t flag) {
    return Guarded([&] { return pelko::Controller().EnableNotify(flag); });
}

int32_t Pelko_SetLED(uint32_t value) {
    return Guarded([&] { return pelko::Controller().SetLed(value); });
}

}  // extern "C"
