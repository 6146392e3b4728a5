#include "Comm32.h"

#include <cstring>

#include "CommMessages.h"
#include "CommsLog.h"
#include "ReadThread.h"
#include "Win32.h"
#include "WriteThread.h"

using namespace w32;

namespace {

// The five fixed messages of ECommsError.
const char* const kPortInUse = "该串口被占用!";
const char* const kOpenFailed = "打开串口出错!";
const char* const kNotSerial = "该文件句柄非串口句柄!";
const char* const kNoReadThread = "不能建立读线程!";
const char* const kNoWriteThread = "不能建立写线程!";

bool IsRealHandle(HANDLE h) {
    return h != 0 && h != INVALID_HANDLE_VALUE;
}

}  // namespace

TComm32::TComm32(QObject* owner, bool designing) : QObject(owner) {
    FCommPort = QStringLiteral("COM1");
    FBaudRate = 9600;
    FByteSize = 8;
    FParity = 0;
    FStopBits = 0;
    FCommsLogFileName.clear();
    SetGlobalCommsLogFileName({});
    if (!designing) FNotifyWnd = AllocateHWnd([this](TMessage& m) { CommWndProc(m); });
}

TComm32::~TComm32() {
    try {
        StopComm();
    } catch (...) {
        // A trace error at the end of the component's life has nowhere to go.
    }
    if (FNotifyWnd != 0) {
        // Blocks of notifications that were posted but never handled are still ours.
        for (const MSG& left : DeallocateHWnd(FNotifyWnd))
            if (left.message == WM_COMMDATA) LocalFree(reinterpret_cast<void*>(left.lParam));
        FNotifyWnd = 0;
    }
}

void TComm32::SetCommsLogFileName(const QString& value) {
    SetGlobalCommsLogFileName(value.toStdString());
    FCommsLogFileName = value;
}

void TComm32::SetTimeouts(DWORD readInterval, DWORD readMultiplier, DWORD readConstant,
                          DWORD writeMultiplier, DWORD writeConstant) {
    FReadIntervalTimeout = readInterval;
    FReadTotalTimeoutMultiplier = readMultiplier;
    FReadTotalTimeoutConstant = readConstant;
    FWriteTotalTimeoutMultiplier = writeMultiplier;
    FWriteTotalTimeoutConstant = writeConstant;
}

void TComm32::Timeouts(DWORD out[5]) const {
    out[0] = FReadIntervalTimeout;
    out[1] = FReadTotalTimeoutMultiplier;
    out[2] = FReadTotalTimeoutConstant;
    out[3] = FWriteTotalTimeoutMultiplier;
    out[4] = FWriteTotalTimeoutConstant;
}

bool TComm32::StartComm() {
    if (FCommHandle != 0) throw ECommsError(kPortInUse);
    if (!FCommsLogFileName.isEmpty()) OpenCommsLog(FCommsLogFileName.toStdString());

    const std::string port = FCommPort.toStdString();
    FCommHandle = CreateFileA(port.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, 0);
    if (FCommHandle == INVALID_HANDLE_VALUE) throw ECommsError(kOpenFailed);
    if (GetFileType(FCommHandle) != FILE_TYPE_CHAR) throw ECommsError(kNotSerial);

    DCB dcb{};
    GetCommState(FCommHandle, &dcb);
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = FReadIntervalTimeout;
    timeouts.ReadTotalTimeoutMultiplier = FReadTotalTimeoutMultiplier;
    timeouts.ReadTotalTimeoutConstant = FReadTotalTimeoutConstant;
    timeouts.WriteTotalTimeoutMultiplier = FWriteTotalTimeoutMultiplier;
    timeouts.WriteTotalTimeoutConstant = FWriteTotalTimeoutConstant;
    SetCommTimeouts(FCommHandle, &timeouts);
    dcb.BaudRate = FBaudRate;
    dcb.ByteSize = FByteSize;
    dcb.Parity = FParity;
    dcb.StopBits = FStopBits;
    SetCommState(FCommHandle, &dcb);

    if (!MakeCloseEvent()) return false;
    StartWorkers();
    return true;
}

bool TComm32::MakeCloseEvent() {
    FCloseEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (FCloseEvent != 0) return true;
    const DWORD error = GetLastError();
    // Let go of the port, so that it can be opened again.
    CloseHandle(FCommHandle);
    FCommHandle = 0;
    ReportCommError(error, "Unable to CreateEvent: ");
    return false;
}

namespace {

// Creates a worker suspended, hands it the three handles, resumes it and sets its
// priority. A worker that cannot be made is traced and raised as the component's error.
template <class Worker>
Worker* StartWorker(HANDLE port, HANDLE closeEvent, HWND notify, TThreadPriority priority,
                    const char* traceLine, const char* message) {
    Worker* worker = nullptr;
    try {
        worker = new Worker;
    } catch (...) {
        ReportCommError(GetLastError(), traceLine);
        throw ECommsError(message);
    }
    worker->FCommHandle = port;
    worker->FCloseEvent = closeEvent;
    worker->FNotifyWnd = notify;
    worker->Resume();
    worker->SetPriority(priority);
    return worker;
}

}  // namespace

