#pragma once
// The program's built-in resources (the icon) live in a static library, whose resource table
// the linker would drop unless something names it.

namespace velmora::app {

void InitResources();

}  // namespace velmora::app
