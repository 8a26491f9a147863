// Settings rows come from the service: ParseSettingNumber on any text agrees with
// the C library's decimal conversion clamped to 32 bits, and never reads past the
// terminator.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "store/setting_number.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A heap copy of exactly size + 1 bytes: reading past the terminator is a report.
    std::vector<char> text;
    if (data != nullptr) text.assign(data, data + size);
    text.push_back('\0');

    const int32_t value = tessary::ParseSettingNumber(text.data());
    const long long wide = std::strtoll(text.data(), nullptr, 10);
    const long long expected = wide > std::numeric_limits<int32_t>::max()   ? std::numeric_limits<int32_t>::max()
                               : wide < std::numeric_limits<int32_t>::min() ? std::numeric_limits<int32_t>::min()
                                                                            : wide;
    FUZZ_CHECK(value == expected);
    FUZZ_CHECK(tessary::ParseSettingNumber(nullptr) == 0);
    return 0;
}