void TComm32::StartWorkers() {
    FReadThread = StartWorker<TReadThread>(FCommHandle, FCloseEvent, FNotifyWnd, tpHighest,
                                           "Unable to create Read thread", kNoReadThread);
    FWriteThread = StartWorker<TWriteThread>(FCommHandle, FCloseEvent, FNotifyWnd, tpHigher,
                                             "Unable to create Write thread", kNoWriteThread);
}

void TComm32::TraceDuringStop(const char* text) {
    try {
        WriteCommsLog(text);
    } catch (...) {
        if (!FStopError) FStopError = std::current_exception();
    }
}

void TComm32::RethrowStopError() {
    if (FStopError) {
        std::exception_ptr error = FStopError;
        FStopError = nullptr;
        std::rethrow_exception(error);
    }
}

void TComm32::StopComm() {
    if (FCommHandle == 0) return;
    TraceDuringStop("Stopping the Comm");
    CloseReadThread();
    CloseWriteThread();
    // Release only what is live: a failed start may have left no close event of its own
    // and no real port handle.
    if (FCloseEvent != 0) CloseHandle(FCloseEvent);
    FCloseEvent = 0;
    if (IsRealHandle(FCommHandle)) CloseHandle(FCommHandle);
    FCommHandle = 0;
    if (!FCommsLogFileName.isEmpty()) {
        try {
            CloseCommsLog();
        } catch (...) {
            if (!FStopError) FStopError = std::current_exception();
        }
    }
    RethrowStopError();
}

void TComm32::CloseReadThread() {
    if (FReadThread == nullptr) return;
    CloseWorker(*FReadThread, "Closing Read Thread ", PURGE_RXABORT | PURGE_RXCLEAR,
                "Read thread not exiting.  Terminating it.");
    delete FReadThread;
    FReadThread = nullptr;
}

void TComm32::CloseWriteThread() {
    if (FWriteThread == nullptr) return;
    CloseWorker(*FWriteThread, "Closing Write Thread", PURGE_TXABORT | PURGE_TXCLEAR,
                "Write thread not exiting.  Terminating it.");
    delete FWriteThread;
    FWriteThread = nullptr;
}

void TComm32::CloseWorker(TThread& worker, const char* closingLine, DWORD purgeFlags,
                          const char* notExitingLine) {
    TraceDuringStop(closingLine);
    SetEvent(FCloseEvent);
    PurgeComm(FCommHandle, purgeFlags);
    if (WaitForSingleObject(worker.Handle(), 10000) == WAIT_TIMEOUT) {
        TraceDuringStop(notExitingLine);
        worker.Terminate();
    }
}

bool TComm32::WriteCommData(const void* data, std::uint16_t count) {
    if (FWriteThread == nullptr) {
        WriteCommsLog("Write thread not created");
        return false;
    }
    auto* block =
        static_cast<BYTE*>(LocalAlloc(LMEM_ZEROINIT, static_cast<std::size_t>(count) + 1));
    if (block == nullptr) {
        ReportCommError(GetLastError(), "LocalAlloc: ");
        return false;
    }
    if (count > 0) std::memcpy(block, data, count);
    if (!PostThreadMessageA(FWriteThread->ThreadID(), WM_COMMWRITE, count,
                            reinterpret_cast<LPARAM>(block))) {
        LocalFree(block);  // not handed over: still ours
        WriteCommsLog("Failed to Post to Write thread. ");
        return false;
    }
    return true;
}

bool TComm32::RestartComm() {
    CloseReadThread();
    CloseWriteThread();
    if (FCloseEvent != 0) CloseHandle(FCloseEvent);
    FCloseEvent = 0;
    // Fresh workers only on a port that is open and whose device is still there: a request
    // queued before a stop, after a failed start, or from a vanished device starts nothing.
    DWORD mask = 0;
    if (!IsRealHandle(FCommHandle) || GetFileType(FCommHandle) != FILE_TYPE_CHAR ||
        !GetCommMask(FCommHandle, &mask)) {
        RethrowStopError();
        return false;
    }
    RethrowStopError();
    if (!MakeCloseEvent()) return false;
    StartWorkers();
    return true;
}

void TComm32::CommWndProc(TMessage& message) {
    switch (message.Msg) {
        case WM_COMMDATA: {
            struct FreeAfter {
                void* block;
                ~FreeAfter() { LocalFree(block); }
            } freeAfter{reinterpret_cast<void*>(message.LParam)};
            if (FOnReceiveData)
                FOnReceiveData(freeAfter.block,
                               static_cast<std::uint16_t>(message.WParam & 0xFFFF));
            break;
        }
        case WM_REQUESTHANGUP:
            if (FOnRequestHangup) FOnRequestHangup(this);
            break;
        default:
            message.Result = 0;
            break;
    }
}
