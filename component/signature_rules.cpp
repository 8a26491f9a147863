#include "component/signature_rules.h"

namespace tessary {
namespace {

constexpr size_t kDerUtcTimeSize = 15;

constexpr std::string_view kSignerNames[] = {"Quellon, Inc.", "Vorland Corporation"};
constexpr std::string_view kRootNames[] = {
    "VeriSign Class 3 Public Primary CA",
    "The USERTrust Network\x99",
    "COMODO SECURE\x99",
};
constexpr std::string_view kSubjectFragments[] = {"Digital ID Class 3", "Durvix Enterprise"};

// The two decimal digits at value[at], value[at + 1]; -1 when either is not a digit.
int DigitPair(const uint8_t* value, size_t at) {
    const uint8_t high = value[at];
    const uint8_t low = value[at + 1];
    if (high < '0' || high > '9' || low < '0' || low > '9') return -1;
    return (high - '0') * 10 + (low - '0');
}

template <size_t N>
bool IsOneOf(std::string_view text, const std::string_view (&names)[N]) {
    for (std::string_view name : names) {
        if (text == name) return true;
    }
    return false;
}

}  // namespace

SigningTimeParse ParseDerUtcTime(const uint8_t* value, size_t size, UtcTimeFields* out) noexcept {
    if (value == nullptr || out == nullptr || size != kDerUtcTimeSize) return SigningTimeParse::kIgnored;
    int fields[6];
    for (size_t i = 0; i < 6; ++i) {
        fields[i] = DigitPair(value, 2 + 2 * i);
        if (fields[i] < 0) return SigningTimeParse::kMalformed;
    }
    UtcTimeFields time;
    time.year = fields[0] < 70 ? 2000 + fields[0] : 1900 + fields[0];
    time.month = fields[1];
    time.day = fields[2];
    time.hour = fields[3];
    time.minute = fields[4];
    time.second = fields[5];
    *out = time;
    return SigningTimeParse::kParsed;
}

std::string SerialNumberText(const uint8_t* leastSignificantFirst, size_t size) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    if (leastSignificantFirst == nullptr) return text;
    text.reserve(size * 2);
    for (size_t i = size; i > 0; --i) {
        const uint8_t byte = leastSignificantFirst[i - 1];
        text.push_back(kDigits[byte >> 4]);
        text.push_back(kDigits[byte & 0x0f]);
    }
    return text;
}

bool PassesOrganisationalUnitRule(std::string_view subject,
                                  const std::function<bool(const std::string&)>& listedFragmentIn) {
    size_t at = subject.find(kOrganisationalUnitOid);
    if (at == std::string_view::npos) return true;
    while (at != std::string_view::npos) {
        size_t start = at + kOrganisationalUnitOid.size();
        if (start < subject.size() && subject[start] == '=') ++start;
        const size_t end = subject.find(',', start);
        const std::string value(
            subject.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
        if (listedFragmentIn && listedFragmentIn(value)) return true;
        at = subject.find(kOrganisationalUnitOid, start);
    }
    return ContainsBuiltInSubjectFragment(subject);
}

bool IsBuiltInSignerName(std::string_view name) noexcept { return IsOneOf(name, kSignerNames); }

bool IsBuiltInRootName(std::string_view name) noexcept { return IsOneOf(name, kRootNames); }

bool ContainsBuiltInSubjectFragment(std::string_view subject) noexcept {
    for (std::string_view fragment : kSubjectFragments) {
        if (subject.find(fragment) != std::string_view::npos) return true;
    }
    return false;
}

}  // namespace tessary
