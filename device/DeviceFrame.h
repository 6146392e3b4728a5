#pragma once
// The NUV device's 26-byte frame protocol: frames, checksum, hex text, type names,
// request filling, reply acceptance and the meaning of an accepted reply.
// Pure functions over plain data; no I/O.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

constexpr std::size_t kFrameSize = 26;
constexpr std::uint8_t kFrameHeader = 0xAA;
constexpr std::uint8_t kBroadcastAddress = 255;

// One request or reply frame: header, address, command, 22 payload bytes, checksum.
using DeviceFrame = std::array<std::uint8_t, kFrameSize>;

// Command codes carried in byte 2 of a request.
enum NuvCommand : std::uint8_t {
    CmdTest = 9,
    CmdReadAddress = 14,
    CmdReadType = 16,
    CmdWriteType = 17,
    CmdWriteAddress = 21,
};

// The five operations the operator can run.
enum class NuvOperation { Test, ReadType, WriteType, ReadAddress, WriteAddress };

constexpr int kTypeCount = 6;

// Sum of bytes 0 to 24, modulo 256.
std::uint8_t CheckSum(const DeviceFrame& frame);

// Each byte as a blank and two upper-case hex digits: 78 characters.
std::string FrameToHex(const DeviceFrame& frame);

// Name of device type code 1 to 6 as shown after a successful Read type.
std::string TypeName(int code);

// The entries of the type list, in code order (entry N is type code N + 1).
const std::array<const char*, kTypeCount>& TypeListEntries();

// Operator inputs that a request is built from.
struct RequestInputs {
    int address = 0;     // the address field's value (A); only its low 8 bits are sent
    int newAddress = 0;  // the new address field's value (N)
    int typeIndex = -1;  // selected entry of the type list, counted from 0; -1 = none
};

// Writes the bytes of the operation into tx (other bytes keep their value), then byte 25.
void FillRequest(DeviceFrame& tx, NuvOperation op, const RequestInputs& in);

// Accepts a received block as the reply to tx. A 26-byte block is copied into rx
// before the remaining tests run.
bool AcceptReply(const std::uint8_t* block, std::size_t length, const DeviceFrame& tx,
                 DeviceFrame& rx);

// What an accepted reply means for the pending command.
struct ReplyOutcome {
    std::optional<std::string> text;      // operator's text; none for an unknown command
    std::optional<std::string> typeText;  // Read type: the text for the type field
    std::optional<int> address;           // Read address: the device's address
    bool failed = false;                  // Read type with an invalid type answer
};

ReplyOutcome OutcomeFor(std::uint8_t pendingCommand, const DeviceFrame& rx);

// The command byte of an operation.
std::uint8_t CommandOf(NuvOperation op);
