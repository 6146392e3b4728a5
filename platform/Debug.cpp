#include "Debug.h"

#include <syslog.h>

#include <mutex>

namespace w32 {

namespace {
std::mutex gHookMutex;
std::function<void(const char*)> gHook;
}  // namespace

void OutputDebugStringA(LPCSTR text) {
    if (text == nullptr) return;
    syslog(LOG_USER | LOG_DEBUG, "%s", text);
    std::lock_guard lock(gHookMutex);
    if (gHook) gHook(text);
}

void SetDebugOutputHook(std::function<void(const char*)> hook) {
    std::lock_guard lock(gHookMutex);
    gHook = std::move(hook);
}

}  // namespace w32
