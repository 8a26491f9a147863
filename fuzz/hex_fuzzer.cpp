// Hexadecimal text (request and answer bodies): ParseHexText accepts exactly the
// text ToHexText could write (either case) and nothing else, leaving its output
// alone on refusal.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "platform/strings.h"
#include "store/cipher.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), data == nullptr ? 0 : size);

    std::vector<uint8_t> out = {0xA5};
    if (tessary::ParseHexText(text, &out)) {
        FUZZ_CHECK(out.size() * 2 == text.size());
        FUZZ_CHECK(tessary::ToHexText(out.data(), out.size()) == tessary::AsciiUpper(text));
    } else {
        FUZZ_CHECK(out.size() == 1 && out[0] == 0xA5);
        bool wellFormed = text.size() % 2 == 0;
        for (char c : text) {
            wellFormed = wellFormed && ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'));
        }
        FUZZ_CHECK(!wellFormed);
    }
    FUZZ_CHECK(!tessary::ParseHexText(text, nullptr));

    // Any bytes survive the trip through their text.
    const std::string hex = tessary::ToHexText(data, size);
    FUZZ_CHECK(hex.size() == 2 * size);
    std::vector<uint8_t> back;
    FUZZ_CHECK(tessary::ParseHexText(hex, &back));
    FUZZ_CHECK(back == std::vector<uint8_t>(data, data + size));
    return 0;
}
