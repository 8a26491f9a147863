// The installation identifier arrives as a "TSID" value from the service and as
// the bytes of its file on disk: parsing any text either refuses it or gives four
// non-zero parts, a sixteen-character value parses the same after its request form
// is joined again, the text form never has more than four digits a part, and
// only a whole, valid file's bytes are taken and round-trip through their encoding.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "updater/tsid_text.h"

using tessary::InstallationIdParts;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), data == nullptr ? 0 : size);

    // The whole input as text given to the parser.
    if (const auto parts = tessary::ParseInstallationIdText(text)) {
        for (uint32_t part : *parts) FUZZ_CHECK(part != 0);
        const std::string formatted = tessary::FormatInstallationId(*parts);
        FUZZ_CHECK(formatted.size() == 16);
        FUZZ_CHECK(formatted.find_first_not_of("0123456789abcdef") == std::string::npos);
        if (!tessary::IsValidInstallationId(*parts)) FUZZ_CHECK(formatted == std::string(16, '0'));
    }

    // The first 16 bytes as a "TSID" command-file value.
    if (const auto joined = tessary::JoinTsidGroups(text.substr(0, 16))) {
        FUZZ_CHECK(text.size() >= 16 && joined->size() == 19);
        FUZZ_CHECK((*joined)[4] == '-' && (*joined)[9] == '-' && (*joined)[14] == '-');
        if (const auto parts = tessary::ParseInstallationIdText(*joined)) {
            // Four digits at most per group: every part fits the request form, which parses back the same.
            for (uint32_t part : *parts) FUZZ_CHECK(part >= 1 && part <= 0xFFFF);
            const std::string formatted = tessary::FormatInstallationId(*parts);
            FUZZ_CHECK(formatted.size() == 16);
            const auto again = tessary::JoinTsidGroups(formatted);
            FUZZ_CHECK(again && tessary::ParseInstallationIdText(*again) == parts);
        }
    } else {
        FUZZ_CHECK(text.size() < 16);
    }

    // The input as the identifier file's bytes.
    const auto decoded = tessary::DecodeInstallationIdFile(text);
    FUZZ_CHECK(!decoded || text.size() == tessary::kInstallationIdFileSize);
    if (text.size() == tessary::kInstallationIdFileSize) {
        // Independently: every little-endian part in 1..0xFFFF.
        bool valid = true;
        for (size_t i = 0; i < 16; i += 4) {
            const auto* p = reinterpret_cast<const unsigned char*>(text.data()) + i;
            valid = valid && p[2] == 0 && p[3] == 0 && (p[0] != 0 || p[1] != 0);
        }
        FUZZ_CHECK(decoded.has_value() == valid);
    }
    if (decoded) {
        for (uint32_t part : *decoded) FUZZ_CHECK(part >= 1 && part <= 0xFFFF);
        for (bool loaded : {false, true}) {
            const auto bytes = tessary::EncodeInstallationIdFile(*decoded, loaded);
            FUZZ_CHECK(std::memcmp(bytes.data(), text.data(), tessary::kInstallationIdPartBytes) == 0);
            FUZZ_CHECK(bytes[16] == (loaded ? 1 : 0) && bytes[17] == 0 && bytes[18] == 0 && bytes[19] == 0);
            const std::string_view again(reinterpret_cast<const char*>(bytes.data()), bytes.size());
            FUZZ_CHECK(tessary::DecodeInstallationIdFile(again) == decoded);
        }
    }
    return 0;
}
