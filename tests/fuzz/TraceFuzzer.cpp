// Trace line composition with any prefix and any error code.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "CommsLog.h"
#include "Memory.h"
#include "Misc.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool ready = [] {
        SetGlobalCommsLogFileName("/dev/null");
        OpenCommsLog("/dev/null");
        return true;
    }();
    (void)ready;
    if (size < 6) return 0;
    std::uint32_t code;
    std::memcpy(&code, data, 4);
    const std::uint16_t bufferSize = static_cast<std::uint16_t>(data[4] | (data[5] << 8));
    const std::string prefix(reinterpret_cast<const char*>(data + 6), size - 6);

    const long before = w32::OutstandingLocalBlocks();
    ReportCommError(code, prefix.c_str());
    if (w32::OutstandingLocalBlocks() != before) std::abort();

    std::string buffer(bufferSize, '\x7f');
    char* text = FormatLastError(code, bufferSize ? buffer.data() : nullptr, bufferSize);
    if (bufferSize == 0) {
        if (text == nullptr || std::strlen(text) > 1023) std::abort();
        w32::LocalFree(text);
    } else if (text != buffer.data() || std::memchr(buffer.data(), 0, bufferSize) == nullptr) {
        std::abort();
    }
    return 0;
}
