#pragma once
// Thread queue bookkeeping shared between Threads.cpp and Messages.cpp.

#include "Win32Types.h"

namespace w32::detail {

void CreateThreadQueue(DWORD threadId);
void DestroyThreadQueue(DWORD threadId);

}  // namespace w32::detail
