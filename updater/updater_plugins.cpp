#include "updater/updater_plugins.h"

#include <objbase.h>
#include <oleauto.h>
#include <shlwapi.h>

#include <string>

#include "Logging/log_builder.h"
#include "platform/contained_path.h"
#include "platform/text.h"
#include "platform/trust.h"
#include "platform/unique_resource.h"
#include "platform/product_registry.h"
#include "updater/go_online.h"
#include "updater/installation_id.h"
#include "updater/plugin_request.h"
#include "updater/staged_file.h"
#include "transport/service_exchange.h"

namespace tessary::TSUpdaterPlugin {
namespace {

using ETWLogging::kSeverityError;
using ETWLogging::kSeverityInformation;
using ETWLogging::kSeverityNormal;
using ETWLogging::kSeverityWarning;

constexpr wchar_t kSource[] = L"UpdaterPluginManager";
constexpr size_t kKeyNameChars = 260;

// A BSTR's characters (its length prefix counts; null is empty).
std::wstring BstrText(BSTR text) { return text == nullptr ? std::wstring() : std::wstring(text, ::SysStringLen(text)); }

// The plug-in's download file, removed after every attempt (a plug-in takes
// what it needs during MergeDB or ReplaceDB); one that stays is logged.
class DownloadFileGuard {
public:
    explicit DownloadFileGuard(const std::wstring& path) : path_(path) {}
    ~DownloadFileGuard() {
        if (!DeleteFileEvenReadOnly(path_)) {
            const DWORD error = ::GetLastError();
            TS_LOG(kSeverityWarning, kSource, L"%s could not be deleted, error %lu", path_.c_str(), error);
        }
    }
    DownloadFileGuard(const DownloadFileGuard&) = delete;
    DownloadFileGuard& operator=(const DownloadFileGuard&) = delete;

private:
    std::wstring path_;
};

}  // namespace

UpdaterPluginManager::UpdaterPluginManager() {
    ETWLogging::CDefaultLogBuilder(ETWLogging::kLogGroup, nullptr).GetLogger();
    TS_LOG(kSeverityInformation, kSource, L"Created log file");
}

UpdaterPluginManager::~UpdaterPluginManager() {
    for (IUpdaterPlugin* plugin : plugins_) {
        try {
            plugin->Release();
        } catch (...) {
            // A plug-in that throws from Release is left behind; the others are still released.
            TS_LOG_CAUGHT(kSource, L"Releasing a plugin");
        }
    }
    plugins_.clear();
}

bool UpdaterPluginManager::AddPluginsFromRegistry() {
    const std::wstring keyName = std::wstring(keys::kTessary) + L"\\" + kPluginsSubkey;
    UniqueRegKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyName.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, key.put()) !=
        ERROR_SUCCESS) {
        TS_LOG(kSeverityNormal, kSource, L"The pluging key location %s wasn't found. Bailing out.", keyName.c_str());
        return true;
    }
    // Only the first subkey is loaded.
    wchar_t name[kKeyNameChars] = {};
    DWORD nameChars = kKeyNameChars;
    if (::RegEnumKeyExW(key.get(), 0, name, &nameChars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
        return true;
    }
    const int added = AddPlugin(name);
    if (added < 0) {
        TS_LOG(kSeverityError, kSource, L"There was a problem adding this plugin %s. Return code %i", name, added);
        return false;
    }
    return true;
}

int UpdaterPluginManager::AddPlugin(const wchar_t* clsidText) {
    const wchar_t* shown = clsidText != nullptr ? clsidText : L"";
    CLSID clsid{};
    // Registry form only ("{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}"), never a program identifier.
    if (clsidText == nullptr || ::wcslen(clsidText) != 38 || clsidText[0] != L'{' ||
        FAILED(::IIDFromString(clsidText, &clsid))) {
        TS_LOG(kSeverityError, kSource, L"I couldn't find the CLSID from %s", shown);
        return kPluginBadClsid;
    }
    IUpdaterPlugin* plugin = nullptr;
    const HRESULT hr = CreateTrustedObject(clsid, CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER, kUpdaterPluginIid,
                                           reinterpret_cast<void**>(&plugin));
    if (FAILED(hr) || plugin == nullptr) {
        TS_LOG(kSeverityError, kSource, L"I couldn't find the class for this plugin. Looking for CLSID %s, hr=%X",
               shown, static_cast<unsigned>(FAILED(hr) ? hr : E_NOINTERFACE));
        return kPluginNotCreated;
    }
    LONG code = 0;
    HRESULT initialized = E_FAIL;
    try {
        initialized = plugin->Initialize(&code);
    } catch (...) {
        TS_LOG_CAUGHT(kSource, L"Initializing a plugin");
        initialized = E_UNEXPECTED;
        code = static_cast<LONG>(E_UNEXPECTED);
    }
    if (initialized != S_OK) {
        try {
            plugin->Release();
        } catch (...) {
            TS_LOG_CAUGHT(kSource, L"Releasing a plugin");
        }
        TS_LOG(kSeverityError, kSource, L"There was a problem initializing the class, return code=%i",
               static_cast<int>(code));
        return kPluginInitializeFailed;
    }
    TS_LOG(kSeverityInformation, kSource, L"Loaded the class for this plugin. CLSID %s, returnCode=%i", shown,
           static_cast<int>(code));
    try {
        plugins_.push_front(plugin);
    } catch (...) {
        plugin->Release();
        throw;
    }
    return kPluginAdded;
}

