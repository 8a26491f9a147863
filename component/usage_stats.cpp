#include "component/usage_stats.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <new>
#include <random>

#include "Logging/log_builder.h"
#include "component/reputation_query.h"
#include "platform/srw_lock.h"
#include "platform/module_thread.h"
#include "platform/registry.h"
#include "store/named_objects.h"
#include "platform/product_registry.h"
#include "store/reader_writer.h"
#include "store/settings.h"

namespace tessary {
namespace {

constexpr wchar_t kSource[] = L"QnTessaryStats";

std::atomic<int32_t> g_statPercent{0};
std::atomic<uint64_t> g_started{0};
std::atomic<uint64_t> g_finished{0};
std::atomic<uint64_t> g_sent{0};

// 0..32767, uniformly.
int DrawSample() {
    static SrwMutex lock;  // trivially destructible (platform/no_destructor.h)
    static std::minstd_rand generator(static_cast<unsigned>(::GetTickCount64() ^ ::GetCurrentProcessId()));
    std::lock_guard<SrwMutex> guard(lock);
    return std::uniform_int_distribution<int>(0, 32767)(generator);
}

class UsageStatisticsJob final : public ThreadJob {
public:
    UsageStatisticsJob(const AppRecord& record, const QueryExtras& extras) : record_(record), extras_(extras) {}

    unsigned Run() noexcept override {
        DWORD submit = 1;
        const bool consentRead =
            registry::ReadProtectedDword(HKEY_LOCAL_MACHINE, keys::kOptin, keys::kOptinSubmit, &submit);
        if (!consentRead || submit != 0) {
            // The answer updates this copy and the record cache, never the caller's record.
            QueryService(record_, extras_);
            ++g_sent;
        }
        ++g_finished;
        return 0;
    }

private:
    AppRecord record_;
    QueryExtras extras_;
};

}  // namespace

bool StatisticsSampleChosen(int32_t percent, int r) noexcept {
    if (percent <= 0) return false;
    const double rangeValue = 100.0 / percent * 100.0;
    const uint32_t range = static_cast<uint32_t>(rangeValue);
    const double x = static_cast<double>(r) / 32767.0 * range + 1.0;
    return static_cast<uint32_t>(x) <= 100;
}

void SubmitUsageStatistics(const AppRecord& record, uint32_t permission, uint32_t product, uint32_t feature,
                           uint32_t address, uint16_t port) noexcept {
    HANDLE statEvent = ProcessObjects().statEvent.get();
    if (statEvent != nullptr && WaitSucceeded(::WaitForSingleObject(statEvent, 0))) {
        g_statPercent.store(ReadStatPercent());
    }
    const int32_t percent = g_statPercent.load();
    if (percent <= 0) return;

    DWORD goNoGo = 0;
    if (!registry::ReadProtectedDword(HKEY_LOCAL_MACHINE, keys::kTessary, keys::kGoNoGo, &goNoGo)) goNoGo = 0;
    if (goNoGo == kGoNoGoNone) return;
    if (goNoGo != kGoNoGoAll && !StatisticsSampleChosen(percent, DrawSample())) return;

    QueryExtras extras;
    extras.includeUsage = true;
    extras.permissionIsOne = permission == 1;
    extras.product = product;
    extras.feature = feature;
    extras.address = address;
    extras.port = port;
    std::unique_ptr<UsageStatisticsJob> job;
    try {
        job = std::make_unique<UsageStatisticsJob>(record, extras);
    } catch (...) {
        TS_LOG_CAUGHT(kSource, L"A usage statistics report");
        return;
    }
    ++g_started;
    // The thread handle is closed at once: nobody waits for a report.
    if (!StartWorkerThread(std::move(job), true)) ++g_finished;
}

UsageStatisticsCounters UsageStatisticsCount() noexcept {
    UsageStatisticsCounters counters;
    counters.finished = g_finished.load();
    counters.started = g_started.load();
    counters.sent = g_sent.load();
    return counters;
}

}  // namespace tessary
