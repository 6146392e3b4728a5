#include "Handles.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <optional>
#include <unordered_map>
#include <vector>

#include "Errors.h"
#include "Internal.h"

namespace w32 {
namespace detail {

namespace {

struct Event : Waitable {};

struct Table {
    std::mutex mutex;
    std::unordered_map<HANDLE, std::shared_ptr<KernelObject>> objects;
    HANDLE next = 0x100;
};

Table& TheTable() {
    static Table* table = new Table;  // lives for the whole process, also during exit
    return *table;
}

}  // namespace

std::mutex& WaitMutex() {
    static std::mutex* m = new std::mutex;
    return *m;
}


HANDLE Insert(std::shared_ptr<KernelObject> object) {
    Table& t = TheTable();
    std::lock_guard lock(t.mutex);
    HANDLE h;
    do {
        h = t.next;
        t.next += 4;
        if (t.next < 0x100 || t.next >= 0xFFFFFF00u) t.next = 0x100;
    } while (t.objects.count(h) != 0);
    t.objects.emplace(h, std::move(object));
    return h;
}

std::shared_ptr<KernelObject> Lookup(HANDLE h) {
    Table& t = TheTable();
    std::lock_guard lock(t.mutex);
    auto it = t.objects.find(h);
    return it == t.objects.end() ? nullptr : it->second;
}

std::shared_ptr<KernelObject> Remove(HANDLE h) {
    Table& t = TheTable();
    std::lock_guard lock(t.mutex);
    auto it = t.objects.find(h);
    if (it == t.objects.end()) return nullptr;
    auto object = std::move(it->second);
    t.objects.erase(it);
    return object;
}

void Signal(Waitable& object) {
    std::lock_guard lock(WaitMutex());
    object.signalled = true;
    for (Waiter* w : object.waiters) w->cv.notify_one();
}

void SignalEvents(const HANDLE* handles, std::size_t count) {
    std::vector<std::shared_ptr<Waitable>> objects;
    for (std::size_t i = 0; i < count; ++i)
        if (auto w = LookupAs<Event>(handles[i])) objects.push_back(std::move(w));
    std::lock_guard lock(WaitMutex());
    for (auto& object : objects) {
        object->signalled = true;
        for (Waiter* w : object->waiters) w->cv.notify_one();
    }
}

DWORD WaitCore(DWORD count, const HANDLE* handles, DWORD milliseconds, bool withQueue) {
    if (count > MAXIMUM_WAIT_OBJECTS || (count > 0 && handles == nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    std::array<std::shared_ptr<Waitable>, MAXIMUM_WAIT_OBJECTS> objects;
    for (DWORD i = 0; i < count; ++i) {
        objects[i] = LookupAs<Waitable>(handles[i]);
        if (!objects[i]) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
    }
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    std::unique_lock lock(WaitMutex());
    const auto ready = [&]() -> std::optional<DWORD> {
        for (DWORD i = 0; i < count; ++i) {
            if (objects[i]->signalled) {
                if (!objects[i]->manualReset) objects[i]->signalled = false;
                return WAIT_OBJECT_0 + i;
            }
        }
        if (withQueue && CurrentQueueHasMessagesLocked()) return WAIT_OBJECT_0 + count;
        return std::nullopt;
    };
    if (auto r = ready()) return *r;
    if (milliseconds == 0) return WAIT_TIMEOUT;

    Waiter self;
    for (DWORD i = 0; i < count; ++i) objects[i]->waiters.push_back(&self);
    if (withQueue) AddQueueWaiterLocked(&self);
    struct Unregister {
        std::array<std::shared_ptr<Waitable>, MAXIMUM_WAIT_OBJECTS>& objects;
        DWORD count;
        bool withQueue;
        Waiter* self;
        ~Unregister() {
            for (DWORD i = 0; i < count; ++i) {
                auto& list = objects[i]->waiters;
                list.erase(std::find(list.begin(), list.end(), self));
            }
            if (withQueue) RemoveQueueWaiterLocked(self);
        }
    } unregister{objects, count, withQueue, &self};

    for (;;) {
        if (milliseconds == INFINITE) {
            self.cv.wait(lock);
        } else if (self.cv.wait_until(lock, deadline) == std::cv_status::timeout) {
            // One last look: the object may have been signalled right at the deadline.
            if (auto r = ready()) return *r;
            return WAIT_TIMEOUT;
        }
        if (auto r = ready()) return *r;
    }
}

}  // namespace detail

using namespace detail;

BOOL CloseHandle(HANDLE h) {
    auto object = Remove(h);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    object->OnClose();
    return TRUE;
}

namespace {
std::atomic<int> gFailEvents{0};
}  // namespace

void FailNextEvents(int count) {
    gFailEvents.store(count);
}

HANDLE CreateEventA(SECURITY_ATTRIBUTES*, BOOL manualReset, BOOL initialState, LPCSTR) {
    int pending = gFailEvents.load();
    while (pending > 0) {
        if (gFailEvents.compare_exchange_weak(pending, pending - 1)) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return 0;
        }
    }
    auto e = std::make_shared<Event>();
    e->manualReset = manualReset != FALSE;
    e->signalled = initialState != FALSE;
    return Insert(std::move(e));
}

BOOL SetEvent(HANDLE h) {
    auto e = LookupAs<Event>(h);
    if (!e) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    Signal(*e);
    return TRUE;
}

BOOL ResetEvent(HANDLE h) {
    auto e = LookupAs<Event>(h);
    if (!e) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard lock(WaitMutex());
    e->signalled = false;
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE h, DWORD milliseconds) {
    return WaitCore(1, &h, milliseconds, false);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
    if (waitAll) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return WAIT_FAILED;
    }
    if (count == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    return WaitCore(count, handles, milliseconds, false);
}

std::size_t OpenHandleCount() {
    Table& t = TheTable();
    std::lock_guard lock(t.mutex);
    return t.objects.size();
}

}  // namespace w32
