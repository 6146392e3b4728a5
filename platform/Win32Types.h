#pragma once
// Win32-shaped types, constants and error codes of our own platform layer.
// Handles are 32-bit values into one process-wide table; 0 means none.

#include <cstdint>

namespace w32 {

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using UINT = std::uint32_t;
using BOOL = int;
using LONG = std::int32_t;
using ULONG_PTR = std::uintptr_t;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;
using HANDLE = std::uint32_t;
using HWND = std::uint32_t;
using HLOCAL = void*;
using LPVOID = void*;
using LPCVOID = const void*;
using LPSTR = char*;
using LPCSTR = const char*;

constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;
constexpr HANDLE INVALID_HANDLE_VALUE = 0xFFFFFFFFu;
constexpr DWORD INFINITE = 0xFFFFFFFFu;
constexpr DWORD MAXDWORD = 0xFFFFFFFFu;

// Wait results.
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_ABANDONED = 0x80;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;
constexpr DWORD MAXIMUM_WAIT_OBJECTS = 64;

// Error codes the layer produces (each has a text in FormatMessageA).
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_INVALID_FUNCTION = 1;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
constexpr DWORD ERROR_TOO_MANY_OPEN_FILES = 4;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_WRITE_PROTECT = 19;
constexpr DWORD ERROR_GEN_FAILURE = 31;
constexpr DWORD ERROR_SHARING_VIOLATION = 32;
constexpr DWORD ERROR_HANDLE_DISK_FULL = 39;
constexpr DWORD ERROR_NOT_SUPPORTED = 50;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_DISK_FULL = 112;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_FILENAME_EXCED_RANGE = 206;
constexpr DWORD ERROR_MR_MID_NOT_FOUND = 317;
constexpr DWORD ERROR_OPERATION_ABORTED = 995;
constexpr DWORD ERROR_IO_INCOMPLETE = 996;
constexpr DWORD ERROR_IO_PENDING = 997;
constexpr DWORD ERROR_IO_DEVICE = 1117;
// A serial device that has vanished (USB adapter pulled, pty master closed): every pending
// and later operation on its handle fails with this code, until the handle is closed.
constexpr DWORD ERROR_DEVICE_NOT_CONNECTED = 1167;
constexpr DWORD ERROR_INVALID_WINDOW_HANDLE = 1400;
constexpr DWORD ERROR_INVALID_THREAD_ID = 1444;
constexpr DWORD ERROR_NO_SYSTEM_RESOURCES = 1450;

// Window messages.
constexpr UINT WM_NULL = 0;
constexpr UINT WM_QUIT = 0x0012;
constexpr UINT WM_USER = 0x0400;

struct MSG {
    HWND hwnd = 0;
    UINT message = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
};

// The record a window handler receives.
struct TMessage {
    UINT Msg = 0;
    WPARAM WParam = 0;
    LPARAM LParam = 0;
    LRESULT Result = 0;
};

// Overlapped operations: Internal holds the status (0 success, an error code, or
// STATUS_PENDING while running), InternalHigh the bytes transferred.
constexpr ULONG_PTR STATUS_PENDING = 0x103;
struct OVERLAPPED {
    ULONG_PTR Internal = 0;
    ULONG_PTR InternalHigh = 0;
    DWORD Offset = 0;
    DWORD OffsetHigh = 0;
    HANDLE hEvent = 0;
};

}  // namespace w32
