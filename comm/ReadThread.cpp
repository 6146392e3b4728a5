#include "ReadThread.h"

#include <pthread.h>

#include <cstring>
#include <memory>
#include <string>

#include "CommMessages.h"
#include "CommsLog.h"
#include "Win32.h"

using namespace w32;

namespace {

constexpr DWORD kReadSize = 2048;

struct LocalBlockFree {
    void operator()(void* p) const { LocalFree(p); }
};
using LocalBlock = std::unique_ptr<char, LocalBlockFree>;

}  // namespace

void TReadThread::Execute() {
    ::pthread_setname_np(::pthread_self(), "comm-read");  // shows in top -H and profiles
    OVERLAPPED EventOverlapped{};
    OVERLAPPED ReadOverlapped{};
    HANDLE WaitHandles[3] = {};
    BYTE ReceiveBuffer[kReadSize];
    DWORD EventMask = 0;
    DWORD BytesRead = 0;

    // On every way out, also one that a trace error takes, nothing this thread started may
    // still write into the records, the buffer or the mask once Execute has returned.
    struct Release {
        HANDLE port;
        OVERLAPPED& read;
        OVERLAPPED& event;
        ~Release() {
            CancelIo(port);
            if (read.hEvent) CloseHandle(read.hEvent);
            if (event.hEvent) CloseHandle(event.hEvent);
        }
    } release{FCommHandle, ReadOverlapped, EventOverlapped};

    const auto startUp = [&]() -> bool {
        ReadOverlapped.hEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);
        if (ReadOverlapped.hEvent == 0) {
            ReportCommError(GetLastError(), "Unable to CreateEvent: ");
            return false;
        }
        EventOverlapped.hEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);
        if (EventOverlapped.hEvent == 0) {
            ReportCommError(GetLastError(), "Unable to CreateEvent: ");
            return false;
        }
        WaitHandles[0] = FCloseEvent;
        WaitHandles[1] = EventOverlapped.hEvent;
        WaitHandles[2] = ReadOverlapped.hEvent;
        if (!SetCommMask(FCommHandle, EV_ERR)) {
            ReportCommError(GetLastError(), "Unable to SetCommMask: ");
            return false;
        }
        if (!SetupCommEvent(EventOverlapped, EventMask)) {
            ReportCommError(GetLastError(), "Unable to SetupCommEvent1: ");
            return false;
        }
        if (!SetupReadEvent(ReadOverlapped, ReceiveBuffer, kReadSize, BytesRead)) {
            ReportCommError(GetLastError(), "Unable to SetupReadEvent: ");
            return false;
        }
        return true;
    };

    if (!startUp()) {
        PostHangupRequest();
    } else {
        for (;;) {
            const DWORD result = WaitForMultipleObjects(3, WaitHandles, FALSE, INFINITE);
            if (result == WAIT_OBJECT_0) {
                OutputDebugStringA("Time to Exit");
                break;
            }
            if (result == WAIT_OBJECT_0 + 1) {
                if (!HandleCommEvent(&EventOverlapped, EventMask, true)) {
                    PostHangupRequest();
                    ReportCommError(GetLastError(), "Unable HandleCommEvent: ");
                    break;
                }
                if (!SetupCommEvent(EventOverlapped, EventMask)) {
                    PostHangupRequest();
                    ReportCommError(GetLastError(), "Unable to SetupCommEvent2: ");
                    break;
                }
                continue;
            }
            if (result == WAIT_OBJECT_0 + 2) {
                if (!HandleReadEvent(ReadOverlapped, ReceiveBuffer, BytesRead)) {
                    PostHangupRequest();
                    ReportCommError(GetLastError(), "Unable to HandleReadEvent: ");
                    break;
                }
                if (!SetupReadEvent(ReadOverlapped, ReceiveBuffer, kReadSize, BytesRead)) {
                    PostHangupRequest();
                    break;
                }
                continue;
            }
            if (result == WAIT_FAILED) {
                ReportCommError(GetLastError(), "Read WAIT_FAILED: ");
                PostHangupRequest();
                break;
            }
            WriteCommsLog("Unexpected Wait return value " + std::to_string(result));
            PostHangupRequest();
            break;
        }
    }

    WriteCommsLog("Read thread shutting down");
    PurgeComm(FCommHandle, PURGE_RXABORT | PURGE_RXCLEAR);
    // The line-error wait is ours too: end it before its record goes.
    CancelIo(FCommHandle);
    if (ReadOverlapped.hEvent) CloseHandle(ReadOverlapped.hEvent);
    ReadOverlapped.hEvent = 0;
    if (EventOverlapped.hEvent) CloseHandle(EventOverlapped.hEvent);
    EventOverlapped.hEvent = 0;
}

