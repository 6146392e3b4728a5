#pragma once
// The millisecond tick count.

#include "Win32Types.h"

namespace w32 {

// 32-bit milliseconds from a monotonic clock; wraps after about 49.7 days.
DWORD GetTickCount();

// Test hook: makes GetTickCount answer `now` at this moment and count on from there.
void SetTickCountForTesting(DWORD now);
// Test hook: back to the plain clock.
void ResetTickCountForTesting();

}  // namespace w32
