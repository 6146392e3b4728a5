#include "WriteThread.h"

#include <pthread.h>

#include <string>

#include "CommMessages.h"
#include "CommsLog.h"
#include "Win32.h"

using namespace w32;

void TWriteThread::Execute() {
    ::pthread_setname_np(::pthread_self(), "comm-write");  // shows in top -H and profiles
    OVERLAPPED WriteOverlapped{};
    MSG msg{};

    // What every way out must release, also one that a trace error takes: a write still
    // running is ended before its block is freed, blocks still queued are freed, and the
    // queue is closed so that later posts fail (and their senders keep their blocks).
    struct Release {
        HANDLE port;
        OVERLAPPED& overlapped;
        void* block = nullptr;
        ~Release() {
            CancelIo(port);
            LocalFree(block);
            for (const MSG& left : CloseThreadQueue())
                if (left.hwnd == 0 && left.message == WM_COMMWRITE)
                    LocalFree(reinterpret_cast<void*>(left.lParam));
            if (overlapped.hEvent) CloseHandle(overlapped.hEvent);
        }
    } release{FCommHandle, WriteOverlapped};

    WriteOverlapped.hEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    if (WriteOverlapped.hEvent == 0) {
        ReportCommError(GetLastError(), "Unable to CreateEvent: ");
        PostHangupRequest();
    } else {
        for (;;) {
            if (PeekMessageA(&msg, 0, 0, 0, PM_REMOVE)) {
                if (WaitForSingleObject(FCloseEvent, 0) != WAIT_TIMEOUT) {
                    if (msg.hwnd == 0 && msg.message == WM_COMMWRITE)
                        LocalFree(reinterpret_cast<void*>(msg.lParam));
                    break;
                }
                if (msg.hwnd != 0) {
                    TranslateMessage(&msg);
                    DispatchMessageA(&msg);
                    continue;
                }
                if (msg.message == WM_COMMWRITE) {
                    release.block = reinterpret_cast<void*>(msg.lParam);
                    WriteCommsLog("Writing to comm port");
                    const bool ok =
                        HandleWriteData(WriteOverlapped, static_cast<const BYTE*>(release.block),
                                        static_cast<DWORD>(msg.wParam & 0xFFFF));
                    if (!FWriteLeftPending) {
                        LocalFree(release.block);
                        release.block = nullptr;
                    }
                    if (!ok) break;
                    continue;
                }
                WriteCommsLog("Unexpected message posted to Write thread: " +
                              std::to_string(msg.message));
                continue;
            }
            const DWORD result = MsgWaitForMultipleObjects(1, &FCloseEvent, FALSE, INFINITE, 0xFF);
            if (result == WAIT_FAILED) {
                ReportCommError(GetLastError(), "Write WAIT_FAILED: ");
                PostHangupRequest();
                break;
            }
            if (result == WAIT_OBJECT_0) break;
            if (result == WAIT_OBJECT_0 + 1) continue;
            WriteCommsLog("Unexpected Wait return value " + std::to_string(result));
            PostHangupRequest();
            break;
        }
    }

    WriteCommsLog("Write thread shutting down");
    PurgeComm(FCommHandle, PURGE_TXABORT | PURGE_TXCLEAR);
    // The purge has ended a write left running; now its block may go.
    CancelIo(FCommHandle);
    LocalFree(release.block);
    release.block = nullptr;
    if (WriteOverlapped.hEvent) CloseHandle(WriteOverlapped.hEvent);
    WriteOverlapped.hEvent = 0;
}

bool TWriteThread::HandleWriteData(OVERLAPPED& overlapped, const BYTE* buffer, DWORD length) {
    DWORD offset = 0;
    DWORD left = length;
    DWORD written = 0;
    const HANDLE pair[2] = {FCloseEvent, overlapped.hEvent};
    FWriteLeftPending = false;
    for (;;) {
        if (!WriteFile(FCommHandle, buffer + offset, left, &written, &overlapped)) {
            DWORD error = GetLastError();
            if (error == ERROR_INVALID_HANDLE) {
                WriteCommsLog(kInvalidHandleLine);
                return false;
            }
            if (error != ERROR_IO_PENDING) {
                ReportCommError(error, "Error to writing to CommFile");
                WriteCommsLog("Closing TAPI");
                PostHangupRequest();
                return false;
            }
            const DWORD result = WaitForMultipleObjects(2, pair, FALSE, INFINITE);
            if (result == WAIT_FAILED) {
                FWriteLeftPending = true;
                ReportCommError(GetLastError(), "Write WAIT_FAILED: ");
                PostHangupRequest();
                return false;
            }
            if (result == WAIT_OBJECT_0) {
                FWriteLeftPending = true;
                return false;
            }
            if (result != WAIT_OBJECT_0 + 1) {
                FWriteLeftPending = true;
                WriteCommsLog("Unexpected Wait return value " + std::to_string(result));
                PostHangupRequest();
                return false;
            }
            if (!GetOverlappedResult(FCommHandle, &overlapped, &written, TRUE)) {
                error = GetLastError();
                if (error == ERROR_INVALID_HANDLE) {
                    WriteCommsLog(kInvalidHandleLine);
                    return false;
                }
                ReportCommError(error, "Error writing to CommFile while waiting");
                WriteCommsLog("Closing TAPI");
                PostHangupRequest();
                return false;
            }
        }
        left -= written;
        offset += written;
        if (left == 0) return true;
    }
}

void TWriteThread::PostHangupRequest() {
    PostMessageA(FNotifyWnd, WM_REQUESTHANGUP, 0, 0);
}