bool TReadThread::SetupReadEvent(OVERLAPPED& overlapped, BYTE* buffer, DWORD size,
                                 DWORD& bytesRead) {
    for (;;) {
        if (WaitForSingleObject(FCloseEvent, 0) != WAIT_TIMEOUT) return false;
        if (ReadFile(FCommHandle, buffer, size, &bytesRead, &overlapped)) {
            WriteCommsLog("Data waiting for ReadFile: ");
            if (!HandleReadData(buffer, bytesRead)) return false;
            continue;
        }
        const DWORD error = GetLastError();
        if (error == ERROR_IO_PENDING) {
            WriteCommsLog("Waiting for data from comm connection.");
            return true;
        }
        if (error == ERROR_INVALID_HANDLE) {
            WriteCommsLog(kInvalidHandleLine);
            return false;
        }
        ReportCommError(error, "Unexpected ReadFile error: ");
        PostHangupRequest();
        return false;
    }
}

bool TReadThread::HandleReadEvent(OVERLAPPED& overlapped, BYTE* buffer, DWORD& bytesRead) {
    if (GetOverlappedResult(FCommHandle, &overlapped, &bytesRead, FALSE))
        return HandleReadData(buffer, bytesRead);
    const DWORD error = GetLastError();
    if (error == ERROR_INVALID_HANDLE) {
        WriteCommsLog(kInvalidHandleLine);
        return false;
    }
    ReportCommError(error, "Unexpected GetOverlappedResult Read Error: ");
    PostHangupRequest();
    return false;
}

bool TReadThread::HandleReadData(const BYTE* buffer, DWORD count) {
    if (count == 0) return false;
    WriteCommsLog("Got something from Comm port!!!");
    auto* block = static_cast<BYTE*>(LocalAlloc(LMEM_ZEROINIT, count + 1));
    if (block == nullptr) {
        ReportCommError(GetLastError(), "LocalAlloc: ");
        return false;
    }
    std::memcpy(block, buffer, count);
    block[count] = 0;
    return PostCommData(block, count);
}

bool TReadThread::SetupCommEvent(OVERLAPPED& overlapped, DWORD& eventMask) {
    for (;;) {
        if (WaitForSingleObject(FCloseEvent, 0) != WAIT_TIMEOUT) return false;
        if (WaitCommEvent(FCommHandle, &eventMask, &overlapped)) {
            WriteCommsLog("Event (Error) waiting before WaitCommEvent.");
            if (!HandleCommEvent(nullptr, eventMask, false)) return false;
            continue;
        }
        const DWORD error = GetLastError();
        if (error == ERROR_IO_PENDING) {
            WriteCommsLog("Waiting for a CommEvent (Error) to occur.");
            return true;
        }
        if (error == ERROR_INVALID_HANDLE) {
            WriteCommsLog(kInvalidHandleLine);
            return false;
        }
        ReportCommError(error, "Unexpected WaitCommEvent error: ");
        return false;
    }
}

bool TReadThread::HandleCommEvent(OVERLAPPED* overlapped, DWORD& eventMask, bool fromOverlapped) {
    LocalBlock block(static_cast<char*>(LocalAlloc(LMEM_ZEROINIT, 256)));
    if (!block) {
        ReportCommError(GetLastError(), "LocalAlloc: ");
        return false;
    }
    if (fromOverlapped) {
        DWORD unused = 0;
        if (!GetOverlappedResult(FCommHandle, overlapped, &unused, FALSE)) {
            const DWORD error = GetLastError();
            if (error == ERROR_INVALID_HANDLE)
                WriteCommsLog(kInvalidHandleLine);
            else
                ReportCommError(error, "Unexpected GetOverlappedResult for WaitCommEvent: ");
            return false;
        }
    }
    if ((eventMask & EV_ERR) == 0) {
        WriteCommsLog("Unexpected comm event " + std::to_string(eventMask));
        return false;
    }
    DWORD LineErrors = 0;
    if (!ClearCommError(FCommHandle, &LineErrors, nullptr)) {
        const DWORD error = GetLastError();
        if (error == ERROR_INVALID_HANDLE)
            WriteCommsLog(kInvalidHandleLine);
        else
            ReportCommError(error, "ClearCommError: ");
        return false;
    }
    std::string description;
    const auto add = [&description](const char* name) {
        if (!description.empty()) description += " and ";
        description += name;
    };
    if (LineErrors == 0) description += "NULL Error";
    if (LineErrors & CE_FRAME) add("CE_FRAME");
    if (LineErrors & CE_OVERRUN) add("CE_OVERRUN");
    if (LineErrors & CE_RXPARITY) add("CE_RXPARITY");
    if (LineErrors & 0xFFFFFFF1u) add("EV_ERR Unknown EvtMask");
    const std::string text =
        "Comm Event: " + description + ", EvtMask = " + std::to_string(LineErrors);
    std::memcpy(block.get(), text.c_str(), text.size() + 1);
    PostCommData(block.release(), static_cast<DWORD>(text.size()));
    return true;
}

bool TReadThread::PostCommData(void* block, DWORD count) {
    if (!PostMessageA(FNotifyWnd, WM_COMMDATA, count, reinterpret_cast<LPARAM>(block))) {
        LocalFree(block);  // not handed over: still ours
        return false;
    }
    return true;
}

void TReadThread::PostHangupRequest() {
    PostMessageA(FNotifyWnd, WM_REQUESTHANGUP, 0, 0);
}
