// Custom actions of the Windows Installer package (tssetup.dll, carried in the
// package's Binary table and never installed).
//
// The COM registration of tsapi.dll is the DLL's own: these actions load the
// installed copy and call its DllRegisterServer / DllUnregisterServer, so the
// package writes exactly the keys the registrar script and the type library
// registration write, with nothing restated in the package. Each action is
// deferred (it runs in the installation script, with the installer's rights) and
// reads its arguments from CustomActionData, fields separated by '|':
//
//   FindPreviousServer        (immediate) puts the path the machine's registration
//                             of the root class names into TS_PREVIOUS_SERVER
//   RegisterServer            "<installed tsapi.dll>|<previously registered server or empty>";
//                             a previous server in another folder unregisters first
//   RollbackRegisterServer    same data; undoes RegisterServer and puts a previous
//                             registration from another folder back
//   UnregisterServer          "<installed tsapi.dll>"
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

// Runs the server's own registration (`registering`) or unregistration as a
// deferred step, logging it; a failure fails the step, so the transaction is
// rolled back.
UINT RunRegistration(MSIHANDLE install, const std::wstring& server, bool registering) {
    const std::wstring verb = registering ? L"registering" : L"unregistering";
    const std::wstring noun = registering ? L"registration" : L"unregistration";
    Log(install, verb + L" the component server \"" + server + L"\"");
    const HRESULT hr = CallRegistration(server, registering);
    if (FAILED(hr)) {
        Log(install, noun + L" of \"" + server + L"\" failed with " + HresultText(hr) +
                         (registering ? L"; the installation is rolled back" : L"; the removal is rolled back"));
        return ERROR_INSTALL_FAILURE;
    }
    Log(install, (registering ? L"registered \"" : L"unregistered \"") + server + L"\"");
    return ERROR_SUCCESS;
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
            // The other copy removes its own keys first, so nothing of its registration
            // (such as the type library's folder) outlives it. A copy whose file is gone
            // leaves keys that the installed copy's registration replaces.
            if (FileExists(previous)) {
                const HRESULT hr = CallRegistration(previous, false);
                Log(install, L"unregistering \"" + previous + L"\": " + HresultText(hr));
            }
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
        if (!server.empty() && FileExists(server)) {
            const HRESULT hr = CallRegistration(server, false);
            Log(install, L"rollback: unregistering \"" + server + L"\": " + HresultText(hr));
        }
        if (!previous.empty() && !SameFile(previous, server)) {
            if (FileExists(previous)) {
                const HRESULT hr = CallRegistration(previous, true);
                Log(install,
                    L"rollback: registering the previous server \"" + previous + L"\" again: " + HresultText(hr));
            } else {
                Log(install, L"rollback: the previous server \"" + previous + L"\" no longer exists");
            }
        }
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
        if (!server.empty() && FileExists(server)) {
            const HRESULT hr = CallRegistration(server, true);
            Log(install, L"rollback: registering \"" + server + L"\" again: " + HresultText(hr));
        }
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
