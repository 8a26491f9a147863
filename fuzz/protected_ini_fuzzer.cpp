// Settings files (log.ini) can be replaced by anyone who can write the folder:
// DecodeProtectedIni refuses anything not made by EncodeProtectedIni (re-encoding
// a decoded file gives the same bytes), the INI parser takes any text, its output
// parses back to the same document, and integers parse exactly as documented.
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "platform/protected_ini.h"

using tessary::IniDocument;
using tessary::fuzz::FuzzReader;

namespace {

uint32_t Le32(std::string_view s, size_t at) {
    uint32_t v = 0;
    for (size_t i = 0; i < 4; ++i) v |= static_cast<uint32_t>(static_cast<uint8_t>(s[at + i])) << (8 * i);
    return v;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

bool PlainName(std::string_view s) {
    return s.find_first_of(std::string_view("=[]\r\n\0", 6)) == std::string_view::npos;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The documented integer form, written out independently of the parser.
bool ReferenceInteger(std::string_view s, int64_t* value) {
    s = Trim(s);
    bool negative = false;
    if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    unsigned base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s.remove_prefix(2);
    }
    if (s.empty()) return false;
    // Magnitude up to 2^63 (the most negative value); beyond that is out of range.
    const unsigned __int128 limit = static_cast<unsigned __int128>(1) << 63;
    unsigned __int128 magnitude = 0;
    for (char c : s) {
        const int d = HexDigit(c);
        if (d < 0 || static_cast<unsigned>(d) >= base) return false;
        magnitude = magnitude * base + static_cast<unsigned>(d);
        if (magnitude > limit) return false;
    }
    if (!negative && magnitude == limit) return false;
    *value = negative ? static_cast<int64_t>(-magnitude) : static_cast<int64_t>(magnitude);
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), data == nullptr ? 0 : size);

    // The whole input as a file.
    std::string text = "sentinel";
    if (tessary::DecodeProtectedIni(bytes, &text)) {
        FUZZ_CHECK(bytes.size() == text.size() + tessary::kProtectedIniOverhead);
        FUZZ_CHECK(tessary::EncodeProtectedIni(text, Le32(bytes, 4)) == bytes);
    } else {
        FUZZ_CHECK(text.empty());
    }

    // The whole input as clear text: encoded, it decodes back.
    const uint32_t salt = static_cast<uint32_t>(size * 2654435761u);
    const std::string encoded = tessary::EncodeProtectedIni(bytes, salt);
    FUZZ_CHECK(tessary::DecodeProtectedIni(encoded, &text));
    FUZZ_CHECK(text == bytes);

    // The parser takes anything; what it writes parses back to the same document.
    const IniDocument document = IniDocument::Parse(bytes);
    const std::string serialized = document.Serialize();
    FUZZ_CHECK(IniDocument::Parse(serialized).Serialize() == serialized);

    // A value set from hostile pieces is found again, also after a round trip.
    FuzzReader in(data, size);
    const std::string section(in.Until('\n'));
    const std::string key(in.Until('\n'));
    const std::string value(in.Rest());
    // Names are stored on one line without "=[]". A key the file cannot hold (with
    // line breaks as blanks: empty, or starting a comment line) is refused and
    // leaves the document as it was; every accepted one survives a save.
    std::string storedKey = key;
    for (char& c : storedKey) {
        if (c == '\r' || c == '\n' || c == '\0') c = ' ';
    }
    const std::string_view trimmedKey = Trim(storedKey);
    const bool holdable = !trimmedKey.empty() && trimmedKey.front() != ';' && trimmedKey.front() != '#';
    IniDocument edited = document;
    FUZZ_CHECK(edited.Set(section, key, value) == holdable);
    const std::string editedText = edited.Serialize();
    if (!holdable) FUZZ_CHECK(editedText == document.Serialize());
    if (holdable && PlainName(section) && PlainName(key)) {
        FUZZ_CHECK(IniDocument::Parse(editedText).Find(section, key) != nullptr);
    }
    FUZZ_CHECK(IniDocument::Parse(editedText).Serialize() == editedText);

    // Integers: the documented grammar, nothing more.
    int64_t parsed = 0x5A5A5A5A;
    int64_t expected = 0;
    const bool accepted = tessary::ParseIniInteger(bytes, &parsed);
    FUZZ_CHECK(accepted == ReferenceInteger(bytes, &expected));
    FUZZ_CHECK(accepted ? parsed == expected : parsed == 0x5A5A5A5A);
    return 0;
}
