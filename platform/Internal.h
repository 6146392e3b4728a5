#pragma once
// Shared internals of the platform layer: the handle table and the wait core.
// Not for use outside platform/.

#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "Win32Types.h"

namespace w32::detail {

// Every object a handle can name.
struct KernelObject {
    virtual ~KernelObject() = default;
    // Called once when the last handle to the object is closed.
    virtual void OnClose() {}
};

// A thread blocked in a wait; whatever it waits on wakes it through its own condition
// variable, so that a signal wakes only the threads that wait for it.
struct Waiter {
    std::condition_variable cv;
};

// An object that WaitFor... can wait on. Its state is guarded by WaitMutex().
struct Waitable : KernelObject {
    bool signalled = false;
    bool manualReset = true;
    std::vector<Waiter*> waiters;
};

// One lock for all waitable state and thread queues.
std::mutex& WaitMutex();

// Handle table.
HANDLE Insert(std::shared_ptr<KernelObject> object);
std::shared_ptr<KernelObject> Lookup(HANDLE h);
template <class T>
std::shared_ptr<T> LookupAs(HANDLE h) {
    return std::dynamic_pointer_cast<T>(Lookup(h));
}
std::shared_ptr<KernelObject> Remove(HANDLE h);

// Sets a waitable object's state and wakes waiters (takes WaitMutex()).
void Signal(Waitable& object);

// Signals several events under one lock, so that a waiter sees them all set at once.
void SignalEvents(const HANDLE* handles, std::size_t count);

// Waits for the lowest signalled of the objects, or for a non-empty queue of the
// calling thread when withQueue is set (answers count then).
DWORD WaitCore(DWORD count, const HANDLE* handles, DWORD milliseconds, bool withQueue);

// True when the calling thread's message queue holds a message. Caller holds WaitMutex().
bool CurrentQueueHasMessagesLocked();
// Registers (or removes) a waiter on the calling thread's queue. Caller holds WaitMutex().
void AddQueueWaiterLocked(Waiter* waiter);
void RemoveQueueWaiterLocked(Waiter* waiter);

}  // namespace w32::detail
