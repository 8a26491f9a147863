#pragma once

// The traffic summary report: at the end of each pass the update checker tells
// the service's events endpoint which outside addresses the firewall blocked on
// which protocols and ports since the previous report. Events come from the
// firewall's event database; local and private traffic is dropped, a random
// sample of at most MaxEvents events is counted per protocol, destination port
// and source, and the counts go out as a small XML document through the raw
// server query (which applies the user's opt-in).

#include <windows.h>
#include <wincrypt.h>

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "store/firewall_settings_records.h"
#include "updater/event_store.h"

namespace tessary {

// REG_DWORD under HKLM "SOFTWARE\Quellon\Tessary": seconds since 1970 of the last report.
inline constexpr wchar_t kLastSubmitValue[] = L"LastSubmit";
// Key container of the cryptographic random source.
inline constexpr wchar_t kEventReporterContainer[] = L"LodanPEventReporter";
// How long a report waits for another report of the process.
inline constexpr DWORD kReportMutexWaitMs = 1000;

// Settings defaults, used when the Settings table was read but lacks the key.
inline constexpr ULONG kDefaultEventsEnabled = 1;
inline constexpr ULONG kDefaultMaxEvents = 500;
inline constexpr ULONG kDefaultSubmitPercent = 20;

// The settings the report uses. `eventsEnabled`: 1 report, 0 skip but advance
// "LastSubmit", anything else do nothing.
struct EventReportSettings {
    ULONG eventsEnabled = 0xFFFFFFFF;
    ULONG maxEvents = 0xFFFFFFFF;
    ULONG submitPercent = 0xFFFFFFFF;
    std::wstring eventsUrl;  // empty: the default events URL
};

// The report settings of a settings record: each unset field (all bits set; for
// the URL a first character 0xFFFF) takes its default; an empty URL stays empty.
EventReportSettings EventSettingsFromRecord(const tagQNTS_FIREWALL_SETTINGS& record);

// The settings as the step reads them: EventSettingsFromRecord of the Settings
// table, or all fields unset (nothing to do) when the table cannot be read.
EventReportSettings ReadEventReportSettings();

// The default events URL: the built-in events endpoint (its origin may be overridden).
std::wstring DefaultEventsUrl();

// True for sources in 10.0.0.0/8, 172.16.0.0/12 and 192.168.0.0/16. `address` is
// in network byte order as stored (first octet in the lowest byte).
bool IsPrivateSource(uint32_t address) noexcept;

// "ICMP", "TCP" or "UDP" for protocols 1, 6 and 17; null for any other.
const wchar_t* ProtocolName(uint8_t protocol) noexcept;

// Sampling: true when an event is selected at `percent` with the uniform draw
// `r` from [0, 1] (R x X + 1, truncated, at most 100, with X = 100 / P x 100).
// A percent of 0 selects nothing; 100 and more drop only when r is 1.
bool SampleSelects(ULONG percent, double r) noexcept;

// Counts per (protocol, destination port) entry and source. Holds at most
// maxEvents - 1 entries of at most maxEvents - 1 sources each, in the order of
// first appearance; an entry whose sources are full is followed by a new entry
// for the same protocol and port. Memory grows with what is stored, not with
// maxEvents.
class TrafficTable {
public:
    explicit TrafficTable(ULONG maxEvents);

    // Counts one event. Returns false when the table had no room for it.
    bool Add(uint32_t source, uint16_t port, uint8_t protocol);

    size_t entryCount() const noexcept { return entries_.size(); }
    // Total of all counts.
    uint64_t eventCount() const noexcept { return events_; }

    // The report document for the interval (start, end): "<Traffic><Time .../>",
    // one <Entry> per entry with a named protocol holding its <Src> elements,
    // "</Traffic>". Ports are written in host byte order, sources dotted.
    // Throws only std::bad_alloc.
    std::wstring Document(uint32_t start, uint32_t end) const;

private:
    struct Source {
        uint32_t address;
        uint32_t count;
    };
    struct Entry {
        uint8_t protocol;
        uint16_t port;
        std::vector<Source> sources;
    };

    uint32_t limit_;  // entries per table and sources per entry
    uint64_t events_ = 0;
    std::vector<Entry> entries_;
    // (protocol, port) -> the newest entry for it; earlier ones are full.
    std::unordered_map<uint32_t, size_t> newestEntry_;
    // (protocol, port, source) -> (entry, source position).
    std::unordered_map<uint64_t, std::pair<size_t, size_t>> sourceAt_;
};

// A uniform draw from [0, 1].
using RandomDraw = std::function<double()>;

// Uniform draws from a cryptographic provider: a 32-bit random value divided by
// 4294967295. Values are fetched from the provider in blocks, so a report over
// many events does not pay one provider call per event. When the provider cannot
// deliver (or is 0), a draw is the runtime's rand() divided by 32767.
class ReporterRandom {
public:
    explicit ReporterRandom(HCRYPTPROV provider) noexcept : provider_(provider) {}
    double Next() noexcept;

private:
    static constexpr size_t kBlock = 256;
    HCRYPTPROV provider_;
    uint32_t values_[kBlock] = {};
    size_t next_ = kBlock;
};

// What one report reads: events with Time in (lastSubmit, end) (no lower bound for
// lastSubmit 0), newest first, selected as the report does (flags with bits 0-2
// all set, private sources and protocols other than 1, 6, 17 skipped; at most
// maxEvents taken; sampled at submitPercent with `random`). Fills *table and
// returns the number of events taken. Throws CSqliteException from the store.
uint64_t CollectTraffic(CInboundEventDataMgr& events, DWORD lastSubmit, DWORD end, ULONG maxEvents, ULONG submitPercent,
                        const RandomDraw& random, TrafficTable* table);

// One report with the process's event database (CLogFileAccess). Returns true when
// there was nothing to report or the document was handed to the sender (whatever
// the sender's outcome); false when the report mutex was not obtained within
// kReportMutexWaitMs, the database failed, or memory ran out.
bool ReportEvents(DWORD lastSubmit, ULONG maxEvents, ULONG submitPercent, const std::wstring& eventsUrl,
                  const RandomDraw& random) noexcept;

// The event-report step of the pass: reads the settings and "LastSubmit", runs the
// report when EventsEnabled is 1 and advances "LastSubmit" to the time before the
// report when it succeeded; with EventsEnabled 0 advances "LastSubmit" to now
// without reporting. Returns the report's result (true for EventsEnabled 0; false
// when the settings could not be read). Never throws.
bool RunEventReport() noexcept;

}  // namespace tessary
