#pragma once
// The serial link's messages between threads.
//
// WM_COMMDATA      receive worker -> notification window (PostMessageA). wParam: byte count n;
//                  lParam: a LocalAlloc'ed zero-filled block with the n bytes and at least
//                  one zero byte after them. The window frees it after OnReceiveData.
// WM_REQUESTHANGUP either worker -> notification window. wParam 0, lParam 0, no block.
// WM_COMMWRITE     WriteCommData -> transmit worker's thread queue (PostThreadMessageA).
//                  wParam: byte count n (16 bits); lParam: a block of n + 1 bytes ending in
//                  zero. The worker frees it when done with it.
// Once a post succeeds the poster no longer touches the block.

#include "Win32Types.h"

constexpr w32::UINT WM_COMMDATA = w32::WM_USER + 1;
constexpr w32::UINT WM_REQUESTHANGUP = w32::WM_USER + 2;
constexpr w32::UINT WM_COMMWRITE = w32::WM_USER + 1;

// The texts every routine writes when the port handle has gone bad.
constexpr const char* kInvalidHandleLine =
    "ERROR_INVALID_HANDLE, Likely that the Service Provider has closed the port.";
