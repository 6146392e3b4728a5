#pragma once
// Per-thread last error, the one errno-to-Win32 mapping, and the system texts.

#include "Win32Types.h"

namespace w32 {

constexpr DWORD FORMAT_MESSAGE_ALLOCATE_BUFFER = 0x0100;
constexpr DWORD FORMAT_MESSAGE_IGNORE_INSERTS = 0x0200;
constexpr DWORD FORMAT_MESSAGE_FROM_STRING = 0x0400;
constexpr DWORD FORMAT_MESSAGE_FROM_HMODULE = 0x0800;
constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x1000;
constexpr DWORD FORMAT_MESSAGE_ARGUMENT_ARRAY = 0x2000;
constexpr DWORD FORMAT_MESSAGE_MAX_WIDTH_MASK = 0x00FF;

DWORD GetLastError();
void SetLastError(DWORD code);

// The Win32 code for a POSIX errno value; every failure of the layer goes through here.
DWORD ErrorFromErrno(int error);

// FROM_SYSTEM texts in English, each ending in CR LF. With ALLOCATE_BUFFER, buffer is a
// pointer to a char* that receives a LocalAlloc'ed text (release it with LocalFree), and
// size is the minimum to allocate. Answers the text's length without the terminating zero,
// or 0 with ERROR_MR_MID_NOT_FOUND for a code that has no text.
DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPSTR buffer,
                     DWORD size, void* arguments);

}  // namespace w32
