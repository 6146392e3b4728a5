// nuv-sim's frame parser and bus over any byte stream.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "NuvBus.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    nuvsim::FrameParser parser;
    nuvsim::NuvBus bus({{1, 1, {}}, {2, 6, {}}}, data[0] & 1, 0,
                       {{nuvsim::FaultKind::Garbage, 0.1}, {nuvsim::FaultKind::Split, 0.1}},
                       data[0]);
    std::size_t at = 1, frames = 0, fed = 0;
    while (at < size) {
        const std::size_t piece = 1 + data[at] % 40;
        const std::size_t take = piece < size - at ? piece : size - at;
        for (const DeviceFrame& f : parser.Feed(data + at, take)) {
            if (f[0] != kFrameHeader || f[25] != CheckSum(f)) std::abort();
            ++frames;
            const auto r = bus.Handle(f);
            for (const auto& c : r.chunks)
                if (c.bytes.empty()) std::abort();
        }
        fed += take;
        at += take;
    }
    if (frames * kFrameSize + parser.Skipped() + parser.Buffered() != fed) std::abort();
    return 0;
}
