#include "updater/update_pass.h"

#include <objbase.h>
#include <shlwapi.h>

#include <cstdio>
#include <string>

#include "Logging/log_builder.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "platform/trust.h"
#include "platform/unique_resource.h"
#include "qntessary.h"
#include "store/data_paths.h"
#include "store/named_objects.h"
#include "platform/product_registry.h"
#include "store/settings.h"
#include "transport/winhttp_api.h"
#include "updater/event_report.h"
#include "updater/go_online.h"
#include "updater/staged_file.h"
#include "updater/store_merge.h"
#include "updater/updater_plugins.h"

#include <wrl/client.h>

namespace tessary {
namespace {

using ETWLogging::kSeverityError;
using ETWLogging::kSeverityInformation;
using ETWLogging::kSeverityWarning;
using Microsoft::WRL::ComPtr;

constexpr wchar_t kSource[] = L"TSUpdChk";

void SetEmptyCacheFlag() {
    const DWORD one = 1;
    ::SHSetValueW(HKEY_LOCAL_MACHINE, kLodanKey, kEmptyCacheValue, REG_DWORD, &one, sizeof(one));
}

// A line of the program entry's own steps: it names the entry, wWinMain, as its
// function, which is what support engineers search the log for.
template <typename... Args>
void LogFromEntry(DWORD severity, int line, const wchar_t* format, Args... args) {
    ETWLogging::CLoggingIf* logger = ETWLogging::ProcessLogger();
    if (logger != nullptr && logger->IsSeverityEnabled(severity)) {
        logger->Log(severity, kSource, L"wWinMain", line, format, args...);
    }
}

// Limits the process's library search to the system directory where the system offers it.
void RestrictLibrarySearch() {
    using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
    HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
    auto set = BindProc<SetDefaultDllDirectoriesFn>(kernel, "SetDefaultDllDirectories");
    if (set != nullptr) set(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

}  // namespace

DWORD ReadCheckerDword(const wchar_t* name) {
    DWORD value = 0;
    const registry::ReadResult result =
        registry::QueryDword(HKEY_LOCAL_MACHINE, keys::kTessary, name, &value, KEY_READ);
    if (result == registry::ReadResult::kRead) return value;
    if (std::wstring_view(name) != kTsCheckIntervalValue) return 0;
    // The default is stored only under a key that could be read: a key that is
    // missing or closed to this process is left alone.
    if (result != registry::ReadResult::kKeyAbsent && result != registry::ReadResult::kKeyFailed) {
        registry::WriteDword(HKEY_LOCAL_MACHINE, keys::kTessary, name, kDefaultCheckInterval);
    }
    return kDefaultCheckInterval;
}

namespace {

// What is known about earlier failed attempts on the merge file: how many there
// were, and which file they were made on (its size and last write time), so that
// a new download starts counting afresh.
struct MergeAttempts {
    unsigned count = 0;
    unsigned long long size = 0;
    unsigned long long written = 0;
};

bool MergeFileIdentity(const std::wstring& path, MergeAttempts* identity) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return false;
    identity->size = static_cast<unsigned long long>(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
    identity->written =
        static_cast<unsigned long long>(data.ftLastWriteTime.dwHighDateTime) << 32 | data.ftLastWriteTime.dwLowDateTime;
    return true;
}

// The counter file holds one line: "<attempts> <size> <last write time>". An
// unreadable or foreign counter counts as no earlier attempt.
MergeAttempts ReadAttempts(const std::wstring& counter) {
    MergeAttempts attempts;
    UniqueFile file(::CreateFileW(counter.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return attempts;
    char text[96] = {};
    DWORD read = 0;
    if (!::ReadFile(file.get(), text, sizeof(text) - 1, &read, nullptr)) return attempts;
    text[read] = '\0';
    long long count = 0;
    unsigned long long size = 0;
    unsigned long long written = 0;
    if (std::sscanf(text, "%lld %llu %llu", &count, &size, &written) != 3) return attempts;
    // A count no pass could have written ("-2", a huge number) makes this attempt the last.
    if (count < 0 || count >= static_cast<long long>(kMaxMergeAttempts)) count = kMaxMergeAttempts - 1;
    attempts = {static_cast<unsigned>(count), size, written};
    return attempts;
}

bool WriteAttempts(const std::wstring& counter, const MergeAttempts& attempts) {
    char text[96];
    const int length =
        std::snprintf(text, sizeof(text), "%u %llu %llu\r\n", attempts.count, attempts.size, attempts.written);
    UniqueFile file(
        ::CreateFileW(counter.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return file && length > 0 && ::WriteFile(file.get(), text, static_cast<DWORD>(length), &written, nullptr) &&
           written == static_cast<DWORD>(length) && ::FlushFileBuffers(file.get());
}

// Counts one more failed attempt on the merge file. Returns the attempts made so
// far, or 0 when the count could not be kept (the file cannot then be kept either:
// without a count nothing would stop it blocking every later pass).
unsigned CountFailedAttempt(const std::wstring& path, const std::wstring& counter) {
    MergeAttempts now;
    if (!MergeFileIdentity(path, &now)) return 0;
    const MergeAttempts before = ReadAttempts(counter);
    now.count = before.size == now.size && before.written == now.written ? before.count + 1 : 1;
    return WriteAttempts(counter, now) ? now.count : 0;
}

// Removes the merge file and its attempt counter once the file is done with (a
// merge file that stays would be merged again by every later pass). False, with
// the last error, when the merge file is still there.
bool RemoveMergeFile(const std::wstring& path, const std::wstring& counter) {
    const bool removed = DeleteFileEvenReadOnly(path);
    const DWORD error = ::GetLastError();
    DeleteFileEvenReadOnly(counter);
    // What the database library keeps beside a store (a write-ahead log and its
    // index, a rollback journal) goes with it: left behind, the next file of that
    // name would be read together with it.
    if (removed) {
        for (const wchar_t* suffix : {L"-wal", L"-shm", L"-journal"}) DeleteFileEvenReadOnly(path + suffix);
    }
    ::SetLastError(error);
    return removed;
}

}  // namespace

int processAppMergeFile() {
    const std::wstring data = ResolveDataPath(L"", DataBase::kCommonData);
    // Without the common data folder the name would be relative to the current
    // drive's root, a place anyone may write to.
    if (data.empty()) return 0;
    const std::wstring path = data + L"\\" + kAppMergeFileName;
    if (path.size() >= kMaxDataPath || ::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) return 0;
    const std::wstring counter = path + kMergeAttemptsSuffix;
    const MergeResult merge = MergeStoreFile(path);
    ApplyUpdateCheckerSettings();
    const std::wstring reason = NarrowToWide(merge.reason);
    switch (merge.outcome) {
        case MergeOutcome::kMerged:
            if (!RemoveMergeFile(path, counter)) {
                TS_LOG(kSeverityError, kSource, L"%s could not be deleted after its merge, error %lu", path.c_str(),
                       ::GetLastError());
            }
            TS_LOG(kSeverityInformation, kSource, L"%s was found and merged into local db.", path.c_str());
            break;
        case MergeOutcome::kRefused:
            if (RemoveMergeFile(path, counter)) {
                TS_LOG(kSeverityError, kSource, L"%s was refused and deleted: %s", path.c_str(), reason.c_str());
            } else {
                TS_LOG(kSeverityError, kSource, L"%s was refused: %s; it could not be deleted, error %lu", path.c_str(),
                       reason.c_str(), ::GetLastError());
            }
            break;
        case MergeOutcome::kRetry: {
            const unsigned attempts = CountFailedAttempt(path, counter);
            if (attempts > 0 && attempts < kMaxMergeAttempts) {
                TS_LOG(kSeverityError, kSource,
                       L"%s could not be merged into local db: %s; kept for the next pass (attempt %u of %u).",
                       path.c_str(), reason.c_str(), attempts, kMaxMergeAttempts);
            } else if (RemoveMergeFile(path, counter)) {
                TS_LOG(kSeverityError, kSource, L"%s could not be merged into local db: %s; deleted after %u attempts.",
                       path.c_str(), reason.c_str(), attempts > 0 ? attempts : 1u);
            } else {
                TS_LOG(kSeverityError, kSource,
                       L"%s could not be merged into local db: %s; given up after %u attempts, but it could not be "
                       L"deleted, error %lu",
                       path.c_str(), reason.c_str(), attempts > 0 ? attempts : 1u, ::GetLastError());
            }
            break;
        }
    }
    return 1;
}

void NotifyFirewall() {
    ComPtr<IQnEventBroker> broker;
    HRESULT hr = CreateTrustedObject(
        kEventBrokerClsid, CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER,
        kEventBrokerIid, reinterpret_cast<void**>(broker.GetAddressOf()));
    if (SUCCEEDED(hr) && broker) {
        UniqueBstr product(::SysAllocString(kFirewallProduct));
        UniqueBstr component(::SysAllocString(kFirewallComponent));
        ComPtr<IQnTessaryEvent> sink;
        DWORD cookie = 0;
        hr = broker->GetEventSink(product.get(), component.get(), nullptr, 0, IID_IQnTessaryEvent,
                                  reinterpret_cast<void**>(sink.GetAddressOf()), &cookie);
        // A success that hands out no sink has told the firewall nothing.
        if (SUCCEEDED(hr) && !sink) hr = E_NOINTERFACE;
        if (SUCCEEDED(hr)) hr = sink->OnDatabaseUpdated();
    } else if (SUCCEEDED(hr)) {
        hr = E_NOINTERFACE;
    }
    if (FAILED(hr)) SetEmptyCacheFlag();
}

DWORD TsUpdateThread() {
    // The key is opened with full access, as the checker always has; a missing key
    // or value leaves updates enabled.
    DWORD enabled = 1;
    DWORD value = 0;
    if (registry::QueryDword(HKEY_LOCAL_MACHINE, keys::kTessary, keys::kSettingOne, &value, KEY_ALL_ACCESS) ==
        registry::ReadResult::kRead) {
        enabled = value;
    }
    TS_LOG(kSeverityInformation, kSource, L"Update enabled: %d", static_cast<int>(enabled));
    if (enabled == 0) return 0;

    const DWORD interval = ReadCheckerDword(kTsCheckIntervalValue);
    getTsData(true, interval);
    if (processAppMergeFile() != 0) {
        const HRESULT hr = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        NotifyFirewall();
        if (SUCCEEDED(hr)) ::CoUninitialize();
    }
    return 0;
}

namespace {

// Folder levels below the common data and program folders that a command-file
// target (and so a staged download beside it) may lie in and the sweep visits.
constexpr unsigned kLeftoverSweepDepth = 8;

// Staged downloads and extraction folders of earlier passes that were killed
// before they could remove them: left alone, every killed pass would keep its
// share of the disk for good.
void RemoveLeftoversOfEarlierPasses(const std::wstring& programPath) {
    for (const std::wstring& root : {ResolveDataPath(L"", DataBase::kCommonData), ParentDirectory(programPath)}) {
        const LeftoverSweep sweep = RemoveStagingLeftovers(root, kLeftoverSweepDepth);
        if (sweep.removed > 0) {
            TS_LOG(kSeverityInformation, kSource,
                   L"Removed %u staged files and folders left in %s by earlier passes "
                   L"(%llu bytes in files)",
                   sweep.removed, root.c_str(), static_cast<unsigned long long>(sweep.bytes));
        }
        if (sweep.failed > 0) {
            TS_LOG(kSeverityWarning, kSource,
                   L"%u staged files and folders left in %s by earlier passes could not be "
                   L"removed",
                   sweep.failed, root.c_str());
        }
    }
}

}  // namespace

int RunUpdateChecker(HINSTANCE instance) noexcept {
    try {
        RestrictLibrarySearch();
        CreateNamedObjects(Deliverable::kUpdateChecker);
        ETWLogging::CDefaultLogBuilder(ETWLogging::kLogGroup, nullptr).GetLogger();
        // Objects found made by someone else were replaced before the logger ran; say so now.
        ReportReplacedNamedObjects();
        const std::wstring programPath = ModuleFilePath(instance);
        LogFromEntry(kSeverityInformation, __LINE__, L"*** %s was launched", programPath.c_str());
        // Before anything of this pass is staged, so nothing of it can be taken for a leftover.
        RemoveLeftoversOfEarlierPasses(programPath);

        // WinHTTP from the system directory, else by name; without it every exchange fails at once.
        winhttp::Load();

        const HRESULT hr = ::CoInitialize(nullptr);
        if (FAILED(hr)) {
            LogFromEntry(kSeverityError, __LINE__, L"CoInitialize failed with error 0x%x", static_cast<unsigned>(hr));
        } else {
            // The updater plug-ins, apartment-threaded, before the update routine; the
            // manager releases every plug-in before COM goes.
            {
                TSUpdaterPlugin::UpdaterPluginManager plugins;
                plugins.AddPluginsFromRegistry();
                plugins.RunAllUpdates();
            }
            ::CoUninitialize();
            TsUpdateThread();
            // The traffic summary report; its result is not used.
            RunEventReport();
        }
    } catch (...) {
        // Out of memory or similar: the pass ends here; the exit code stays 0.
        TS_LOG_CAUGHT(kSource, L"The update pass");
    }
    winhttp::Unload();
    ETWLogging::ShutdownProcessLogger();
    CloseNamedObjects();
    return 0;
}

}  // namespace tessary
