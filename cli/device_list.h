#pragma once
// `velmora-capture --list`: the DV units in the order --device counts them (FireWire units,
// then virtual decks), what each is, and whether this user can open it.

#include <cstdio>

namespace capture {

// Prints the list to `out`; answers the exit code (0, also for an empty list).
int PrintDeviceList(std::FILE* out);

}  // namespace capture
