// tsctl commands that drive tsapi.dll the way the suite's products do: through
// COM activation of the registered server.
#include <windows.h>
#include <objbase.h>
#include <wrl/client.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "component/com_ids.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "qntessary.h"
#include "tools/tsctl/commands.h"

using Microsoft::WRL::ComPtr;

namespace tessary::tsctl {
namespace {

constexpr wchar_t kOptinKey[] = L"Software\\Quellon\\Varo\\Settings\\Optin";
constexpr wchar_t kTessaryKey[] = L"SOFTWARE\\Quellon\\Tessary";
constexpr wchar_t kLoggingKey[] = L"SOFTWARE\\Quellon\\Logging";

std::wstring Hex(unsigned long value) {
    wchar_t text[16];
    std::swprintf(text, 16, L"0x%lX", value);
    return text;
}

std::wstring HResultText(HRESULT hr) { return Hex(static_cast<unsigned long>(hr)); }

void Field(const wchar_t* key, const std::wstring& value) { Out(std::wstring(key) + L": " + value + L"\n"); }

// COM for the calling thread, multithreaded like the firewall's workers.
class ComScope {
public:
    ComScope() : hr_(::CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
    ~ComScope() {
        if (SUCCEEDED(hr_)) ::CoUninitialize();
    }
    bool ok() const { return SUCCEEDED(hr_); }

private:
    HRESULT hr_;
};

// Frees CoTaskMemAlloc'd text on scope exit.
struct TaskText {
    LPWSTR text = nullptr;
    ~TaskText() { ::CoTaskMemFree(text); }
    std::wstring str() const { return text != nullptr ? std::wstring(text) : std::wstring(); }
};

int Fail(const std::wstring& what, HRESULT hr) {
    Err(L"tsctl: " + what + L" failed (" + HResultText(hr) + L")\n");
    return kExitFailure;
}

bool CreateRoot(ComPtr<IQnTessary>* root, int* exitCode) {
    HRESULT hr = ::CoCreateInstance(CLSID_QnTessary, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(root->GetAddressOf()));
    if (FAILED(hr)) {
        *exitCode = Fail(L"creating the QnTessary object (is tsapi.dll registered? try 'tsctl register')", hr);
        return false;
    }
    return true;
}

// Runs `body` with the root object of a registered server, COM initialised.
template <typename Body>
int WithRoot(Body body) {
    ComScope com;
    if (!com.ok()) return Fail(L"CoInitializeEx", E_FAIL);
    int exitCode = kExitOk;
    ComPtr<IQnTessary> root;
    if (!CreateRoot(&root, &exitCode)) return exitCode;
    return body(root.Get());
}

// True when the command got no arguments; otherwise says so on stderr.
bool NoArguments(const std::vector<std::wstring>& args, const wchar_t* command) {
    if (args.empty()) return true;
    Err(std::wstring(command) + L": takes no arguments\n");
    return false;
}

std::wstring DefaultServerPath() { return ParentDirectory(ModuleFilePath(nullptr)) + L"\\tsapi.dll"; }

int CallServerExport(const std::vector<std::wstring>& args, const char* exportName, const wchar_t* verb) {
    if (args.size() > 1) {
        Err(std::wstring(verb) + L": takes at most one argument, the path of tsapi.dll\n");
        return kExitUsage;
    }
    const std::wstring path = args.empty() ? DefaultServerPath() : args[0];
    HMODULE module = ::LoadLibraryW(path.c_str());
    if (module == nullptr) return Fail(L"loading " + path, HRESULT_FROM_WIN32(::GetLastError()));
    auto entry =
        reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(reinterpret_cast<void*>(::GetProcAddress(module, exportName)));
    HRESULT hr = entry != nullptr ? entry() : HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
    ::FreeLibrary(module);
    if (FAILED(hr)) return Fail(std::wstring(verb) + L" " + path, hr);
    Field(verb, path);
    return kExitOk;
}

int Register(const std::vector<std::wstring>& args) {
    return CallServerExport(args, "DllRegisterServer", L"registered");
}
int Unregister(const std::vector<std::wstring>& args) {
    return CallServerExport(args, "DllUnregisterServer", L"unregistered");
}

// The permission bits as the class letters and flags they stand for.
std::wstring DecodePermission(ULONG bits) {
    static const struct {
        ULONG bit;
        const wchar_t* name;
    } kBits[] = {{0x1, L"allow(G/O)"}, {0x2, L"T"},  {0x4, L"ask(/@SA.)"}, {0x8, L"exception"},
                 {0x10, L"M"},         {0x20, L"^"}, {0x40, L"&"},         {0x80, L"P"}};
    std::wstring text = Hex(bits);
    std::wstring names;
    for (const auto& b : kBits) {
        if (bits & b.bit) names += (names.empty() ? L"" : L" ") + std::wstring(b.name);
    }
    return names.empty() ? text : text + L" (" + names + L")";
}

int Lookup(const std::vector<std::wstring>& args) {
    std::wstring path;
    std::wstring hash;
    LONG localOnly = 0;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == L"--local-only") {
            localOnly = 1;
        } else if (args[i] == L"--hash" && i + 1 < args.size()) {
            hash = args[++i];
        } else if (path.empty() && args[i].rfind(L"--", 0) != 0) {
            path = args[i];
        } else {
            Err(L"lookup: unexpected argument '" + args[i] + L"'\n");
            return kExitUsage;
        }
    }
    if (path.empty() && hash.empty()) {
        Err(L"lookup: give a path, --hash MD5, or both\n");
        return kExitUsage;
    }
    return WithRoot([&](IQnTessary* root) {
        ComPtr<IQnTessaryAppEntry> entry;
        LONG result = 0;
        HRESULT hr = root->GetApplicationInterface(&entry, &result);
        if (FAILED(hr) || !entry) return Fail(L"GetApplicationInterface", hr);

        ComPtr<IQnTessaryAppDetails> details;
        hr = entry->GetApplicationDetails(path.empty() ? nullptr : path.c_str(), hash.empty() ? nullptr : hash.c_str(),
                                          localOnly, &details, &result);
        if (FAILED(hr) || !details) return Fail(L"GetApplicationDetails", hr);
        Field(L"lookup result", std::to_wstring(result) + (result == 0 ? L" (known)" : L" (unknown)"));

        QNTS_APP_DETAILS props{};
        LONG propsResult = -1;
        if (SUCCEEDED(details->GetFileProperties(&props, &propsResult)) && propsResult == 0) {
            Field(L"path", props.pwszPath);
            Field(L"exe name", props.pwszExeName);
            Field(L"size on disk", std::to_wstring(props.sizeOnDisk));
            Field(L"md5", props.pwszMD5);
            Field(L"version", props.pwszVersion);
            Field(L"application", props.pwszApplicationName);
            Field(L"description", props.pwszDescription);
        }
        LONG known = 0;
        LONG knownResult = -1;
        details->IsKnown(&known, &knownResult);
        Field(L"known", known ? L"yes" : L"no");

        QNTS_APP_PERMISSION permission{};
        LONG permissionResult = -1;
        details->GetServerPermission(&permission, &permissionResult);
        Field(L"server permission", permissionResult == 0
                                        ? DecodePermission(permission.dwPermission)
                                        : L"none (result " + std::to_wstring(permissionResult) + L")");

        TaskText link;
        LONG linkResult = -1;
        details->SubmitApplicationToTessary(&link.text, &linkResult);
        Field(L"submission link", linkResult == 0 ? link.str() : L"none (result " + std::to_wstring(linkResult) + L")");
        return kExitOk;
    });
}

int Query(const std::vector<std::wstring>& args) {
    if (args.size() != 2) {
        Err(L"query: give the URL and the query text\n");
        return kExitUsage;
    }
    return WithRoot([&](IQnTessary* root) {
        ComPtr<IQnTessaryServerQuery> server;
        LONG result = 0;
        HRESULT hr = root->GetServerInterface(&server, &result);
        if (FAILED(hr) || !server) return Fail(L"GetServerInterface", hr);
        std::wstring url = args[0];
        std::wstring data = args[1];
        TaskText answer;
        LONG length = 0;
        hr = server->TessaryQuery(url.data(), data.data(), reinterpret_cast<USHORT**>(&answer.text), &length, &result);
        if (FAILED(hr)) return Fail(L"TessaryQuery", hr);
        Field(L"result", std::to_wstring(result) + (result == 0 ? L"" : L" (failed or not allowed)"));
        Field(L"length", std::to_wstring(length));
        Field(L"answer", answer.str());
        return result == 0 ? kExitOk : kExitFailure;
    });
}

// Options of the perms command: --path P, --hash H, --product N, --feature N,
// --permission N, --id N (numbers in decimal or 0x hexadecimal).
struct PermsOptions {
    std::wstring path;
    std::wstring hash;
    ULONG product = 0;
    ULONG feature = 0;
    ULONG permission = 0;
    ULONG id = 0;
    bool permissionGiven = false;
};

bool ParseNumber(const std::wstring& text, ULONG* value) {
    wchar_t* end = nullptr;
    const unsigned long number = std::wcstoul(text.c_str(), &end, 0);
    if (text.empty() || end == nullptr || *end != L'\0') return false;
    *value = static_cast<ULONG>(number);
    return true;
}

// Dotted IPv4 text as the 32-bit value holding the address bytes in packet order
// (first octet in the lowest byte on this little-endian machine).
bool ParseIpv4(const std::wstring& text, ULONG* value) {
    ULONG result = 0;
    size_t at = 0;
    for (int octet = 0; octet < 4; ++octet) {
        size_t end = text.find(L'.', at);
        if ((end == std::wstring::npos) != (octet == 3)) return false;
        if (end == std::wstring::npos) end = text.size();
        const std::wstring part = text.substr(at, end - at);
        if (part.empty() || part.size() > 3 || part.find_first_not_of(L"0123456789") != std::wstring::npos) {
            return false;
        }
        const unsigned long number = std::wcstoul(part.c_str(), nullptr, 10);
        if (number > 255) return false;
        result |= static_cast<ULONG>(number) << (8 * octet);
        at = end + 1;
    }
    *value = result;
    return true;
}

// The details object of the application at `path`, checked locally only: the
// commands below need its identity, not the service's answer.
HRESULT LocalDetails(IQnTessary* root, const std::wstring& path, ComPtr<IQnTessaryAppDetails>* details) {
    ComPtr<IQnTessaryAppEntry> entry;
    LONG result = 0;
    HRESULT hr = root->GetApplicationInterface(&entry, &result);
    if (FAILED(hr) || !entry) return FAILED(hr) ? hr : E_FAIL;
    hr = entry->GetApplicationDetails(path.c_str(), nullptr, 1, details->ReleaseAndGetAddressOf(), &result);
    if (FAILED(hr) || !*details) return FAILED(hr) ? hr : E_FAIL;
    return S_OK;
}

int Verify(const std::vector<std::wstring>& args) {
    if (args.empty()) {
        Err(L"verify: give one or more file paths\n");
        return kExitUsage;
    }
    return WithRoot([&](IQnTessary* root) {
        int exitCode = kExitOk;
        for (const std::wstring& path : args) {
            ComPtr<IQnTessaryAppDetails> details;
            HRESULT hr = LocalDetails(root, path, &details);
            if (FAILED(hr)) return Fail(L"GetApplicationDetails for " + path, hr);
            LONG valid = 0;
            LONG result = -1;
            hr = details->HasGoodDigitalSignature(&valid, &result);
            if (FAILED(hr)) return Fail(L"HasGoodDigitalSignature", hr);
            const bool good = result == 0 && valid != 0;
            std::wstring verdict = good ? L"good signature" : L"no good signature";
            if (result != 0) verdict = L"no record (result " + std::to_wstring(result) + L")";
            Out(path + L": " + verdict + L"\n");
            if (!good) exitCode = kExitFailure;
        }
        return exitCode;
    });
}

// local-perms list|set|delete PATH [--product N] [--feature N] [--permission N]
// [--ip A.B.C.D --port N]: the details object's own per-product decisions.
int LocalPerms(const std::vector<std::wstring>& args) {
    const std::wstring verb = args.empty() ? std::wstring() : args[0];
    const auto usage = [] {
        Err(L"local-perms: list|set|delete PATH [--product N] [--feature N] [--permission N]"
            L" [--ip A.B.C.D --port N]\n");
        return kExitUsage;
    };
    if ((verb != L"list" && verb != L"set" && verb != L"delete") || args.size() < 2 || args[1].rfind(L"--", 0) == 0) {
        return usage();
    }
    const std::wstring path = args[1];
    QNTS_APP_PERMISSION permission{};
    bool permissionGiven = false;
    ULONG ip = 0;
    ULONG port = 0;
    bool ipGiven = false;
    bool portGiven = false;
    for (size_t i = 2; i < args.size(); i += 2) {
        if (i + 1 >= args.size()) return usage();
        const std::wstring& name = args[i];
        const std::wstring& value = args[i + 1];
        bool ok = false;
        if (name == L"--product") {
            ok = ParseNumber(value, &permission.dwProduct);
        } else if (name == L"--feature") {
            ok = ParseNumber(value, &permission.dwFeature);
        } else if (name == L"--permission") {
            ok = permissionGiven = ParseNumber(value, &permission.dwPermission);
        } else if (name == L"--ip") {
            ok = ipGiven = ParseIpv4(value, &ip);
        } else if (name == L"--port") {
            ok = portGiven = ParseNumber(value, &port) && port <= 0xFFFF;
        }
        if (!ok) return usage();
    }
    if ((verb == L"set" && !permissionGiven) || ipGiven != portGiven || (ipGiven && verb != L"set")) return usage();

    return WithRoot([&](IQnTessary* root) {
        ComPtr<IQnTessaryAppDetails> details;
        HRESULT hr = LocalDetails(root, path, &details);
        if (FAILED(hr)) return Fail(L"GetApplicationDetails for " + path, hr);
        LONG result = -1;
        if (verb == L"list") {
            QNTS_APP_PERMISSION* stored = nullptr;
            LONG count = 0;
            hr = details->GetLocalPermission(&stored, &count, &result);
            if (FAILED(hr)) return Fail(L"GetLocalPermission", hr);
            Field(L"result", std::to_wstring(result) + (result == 6 ? L" (none stored)" : L""));
            for (LONG i = 0; stored != nullptr && i < count; ++i) {
                Out(L"product=" + Hex(stored[i].dwProduct) + L" feature=" + Hex(stored[i].dwFeature) + L" permission=" +
                    DecodePermission(stored[i].dwPermission) + L"\n");
            }
            ::CoTaskMemFree(stored);
            return result == 0 || result == 6 ? kExitOk : kExitFailure;
        }
        if (verb == L"set") {
            // The address goes as the firewall holds it: the packet's bytes, first octet lowest.
            hr = ipGiven ? details->SetLocalPermissionWithIp(permission, ip, static_cast<USHORT>(port), &result)
                         : details->SetLocalPermission(permission, &result);
            if (FAILED(hr)) return Fail(L"SetLocalPermission", hr);
        } else {
            hr = details->DeleteLocalPermission(permission.dwProduct, permission.dwFeature, &result);
            if (FAILED(hr)) return Fail(L"DeleteLocalPermission", hr);
        }
        Field(L"result", std::to_wstring(result));
        return result == 0 ? kExitOk : kExitFailure;
    });
}

bool ParsePermsOptions(const std::vector<std::wstring>& args, size_t first, PermsOptions* options) {
    for (size_t i = first; i < args.size(); ++i) {
        if (i + 1 >= args.size()) return false;
        const std::wstring& name = args[i];
        const std::wstring& value = args[++i];
        if (name == L"--path") {
            options->path = value;
        } else if (name == L"--hash") {
            options->hash = value;
        } else if (name == L"--product") {
            if (!ParseNumber(value, &options->product)) return false;
        } else if (name == L"--feature") {
            if (!ParseNumber(value, &options->feature)) return false;
        } else if (name == L"--permission") {
            if (!ParseNumber(value, &options->permission)) return false;
            options->permissionGiven = true;
        } else if (name == L"--id") {
            if (!ParseNumber(value, &options->id)) return false;
        } else {
            return false;
        }
    }
    return true;
}

int Perms(const std::vector<std::wstring>& args) {
    PermsOptions o;
    const std::wstring verb = args.empty() ? std::wstring() : args[0];
    if ((verb != L"list" && verb != L"set" && verb != L"delete") || !ParsePermsOptions(args, 1, &o)) {
        Err(L"perms: list|set|delete with --path P --hash H --product N --feature N [--permission N] [--id N]\n");
        return kExitUsage;
    }
    if (verb == L"set" && (!o.permissionGiven || o.path.size() > 260 || o.hash.size() > 32)) {
        Err(L"perms set: needs --permission, a path of at most 260 and a hash of at most 32 characters\n");
        return kExitUsage;
    }
    if (verb == L"delete" && o.path.empty() && o.hash.empty() && o.product == 0 && o.feature == 0) {
        Err(L"perms delete: give at least one filter; deleting everything is refused\n");
        return kExitUsage;
    }
    return WithRoot([&](IQnTessary* root) {
        ComPtr<IQnTessarySharedPerms> perms;
        LONG result = 0;
        HRESULT hr = root->GetSharedPermsInterface(&perms, &result);
        if (FAILED(hr) || !perms) return Fail(L"GetSharedPermsInterface", hr);
        if (verb == L"list") {
            QNTS_LOCAL_APP_PERMISSION* records = nullptr;
            ULONG count = 0;
            hr = perms->GetPermissions(o.path.c_str(), o.hash.c_str(), o.product, o.feature, &records, &count, &result);
            if (FAILED(hr)) return Fail(L"GetPermissions", hr);
            std::vector<QNTS_LOCAL_APP_PERMISSION> sorted(records, records + (records != nullptr ? count : 0));
            ::CoTaskMemFree(records);
            std::sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) { return a.dwID < b.dwID; });
            Field(L"result", std::to_wstring(result));
            for (const auto& r : sorted) {
                Out(L"id=" + std::to_wstring(r.dwID) + L" product=" + Hex(r.mapPerm.dwProduct) + L" feature=" +
                    Hex(r.mapPerm.dwFeature) + L" permission=" + Hex(r.mapPerm.dwPermission) + L" md5=" +
                    std::wstring(r.pwszMD5, wcsnlen(r.pwszMD5, 33)) + L" path=" +
                    std::wstring(r.pwszPath, wcsnlen(r.pwszPath, 261)) + L"\n");
            }
            return kExitOk;
        }
        if (verb == L"set") {
            QNTS_LOCAL_APP_PERMISSION record{};
            record.dwID = o.id;
            record.mapPerm.dwProduct = o.product;
            record.mapPerm.dwFeature = o.feature;
            record.mapPerm.dwPermission = o.permission;
            o.path.copy(record.pwszPath, 260);
            o.hash.copy(record.pwszMD5, 32);
            hr = perms->SetPermissions(&record, 1, &result);
            if (FAILED(hr)) return Fail(L"SetPermissions", hr);
        } else {
            hr = perms->DeletePermissions(o.path.c_str(), o.hash.c_str(), o.product, o.feature, &result);
            if (FAILED(hr)) return Fail(L"DeletePermissions", hr);
        }
        Field(L"result", std::to_wstring(result));
        return result == 0 ? kExitOk : kExitFailure;
    });
}

