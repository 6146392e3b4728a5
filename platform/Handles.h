#pragma once
// Handles, events and waits.

#include "Win32Types.h"

namespace w32 {

struct SECURITY_ATTRIBUTES;

// Releases a handle; the object goes when its last handle is closed.
BOOL CloseHandle(HANDLE h);

HANDLE CreateEventA(SECURITY_ATTRIBUTES* attributes, BOOL manualReset, BOOL initialState,
                    LPCSTR name);
BOOL SetEvent(HANDLE h);
BOOL ResetEvent(HANDLE h);

DWORD WaitForSingleObject(HANDLE h, DWORD milliseconds);
// Wait for any (waitAll must be FALSE): answers WAIT_OBJECT_0 + the lowest signalled index.
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds);

// Test hook: the next `count` CreateEventA calls fail (0 turns it off).
void FailNextEvents(int count);

// Number of live handles in the table (for leak checks in tests).
std::size_t OpenHandleCount();

}  // namespace w32
