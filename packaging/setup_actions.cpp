// Custom actions of the Windows Installer package (tssetup.dll, carried in the
// package's Binary table and never installed).
//
// The COM registration of tsapi.dll is the DLL's own: these actions load the
// installed copy and call its DllRegisterServer / DllUnregisterServer, so the
// package writes exactly the keys the registrar script and the type library
// registration write, with nothing restated in the package. They run as SYSTEM
// and never load a DLL from anywhere but the install folder: a registration of
// tsapi.dll from another folder (made by hand, from a folder any user may be
// able to write) is removed by deleting the keys a registration of ours writes,
// kept aside until the installation commits. Each action but the first is
// deferred (it runs in the installation script, with the installer's rights) and
// reads its arguments from CustomActionData, fields separated by '|':
//
//   FindPreviousServer        (immediate) puts the path the machine's registration
//                             of the root class names into TS_PREVIOUS_SERVER
//   SecureDataFolders         "<common application data folder>": creates (or takes
//                             over) Quellon, Quellon\Tessary, Quellon\Tessary\data and
//                             Quellon\QNLOGS with the product's security descriptors
//   RegisterServer            "<installed tsapi.dll>|<previously registered server or empty>";
//                             the keys of a previous server in another folder are
//                             saved and deleted first; then tsapi.dll registers
//                             itself, then the interface proxy DLL beside it
//                             (tsapips.dll) registers the proxies
//   RollbackRegisterServer    same data; undoes RegisterServer and writes the saved
//                             keys of a registration from another folder back
//   CommitRegisterServer      drops the saved keys
//   UnregisterServer          "<installed tsapi.dll>": the proxy DLL beside it, then tsapi.dll
//   RollbackUnregisterServer  same data; registers the installed copy again
//   RemoveUserData            "<folder>|<folder>|..." deleted with everything below
//                             them, then the product's registry key (64-bit view)
//
// Every step is written to the installation log ("Tessary setup: ...").

#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <cwchar>
#include <cwctype>
#include <exception>
#include <string>
#include <vector>

#include "platform/paths.h"
#include "platform/result_macros.h"
#include "platform/unique_resource.h"

