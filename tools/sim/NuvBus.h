#pragma once
// The device side of the NUV frame protocol: a stream framer and a bus of simulated
// devices with their answers and faults. No I/O here; nuv-sim drives it.

#include <cstdint>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "DeviceFrame.h"

namespace nuvsim {

// Cuts a byte stream into requests the way a device does: a frame starts at 0xAA and
// 26 bytes with a correct checksum make a request; anything else is skipped byte by byte.
class FrameParser {
public:
    // Feeds bytes; answers the requests they complete, in order.
    std::vector<DeviceFrame> Feed(const std::uint8_t* data, std::size_t length);
    std::size_t Buffered() const { return buffer_.size(); }
    // Bytes skipped so far (not part of any request).
    std::size_t Skipped() const { return skipped_; }

private:
    std::vector<std::uint8_t> buffer_;
    std::size_t skipped_ = 0;
};

struct SimDevice {
    int address = 1;
    int type = 1;
    std::optional<int> pendingAddress;  // written, takes effect at the next reset
};

enum class FaultKind { Silent, Late, Split, BadChecksum, WrongAddress, Short, Garbage, Hangup };

struct Fault {
    FaultKind kind;
    double probability = 1.0;
};

std::optional<FaultKind> ParseFaultKind(const std::string& name);
const char* FaultName(FaultKind kind);

// One piece of output: bytes to send `delayMs` after the request was taken.
struct Chunk {
    int delayMs = 0;
    std::vector<std::uint8_t> bytes;
};

// What the bus does with one request.
struct Response {
    std::vector<Chunk> chunks;       // empty: nothing is sent
    std::optional<FaultKind> fault;  // the fault applied, if any
    bool hangup = false;             // close the line
    int repliers = 0;                // devices that answered (more than one collide)
    std::string meaning;             // what the request asked, in words
};

class NuvBus {
public:
    NuvBus(std::vector<SimDevice> devices, bool applyAddressAtOnce, int delayMs,
           std::vector<Fault> faults, std::uint32_t seed);

    Response Handle(const DeviceFrame& request);
    // A reset of every device: written addresses take effect.
    void Reset();
    const std::vector<SimDevice>& Devices() const { return devices_; }

    static constexpr int kLateMs = 2000;
    static constexpr int kSplitGapMs = 150;

private:
    std::optional<DeviceFrame> Answer(SimDevice& device, const DeviceFrame& request);
    std::optional<FaultKind> PickFault();

    std::vector<SimDevice> devices_;
    bool applyAtOnce_;
    int delayMs_;
    std::vector<Fault> faults_;
    std::mt19937 random_;
};

// A request in words, for the log ("Test to 1", "Read address (broadcast)", ...).
std::string Describe(const DeviceFrame& request);

}  // namespace nuvsim
