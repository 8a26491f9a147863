// Unpadded base64 (stored paths): DecodeBase64 accepts only what EncodeBase64 can
// write, and any bytes survive encoding into a buffer of exactly the documented
// capacity.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "store/cipher.h"

namespace {

size_t Capacity(size_t n) { return (4 * n / 3 + 3) / 4 * 4; }

std::string Encode(const uint8_t* bytes, size_t n) {
    // Exactly the capacity, on the heap, so a write past it is a sanitizer report.
    const size_t capacity = Capacity(n);
    std::vector<char> buffer(capacity == 0 ? 1 : capacity);
    size_t length = capacity;
    FUZZ_CHECK(tessary::EncodeBase64(bytes, n, buffer.data(), &length));
    FUZZ_CHECK(length <= capacity);
    FUZZ_CHECK(length == (4 * n + 2) / 3);
    return std::string(buffer.data(), length);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), data == nullptr ? 0 : size);

    std::vector<uint8_t> out = {0x5A};
    if (tessary::DecodeBase64(text, &out)) {
        FUZZ_CHECK(Encode(out.data(), out.size()) == text);
    } else {
        FUZZ_CHECK(out.size() == 1 && out[0] == 0x5A);
    }

    const std::string encoded = Encode(data, size);
    std::vector<uint8_t> back;
    FUZZ_CHECK(tessary::DecodeBase64(encoded, &back));
    FUZZ_CHECK(back == std::vector<uint8_t>(data, data + size));

    // One character short of the capacity is refused without a write.
    if (size > 0) {
        std::vector<char> small(Capacity(size) - 1, '#');
        size_t length = small.size();
        FUZZ_CHECK(!tessary::EncodeBase64(data, size, small.data(), &length));
        for (char c : small) FUZZ_CHECK(c == '#');
    }
    return 0;
}
