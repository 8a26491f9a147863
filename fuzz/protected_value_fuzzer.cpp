// Protected registry values are read from a registry anyone with rights may edit:
// UnprotectValue on any blob either refuses it (clearing its outputs) or returns a
// value whose re-encoding with the same salt is the very same blob; any value
// written reads back unchanged, also under the name in another letter case, and a
// single changed byte makes it unreadable.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "platform/protected_value.h"

using tessary::fuzz::FuzzReader;

namespace {

std::wstring UpperAscii(std::wstring_view name) {
    std::wstring out(name);
    for (wchar_t& c : out) {
        if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzReader in(data, size);
    const size_t nameBytes = in.Byte() % 64;
    const std::wstring name = tessary::fuzz::Utf16Units<wchar_t>(in.Bytes(nameBytes));
    const std::string_view rest = in.Rest();
    const auto* blob = reinterpret_cast<const uint8_t*>(rest.data());

    // Any blob: decoded exactly or refused.
    uint32_t type = 0xDEADBEEF;
    std::vector<uint8_t> value = {1, 2, 3};
    if (tessary::UnprotectValue(name, blob, rest.size(), &type, &value)) {
        FUZZ_CHECK(rest.size() == tessary::ProtectedBlobSize(value.size()));
        const uint32_t salt = static_cast<uint32_t>(static_cast<uint8_t>(rest[4])) |
                              static_cast<uint32_t>(static_cast<uint8_t>(rest[5])) << 8 |
                              static_cast<uint32_t>(static_cast<uint8_t>(rest[6])) << 16 |
                              static_cast<uint32_t>(static_cast<uint8_t>(rest[7])) << 24;
        const std::vector<uint8_t> again = tessary::ProtectValue(name, type, value.data(), value.size(), salt);
        FUZZ_CHECK(again == std::vector<uint8_t>(blob, blob + rest.size()));
    } else {
        FUZZ_CHECK(type == 0 && value.empty());
    }

    // The rest of the input as a clear value: it reads back unchanged.
    FuzzReader clear(blob, rest.size());
    const uint32_t clearType = clear.Le32();
    const uint32_t salt = clear.Le32();
    const std::string_view payload = clear.Rest();
    const auto* bytes = reinterpret_cast<const uint8_t*>(payload.data());
    std::vector<uint8_t> encoded = tessary::ProtectValue(name, clearType, bytes, payload.size(), salt);
    FUZZ_CHECK(encoded.size() == tessary::ProtectedBlobSize(payload.size()));
    type = 0;
    value.clear();
    FUZZ_CHECK(tessary::UnprotectValue(UpperAscii(name), encoded.data(), encoded.size(), &type, &value));
    FUZZ_CHECK(type == clearType);
    FUZZ_CHECK(value == std::vector<uint8_t>(bytes, bytes + payload.size()));

    // Tampering anywhere is detected.
    const size_t at = salt % encoded.size();
    encoded[at] ^= static_cast<uint8_t>(1u << (salt >> 29));
    FUZZ_CHECK(!tessary::UnprotectValue(name, encoded.data(), encoded.size(), &type, &value));
    FUZZ_CHECK(type == 0 && value.empty());
    return 0;
}