int EmptyCache(const std::vector<std::wstring>& args) {
    if (!NoArguments(args, L"empty-cache")) return kExitUsage;
    return WithRoot([&](IQnTessary* root) {
        ComPtr<IQnTessaryAppEntry> entry;
        LONG result = 0;
        HRESULT hr = root->GetApplicationInterface(&entry, &result);
        if (FAILED(hr) || !entry) return Fail(L"GetApplicationInterface", hr);
        ComPtr<IQnTessaryAppEntryUtil> util;
        hr = entry.As(&util);
        if (FAILED(hr)) return Fail(L"IQnTessaryAppEntryUtil", hr);
        hr = util->EmptyMemoryCache();
        if (FAILED(hr)) return Fail(L"EmptyMemoryCache", hr);
        Field(L"record cache", L"emptied");
        return kExitOk;
    });
}

void SettingNumber(const wchar_t* name, ULONG value) {
    Field(name, value == 0xFFFFFFFFu ? std::wstring(L"(not set)") : std::to_wstring(value));
}

void SettingText(const wchar_t* name, const WCHAR* text, size_t width) {
    // A field the table lacks is all bits set; a full-width text has no terminator.
    if (text[0] == static_cast<WCHAR>(0xFFFF)) {
        Field(name, L"(not set)");
        return;
    }
    size_t n = 0;
    while (n < width && text[n] != 0) ++n;
    Field(name, std::wstring(text, n));
}

