#pragma once

// Path helpers: shell folders, module and system-directory paths, loading system
// libraries, quoting and directory creation. Results are std::wstring of any
// length; nothing here copies into a fixed buffer without a bound.

#include <windows.h>

#include <string>
#include <string_view>

#include "platform/security_descriptor.h"

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
// did not exist). Works on handles: each entry is opened without following a
// reparse point, relative to the handle of the folder it was listed from, a
// folder is listed through its own handle and every entry is deleted through
// the handle that was checked, so swapping a folder for a link while the tree
// is removed cannot redirect the removal elsewhere.
bool RemoveTree(const std::wstring& path);

// Makes folder `path` (its parent must exist) one of the product's folders with
// the model's descriptor for `what`: created with it when missing; an existing
// folder is opened without following a reparse point and refused (false) when
// it is a reparse point or not a folder; one with another owner or another
// descriptor is taken over (owner set to Administrators and the protected DACL
// replaced through the opened handle, logged). False, logged, when it cannot be
// created, or taken over by a process without the rights to (a standard user's).
bool SecureFolder(const std::wstring& path, security::Secured what);

// SecureFolder for each level of `relative` ("a\b\c") below `base`, an
// existing folder the product does not own (e.g. %ProgramData%): every level
// gets `levels`, the last one `last`. Stops, false, at the first level refused.
bool SecureFolderTree(const std::wstring& base, std::wstring_view relative, security::Secured levels,
                      security::Secured last);

// `path` cut at its last separator, "\\" or "/" (the separator excluded):
// L"C:\\a\\b.txt" gives L"C:\\a", L"C:/a/b.txt" gives L"C:/a", L"C:\\a" gives L"C:".
// Empty when `path` holds no separator.
std::wstring ParentDirectory(std::wstring_view path);

}  // namespace tessary
