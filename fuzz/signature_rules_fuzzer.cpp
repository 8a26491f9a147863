// Signature text rules: the counter-signer's UTCTime, serial number text and the
// organisational-unit rule on an arbitrary subject. A parsed time has two-digit
// fields and a year from 1970 to 2069; serial text is two lower-case digits per
// byte; every OU value offered lies inside the subject.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "component/signature_rules.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (data == nullptr) size = 0;

    tessary::UtcTimeFields time;
    time.year = -1;
    switch (tessary::ParseDerUtcTime(data, size, &time)) {
        case tessary::SigningTimeParse::kParsed:
            FUZZ_CHECK(size == 15);
            FUZZ_CHECK(time.year >= 1970 && time.year <= 2069);
            FUZZ_CHECK(time.month >= 0 && time.month <= 99 && time.second >= 0 && time.second <= 99);
            break;
        case tessary::SigningTimeParse::kIgnored:
            FUZZ_CHECK(size != 15 || data == nullptr);
            FUZZ_CHECK(time.year == -1);
            break;
        case tessary::SigningTimeParse::kMalformed:
            FUZZ_CHECK(size == 15);
            FUZZ_CHECK(time.year == -1);
            break;
    }

    const std::string serial = tessary::SerialNumberText(data, size);
    FUZZ_CHECK(serial.size() == 2 * size);
    for (char c : serial) FUZZ_CHECK((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'));

    const std::string_view subject(reinterpret_cast<const char*>(data), size);
    bool offered = false;
    const bool passes = tessary::PassesOrganisationalUnitRule(subject, [&](const std::string& value) {
        offered = true;
        FUZZ_CHECK(subject.find(value) != std::string_view::npos);
        FUZZ_CHECK(value.find(',') == std::string::npos);
        return false;
    });
    const bool hasUnit = subject.find(tessary::kOrganisationalUnitOid) != std::string_view::npos;
    FUZZ_CHECK(offered == hasUnit);
    FUZZ_CHECK(passes == (!hasUnit || tessary::ContainsBuiltInSubjectFragment(subject)));
    return 0;
}
