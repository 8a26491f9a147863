#pragma once

// Who made a file: the one check the update checker and the stores make before
// they act on a file in a folder other accounts can reach (a merge file, a
// staged download, an extracted entry, a store and its journal). SYSTEM and
// Administrators are trusted; a standard user, and anything a standard user
// runs, is not. The decision is taken on an opened handle, never by path.

#include <windows.h>

#include <optional>
#include <string>

namespace tessary::security {

enum class FileOwner {
    kTrusted,     // SYSTEM, Administrators, TrustedInstaller, or this process's own
                  // account when this process is itself trusted (it runs as SYSTEM
                  // or as a member of Administrators)
    kForeign,     // any other account
    kUnreadable,  // the owner could not be read: treated as foreign by every caller
};

// The owner class of the file or folder open as `handle` (which needs
// READ_CONTROL). `path` names it for the test seam only.
FileOwner OwnerOf(HANDLE handle, const std::wstring& path);

// As OwnerOf, for a handle opened without following a reparse point that must
// be a plain file: a link or a folder where a file belongs is kForeign, a
// handle whose attributes cannot be read kUnreadable. `handle` needs
// FILE_READ_ATTRIBUTES as well.
FileOwner PlainFileOwner(HANDLE handle, const std::wstring& path);

// Opens `path` (without following a reparse point) and classifies it: kTrusted
// only for a plain file (no reparse point) whose owner is trusted. nullopt when
// the file does not exist.
std::optional<FileOwner> OwnerOfFile(const std::wstring& path);

// Test seam: when installed, decides the owner of every file whose path it
// answers for (returning nullopt leaves the decision to the handle's owner).
// Returns the seam it replaces. Not thread-safe against checks in flight.
using OwnerOverride = std::optional<FileOwner> (*)(const std::wstring& path);
OwnerOverride SetOwnerOverrideForTesting(OwnerOverride override) noexcept;

// "trusted", "owned by another account" or "of an owner that cannot be read".
const wchar_t* OwnerText(FileOwner owner) noexcept;

}  // namespace tessary::security
