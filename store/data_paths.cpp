#include "store/data_paths.h"

#include <windows.h>
#include <shlobj.h>

#include <mutex>

#include "platform/paths.h"
#include "platform/registry.h"
#include "platform/product_registry.h"

namespace tessary {
namespace {

constexpr wchar_t kProductFolder[] = L"\\Quellon\\Tessary";

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
    static Cached commonData;
    static Cached programFiles;
    Cached& cached = csidl == CSIDL_COMMON_APPDATA ? commonData : programFiles;
    std::call_once(cached.once, [&] { cached.found = GetShellFolder(csidl, &cached.path); });
    if (!cached.found) return false;
    *out = cached.path;
    return true;
}

}  // namespace

std::wstring ResolveDataPath(std::wstring_view relative, DataBase base) {
    std::wstring path;
    bool found = false;
    if (base == DataBase::kInstall) found = InstallDirectory(&path);
    if (!found) {
        const int folder = base == DataBase::kCommonData ? CSIDL_COMMON_APPDATA : CSIDL_PROGRAM_FILES;
        if (!ShellFolder(folder, &path)) return std::wstring(relative);
        path += kProductFolder;
    }
    std::wstring directory = path;
    if (!relative.empty()) {
        path += L'\\';
        path += relative;
        directory = ParentDirectory(path);
    }
    CreateDirectoryTree(directory);
    return path;
}

}  // namespace tessary
