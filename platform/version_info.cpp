#include "platform/version_info.h"

#include "platform/platform_log.h"

#include <cstdint>
#include <cstring>
#include <cwchar>

namespace tessary {
namespace {

// Layout of one node of a version block: WORD wLength, WORD wValueLength,
// WORD wType (1 text, 0 binary), the zero-terminated UTF-16 key, padding to a
// 32-bit boundary, the value, padding, then the child nodes up to wLength.
constexpr size_t kNodeHeader = 6;
constexpr int kMaxDepth = 8;  // real blocks nest four levels deep

size_t Align4(size_t offset) { return (offset + 3) & ~size_t{3}; }

uint16_t ReadWord(const uint8_t* p) {
    uint16_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

bool CheckNode(const uint8_t* base, size_t offset, size_t limit, int depth) {
    if (depth > kMaxDepth || offset > limit || limit - offset < kNodeHeader) return false;
    const size_t length = ReadWord(base + offset);
    if (length < kNodeHeader || length > limit - offset) return false;
    const size_t end = offset + length;
    const size_t valueLength = ReadWord(base + offset + 2);
    const uint16_t type = ReadWord(base + offset + 4);

    size_t pos = offset + kNodeHeader;
    while (true) {
        if (end - pos < 2) return false;  // key not terminated inside the node
        if (ReadWord(base + pos) == 0) break;
        pos += 2;
    }
    pos = Align4(pos + 2);
    // Some resource compilers count text values in bytes instead of characters, so
    // a value that runs past its node is clipped at query time rather than refused.
    const size_t valueBytes = type == 1 ? valueLength * 2 : valueLength;
    if (pos >= end || valueBytes >= end - pos) return true;  // no room for children
    pos = Align4(pos + valueBytes);
    while (pos < end) {
        if (!CheckNode(base, pos, end, depth + 1)) return false;
        pos = Align4(pos + ReadWord(base + pos));
    }
    return true;
}

}  // namespace

bool IsWellFormedVersionBlock(const void* block, size_t size) noexcept {
    if (block == nullptr) return false;
    return CheckNode(static_cast<const uint8_t*>(block), 0, size, 0);
}

bool VersionInfo::Load(const std::wstring& path) {
    block_.reset();
    size_ = 0;
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0) return false;
    auto block = std::make_unique<DWORD[]>((size + 3) / 4);
    if (!::GetFileVersionInfoW(path.c_str(), 0, size, block.get())) return false;
    // Only the root node's own length counts; the system may reserve room after it.
    const size_t used =
        IsWellFormedVersionBlock(block.get(), size) ? ReadWord(reinterpret_cast<uint8_t*>(block.get())) : 0;
    if (used == 0) {
        ::SetLastError(ERROR_INVALID_DATA);
        return false;
    }
    block_ = std::move(block);
    size_ = used;
    return true;
}

bool VersionInfo::QueryValue(const std::wstring& subBlock, const void** value, UINT* size) const {
    if (!block_ || value == nullptr || size == nullptr) return false;
    void* found = nullptr;
    UINT length = 0;
    // VerQueryValueW takes a non-const block; it only reads it.
    if (!::VerQueryValueW(block_.get(), subBlock.c_str(), &found, &length) || found == nullptr) return false;
    const auto* begin = reinterpret_cast<const uint8_t*>(block_.get());
    const auto* at = static_cast<const uint8_t*>(found);
    if (at < begin || at > begin + size_) return false;
    // Whatever the unit of `length`, never report more than the block holds.
    const size_t room = static_cast<size_t>(begin + size_ - at);
    *value = found;
    *size = length > room ? static_cast<UINT>(room) : length;
    return true;
}

const VS_FIXEDFILEINFO* VersionInfo::FixedInfo() const noexcept {
    const void* value = nullptr;
    UINT size = 0;
    try {
        if (!QueryValue(L"\\", &value, &size) || size < sizeof(VS_FIXEDFILEINFO)) return nullptr;
    } catch (...) {  // std::bad_alloc building the query text
        PLATFORM_REPORT(platform_log::kWarning, L"Out of memory reading a file's version.");
        return nullptr;
    }
    const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
    return fixed->dwSignature == 0xFEEF04BD ? fixed : nullptr;
}

std::vector<VersionInfo::Translation> VersionInfo::Translations() const {
    std::vector<Translation> table;
    const void* value = nullptr;
    UINT size = 0;
    if (!QueryValue(L"\\VarFileInfo\\Translation", &value, &size)) return table;
    const auto* p = static_cast<const uint8_t*>(value);
    for (UINT i = 0; i + 4 <= size; i += 4) table.push_back({ReadWord(p + i), ReadWord(p + i + 2)});
    return table;
}

std::optional<std::wstring> VersionInfo::QueryString(WORD language, WORD codePage, std::wstring_view name) const {
    wchar_t prefix[32];
    std::swprintf(prefix, 32, L"\\StringFileInfo\\%04x%04x\\", language, codePage);
    std::wstring subBlock(prefix);
    subBlock.append(name);
    const void* value = nullptr;
    UINT length = 0;
    if (!QueryValue(subBlock, &value, &length)) return std::nullopt;
    // `length` counts characters, bounded by the block's bytes; stay within both.
    const auto* begin = reinterpret_cast<const uint8_t*>(block_.get());
    const size_t room = static_cast<size_t>(begin + size_ - static_cast<const uint8_t*>(value)) / sizeof(wchar_t);
    const auto* text = static_cast<const wchar_t*>(value);
    return std::wstring(text, wcsnlen(text, length < room ? length : room));
}

}  // namespace tessary
