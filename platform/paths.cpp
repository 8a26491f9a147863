#include "platform/paths.h"

#include <aclapi.h>
#include <shlobj.h>
#include <winternl.h>

#include <new>
#include <vector>

#include "platform/contained_path.h"
#include "platform/platform_log.h"
#include "platform/transient_retry.h"
#include "platform/unique_resource.h"

namespace tessary {
namespace {

// Longest path the wide Win32 file functions accept, terminator included.
constexpr DWORD kMaxLongPath = 32768;

// LOAD_LIBRARY_SEARCH_SYSTEM32 is understood wherever AddDllDirectory exists
// (Windows 8, and Windows 7 with the loader update); older loaders reject the flag.
bool LoaderHasSearchFlags() {
    HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
    return kernel != nullptr && ::GetProcAddress(kernel, "AddDllDirectory") != nullptr;
}

std::wstring FullPath(const std::wstring& path) {
    DWORD needed = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0) return {};
    std::wstring full(needed, L'\0');
    DWORD written = ::GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
    if (written == 0 || written >= needed) return {};
    full.resize(written);
    return full;
}

// Creates each missing level of `path` from the first one below the drive or share.
bool CreateLevels(const std::wstring& path) {
    if (IsDirectory(path)) return true;
    size_t pos = 0;
    if (path.size() >= 2 && path[0] == L'\\' && path[1] == L'\\') {
        pos = path.find(L'\\', 2);                                          // after server
        pos = pos == std::wstring::npos ? pos : path.find(L'\\', pos + 1);  // after share
    } else {
        pos = path.find(L'\\');
    }
    while (pos != std::wstring::npos) {
        const std::wstring level = path.substr(0, pos);
        if (!level.empty() && level.back() != L':' && !IsDirectory(level)) ::CreateDirectoryW(level.c_str(), nullptr);
        pos = path.find(L'\\', pos + 1);
    }
    ::CreateDirectoryW(path.c_str(), nullptr);
    return IsDirectory(path);
}

}  // namespace