bool UpdaterPluginManager::RunAllUpdates() {
    bool result = true;
    for (IUpdaterPlugin* plugin : plugins_) {
        bool ok = false;
        try {
            ok = RunUpdate(plugin);
        } catch (...) {
            // A plug-in that throws from one of its methods ends its own update only.
            TS_LOG(kSeverityError, kSource, L"A plugin failed unexpectedly during its update. Skipping it.");
            ok = false;
        }
        result = result && ok;
    }
    return result;
}

bool UpdaterPluginManager::RunUpdate(IUpdaterPlugin* plugin) {
    UniqueBstr idText;
    if (plugin->GetUpdateID(idText.put()) != S_OK || idText.get() == nullptr) {
        TS_LOG(kSeverityError, kSource,
               L"There seems to be a problem with an update -- I couldn't get its ID. Skipping it.");
        return false;
    }
    const std::wstring id = BstrText(idText.get());

    UniqueBstr downloadText;
    const HRESULT gotFile = plugin->GetDownloadFile(downloadText.put());
    const std::wstring downloadFile = BstrText(downloadText.get());
    // The file is written and deleted by this program: it must name a file at a
    // full path whose every element stays a plain name (no "..", device or stream).
    if (gotFile != S_OK || !IsContainedFullPath(downloadFile)) {
        TS_LOG(kSeverityWarning, kSource,
               L"There was an error getting the download information for update %s. Skipping it.", id.c_str());
        return false;
    }

    LONG status = 0;
    if (plugin->GetLocalDBStatus(&status) != S_OK) {
        TS_LOG(kSeverityError, kSource,
               L"There seems to be a problem getting the local DB status from an update. Skipping it.");
        return false;
    }
    std::wstring version = L"0";
    if (status != 0) {
        UniqueBstr versionText;
        if (plugin->GetAppDBVersion(versionText.put()) != S_OK || versionText.get() == nullptr) {
            TS_LOG(kSeverityWarning, kSource, L"There was an error with update %s", id.c_str());
            return false;
        }
        version = BstrText(versionText.get());
    }

    DownloadFileGuard removeDownload(downloadFile);
    const std::string base = BaseRequest(WideToNarrow(ManifestBaseUrl()), ProcessInstallationId().ForRequest());
    const std::wstring url = NarrowToWide(PluginRequest(base, WideToNarrow(version), WideToNarrow(id)));
    std::string response;
    // A failed request is not logged; the download file goes all the same. An
    // answer cut short could name another file or a truncated url: it counts as failed.
    if (!DownloadCommandFile(url, &response)) return true;

    RewriteFileUrlExtension(&response, WideToNarrow(::PathFindExtensionW(downloadFile.c_str())));
    if (!InterpretCommandFile(response.data(), response.size(), &downloadFile)) {
        TS_LOG(kSeverityNormal, kSource, L"No file was saved for plugin %s.", id.c_str());
        return true;
    }

    UniqueBstr file(::SysAllocStringLen(downloadFile.data(), static_cast<UINT>(downloadFile.size())));
    if (file.get() == nullptr) return false;
    LONG code = 0;
    const bool full = GetIsFullCacheFileDB(response);
    if (status != 0 && !full) {
        const HRESULT merged = plugin->MergeDB(file.get(), &code);
        if (merged != S_OK || code < 0) {
            TS_LOG(kSeverityError, kSource, L"There was a problem with the merge for plugin %s. Return Code=%i",
                   id.c_str(), static_cast<int>(code));
            return false;
        }
        TS_LOG(kSeverityNormal, kSource, L"Merge completed with return code %i", static_cast<int>(code));
        return true;
    }
    if (status != 0) TS_LOG(kSeverityNormal, kSource, L"The tmp XDB downloaded is the full cache DB.");
    const HRESULT replaced = plugin->ReplaceDB(file.get(), &code);
    if (replaced != S_OK || code < 0) {
        TS_LOG(kSeverityError, kSource, L"There was a problem with replacing the DB for plugin %s. Return Code=%i",
               id.c_str(), static_cast<int>(code));
        return false;
    }
    TS_LOG(kSeverityNormal, kSource, L"Merge completed with return code %i", static_cast<int>(code));
    return true;
}

}  // namespace tessary::TSUpdaterPlugin
