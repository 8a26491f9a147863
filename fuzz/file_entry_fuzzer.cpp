// A FILE or HFILE value from the service: SplitFileEntry on any text either refuses
// it or gives the url, the path and the age exactly as a plain reading of the
// "url||path||age" fields does, and a path accepted for joining below a directory
// never leaves it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "updater/command_file.h"

namespace {

// The age field read independently: up to eight characters after the separator
// that ended the path, hexadecimal, and "no age" when all of them are "f".
std::optional<uint32_t> ExpectedAge(std::string_view afterPath) {
    const std::string field(afterPath.substr(0, 8));
    if (field.empty()) return std::nullopt;
    bool allF = true;
    for (char c : field) {
        const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (!hex) return std::nullopt;
        allF = allF && (c == 'f' || c == 'F');
    }
    if (allF) return std::nullopt;
    return static_cast<uint32_t>(std::strtoul(field.c_str(), nullptr, 16));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view value(reinterpret_cast<const char*>(data), data == nullptr ? 0 : size);

    const auto entry = tessary::SplitFileEntry(value);
    const size_t urlEnd = value.find("||");
    const size_t lineEnd = value.find("\r\n");
    const bool urlPresent = urlEnd != std::string_view::npos && (lineEnd == std::string_view::npos || urlEnd < lineEnd);
    FUZZ_CHECK(entry.has_value() == (urlPresent && urlEnd <= tessary::kMaxEntryUrlChars));
    if (entry) {
        FUZZ_CHECK(entry->url == value.substr(0, urlEnd));
        const std::string_view rest = value.substr(urlEnd + 2);
        const size_t pathEnd = std::min(rest.find("||"), rest.find("\r\n"));
        FUZZ_CHECK(entry->path == rest.substr(0, pathEnd));
        const std::optional<uint32_t> age =
            pathEnd == std::string_view::npos ? std::nullopt : ExpectedAge(rest.substr(pathEnd + 2));
        FUZZ_CHECK(entry->minimumAgeMinutes == age);
    }

    // The whole input as a path field.
    if (tessary::EntryDestinationOf(value)) {
        FUZZ_CHECK(!value.empty() && value.find("..") == std::string_view::npos);
        FUZZ_CHECK(value.find(':') == std::string_view::npos);
        FUZZ_CHECK(value.front() != '\\' && value.front() != '/');
        for (char c : value) FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20);
    }
    return 0;
}
