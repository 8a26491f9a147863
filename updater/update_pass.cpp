#include "updater/update_pass.h"

#include <objbase.h>
#include <shlwapi.h>

#include <string>

#include "Logging/log_builder.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "platform/trust.h"
#include "platform/unique_resource.h"
#include "qntessary.h"
#include "store/data_paths.h"
#include "store/named_objects.h"
#include "store/product_keys.h"
#include "store/settings.h"
#include "transport/winhttp_api.h"
#include "updater/event_report.h"
#include "updater/go_online.h"
#include "updater/store_merge.h"
#include "updater/updater_plugins.h"

#include <wrl/client.h>

namespace tessary {
namespace {

using ETWLogging::kSeverityError;
using ETWLogging::kSeverityInformation;
using Microsoft::WRL::ComPtr;

constexpr wchar_t kSource[] = L"TSUpdChk";

void FreeBstr(BSTR text) { ::SysFreeString(text); }
using UniqueBstr = UniqueResource<BSTR, FreeBstr>;

void SetEmptyCacheFlag() {
    const DWORD one = 1;
    ::SHSetValueW(HKEY_LOCAL_MACHINE, kLodanKey, kEmptyCacheValue, REG_DWORD, &one, sizeof(one));
}

// Limits the process's library search to the system directory where the system offers it.
void RestrictLibrarySearch() {
    using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
    HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
    auto set = kernel != nullptr ? reinterpret_cast<SetDefaultDllDirectoriesFn>(
                                       reinterpret_cast<void*>(::GetProcAddress(kernel, "SetDefaultDllDirectories")))
                                 : nullptr;
    if (set != nullptr) set(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

}  // namespace

DWORD ReadCheckerDword(const wchar_t* name) {
    UniqueRegKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, keys::kTessary, 0, KEY_READ | KEY_WOW64_64KEY, key.put()) !=
        ERROR_SUCCESS) {
        key.reset();
    }
    if (key) {
        DWORD type = 0;
        DWORD value = 0;
        DWORD size = sizeof(value);
        if (::RegQueryValueExW(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) ==
                ERROR_SUCCESS &&
            type == REG_DWORD && size == sizeof(value)) {
            return value;
        }
    }
    if (std::wstring_view(name) != kTsCheckIntervalValue) return 0;
    if (key) {
        UniqueRegKey writable;
        if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, keys::kTessary, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, writable.put()) ==
            ERROR_SUCCESS) {
            const DWORD value = kDefaultCheckInterval;
            ::RegSetValueExW(writable.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
        }
    }
    return kDefaultCheckInterval;
}

int processAppMergeFile() {
    const std::wstring path = ResolveDataPath(L"", DataBase::kCommonData) + L"\\" + kAppMergeFileName;
    if (path.size() >= kMaxDataPath || ::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) return 0;
    MergeStoreFile(path);
    ApplyUpdateCheckerSettings();
    ::DeleteFileW(path.c_str());
    TS_LOG(kSeverityInformation, kSource, L"%s was found and merged into local db.", path.c_str());
    return 1;
}

void NotifyFirewall() {
    ComPtr<IQnEventBroker> broker;
    HRESULT hr = CreateTrustedObject(
        kEventBrokerClsid, CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER,
        kEventBrokerIid, reinterpret_cast<void**>(broker.GetAddressOf()));
    if (SUCCEEDED(hr) && broker) {
        UniqueBstr product(::SysAllocString(kFirewallProduct));
        UniqueBstr component(::SysAllocString(kFirewallComponent));
        ComPtr<IQnTessaryEvent> sink;
        DWORD cookie = 0;
        hr = broker->GetEventSink(product.get(), component.get(), nullptr, 0, IID_IQnTessaryEvent,
                                  reinterpret_cast<void**>(sink.GetAddressOf()), &cookie);
        // A success that hands out no sink has told the firewall nothing.
        if (SUCCEEDED(hr) && !sink) hr = E_NOINTERFACE;
        if (SUCCEEDED(hr)) hr = sink->OnDatabaseUpdated();
    } else if (SUCCEEDED(hr)) {
        hr = E_NOINTERFACE;
    }
    if (FAILED(hr)) SetEmptyCacheFlag();
}

DWORD TsUpdateThread() {
    DWORD enabled = 1;
    UniqueRegKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, keys::kTessary, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, key.put()) ==
        ERROR_SUCCESS) {
        DWORD type = 0;
        DWORD value = 0;
        DWORD size = sizeof(value);
        if (::RegQueryValueExW(key.get(), keys::kSettingOne, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) ==
                ERROR_SUCCESS &&
            type == REG_DWORD && size == sizeof(value)) {
            enabled = value;
        }
    }
    TS_LOG(kSeverityInformation, kSource, L"Update enabled: %d", static_cast<int>(enabled));
    if (enabled == 0) return 0;

    const DWORD interval = ReadCheckerDword(kTsCheckIntervalValue);
    getTsData(true, interval);
    if (processAppMergeFile() != 0) {
        const HRESULT hr = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        NotifyFirewall();
        if (SUCCEEDED(hr)) ::CoUninitialize();
    }
    return 0;
}

int RunUpdateChecker(HINSTANCE instance) noexcept {
    try {
        RestrictLibrarySearch();
        CreateNamedObjects(Deliverable::kUpdateChecker);
        ETWLogging::CDefaultLogBuilder(ETWLogging::kLogGroup, nullptr).GetLogger();
        const std::wstring programPath = ModuleFilePath(instance);
        TS_LOG(kSeverityInformation, kSource, L"*** %s was launched", programPath.c_str());

        // WinHTTP from the system directory, else by name; without it every exchange fails at once.
        winhttp::Load();

        const HRESULT hr = ::CoInitialize(nullptr);
        if (FAILED(hr)) {
            TS_LOG(kSeverityError, kSource, L"CoInitialize failed with error 0x%x", static_cast<unsigned>(hr));
        } else {
            // The updater plug-ins, apartment-threaded, before the update routine; the
            // manager releases every plug-in before COM goes.
            {
                TSUpdaterPlugin::UpdaterPluginManager plugins;
                plugins.AddPluginsFromRegistry();
                plugins.RunAllUpdates();
            }
            ::CoUninitialize();
            TsUpdateThread();
            // The traffic summary report; its result is not used.
            RunEventReport();
        }
    } catch (...) {
        // Out of memory or similar: the pass ends here; the exit code stays 0.
    }
    winhttp::Unload();
    ETWLogging::ShutdownProcessLogger();
    CloseNamedObjects();
    return 0;
}

}  // namespace tessary
