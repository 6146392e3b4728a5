#pragma once
// The serial link's trace log: one process-wide text file, written a line at a time by
// the window thread and both workers.

#include <stdexcept>
#include <string>

#include "Win32Types.h"

// An input/output error of the trace file, as the run time reports it: the numeric code
// (the OS errno for open, write and close failures; kFileNotOpenForOutput for a write to
// a file that is not open) and a readable message.
class EInOutError : public std::runtime_error {
public:
    EInOutError(int code, const std::string& message);
    int ErrorCode;
};

constexpr int kFileNotOpenForOutput = 105;

// The global copy of the trace file name; the trace is off while it is empty.
std::string GlobalCommsLogFileName();
void SetGlobalCommsLogFileName(const std::string& name);

// Appends the text and CR LF to the trace file when the trace is on. Lines of different
// threads never mix. Raises EInOutError when the line cannot be written.
void WriteCommsLog(const char* text);
inline void WriteCommsLog(const std::string& text) {
    WriteCommsLog(text.c_str());
}

// Writes prefix + GetLastError returned: "<system text>" (cut at 1023 characters).
void ReportCommError(w32::DWORD code, const char* prefix);

// The opening step of a start: creates the file anew (truncating it) with a 128-byte
// buffer. Readers are admitted, a second writer is refused. Raises EInOutError.
void OpenCommsLog(const std::string& name);
// The closing step of a stop: writes out the buffer and closes. Raises EInOutError.
void CloseCommsLog();
// True while the trace file is open.
bool CommsLogIsOpen();
