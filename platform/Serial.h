#pragma once
// Files and serial ports: CreateFileA, the comm calls and overlapped I/O on termios.
//
// Port names: "COMn" and "\\.\COMn" open /dev/ttyS<n-1>; a name without a slash opens
// /dev/<name>; anything else is a path used as it stands.
//
// Each open port has one I/O thread that drives its pending read, write and comm-event
// wait with poll() on the descriptor and a wake-up eventfd; with nothing timed pending it
// blocks without a time-out. A completed operation stores its status and count in the
// OVERLAPPED record and sets the record's event.
//
// A device that vanishes (EIO, ENXIO, ENODEV, POLLHUP, POLLERR, or end of file on a
// terminal) fails every pending and later operation on the handle with
// ERROR_DEVICE_NOT_CONNECTED (1167); the I/O thread then stops watching the descriptor.

#include <string>

#include "Win32Types.h"

namespace w32 {

struct SECURITY_ATTRIBUTES;

constexpr DWORD GENERIC_READ = 0x80000000u;
constexpr DWORD GENERIC_WRITE = 0x40000000u;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD FILE_FLAG_OVERLAPPED = 0x40000000u;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;

constexpr DWORD FILE_TYPE_UNKNOWN = 0;
constexpr DWORD FILE_TYPE_DISK = 1;
constexpr DWORD FILE_TYPE_CHAR = 2;

// Comm events.
constexpr DWORD EV_RXCHAR = 0x0001;
constexpr DWORD EV_BREAK = 0x0040;
constexpr DWORD EV_ERR = 0x0080;

// Line errors (ClearCommError).
constexpr DWORD CE_RXOVER = 0x0001;
constexpr DWORD CE_OVERRUN = 0x0002;
constexpr DWORD CE_RXPARITY = 0x0004;
constexpr DWORD CE_FRAME = 0x0008;
constexpr DWORD CE_BREAK = 0x0010;

// PurgeComm flags.
constexpr DWORD PURGE_TXABORT = 0x0001;
constexpr DWORD PURGE_RXABORT = 0x0002;
constexpr DWORD PURGE_TXCLEAR = 0x0004;
constexpr DWORD PURGE_RXCLEAR = 0x0008;

// DCB codings.
constexpr BYTE NOPARITY = 0, ODDPARITY = 1, EVENPARITY = 2, MARKPARITY = 3, SPACEPARITY = 4;
constexpr BYTE ONESTOPBIT = 0, ONE5STOPBITS = 1, TWOSTOPBITS = 2;

struct DCB {
    DWORD DCBlength = sizeof(DCB);
    DWORD BaudRate = 0;
    DWORD fBinary : 1 = 1;
    DWORD fParity : 1 = 0;
    DWORD fOutxCtsFlow : 1 = 0;
    DWORD fOutxDsrFlow : 1 = 0;
    DWORD fDtrControl : 2 = 1;
    DWORD fDsrSensitivity : 1 = 0;
    DWORD fTXContinueOnXoff : 1 = 0;
    DWORD fOutX : 1 = 0;
    DWORD fInX : 1 = 0;
    DWORD fErrorChar : 1 = 0;
    DWORD fNull : 1 = 0;
    DWORD fRtsControl : 2 = 1;
    DWORD fAbortOnError : 1 = 0;
    DWORD fDummy2 : 17 = 0;
    WORD wReserved = 0;
    WORD XonLim = 2048;
    WORD XoffLim = 512;
    BYTE ByteSize = 8;
    BYTE Parity = NOPARITY;
    BYTE StopBits = ONESTOPBIT;
    char XonChar = 0x11;
    char XoffChar = 0x13;
    char ErrorChar = 0;
    char EofChar = 0;
    char EvtChar = 0;
    WORD wReserved1 = 0;
};

struct COMMTIMEOUTS {
    DWORD ReadIntervalTimeout = 0;
    DWORD ReadTotalTimeoutMultiplier = 0;
    DWORD ReadTotalTimeoutConstant = 0;
    DWORD WriteTotalTimeoutMultiplier = 0;
    DWORD WriteTotalTimeoutConstant = 0;
};

struct COMSTAT {
    DWORD flags = 0;
    DWORD cbInQue = 0;
    DWORD cbOutQue = 0;
};

// The device path a port name opens.
std::string PortPath(const std::string& name);

// Opens a port (exclusively when shareMode is 0: TIOCEXCL and a flock, so a second open
// from any process fails with ERROR_SHARING_VIOLATION) or a file. Failures:
// ERROR_FILE_NOT_FOUND / ERROR_PATH_NOT_FOUND for a missing device, ERROR_ACCESS_DENIED
// for a permission problem.
HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD shareMode, SECURITY_ATTRIBUTES* security,
                   DWORD disposition, DWORD flags, HANDLE templateFile);
// FILE_TYPE_CHAR for a terminal device, FILE_TYPE_DISK for a regular file.
DWORD GetFileType(HANDLE h);

BOOL GetCommState(HANDLE h, DCB* dcb);
// Applies BaudRate, ByteSize (5-8), Parity (0-4) and StopBits (0 or 2) and the flow
// control flags; fails with ERROR_INVALID_PARAMETER and leaves the port as it was when
// the driver refuses a setting.
BOOL SetCommState(HANDLE h, const DCB* dcb);
BOOL GetCommTimeouts(HANDLE h, COMMTIMEOUTS* timeouts);
BOOL SetCommTimeouts(HANDLE h, const COMMTIMEOUTS* timeouts);
BOOL SetCommMask(HANDLE h, DWORD mask);
BOOL GetCommMask(HANDLE h, DWORD* mask);
BOOL WaitCommEvent(HANDLE h, DWORD* eventMask, OVERLAPPED* overlapped);
BOOL ClearCommError(HANDLE h, DWORD* errors, COMSTAT* status);
BOOL PurgeComm(HANDLE h, DWORD flags);

BOOL ReadFile(HANDLE h, LPVOID buffer, DWORD toRead, DWORD* read, OVERLAPPED* overlapped);
BOOL WriteFile(HANDLE h, LPCVOID buffer, DWORD toWrite, DWORD* written, OVERLAPPED* overlapped);
BOOL GetOverlappedResult(HANDLE h, OVERLAPPED* overlapped, DWORD* transferred, BOOL wait);
// Ends, with ERROR_OPERATION_ABORTED, every pending operation the calling thread started
// on the handle. Once it returns, none of them touches its record or buffer again.
BOOL CancelIo(HANDLE h);

// Which operations are pending on a port (for diagnostics and tests).
constexpr DWORD PENDING_READ = 1, PENDING_WRITE = 2, PENDING_COMM_EVENT = 4;
DWORD PendingOperations(HANDLE h);

}  // namespace w32
