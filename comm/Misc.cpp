#include "Misc.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "Debug.h"
#include "Errors.h"
#include "Memory.h"

using namespace w32;

WORD MakeLanguageId(BYTE primary, BYTE sub) {
    return static_cast<WORD>((static_cast<unsigned>(sub) << 10) + primary);
}

char* FormatLastError(DWORD code, char* buffer, DWORD size) {
    const bool allocating = buffer == nullptr;
    const DWORD flags = allocating ? FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER
                                   : FORMAT_MESSAGE_FROM_SYSTEM;
    char* allocated = nullptr;
    const DWORD n = FormatMessageA(flags, nullptr, code, MakeLanguageId(9, 1),
                                   allocating ? reinterpret_cast<LPSTR>(&allocated) : buffer,
                                   allocating ? 1 : size, nullptr);
    if (n != 0) return allocating ? allocated : buffer;

    const DWORD second = GetLastError();
    const std::string text = "FormatMessage failed on error " + std::to_string(code) +
                             " for the following reason: " + std::to_string(second);
    if (allocating) {
        char* block = static_cast<char*>(LocalAlloc(LPTR, 4096));
        if (block == nullptr) {
            OutputDebugStringA("Out of memory trying to FormatLastError");
            return nullptr;
        }
        const std::size_t keep = std::min<std::size_t>(text.size(), 1023);
        std::memcpy(block, text.data(), keep);
        block[keep] = '\0';
        return block;
    }
    if (size == 0) return buffer;
    const std::size_t keep = std::min<std::size_t>(text.size(), size - 1);
    std::memcpy(buffer, text.data(), keep);
    buffer[keep] = '\0';
    return buffer;
}
