#pragma once

// Text layout of the diagnostic logger: severity names, the file logger's line
// format and bounded cutting of message text. Portable (no Windows headers).

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tessary::ETWLogging {

// Severities; a higher value is more severe for the threshold test.
inline constexpr uint32_t kSeverityNormal = 1;
inline constexpr uint32_t kSeverityWarning = 2;
inline constexpr uint32_t kSeverityInformation = 3;
inline constexpr uint32_t kSeverityError = 4;
inline constexpr uint32_t kSeverityCritical = 5;
inline constexpr uint32_t kSeverityInformationHigh = 6;

// Optional line fields of the file logger ("Options" in log.ini).
inline constexpr uint32_t kOptionDebugOutput = 0x1;
inline constexpr uint32_t kOptionProcessThread = 0x4;
inline constexpr uint32_t kOptionFileLine = 0x8;
inline constexpr uint32_t kOptionTag = 0x10;
inline constexpr uint32_t kOptionFunction = 0x20;

// Longest message the file logger writes, in UTF-16 code units.
inline constexpr size_t kFileMessageLimit = 4159;
// Longest message the event-tracing logger sends, in UTF-16 code units.
inline constexpr size_t kEventMessageLimit = 2079;

// The name written for `severity`, or null when it is outside 1..6.
const wchar_t* SeverityName(uint32_t severity) noexcept;

// Local wall-clock time of a line (the fields of a SYSTEMTIME that are shown).
struct LineTime {
    uint16_t year = 0;
    uint16_t month = 0;
    uint16_t day = 0;
    uint16_t hour = 0;  // 0..23
    uint16_t minute = 0;
    uint16_t second = 0;
};

// Everything one line of a log file shows.
struct LineFields {
    LineTime time;
    uint32_t severity = kSeverityInformation;
    uint32_t options = kOptionTag;
    std::wstring_view tag;
    uint32_t processId = 0;
    uint32_t threadId = 0;
    std::wstring_view sourceFile;  // full path or name; only the part after the last backslash is shown
    int line = 0;
    std::wstring_view function;
    std::wstring_view message;
};

// Formats one line: "MM/DD/YYYY hh:mm:ss AM$ -- (Name)$", then per option bit
// " [tag]$" (tag cut to 15 and right-aligned in 15; just the blank when the tag is
// empty), " [PID:ppppp TID:ttttt]$", " [file:lllll]$" (file cut to and
// right-aligned in 20), " [function()]$" (cut to and right-aligned in 40), then a
// blank, the message and "\r\n" unless the message ends with a line feed. An
// unknown severity shows an empty name. Throws only std::bad_alloc.
std::wstring FormatLogLine(const LineFields& fields);

// Length to which `text` is cut so that it holds at most `limit` code units and
// does not end in the first half of a surrogate pair.
size_t CutLength(std::wstring_view text, size_t limit) noexcept;

}  // namespace tessary::ETWLogging
