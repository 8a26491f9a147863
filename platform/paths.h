#pragma once

// Path helpers: shell folders, module and system-directory paths, loading system
// libraries, quoting and directory creation. Results are std::wstring of any
// length; nothing here copies into a fixed buffer without a bound.

#include <windows.h>

#include <string>
#include <string_view>

namespace tessary {

// Asks the shell for folder `csidl` (e.g. CSIDL_COMMON_APPDATA), creating it when
// missing (CSIDL_FLAG_CREATE is added). Returns true only when the shell answers
// S_OK; *out is cleared first and stays empty on failure; false for a null `out`.
bool GetShellFolder(int csidl, std::wstring* out);

// Full path of the file `module` was loaded from (null: the process's executable),
// whatever its length (up to the system's 32767 characters). Empty when the module
// is unknown; the thread's last error then tells why.
std::wstring ModuleFilePath(HMODULE module);

// `fileName` joined to the system directory with one backslash (the directory itself
// for a null or empty name). Empty when the system directory cannot be found.
std::wstring SystemDirectoryFile(const wchar_t* fileName);

// Loads the library `dllName` (a bare file name such as L"winhttp.dll") from the
// system directory only: LoadLibraryExW with LOAD_LIBRARY_SEARCH_SYSTEM32 where the
// system supports that flag, otherwise by its full system-directory path. Returns
// null (last error set) when it cannot be loaded, and for a null or empty name or one
// that holds a path separator or drive (ERROR_INVALID_PARAMETER). The caller frees
// the module (UniqueModule).
HMODULE LoadSystemLibrary(const wchar_t* dllName);

// `path` in double quotes when it contains a space, otherwise unchanged; a path that
// is already enclosed in quotes is returned unchanged. Any length.
std::wstring QuoteSpaces(std::wstring_view path);

// How CreateDirectoryTree creates the missing levels.
enum class DirectoryCreation {
    // SHCreateDirectoryExW on the full path (a relative path is taken relative to
    // the working directory); the shell hears of the new directories.
    kShell,
    // CreateDirectoryW level by level below the drive or share ("\\" separated
    // levels only), without the shell: for the logger, which may write while the
    // loader lock is held.
    kKernel,
};

// Creates directory `dir` with all missing parents. Returns true when the directory
// exists afterwards, also when it existed before; false for an empty path, when a
// file of that name is in the way, or when creation fails.
bool CreateDirectoryTree(const std::wstring& dir, DirectoryCreation how = DirectoryCreation::kShell);

// True when `path` names an existing directory.
bool IsDirectory(const std::wstring& path);

// Deletes `path` (a file, or a folder with everything below it). Links to other
// folders (reparse points) are removed as links, never followed. Read-only
// entries are deleted too. True when nothing of `path` remains (also when it
// did not exist).
bool RemoveTree(const std::wstring& path);

// `path` cut at its last separator, "\\" or "/" (the separator excluded):
// L"C:\\a\\b.txt" gives L"C:\\a", L"C:/a/b.txt" gives L"C:/a", L"C:\\a" gives L"C:".
// Empty when `path` holds no separator.
std::wstring ParentDirectory(std::wstring_view path);

}  // namespace tessary