int Settings(const std::vector<std::wstring>& args) {
    if (!NoArguments(args, L"settings")) return kExitUsage;
    return WithRoot([&](IQnTessary* root) {
        ComPtr<IQnTessaryFirewallSettings> settings;
        LONG result = 0;
        HRESULT hr = root->GetFirewallSettingsInterface(&settings, &result);
        if (FAILED(hr) || !settings) return Fail(L"GetFirewallSettingsInterface", hr);
        QNTS_FIREWALL_SETTINGS s{};
        hr = settings->GetFirewallSettings(&s, &result);
        if (FAILED(hr)) return Fail(L"GetFirewallSettings", hr);
        Field(L"result", std::to_wstring(result));
        if (result != 0) return kExitFailure;
        SettingNumber(L"SubmitInterval", s.pdwSubmitInterval);
        SettingNumber(L"MaxEvents", s.pdwMaxEvents);
        SettingNumber(L"SubmitPercent", s.pdwSubmitPercent);
        SettingNumber(L"EventsEnabled", s.pdwEventsEnabled);
        SettingNumber(L"AppStatsEnabled", s.pdwAppStatsEnabled);
        SettingNumber(L"AppQueryEnabled", s.pdwAppQueryEnabled);
        SettingNumber(L"ManifestInterval", s.pdwManifestInterval);
        SettingNumber(L"ConnectTimeout", s.pdwConnectTimeout);
        SettingNumber(L"SendTimeout", s.pdwSendTimeout);
        SettingNumber(L"ReceiveTimeout", s.pdwReceiveTimeout);
        SettingNumber(L"DisableFirstConnect", s.pdwDisableFirstConnect);
        SettingText(L"EventsURL", s.pwszEventsURL, 255);
        SettingText(L"AppQueryURL", s.pwszAppQueryURL, 255);
        SettingText(L"AppStatsURL", s.pwszAppStatsURL, 255);
        SettingText(L"AppSubmitURL", s.pwszAppSubmitURL, 255);
        SettingText(L"ManifestURL", s.pwszManifestURL, 255);
        SettingText(L"SummaryURL", s.pwszSummaryURL, 255);
        return kExitOk;
    });
}

