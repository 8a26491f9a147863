#include "transport/download_deadline.h"

namespace tessary {

uint32_t DownloadDeadlineMs(uint32_t connectMs, uint32_t sendMs, uint32_t receiveMs) noexcept {
    auto bounded = [](uint32_t value) -> uint64_t {
        if (value == 0 || value == 0xFFFFFFFFu) return kDefaultServiceTimeout;
        return value < kMaxDeadlineTimeoutMs ? value : kMaxDeadlineTimeoutMs;
    };
    const uint64_t deadline = bounded(connectMs) + bounded(sendMs) + 10 * bounded(receiveMs);
    if (deadline < 1000) return 1000;
    return deadline < kMaxDownloadDeadlineMs ? static_cast<uint32_t>(deadline) : kMaxDownloadDeadlineMs;
}

}  // namespace tessary
