// tsctl commands that drive tsapi.dll the way the suite's products do: through
// COM activation of the registered server. Registration, lookup, the service's
// settings, versions and raw query, the record cache and the protected switches
// live here; the permission family is in perms_commands.cpp, and the command
// table below lists them all.
#include <string>
#include <utility>
#include <vector>

#include "component/app_lookup.h"
#include "component/com_ids.h"
#include "component/usage_stats.h"
#include "platform/paths.h"
#include "platform/product_registry.h"
#include "platform/registry.h"
#include "tools/tsctl/com_support.h"
#include "tools/tsctl/commands.h"
#include "transport/server_query.h"

using Microsoft::WRL::ComPtr;

namespace tessary::tsctl {
namespace {

std::wstring DefaultServerPath() { return ParentDirectory(ModuleFilePath(nullptr)) + L"\\tsapi.dll"; }

// Loads `path` and calls its registration export; reports the outcome.
int CallServerExport(const std::wstring& path, const char* exportName, const wchar_t* verb) {
    UniqueModule module(::LoadLibraryW(path.c_str()));
    if (!module) return Fail(L"loading " + path, HRESULT_FROM_WIN32(::GetLastError()));
    const auto entry = BindProc<HRESULT(STDAPICALLTYPE*)()>(module.get(), exportName);
    HRESULT hr = entry != nullptr ? entry() : HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
    module.reset();
    if (FAILED(hr)) return Fail(std::wstring(verb) + L" " + path, hr);
    Field(verb, path);
    return kExitOk;
}

// The component server and, when it lies beside it, its proxy/stub DLL: the
// interfaces cross apartments and processes only with the proxies registered.
// They are registered after the server (whose type library they complete) and
// unregistered before it, as the package does.
int RegisterServerAndProxies(const std::vector<std::wstring>& args, bool registering) {
    const wchar_t* verb = registering ? L"registered" : L"unregistered";
    if (args.size() > 1) {
        Err(std::wstring(verb) + L": takes at most one argument, the path of tsapi.dll\n");
        return kExitUsage;
    }
    const std::wstring server = args.empty() ? DefaultServerPath() : args[0];
    const std::wstring folder = ParentDirectory(server);
    const std::wstring proxies = folder.empty() ? L".\\tsapips.dll" : folder + L"\\tsapips.dll";
    const bool hasProxies = ::GetFileAttributesW(proxies.c_str()) != INVALID_FILE_ATTRIBUTES;
    const char* exportName = registering ? "DllRegisterServer" : "DllUnregisterServer";
    if (registering) {
        const int result = CallServerExport(server, exportName, verb);
        if (result != kExitOk || !hasProxies) return result;
        return CallServerExport(proxies, exportName, verb);
    }
    // Both are unregistered even when the first fails; the first failure is the result.
    const int first = hasProxies ? CallServerExport(proxies, exportName, verb) : kExitOk;
    const int second = CallServerExport(server, exportName, verb);
    return first != kExitOk ? first : second;
}

int Register(const std::vector<std::wstring>& args) { return RegisterServerAndProxies(args, true); }
int Unregister(const std::vector<std::wstring>& args) { return RegisterServerAndProxies(args, false); }

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
        Field(L"lookup result", std::to_wstring(result) + (result == kResultOk ? L" (known)" : L" (unknown)"));

