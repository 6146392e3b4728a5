#include "DeviceFrame.h"

namespace {

const std::array<const char*, kTypeCount> kTypeEntries = {
    "6Points(Digital In)", "6Points(Analog In)",   "10Points(Digital In)",
    "10Points(Analog In)", "20Points(Digital In)", "20Points(Analog In)",
};

}  // namespace

std::uint8_t CheckSum(const DeviceFrame& frame) {
    unsigned sum = 0;
    for (std::size_t i = 0; i < kFrameSize - 1; ++i) sum += frame[i];
    return static_cast<std::uint8_t>(sum & 0xFF);
}

std::string FrameToHex(const DeviceFrame& frame) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(kFrameSize * 3);
    for (std::uint8_t b : frame) {
        text += ' ';
        text += digits[b >> 4];
        text += digits[b & 0x0F];
    }
    return text;
}

std::string TypeName(int code) {
    // The type list's entry is the name the device type goes by everywhere.
    if (code < 1 || code > kTypeCount) return {};
    return kTypeEntries[code - 1];
}

const std::array<const char*, kTypeCount>& TypeListEntries() {
    return kTypeEntries;
}

std::uint8_t CommandOf(NuvOperation op) {
    switch (op) {
        case NuvOperation::Test:
            return CmdTest;
        case NuvOperation::ReadType:
            return CmdReadType;
        case NuvOperation::WriteType:
            return CmdWriteType;
        case NuvOperation::ReadAddress:
            return CmdReadAddress;
        case NuvOperation::WriteAddress:
            return CmdWriteAddress;
    }
    return 0;
}

void FillRequest(DeviceFrame& tx, NuvOperation op, const RequestInputs& in) {
    const auto a = static_cast<std::uint8_t>(in.address & 0xFF);
    const auto n = static_cast<std::uint8_t>(in.newAddress & 0xFF);
    const auto t =
        static_cast<std::uint8_t>(in.typeIndex >= 0 && in.typeIndex < 256 ? in.typeIndex + 1 : 0);
    tx[0] = kFrameHeader;
    tx[2] = CommandOf(op);
    switch (op) {
        case NuvOperation::Test:
            tx[1] = a;
            break;
        case NuvOperation::ReadType:
            tx[1] = a;
            tx[23] = 26;
            tx[24] = 0;
            break;
        case NuvOperation::WriteType:
            tx[1] = a;
            tx[3] = 1;
            tx[4] = 1;
            tx[5] = t;
            tx[23] = 26;
            tx[24] = 0;
            break;
        case NuvOperation::ReadAddress:
            tx[1] = kBroadcastAddress;
            tx[5] = t;
            tx[23] = 10;
            tx[24] = 38;
            break;
        case NuvOperation::WriteAddress:
            tx[1] = a;
            tx[3] = n;
            tx[5] = t;
            tx[23] = 10;
            tx[24] = 38;
            break;
    }
    tx[25] = CheckSum(tx);
}

bool AcceptReply(const std::uint8_t* block, std::size_t length, const DeviceFrame& tx,
                 DeviceFrame& rx) {
    if (length != kFrameSize || block == nullptr) return false;
    for (std::size_t i = 0; i < kFrameSize; ++i) rx[i] = block[i];
    if (rx[0] != kFrameHeader) return false;
    if (tx[2] != CmdReadAddress && rx[1] != tx[1]) return false;
    return rx[25] == CheckSum(rx);
}

ReplyOutcome OutcomeFor(std::uint8_t pendingCommand, const DeviceFrame& rx) {
    ReplyOutcome out;
    switch (pendingCommand) {
        case CmdTest:
            out.text = "Ok to test NUV !";
            break;
        case CmdReadType:
            if (rx[3] == 1 && rx[4] == 1 && rx[5] >= 1 && rx[5] <= kTypeCount) {
                out.text = "Ok to read NUV Type!";
                out.typeText = TypeName(rx[5]);
            } else {
                out.text = "Failed to read NUV Type !";
                out.typeText = "Unknown NUV Type !";
                out.failed = true;
            }
            break;
        case CmdWriteType:
            out.text = "Ok to write NUV type!";
            break;
        case CmdReadAddress:
            out.text = "Ok to read NUV Address!";
            out.address = rx[1];
            break;
        case CmdWriteAddress:
            out.text = "Ok to write NUV Address,Please reset NUV device!!";
            break;
        default:
            break;
    }
    return out;
}
