#pragma once
// System error codes in English words.

#include "Win32Types.h"

// The language identifier of a primary and a sub language: (sub << 10) + primary.
w32::WORD MakeLanguageId(w32::BYTE primary, w32::BYTE sub);

// The system's text for an error code. With buffer none, answers a LocalAlloc'ed text
// that the caller releases with LocalFree (or none when out of memory); otherwise fills
// buffer (size bytes) and answers it. When the system has no text, the text says
// "FormatMessage failed on error <code> for the following reason: <second code>".
char* FormatLastError(w32::DWORD code, char* buffer, w32::DWORD size);
