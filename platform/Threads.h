#pragma once
// Threads: the thread identifier and the TThread base class.

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "Win32Types.h"

namespace w32 {

// Test hook: after `skip` more TThread constructions succeed, the next `count` throw
// std::system_error.
void FailNextThreadCreations(int count, int skip = 0);

// Identifier of the calling thread (ours, not the kernel's).
DWORD GetCurrentThreadId();

enum TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

// A thread object: created suspended, started by Resume, runs Execute once.
// Its message queue exists from construction, so a post right after Resume is never
// refused; the queue goes when Execute has returned. Destroying the object waits for the
// thread; a derived class whose Execute uses its own members calls WaitFor in its
// destructor. An exception that escapes Execute ends only the thread.
class TThread {
public:
    TThread();
    virtual ~TThread();
    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;

    void Resume();
    // Sets the terminate request; Execute decides whether to look at it.
    void Terminate();
    bool Terminated() const;
    // Best effort: an unprivileged process may not raise it, which is not an error.
    void SetPriority(TThreadPriority priority);
    TThreadPriority Priority() const;
    DWORD ThreadID() const { return id_; }
    // Waitable; signalled when the thread has ended.
    HANDLE Handle() const { return handle_; }
    bool Finished() const;
    // Waits until the thread has ended (runs it to completion if never resumed: not at all).
    void WaitFor();
    // Text of an exception that escaped Execute; empty when none did.
    std::string FatalException() const;

protected:
    virtual void Execute() = 0;

private:
    void Run();
    void ApplyPriorityLocked();

    mutable std::mutex mutex_;
    std::condition_variable cv_;
    bool started_ = false;
    bool cancelled_ = false;
    bool finished_ = false;
    bool terminated_ = false;
    int kernelTid_ = 0;
    TThreadPriority priority_ = tpNormal;
    std::string fatal_;
    DWORD id_ = 0;
    HANDLE handle_ = 0;
    std::thread thread_;
};

}  // namespace w32
