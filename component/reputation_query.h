#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "store/app_record.h"

namespace tessary {

// The usage-data group a query may carry (a user's decision about an unknown
// application) and the destination it concerned.
struct QueryExtras {
    bool includeUsage = false;     // adds [stat], [prod], [feat]
    bool permissionIsOne = false;  // [stat]=1 when set, else [stat]=0
    uint32_t product = 0;
    uint32_t feature = 0;
    uint32_t address = 0;  // destination; [ip] and [port] only when not 0
    uint16_t port = 0;
};

// The process-wide parts of every request.
struct QueryEnvironment {
    std::string tsid;       // "%04X%04X%04X%04X", or empty
    std::string osText;     // "Windows NT 10.0 (19045) ..."; at most 259 characters
    std::string buildText;  // "18900"
};

// Build number sent as [build].
inline constexpr int kBuildNumber = 18900;

// The request text: "[exe]=...||[size]=...||[hash]=...||[path]=...||..." with the
// record's values inserted unchanged (no escaping), [size] as a signed 32-bit
// number, [lang]=en, then the usage and destination groups. Portable.
std::string BuildRequestText(const AppRecord& record, const QueryEnvironment& env, const QueryExtras& extras);

// The zero-filled request buffer: the request text at its start, length a
// multiple of 8 sized from the record's field lengths with room to spare, and
// never shorter than the text plus one zero byte. Portable.
std::vector<uint8_t> BuildRequestBuffer(const AppRecord& record, const QueryEnvironment& env,
                                        const QueryExtras& extras);

// The [os] text of this machine from GetVersionExW, cut to 259 characters.
std::string OsVersionText();

// The environment of this process's requests ([tsid] stays empty: the component
// server never loads the installation identifier).
const QueryEnvironment& ProcessQueryEnvironment();

// Asks the reputation service about `record`: encrypts the request buffer, sends
// it as the hexadecimal query of one GET to the built-in query endpoint and parses
// the answer (end marker required). On success the answer updates `record`, is
// kept in the record cache under the record's MD5, and the result is true. A
// garbled answer sets the class to "?" and gives false; a failed exchange or an
// empty body gives false with `record` unchanged. Never throws.
bool QueryService(AppRecord& record, const QueryExtras& extras) noexcept;

}  // namespace tessary
