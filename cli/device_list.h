#pragma once
// `velmora-capture --list`: the DV units in the order --device counts them (FireWire units,
// then virtual decks), what each is, and whether this user can open it; then the FireWire
// device files this user cannot open and what to do about it.

#include <cstdio>
#include <memory>
#include <string>

#include "platform/dv1394/firewire/bus_access.h"

namespace capture {

// Prints the list to `out`; answers the exit code (0, also for an empty list).
int PrintDeviceList(std::FILE* out);
// The same for the FireWire units on `bus` and the fw* files under `devDir`.
int PrintDeviceList(std::FILE* out,
                    const std::shared_ptr<platform::dv1394::firewire::BusAccess>& bus,
                    const std::string& devDir);

}  // namespace capture
