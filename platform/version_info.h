#pragma once

#include <windows.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessary {

// The version-information block of one file (the VERSIONINFO resource), read once
// and queried in memory. The block's node structure is checked before any query,
// so a damaged block reads as "no version information" instead of being walked.
class VersionInfo {
public:
    // One entry of "\VarFileInfo\Translation": language identifier and code page.
    struct Translation {
        WORD language;
        WORD codePage;
    };

    VersionInfo() = default;
    VersionInfo(VersionInfo&&) noexcept = default;
    VersionInfo& operator=(VersionInfo&&) noexcept = default;

    // Reads the version block of `path`. Returns false and leaves the object empty
    // when the file cannot be read, has no version block, or the block is malformed;
    // GetLastError() then tells why (ERROR_INVALID_DATA for a malformed block).
    bool Load(const std::wstring& path);

    // True when a block is loaded.
    bool loaded() const noexcept { return block_ != nullptr; }

    // The root value ("\") when it is a whole VS_FIXEDFILEINFO carrying the signature
    // 0xFEEF04BD; null otherwise (also when nothing is loaded). Points into this object.
    const VS_FIXEDFILEINFO* FixedInfo() const noexcept;

    // The entries of "\VarFileInfo\Translation" in block order; empty when the block
    // has no such table or nothing is loaded.
    std::vector<Translation> Translations() const;

    // The value of "\StringFileInfo\<language><code page>\<name>" (lower-case
    // hexadecimal, four digits each). std::nullopt when the query fails; an existing
    // but empty value gives an empty string. Text ends at the first zero character.
    std::optional<std::wstring> QueryString(WORD language, WORD codePage, std::wstring_view name) const;

    // Raw query of `subBlock`: on success points `*value` into this object and sets
    // `*size` to the value's length (characters for text values, bytes otherwise),
    // bounded by the block. Returns false and leaves the outputs untouched otherwise.
    bool QueryValue(const std::wstring& subBlock, const void** value, UINT* size) const;

private:
    std::unique_ptr<DWORD[]> block_;  // DWORD-aligned, as the block's layout requires
    size_t size_ = 0;                 // bytes of block_
};

// True when `block` (of `size` bytes) is a structurally sound version block: every
// node's length lies within its parent, keys are terminated inside their node, and
// values and children fit. Used by VersionInfo::Load; exposed for tests.
bool IsWellFormedVersionBlock(const void* block, size_t size) noexcept;

}  // namespace tessary
