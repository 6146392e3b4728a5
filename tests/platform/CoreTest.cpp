#include <gtest/gtest.h>

#include <QEventLoop>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "ErrorCapture.h"
#include "EventLoop.h"
#include "Win32.h"

using namespace w32;

namespace {

struct EventGuard {
    HANDLE h;
    explicit EventGuard(BOOL manual, BOOL initial)
        : h(CreateEventA(nullptr, manual, initial, nullptr)) {}
    ~EventGuard() { CloseHandle(h); }
};

TEST(Waits, LowestSignalledIndexWins) {
    EventGuard a(TRUE, FALSE), b(TRUE, TRUE), c(TRUE, TRUE);
    HANDLE handles[] = {a.h, b.h, c.h};
    EXPECT_EQ(WaitForMultipleObjects(3, handles, FALSE, 0), WAIT_OBJECT_0 + 1);
    SetEvent(a.h);
    EXPECT_EQ(WaitForMultipleObjects(3, handles, FALSE, INFINITE), WAIT_OBJECT_0);
}

TEST(Waits, ManualResetStaysSetAutoResetClearsOnce) {
    EventGuard manual(TRUE, TRUE), automatic(FALSE, TRUE);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(WaitForSingleObject(manual.h, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(automatic.h, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(automatic.h, 0), WAIT_TIMEOUT);
    ResetEvent(manual.h);
    EXPECT_EQ(WaitForSingleObject(manual.h, 0), WAIT_TIMEOUT);
}

TEST(Waits, FiniteTimeoutAndWakeFromAnotherThread) {
    EventGuard e(TRUE, FALSE);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForSingleObject(e.h, 50), WAIT_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(45));
    std::thread setter([&] { SetEvent(e.h); });
    EXPECT_EQ(WaitForSingleObject(e.h, INFINITE), WAIT_OBJECT_0);
    setter.join();
}

TEST(Waits, ClosedOrUnknownHandleFails) {
    HANDLE h = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(h, 0u);
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(CloseHandle(h));
    EXPECT_FALSE(SetEvent(12345));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

class LambdaThread : public TThread {
public:
    explicit LambdaThread(std::function<void()> body) : body_(std::move(body)) {}
    ~LambdaThread() override { WaitFor(); }

protected:
    void Execute() override { body_(); }

private:
    std::function<void()> body_;
};

TEST(Threads, HandleSignalledWhenExecuteReturns) {
    EventGuard release(TRUE, FALSE);
    LambdaThread t([&] { WaitForSingleObject(release.h, INFINITE); });
    EXPECT_EQ(WaitForSingleObject(t.Handle(), 0), WAIT_TIMEOUT);
    t.Resume();
    EXPECT_EQ(WaitForSingleObject(t.Handle(), 20), WAIT_TIMEOUT);
    SetEvent(release.h);
    EXPECT_EQ(WaitForSingleObject(t.Handle(), 10000), WAIT_OBJECT_0);
    EXPECT_TRUE(t.Finished());
}

TEST(Threads, ExceptionFromExecuteEndsOnlyTheThread) {
    LambdaThread t([] { throw std::runtime_error("worker failed"); });
    t.Resume();
    ASSERT_EQ(WaitForSingleObject(t.Handle(), 10000), WAIT_OBJECT_0);
    EXPECT_EQ(t.FatalException(), "worker failed");
}

TEST(Threads, DestroyingWaitsForTheThreadAndANeverResumedOneRunsNothing) {
    std::atomic<bool> done{false}, ran{false};
    {
        LambdaThread t([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            done = true;
        });
        t.Resume();
    }
    EXPECT_TRUE(done);
    {
        LambdaThread never([&] { ran = true; });
    }
    EXPECT_FALSE(ran);
}

TEST(Threads, PriorityIsBestEffortAndTerminateIsAFlag) {
    LambdaThread t([] {});
    t.Resume();
    t.SetPriority(tpHighest);
    EXPECT_EQ(t.Priority(), tpHighest);
    EXPECT_FALSE(t.Terminated());
    t.Terminate();
    EXPECT_TRUE(t.Terminated());
}

TEST(ThreadQueues, QueueExistsBeforeResumeAndGoesWithTheThread) {
    EventGuard go(TRUE, FALSE);
    std::vector<UINT> seen;
    LambdaThread t([&] {
        MSG msg;
        while (PeekMessageA(&msg, 0, 0, 0, PM_REMOVE)) seen.push_back(msg.message);
    });
    ASSERT_TRUE(PostThreadMessageA(t.ThreadID(), WM_USER + 1, 26, 0));
    ASSERT_TRUE(PostThreadMessageA(t.ThreadID(), WM_USER + 7, 0, 0));
    t.Resume();
    ASSERT_EQ(WaitForSingleObject(t.Handle(), 10000), WAIT_OBJECT_0);
    EXPECT_EQ(seen, (std::vector<UINT>{WM_USER + 1, WM_USER + 7}));
    EXPECT_FALSE(PostThreadMessageA(t.ThreadID(), WM_USER + 1, 0, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_THREAD_ID);
}

TEST(ThreadQueues, MsgWaitWakesOnAPostAndOnItsEvent) {
    EventGuard stop(TRUE, FALSE);
    std::atomic<DWORD> first{0}, second{0};
    EventGuard ready(TRUE, FALSE);
    LambdaThread t([&] {
        SetEvent(ready.h);
        first = MsgWaitForMultipleObjects(1, &stop.h, FALSE, INFINITE, QS_ALLINPUT);
        MSG msg;
        PeekMessageA(&msg, 0, 0, 0, PM_REMOVE);
        second = MsgWaitForMultipleObjects(1, &stop.h, FALSE, INFINITE, QS_ALLINPUT);
    });
    t.Resume();
    WaitForSingleObject(ready.h, INFINITE);
    PostThreadMessageA(t.ThreadID(), WM_USER, 0, 0);
    // The worker answers the post with 1; the stop event then wakes it with 0.
    while (first.load() == 0 && !t.Finished()) std::this_thread::yield();
    SetEvent(stop.h);
    ASSERT_EQ(WaitForSingleObject(t.Handle(), 10000), WAIT_OBJECT_0);
    EXPECT_EQ(first.load(), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(second.load(), WAIT_OBJECT_0);
}

TEST(Windows, PostFromAWorkerRunsTheHandlerOnTheOwnerThread) {
    const DWORD self = GetCurrentThreadId();
    std::vector<std::pair<UINT, WPARAM>> got;
    DWORD handlerThread = 0;
    HWND wnd = AllocateHWnd([&](TMessage& m) {
        handlerThread = GetCurrentThreadId();
        got.emplace_back(m.Msg, m.WParam);
    });
    LambdaThread t([&] {
        for (WPARAM i = 0; i < 5; ++i) PostMessageA(wnd, WM_USER + 1, i, 0);
    });
    t.Resume();
    ASSERT_TRUE(PumpUntil([&] { return got.size() == 5; }));
    EXPECT_EQ(handlerThread, self);
    for (WPARAM i = 0; i < 5; ++i) EXPECT_EQ(got[i].second, i);
    EXPECT_TRUE(DeallocateHWnd(wnd).empty());
}

TEST(Windows, HandlerRunsInsideANestedLoop) {
    int handled = 0;
    HWND wnd = AllocateHWnd([&](TMessage&) { ++handled; });
    QEventLoop nested;
    QTimer::singleShot(0, [&] {
        std::thread poster([&] { PostMessageA(wnd, WM_USER + 2, 0, 0); });
        poster.join();
    });
    QTimer watcher;
    QObject::connect(&watcher, &QTimer::timeout, [&] {
        if (handled > 0) nested.quit();
    });
    watcher.start(1);
    QTimer::singleShot(10000, &nested, &QEventLoop::quit);
    nested.exec();
    EXPECT_EQ(handled, 1);
    DeallocateHWnd(wnd);
}

TEST(Windows, PostToADeallocatedWindowFailsAndUndeliveredMessagesAreReturned) {
    int handled = 0;
    HWND wnd = AllocateHWnd([&](TMessage&) { ++handled; });
    ASSERT_TRUE(PostMessageA(wnd, WM_USER + 1, 3, 0));
    auto left = DeallocateHWnd(wnd);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].wParam, 3u);
    EXPECT_FALSE(PostMessageA(wnd, WM_USER + 1, 0, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    PumpUntil([] { return false; }, 50);
    EXPECT_EQ(handled, 0);
}

TEST(Windows, ExceptionFromAHandlerGoesToTheApplicationHandler) {
    ErrorCapture errors;
    const std::string& reported = errors.text;
    int after = 0;
    HWND wnd = AllocateHWnd([&](TMessage& m) {
        if (m.Msg == WM_USER) throw std::runtime_error("handler failed");
        ++after;
    });
    PostMessageA(wnd, WM_USER, 0, 0);
    PostMessageA(wnd, WM_USER + 1, 0, 0);
    ASSERT_TRUE(PumpUntil([&] { return after == 1; }));
    EXPECT_EQ(reported, "handler failed");
    DeallocateHWnd(wnd);
}

TEST(SystemText, FormatMessageInBothModes) {
    char* text = nullptr;
    DWORD n =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr,
                       ERROR_ACCESS_DENIED, 0x0409, reinterpret_cast<LPSTR>(&text), 1, nullptr);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "Access is denied.\r\n");
    EXPECT_EQ(n, std::strlen(text));
    LocalFree(text);

    char buffer[256];
    n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_DEVICE_NOT_CONNECTED, 0x0409,
                       buffer, sizeof buffer, nullptr);
    EXPECT_STREQ(buffer, "The device is not connected.\r\n");

    char small[8];
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_ACCESS_DENIED, 0, small,
                             sizeof small, nullptr),
              0u);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);

    text = nullptr;
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr,
                             424242, 0x0409, reinterpret_cast<LPSTR>(&text), 1, nullptr),
              0u);
    EXPECT_EQ(GetLastError(), ERROR_MR_MID_NOT_FOUND);
    EXPECT_EQ(text, nullptr);
}

