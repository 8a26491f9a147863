#include "platform/paths.h"

#include <shlobj.h>

#include "platform/contained_path.h"
#include "platform/platform_log.h"
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

bool RemoveTree(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return true;
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return ::DeleteFileW(path.c_str()) != FALSE;
    bool complete = true;
    // A reparse point is removed as a link; what it points at is not ours.
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        WIN32_FIND_DATAW found{};
        UniqueFind find(::FindFirstFileW((path + L"\\*").c_str(), &found));
        if (find) {
            do {
                const std::wstring_view name = found.cFileName;
                if (name == L"." || name == L"..") continue;
                complete = RemoveTree(path + L"\\" + found.cFileName) && complete;
            } while (::FindNextFileW(find.get(), &found));
        }
    }
    return ::RemoveDirectoryW(path.c_str()) != FALSE && complete;
}

}  // namespace tessary
