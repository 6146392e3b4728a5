#include "Memory.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "Errors.h"

namespace w32 {

namespace {
std::atomic<long> gOutstanding{0};
std::atomic<int> gFailNext{0};
}  // namespace

HLOCAL LocalAlloc(UINT flags, std::size_t bytes) {
    int pending = gFailNext.load();
    while (pending > 0) {
        if (gFailNext.compare_exchange_weak(pending, pending - 1)) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
    }
    void* block = std::malloc(bytes == 0 ? 1 : bytes);
    if (block == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (flags & LMEM_ZEROINIT) std::memset(block, 0, bytes == 0 ? 1 : bytes);
    ++gOutstanding;
    return block;
}

HLOCAL LocalFree(HLOCAL block) {
    if (block != nullptr) {
        std::free(block);
        --gOutstanding;
    }
    return nullptr;
}

long OutstandingLocalBlocks() {
    return gOutstanding.load();
}

void FailNextLocalAllocs(int count) {
    gFailNext.store(count);
}

}  // namespace w32
