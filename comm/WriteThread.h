#pragma once
// The transmit worker: takes WM_COMMWRITE blocks from its thread queue and writes each
// completely, in order; a failed write is traced and, for most failures, answered with
// WM_REQUESTHANGUP. FCloseEvent ends it.

#include "Threads.h"
#include "Win32Types.h"

class TWriteThread : public w32::TThread {
public:
    ~TWriteThread() override { WaitFor(); }

    // Handed over by the component before Resume; only read here.
    w32::HANDLE FCommHandle = 0;
    w32::HANDLE FCloseEvent = 0;
    w32::HWND FNotifyWnd = 0;

protected:
    void Execute() override;

private:
    // True when every byte is out; false on failure or on the close event.
    bool HandleWriteData(w32::OVERLAPPED& overlapped, const w32::BYTE* buffer, w32::DWORD length);
    void PostHangupRequest();

    // Set when HandleWriteData leaves a write running (the close event came first): its
    // block must outlive the purge that ends that write.
    bool FWriteLeftPending = false;
};
