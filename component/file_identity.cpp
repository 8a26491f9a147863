#include "component/file_identity.h"

#include <windows.h>

#include <cstdio>
#include <optional>
#include <vector>

#include "platform/text.h"
#include "platform/unique_resource.h"
#include "platform/version_info.h"

namespace tessary {
namespace {

constexpr DWORD kLongPathBuffer = MAX_PATH;  // the long form is taken only when it fits
constexpr DWORD kReadChunk = 4096;
constexpr WORD kFallbackCodePage = 1252;

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

bool OnMissingDrive(const std::wstring& longPath) {
    if (longPath.size() < 2 || longPath[1] != L':') return false;
    const wchar_t letter = longPath[0];
    if (!((letter >= L'A' && letter <= L'Z') || (letter >= L'a' && letter <= L'z'))) return false;
    const wchar_t root[] = {letter, L':', L'\\', L'\0'};
    return ::GetDriveTypeW(root) == DRIVE_NO_ROOT_DIR;
}

uint32_t SizeOnDisk(const std::wstring& path) {
    WIN32_FIND_DATAW entry;
    UniqueFind find(::FindFirstFileW(path.c_str(), &entry));
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
    if (!info.Load(path)) return out;
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

AppRecord Build(const std::wstring& rawPath, const std::wstring* givenMd5) {
    // Everything after an embedded zero is invisible to the system calls; drop it here too.
    const std::wstring path(rawPath.c_str());
    AppRecord record;
    // The caller's hash names the file even when it is gone: it keys the lookup,
    // the query, the submission link and the local permissions.
    if (givenMd5 != nullptr) record.md5 = WideToNarrow(*givenMd5);
    record.path = ExpandLongPath(path);
    const std::wstring fileName = LastComponent(record.path);

    if ((!fileName.empty() && OnMissingDrive(record.path)) ||
        ::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
        record.exeName = WideToNarrow(fileName);
        return record;
    }

    record.sizeOnDisk = SizeOnDisk(path);
    VersionStrings strings = ReadVersionStrings(path);
    record.version = std::move(strings.version);
    record.company = WideToNarrow(strings.company);
    record.applicationName = WideToNarrow(strings.applicationName);

    if (givenMd5 == nullptr && HashFile(path, &record.digest)) record.md5 = Md5ToHex(record.digest);

    record.path = NormalizePath(record.path);
    record.exeName = WideToNarrow(LastComponent(record.path));
    return record;
}

}  // namespace

bool HashFile(const std::wstring& path, Md5Digest* digest) {
    if (digest == nullptr) return false;
    UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) return false;
    LARGE_INTEGER size;
    if (!::GetFileSizeEx(file.get(), &size) || size.QuadPart > 0xFFFFFFFFLL) return false;

    Md5 md5;
    alignas(64) unsigned char chunk[kReadChunk];
    for (;;) {
        DWORD read = 0;
        // A read error leaves no digest: a partial one would name different content.
        if (!::ReadFile(file.get(), chunk, kReadChunk, &read, nullptr)) return false;
        if (read == 0) break;
        md5.Update(chunk, read);
    }
    *digest = md5.Final();
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
            UniqueFind find(::FindFirstFileW(prefix.c_str(), &entry));
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
