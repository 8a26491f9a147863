#pragma once

// The manifest exchange of the update checker: one request per pass carrying the
// installation's identity, the time since the last request, the number of new
// firewall events and the store version; the answer is a command file whose
// lines assign the installation identifier and name files to download (a
// cabinet first, the plain database file as fallback). Log lines name the
// source "GoOnline".

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "updater/command_file.h"

namespace tessary {

// Values under HKEY_LOCAL_MACHINE "SOFTWARE\Quellon\Tessary".
inline constexpr wchar_t kTsUrlValue[] = L"TsUrl";
inline constexpr wchar_t kNumEventsValue[] = L"NumEvents";
// The firewall's event database below the common data directory.
inline constexpr wchar_t kEventLogName[] = L"data\\log.edb";
// Size of one record of the event database.
inline constexpr uint32_t kEventRecordSize = 48;
// A report page (HFILE) is stored only when it carries this marker.
inline constexpr char kReportMarker[] = "<!--Report OK-->";
// Longest base request, in characters (the longest file entry url is in command_file.h).
inline constexpr size_t kMaxBaseRequestChars = 259;
// Largest command file (the manifest's or a plug-in request's answer) taken, in
// bytes: a hundred entries with the longest url fit many times over.
inline constexpr uint64_t kMaxCommandFileBytes = 1024 * 1024;
// Largest cabinet or file one entry downloads, in bytes (the body goes to a
// temporary file as it arrives, never into memory).
inline constexpr uint64_t kMaxDownloadFileBytes = 256ull * 1024 * 1024;
// What one command file may make the pass do, so that a hostile answer cannot
// fill the disk or hold the pass for days with many entries each within the
// per-download caps: at most kMaxCommandFileEntries FILE and HFILE entries
// download (an entry that stops before its download, for its age or a bad path,
// does not count; later ones download nothing and fail, with one log line),
// their downloads together take at most kMaxCommandFileDownloadBytes, and no
// download starts once kMaxCommandFileDownloadMs have passed since the command
// file began.
inline constexpr size_t kMaxCommandFileEntries = 64;
inline constexpr uint64_t kMaxCommandFileDownloadBytes = 1024ull * 1024 * 1024;
inline constexpr ULONGLONG kMaxCommandFileDownloadMs = 60ull * 60 * 1000;

// Downloads a command file from `url` into *text: true only when the service
// answered with a success status and the whole body, at most
// kMaxCommandFileBytes, arrived within the download deadline
// (DownloadBounded). A refused or stopped download is logged with the reason.
bool DownloadCommandFile(const std::wstring& url, std::string* text);

// The manifest base URL: "TsUrl" when present (at most 259 characters), else the
// built-in manifest endpoint.
std::wstring ManifestBaseUrl();

// Events recorded in "data\log.edb" since the last request: the file size
// (low 32 bits) divided by 48, minus 1, less "NumEvents" (the whole total when
// "NumEvents" is larger), and "NumEvents" set to that total. 0 without the file,
// and "NumEvents" is then left alone. A file shorter than one record counts 0.
uint32_t CountNewEvents();

// "%s[guid]=%s||[tsid]=%s||[lang]=%s||[build]=%s" cut to 259 characters.
std::string BaseRequest(const std::string& baseUrl, const std::string& tsid);
// The base followed by [dtime], [events], [appdb] and the closing "||[VS]".
std::string FullRequest(const std::string& base, int32_t dtime, uint32_t events, const std::string& version);

// One manifest exchange: writes "TsTime" (now, before sending) and the event
// count, sends the request and runs the command-file interpreter on the answer.
// Without `forced`, nothing is done while less than `interval` seconds have
// passed since "TsTime".
void getTsData(bool forced, DWORD interval);

// Runs the command file `text` (`length` bytes; NUL bytes are plain characters):
// "TSID" lines assign the installation identifier, "FILE" lines download files
// (to `target` when given) and "HFILE" lines report pages, in the order
// CommandFileActions gives them. Deletes
// "data\oemtoken.xdb" relative to the working directory first. Returns the
// result of the last FILE line; false when there was none or the text is empty.
bool InterpretCommandFile(const char* text, size_t length, const std::wstring* target);

// The text of a command file (CommandFileActions, SplitFileEntry, FileEntry,
// EntryDestinationOf) is read by command_file.h, included above.

// Downloads one file entry. True when the target file was replaced by a
// complete new file (written beside it, flushed and moved over it in one step;
// on any failure the target keeps its content). Refuses a path with ".." (and,
// where the path names the target, any path that is not contained below its
// folder, or whose folder cannot be found), skips a target younger than the
// entry's minimum age, tries "<url without .xdb>.cab" first for a ".xdb" url,
// then the plain url. A cabinet counts only when signed by a trusted publisher
// and extracted whole into a private folder beside the target, and only its
// "<cabinet name>.xdb" replaces the target; everything else it held is
// deleted. A report page is written only when it carries kReportMarker.
bool processTsCmdFile(std::string_view value, bool reportPage, const std::wstring* target);

}  // namespace tessary