int Versions(const std::vector<std::wstring>& args) {
    if (!NoArguments(args, L"versions")) return kExitUsage;
    ComScope com;
    ComPtr<IQnVersion> version;
    HRESULT hr = ::CoCreateInstance(kClsidQnTessaryVersion, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&version));
    if (FAILED(hr)) return Fail(L"creating the version object (is tsapi.dll registered?)", hr);
    TaskText versions;
    TaskText missing;
    LONG versionsResult = -1;
    LONG missingResult = -1;
    version->GetModuleVersions(&versions.text, &versionsResult);
    version->GetMissingModules(&missing.text, &missingResult);
    Out(L"module versions (result " + Hex(static_cast<unsigned long>(versionsResult)) + L"):\n" + versions.str() +
        L"\n");
    Out(L"missing modules (result " + Hex(static_cast<unsigned long>(missingResult)) + L"):\n" + missing.str() + L"\n");
    return versionsResult == 0 ? kExitOk : kExitFailure;
}

int WriteProtected(const std::vector<std::wstring>& args, const wchar_t* command, const wchar_t* key,
                   const wchar_t* value, const std::vector<std::pair<std::wstring, DWORD>>& choices) {
    if (args.size() == 1) {
        for (const auto& [word, number] : choices) {
            if (args[0] == word) {
                if (!registry::WriteProtectedDword(HKEY_LOCAL_MACHINE, key, value, number)) {
                    return Fail(std::wstring(L"writing ") + value, HRESULT_FROM_WIN32(::GetLastError()));
                }
                Field(value, std::to_wstring(number));
                return kExitOk;
            }
        }
    }
    std::wstring words;
    for (const auto& choice : choices) words += (words.empty() ? L"" : L"|") + choice.first;
    Err(std::wstring(command) + L": give one of " + words + L"\n");
    return kExitUsage;
}

