#include "Logging/logging.h"

#include <knownfolders.h>
#include <objbase.h>
#include <shlobj.h>

#include <new>

#include "platform/paths.h"
#include "platform/protected_ini.h"
#include "platform/transient_retry.h"
#include "platform/unique_resource.h"

namespace tessary::ETWLogging {
namespace {

constexpr char kConfigSection[] = "Config";
constexpr char kLastLogIdxKey[] = "LastLogIdx";
constexpr wchar_t kSettingsFileName[] = L"log.ini";
constexpr wchar_t kByteOrderMark = 0xFEFF;
constexpr DWORD kShareReadWrite = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr DWORD kFileAttributes = FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_ARCHIVE;
// How long the module settings file must have been left alone before a value
// read from it is reused on the strength of its size and times: longer than the
// coarsest file-time step of a local volume (two seconds on FAT), in 100 ns units.
constexpr uint64_t kSettledFileAge = 4ull * 10'000'000;

uint64_t FileTimeValue(const FILETIME& time) {
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// The log folders below the program-data folder.
constexpr wchar_t kLogFolders[] = L"Quellon\\QNLOGS";

std::wstring ProgramDataFolder() {
    UniqueTaskString folder;
    // 0x8000: KF_FLAG_CREATE, so a missing folder is created rather than refused.
    if (FAILED(::SHGetKnownFolderPath(FOLDERID_ProgramData, 0x8000, nullptr, folder.put())) || !folder) return {};
    try {
        return std::wstring(folder.get());
    } catch (const std::bad_alloc&) {
        return {};
    }
}

bool WriteBytes(HANDLE file, const void* data, DWORD size) {
    DWORD written = 0;
    return ::WriteFile(file, data, size, &written, nullptr) && written == size;
}

// The thread's last error, or `fallback` when a call failed without setting one.
DWORD LastErrorOr(DWORD fallback) {
    const DWORD error = ::GetLastError();
    return error != ERROR_SUCCESS ? error : fallback;
}

// Opens (OPEN_ALWAYS) the log file `path` with `access`. A new file gets the
// model's descriptor for files only SYSTEM and Administrators read. The opened
// handle must be a plain file with one name: a reparse point or a second link
// (planted before the folder was ours) is closed again and refused, so no line
// is written elsewhere through it. *existed tells whether it was there.
DWORD OpenLogFile(const std::wstring& path, DWORD access, UniqueFile* file, bool* existed) {
    security::Descriptor descriptor = security::BuildDescriptor(security::Secured::kPrivateFile);
    if (!descriptor) return ERROR_NOT_ENOUGH_MEMORY;
    security::ReportSecurityCall(security::SecurityCall::kCreateFile, path, descriptor.get());
    // A scanner or indexer that has the file open without sharing for a moment is
    // waited for, within the bounded retry; a refusal that lasts loses the line.
    // Access denied is not waited out: a process of a standard user meets it on
    // every line (the files are for SYSTEM and Administrators only).
    RetryTransient(
        [&] {
            file->reset(::CreateFileW(path.c_str(), access, kShareReadWrite, descriptor.attributes(), OPEN_ALWAYS,
                                      kFileAttributes | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
            return static_cast<bool>(*file);
        },
        TransientErrors::kSharingOnly);
    if (!*file) return LastErrorOr(ERROR_OPEN_FAILED);
    *existed = ::GetLastError() == ERROR_ALREADY_EXISTS;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(file->get(), &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 ||
        info.nNumberOfLinks > 1) {
        file->reset();
        return ERROR_CANT_ACCESS_FILE;
    }
    return kLogSuccess;
}

// Opens `path` for appending, creating it (with the byte order mark) when absent;
// *existed tells whether it was there. Append-only access: every write lands at
// the current end of the file, even when another handle (thread or process)
// appended since this one was opened. Returns kLogSuccess or the system error.
DWORD OpenForAppend(const std::wstring& path, UniqueFile* file, bool* existed) {
    const DWORD opened = OpenLogFile(path, GENERIC_READ | FILE_APPEND_DATA, file, existed);
    if (opened != kLogSuccess) return opened;
    if (!*existed && !WriteBytes(file->get(), &kByteOrderMark, sizeof(kByteOrderMark))) {
        const DWORD error = LastErrorOr(ERROR_WRITE_FAULT);
        file->reset();
        return error;
    }
    return kLogSuccess;
}

// One settings key: its acceptable range and where the value goes.
struct SettingKey {
    const char* name;
    int64_t minimum;
    int64_t maximum;
    DWORD defaultValue;
};

// "Enable" and "Options" accept any integer; the other three their ranges.
constexpr SettingKey kSettingKeys[] = {
    {"Enable", INT64_MIN, INT64_MAX, 1},
    {"MaxSize", kMinMaxSize, kMaxMaxSize, kDefaultMaxSize},
    {"MaxEntries", kMinMaxEntries, kMaxMaxEntries, kDefaultMaxEntries},
    {"Severity", 0, kSeverityInformationHigh, kDefaultSeverity},
    {"Options", INT64_MIN, INT64_MAX, kDefaultOptions},
};

// Reads `key` from `reader`: true with *value when present and acceptable. A
// present but unacceptable value is replaced in that file by the default, which
// is then the value the file gives.
bool ReadSetting(CObfuscatedIniReader& reader, const IniDocument& document, const SettingKey& key, int64_t* value) {
    const std::string* text = document.Find(kConfigSection, key.name);
    if (text == nullptr) return false;
    int64_t parsed = 0;
    if (ParseIniInteger(*text, &parsed) && parsed >= key.minimum && parsed <= key.maximum) {
        *value = parsed;
        return true;
    }
    reader.WriteInt(kConfigSection, key.name, key.defaultValue);
    *value = key.defaultValue;
    return true;
}

}  // namespace

std::wstring FileNamePart(const std::wstring& path) {
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

std::wstring WithoutExtension(const std::wstring& name) {
    const size_t dot = name.rfind(L'.');
    return dot == std::wstring::npos ? name : name.substr(0, dot);
}

CLogging::CLogging() : CLoggerBase(LoggingMechanism::kFile, kFileMessageLimit) {}

CLogging::CLogging(std::wstring logRoot) : CLogging() {
    fixedRoot_ = std::move(logRoot);
    if (!fixedRoot_.empty() && fixedRoot_.back() != L'\\') fixedRoot_ += L'\\';
}

CLogging::~CLogging() = default;

DWORD CLogging::Initialize(const wchar_t* group, const wchar_t* modulePath, const wchar_t* suffix) {
    if ((group != nullptr && *group == L'\0') || (suffix != nullptr && *suffix == L'\0')) return kLogInvalidParameter;
    if (initialized_) return kLogAlreadyInitialized;
    DWORD result;
    try {
        result = InitializeUnchecked(group, modulePath, suffix);
    } catch (const std::bad_alloc&) {
        result = kLogOutOfMemory;
    }
    if (result != kLogSuccess) Reset();
    return result;
}

DWORD CLogging::InitializeUnchecked(const wchar_t* group, const wchar_t* modulePath, const wchar_t* suffix) {
    if (fixedRoot_.empty()) {
        rootBase_ = ProgramDataFolder();
        if (rootBase_.empty()) return ERROR_PATH_NOT_FOUND;
        root_ = rootBase_ + L"\\" + kLogFolders + L"\\";
    } else {
        root_ = fixedRoot_;
        rootBase_ = fixedRoot_.substr(0, fixedRoot_.size() - 1);
    }

    std::wstring path = modulePath != nullptr ? std::wstring(modulePath) : ModuleFilePath(nullptr);
    if (path.empty()) return modulePath != nullptr ? kLogInvalidParameter : LastErrorOr(ERROR_INVALID_HANDLE);
    module_ = WithoutExtension(FileNamePart(path));
    if (module_.empty()) return kLogInvalidParameter;
    // The tag names the executable, and only when the logger speaks for it.
    tag_ = modulePath == nullptr ? FileNamePart(path) : std::wstring();
    group_ = group != nullptr ? group : L"";
    suffix_ = suffix != nullptr ? suffix : L"";

    directory_ = group_.empty() ? root_ + module_ : root_ + group_ + L"\\" + module_;
    moduleIni_ = directory_ + L"\\" + kSettingsFileName;
    globalIni_ = root_ + kSettingsFileName;
    processId_ = ::GetCurrentProcessId();
    ReadSettings();
    initialized_ = true;
    return kLogSuccess;
}

void CLogging::ReadSettings() {
    CObfuscatedIniReader moduleReader(moduleIni_);
    CObfuscatedIniReader globalReader(globalIni_);
    if (!moduleReader.Exists() && !globalReader.Exists()) return;
    const IniDocument moduleDocument = moduleReader.Load();
    const IniDocument globalDocument = globalReader.Load();

    for (const SettingKey& key : kSettingKeys) {
        int64_t value = key.defaultValue;
        if (!ReadSetting(moduleReader, moduleDocument, key, &value)) {
            ReadSetting(globalReader, globalDocument, key, &value);
        }
        const std::string_view name = key.name;
        if (name == "Enable") {
            SetEnabled(value != 0);
        } else if (name == "MaxSize") {
            SetMaxSize(static_cast<DWORD>(value));
        } else if (name == "MaxEntries") {
            SetMaxEntries(static_cast<DWORD>(value));
        } else if (name == "Severity") {
            StoreSeverity(static_cast<DWORD>(value));
        } else {
            options_ = static_cast<DWORD>(value);
        }
    }
}

void CLogging::Reset() {
    std::lock_guard<std::mutex> lock(fileLock_);
    initialized_ = false;
    for (std::wstring* s :
         {&root_, &rootBase_, &group_, &module_, &tag_, &suffix_, &directory_, &moduleIni_, &globalIni_}) {
        s->clear();
        s->shrink_to_fit();
    }
    processId_ = 0;
    lastIndex_ = IndexSnapshot{};
    options_ = kDefaultOptions;
    directoryReady_ = false;
    directoryFailed_ = false;
    RestoreDefaultSettings();
}

DWORD CLogging::Shutdown() {
    if (!initialized_) return kLogNotInitialized;
    Reset();
    return kLogSuccess;
}

std::wstring CLogging::LogFilePath(unsigned long index) const {
    // "%0.3lu": at least three digits.
    std::wstring digits = std::to_wstring(index);
    if (digits.size() < 3) digits.insert(0, 3 - digits.size(), L'0');
    std::wstring path = directory_ + L"\\" + module_;
    if (!suffix_.empty()) path += L"_" + suffix_;
    return path + digits + L".log";
}

namespace {
// Set while this thread makes or checks the log folders: a line the folder code
// reports on the way (a take-over) comes back into this logger, and waiting for
// the folder lock this thread holds would never end. Such a line is dropped.
thread_local bool t_makingDirectory = false;
}  // namespace

bool CLogging::EnsureDirectory() {
    if (directoryReady_) return true;
    if (t_makingDirectory) return false;
    // The first lines of several threads would otherwise check and take over the
    // same folders at once.
    std::lock_guard<std::mutex> lock(directoryLock_);
    t_makingDirectory = true;
    struct Reset {
        ~Reset() { t_makingDirectory = false; }
    } reset;
    if (directoryReady_) return true;
    if (directoryFailed_) return false;
    // Every level below the program-data folder (or the root the logger was
    // given) is one of the product's folders: made with the model's descriptor or
    // taken over, and refused when a link stands in its place, so no log line
    // follows a link to somewhere else.
    if ((fixedRoot_.empty() || CreateDirectoryTree(rootBase_, DirectoryCreation::kKernel)) &&
        SecureFolderTree(rootBase_, std::wstring_view(directory_).substr(rootBase_.size() + 1),
                         security::Secured::kProductFolder, security::Secured::kProductFolder)) {
        directoryReady_ = true;
        return true;
    }
    // Logging stays off for the life of this logger.
    directoryFailed_ = true;
    SetEnabled(false);
    StoreSeverity(kSeverityOff);
    return false;
}

int64_t CLogging::ReadLastLogIndex() {
    // Every line asks the settings file for the current index (another process
    // may have rotated). A look at its size and times costs a fraction of opening
    // and decoding it, so the decoded value is reused while they stay the same.
    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    WIN32_FILE_ATTRIBUTE_DATA data{};
    const bool seen = ::GetFileAttributesExW(moduleIni_.c_str(), GetFileExInfoStandard, &data) != FALSE;
    if (!seen) {
        const DWORD error = ::GetLastError();
        lastIndex_.valid = false;
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return 0;
    }
    const uint64_t size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    const uint64_t written = FileTimeValue(data.ftLastWriteTime);
    const uint64_t created = FileTimeValue(data.ftCreationTime);
    if (seen && lastIndex_.valid && lastIndex_.size == size && lastIndex_.written == written &&
        lastIndex_.created == created) {
        return lastIndex_.index;
    }

    int64_t index = 0;
    bool loaded = false;
    if (CObfuscatedIniReader(moduleIni_).ReadInt(kConfigSection, kLastLogIdxKey, &index, &loaded) !=
        IniLookup::kValue) {
        index = 0;
    }
    // Only what the file's content said is kept: a file that could not be read this
    // time (shared away, out of memory) is read again on the next line. A time
    // stamp from the future (a clock set back) never counts as settled.
    const uint64_t current = FileTimeValue(now);
    const uint64_t newest = written > created ? written : created;
    lastIndex_ = IndexSnapshot{seen && loaded && newest <= current && current - newest > kSettledFileAge, size, written,
                               created, index};
    return index;
}

DWORD CLogging::OpenCurrentFile(HANDLE* result) {
    const DWORD maxEntries = GetMaxEntries();
    const DWORD maxSize = GetMaxSize();

    int64_t index = ReadLastLogIndex();
    if (index >= 0 && index < static_cast<int64_t>(maxEntries)) {
        // The size is asked of the open file, so a full file is seen as full by
        // the handle that would write to it.
        const std::wstring current = LogFilePath(static_cast<unsigned long>(index));
        UniqueFile file;
        bool existed = false;
        const DWORD opened = OpenForAppend(current, &file, &existed);
        if (opened == kLogSuccess) {
            LARGE_INTEGER size{};
            if (!existed || !::GetFileSizeEx(file.get(), &size) || size.LowPart < maxSize) {
                *result = file.Take();
                return kLogSuccess;
            }
        } else {
            // A full file that cannot be written to (read-only, say) is still left
            // behind for the next one; any other refusal loses the line.
            WIN32_FILE_ATTRIBUTE_DATA data{};
            if (!::GetFileAttributesExW(current.c_str(), GetFileExInfoStandard, &data) || data.nFileSizeLow < maxSize) {
                return opened;
            }
        }
        index = (index + 1) % maxEntries;
    } else {
        index = 0;
    }
    const std::wstring path = LogFilePath(static_cast<unsigned long>(index));

    // Empty the reused file and start it with the byte order mark before any line
    // goes in through the append-only handle below.
    {
        // Emptied through the handle that was checked, not by a truncating open by name.
        UniqueFile fresh;
        bool existed = false;
        const DWORD reopened = OpenLogFile(path, GENERIC_READ | GENERIC_WRITE, &fresh, &existed);
        if (reopened != kLogSuccess) return reopened;
        // A hidden or system attribute (set by hand or by a cleaning tool) would make
        // any later open that re-creates the file by name fail; the reused file
        // starts plain, cleared through the handle that was checked.
        FILE_BASIC_INFO basic{};
        if (existed && ::GetFileInformationByHandleEx(fresh.get(), FileBasicInfo, &basic, sizeof(basic)) &&
            (basic.FileAttributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) != 0) {
            basic.FileAttributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
            if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
            basic.CreationTime.QuadPart = basic.LastAccessTime.QuadPart = basic.LastWriteTime.QuadPart =
                basic.ChangeTime.QuadPart = 0;  // zero: times left as they are
            if (!::SetFileInformationByHandle(fresh.get(), FileBasicInfo, &basic, sizeof(basic))) {
                return LastErrorOr(ERROR_WRITE_FAULT);
            }
        }
        if (!::SetEndOfFile(fresh.get())) return LastErrorOr(ERROR_WRITE_FAULT);
        if (!WriteBytes(fresh.get(), &kByteOrderMark, sizeof(kByteOrderMark))) return LastErrorOr(ERROR_WRITE_FAULT);
    }
    lastIndex_.valid = false;
    CObfuscatedIniReader(moduleIni_).WriteInt(kConfigSection, kLastLogIdxKey, index);

    UniqueFile file;
    bool existed = false;
    const DWORD opened = OpenForAppend(path, &file, &existed);
    if (opened != kLogSuccess) return opened;
    *result = file.Take();
    return kLogSuccess;
}

DWORD CLogging::Write(const wchar_t* sourceFile, const wchar_t* function, int line, DWORD severity,
                      const wchar_t* text) {
    if (!initialized_) return kLogNotInitialized;
    if (SeverityName(severity) == nullptr || text == nullptr || *text == L'\0') return kLogInvalidParameter;
    try {
        if (!EnsureDirectory()) return kLogInvalidParameter;

        SYSTEMTIME now{};
        ::GetLocalTime(&now);
        LineFields fields;
        fields.time = LineTime{now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
        fields.severity = severity;
        fields.options = options_;
        fields.tag = tag_;
        fields.processId = processId_;
        fields.threadId = ::GetCurrentThreadId();
        fields.sourceFile = sourceFile != nullptr ? sourceFile : L"";
        fields.line = line;
        fields.function = function != nullptr ? function : L"";
        const std::wstring_view message(text);
        fields.message = message.substr(0, CutLength(message, kFileMessageLimit));
        const std::wstring formatted = FormatLogLine(fields);

        {
            // The threads of this process take turns from choosing the file to
            // closing it: a rotation never empties a file under another thread's
            // line, and no line depends on the file system making concurrent
            // appends atomic. Other processes rely on the append-only handle.
            std::lock_guard<std::mutex> lock(fileLock_);
            UniqueFile file;
            const DWORD opened = OpenCurrentFile(file.put());
            if (opened != kLogSuccess) return opened;
            if (!WriteBytes(file.get(), formatted.data(), static_cast<DWORD>(formatted.size() * sizeof(wchar_t)))) {
                return LastErrorOr(ERROR_WRITE_FAULT);
            }
        }
        if (fields.options & kOptionDebugOutput) ::OutputDebugStringW(formatted.c_str());
        return kLogSuccess;
    } catch (const std::bad_alloc&) {
        return kLogOutOfMemory;
    }
}

}  // namespace tessary::ETWLogging
