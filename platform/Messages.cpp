#include "Messages.h"

#include <QMetaObject>
#include <QObject>
#include <cstdio>
#include <algorithm>
#include <deque>
#include <memory>
#include <unordered_map>

#include "Errors.h"
#include "Internal.h"
#include "MessagesInternal.h"
#include "Threads.h"

namespace w32 {

namespace {

using detail::WaitMutex;

// A thread's queue and the waits (of that thread) that wake on a post.
struct ThreadQueue : std::deque<MSG> {
    std::vector<detail::Waiter*> waiters;
};

// Queues by thread id; guarded by WaitMutex() so that waits can look at them.
std::unordered_map<DWORD, ThreadQueue>& Queues() {
    static auto* queues = new std::unordered_map<DWORD, ThreadQueue>;
    return *queues;
}

std::mutex gHandlerMutex;
ApplicationExceptionHandler gExceptionHandler;

void ReportHandlerException(std::exception_ptr error) {
    ApplicationExceptionHandler handler;
    {
        std::lock_guard lock(gHandlerMutex);
        handler = gExceptionHandler;
    }
    if (handler) {
        handler(error);
        return;
    }
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "Unhandled exception in a window handler: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "Unhandled exception in a window handler\n");
    }
}

struct Window : detail::KernelObject {
    std::mutex mutex;
    bool alive = true;
    DWORD owner = 0;
    TWndMethod handler;
    QObject* receiver = nullptr;  // lives on the owner thread; deleted only once dead
    std::deque<MSG> pending;

    // Runs on the owner thread: hands the oldest pending message to the handler.
    void DeliverOne() {
        MSG msg;
        {
            std::lock_guard lock(mutex);
            if (!alive || pending.empty()) return;
            msg = pending.front();
            pending.pop_front();
        }
        Call(msg);
    }

    LRESULT Call(const MSG& msg) {
        TMessage m{msg.message, msg.wParam, msg.lParam, 0};
        try {
            handler(m);
        } catch (...) {
            ReportHandlerException(std::current_exception());
        }
        return m.Result;
    }
};

}  // namespace

namespace detail {

void CreateThreadQueue(DWORD threadId) {
    std::lock_guard lock(WaitMutex());
    Queues().try_emplace(threadId);
}

void DestroyThreadQueue(DWORD threadId) {
    std::lock_guard lock(WaitMutex());
    Queues().erase(threadId);
}

void AddQueueWaiterLocked(Waiter* waiter) {
    Queues()[GetCurrentThreadId()].waiters.push_back(waiter);
}

void RemoveQueueWaiterLocked(Waiter* waiter) {
    auto it = Queues().find(GetCurrentThreadId());
    if (it == Queues().end()) return;
    auto& list = it->second.waiters;
    list.erase(std::remove(list.begin(), list.end(), waiter), list.end());
}

bool CurrentQueueHasMessagesLocked() {
    auto it = Queues().find(GetCurrentThreadId());
    return it != Queues().end() && !it->second.empty();
}

}  // namespace detail

BOOL PostThreadMessageA(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam) {
    {
        std::lock_guard lock(WaitMutex());
        auto it = Queues().find(threadId);
        if (it == Queues().end()) {
            SetLastError(ERROR_INVALID_THREAD_ID);
            return FALSE;
        }
        it->second.push_back(MSG{0, message, wParam, lParam});
        for (detail::Waiter* w : it->second.waiters) w->cv.notify_one();
    }
    return TRUE;
}

BOOL PeekMessageA(MSG* msg, HWND, UINT, UINT, UINT removeFlags) {
    if (msg == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const DWORD self = GetCurrentThreadId();
    std::lock_guard lock(WaitMutex());
    auto& queue = Queues()[self];  // a thread's first look makes its queue
    if (queue.empty()) return FALSE;
    *msg = queue.front();
    if (removeFlags & PM_REMOVE) queue.pop_front();
    return TRUE;
}

BOOL TranslateMessage(const MSG*) {
    return FALSE;
}

LRESULT DispatchMessageA(const MSG* msg) {
    if (msg == nullptr || msg->hwnd == 0) return 0;
    auto window = detail::LookupAs<Window>(msg->hwnd);
    if (!window || window->owner != GetCurrentThreadId()) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    return window->Call(*msg);
}

DWORD MsgWaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll,
                                DWORD milliseconds, DWORD) {
    if (waitAll) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return WAIT_FAILED;
    }
    {
        std::lock_guard lock(WaitMutex());
        Queues().try_emplace(GetCurrentThreadId());
    }
    return detail::WaitCore(count, handles, milliseconds, true);
}

std::vector<MSG> CloseThreadQueue() {
    std::lock_guard lock(WaitMutex());
    auto it = Queues().find(GetCurrentThreadId());
    if (it == Queues().end()) return {};
    std::vector<MSG> left(it->second.begin(), it->second.end());
    Queues().erase(it);
    return left;
}

HWND AllocateHWnd(TWndMethod handler) {
    auto window = std::make_shared<Window>();
    window->owner = GetCurrentThreadId();
    window->handler = std::move(handler);
    window->receiver = new QObject;
    return detail::Insert(std::move(window));
}

std::vector<MSG> DeallocateHWnd(HWND hwnd) {
    auto window = std::dynamic_pointer_cast<Window>(detail::Lookup(hwnd));
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return {};
    }
    detail::Remove(hwnd);
    std::vector<MSG> left;
    QObject* receiver;
    {
        std::lock_guard lock(window->mutex);
        window->alive = false;
        left.assign(window->pending.begin(), window->pending.end());
        window->pending.clear();
        receiver = window->receiver;
    }
    // Queued deliveries still reach the object; they find the window dead and do nothing.
    if (receiver) receiver->deleteLater();
    return left;
}

BOOL PostMessageA(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    auto window = std::dynamic_pointer_cast<Window>(detail::Lookup(hwnd));
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    std::lock_guard lock(window->mutex);
    if (!window->alive || !window->receiver) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    window->pending.push_back(MSG{hwnd, message, wParam, lParam});
    std::weak_ptr<Window> weak = window;
    QMetaObject::invokeMethod(
        window->receiver,
        [weak] {
            if (auto w = weak.lock()) w->DeliverOne();
        },
        Qt::QueuedConnection);
    return TRUE;
}

void SetApplicationExceptionHandler(ApplicationExceptionHandler handler) {
    std::lock_guard lock(gHandlerMutex);
    gExceptionHandler = std::move(handler);
}

}  // namespace w32
