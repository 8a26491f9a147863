#pragma once

// The deadline of a bounded download, from the exchange's time-outs. Plain
// arithmetic without Windows headers, so the native tests reach it too.

#include <cstdint>

namespace tessary {

// Time-out used for name resolution always, and for the others until settings exist.
inline constexpr uint32_t kDefaultServiceTimeout = 10000;

// Largest time-out a download's deadline counts, and the longest deadline.
inline constexpr uint32_t kMaxDeadlineTimeoutMs = 10 * 60 * 1000;
inline constexpr uint32_t kMaxDownloadDeadlineMs = 30 * 60 * 1000;

// The whole time one download may take, in milliseconds: connect + send +
// 10 * receive (120 s with the default 10 s each), where a time-out of 0 or all
// bits set (no limit) counts as kDefaultServiceTimeout and one above
// kMaxDeadlineTimeoutMs as that; at least 1 s, at most kMaxDownloadDeadlineMs.
uint32_t DownloadDeadlineMs(uint32_t connectMs, uint32_t sendMs, uint32_t receiveMs) noexcept;

}  // namespace tessary
