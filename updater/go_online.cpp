#include "updater/go_online.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

#include "Logging/log_builder.h"
#include "platform/contained_path.h"
#include "platform/owner_check.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "platform/strings.h"
#include "platform/text.h"
#include "platform/trust.h"
#include "platform/unique_resource.h"
#include "store/data_paths.h"
#include "platform/product_registry.h"
#include "transport/service_exchange.h"
#include "transport/service_urls.h"
#include "updater/cab_extract.h"
#include "updater/installation_id.h"
#include "updater/staged_file.h"
#include "updater/store_merge.h"

namespace tessary {
namespace {

using ETWLogging::kSeverityError;
using ETWLogging::kSeverityInformation;
using ETWLogging::kSeverityWarning;

constexpr wchar_t kSource[] = L"GoOnline";
constexpr char kLanguage[] = "en";
constexpr char kBuild[] = "18900";
constexpr wchar_t kOemTokenName[] = L"data\\oemtoken.xdb";
constexpr int64_t kFileTimeUnitsPerMinute = 600000000;

const wchar_t* OutcomeText(DownloadOutcome outcome) {
    switch (outcome) {
        case DownloadOutcome::kComplete:
            return L"complete";
        case DownloadOutcome::kTooLarge:
            return L"the service announced more bytes than allowed";
        case DownloadOutcome::kDeadline:
            return L"the answer did not arrive within the download deadline";
        case DownloadOutcome::kRefusedBySink:
            return L"the bytes could not be stored";
        case DownloadOutcome::kFailed:
            break;
    }
    return L"no complete answer with a success status";
}

// Logs why a download that got an answer stopped (a plain failure needs no second line).
void LogStopped(const std::wstring& url, DownloadOutcome outcome, const ExchangeStatus& status) {
    if (outcome == DownloadOutcome::kComplete) return;
    if (outcome == DownloadOutcome::kFailed) {
        // The pass's own lines say that the file did not come; this says why.
        TS_LOG(kSeverityWarning, kSource, L"Download of %s failed: %s", url.c_str(), DescribeExchange(status).c_str());
        return;
    }
    TS_LOG(kSeverityError, kSource, L"Download of %s stopped: %s", url.c_str(), OutcomeText(outcome));
}

std::wstring ProgramDirectory() { return ParentDirectory(ModuleFilePath(nullptr)); }

// The file an entry's download replaces; nothing (logged) when its folder
// cannot be found, so that a relative name never lands at a drive's root.
std::optional<std::wstring> EntryTarget(const EntryDestination& destination) {
    const bool common = destination.base == EntryBase::kCommonData;
    const std::wstring base = common ? ResolveDataPath(L"", DataBase::kCommonData) : ProgramDirectory();
    const std::wstring relative = NarrowToWide(destination.relative);
    if (base.empty()) {
        TS_LOG(kSeverityError, kSource, L"The %s could not be found, %s is not downloaded",
               common ? L"common data folder" : L"program folder", relative.c_str());
        return std::nullopt;
    }
    // The name was checked as narrow text; check what it became as well.
    if (!IsContainedPath(relative)) return std::nullopt;
    return base + L"\\" + relative;
}

// Whole minutes since `path` was last written; nothing when it cannot be read.
std::optional<int64_t> MinutesSinceWrite(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return std::nullopt;
    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    auto value = [](const FILETIME& t) {
        return static_cast<int64_t>(uint64_t{t.dwHighDateTime} << 32 | t.dwLowDateTime);
    };
    return (value(now) - value(data.ftLastWriteTime)) / kFileTimeUnitsPerMinute;
}

// What the command file being run has spent (one per InterpretCommandFile call,
// on its thread); null outside one.
struct CommandFileBudget {
    size_t entries = 0;
    uint64_t bytes = 0;
    ULONGLONG start = ::GetTickCount64();
    bool exhaustedLogged = false;
};
thread_local CommandFileBudget* t_budget = nullptr;

// Sets the thread's budget for the life of the object.
class BudgetScope {
public:
    explicit BudgetScope(CommandFileBudget* budget) : previous_(t_budget) { t_budget = budget; }
    ~BudgetScope() { t_budget = previous_; }
    BudgetScope(const BudgetScope&) = delete;
    BudgetScope& operator=(const BudgetScope&) = delete;

private:
    CommandFileBudget* previous_;
};

// Takes one more entry from the budget; false (logged once) when the command
// file has used its entries, bytes or time.
bool TakeEntry(CommandFileBudget& budget) {
    const char* spent = nullptr;
    if (budget.entries >= kMaxCommandFileEntries) {
        spent = "entries";
    } else if (budget.bytes >= kMaxCommandFileDownloadBytes) {
        spent = "download bytes";
    } else if (::GetTickCount64() - budget.start >= kMaxCommandFileDownloadMs) {
        spent = "download time";
    }
    if (spent == nullptr) {
        ++budget.entries;
        return true;
    }
    if (!budget.exhaustedLogged) {
        budget.exhaustedLogged = true;
        TS_LOG(kSeverityError, kSource, L"The command file has used its %hs; its remaining file entries are skipped",
               spent);
    }
    return false;
}

// Downloads `url` into `staged`, bounded by
// kMaxDownloadFileBytes (and what the command file has left of its bytes) and the download deadline. With `marker`,
// *markerFound tells whether the body holds it (also across the pieces it arrives in).
DownloadOutcome DownloadToFile(const std::wstring& url, StagedFile* staged, const char* marker = nullptr,
                               bool* markerFound = nullptr) {
    const std::string_view wanted = marker != nullptr ? marker : "";
    std::string window;
    if (markerFound != nullptr) *markerFound = false;
    uint64_t maxBytes = kMaxDownloadFileBytes;
    if (t_budget != nullptr) {
        const uint64_t left =
            t_budget->bytes < kMaxCommandFileDownloadBytes ? kMaxCommandFileDownloadBytes - t_budget->bytes : 0;
        if (left < maxBytes) maxBytes = left;
    }
    ExchangeStatus status;
    const DownloadOutcome outcome = DownloadBounded(
        url.c_str(),
        [&](const char* bytes, size_t count) {
            if (!staged->Write(bytes, count)) return false;
            if (!wanted.empty() && markerFound != nullptr && !*markerFound) {
                window.append(bytes, count);
                *markerFound = window.find(wanted) != std::string::npos;
                if (window.size() >= wanted.size()) window.erase(0, window.size() - (wanted.size() - 1));
            }
            return true;
        },
        maxBytes, &status);
    if (t_budget != nullptr) t_budget->bytes += staged->size();
    LogStopped(url, outcome, status);
    return outcome;
}

// Deletes the downloaded cabinet whatever becomes of the attempt (waiting
// within the bound for a scanner that holds the new file); one that stays is logged.
class CabinetFileGuard {
public:
    explicit CabinetFileGuard(std::wstring path) : path_(std::move(path)) {}
    ~CabinetFileGuard() {
        if (!DeleteFileEvenReadOnly(path_)) {
            const DWORD error = ::GetLastError();
            TS_LOG(kSeverityWarning, kSource, L"Cabinet %s could not be deleted, error %lu", path_.c_str(), error);
        }
    }
    CabinetFileGuard(const CabinetFileGuard&) = delete;
    CabinetFileGuard& operator=(const CabinetFileGuard&) = delete;

private:
    std::wstring path_;
};

// The cabinet attempt for a ".xdb" url; true when the target now holds the
// database extracted from a trusted cabinet.
bool TryCabinet(const std::string& url, const std::wstring& target) {
    const std::wstring cabUrl = NarrowToWide(url.substr(0, url.size() - 4) + ".cab");
    size_t cut = cabUrl.rfind(L'/');
    if (cut == std::wstring::npos) cut = cabUrl.rfind(L'\\');
    if (cut == std::wstring::npos || cut == 0) return false;
    const std::wstring segment = cabUrl.substr(cut + 1);
    // The name comes from the service: it must be a plain file name (no folder,
    // device, stream or query) in the target's directory.
    const std::wstring targetDirectory = ParentDirectory(target);
    if (!IsContainedFileName(segment)) {
        TS_LOG(kSeverityError, kSource, L"Cabinet name %s is not a plain file name, not downloaded", segment.c_str());
        return false;
    }
    if (targetDirectory.empty()) {
        TS_LOG(kSeverityError, kSource, L"Target %s has no folder, cabinet not downloaded", target.c_str());
        return false;
    }
    const std::wstring cabinet = targetDirectory + L"\\" + segment;
    // A cabinet that would take the target's own file (under any spelling)
    // would replace it unchecked, and its clean-up would delete the delivery.
    if (NamesSameFile(cabinet, target)) {
        TS_LOG(kSeverityWarning, kSource, L"Cabinet %s is the target itself, not downloaded", cabinet.c_str());
        return false;
    }

    TS_LOG(kSeverityInformation, kSource, L"Trying download %s", cabUrl.c_str());
    StagedFile staged;
    if (!staged.Create(targetDirectory)) {
        TS_LOG(kSeverityError, kSource, L"Failed to open %s", cabinet.c_str());
        return false;
    }
    if (DownloadToFile(cabUrl, &staged) != DownloadOutcome::kComplete) {
        TS_LOG(kSeverityInformation, kSource, L"Downloading cab failed, fallback to xdb.");
        return false;
    }
    const int size = static_cast<int>(staged.size());
    TS_LOG(kSeverityInformation, kSource, L"Cab downloaded with %d bytes", size);
    CabinetFileGuard removeCabinet(cabinet);
    if (!staged.CommitTo(cabinet)) {
        const DWORD error = ::GetLastError();
        TS_LOG(kSeverityError, kSource, L"Failed to open %s", cabinet.c_str());
        TS_LOG(kSeverityError, kSource, L"The downloaded cabinet could not take the name %s: error %lu",
               cabinet.c_str(), error);
        return false;
    }
    TS_LOG(kSeverityInformation, kSource, L"%d bytes written to %s", size, cabinet.c_str());

    // Held open, denying writers and deleters, from the owner check to the end of
    // the extraction: the cabinet whose signature is checked is the cabinet that
    // is unpacked.
    const UniqueFile heldCabinet(::CreateFileW(cabinet.c_str(), GENERIC_READ | READ_CONTROL, FILE_SHARE_READ, nullptr,
                                               OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    const security::FileOwner cabinetOwner =
        heldCabinet ? security::PlainFileOwner(heldCabinet.get(), cabinet) : security::FileOwner::kUnreadable;
    if (cabinetOwner != security::FileOwner::kTrusted) {
        TS_LOG(kSeverityError, kSource, L"Cabinet %s is %s, not used", cabinet.c_str(),
               security::OwnerText(cabinetOwner));
        return false;
    }

    const LONG trust = FileTrustCode(cabinet);
    TS_LOG(kSeverityInformation, kSource, L"Checking digital signature of %s, result = %d", cabinet.c_str(),
           static_cast<int>(trust));
    if (trust != 0) return false;

    // Unpacked into a folder of its own beside the target (so the move below
    // stays on one volume); whatever else the cabinet held goes with the folder.
    PrivateFolder folder;
    if (!folder.Create(targetDirectory)) {
        TS_LOG(kSeverityError, kSource, L"Failed to create a folder for %s in %s, error %d", cabinet.c_str(),
               targetDirectory.c_str(), static_cast<int>(::GetLastError()));
        return false;
    }
    std::vector<std::wstring> produced;
    const bool extracted = ExtractCab(cabinet, folder.path(), &produced);
    const std::wstring expected = folder.path() + L"\\" + segment.substr(0, segment.rfind(L'.')) + L".xdb";
    // Only a file this extraction wrote completely counts, never one that was there before.
    const bool found = extracted && std::any_of(produced.begin(), produced.end(), [&](const std::wstring& file) {
                           return NamesSameFile(file, expected);
                       });
    if (!found) {
        TS_LOG(kSeverityError, kSource, L"Expected xdb doesn't exist: %s", expected.c_str());
        return false;
    }
    const std::optional<security::FileOwner> extractedOwner = security::OwnerOfFile(expected);
    if (extractedOwner != security::FileOwner::kTrusted) {
        TS_LOG(kSeverityError, kSource, L"Extracted %s is %s, not used", expected.c_str(),
               security::OwnerText(extractedOwner.value_or(security::FileOwner::kUnreadable)));
        return false;
    }
    if (!MoveOntoTarget(expected, target)) {
        const DWORD error = ::GetLastError();
        TS_LOG(kSeverityError, kSource, L"Failed to renamed %s to %s with error %d", expected.c_str(), target.c_str(),
               static_cast<int>(error));
        return false;
    }
    TS_LOG(kSeverityInformation, kSource, L"%s was found and renamed to %s successfully", expected.c_str(),
           target.c_str());
    return true;
}

}  // namespace

std::wstring ManifestBaseUrl() {
    std::wstring url;
    if (registry::ReadString(HKEY_LOCAL_MACHINE, keys::kTessary, kTsUrlValue, &url) && !url.empty() &&
        url.size() <= kMaxBaseRequestChars) {
        return url;
    }
    return BuiltInUrl(ServiceEndpoint::kManifest);
}

uint32_t CountNewEvents() {
    DWORD recorded = 0;
    if (!registry::ReadDword(HKEY_LOCAL_MACHINE, keys::kTessary, kNumEventsValue, &recorded)) recorded = 0;
    const std::wstring path = ResolveDataPath(kEventLogName, DataBase::kCommonData);
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
    // An event log shorter than one record holds no event (not 2^32 - 1 of them).
    const uint32_t total = data.nFileSizeLow >= kEventRecordSize ? data.nFileSizeLow / kEventRecordSize - 1 : 0;
    const uint32_t count = total >= recorded ? total - recorded : total;
    registry::WriteDword(HKEY_LOCAL_MACHINE, keys::kTessary, kNumEventsValue, total);
    return count;
}

std::string BaseRequest(const std::string& baseUrl, const std::string& tsid) {
    std::string base =
        baseUrl + "[guid]=" + ClientGuid() + "||[tsid]=" + tsid + "||[lang]=" + kLanguage + "||[build]=" + kBuild;
    if (base.size() > kMaxBaseRequestChars) base.resize(kMaxBaseRequestChars);
    return base;
}

std::string FullRequest(const std::string& base, int32_t dtime, uint32_t events, const std::string& version) {
    char numbers[64];
    std::snprintf(numbers, sizeof(numbers), "||[dtime]=%d||[events]=%d", static_cast<int>(dtime),
                  static_cast<int>(events));
    return base + numbers + "||[appdb]=" + version + "||[VS]";
}

void getTsData(bool forced, DWORD interval) {
    ResolveDataPath(L"", DataBase::kCommonData);
    const DWORD now = static_cast<DWORD>(std::time(nullptr));
    DWORD last = 0;
    if (!registry::ReadDword(HKEY_LOCAL_MACHINE, keys::kTessary, keys::kTsTime, &last)) last = 0;
    const int32_t dtime = static_cast<int32_t>(now - last);
    if (!forced && last != 0 && dtime >= 0 && static_cast<DWORD>(dtime) < interval) return;

    const uint32_t events = CountNewEvents();
    registry::WriteDword(HKEY_LOCAL_MACHINE, keys::kTessary, keys::kTsTime, now);

    const std::string base = BaseRequest(WideToNarrow(ManifestBaseUrl()), ProcessInstallationId().ForRequest());
    const std::string request = FullRequest(base, dtime, events, RecordStoreVersion());
    const std::wstring url = NarrowToWide(request);
    TS_LOG(kSeverityInformation, kSource, L"Sending url to server: %s", url.c_str());

    std::string response;
    if (DownloadCommandFile(url, &response) && !response.empty()) {
        TS_LOG(kSeverityInformation, kSource, L"Response from server: %s", NarrowToWide(response).c_str());
        InterpretCommandFile(response.data(), response.size(), nullptr);
    } else {
        TS_LOG(kSeverityInformation, kSource, L"No response received from server");
    }
}

bool DownloadCommandFile(const std::wstring& url, std::string* text) {
    std::string received;
    ExchangeStatus status;
    const DownloadOutcome outcome = DownloadBounded(
        url.c_str(),
        [&received](const char* bytes, size_t count) {
            received.append(bytes, count);
            return true;
        },
        kMaxCommandFileBytes, &status);
    LogStopped(url, outcome, status);
    if (outcome != DownloadOutcome::kComplete) return false;
    text->swap(received);
    return true;
}

bool InterpretCommandFile(const char* text, size_t length, const std::wstring* target) {
    ::DeleteFileW(kOemTokenName);
    if (text == nullptr || length == 0) return false;
    CommandFileBudget budget;
    const BudgetScope scope(&budget);
    bool result = false;
    for (const CommandAction& action : CommandFileActions(std::string_view(text, length))) {
        switch (action.keyword) {
            case CommandKeyword::kTsid:
                // Written once, after the file is read (or before a download asks for it).
                ProcessInstallationId().AssignDeferred(action.value);
                break;
            case CommandKeyword::kFile:
                result = processTsCmdFile(action.value, false, target);
                break;
            case CommandKeyword::kHFile:
                processTsCmdFile(action.value, true, nullptr);
                break;
        }
    }
    ProcessInstallationId().SavePending();
    return result;
}

bool processTsCmdFile(std::string_view value, bool reportPage, const std::wstring* target) {
    std::optional<FileEntry> entry = SplitFileEntry(value);
    if (!entry || entry->path.find("..") != std::string::npos) return false;
    // The url is sent as it is: one with control characters is a broken entry.
    if (!IsSendableEntryUrl(entry->url)) return false;
    const std::string url = FillEntryUrl(
        entry->url, ClientGuid(), [] { return ProcessInstallationId().ForDownload(); }, kLanguage);

    std::wstring targetFile;
    if (target != nullptr) {
        targetFile = *target;
    } else {
        // The path comes from the service: it must name a file below the folder it is joined to.
        const std::optional<EntryDestination> destination = EntryDestinationOf(entry->path);
        if (!destination) return false;
        std::optional<std::wstring> resolved = EntryTarget(*destination);
        if (!resolved) return false;
        targetFile = std::move(*resolved);
    }
    // Every later comparison and log line uses the name Windows opens.
    const std::wstring spelled = std::move(targetFile);
    targetFile = FullPathOf(spelled);
    if (targetFile.empty()) {
        TS_LOG(kSeverityError, kSource, L"The path %s could not be resolved, not downloaded", spelled.c_str());
        return false;
    }
    const std::wstring directory = ParentDirectory(targetFile);
    if (directory.empty()) {
        TS_LOG(kSeverityError, kSource, L"Target %s has no folder, not downloaded", targetFile.c_str());
        return false;
    }

    if (entry->minimumAgeMinutes) {
        const std::optional<int64_t> minutes = MinutesSinceWrite(targetFile);
        if (minutes && *minutes < static_cast<int64_t>(*entry->minimumAgeMinutes)) return false;
    }

    // Only an entry that is about to download counts against its command file's budget.
    if (t_budget != nullptr && !TakeEntry(*t_budget)) return false;

    if (url.size() >= 5 && AsciiEqualsIgnoreCase(std::string_view(url).substr(url.size() - 4), ".xdb") &&
        TryCabinet(url, targetFile)) {
        return true;
    }

    const std::wstring wideUrl = NarrowToWide(url);
    TS_LOG(kSeverityInformation, kSource, L"Trying download %s", wideUrl.c_str());
    StagedFile staged;
    if (!staged.Create(directory)) {
        TS_LOG(kSeverityError, kSource, L"Failed to open %s", targetFile.c_str());
        return false;
    }
    bool marked = false;
    if (DownloadToFile(wideUrl, &staged, reportPage ? kReportMarker : nullptr, &marked) != DownloadOutcome::kComplete) {
        TS_LOG(kSeverityInformation, kSource, L"Downloading xdb failed.");
        return false;
    }
    const int size = static_cast<int>(staged.size());
    TS_LOG(kSeverityInformation, kSource, L"Xdb downloaded with %d bytes", size);
    if (reportPage && !marked) return false;
    if (!staged.CommitTo(targetFile)) {
        const DWORD error = ::GetLastError();
        TS_LOG(kSeverityError, kSource, L"Failed to replace %s with the download, error %d", targetFile.c_str(),
               static_cast<int>(error));
        return false;
    }
    TS_LOG(kSeverityInformation, kSource, L"%d bytes written to %s", size, targetFile.c_str());
    return true;
}

}  // namespace tessary
