// Reputation answers arrive from the network: ParseAnswer on any text either
// refuses it without touching the record or fills fields that respect the format.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "store/answer.h"

using tessary::AppRecord;
using tessary::fuzz::FuzzReader;

namespace {

AppRecord Sentinel() {
    AppRecord record;
    record.exeName = "sentinel exe";
    record.applicationName = "sentinel app";
    record.company = "sentinel company";
    record.description = "sentinel desc";
    record.className = "sentinel class";
    record.version = "sentinel version";
    record.md5 = "sentinel md5";
    return record;
}

// The number of "|"-separated fields that, cut at their first blank, hold a key
// in any case: each of them sets one record field at most.
size_t KeyedFields(std::string_view text) {
    static constexpr std::string_view kKeys[] = {"[class]=", "[appname]=", "[exe]=", "[desc]=", "[md5]="};
    size_t keyed = 0;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t end = text.find('|', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string field(text.substr(pos, end - pos));
        field = field.substr(0, field.find(' '));
        for (char& c : field) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        for (std::string_view key : kKeys) {
            if (field.find(key) != std::string::npos) {
                ++keyed;
                break;
            }
        }
        pos = end + 1;
    }
    return keyed;
}

// A field the parser set came from one "|"-separated field cut at its first blank.
void CheckField(const std::string& value, const std::string& before) {
    if (value == before) return;
    FUZZ_CHECK(value.find('|') == std::string::npos);
    FUZZ_CHECK(value.find(' ') == std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzReader in(data, size);
    const bool requireEndMarker = (in.Byte() & 1) != 0;
    const std::string text(in.Rest());

    const AppRecord before = Sentinel();
    AppRecord record = Sentinel();
    const bool parsed = tessary::ParseAnswer(record, text, requireEndMarker);
    if (!parsed) {
        FUZZ_CHECK(record.exeName == before.exeName && record.applicationName == before.applicationName &&
                   record.description == before.description && record.className == before.className &&
                   record.md5 == before.md5);
    } else {
        FUZZ_CHECK(text.find("[Class]") != std::string::npos);
        FUZZ_CHECK(!requireEndMarker || text.find("[end]=true") != std::string::npos);
        CheckField(record.exeName, before.exeName);
        CheckField(record.applicationName, before.applicationName);
        CheckField(record.description, before.description);
        CheckField(record.className, before.className);
        CheckField(record.md5, before.md5);
        for (char c : record.className) FUZZ_CHECK(!(c >= 'a' && c <= 'z') || record.className == before.className);
        const size_t changed = (record.exeName != before.exeName) + (record.applicationName != before.applicationName) +
                               (record.description != before.description) + (record.className != before.className) +
                               (record.md5 != before.md5);
        FUZZ_CHECK(changed <= KeyedFields(text));
    }
    // Fields the answer never carries stay as they were.
    FUZZ_CHECK(record.company == before.company && record.version == before.version);
    return 0;
}