namespace tessary {
namespace {

inline void CloseMsiHandle(MSIHANDLE handle) { ::MsiCloseHandle(handle); }
using UniqueMsiHandle = UniqueResource<MSIHANDLE, CloseMsiHandle>;

constexpr wchar_t kRootServerKey[] =
    L"SOFTWARE\\Classes\\CLSID\\{36C29AB6-FF73-4f74-A2D1-C5C09B54E5C9}\\InprocServer32";
constexpr wchar_t kProductKeyParent[] = L"SOFTWARE\\Quellon";
constexpr wchar_t kProductKeyName[] = L"Tessary";
constexpr wchar_t kClassesKey[] = L"SOFTWARE\\Classes";
// Where RegisterServer keeps the keys of a registration it replaced until the
// installation commits (HKLM, 64-bit view). A subkey's name is the saved key's
// path below kClassesKey with '|' for '\\'.
constexpr wchar_t kSavedRegistrationKey[] = L"SOFTWARE\\Quellon\\TessarySetup\\PreviousRegistration";
constexpr wchar_t kSetupKey[] = L"SOFTWARE\\Quellon\\TessarySetup";

// Every key a registration of tsapi.dll and its proxy DLL writes below
// HKLM\SOFTWARE\Classes (the registrar script's classes and AppID entries, the
// type library, the proxy factory class and the interfaces).
constexpr const wchar_t* kRegistrationKeys[] = {
    L"CLSID\\{36C29AB6-FF73-4f74-A2D1-C5C09B54E5C9}",
    L"CLSID\\{85DADE1D-E53C-4E3A-8514-19FFB6B00423}",
    L"CLSID\\{231727DB-4A5A-4c85-B844-64E3A30BE7A3}",
    L"CLSID\\{0CE809D3-1D8B-4321-9F89-3F49CEA8B15C}",
    L"CLSID\\{A0EBB878-FDC0-4514-AEE9-F68E4337E7D2}",
    L"CLSID\\{07AA2658-7A1A-47e5-B01A-701DC9EECD6F}",
    L"CLSID\\{FB49CFE3-C775-48f1-B0C6-BEBABF84EFF9}",
    L"CLSID\\{6021CE48-B556-4f11-BC68-A647F056F8CC}",
    L"CLSID\\{44B3BCF5-7465-4E27-902E-161D1C0105C7}",
    L"AppID\\{02FCCD7B-1F18-458D-B1C3-B6AEB20124FD}",
    L"AppID\\tsapi.dll",
    L"TypeLib\\{9A05CED2-C82B-4E04-8164-DF7F08E86834}",
    L"Interface\\{73D22CCA-2404-4B7E-A602-8E6F70AC1548}",
    L"Interface\\{190F3842-109F-4C89-BDF0-C536E43F3F91}",
    L"Interface\\{9AF0F666-BC91-45C9-954B-A24AB79B0BF9}",
    L"Interface\\{A5E23B81-40C9-4746-8E64-29CE89E55A4A}",
    L"Interface\\{8575276D-F716-4BFA-81AE-7A7BAA80948A}",
    L"Interface\\{907DE569-7565-4C9E-BDA0-D41853A84837}",
    L"Interface\\{825F2E3B-565A-4195-AA90-D535F6E31D36}",
    L"Interface\\{87A1B3C0-A5A0-42C6-B3C6-63CAF536D4AB}",
    L"Interface\\{86E89D22-C79D-4604-8961-208343B74092}",
    L"Interface\\{FE2C8037-252F-4A65-A500-D744800C5E30}",
    L"Interface\\{303AEE53-E703-4395-A3FA-63ECF82AAEEC}",
};

// Writes "Tessary setup: <text>" to the installation log.
void Log(MSIHANDLE install, const std::wstring& text) {
    UniqueMsiHandle record(::MsiCreateRecord(1));
    if (!record) return;
    const std::wstring line = L"Tessary setup: " + text;
    // The text goes into a field, not the template, so brackets in paths are not
    // read as installer formatting.
    ::MsiRecordSetStringW(record.get(), 0, L"[1]");
    ::MsiRecordSetStringW(record.get(), 1, line.c_str());
    ::MsiProcessMessage(install, INSTALLMESSAGE_INFO, record.get());
}

std::wstring HresultText(HRESULT hr) {
    wchar_t code[16];
    std::swprintf(code, std::size(code), L"0x%08lX", static_cast<unsigned long>(hr));
    return code;
}

std::vector<std::wstring> ActionData(MSIHANDLE install) {
    std::wstring data;
    DWORD length = 0;
    wchar_t empty[1] = L"";
    if (::MsiGetPropertyW(install, L"CustomActionData", empty, &length) == ERROR_MORE_DATA) {
        data.resize(length + 1);
        length = static_cast<DWORD>(data.size());
        if (::MsiGetPropertyW(install, L"CustomActionData", data.data(), &length) != ERROR_SUCCESS) length = 0;
        data.resize(length);
    }
    std::vector<std::wstring> fields;
    size_t start = 0;
    for (;;) {
        const size_t bar = data.find(L'|', start);
        fields.push_back(data.substr(start, bar == std::wstring::npos ? std::wstring::npos : bar - start));
        if (bar == std::wstring::npos) break;
        start = bar + 1;
    }
    return fields;
}

bool SameFile(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size()) {
        // One of them may be a short (8.3) name of the other.
        wchar_t longA[MAX_PATH];
        wchar_t longB[MAX_PATH];
        const DWORD la = ::GetLongPathNameW(a.c_str(), longA, MAX_PATH);
        const DWORD lb = ::GetLongPathNameW(b.c_str(), longB, MAX_PATH);
        if (la == 0 || lb == 0 || la >= MAX_PATH || lb >= MAX_PATH) return false;
        return ::CompareStringOrdinal(longA, -1, longB, -1, TRUE) == CSTR_EQUAL;
    }
    return ::CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

bool FileExists(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// Saves, then deletes, every key of kRegistrationKeys that exists: the
// registration of a tsapi.dll outside the install folder goes without that DLL
// being loaded. Returns the number of keys removed (-1 when the keys could not
// be saved: nothing is deleted then).
int RemoveForeignRegistration(MSIHANDLE install) {
    constexpr REGSAM kAccess = KEY_ALL_ACCESS | KEY_WOW64_64KEY;
    UniqueRegKey classes;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kClassesKey, 0, kAccess, classes.put()) != ERROR_SUCCESS) return -1;
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kSavedRegistrationKey);  // left by an interrupted installation
    UniqueRegKey saved;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSavedRegistrationKey, 0, nullptr, 0, kAccess, nullptr, saved.put(),
                          nullptr) != ERROR_SUCCESS) {
        return -1;
    }
    int removed = 0;
    for (const wchar_t* key : kRegistrationKeys) {
        UniqueRegKey source;
        if (::RegOpenKeyExW(classes.get(), key, 0, KEY_READ | KEY_WOW64_64KEY, source.put()) != ERROR_SUCCESS) continue;
        std::wstring name = key;
        for (wchar_t& c : name) {
            if (c == L'\\') c = L'|';
        }
        UniqueRegKey copy;
        if (::RegCreateKeyExW(saved.get(), name.c_str(), 0, nullptr, 0, kAccess, nullptr, copy.put(), nullptr) !=
                ERROR_SUCCESS ||
            ::RegCopyTreeW(source.get(), nullptr, copy.get()) != ERROR_SUCCESS) {
            Log(install, std::wstring(L"could not save HKLM\\SOFTWARE\\Classes\\") + key + L"; it is kept");
            continue;
        }
        source.reset();
        const LSTATUS deleted = ::RegDeleteTreeW(classes.get(), key);
        if (deleted == ERROR_SUCCESS && ::RegDeleteKeyExW(classes.get(), key, KEY_WOW64_64KEY, 0) == ERROR_SUCCESS) {
            ++removed;
        } else {
            Log(install, std::wstring(L"could not delete HKLM\\SOFTWARE\\Classes\\") + key);
        }
    }
    return removed;
}

