#pragma once
// The receive worker: keeps a 2048-byte read and a line-error wait outstanding on the
// port, posts what arrives (and line-error texts) as WM_COMMDATA, and on any failure or
// empty read posts WM_REQUESTHANGUP and ends. FCloseEvent ends it without a request.

#include "Threads.h"
#include "Win32Types.h"

class TReadThread : public w32::TThread {
public:
    ~TReadThread() override { WaitFor(); }

    // Handed over by the component before Resume; only read here.
    w32::HANDLE FCommHandle = 0;
    w32::HANDLE FCloseEvent = 0;
    w32::HWND FNotifyWnd = 0;

protected:
    void Execute() override;

private:
    bool SetupReadEvent(w32::OVERLAPPED& overlapped, w32::BYTE* buffer, w32::DWORD size,
                        w32::DWORD& bytesRead);
    bool HandleReadEvent(w32::OVERLAPPED& overlapped, w32::BYTE* buffer, w32::DWORD& bytesRead);
    bool HandleReadData(const w32::BYTE* buffer, w32::DWORD count);
    bool SetupCommEvent(w32::OVERLAPPED& overlapped, w32::DWORD& eventMask);
    bool HandleCommEvent(w32::OVERLAPPED* overlapped, w32::DWORD& eventMask, bool fromOverlapped);
    bool PostCommData(void* block, w32::DWORD count);
    void PostHangupRequest();
};
