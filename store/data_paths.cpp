#include "store/data_paths.h"

#include <windows.h>
#include <shlobj.h>

#include "platform/paths.h"
#include "platform/registry.h"
#include "store/product_keys.h"

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

}  // namespace

std::wstring ResolveDataPath(std::wstring_view relative, DataBase base) {
    std::wstring path;
    bool found = false;
    if (base == DataBase::kInstall) found = InstallDirectory(&path);
    if (!found) {
        const int folder = base == DataBase::kCommonData ? CSIDL_COMMON_APPDATA : CSIDL_PROGRAM_FILES;
        if (!GetShellFolder(folder, &path)) return std::wstring(relative);
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
