#include "component/file_identity.h"

#include <windows.h>

#include <cstdio>
#include <optional>
#include <vector>

#include "Logging/log_builder.h"
#include "platform/text.h"
#include "platform/unique_resource.h"
#include "platform/version_info.h"

namespace tessary {
namespace {

constexpr DWORD kLongPathBuffer = MAX_PATH;  // the long form is taken only when it fits
constexpr DWORD kReadChunk = 4096;
constexpr WORD kFallbackCodePage = 1252;
constexpr wchar_t kSource[] = L"QnTessaryIdentity";

// Text after the last backslash, or the whole text when there is none.
std::wstring LastComponent(const std::wstring& path) {
    const size_t slash = path.rfind(L'\\');
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

std::wstring ExpandLongPath(const std::wstring& path) {
    wchar_t buffer[kLongPathBuffer];
    const DWORD n = ::GetLongPathNameW(path.c_str(), buffer, kLongPathBuffer);
    // A result that does not fit reports the size it needs; keep the given path then.
    if (n == 0 || n >= kLongPathBuffer) return path;
    return std::wstring(buffer, n);
}

// The form the file system calls take: an absolute path of MAX_PATH characters or
// more gets the "\\?\" prefix ("\\?\UNC\" for a network path), which lifts the
// length limit. Such a path is not parsed any more by the system, so it is made
// full (".." and "." resolved, separators made backslashes) first. Shorter,
// relative and already prefixed paths are used as given.
std::wstring AccessForm(const std::wstring& path) {
    if (path.size() < MAX_PATH) return path;
    const bool drive = path.size() >= 3 && path[1] == L':' && (path[2] == L'\\' || path[2] == L'/');
    const bool network =
        path.size() >= 2 && (path[0] == L'\\' || path[0] == L'/') && (path[1] == L'\\' || path[1] == L'/');
    if (!drive && !network) return path;
    if (network && path.size() >= 3 && (path[2] == L'?' || path[2] == L'.')) return path;
    const DWORD needed = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0) return path;
    std::wstring full(needed, L'\0');
    const DWORD n = ::GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
    if (n == 0 || n >= needed) return path;
    full.resize(n);
    if (full.size() >= 2 && full[0] == L'\\' && full[1] == L'\\') return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

bool OnMissingDrive(const std::wstring& longPath) {
    if (longPath.size() < 2 || longPath[1] != L':') return false;
    const wchar_t letter = longPath[0];
    if (!((letter >= L'A' && letter <= L'Z') || (letter >= L'a' && letter <= L'z'))) return false;
    const wchar_t root[] = {letter, L':', L'\\', L'\0'};
    return ::GetDriveTypeW(root) == DRIVE_NO_ROOT_DIR;
}

uint32_t SizeOnDisk(const std::wstring& path) {
    WIN32_FIND_DATAW entry;
    UniqueFind find(::FindFirstFileW(AccessForm(path).c_str(), &entry));
    return find ? entry.nFileSizeLow : 0;
}

// The first translation whose query succeeds gives the value, even an empty one;
// an empty result is retried once with the first language and code page 1252,
// which is where many files keep their strings whatever the table says.
std::wstring LookUpString(const VersionInfo& info, const std::vector<VersionInfo::Translation>& table,
                          std::wstring_view name) {
    if (table.empty()) return {};
    std::optional<std::wstring> value;
    for (const auto& entry : table) {
        value = info.QueryString(entry.language, entry.codePage, name);
        if (value) break;
    }
    if (!value || value->empty()) {
        if (auto retry = info.QueryString(table.front().language, kFallbackCodePage, name)) value = std::move(retry);
    }
    return value.value_or(std::wstring());
}

struct VersionStrings {
    std::string version;
    std::wstring company;
    std::wstring applicationName;
};

VersionStrings ReadVersionStrings(const std::wstring& path) {
    VersionStrings out;
    VersionInfo info;
    if (!info.Load(AccessForm(path))) return out;
    // A block without the fixed-info signature is not trusted for anything.
    const VS_FIXEDFILEINFO* fixed = info.FixedInfo();
    if (fixed == nullptr) return out;
    const unsigned major = HIWORD(fixed->dwFileVersionMS);
    const unsigned minor = LOWORD(fixed->dwFileVersionMS);
    if (major != 0) {
        char text[16];
        std::snprintf(text, sizeof text, "%u.%u", major, minor);
        out.version = text;
    }
    const auto table = info.Translations();
    out.company = LookUpString(info, table, L"CompanyName");
    out.applicationName = LookUpString(info, table, L"FileDescription");
    if (out.applicationName.empty()) out.applicationName = LookUpString(info, table, L"ProductName");
    return out;
}

// Why a file's content could not be hashed, as its log line says it.
void LogNoHash(const std::wstring& path, DWORD error) {
    switch (error) {
        case ERROR_PATH_NOT_FOUND:
        case ERROR_FILE_NOT_FOUND:
            TS_LOG(ETWLogging::kSeverityWarning, kSource, L"No hash of %s: the file is not there (error %lu).",
                   path.c_str(), error);
            break;
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
            TS_LOG(ETWLogging::kSeverityWarning, kSource,
                   L"No hash of %s: another program holds the file without sharing it (error %lu).", path.c_str(),
                   error);
            break;
        case ERROR_FILE_TOO_LARGE:
            TS_LOG(ETWLogging::kSeverityWarning, kSource, L"No hash of %s: the file is 4 GiB or larger.", path.c_str());
            break;
        default:
            TS_LOG(ETWLogging::kSeverityWarning, kSource, L"No hash of %s: error %lu.", path.c_str(), error);
            break;
    }
}

// HashFile's work: ERROR_SUCCESS with the digest, ERROR_FILE_TOO_LARGE for a file
// of 4 GiB or more, or the error that stopped the open or a read.
DWORD HashContent(const std::wstring& path, Md5Digest* digest) {
    // Every sharing mode: a program that has the file open for writing or deleting
    // (an installer, a running update, an editor) keeps it the same file, and the
    // identity must not depend on who else has it open. Only an opener that shares
    // nothing, or no reads, keeps the content from being hashed.
    UniqueFile file(::CreateFileW(AccessForm(path).c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) return ::GetLastError();
    LARGE_INTEGER size;
    if (!::GetFileSizeEx(file.get(), &size)) return ::GetLastError();
    if (size.QuadPart > 0xFFFFFFFFLL) return ERROR_FILE_TOO_LARGE;

    Md5 md5;
    alignas(64) unsigned char chunk[kReadChunk];
    for (;;) {
        DWORD read = 0;
        // A read error leaves no digest: a partial one would name different content.
        if (!::ReadFile(file.get(), chunk, kReadChunk, &read, nullptr)) return ::GetLastError();
        if (read == 0) break;
        md5.Update(chunk, read);
    }
    *digest = md5.Final();
    return ERROR_SUCCESS;
}

AppRecord Build(const std::wstring& rawPath, const std::wstring* givenMd5) {
    // Everything after an embedded zero is invisible to the system calls; drop it here too.
    const std::wstring path(rawPath.c_str());
    AppRecord record;
    // The caller's hash names the file even when it is gone: it keys the lookup,
    // the query, the submission link and the local permissions.
    if (givenMd5 != nullptr) record.md5 = WideToNarrow(*givenMd5);
    record.path = ExpandLongPath(path);
    const std::wstring fileName = LastComponent(record.path);

    // A drive letter mapped in another logon session (a user's network drive seen
    // from the service account) is missing here: say so, since the file may well exist.
    if (!fileName.empty() && OnMissingDrive(record.path)) {
        if (givenMd5 == nullptr) {
            TS_LOG(ETWLogging::kSeverityWarning, kSource,
                   L"No hash of %s: drive %s does not exist in this logon session.", path.c_str(),
                   record.path.substr(0, 2).c_str());
        }
        record.exeName = WideToNarrow(fileName);
        return record;
    }
    if (::GetFileAttributesW(AccessForm(path).c_str()) == INVALID_FILE_ATTRIBUTES) {
        if (givenMd5 == nullptr) LogNoHash(path, ::GetLastError());
        record.exeName = WideToNarrow(fileName);
        return record;
    }

    record.sizeOnDisk = SizeOnDisk(path);
    VersionStrings strings = ReadVersionStrings(path);
    record.version = std::move(strings.version);
    record.company = WideToNarrow(strings.company);
    record.applicationName = WideToNarrow(strings.applicationName);

    if (givenMd5 == nullptr) {
        const DWORD error = HashContent(path, &record.digest);
        if (error == ERROR_SUCCESS) {
            record.md5 = Md5ToHex(record.digest);
        } else {
            LogNoHash(path, error);
        }
    }

    record.path = NormalizePath(record.path);
    record.exeName = WideToNarrow(LastComponent(record.path));
    return record;
}

}  // namespace

bool HashFile(const std::wstring& path, Md5Digest* digest) {
    if (digest == nullptr) return false;
    Md5Digest result;
    if (HashContent(path, &result) != ERROR_SUCCESS) return false;
    *digest = result;
    return true;
}

std::wstring NormalizePath(std::wstring_view longPath) {
    std::wstring path(longPath);
    if (path.empty()) return path;
    // The system's pretty form: a path with no lower-case letter becomes all lower case,
    // first character included. Done here because shell implementations disagree on
    // whether PathMakePrettyW lowers the first character, and the drive letter must be.
    ::CharUpperBuffW(path.data(), static_cast<DWORD>(path.size()));
    bool anyLower = false;
    for (wchar_t c : path) {
        if (::IsCharLowerW(c)) {
            anyLower = true;
            break;
        }
    }
    if (!anyLower) ::CharLowerBuffW(path.data(), static_cast<DWORD>(path.size()));

    if (path.size() >= 2 && path[0] == L'\\' && path[1] == L'\\') return path;

    // Walk from the last component to the first; the text before the first
    // backslash (the drive) is never looked up.
    size_t end = path.size();
    while (end > 0) {
        const size_t slash = path.rfind(L'\\', end - 1);
        if (slash == std::wstring::npos) break;
        const size_t length = end - slash - 1;
        if (length > 0) {
            const std::wstring prefix = path.substr(0, end);
            WIN32_FIND_DATAW entry;
            UniqueFind find(::FindFirstFileW(AccessForm(prefix).c_str(), &entry));
            // Take the stored name only when it is this component in another case
            // (a wildcard or a short name could match an entry of another name).
            if (find && ::CompareStringOrdinal(entry.cFileName, -1, path.data() + slash + 1, static_cast<int>(length),
                                               TRUE) == CSTR_EQUAL) {
                path.replace(slash + 1, length, entry.cFileName);
            }
        }
        end = slash;
    }
    return path;
}

AppRecord BuildFromPath(const std::wstring& path) { return Build(path, nullptr); }

AppRecord BuildFromPathAndHash(const std::wstring& path, const std::wstring& md5) { return Build(path, &md5); }

AppRecord BuildEmpty() { return AppRecord{}; }

}  // namespace tessary
