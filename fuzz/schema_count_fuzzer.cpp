// A store file anyone could have planted: the schema count reads only inside the
// file, reads at most 2 * limit + 2 pages after the header, and never reports more
// entries than the limit as within it.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz/fuzz_support.h"
#include "store/schema_count.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    constexpr size_t kLimit = 400;
    size_t reads = 0;
    const auto read = [&](uint64_t offset, uint8_t* buffer, size_t length) {
        ++reads;
        if (offset > size || size - offset < length) return false;
        if (length != 0) std::memcpy(buffer, data + offset, length);
        return true;
    };
    size_t count = 0;
    const tessary::SchemaSize result = tessary::CountSchemaEntries(read, size, kLimit, &count);
    FUZZ_CHECK(reads <= 1 + 2 * kLimit + 2);
    FUZZ_CHECK(result == tessary::SchemaSize::kTooLarge || count <= kLimit);
    if (size < 16 || std::memcmp(data, "SQLite format 3", 16) != 0) {
        FUZZ_CHECK(result == tessary::SchemaSize::kWithin && count == 0);
    }
    return 0;
}
