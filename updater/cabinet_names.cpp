#include "updater/cabinet_names.h"

namespace tessary {
namespace {

constexpr uint16_t kFlagPreviousCabinet = 0x0001;
constexpr uint16_t kFlagNextCabinet = 0x0002;
constexpr uint16_t kFlagReservePresent = 0x0004;
constexpr uint16_t kAttributeNameIsUtf = 0x80;
constexpr size_t kFileEntryFixedSize = 16;
// Longest name a cabinet entry may carry, terminator included.
constexpr size_t kMaxEntryName = 257;

uint16_t U16(std::string_view b, size_t at) {
    return static_cast<uint16_t>(static_cast<uint8_t>(b[at]) | static_cast<uint8_t>(b[at + 1]) << 8);
}

uint32_t U32(std::string_view b, size_t at) { return uint32_t{U16(b, at)} | uint32_t{U16(b, at + 2)} << 16; }

bool IsCabinet(std::string_view b) { return b.size() >= kCabinetHeaderSize && b.substr(0, 4) == "MSCF"; }

}  // namespace

size_t CabinetDirectoryExtent(std::string_view header) {
    if (!IsCabinet(header)) return 0;
    const uint32_t filesOffset = U32(header, 16);
    const uint16_t fileCount = U16(header, 28);
    return size_t{filesOffset} + size_t{fileCount} * (kFileEntryFixedSize + kMaxEntryName);
}

std::optional<CabinetDirectory> ParseCabinetDirectory(std::string_view bytes) {
    if (!IsCabinet(bytes)) return std::nullopt;
    CabinetDirectory directory;
    const uint16_t flags = U16(bytes, 30);
    directory.continuesFromPrevious = (flags & kFlagPreviousCabinet) != 0;
    directory.continuesInNext = (flags & kFlagNextCabinet) != 0;
    const uint16_t fileCount = U16(bytes, 28);
    size_t at = U32(bytes, 16);
    (void)kFlagReservePresent;  // the file table is found by its offset, reserve areas need no parsing
    directory.entries.reserve(fileCount);
    for (uint16_t i = 0; i < fileCount; ++i) {
        if (at > bytes.size() || bytes.size() - at < kFileEntryFixedSize + 1) return std::nullopt;
        CabinetEntry entry;
        entry.size = U32(bytes, at);
        entry.date = U16(bytes, at + 10);
        entry.time = U16(bytes, at + 12);
        entry.attributes = U16(bytes, at + 14);
        entry.nameIsUtf8 = (entry.attributes & kAttributeNameIsUtf) != 0;
        const size_t nameStart = at + kFileEntryFixedSize;
        const size_t end = bytes.find('\0', nameStart);
        if (end == std::string_view::npos || end - nameStart >= kMaxEntryName) return std::nullopt;
        entry.name.assign(bytes.substr(nameStart, end - nameStart));
        directory.entries.push_back(std::move(entry));
        at = end + 1;
    }
    return directory;
}

}  // namespace tessary