TEST(SystemText, EveryMappedErrnoHasAText) {
    for (int e = 0; e < 134; ++e) {
        char buffer[512];
        const DWORD code = ErrorFromErrno(e);
        EXPECT_GT(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, 0, buffer,
                                 sizeof buffer, nullptr),
                  0u)
            << "errno " << e << " -> " << code;
    }
}

TEST(Memory, ZeroFilledBlocksAreCounted) {
    const long before = OutstandingLocalBlocks();
    auto* block = static_cast<unsigned char*>(LocalAlloc(LMEM_ZEROINIT, 300));
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 300; ++i) ASSERT_EQ(block[i], 0);
    EXPECT_EQ(OutstandingLocalBlocks(), before + 1);
    EXPECT_EQ(LocalFree(block), nullptr);
    EXPECT_EQ(OutstandingLocalBlocks(), before);
    FailNextLocalAllocs(1);
    EXPECT_EQ(LocalAlloc(LPTR, 10), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
}

TEST(Time, TickCountWrapsAt32Bits) {
    SetTickCountForTesting(0xFFFFFFFFu - 20);
    const DWORD before = GetTickCount();
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    const DWORD after = GetTickCount();
    ResetTickCountForTesting();
    EXPECT_LT(after, before) << "the counter wrapped";
    EXPECT_GE(static_cast<DWORD>(after - before), 35u);
}

TEST(Debug, OutputReachesTheHook) {
    std::string seen;
    SetDebugOutputHook([&](const char* t) { seen = t; });
    OutputDebugStringA("Time to Exit");
    SetDebugOutputHook(nullptr);
    EXPECT_EQ(seen, "Time to Exit");
}

}  // namespace
