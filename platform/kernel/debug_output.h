#pragma once
// Debugger output: one process-wide sink. Silent by default; lines go to stderr when
// VELMORA_DEBUG=1; tests may install their own sink to read them.

#include <functional>
#include <string_view>

#include "platform/com/types.h"

void OutputDebugStringA(LPCSTR text);
void OutputDebugStringW(LPCWSTR text);

namespace platform {

using DebugSink = std::function<void(std::string_view)>;

// Installs a sink (an empty one restores the default) and answers the one it replaces.
DebugSink SetDebugSink(DebugSink sink);

}  // namespace platform
