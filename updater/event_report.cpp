#include "updater/event_report.h"

#include <objbase.h>
#include <wincrypt.h>

#include <cstdlib>
#include <ctime>
#include <new>

#include "Logging/log_builder.h"
#include "platform/registry.h"
#include "platform/unique_resource.h"
#include "platform/product_registry.h"
#include "store/settings.h"
#include "transport/server_query.h"
#include "transport/service_urls.h"

namespace tessary {
namespace {

constexpr wchar_t kLogSource[] = L"TSUpdChk";
constexpr ULONG kUnset = 0xFFFFFFFF;
constexpr size_t kEventsUrlChars = 255;
constexpr uint8_t kSkippedFlags = 0x7;

namespace detail {
void ReleaseCryptContext(HCRYPTPROV provider) { ::CryptReleaseContext(provider, 0); }
}  // namespace detail
using UniqueCryptProvider = UniqueResource<HCRYPTPROV, detail::ReleaseCryptContext>;

// The key container of the reporter, created on first use.
UniqueCryptProvider AcquireReporterContext() {
    UniqueCryptProvider provider;
    if (::CryptAcquireContextW(provider.put(), kEventReporterContainer, nullptr, PROV_RSA_FULL, 0)) return provider;
    if (::GetLastError() == static_cast<DWORD>(NTE_BAD_KEYSET)) {
        ::CryptAcquireContextW(provider.put(), kEventReporterContainer, nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET);
    }
    return provider;
}

DWORD Now() { return static_cast<DWORD>(std::time(nullptr)); }

uint32_t EntryKey(uint8_t protocol, uint16_t port) { return (uint32_t{protocol} << 16) | port; }

// Decimal digits of `value` appended in place (a report may hold a million numbers;
// no temporary string for each).
void AppendDecimal(std::wstring* out, uint64_t value) {
    wchar_t digits[20];
    size_t count = 0;
    do {
        digits[count++] = static_cast<wchar_t>(L'0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (count > 0) out->push_back(digits[--count]);
}

void AppendDotted(std::wstring* out, uint32_t address) {
    for (int octet = 0; octet < 4; ++octet) {
        if (octet > 0) out->push_back(L'.');
        AppendDecimal(out, (address >> (8 * octet)) & 0xFF);
    }
}

struct Collector {
    ULONG maxEvents;
    ULONG submitPercent;
    const RandomDraw* random;
    TrafficTable* table;
    uint64_t taken;
};

int SelectEvent(CInboundEventItem* item, void* arg) {
    auto* c = static_cast<Collector*>(arg);
    if ((item->flags & kSkippedFlags) == kSkippedFlags) return 0;
    if (IsPrivateSource(item->ipFrom)) return 0;
    if (ProtocolName(item->protocol) == nullptr) return 0;
    if (c->taken >= c->maxEvents) return 0;
    if (!SampleSelects(c->submitPercent, (*c->random)())) return 0;
    if (c->table->Add(item->ipFrom, item->portTo, item->protocol)) ++c->taken;
    return 0;
}

// Holds the report mutex from a successful wait to the end of scope.
class ReportLock {
public:
    explicit ReportLock(HANDLE mutex) : mutex_(mutex) {
        if (mutex_ == nullptr) return;
        DWORD wait = ::WaitForSingleObject(mutex_, kReportMutexWaitMs);
        held_ = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
    }
    ~ReportLock() {
        if (held_) ::ReleaseMutex(mutex_);
    }
    ReportLock(const ReportLock&) = delete;
    ReportLock& operator=(const ReportLock&) = delete;
    bool held() const { return held_; }

private:
    HANDLE mutex_;
    bool held_ = false;
};

}  // namespace

double ReporterRandom::Next() noexcept {
    if (next_ == kBlock) {
        if (provider_ == 0 || !::CryptGenRandom(provider_, sizeof(values_), reinterpret_cast<BYTE*>(values_))) {
            return std::rand() / 32767.0;
        }
        next_ = 0;
    }
    return values_[next_++] / 4294967295.0;
}

EventReportSettings EventSettingsFromRecord(const tagQNTS_FIREWALL_SETTINGS& record) {
    EventReportSettings settings;
    settings.eventsEnabled = record.pdwEventsEnabled == kUnset ? kDefaultEventsEnabled : record.pdwEventsEnabled;
    settings.maxEvents = record.pdwMaxEvents == kUnset ? kDefaultMaxEvents : record.pdwMaxEvents;
    settings.submitPercent = record.pdwSubmitPercent == kUnset ? kDefaultSubmitPercent : record.pdwSubmitPercent;
    if (record.pwszEventsURL[0] != 0xFFFF) {
        // The field holds up to 255 characters, without a terminator at full width.
        size_t length = 0;
        while (length < kEventsUrlChars && record.pwszEventsURL[length] != 0) ++length;
        settings.eventsUrl.assign(reinterpret_cast<const wchar_t*>(record.pwszEventsURL), length);
    }
    return settings;
}

EventReportSettings ReadEventReportSettings() {
    tagQNTS_FIREWALL_SETTINGS record;
    if (!ReadServiceSettings(&record)) return EventReportSettings{};
    return EventSettingsFromRecord(record);
}

std::wstring DefaultEventsUrl() { return BuiltInUrl(ServiceEndpoint::kEvents); }

bool IsPrivateSource(uint32_t address) noexcept {
    const uint32_t first = address & 0xFF;
    const uint32_t second = (address >> 8) & 0xFF;
    return first == 10 || (first == 172 && (second & 0xF0) == 16) || (first == 192 && second == 168);
}

const wchar_t* ProtocolName(uint8_t protocol) noexcept {
    switch (protocol) {
        case 1:
            return L"ICMP";
        case 6:
            return L"TCP";
        case 17:
            return L"UDP";
        default:
            return nullptr;
    }
}

bool SampleSelects(ULONG percent, double r) noexcept {
    if (percent == 0) return false;
    const double scale = 100.0 / percent * 100.0;
    const auto x = static_cast<uint32_t>(static_cast<int64_t>(scale));
    return static_cast<int64_t>(r * x + 1) <= 100;
}

// TrafficTable

TrafficTable::TrafficTable(ULONG maxEvents) : limit_(maxEvents > 0 ? maxEvents - 1 : 0) {}

bool TrafficTable::Add(uint32_t source, uint16_t port, uint8_t protocol) {
    const uint32_t key = EntryKey(protocol, port);
    const uint64_t sourceKey = (uint64_t{key} << 32) | source;
    if (auto found = sourceAt_.find(sourceKey); found != sourceAt_.end()) {
        ++entries_[found->second.first].sources[found->second.second].count;
        ++events_;
        return true;
    }
    // A source is listed at most once per protocol and port: earlier entries of the
    // same key are full, so only the newest one can take a new source.
    size_t entryIndex = entries_.size();
    if (auto newest = newestEntry_.find(key);
        newest != newestEntry_.end() && entries_[newest->second].sources.size() < limit_) {
        entryIndex = newest->second;
    } else {
        if (entries_.size() >= limit_) return false;
        entries_.push_back(Entry{protocol, port, {}});
        newestEntry_[key] = entryIndex;
    }
    Entry& entry = entries_[entryIndex];
    entry.sources.push_back(Source{source, 1});
    sourceAt_.emplace(sourceKey, std::make_pair(entryIndex, entry.sources.size() - 1));
    ++events_;
    return true;
}

std::wstring TrafficTable::Document(uint32_t start, uint32_t end) const {
    std::wstring doc;
    doc.reserve(64 + entries_.size() * 48 + sourceAt_.size() * 40);
    doc += L"<Traffic><Time start=\"";
    doc += std::to_wstring(start);
    doc += L"\" end=\"";
    doc += std::to_wstring(end);
    doc += L"\"/>";
    for (const Entry& entry : entries_) {
        const wchar_t* name = ProtocolName(entry.protocol);
        if (name == nullptr) continue;
        doc += L"<Entry prot=\"";
        doc += name;
        doc += L"\" port=\"";
        // Stored in network byte order.
        AppendDecimal(&doc, static_cast<uint16_t>((entry.port >> 8) | (entry.port << 8)));
        doc += L"\">";
        for (const Source& source : entry.sources) {
            doc += L"<Src ip=\"";
            AppendDotted(&doc, source.address);
            doc += L"\" count=\"";
            AppendDecimal(&doc, source.count);
            doc += L"\"/>";
        }
        doc += L"</Entry>";
    }
    doc += L"</Traffic>";
    return doc;
}

uint64_t CollectTraffic(CInboundEventDataMgr& events, DWORD lastSubmit, DWORD end, ULONG maxEvents, ULONG submitPercent,
                        const RandomDraw& random, TrafficTable* table) {
    Collector collector{maxEvents, submitPercent, &random, table, 0};
    events.Enumerate(SelectEvent, static_cast<int32_t>(lastSubmit), static_cast<int32_t>(end), 0, 0, false, &collector);
    return collector.taken;
}

bool ReportEvents(DWORD lastSubmit, ULONG maxEvents, ULONG submitPercent, const std::wstring& eventsUrl,
                  const RandomDraw& random) noexcept {
    try {
        CLogFileAccess& access = CLogFileAccess::Instance();
        ReportLock lock(access.mutex());
        if (!lock.held()) {
            TS_LOG(ETWLogging::kSeverityWarning, kLogSource, L"another traffic report is running");
            return false;
        }
        CInboundEventDataMgr& events = access.DataMgr();
        const DWORD end = Now();
        TrafficTable table(maxEvents);
        if (CollectTraffic(events, lastSubmit, end, maxEvents, submitPercent, random, &table) == 0) return true;

        const std::wstring document = table.Document(lastSubmit, end);
        const std::wstring url = eventsUrl.empty() ? DefaultEventsUrl() : eventsUrl;
        USHORT* response = nullptr;
        LONG responseLength = 0;
        LONG result = 0;
        HRESULT hr = TessaryQuery(url.c_str(), document.c_str(), &response, &responseLength, &result);
        const UniqueTaskMemory responseOwner(response);
        TS_LOG(ETWLogging::kSeverityInformation, kLogSource, L"traffic report of %zu entries sent: 0x%08lX, %ld",
               table.entryCount(), static_cast<unsigned long>(hr), static_cast<long>(result));
        return true;
    } catch (const CSqliteException& e) {
        TS_LOG(ETWLogging::kSeverityError, kLogSource, L"event database failed (%d): %ls", e.Code(),
               e.Message().c_str());
        return false;
    } catch (const std::bad_alloc&) {
        TS_LOG(ETWLogging::kSeverityError, kLogSource, L"out of memory building the traffic report");
        return false;
    } catch (...) {
        TS_LOG_CAUGHT(kLogSource, L"The traffic report");
        return false;
    }
}

bool RunEventReport() noexcept {
    try {
        UniqueCryptProvider provider = AcquireReporterContext();
        ReporterRandom random(provider.get());
        const EventReportSettings settings = ReadEventReportSettings();
        DWORD lastSubmit = 0;
        registry::ReadDword(HKEY_LOCAL_MACHINE, keys::kTessary, kLastSubmitValue, &lastSubmit);

        if (settings.eventsEnabled == 1) {
            const DWORD passTime = Now();
            const bool reported = ReportEvents(lastSubmit, settings.maxEvents, settings.submitPercent,
                                               settings.eventsUrl, [&random] { return random.Next(); });
            if (reported) registry::WriteDword(HKEY_LOCAL_MACHINE, keys::kTessary, kLastSubmitValue, passTime);
            return reported;
        }
        if (settings.eventsEnabled == 0) {
            registry::WriteDword(HKEY_LOCAL_MACHINE, keys::kTessary, kLastSubmitValue, Now());
            return true;
        }
        return false;
    } catch (...) {
        TS_LOG_CAUGHT(kLogSource, L"The traffic report");
        return false;
    }
}

}  // namespace tessary
