#pragma once
// Test seam: a port name bound to a scripted device. The device sits on a real
// pseudo-terminal (so data flows as usual) and adds what a pty cannot produce: line
// errors, chosen error codes from a call or a pending operation, short writes.

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "Win32Types.h"

namespace w32 {

class ScriptedDevice {
public:
    enum class Op { Read, Write, WaitCommEvent, ClearCommError };

    // Opens the pty pair; throws std::runtime_error when it cannot.
    ScriptedDevice();
    ~ScriptedDevice();

    // The device's side: bytes written here arrive at the port; the port's writes can be
    // read here.
    int MasterFd() const { return master_; }
    const std::string& SlavePath() const { return slavePath_; }

    // Line errors (CE_ flags) as if the driver had counted them now.
    void RaiseLineErrors(DWORD ceFlags);
    // The next call of that kind fails at once with the code.
    void FailNextCall(Op op, DWORD code);
    // The pending operation of that kind (now, or the next one) completes with the code.
    void FailPending(Op op, DWORD code);
    // Ends the pending comm-event wait (now, or the next one) with exactly this mask.
    void RaiseEvents(DWORD eventMask);
    // While paused the port completes nothing; on Resume everything found completes at once.
    void Pause();
    void Resume();

    // Every write call accepts at most this many bytes (0 = no limit).
    void SetWriteChunkLimit(DWORD bytes);

    // Used by the port.
    void Attach(std::function<void()> wake);
    void Detach();
    DWORD TakeLineErrors();
    bool TakeCallFailure(Op op, DWORD* code);
    bool TakePendingFailure(Op op, DWORD* code);
    DWORD WriteChunkLimit();
    bool TakeForcedEvent(DWORD* eventMask);
    bool Paused();

private:
    std::mutex mutex_;
    int master_ = -1;
    int slaveKeep_ = -1;
    std::string slavePath_;
    DWORD lineErrors_ = 0;
    std::map<Op, DWORD> callFailures_;
    std::map<Op, DWORD> pendingFailures_;
    DWORD chunk_ = 0;
    bool forced_ = false;
    DWORD forcedMask_ = 0;
    bool paused_ = false;
    std::function<void()> wake_;
};

// Binds a port name (as given to CreateFileA) to a scripted device; nullptr unbinds.
void BindScriptedDevice(const std::string& name, std::shared_ptr<ScriptedDevice> device);
std::shared_ptr<ScriptedDevice> FindScriptedDevice(const std::string& name);

}  // namespace w32
