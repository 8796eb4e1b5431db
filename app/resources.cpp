#include "app/resources.h"

#include <QtGlobal>

static void InitVelmoraResources() {
    Q_INIT_RESOURCE(velmora);
}

namespace velmora::app {

void InitResources() {
    static const bool done = (InitVelmoraResources(), true);
    (void)done;
}

}  // namespace velmora::app
