#include "Threads.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <exception>
#include <memory>
#include <system_error>

#include "Debug.h"
#include "Errors.h"
#include "Handles.h"
#include "Internal.h"
#include "MessagesInternal.h"

namespace w32 {

namespace {

std::atomic<DWORD> gNextThreadId{1000};
std::atomic<int> gFailThreads{0};
std::atomic<int> gSkipThreads{0};
thread_local DWORD tThreadId = 0;

struct ThreadObject : detail::Waitable {};

int NiceFor(TThreadPriority p) {
    switch (p) {
        case tpIdle:
            return 19;
        case tpLowest:
            return 2;
        case tpLower:
            return 1;
        case tpNormal:
            return 0;
        case tpHigher:
            return -1;
        case tpHighest:
            return -2;
        case tpTimeCritical:
            return -15;
    }
    return 0;
}

}  // namespace

void FailNextThreadCreations(int count, int skip) {
    gSkipThreads.store(skip);
    gFailThreads.store(count);
}

DWORD GetCurrentThreadId() {
    if (tThreadId == 0) tThreadId = gNextThreadId++;
    return tThreadId;
}

TThread::TThread() : id_(gNextThreadId++) {
    int skip = gSkipThreads.load();
    bool skipped = false;
    while (skip > 0 && !skipped) skipped = gSkipThreads.compare_exchange_weak(skip, skip - 1);
    int pending = skipped ? 0 : gFailThreads.load();
    while (pending > 0) {
        if (gFailThreads.compare_exchange_weak(pending, pending - 1)) {
            SetLastError(ERROR_NO_SYSTEM_RESOURCES);
            throw std::system_error(
                std::make_error_code(std::errc::resource_unavailable_try_again));
        }
    }
    auto object = std::make_shared<ThreadObject>();
    object->manualReset = true;
    detail::CreateThreadQueue(id_);
    handle_ = detail::Insert(std::move(object));
    try {
        thread_ = std::thread([this] { Run(); });
    } catch (...) {
        SetLastError(ERROR_NO_SYSTEM_RESOURCES);
        detail::DestroyThreadQueue(id_);
        CloseHandle(handle_);
        throw;
    }
}

TThread::~TThread() {
    WaitFor();
    CloseHandle(handle_);
}

void TThread::WaitFor() {
    {
        std::lock_guard lock(mutex_);
        if (!started_) cancelled_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void TThread::Run() {
    tThreadId = id_;
    {
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [this] { return started_ || cancelled_; });
        kernelTid_ = static_cast<int>(::syscall(SYS_gettid));
        if (started_) ApplyPriorityLocked();
    }
    bool run;
    {
        std::lock_guard lock(mutex_);
        run = started_ && !cancelled_;
    }
    if (run) {
        try {
            Execute();
        } catch (const std::exception& e) {
            std::lock_guard lock(mutex_);
            fatal_ = e.what();
        } catch (...) {
            std::lock_guard lock(mutex_);
            fatal_ = "unknown exception";
        }
    }
    detail::DestroyThreadQueue(id_);
    {
        std::lock_guard lock(mutex_);
        finished_ = true;
    }
    if (auto object = detail::LookupAs<ThreadObject>(handle_)) detail::Signal(*object);
}

void TThread::Resume() {
    {
        std::lock_guard lock(mutex_);
        if (cancelled_) return;
        started_ = true;
    }
    cv_.notify_all();
}

void TThread::Terminate() {
    std::lock_guard lock(mutex_);
    terminated_ = true;
}

bool TThread::Terminated() const {
    std::lock_guard lock(mutex_);
    return terminated_;
}

void TThread::SetPriority(TThreadPriority priority) {
    std::lock_guard lock(mutex_);
    priority_ = priority;
    if (kernelTid_ != 0 && !finished_) ApplyPriorityLocked();
}

void TThread::ApplyPriorityLocked() {
    // Linux keeps a nice value per thread; raising it needs privileges, so failure is fine.
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(kernelTid_), NiceFor(priority_));
}

TThreadPriority TThread::Priority() const {
    std::lock_guard lock(mutex_);
    return priority_;
}

bool TThread::Finished() const {
    std::lock_guard lock(mutex_);
    return finished_;
}

std::string TThread::FatalException() const {
    std::lock_guard lock(mutex_);
    return fatal_;
}

}  // namespace w32