// Writes the keys RemoveForeignRegistration saved back where they were, then
// drops the saved copy. Returns the number of keys written back.
int RestoreForeignRegistration(MSIHANDLE install) {
    constexpr REGSAM kAccess = KEY_ALL_ACCESS | KEY_WOW64_64KEY;
    UniqueRegKey saved;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSavedRegistrationKey, 0, kAccess, saved.put()) != ERROR_SUCCESS) return 0;
    UniqueRegKey classes;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kClassesKey, 0, kAccess, classes.put()) != ERROR_SUCCESS) return 0;
    int restored = 0;
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        DWORD length = static_cast<DWORD>(std::size(name));
        if (::RegEnumKeyExW(saved.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
            break;
        }
        std::wstring key(name, length);
        for (wchar_t& c : key) {
            if (c == L'|') c = L'\\';
        }
        UniqueRegKey copy;
        UniqueRegKey target;
        if (::RegOpenKeyExW(saved.get(), name, 0, KEY_READ | KEY_WOW64_64KEY, copy.put()) == ERROR_SUCCESS &&
            ::RegCreateKeyExW(classes.get(), key.c_str(), 0, nullptr, 0, kAccess, nullptr, target.put(), nullptr) ==
                ERROR_SUCCESS &&
            ::RegCopyTreeW(copy.get(), nullptr, target.get()) == ERROR_SUCCESS) {
            ++restored;
        } else {
            Log(install, L"rollback: could not write HKLM\\SOFTWARE\\Classes\\" + key + L" back");
        }
    }
    saved.reset();
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kSetupKey);
    ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kSetupKey, KEY_WOW64_64KEY, 0);
    return restored;
}

