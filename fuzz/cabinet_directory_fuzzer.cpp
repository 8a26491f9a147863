// Cabinets are downloaded: reading the file table of any bytes either refuses them
// or gives entries with bounded names, the extent computed from the header is
// always enough to read the same table again, and a name accepted for extraction
// never climbs out of its directory.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "platform/contained_path.h"
#include "updater/cabinet_names.h"

namespace {

// A cabinet entry is joined below the target folder: no leading separator either.
bool StaysBelow(std::string_view name) {
    if (!name.empty() && (name.front() == '\\' || name.front() == '/')) return false;
    return tessary::fuzz::StaysBelow(name);
}

bool SameEntries(const tessary::CabinetDirectory& a, const tessary::CabinetDirectory& b) {
    if (a.entries.size() != b.entries.size()) return false;
    for (size_t i = 0; i < a.entries.size(); ++i) {
        const auto& x = a.entries[i];
        const auto& y = b.entries[i];
        if (x.name != y.name || x.size != y.size || x.date != y.date || x.time != y.time ||
            x.attributes != y.attributes || x.nameIsUtf8 != y.nameIsUtf8) {
            return false;
        }
    }
    return a.continuesFromPrevious == b.continuesFromPrevious && a.continuesInNext == b.continuesInNext;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), data == nullptr ? 0 : size);

    const std::optional<tessary::CabinetDirectory> directory = tessary::ParseCabinetDirectory(bytes);
    const size_t extent = tessary::CabinetDirectoryExtent(bytes);
    if (directory) {
        FUZZ_CHECK(bytes.substr(0, 4) == "MSCF");
        for (const auto& entry : directory->entries) {
            FUZZ_CHECK(entry.name.size() < 257);
            FUZZ_CHECK(entry.name.find('\0') == std::string::npos);
            if (tessary::IsContainedPath(entry.name)) FUZZ_CHECK(StaysBelow(entry.name));
        }
        // The update checker reads the header and then only up to `extent` bytes of
        // a cabinet (and refuses one whose header gives no extent).
        if (extent > 0) {
            const size_t read = extent > tessary::kCabinetHeaderSize ? extent : tessary::kCabinetHeaderSize;
            const auto again = tessary::ParseCabinetDirectory(bytes.substr(0, read));
            FUZZ_CHECK(again && SameEntries(*directory, *again));
        }
    } else if (bytes.size() < tessary::kCabinetHeaderSize || bytes.substr(0, 4) != "MSCF") {
        FUZZ_CHECK(extent == 0);
    }

    // The whole input as one entry name.
    if (tessary::IsContainedPath(bytes)) {
        FUZZ_CHECK(StaysBelow(bytes));
        for (char c : bytes) FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20);
    }
    return 0;
}