int Optin(const std::vector<std::wstring>& args) {
    return WriteProtected(args, L"optin", kOptinKey, L"Submit", {{L"on", 1}, {L"off", 0}});
}

int GoNoGo(const std::vector<std::wstring>& args) {
    return WriteProtected(args, L"gonogo", kTessaryKey, L"GoNoGo", {{L"all", 1}, {L"none", 2}, {L"sample", 0}});
}

int LoggingMechanism(const std::vector<std::wstring>& args) {
    return WriteProtected(args, L"logging", kLoggingKey, L"Logging Mechanism", {{L"file", 1}, {L"etw", 0}});
}

}  // namespace

std::vector<Command> ComCommands() {
    return {
        {L"register", L"[TSAPI.DLL]", L"register the component server (default: tsapi.dll beside tsctl)", Register},
        {L"unregister", L"[TSAPI.DLL]", L"remove the component server's registration", Unregister},
        {L"lookup", L"PATH | --hash MD5 | PATH --hash MD5 [--local-only]",
         L"ask the component about an application: identity, known, server permission, submission link", Lookup},
        {L"settings", L"", L"print the service settings as the firewall sees them", Settings},
        {L"versions", L"", L"print the module versions and the missing modules", Versions},
        {L"query", L"URL TEXT", L"send a raw query to the service (needs the opt-in, see optin)", Query},
        {L"perms", L"list|set|delete [--path P] [--hash H] [--product N] [--feature N] [--permission N] [--id N]",
         L"the suite's shared per-application permissions (set with --id 0 adds a row)", Perms},
        {L"local-perms", L"list|set|delete PATH [--product N] [--feature N] [--permission N] [--ip A.B.C.D --port N]",
         L"the application's own per-product decisions through its details object (set with --ip reports the "
         L"destination)",
         LocalPerms},
        {L"verify", L"FILE...",
         L"check each file's Authenticode signature as the component judges it (exit 1 unless all are good)", Verify},
        {L"empty-cache", L"", L"empty the record cache of this process's component", EmptyCache},
        {L"optin", L"on|off", L"write the protected opt-in value \"Submit\"", Optin},
        {L"gonogo", L"all|none|sample", L"write the protected statistics switch \"GoNoGo\" (1, 2, 0)", GoNoGo},
        {L"logging", L"file|etw", L"write the protected \"Logging Mechanism\" (1 file logging, 0 event tracing)",
         LoggingMechanism},
    };
}

}  // namespace tessary::tsctl
