#pragma once
// The calling thread's last system error.

#include "platform/com/types.h"

DWORD GetLastError();
void SetLastError(DWORD error);
