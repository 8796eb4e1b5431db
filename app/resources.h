#pragma once
// The program's built-in resources (the icon) live in a static library, whose resource table
// the linker would drop unless something names it.

#include <QIcon>

namespace velmora::app {

void InitResources();

// The program icon, drawn from its scalable picture at the usual sizes (no image plug-in needed).
QIcon ProgramIcon();

}  // namespace velmora::app