bool IsDirectory(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool GetShellFolder(int csidl, std::wstring* out) {
    if (out == nullptr) return false;
    out->clear();
    wchar_t buffer[MAX_PATH] = {};
    const HRESULT hr = ::SHGetFolderPathW(nullptr, csidl | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT, buffer);
    if (hr != S_OK) {
        PLATFORM_REPORT(platform_log::kWarning, L"Cannot find shell folder 0x%x: 0x%08lx.",
                        static_cast<unsigned>(csidl), static_cast<unsigned long>(hr));
        return false;
    }
    buffer[MAX_PATH - 1] = L'\0';
    out->assign(buffer);
    return true;
}

std::wstring ModuleFilePath(HMODULE module) {
    std::wstring path;
    for (DWORD capacity = MAX_PATH;; capacity *= 2) {
        path.assign(capacity, L'\0');
        DWORD length = ::GetModuleFileNameW(module, path.data(), capacity);
        if (length == 0) return {};
        // A result that fills the buffer was truncated (older systems do not even
        // set ERROR_INSUFFICIENT_BUFFER): retry with more room, up to the longest path.
        if (length < capacity) {
            path.resize(length);
            return path;
        }
        if (capacity >= kMaxLongPath) return {};
    }
}

std::wstring SystemDirectoryFile(const wchar_t* fileName) {
    UINT needed = ::GetSystemDirectoryW(nullptr, 0);
    if (needed == 0) return {};
    std::wstring path(needed, L'\0');
    UINT length = ::GetSystemDirectoryW(path.data(), needed);
    if (length == 0 || length >= needed) return {};
    path.resize(length);
    if (fileName != nullptr && *fileName != L'\0') {
        if (path.back() != L'\\') path.push_back(L'\\');
        path.append(fileName);
    }
    return path;
}

HMODULE LoadSystemLibrary(const wchar_t* dllName) {
    if (dllName == nullptr || *dllName == L'\0' ||
        std::wstring_view(dllName).find_first_of(L"\\/:") != std::wstring_view::npos) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    HMODULE module = nullptr;
    if (LoaderHasSearchFlags()) {
        module = ::LoadLibraryExW(dllName, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    } else {
        const std::wstring path = SystemDirectoryFile(dllName);
        if (!path.empty()) module = ::LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    }
    if (module == nullptr) {
        PLATFORM_REPORT(platform_log::kWarning, L"Cannot load system library %s: error %lu.", dllName,
                        ::GetLastError());
    }
    return module;
}

std::wstring QuoteSpaces(std::wstring_view path) {
    const bool quoted = path.size() >= 2 && path.front() == L'"' && path.back() == L'"';
    if (quoted || path.find(L' ') == std::wstring_view::npos) return std::wstring(path);
    std::wstring result;
    result.reserve(path.size() + 2);
    result.push_back(L'"');
    result.append(path);
    result.push_back(L'"');
    return result;
}

namespace {

bool CreateTree(const std::wstring& dir, DirectoryCreation how) {
    if (how == DirectoryCreation::kKernel) return CreateLevels(dir);
    // SHCreateDirectoryExW refuses relative paths (ERROR_BAD_PATHNAME).
    const std::wstring full = FullPath(dir);
    if (full.empty()) return false;
    const int result = ::SHCreateDirectoryExW(nullptr, full.c_str(), nullptr);
    if (result == ERROR_SUCCESS) return true;
    if (result == ERROR_ALREADY_EXISTS || result == ERROR_FILE_EXISTS) return IsDirectory(full);
    ::SetLastError(static_cast<DWORD>(result));
    return false;
}

}  // namespace

bool CreateDirectoryTree(const std::wstring& dir, DirectoryCreation how) {
    if (dir.empty()) return false;
    if (CreateTree(dir, how)) return true;
    PLATFORM_REPORT(platform_log::kWarning, L"Cannot create directory %s: error %lu.", dir.c_str(), ::GetLastError());
    return false;
}

std::wstring ParentDirectory(std::wstring_view path) {
    const size_t slash = LastPathSeparator(path);
    if (slash == std::wstring_view::npos) return {};
    return std::wstring(path.substr(0, slash));
}

namespace {

// Access every removal needs: delete, clear the read-only attribute, list a folder.
constexpr ACCESS_MASK kRemoveAccess =
    DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | FILE_LIST_DIRECTORY | SYNCHRONIZE;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Opens `name`, an entry listed from the folder `parent`, relative to that
// folder's handle and without following a reparse point.
UniqueFile OpenEntry(HANDLE parent, std::wstring_view name) {
    UNICODE_STRING text;
    text.Buffer = const_cast<wchar_t*>(name.data());
    text.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    text.MaximumLength = text.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, parent, nullptr);
    IO_STATUS_BLOCK status{};
    HANDLE opened = nullptr;
    const NTSTATUS result = ::NtCreateFile(
        &opened, kRemoveAccess, &attributes, &status, nullptr, 0, kShareAll, FILE_OPEN,
        FILE_OPEN_REPARSE_POINT | FILE_OPEN_FOR_BACKUP_INTENT | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (result < 0) {
        ::SetLastError(::RtlNtStatusToDosError(result));
        return UniqueFile();
    }
    return UniqueFile(opened);
}

// The names in the folder `folder`, listed through its handle.
bool ListEntries(HANDLE folder, std::vector<std::wstring>* names) {
    std::vector<BYTE> buffer(64 * 1024);
    FILE_INFO_BY_HANDLE_CLASS request = FileIdBothDirectoryRestartInfo;
    for (;;) {
        if (!::GetFileInformationByHandleEx(folder, request, buffer.data(), static_cast<DWORD>(buffer.size()))) {
            return ::GetLastError() == ERROR_NO_MORE_FILES;
        }
        request = FileIdBothDirectoryInfo;
        for (size_t offset = 0;;) {
            const auto* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(buffer.data() + offset);
            const std::wstring_view name(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
            if (name != L"." && name != L"..") names->emplace_back(name);
            if (entry->NextEntryOffset == 0) break;
            offset += entry->NextEntryOffset;
        }
    }
}

// Marks the opened entry for deletion (it goes when its last handle closes),
// clearing the read-only attribute first.
bool DeleteOpened(HANDLE entry, DWORD attributes) {
    if (attributes & FILE_ATTRIBUTE_READONLY) {
        FILE_BASIC_INFO basic{};
        basic.FileAttributes = attributes & ~FILE_ATTRIBUTE_READONLY;
        if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
        ::SetFileInformationByHandle(entry, FileBasicInfo, &basic, sizeof(basic));
    }
    FILE_DISPOSITION_INFO disposition{TRUE};
    return ::SetFileInformationByHandle(entry, FileDispositionInfo, &disposition, sizeof(disposition)) != FALSE;
}

// Removes the opened entry: a reparse point as a link, a folder with what it holds.
bool RemoveOpened(HANDLE entry, int depth) {
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!::GetFileInformationByHandleEx(entry, FileAttributeTagInfo, &tag, sizeof(tag))) return false;
    bool complete = true;
    const bool folder = (tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    // A reparse point is removed as a link; what it points at is not ours.
    if (folder && (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        // Deeper than any path can reach: something is wrong with the volume.
        if (depth > 4096) return false;
        std::vector<std::wstring> names;
        complete = ListEntries(entry, &names);
        for (const std::wstring& name : names) {
            // A scanner holding a file for a moment is waited for (bounded).
            UniqueFile child;
            RetryTransient([&] { return static_cast<bool>(child = OpenEntry(entry, name)); });
            if (!child) {
                const DWORD error = ::GetLastError();
                if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) continue;
                PLATFORM_REPORT(platform_log::kError, L"Cannot open \"%s\" for removal: error %lu.", name.c_str(),
                                error);
                complete = false;
                continue;
            }
            complete = RemoveOpened(child.get(), depth + 1) && complete;
        }
    }
    return DeleteOpened(entry, tag.FileAttributes) && complete;
}

}  // namespace

bool RemoveTree(const std::wstring& path) {
    UniqueFile entry;
    RetryTransient([&] {
        entry.reset(::CreateFileW(path.c_str(), kRemoveAccess, kShareAll, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        return static_cast<bool>(entry);
    });
    if (!entry) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return true;
        PLATFORM_REPORT(platform_log::kError, L"Cannot remove %s: error %lu.", path.c_str(), error);
        return false;
    }
    try {
        if (RemoveOpened(entry.get(), 0)) return true;
        PLATFORM_REPORT(platform_log::kError, L"Cannot remove everything of %s.", path.c_str());
        return false;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

namespace {

// The thread's token, with the privileges that let an administrator or SYSTEM
// open a folder someone else owns and locked them out of, for as long as it
// lives (the process's own token is left alone). Does nothing when the thread
// already impersonates.
class TakeOverPrivileges {
public:
    TakeOverPrivileges() {
        HANDLE existing = nullptr;
        if (::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &existing)) {
            ::CloseHandle(existing);
            return;
        }
        if (!::ImpersonateSelf(SecurityImpersonation)) return;
        impersonating_ = true;
        HANDLE token = nullptr;
        if (!::OpenThreadToken(::GetCurrentThread(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, FALSE, &token)) return;
        UniqueHandle owned(token);
        for (const wchar_t* name : {SE_RESTORE_NAME, SE_TAKE_OWNERSHIP_NAME}) {
            TOKEN_PRIVILEGES privilege{};
            privilege.PrivilegeCount = 1;
            privilege.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
            if (::LookupPrivilegeValueW(nullptr, name, &privilege.Privileges[0].Luid)) {
                ::AdjustTokenPrivileges(token, FALSE, &privilege, 0, nullptr, nullptr);
            }
        }
    }
    ~TakeOverPrivileges() {
        if (impersonating_) ::RevertToSelf();
    }
    TakeOverPrivileges(const TakeOverPrivileges&) = delete;
    TakeOverPrivileges& operator=(const TakeOverPrivileges&) = delete;

private:
    bool impersonating_ = false;
};

UniqueFile OpenFolderForSecurity(const std::wstring& path, ACCESS_MASK access) {
    return UniqueFile(::CreateFileW(path.c_str(), access | FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

// The existing folder `path` made to carry `model`, or refused.
bool TakeOverFolder(const std::wstring& path, const security::Descriptor& model) {
    constexpr ACCESS_MASK kChange = READ_CONTROL | WRITE_DAC | WRITE_OWNER;
    UniqueFile folder = OpenFolderForSecurity(path, kChange);
    if (!folder && ::GetLastError() == ERROR_ACCESS_DENIED) {
        TakeOverPrivileges privileges;
        folder = OpenFolderForSecurity(path, kChange);
    }
    const bool canChange = folder.valid();
    if (!folder) folder = OpenFolderForSecurity(path, READ_CONTROL);
    if (!folder) {
        PLATFORM_REPORT(platform_log::kWarning, L"Cannot open the folder %s to check it: error %lu.", path.c_str(),
                        ::GetLastError());
        return false;
    }
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!::GetFileInformationByHandleEx(folder.get(), FileAttributeTagInfo, &tag, sizeof(tag))) return false;
    if ((tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
        (tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        PLATFORM_REPORT(platform_log::kWarning, L"Refusing %s: a %s stands where the product's folder belongs.",
                        path.c_str(),
                        (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? L"reparse point" : L"file");
        return false;
    }
    PSECURITY_DESCRIPTOR current = nullptr;
    if (::GetSecurityInfo(folder.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr,
                          nullptr, nullptr, nullptr, &current) != ERROR_SUCCESS) {
        return false;
    }
    UniqueLocalMemory currentOwned(current);
    if (security::Describe(current, true) == security::Describe(model.get(), true)) return true;
    const std::wstring found = security::ToSddl(current);
    if (!canChange) {
        PLATFORM_REPORT(platform_log::kWarning, L"The folder %s carries %s and this process cannot take it over.",
                        path.c_str(), found.c_str());
        return false;
    }
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    BOOL present = FALSE;
    PACL dacl = nullptr;
    if (!::GetSecurityDescriptorOwner(model.get(), &owner, &defaulted) ||
        !::GetSecurityDescriptorDacl(model.get(), &present, &dacl, &defaulted)) {
        return false;
    }
    security::ReportSecurityCall(security::SecurityCall::kSetSecurity, path, model.get());
    const DWORD result =
        ::SetSecurityInfo(folder.get(), SE_FILE_OBJECT,
                          OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                          owner, nullptr, dacl, nullptr);
    PLATFORM_REPORT(platform_log::kWarning, L"Taking over the folder %s, which carried %s: %s (error %lu).",
                    path.c_str(), found.c_str(), result == ERROR_SUCCESS ? L"done" : L"failed", result);
    return result == ERROR_SUCCESS;
}

}  // namespace

bool SecureFolder(const std::wstring& path, security::Secured what) {
    security::Descriptor model = security::BuildDescriptor(what);
    if (!model) return false;
    security::ReportSecurityCall(security::SecurityCall::kCreateDirectory, path, model.get());
    if (::CreateDirectoryW(path.c_str(), model.attributes())) return true;
    const DWORD error = ::GetLastError();
    if (error != ERROR_ALREADY_EXISTS) {
        PLATFORM_REPORT(platform_log::kWarning, L"Cannot create directory %s: error %lu.", path.c_str(), error);
        return false;
    }
    return TakeOverFolder(path, model);
}

bool SecureFolderTree(const std::wstring& base, std::wstring_view relative, security::Secured levels,
                      security::Secured last) {
    std::wstring path = base;
    size_t start = 0;
    while (start < relative.size()) {
        size_t end = relative.find(L'\\', start);
        if (end == std::wstring_view::npos) end = relative.size();
        if (end > start) {
            path += L'\\';
            path.append(relative.substr(start, end - start));
            if (!SecureFolder(path, end == relative.size() ? last : levels)) return false;
        }
        start = end + 1;
    }
    return true;
}

}  // namespace tessary
