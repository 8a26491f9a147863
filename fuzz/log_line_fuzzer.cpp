// Log lines carry text from callers and from the network (paths, answers): any
// fields, hostile time values and lone surrogates included, give one line of the
// documented shape whose length is bounded by the message; cutting never leaves a
// high surrogate at the end; event payloads have exactly the documented size.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "Logging/etw_payload.h"
#include "Logging/log_line.h"
#include "fuzz/fuzz_support.h"

using tessary::fuzz::FuzzReader;
using tessary::fuzz::Utf16Units;
namespace logging = tessary::ETWLogging;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzReader in(data, size);
    logging::LineFields fields;
    fields.time = {in.Le16(), in.Le16(), in.Le16(), in.Le16(), in.Le16(), in.Le16()};
    fields.severity = in.Le32();
    fields.options = in.Byte();
    fields.processId = in.Le32();
    fields.threadId = in.Le32();
    fields.line = static_cast<int>(in.Le32());
    const std::wstring tag = Utf16Units<wchar_t>(in.Until('\0'));
    const std::wstring file = Utf16Units<wchar_t>(in.Until('\0'));
    const std::wstring function = Utf16Units<wchar_t>(in.Until('\0'));
    const std::string_view rest = in.Rest();
    const std::wstring message = Utf16Units<wchar_t>(rest);
    fields.tag = tag;
    fields.sourceFile = file;
    fields.function = function;
    fields.message = message;

    const std::wstring line = logging::FormatLogLine(fields);
    // Date, time and severity always lead; the message always closes the line.
    FUZZ_CHECK(line.find(L" -- (") != std::wstring::npos);
    FUZZ_CHECK(line.size() >= message.size() + 1);
    FUZZ_CHECK(line.compare(line.size() - message.size() - (message.empty() || message.back() != L'\n' ? 2 : 0),
                            message.size(), message) == 0);
    FUZZ_CHECK(line.back() == L'\n');
    // Every field but the message is cut to its column, numbers included.
    FUZZ_CHECK(line.size() <= message.size() + 200);

    for (size_t limit : {size_t{0}, size_t{1}, rest.size() / 4, logging::kEventMessageLimit}) {
        const size_t cut = logging::CutLength(message, limit);
        FUZZ_CHECK(cut <= limit || (limit == 0 && cut == 0));
        FUZZ_CHECK(cut <= message.size());
        FUZZ_CHECK(cut == message.size() || cut + 1 >= limit);
        // A text that fits is never cut, whatever it ends with.
        if (message.size() <= limit) FUZZ_CHECK(cut == message.size());
        // A surrogate pair is never split (a lone high surrogate may stay).
        if (cut < message.size() && cut > 0) {
            FUZZ_CHECK(!(message[cut - 1] >= 0xD800 && message[cut - 1] <= 0xDBFF && message[cut] >= 0xDC00 &&
                         message[cut] <= 0xDFFF));
        }
    }

    logging::EventPayloadFields event;
    const std::u16string group = Utf16Units<char16_t>(rest);
    event.processName = group;
    event.sourceFile = group;
    event.function = group;
    event.moduleDirectory = group;
    event.moduleVersion = group;
    event.group = group;
    event.messageBytes = size;
    const std::vector<uint8_t> payload = logging::BuildEventPayload(event);
    const size_t units = group.size() < logging::kPayloadStringLimit ? group.size() : logging::kPayloadStringLimit;
    FUZZ_CHECK(payload.size() == 4 + 4 + 4 + 8 + 6 * (2 + 2 * units));
    const uint8_t level = logging::TraceLevelForSeverity(fields.severity);
    FUZZ_CHECK(level >= 1 && level <= 5);
    return 0;
}
