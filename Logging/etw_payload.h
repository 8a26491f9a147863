#pragma once

// Data layout of one trace event of the event-tracing logger. Portable (no
// Windows headers).
//
// Payload, little-endian; each string is an unsigned 16-bit count of UTF-16 code
// units followed by those units, without terminator:
//
//   u32 process id, u32 thread id, string process name, string source file,
//   string function, i32 line, string module directory, string module file
//   version, string group, u64 length in bytes of the UTF-8 message.
//
// The UTF-8 message itself travels as the event's second data block.

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace tessary::ETWLogging {

// Most code units a payload string can carry; longer strings are cut.
inline constexpr size_t kPayloadStringLimit = 0xFFFF;

struct EventPayloadFields {
    uint32_t processId = 0;
    uint32_t threadId = 0;
    std::u16string_view processName;
    std::u16string_view sourceFile;
    std::u16string_view function;
    int32_t line = 0;
    std::u16string_view moduleDirectory;
    std::u16string_view moduleVersion;
    std::u16string_view group;
    uint64_t messageBytes = 0;
};

// The payload bytes for `fields`. Throws only std::bad_alloc.
std::vector<uint8_t> BuildEventPayload(const EventPayloadFields& fields);

// The trace level an event of `severity` carries: 1..5 as they are, 6 and every
// value outside 1..5 as 3.
uint8_t TraceLevelForSeverity(uint32_t severity) noexcept;

}  // namespace tessary::ETWLogging
