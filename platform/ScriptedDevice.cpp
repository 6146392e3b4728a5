#include "ScriptedDevice.h"

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <stdexcept>

namespace w32 {

namespace {
std::mutex gBindMutex;
std::map<std::string, std::shared_ptr<ScriptedDevice>>& Bindings() {
    static auto* bindings = new std::map<std::string, std::shared_ptr<ScriptedDevice>>;
    return *bindings;
}
}  // namespace

ScriptedDevice::ScriptedDevice() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0)
        throw std::runtime_error("cannot open a pseudo-terminal");
    char name[128];
    if (::ptsname_r(master_, name, sizeof name) != 0)
        throw std::runtime_error("cannot name the pseudo-terminal");
    slavePath_ = name;
    // Keep one slave descriptor so the master never reads EIO between port opens.
    slaveKeep_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios t{};
    if (slaveKeep_ >= 0 && ::tcgetattr(slaveKeep_, &t) == 0) {
        ::cfmakeraw(&t);
        ::tcsetattr(slaveKeep_, TCSANOW, &t);
    }
}

ScriptedDevice::~ScriptedDevice() {
    if (slaveKeep_ >= 0) ::close(slaveKeep_);
    if (master_ >= 0) ::close(master_);
}

void ScriptedDevice::RaiseLineErrors(DWORD ceFlags) {
    std::function<void()> wake;
    {
        std::lock_guard lock(mutex_);
        lineErrors_ |= ceFlags;
        wake = wake_;
    }
    if (wake) wake();
}

void ScriptedDevice::FailNextCall(Op op, DWORD code) {
    std::lock_guard lock(mutex_);
    callFailures_[op] = code;
}

void ScriptedDevice::FailPending(Op op, DWORD code) {
    std::function<void()> wake;
    {
        std::lock_guard lock(mutex_);
        pendingFailures_[op] = code;
        wake = wake_;
    }
    if (wake) wake();
}

void ScriptedDevice::RaiseEvents(DWORD eventMask) {
    std::function<void()> wake;
    {
        std::lock_guard lock(mutex_);
        forced_ = true;
        forcedMask_ = eventMask;
        wake = wake_;
    }
    if (wake) wake();
}

void ScriptedDevice::Pause() {
    std::lock_guard lock(mutex_);
    paused_ = true;
}

void ScriptedDevice::Resume() {
    std::function<void()> wake;
    {
        std::lock_guard lock(mutex_);
        paused_ = false;
        wake = wake_;
    }
    if (wake) wake();
}

bool ScriptedDevice::TakeForcedEvent(DWORD* eventMask) {
    std::lock_guard lock(mutex_);
    if (!forced_) return false;
    forced_ = false;
    *eventMask = forcedMask_;
    return true;
}

bool ScriptedDevice::Paused() {
    std::lock_guard lock(mutex_);
    return paused_;
}

void ScriptedDevice::SetWriteChunkLimit(DWORD bytes) {
    std::lock_guard lock(mutex_);
    chunk_ = bytes;
}

void ScriptedDevice::Attach(std::function<void()> wake) {
    std::lock_guard lock(mutex_);
    wake_ = std::move(wake);
}

void ScriptedDevice::Detach() {
    std::lock_guard lock(mutex_);
    wake_ = nullptr;
}

DWORD ScriptedDevice::TakeLineErrors() {
    std::lock_guard lock(mutex_);
    DWORD e = lineErrors_;
    lineErrors_ = 0;
    return e;
}

bool ScriptedDevice::TakeCallFailure(Op op, DWORD* code) {
    std::lock_guard lock(mutex_);
    auto it = callFailures_.find(op);
    if (it == callFailures_.end()) return false;
    *code = it->second;
    callFailures_.erase(it);
    return true;
}

bool ScriptedDevice::TakePendingFailure(Op op, DWORD* code) {
    std::lock_guard lock(mutex_);
    auto it = pendingFailures_.find(op);
    if (it == pendingFailures_.end()) return false;
    *code = it->second;
    pendingFailures_.erase(it);
    return true;
}

DWORD ScriptedDevice::WriteChunkLimit() {
    std::lock_guard lock(mutex_);
    return chunk_;
}

void BindScriptedDevice(const std::string& name, std::shared_ptr<ScriptedDevice> device) {
    std::lock_guard lock(gBindMutex);
    if (device)
        Bindings()[name] = std::move(device);
    else
        Bindings().erase(name);
}

std::shared_ptr<ScriptedDevice> FindScriptedDevice(const std::string& name) {
    std::lock_guard lock(gBindMutex);
    auto it = Bindings().find(name);
    return it == Bindings().end() ? nullptr : it->second;
}

}  // namespace w32
