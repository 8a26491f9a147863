#include "updater/go_online.h"

#include <cstdio>
#include <ctime>

#include "Logging/log_builder.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "platform/strings.h"
#include "platform/text.h"
#include "platform/trust.h"
#include "platform/unique_resource.h"
#include "store/data_paths.h"
#include "store/product_keys.h"
#include "transport/service_exchange.h"
#include "transport/service_urls.h"
#include "updater/cab_extract.h"
#include "updater/cabinet_names.h"
#include "updater/installation_id.h"
#include "updater/store_merge.h"

namespace tessary {
namespace {

using ETWLogging::kSeverityError;
using ETWLogging::kSeverityInformation;

constexpr wchar_t kSource[] = L"GoOnline";
constexpr char kLanguage[] = "en";
constexpr char kBuild[] = "18900";
constexpr wchar_t kOemTokenName[] = L"data\\oemtoken.xdb";
constexpr int64_t kFileTimeUnitsPerMinute = 600000000;

// A manifest, cabinet or file download. Only a whole body counts: a transfer cut
// short would be written over a good target, or read as a shorter command file.
bool Download(const std::wstring& url, std::string* body) { return DownloadWhole(url.c_str(), body); }

bool WriteWholeFile(const std::wstring& path, const std::string& bytes) {
    UniqueFile file(
        ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    DWORD written = 0;
    return bytes.empty() ||
           (::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
            written == bytes.size());
}

bool FileExists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::wstring ProgramDirectory() { return ParentDirectory(ModuleFilePath(nullptr)); }

// The file the entry's download replaces.
std::wstring EntryTarget(const std::string& path) {
    if (const std::optional<std::string> summary = SummaryFileName(path)) {
        return ResolveDataPath(L"", DataBase::kCommonData) + L"\\" + NarrowToWide(*summary);
    }
    return ProgramDirectory() + L"\\" + NarrowToWide(path);
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

// The cabinet attempt for a ".xdb" url; true when the target now holds the
// database extracted from a trusted cabinet.
bool TryCabinet(const std::string& url, const std::wstring& target) {
    const std::wstring cabUrl = NarrowToWide(url.substr(0, url.size() - 4) + ".cab");
    TS_LOG(kSeverityInformation, kSource, L"Trying download %s", cabUrl.c_str());
    std::string body;
    if (!Download(cabUrl, &body)) {
        TS_LOG(kSeverityInformation, kSource, L"Downloading cab failed, fallback to xdb.");
        return false;
    }
    TS_LOG(kSeverityInformation, kSource, L"Cab downloaded with %d bytes", static_cast<int>(body.size()));

    size_t cut = cabUrl.rfind(L'/');
    if (cut == std::wstring::npos) cut = cabUrl.rfind(L'\\');
    if (cut == std::wstring::npos || cut == 0) return false;
    const std::wstring segment = cabUrl.substr(cut + 1);
    // The name comes from the service: it must stay a plain file name in the target's directory.
    if (!IsContainedCabinetName(WideToUtf8(segment)) || segment.find(L'?') != std::wstring::npos) return false;
    const std::wstring targetDirectory = ParentDirectory(target);
    const std::wstring cabinet = targetDirectory + L"\\" + segment;

    ::DeleteFileW(cabinet.c_str());
    if (!WriteWholeFile(cabinet, body)) {
        TS_LOG(kSeverityError, kSource, L"Failed to open %s", cabinet.c_str());
        ::DeleteFileW(cabinet.c_str());
        return false;
    }
    TS_LOG(kSeverityInformation, kSource, L"%d bytes written to %s", static_cast<int>(body.size()), cabinet.c_str());

    const int trust = IsFileTrusted(cabinet) ? 0 : 1;
    TS_LOG(kSeverityInformation, kSource, L"Checking digital signature of %s, result = %d", cabinet.c_str(), trust);
    if (trust != 0) {
        ::DeleteFileW(cabinet.c_str());
        return false;
    }

    ExtractCab(WideToNarrow(cabinet), WideToNarrow(targetDirectory));
    const size_t dot = cabinet.rfind(L'.');
    const std::wstring expected = cabinet.substr(0, dot) + L".xdb";
    bool replaced = false;
    if (FileExists(expected)) {
        // When the cabinet's database carries the target's own name it is already in place.
        // Otherwise it replaces the target in one step, so a failed move keeps the old file.
        if (AsciiEqualsIgnoreCase(WideToUtf8(expected), WideToUtf8(target)) ||
            ::MoveFileExW(expected.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
            TS_LOG(kSeverityInformation, kSource, L"%s was found and renamed to %s successfully", expected.c_str(),
                   target.c_str());
            replaced = true;
        } else {
            TS_LOG(kSeverityError, kSource, L"Failed to renamed %s to %s with error %d", expected.c_str(),
                   target.c_str(), static_cast<int>(::GetLastError()));
        }
    } else {
        TS_LOG(kSeverityError, kSource, L"Expected xdb doesn't exist: %s", expected.c_str());
    }
    ::DeleteFileW(cabinet.c_str());
    return replaced;
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
    if (Download(url, &response) && !response.empty()) {
        TS_LOG(kSeverityInformation, kSource, L"Response from server: %s", NarrowToWide(response).c_str());
        InterpretCommandFile(response.data(), response.size(), nullptr);
    } else {
        TS_LOG(kSeverityInformation, kSource, L"No response received from server");
    }
}

bool InterpretCommandFile(const char* text, size_t length, const std::wstring* target) {
    ::DeleteFileW(kOemTokenName);
    if (text == nullptr || length == 0) return false;
    bool result = false;
    for (const CommandAction& action : CommandFileActions(std::string_view(text, length))) {
        switch (action.keyword) {
            case CommandKeyword::kTsid:
                ProcessInstallationId().Assign(action.value);
                break;
            case CommandKeyword::kFile:
                result = processTsCmdFile(action.value, false, target);
                break;
            case CommandKeyword::kHFile:
                processTsCmdFile(action.value, true, nullptr);
                break;
        }
    }
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
        // The path comes from the service: it must name a file below the directory it is joined to.
        if (!IsContainedEntryPath(entry->path)) return false;
        targetFile = EntryTarget(entry->path);
    }

    if (entry->minimumAgeMinutes) {
        const std::optional<int64_t> minutes = MinutesSinceWrite(targetFile);
        if (minutes && *minutes < static_cast<int64_t>(*entry->minimumAgeMinutes)) return false;
    }

    if (url.size() >= 5 && AsciiEqualsIgnoreCase(std::string_view(url).substr(url.size() - 4), ".xdb") &&
        TryCabinet(url, targetFile)) {
        return true;
    }

    const std::wstring wideUrl = NarrowToWide(url);
    TS_LOG(kSeverityInformation, kSource, L"Trying download %s", wideUrl.c_str());
    std::string body;
    if (!Download(wideUrl, &body)) {
        TS_LOG(kSeverityInformation, kSource, L"Downloading xdb failed.");
        return false;
    }
    TS_LOG(kSeverityInformation, kSource, L"Xdb downloaded with %d bytes", static_cast<int>(body.size()));
    if (reportPage && body.find(kReportMarker) == std::string::npos) return false;
    if (!WriteWholeFile(targetFile, body)) return false;
    TS_LOG(kSeverityInformation, kSource, L"%d bytes written to %s", static_cast<int>(body.size()), targetFile.c_str());
    return true;
}

}  // namespace tessary
