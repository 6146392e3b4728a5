// Reply acceptance and outcome over any request frame and any received block.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "DeviceFrame.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < kFrameSize + 3) return 0;
    DeviceFrame tx;
    for (std::size_t i = 0; i < kFrameSize; ++i) tx[i] = data[i];
    // A request filled from fuzzed inputs over the fuzzed frame's carried-over bytes.
    const auto op = static_cast<NuvOperation>(data[kFrameSize] % 5);
    DeviceFrame filled = tx;
    FillRequest(filled, op,
                {static_cast<std::int8_t>(data[kFrameSize + 1]) * 3,
                 data[kFrameSize + 2] * 2, static_cast<int>(data[kFrameSize + 2] % 8) - 1});
    if (filled[25] != CheckSum(filled) || filled[0] != kFrameHeader) std::abort();

    const std::uint8_t* block = data + kFrameSize + 3;
    const std::size_t length = size - kFrameSize - 3;
    DeviceFrame rx{};
    if (AcceptReply(block, length, tx, rx)) {
        if (length != kFrameSize || rx[0] != kFrameHeader || rx[25] != CheckSum(rx)) std::abort();
        if (tx[2] != CmdReadAddress && rx[1] != tx[1]) std::abort();
        const ReplyOutcome out = OutcomeFor(tx[2], rx);
        if (out.typeText && out.typeText->empty()) std::abort();
        if (FrameToHex(rx).size() != 78) std::abort();
    }
    return 0;
}
