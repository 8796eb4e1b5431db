#pragma once
// The program's built-in resources.

#include <QIcon>

namespace velmora::app {

// The program icon, drawn from its scalable picture at the usual sizes (no image plug-in needed).
QIcon ProgramIcon();

}  // namespace velmora::app
