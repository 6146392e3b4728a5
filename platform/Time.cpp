#include "Time.h"

#include <atomic>
#include <chrono>

namespace w32 {

namespace {
std::atomic<std::int64_t> gOffset{0};

std::int64_t MonotonicMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}
}  // namespace

DWORD GetTickCount() {
    return static_cast<DWORD>(MonotonicMs() + gOffset.load());
}

void SetTickCountForTesting(DWORD now) {
    gOffset.store(static_cast<std::int64_t>(now) - MonotonicMs());
}

void ResetTickCountForTesting() {
    gOffset.store(0);
}

}  // namespace w32