// The installation log of the action running SecureDataFolders, for the observer.
MSIHANDLE g_securingInstall = 0;

// Writes each security call of the folder creation to the installation log.
void LogSecurityCall(const security::SecurityEvent& event) {
    const wchar_t* call = event.call == security::SecurityCall::kCreateDirectory ? L"CreateDirectoryW"
                          : event.call == security::SecurityCall::kSetSecurity   ? L"SetSecurityInfo"
                                                                                 : L"security call";
    Log(g_securingInstall, L"folder \"" + event.target + L"\": " + call + L" with " + event.described);
}

// Loads `server` and calls its DllRegisterServer (`install`) or DllUnregisterServer.
HRESULT CallRegistration(const std::wstring& server, bool install) {
    UniqueModule module(::LoadLibraryExW(server.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
    RETURN_LAST_ERROR_IF_NULL(module.get());
    using Entry = HRESULT(STDAPICALLTYPE*)();
    const char* name = install ? "DllRegisterServer" : "DllUnregisterServer";
    const auto entry = BindProc<Entry>(module.get(), name);
    RETURN_LAST_ERROR_IF_NULL(entry);
    // The registration writes the type library through OLE Automation.
    const HRESULT init = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    const HRESULT hr = entry();
    if (SUCCEEDED(init)) ::CoUninitialize();
    return hr;
}

std::wstring TrimSeparator(std::wstring path) {
    while (path.size() > 3 && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
    return path;
}

std::wstring Parent(const std::wstring& path) {
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

template <typename Body>
UINT Guarded(MSIHANDLE install, Body body) noexcept {
    try {
        return body();
    } catch (const std::exception&) {
        Log(install, L"out of memory");
        return ERROR_INSTALL_FAILURE;
    }
}

// The interface proxy DLL installed beside `server` (only ever loaded from there).
std::wstring ProxyBeside(const std::wstring& server) { return Parent(server) + L"\\tsapips.dll"; }

// Runs one DLL's own registration (`registering`) or unregistration, logging it.
bool RunOneRegistration(MSIHANDLE install, const wchar_t* what, const std::wstring& file, bool registering) {
    const std::wstring verb = registering ? L"registering" : L"unregistering";
    const std::wstring noun = registering ? L"registration" : L"unregistration";
    Log(install, verb + L" the " + what + L" \"" + file + L"\"");
    const HRESULT hr = CallRegistration(file, registering);
    if (FAILED(hr)) {
        Log(install, noun + L" of \"" + file + L"\" failed with " + HresultText(hr) +
                         (registering ? L"; the installation is rolled back" : L"; the removal is rolled back"));
        return false;
    }
    Log(install, (registering ? L"registered \"" : L"unregistered \"") + file + L"\"");
    return true;
}

// Runs the server's and its proxy DLL's own registration (`registering`: the
// server first) or unregistration (the proxies first) as a deferred step; a
// failure fails the step, so the transaction is rolled back. A proxy DLL that is
// missing at removal is skipped: removal must stay possible.
UINT RunRegistration(MSIHANDLE install, const std::wstring& server, bool registering) {
    const std::wstring proxy = ProxyBeside(server);
    bool done = false;
    if (registering) {
        done = RunOneRegistration(install, L"component server", server, true) &&
               RunOneRegistration(install, L"interface proxies", proxy, true);
    } else {
        done = (!FileExists(proxy) || RunOneRegistration(install, L"interface proxies", proxy, false)) &&
               RunOneRegistration(install, L"component server", server, false);
    }
    return done ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}

// Undoes RunRegistration in a rollback: every step is tried and reported, in
// RunRegistration's order (the server first when registering, the proxies first
// when unregistering).
void RollBackRegistration(MSIHANDLE install, const std::wstring& server, bool registering) {
    const std::wstring proxy = ProxyBeside(server);
    for (const std::wstring& file : {registering ? server : proxy, registering ? proxy : server}) {
        if (!FileExists(file)) continue;
        Log(install, (registering ? L"rollback: registering \"" : L"rollback: unregistering \"") + file +
                         (registering ? L"\" again: " : L"\": ") + HresultText(CallRegistration(file, registering)));
    }
}

}  // namespace

// The entry points have C names (packaging/setup_actions.def exports them).
extern "C" {

UINT __stdcall FindPreviousServer(MSIHANDLE install) {
    return Guarded(install, [&]() -> UINT {
        // The machine's registration (64-bit view), not a per-user one that HKCR
        // would merge in for the installing user.
        UniqueRegKey key;
        if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRootServerKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, key.put()) !=
            ERROR_SUCCESS) {
            return ERROR_SUCCESS;
        }
        DWORD type = 0;
        DWORD bytes = 0;
        if (::RegQueryValueExW(key.get(), nullptr, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS ||
            (type != REG_SZ && type != REG_EXPAND_SZ) || bytes < sizeof(wchar_t)) {
            return ERROR_SUCCESS;
        }
        std::wstring path(bytes / sizeof(wchar_t) + 1, L'\0');
        bytes = static_cast<DWORD>(path.size() * sizeof(wchar_t));
        if (::RegQueryValueExW(key.get(), nullptr, nullptr, &type, reinterpret_cast<BYTE*>(path.data()), &bytes) !=
            ERROR_SUCCESS) {
            return ERROR_SUCCESS;
        }
        path.resize(path.find(L'\0') == std::wstring::npos ? path.size() : path.find(L'\0'));
        if (path.find(L'|') != std::wstring::npos) return ERROR_SUCCESS;  // cannot be passed on; no file name has it
        Log(install, L"the root class is registered from \"" + path + L"\"");
        ::MsiSetPropertyW(install, L"TS_PREVIOUS_SERVER", path.c_str());
        return ERROR_SUCCESS;
    });
}

UINT __stdcall RegisterServer(MSIHANDLE install) {
    return Guarded(install, [&]() -> UINT {
        const std::vector<std::wstring> data = ActionData(install);
        const std::wstring& server = data[0];
        const std::wstring previous = data.size() > 1 ? data[1] : std::wstring();
        if (server.empty()) {
            Log(install, L"no component server named for registration");
            return ERROR_INSTALL_FAILURE;
        }
        if (!previous.empty() && !SameFile(previous, server)) {
            Log(install, L"tsapi.dll was registered from \"" + previous +
                             L"\"; that registration is replaced by the "
                             L"installed copy's and is not restored when the product is removed");
            // Its keys are deleted (saved for a rollback); that DLL is never loaded:
            // it lies outside the install folder, where anyone may have put it.
            const int removed = RemoveForeignRegistration(install);
            if (removed < 0) {
                Log(install, L"could not save the keys of the registration from \"" + previous +
                                 L"\"; the installation is rolled back");
                return ERROR_INSTALL_FAILURE;
            }
            Log(install, L"removed " + std::to_wstring(removed) + L" keys of the registration from \"" + previous +
                             L"\" without loading it");
        }
        return RunRegistration(install, server, true);
    });
}

UINT __stdcall RollbackRegisterServer(MSIHANDLE install) {
    return Guarded(install, [&]() -> UINT {
        const std::vector<std::wstring> data = ActionData(install);
        const std::wstring& server = data[0];
        const std::wstring previous = data.size() > 1 ? data[1] : std::wstring();
        // Rollback never stops: each step is tried and reported.
        if (!server.empty()) RollBackRegistration(install, server, false);
        if (!previous.empty() && !SameFile(previous, server)) {
            const int restored = RestoreForeignRegistration(install);
            Log(install, L"rollback: wrote " + std::to_wstring(restored) + L" keys of the registration from \"" +
                             previous + L"\" back");
        }
        return ERROR_SUCCESS;
    });
}

UINT __stdcall CommitRegisterServer(MSIHANDLE install) {
    return Guarded(install, [&]() -> UINT {
        if (::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kSetupKey) == ERROR_SUCCESS) {
            ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kSetupKey, KEY_WOW64_64KEY, 0);
            Log(install, L"dropped the saved keys of the replaced registration");
        }
        return ERROR_SUCCESS;
    });
}

UINT __stdcall SecureDataFolders(MSIHANDLE install) {
    return Guarded(install, [&]() -> UINT {
        const std::wstring common = TrimSeparator(ActionData(install)[0]);
        if (common.size() < 3) {
            Log(install, L"no common application data folder named");
            return ERROR_INSTALL_FAILURE;
        }
        g_securingInstall = install;
        security::SetSecurityObserver(&LogSecurityCall);
        const bool secured = SecureFolderTree(common, L"Quellon\\Tessary\\data", security::Secured::kProductFolder,
                                              security::Secured::kDataFolder) &&
                             SecureFolderTree(common + L"\\Quellon", L"QNLOGS", security::Secured::kProductFolder,
                                              security::Secured::kProductFolder);
        security::SetSecurityObserver(nullptr);
        if (!secured) {
            Log(install, L"could not give the data and log folders below \"" + common +
                             L"\" the product's security descriptors; the installation is rolled back");
            return ERROR_INSTALL_FAILURE;
        }
        Log(install, L"the data and log folders below \"" + common + L"\" carry the product's security descriptors");
        return ERROR_SUCCESS;
    });
}

UINT __stdcall UnregisterServer(MSIHANDLE install) {
    return Guarded(install, [&]() -> UINT {
        const std::wstring server = ActionData(install)[0];
        if (server.empty() || !FileExists(server)) {
            // Removal must stay possible when the file is gone; its keys then stay.
            Log(install,
                L"\"" + server + L"\" is missing: its COM registration cannot be removed by the server itself");
            return ERROR_SUCCESS;
        }
        return RunRegistration(install, server, false);
    });
}

UINT __stdcall RollbackUnregisterServer(MSIHANDLE install) {
    return Guarded(install, [&]() -> UINT {
        const std::wstring server = ActionData(install)[0];
        if (!server.empty()) RollBackRegistration(install, server, true);
        return ERROR_SUCCESS;
    });
}

UINT __stdcall RemoveUserData(MSIHANDLE install) {
    return Guarded(install, [&]() -> UINT {
        for (const std::wstring& field : ActionData(install)) {
            const std::wstring folder = TrimSeparator(field);
            if (folder.size() <= 3) continue;  // never a drive root
            if (RemoveTree(folder)) {
                Log(install, L"removed the user data folder \"" + folder + L"\"");
            } else {
                Log(install, L"could not remove all of \"" + folder + L"\" (files in use?)");
            }
            // Parents shared with the suite's other products go only when empty.
            ::RemoveDirectoryW(Parent(folder).c_str());
        }
        UniqueRegKey parent;
        LSTATUS status = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProductKeyParent, 0,
                                         KEY_READ | KEY_WRITE | DELETE | KEY_WOW64_64KEY, parent.put());
        if (status == ERROR_SUCCESS) {
            status = ::RegDeleteTreeW(parent.get(), kProductKeyName);
            if (status == ERROR_SUCCESS) status = ::RegDeleteKeyExW(parent.get(), kProductKeyName, KEY_WOW64_64KEY, 0);
            if (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) {
                Log(install, L"removed HKLM\\SOFTWARE\\Quellon\\Tessary");
            } else {
                Log(install, L"could not remove HKLM\\SOFTWARE\\Quellon\\Tessary: error " + std::to_wstring(status));
            }
            parent.reset();
            ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kProductKeyParent, KEY_WOW64_64KEY, 0);  // only when empty
        }
        // User data is optional to remove: a leftover never fails the removal.
        return ERROR_SUCCESS;
    });
}

}  // extern "C"

}  // namespace tessary
