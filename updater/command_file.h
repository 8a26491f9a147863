#pragma once

// The text of a manifest command file and of its file entries, without acting on
// it: which lines run, the fields of a file entry, where an entry's path may be
// written and how a download url's placeholders are filled. The text comes from
// the service and may hold anything, NUL bytes included. Portable (no Windows
// headers); go_online.cpp carries the actions out.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessary {

// Longest url of a file entry, in characters.
inline constexpr size_t kMaxEntryUrlChars = 8191;
// Length of a "TSID" value: four groups of four characters.
inline constexpr size_t kTsidValueChars = 16;

enum class CommandKeyword { kTsid, kFile, kHFile };

// One line of a command file that has an action.
struct CommandAction {
    CommandKeyword keyword;
    // kTsid: exactly the kTsidValueChars characters before the line's CR LF.
    // kFile, kHFile: everything after the "=", to the end of the command file.
    std::string_view value;
};

// The actions of `text` in order. A line is a key, "=", and a value ended by
// CR LF; the key runs from the line's start to the next "=" wherever that is (a
// CR LF before it makes a key that matches nothing). A key matches a keyword
// when it equals the keyword's beginning over its own length (so an empty key is
// "TSID"), tried in the order TSID, FILE, HFILE. Lines with another key, and
// TSID lines whose value is not exactly 16 characters, give no action. The walk
// ends at the first line without "=" or without CR LF (that line is still read).
// The views point into `text`.
std::vector<CommandAction> CommandFileActions(std::string_view text);

// The fields of a file entry "url||path||age".
struct FileEntry {
    std::string url;
    std::string path;
    std::optional<uint32_t> minimumAgeMinutes;
};

// Splits a file entry value (which runs on to the end of the command file). The
// url must end before the line's CR LF and be at most kMaxEntryUrlChars long;
// otherwise nothing is returned. The path ends at the next "||" or CR LF; the
// age is the up to eight characters after that separator, read as hexadecimal
// when all of them are hexadecimal digits and not all "f".
std::optional<FileEntry> SplitFileEntry(std::string_view value);

// True when `url` holds no control character (a NUL among them): such a url
// means a broken entry and is never sent.
bool IsSendableEntryUrl(std::string_view url);

// Lower-cased path prefix whose files go to the common data directory.
inline constexpr char kSummaryPrefix[] = "data/summary/";

// For a path field holding kSummaryPrefix (in any letter case): the lower-cased
// text after it, a name below the common data directory. Nothing otherwise.
std::optional<std::string> SummaryFileName(std::string_view path);

// The folder an entry's file is written below when the caller names no target.
enum class EntryBase { kProgramDirectory, kCommonData };
struct EntryDestination {
    EntryBase base;
    std::string relative;  // joined below the base folder with a backslash
};

// Where the file of a path field goes: below the common data directory as
// SummaryFileName gives it, else the path field below the program's directory.
// Nothing when the path holds ".." or when the path or the name joined is not
// contained (IsContainedPath: separators, devices, drives, streams, length).
std::optional<EntryDestination> EntryDestinationOf(std::string_view path);

// The url with its placeholders filled, each only where it occurs (the first
// occurrence): "[guid]" becomes "[guid]=<guid>"; "[tsid]" becomes
// "[tsid]=<tsid()>", preceded by "||" when "[guid]" was filled; "[lang]" becomes
// "[lang]=<language>", preceded by "||" when either of the others was filled.
// `tsid` is called only when the url holds "[tsid]".
std::string FillEntryUrl(std::string_view url, std::string_view guid, const std::function<std::string()>& tsid,
                         std::string_view language);

}  // namespace tessary
