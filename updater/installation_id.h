#pragma once

// The installation's identity in the update checker's requests: the client
// identifier [guid] (fixed for the program) and the installation identifier
// [tsid], which the manifest service assigns and which lives in "data\tsid.idx"
// below the common data directory between runs.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "updater/tsid_text.h"

namespace tessary {

// Relative name of the identifier file below the common data directory.
inline constexpr wchar_t kInstallationIdName[] = L"data\\tsid.idx";

// The client identifier: 24 lower-case hexadecimal digits, the same in every
// request of every installation.
std::string ClientGuid();

// The installation identifier: four parts, each 1..0xFFFF when assigned, all 0
// when none is known. Not thread-safe: the update checker uses it from its main
// thread only.
class InstallationId {
public:
    // Works on `path` (empty: "data\tsid.idx" below the common data directory,
    // whose directory is created when the path is built).
    explicit InstallationId(std::wstring path = {});

    // Reads the file's first 16 bytes into the four parts and sets the
    // loaded-from-file flag. Returns false, leaving parts and flag as they were,
    // when the file cannot be opened. A file that is not exactly 20 bytes long or
    // holds a part outside 1..0xFFFF counts as no identifier: the parts become 0
    // (a log line says why) and the flag is set.
    bool Load();

    // Parses four hexadecimal numbers separated by non-hexadecimal characters
    // ("0001-0002-0003-00a4"). Sets the parts and returns true only when all four
    // are present and in 1..0xFFFF; otherwise the parts keep their values.
    bool Parse(std::string_view text);

    // Writes the 20-byte file (the reserved word is 1 when the parts were loaded
    // from the file earlier, else 0) and clears the loaded-from-file flag. Does
    // nothing and returns false while all parts are 0; false when the file cannot
    // be written.
    bool Save();

    // Assignment from a "TSID" command-file value of exactly 16 characters: the
    // four groups of four joined with "-", parsed, then saved whatever the parse
    // gave. Returns the parse result; a value of another length changes nothing.
    bool Assign(std::string_view sixteen);

    // As Assign, but the save is left pending (a command file may hold many TSID
    // lines; the file is then written once): SavePending, ForRequest and
    // ForDownload make it, with the content and reserved word the saves of every
    // assignment in turn would have left.
    bool AssignDeferred(std::string_view sixteen);

    // Makes the save an earlier AssignDeferred left pending, if any. True when
    // nothing was pending or the save succeeded.
    bool SavePending();

    // The four parts as "%04lx%04lx%04lx%04lx" (sixteen zeros when none is known).
    std::string Format() const;

    // [tsid] of a base request: loaded from the file first unless that was done
    // since the last save (a pending save is made first).
    std::string ForRequest();
    // [tsid] of a download url: always loaded from the file first (a pending save
    // is made first).
    std::string ForDownload();

    const std::array<uint32_t, 4>& parts() const { return parts_; }
    bool loadedFromFile() const { return loaded_; }
    const std::wstring& path() const { return path_; }

private:
    // The file worked on; empty (logged) when the common data folder cannot be found.
    std::wstring FilePath() const;

    std::wstring path_;
    std::array<uint32_t, 4> parts_{};
    bool loaded_ = false;
    bool savePending_ = false;
};

// The process's identifier, bound to the default file.
InstallationId& ProcessInstallationId();

}  // namespace tessary
