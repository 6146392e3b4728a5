#include "NuvBus.h"

namespace nuvsim {

std::vector<DeviceFrame> FrameParser::Feed(const std::uint8_t* data, std::size_t length) {
    buffer_.insert(buffer_.end(), data, data + length);
    std::vector<DeviceFrame> requests;
    std::size_t start = 0;
    while (buffer_.size() - start >= 1) {
        if (buffer_[start] != kFrameHeader) {
            ++start;
            ++skipped_;
            continue;
        }
        if (buffer_.size() - start < kFrameSize) break;
        DeviceFrame frame;
        std::copy(buffer_.begin() + static_cast<long>(start),
                  buffer_.begin() + static_cast<long>(start + kFrameSize), frame.begin());
        if (frame[25] == CheckSum(frame)) {
            requests.push_back(frame);
            start += kFrameSize;
        } else {
            ++start;
            ++skipped_;
        }
    }
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<long>(start));
    return requests;
}

std::optional<FaultKind> ParseFaultKind(const std::string& name) {
    static const std::pair<const char*, FaultKind> kinds[] = {
        {"silent", FaultKind::Silent},
        {"late", FaultKind::Late},
        {"split", FaultKind::Split},
        {"bad-checksum", FaultKind::BadChecksum},
        {"wrong-address", FaultKind::WrongAddress},
        {"short", FaultKind::Short},
        {"garbage", FaultKind::Garbage},
        {"hangup", FaultKind::Hangup},
    };
    for (const auto& [n, k] : kinds)
        if (name == n) return k;
    return std::nullopt;
}

const char* FaultName(FaultKind kind) {
    switch (kind) {
        case FaultKind::Silent:
            return "silent";
        case FaultKind::Late:
            return "late";
        case FaultKind::Split:
            return "split";
        case FaultKind::BadChecksum:
            return "bad-checksum";
        case FaultKind::WrongAddress:
            return "wrong-address";
        case FaultKind::Short:
            return "short";
        case FaultKind::Garbage:
            return "garbage";
        case FaultKind::Hangup:
            return "hangup";
    }
    return "?";
}

std::string Describe(const DeviceFrame& r) {
    const std::string to =
        r[1] == kBroadcastAddress ? std::string(" (broadcast)") : " to " + std::to_string(r[1]);
    switch (r[2]) {
        case CmdTest:
            return "Test" + to;
        case CmdReadType:
            return "Read type" + to;
        case CmdWriteType:
            return "Write type " + std::to_string(r[5]) + to;
        case CmdReadAddress:
            return "Read address" + to;
        case CmdWriteAddress:
            return "Write address " + std::to_string(r[3]) + to;
        default:
            return "Unknown command " + std::to_string(r[2]) + to;
    }
}

NuvBus::NuvBus(std::vector<SimDevice> devices, bool applyAddressAtOnce, int delayMs,
               std::vector<Fault> faults, std::uint32_t seed)
    : devices_(std::move(devices)),
      applyAtOnce_(applyAddressAtOnce),
      delayMs_(delayMs),
      faults_(std::move(faults)),
      random_(seed) {}

void NuvBus::Reset() {
    for (auto& d : devices_) {
        if (d.pendingAddress) d.address = *d.pendingAddress;
        d.pendingAddress.reset();
    }
}

std::optional<DeviceFrame> NuvBus::Answer(SimDevice& device, const DeviceFrame& request) {
    const std::uint8_t command = request[2];
    const bool addressed = request[1] == device.address;
    const bool broadcastQuery = request[1] == kBroadcastAddress && command == CmdReadAddress;
    if (!addressed && !broadcastQuery) return std::nullopt;
    DeviceFrame reply = request;  // every answer echoes the request's payload
    switch (command) {
        case CmdTest:
            break;
        case CmdReadType:
            reply[3] = 1;
            reply[4] = 1;
            reply[5] = static_cast<std::uint8_t>(device.type);
            break;
        case CmdWriteType:
            if (request[5] >= 1 && request[5] <= kTypeCount) device.type = request[5];
            break;
        case CmdReadAddress:
            break;
        case CmdWriteAddress:
            if (request[3] <= 254) {
                if (applyAtOnce_) {
                    reply[1] = static_cast<std::uint8_t>(device.address);
                    reply[25] = CheckSum(reply);
                    device.address = request[3];
                    return reply;
                }
                device.pendingAddress = request[3];
            }
            break;
        default:
            return std::nullopt;
    }
    reply[0] = kFrameHeader;
    reply[1] = static_cast<std::uint8_t>(device.address);
    reply[25] = CheckSum(reply);
    return reply;
}

std::optional<FaultKind> NuvBus::PickFault() {
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    for (const auto& f : faults_)
        if (f.probability >= 1.0 || chance(random_) < f.probability) return f.kind;
    return std::nullopt;
}

Response NuvBus::Handle(const DeviceFrame& request) {
    Response out;
    out.meaning = Describe(request);
    std::vector<DeviceFrame> replies;
    for (auto& d : devices_)
        if (auto r = Answer(d, request)) replies.push_back(*r);
    out.repliers = static_cast<int>(replies.size());
    if (replies.empty()) return out;

    DeviceFrame reply = replies[0];
    if (replies.size() > 1) {
        // Several drivers on one RS-485 pair: a low bit from any of them wins.
        for (std::size_t i = 1; i < replies.size(); ++i)
            for (std::size_t b = 0; b < kFrameSize; ++b) reply[b] &= replies[i][b];
        if (reply[25] == CheckSum(reply)) reply[25] ^= 0x5A;
    }
    std::vector<std::uint8_t> bytes(reply.begin(), reply.end());
    out.fault = PickFault();
    if (!out.fault) {
        out.chunks.push_back({delayMs_, bytes});
        return out;
    }
    switch (*out.fault) {
        case FaultKind::Silent:
            break;
        case FaultKind::Late:
            out.chunks.push_back({kLateMs, bytes});
            break;
        case FaultKind::Split:
            out.chunks.push_back({delayMs_, {bytes.begin(), bytes.begin() + 13}});
            out.chunks.push_back({delayMs_ + kSplitGapMs, {bytes.begin() + 13, bytes.end()}});
            break;
        case FaultKind::BadChecksum:
            bytes[25] = static_cast<std::uint8_t>(bytes[25] + 1);
            out.chunks.push_back({delayMs_, bytes});
            break;
        case FaultKind::WrongAddress: {
            DeviceFrame other = reply;
            other[1] = static_cast<std::uint8_t>(other[1] + 1);
            other[25] = CheckSum(other);
            out.chunks.push_back({delayMs_, {other.begin(), other.end()}});
            break;
        }
        case FaultKind::Short:
            bytes.pop_back();
            out.chunks.push_back({delayMs_, bytes});
            break;
        case FaultKind::Garbage: {
            std::uniform_int_distribution<int> count(1, 60), value(0, 255);
            std::vector<std::uint8_t> noise(static_cast<std::size_t>(count(random_)));
            for (auto& b : noise) b = static_cast<std::uint8_t>(value(random_));
            if (noise.size() == kFrameSize) noise.push_back(0);  // never a whole frame
            out.chunks.push_back({delayMs_, noise});
            break;
        }
        case FaultKind::Hangup:
            out.hangup = true;
            break;
    }
    return out;
}

}  // namespace nuvsim