        QNTS_APP_DETAILS props{};
        LONG propsResult = -1;
        if (SUCCEEDED(details->GetFileProperties(&props, &propsResult)) && propsResult == kResultOk) {
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
        Field(L"server permission", permissionResult == kResultOk
                                        ? DecodePermission(permission.dwPermission)
                                        : L"none (result " + std::to_wstring(permissionResult) + L")");

        UniqueTaskString link;
        LONG linkResult = -1;
        details->SubmitApplicationToTessary(link.put(), &linkResult);
        Field(L"submission link",
              linkResult == kResultOk ? TaskText(link) : L"none (result " + std::to_wstring(linkResult) + L")");
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
        UniqueTaskString answer;
        LONG length = 0;
        hr = server->TessaryQuery(url.data(), data.data(), reinterpret_cast<USHORT**>(answer.put()), &length, &result);
        if (FAILED(hr)) return Fail(L"TessaryQuery", hr);
        Field(L"result", std::to_wstring(result) + (result == kQueryDone ? L"" : L" (failed or not allowed)"));
        Field(L"length", std::to_wstring(length));
        Field(L"answer", TaskText(answer));
        return result == kQueryDone ? kExitOk : kExitFailure;
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

// A field the settings table lacks has all its bits set.
void SettingNumber(const wchar_t* name, ULONG value) {
    Field(name, value == 0xFFFFFFFFu ? std::wstring(L"(not set)") : std::to_wstring(value));
}

// A text field is read up to its terminator or its full width (which has none).
template <size_t Width>
void SettingText(const wchar_t* name, const WCHAR (&text)[Width]) {
    if (text[0] == static_cast<WCHAR>(0xFFFF)) {
        Field(name, L"(not set)");
        return;
    }
    size_t n = 0;
    while (n < Width && text[n] != 0) ++n;
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
        if (result != kResultOk) return kExitFailure;
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
        SettingText(L"EventsURL", s.pwszEventsURL);
        SettingText(L"AppQueryURL", s.pwszAppQueryURL);
        SettingText(L"AppStatsURL", s.pwszAppStatsURL);
        SettingText(L"AppSubmitURL", s.pwszAppSubmitURL);
        SettingText(L"ManifestURL", s.pwszManifestURL);
        SettingText(L"SummaryURL", s.pwszSummaryURL);
        return kExitOk;
    });
}

int Versions(const std::vector<std::wstring>& args) {
    if (!NoArguments(args, L"versions")) return kExitUsage;
    ComScope com;
    ComPtr<IQnVersion> version;
    HRESULT hr = ::CoCreateInstance(kClsidQnTessaryVersion, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&version));
    if (FAILED(hr)) return Fail(L"creating the version object (is tsapi.dll registered?)", hr);
    UniqueTaskString versions;
    UniqueTaskString missing;
    LONG versionsResult = -1;
    LONG missingResult = -1;
    version->GetModuleVersions(versions.put(), &versionsResult);
    version->GetMissingModules(missing.put(), &missingResult);
    Out(L"module versions (result " + Hex(static_cast<unsigned long>(versionsResult)) + L"):\n" + TaskText(versions) +
        L"\n");
    Out(L"missing modules (result " + Hex(static_cast<unsigned long>(missingResult)) + L"):\n" + TaskText(missing) +
        L"\n");
    return versionsResult == kResultOk ? kExitOk : kExitFailure;
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
    return WriteProtected(args, L"optin", keys::kOptin, keys::kOptinSubmit, {{L"on", 1}, {L"off", 0}});
}

int GoNoGo(const std::vector<std::wstring>& args) {
    return WriteProtected(args, L"gonogo", keys::kTessary, keys::kGoNoGo,
                          {{L"all", kGoNoGoAll}, {L"none", kGoNoGoNone}, {L"sample", kGoNoGoSample}});
}

int LoggingMechanism(const std::vector<std::wstring>& args) {
    return WriteProtected(args, L"logging", keys::kLogging, keys::kLoggingMechanism,
                          {{L"file", keys::kLoggingMechanismFile}, {L"etw", keys::kLoggingMechanismEtw}});
}

}  // namespace

std::vector<Command> ComCommands() {
    return {
        {L"register", L"[TSAPI.DLL]",
         L"register the component server and the tsapips.dll proxies beside it (default: tsapi.dll beside tsctl)",
         Register},
        {L"unregister", L"[TSAPI.DLL]", L"remove the registration of the component server and its proxies", Unregister},
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
