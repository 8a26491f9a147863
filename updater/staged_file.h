#pragma once

// Files the update checker replaces with what it downloaded or extracted: the
// new content is written to a temporary file beside the target, flushed, and
// moved onto the target in one step, so a target is only ever replaced by a
// complete file and keeps its old content when anything fails. Cabinets are
// unpacked into a private folder beside the target that is removed whole
// afterwards.

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/unique_resource.h"
#include "platform/security_descriptor.h"

namespace tessary {

// A temporary file ("~ts<pid>-<n>.tmp") in the directory of the file it will
// replace. Removed by the destructor unless CommitTo moved it into place.
class StagedFile {
public:
    StagedFile() = default;
    ~StagedFile();
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;

    // Creates a new, uniquely named empty file in `directory` (which must exist),
    // with the descriptor of `kind`: by default a file only SYSTEM and
    // Administrators use. False when none could be created (the object stays empty).
    bool Create(const std::wstring& directory, security::Secured kind = security::Secured::kPrivateFile);

    // Appends `size` bytes. False (and the file is then unusable for CommitTo)
    // when the write fails or the file was not created.
    bool Write(const void* data, size_t size);

    // Flushes the file to disk, checks that its owner is still the trusted account
    // that created it (else ERROR_INVALID_OWNER), closes it and moves it onto
    // `target` in one step with MoveOntoTarget (replacing an existing target,
    // write-through, a moment's refusal waited for within the bound). True only
    // when the move succeeded; on any failure the temporary file is removed, the
    // target keeps its content and the last error tells why.
    bool CommitTo(const std::wstring& target);

    // Bytes written so far.
    uint64_t size() const { return size_; }
    // The temporary file's path (empty before Create and after CommitTo).
    const std::wstring& path() const { return path_; }

private:
    void Discard();

    UniqueFile file_;
    std::wstring path_;
    uint64_t size_ = 0;
    bool failed_ = false;
};

// Replaces `target` with a file holding exactly `bytes` (through StagedFile, in
// the target's directory, with the descriptor of `kind`). False, with the target
// untouched, on any failure.
bool ReplaceFileWithBytes(const std::wstring& target, std::string_view bytes,
                          security::Secured kind = security::Secured::kPrivateFile);

// Moves `from` onto `to` in one step (replacing an existing `to`, write-through).
// A read-only `to` (a file a cabinet delivered with that attribute) is made
// writable first, so one such delivery cannot block every later update; the
// moved file keeps its own attributes. A sharing, lock or access refusal (a
// scanner holding either file for a moment) is retried within the bounded
// retry of platform/transient_retry.h (about 1.1 s in all); a `to` that is a
// folder is refused at once (ERROR_ACCESS_DENIED). False with the last error
// on failure; `to` then keeps its content (and its read-only attribute).
bool MoveOntoTarget(const std::wstring& from, const std::wstring& to);

// The full path Windows opens for `path`: a relative path, "." and "..", forward
// slashes and the trailing dots and spaces of the last name resolved the way
// the system resolves them (GetFullPathNameW). Empty when it cannot be resolved.
std::wstring FullPathOf(const std::wstring& path);

// True when `a` and `b` name one file: their full paths are equal ignoring
// case, or both exist and are the same file (volume serial number and file
// index: a hard link, a short name). Spellings are not compared as text, so
// "dir\.\x.cab", "dir/x.cab." and "DIR\X.CAB" all name "dir\x.cab".
bool NamesSameFile(const std::wstring& a, const std::wstring& b);

// Deletes `path`, clearing a read-only attribute first, with the same bounded
// retry of transient refusals as MoveOntoTarget (a folder is refused at once).
// True when the file is gone (deleted now or absent before); false with the
// last error otherwise (a read-only file keeps its attribute).
bool DeleteFileEvenReadOnly(const std::wstring& path);

// What RemoveStagingLeftovers removed.
struct LeftoverSweep {
    unsigned removed = 0;  // staged files and private folders removed
    unsigned failed = 0;   // ones that could not be removed (still there)
    uint64_t bytes = 0;    // bytes of the staged files removed
};

// The process identifier in a staged file's or private folder's name
// ("~ts<pid>-<n>" in hexadecimal, then ".tmp", ".cab" or nothing: names an
// earlier build made lost their extension); nothing for any other name.
std::optional<DWORD> StagingNameOwner(std::wstring_view name);

// Removes, below `root` (at most `depth` folder levels down, never through a
// link), the staged files and private folders that earlier processes left: a
// pass killed mid-download or mid-extraction leaves them under names no later
// pass looks at. One is left when its process still runs and it was written
// within the last kStagingLeftoverAgeMs (a pass running beside this one); names
// of this process's identifier were left by an earlier process that had it, as
// this pass sweeps before it stages anything. A private folder is removed as
// RemoveTree removes it (a link as a link).
LeftoverSweep RemoveStagingLeftovers(const std::wstring& root, unsigned depth);

// Age after which a staging leftover goes even when a process of its identifier
// runs (that identifier was reused): far beyond the longest a pass can take.
inline constexpr uint64_t kStagingLeftoverAgeMs = 12ull * 60 * 60 * 1000;

// A fresh folder ("~ts<pid>-<n>.cab") created inside `parent`, removed with
// everything below it when the owner ends.
class PrivateFolder {
public:
    PrivateFolder() = default;
    ~PrivateFolder();
    PrivateFolder(const PrivateFolder&) = delete;
    PrivateFolder& operator=(const PrivateFolder&) = delete;

    // Creates the folder new, with the descriptor of a folder only SYSTEM and
    // Administrators use; false when no new folder could be created in `parent`.
    bool Create(const std::wstring& parent);
    // The folder's path (empty before Create).
    const std::wstring& path() const { return path_; }

private:
    std::wstring path_;
};

}  // namespace tessary
