#pragma once

// The text rules of signature verification: the counter-signer's signing time,
// the certificate serial number as text, the organisational-unit rule on an
// OID-form subject and the built-in name lists. Portable: no Windows headers,
// so the rules build natively and can be fuzzed.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace tessary {

// A calendar time in UTC as written in a stamp; milliseconds are always 0. The
// fields are taken as written: range checks are left to the conversion into a
// file time.
struct UtcTimeFields {
    int year = 0;
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
};

enum class SigningTimeParse {
    kIgnored,    // not a 15-byte value (for example a 17-byte GeneralizedTime), or null input
    kMalformed,  // 15 bytes, but a field holds something other than two digits
    kParsed,     // *out holds the time
};

// Reads a DER-encoded UTCTime of exactly 15 bytes (tag, length, "YYMMDDHHMMSS",
// "Z"): the digit pairs at bytes 2-3, 4-5, 6-7, 8-9, 10-11 and 12-13 give year,
// month, day, hour, minute and second. A two-digit year below 70 is 20YY,
// otherwise 19YY. The tag and closing byte are not checked. *out is written only
// when the result is kParsed.
SigningTimeParse ParseDerUtcTime(const uint8_t* value, size_t size, UtcTimeFields* out) noexcept;

// A certificate serial number stored least significant byte first, written most
// significant byte first as two lower-case hexadecimal digits per byte ("0a" for
// 10). Empty for no bytes. Throws only std::bad_alloc.
std::string SerialNumberText(const uint8_t* leastSignificantFirst, size_t size);

// Object identifier of the organisational unit inside an OID-form subject.
inline constexpr std::string_view kOrganisationalUnitOid = "2.5.4.11";

// The organisational-unit rule on a subject in OID form ("2.5.4.3=Name,
// 2.5.4.11=Unit, ..."). Passes when the subject names no OU. Otherwise each OU
// value in turn (from just after "2.5.4.11" and its "=" to the next "," or the
// end) is offered to `listedFragmentIn`, which answers whether a listed fragment
// is a substring of it; the first yes passes. When none passes, the rule passes
// only if the whole subject contains a built-in subject fragment. A null
// predicate counts as "no fragment listed". Throws only std::bad_alloc.
bool PassesOrganisationalUnitRule(std::string_view subject,
                                  const std::function<bool(const std::string&)>& listedFragmentIn);

// Built-in lists, consulted where the published list has no match. Names are
// compared byte for byte (case-sensitive) in the ANSI code page; the root names
// carrying the trade-mark sign use its code page 1252 byte 0x99.
bool IsBuiltInSignerName(std::string_view name) noexcept;
bool IsBuiltInRootName(std::string_view name) noexcept;
bool ContainsBuiltInSubjectFragment(std::string_view subject) noexcept;

}  // namespace tessary
