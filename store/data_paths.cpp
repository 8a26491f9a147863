#include "store/data_paths.h"

#include <windows.h>
#include <shlobj.h>

#include <mutex>
#include <new>
#include <set>

#include "platform/no_destructor.h"
#include "platform/paths.h"
#include "platform/srw_lock.h"
#include "platform/registry.h"
#include "platform/product_registry.h"

namespace tessary {
namespace {

constexpr wchar_t kProductFolder[] = L"\\Quellon\\Tessary";
constexpr wchar_t kProductLevels[] = L"Quellon\\Tessary";
constexpr wchar_t kDataFolderName[] = L"data";

bool InstallDirectory(std::wstring* out) {
    std::wstring value;
    if (!registry::ReadString(HKEY_LOCAL_MACHINE, keys::kTessary, keys::kInstallDir, &value)) return false;
    // The value is read into a buffer of kMaxDataPath characters; a longer one
    // does not fit and counts as unreadable.
    if (value.size() >= kMaxDataPath) return false;
    *out = std::move(value);
    return true;
}

// The shell folders do not change while a process runs, and asking the shell
// costs far more than the rest of a store open: each folder is looked up once.
bool ShellFolder(int csidl, std::wstring* out) {
    struct Cached {
        std::once_flag once;
        bool found = false;
        std::wstring path;
    };
    // Never destroyed (platform/no_destructor.h): these run in the component server too.
    static NoDestructor<Cached> commonData;
    static NoDestructor<Cached> programFiles;
    Cached& cached = csidl == CSIDL_COMMON_APPDATA ? *commonData : *programFiles;
    std::call_once(cached.once, [&] { cached.found = GetShellFolder(csidl, &cached.path); });
    if (!cached.found) return false;
    *out = cached.path;
    return true;
}

// Makes `directory`, below the common data directory `commonData`, and every
// level above it up to %ProgramData% carry the model's descriptors: Quellon,
// Tessary and their other folders the product folder's, "data" the data
// folder's. Done once per folder and process while the folder exists: once
// secured, only SYSTEM and Administrators can replace it.
void SecureCommonDataFolders(const std::wstring& programData, const std::wstring& directory) {
    static SrwMutex lock;
    static NoDestructor<std::set<std::wstring>> secured;
    try {
        {
            std::lock_guard<SrwMutex> guard(lock);
            if (secured->count(directory) != 0 && IsDirectory(directory)) return;
        }
        const std::wstring top = programData + L"\\" + kProductLevels;
        if (!SecureFolderTree(programData, kProductLevels, security::Secured::kProductFolder,
                              security::Secured::kProductFolder)) {
            return;
        }
        if (directory.size() > top.size()) {
            const std::wstring below = directory.substr(top.size() + 1);
            const bool data = ::CompareStringOrdinal(below.c_str(), -1, kDataFolderName, -1, TRUE) == CSTR_EQUAL;
            if (!SecureFolderTree(top, below, security::Secured::kProductFolder,
                                  data ? security::Secured::kDataFolder : security::Secured::kProductFolder)) {
                return;
            }
        }
        std::lock_guard<SrwMutex> guard(lock);
        secured->insert(directory);
    } catch (const std::bad_alloc&) {
        // Checked again by the next call.
    }
}

}  // namespace

std::wstring ResolveDataPath(std::wstring_view relative, DataBase base) {
    std::wstring path;
    std::wstring shellFolder;
    bool found = false;
    if (base == DataBase::kInstall) found = InstallDirectory(&path);
    if (!found) {
        const int folder = base == DataBase::kCommonData ? CSIDL_COMMON_APPDATA : CSIDL_PROGRAM_FILES;
        if (!ShellFolder(folder, &shellFolder)) return std::wstring(relative);
        path = shellFolder + kProductFolder;
    }
    std::wstring directory = path;
    if (!relative.empty()) {
        path += L'\\';
        path += relative;
        directory = ParentDirectory(path);
    }
    // The common data folders are ours and get the model's descriptors (a
    // failure is logged; the store's own checks then refuse what it finds). The
    // install directory lives below the program files folder, which only
    // administrators can change, and keeps what it inherits there.
    if (base == DataBase::kCommonData) {
        SecureCommonDataFolders(shellFolder, directory);
    } else {
        CreateDirectoryTree(directory);
    }
    return path;
}

}  // namespace tessary
