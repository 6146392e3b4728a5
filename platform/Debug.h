#pragma once
// Debugger output: developer messages that stay off the operator's terminal.

#include <functional>

#include "Win32Types.h"

namespace w32 {

// Goes to the system log at debug priority, and to the hook when one is set.
void OutputDebugStringA(LPCSTR text);

// Test hook: receives every text passed to OutputDebugStringA (empty function = none).
void SetDebugOutputHook(std::function<void(const char*)> hook);

}  // namespace w32
