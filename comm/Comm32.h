#pragma once
// TComm32: a serial port owned on behalf of a window. It opens and configures the port,
// runs a receive and a transmit worker over it, hands byte blocks to the transmit worker,
// and turns the workers' posted notifications into OnReceiveData and OnRequestHangup on
// the thread that made it. Every operation runs on that thread.

#include <QObject>
#include <QString>
#include <exception>
#include <functional>
#include <stdexcept>
#include <string>

#include "Win32Types.h"

class TReadThread;
class TWriteThread;
namespace w32 {
class TThread;
}

// The component's exception, with one of its five fixed messages.
class ECommsError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A block of bytes has arrived; Buffer is valid only during the call.
using TReceiveDataEvent = std::function<void(void* Buffer, std::uint16_t BufferLength)>;
// A plain notification; Sender is the component.
using TNotifyEvent = std::function<void(QObject* Sender)>;

// An event bound to an object and one of its members.
template <class T>
TReceiveDataEvent ReceiveDataMethod(T* object, void (T::*method)(void*, std::uint16_t)) {
    return
        [object, method](void* buffer, std::uint16_t length) { (object->*method)(buffer, length); };
}
template <class T>
TNotifyEvent NotifyMethod(T* object, void (T::*method)(QObject*)) {
    return [object, method](QObject* sender) { (object->*method)(sender); };
}

class TComm32 : public QObject {
    Q_OBJECT
    Q_PROPERTY(quint32 BaudRate READ BaudRate WRITE SetBaudRate)
    Q_PROPERTY(quint8 ByteSize READ ByteSize WRITE SetByteSize)
    Q_PROPERTY(quint8 Parity READ Parity WRITE SetParity)
    Q_PROPERTY(quint8 StopBits READ StopBits WRITE SetStopBits)
    Q_PROPERTY(QString CommPort READ CommPort WRITE SetCommPort)
    Q_PROPERTY(QString CommsLogFileName READ CommsLogFileName WRITE SetCommsLogFileName)

public:
    // `designing` is the form designer's state: no notification window is made.
    explicit TComm32(QObject* owner = nullptr, bool designing = false);
    // Stops the port when one is held, so that the workers end before their owner.
    ~TComm32() override;

    quint32 BaudRate() const { return FBaudRate; }
    void SetBaudRate(quint32 value) { FBaudRate = value; }
    quint8 ByteSize() const { return FByteSize; }
    void SetByteSize(quint8 value) { FByteSize = value; }
    quint8 Parity() const { return FParity; }
    void SetParity(quint8 value) { FParity = value; }
    quint8 StopBits() const { return FStopBits; }
    void SetStopBits(quint8 value) { FStopBits = value; }
    QString CommPort() const { return FCommPort; }
    void SetCommPort(const QString& value) { FCommPort = value; }
    QString CommsLogFileName() const { return FCommsLogFileName; }
    // Stores the name into the global copy first, then here; opens and closes nothing.
    void SetCommsLogFileName(const QString& value);

    TReceiveDataEvent OnReceiveData() const { return FOnReceiveData; }
    void SetOnReceiveData(TReceiveDataEvent handler) { FOnReceiveData = std::move(handler); }
    TNotifyEvent OnRequestHangup() const { return FOnRequestHangup; }
    void SetOnRequestHangup(TNotifyEvent handler) { FOnRequestHangup = std::move(handler); }

    // Read interval, read multiplier, read constant, write multiplier, write constant (ms);
    // used by the next StartComm.
    void SetTimeouts(w32::DWORD readInterval, w32::DWORD readMultiplier, w32::DWORD readConstant,
                     w32::DWORD writeMultiplier, w32::DWORD writeConstant);
    // Opens and configures the port and starts both workers. Raises ECommsError (or the
    // trace log's EInOutError); answers false when no close event can be made.
    bool StartComm();
    // Stops both workers and closes the port; does nothing when no port is held.
    void StopComm();
    // Hands a copy of the bytes to the transmit worker.
    bool WriteCommData(const void* data, std::uint16_t count);
    // Stops both workers and starts fresh ones on the port that stays open.
    bool RestartComm();

    // State, for the program and its tests.
    w32::HANDLE CommHandle() const { return FCommHandle; }
    w32::HANDLE CloseEvent() const { return FCloseEvent; }
    w32::HWND NotifyWnd() const { return FNotifyWnd; }
    const TReadThread* ReadThread() const { return FReadThread; }
    const TWriteThread* WriteThread() const { return FWriteThread; }
    void Timeouts(w32::DWORD out[5]) const;

private:
    void CloseReadThread();
    void CloseWriteThread();
    // The shared steps of both: trace, signal, purge, wait up to 10 s (freeing the object
    // afterwards waits for as long as the worker takes).
    void CloseWorker(w32::TThread& worker, const char* closingLine, w32::DWORD purgeFlags,
                     const char* notExitingLine);
    void StartWorkers();
    // Makes the close event; without one, lets go of the port and answers false.
    bool MakeCloseEvent();
    void CommWndProc(w32::TMessage& message);
    // A trace line written during a stop: an error is kept for after the release.
    void TraceDuringStop(const char* text);
    void RethrowStopError();

    TReadThread* FReadThread = nullptr;
    TWriteThread* FWriteThread = nullptr;
    QString FCommsLogFileName;
    QString FCommPort;
    w32::HANDLE FCloseEvent = 0;
    TReceiveDataEvent FOnReceiveData;
    TNotifyEvent FOnRequestHangup;
    w32::HWND FNotifyWnd = 0;
    quint32 FBaudRate = 9600;
    quint8 FByteSize = 8;
    quint8 FParity = 0;
    quint8 FStopBits = 0;
    w32::DWORD FReadIntervalTimeout = 60;
    w32::DWORD FReadTotalTimeoutMultiplier = 10;
    w32::DWORD FReadTotalTimeoutConstant = 2;
    w32::DWORD FWriteTotalTimeoutMultiplier = 10;
    w32::DWORD FWriteTotalTimeoutConstant = 2;
    w32::HANDLE FCommHandle = 0;
    std::exception_ptr FStopError;
};
