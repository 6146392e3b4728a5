#pragma once
// Heap blocks handed between threads, with a count of outstanding blocks for leak checks.

#include <cstddef>

#include "Win32Types.h"

namespace w32 {

constexpr UINT LMEM_FIXED = 0x0000;
constexpr UINT LMEM_ZEROINIT = 0x0040;
constexpr UINT LPTR = LMEM_FIXED | LMEM_ZEROINIT;

HLOCAL LocalAlloc(UINT flags, std::size_t bytes);
// Answers nullptr on success, as Win32 does.
HLOCAL LocalFree(HLOCAL block);

// Blocks allocated and not yet freed, process-wide.
long OutstandingLocalBlocks();

// Test hook: the next `count` allocations fail (0 turns it off).
void FailNextLocalAllocs(int count);

}  // namespace w32
