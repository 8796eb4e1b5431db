// Stands until the FireWire backend is built into the platform library.
#include "platform/dv1394/dv_unit.h"

namespace platform::dv1394 {
UnitList ListFirewireUnits() { return {}; }
}  // namespace platform::dv1394
