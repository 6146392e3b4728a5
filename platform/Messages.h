#pragma once
// Thread message queues and hidden notification windows.

#include <exception>
#include <functional>
#include <vector>

#include "Win32Types.h"

namespace w32 {

constexpr UINT PM_NOREMOVE = 0x0000;
constexpr UINT PM_REMOVE = 0x0001;
constexpr DWORD QS_ALLINPUT = 0x04FF;

// Queues a message for a thread; fails with ERROR_INVALID_THREAD_ID when the thread has
// no queue (it has ended, or never existed).
BOOL PostThreadMessageA(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam);
// Takes (PM_REMOVE) or looks at the next message of the calling thread's queue.
BOOL PeekMessageA(MSG* msg, HWND window, UINT filterMin, UINT filterMax, UINT removeFlags);
BOOL TranslateMessage(const MSG* msg);
// Runs the handler of the message's window when the calling thread owns it.
LRESULT DispatchMessageA(const MSG* msg);
// Like WaitForMultipleObjects, and answers WAIT_OBJECT_0 + count when the calling thread's
// queue holds a message.
DWORD MsgWaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll,
                                DWORD milliseconds, DWORD wakeMask);
// Closes the calling thread's queue to further posts and answers what it still held.
std::vector<MSG> CloseThreadQueue();

// Handler of a hidden window.
using TWndMethod = std::function<void(TMessage&)>;

// Makes a hidden window owned by the calling thread, which must run a Qt event loop:
// messages posted to it from any thread run the handler there, in order, also inside
// nested loops such as a modal message box.
HWND AllocateHWnd(TWndMethod handler);
// Destroys the window; later posts fail. Answers the messages posted but not yet handled.
std::vector<MSG> DeallocateHWnd(HWND window);
BOOL PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Where an exception thrown by a window handler goes: it must not cross the Qt event
// loop. Without a handler set, its text goes to standard error.
using ApplicationExceptionHandler = std::function<void(std::exception_ptr)>;
void SetApplicationExceptionHandler(ApplicationExceptionHandler handler);

}  // namespace w32
