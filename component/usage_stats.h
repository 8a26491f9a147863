#pragma once

// Usage statistics: a user's decision about an application the reputation service
// does not know, reported to the service as a reputation query with the decision,
// product, feature and (where allowed) destination, by a background thread, for a
// sampled share of the decisions.

#include <windows.h>

#include <cstdint>

#include "store/app_record.h"

namespace tessary {

// "GoNoGo" 1 reports every decision, 2 none; anything else samples (0 is
// written for that).
inline constexpr DWORD kGoNoGoAll = 1;
inline constexpr DWORD kGoNoGoNone = 2;
inline constexpr DWORD kGoNoGoSample = 0;

// True when a draw `r` (0..32767) picks a decision at `percent` percent:
// range = trunc(100.0 / percent * 100.0) as an unsigned 32-bit number, and the
// decision goes when trunc(r / 32767.0 * range + 1.0) <= 100. A percentage of 0 or
// less never picks. Portable.
bool StatisticsSampleChosen(int32_t percent, int r) noexcept;

// Reports the decision unless the statistics percentage (re-read while the
// process's statistics event is signaled, else the one last read) is 0 or less, or
// "GoNoGo" forbids it, or the sample does not pick it. A chosen decision gets its
// own thread (module held, not waited for) with a copy of `record`; that thread
// sends nothing when the opt-in "Submit" reads 0, else queries the service with
// the usage data (address and port only when not 0). Failures are silent.
void SubmitUsageStatistics(const AppRecord& record, uint32_t permission, uint32_t product, uint32_t feature,
                           uint32_t address, uint16_t port) noexcept;

// Diagnostics: statistics threads started, and those that have finished (sent or not).
struct UsageStatisticsCounters {
    uint64_t started = 0;
    uint64_t finished = 0;
    uint64_t sent = 0;
};
UsageStatisticsCounters UsageStatisticsCount() noexcept;

}  // namespace tessary
