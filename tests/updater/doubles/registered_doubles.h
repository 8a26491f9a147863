#pragma once

// Registers the COM test doubles (tsdoubles.dll beside the test program) in the
// test prefix for the life of the object, and scripts and observes them
// (double_script.h). Test support only.

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/paths.h"
#include "platform/registry.h"
#include "platform/unique_resource.h"
#include "tests/support/temp_dir.h"
#include "tests/support/tsapi_server.h"
#include "tests/updater/doubles/double_script.h"
#include "tests/updater/updater_test_support.h"

namespace tessary::testing {

class RegisteredDoubles {
public:
    // Registers the two plug-in classes, and the event broker when `withBroker`.
    explicit RegisteredDoubles(bool withBroker = true) {
        const std::wstring dll = ParentDirectory(ModuleFilePath(nullptr)) + L"\\tsdoubles.dll";
        registry::DeleteKeyTree(HKEY_LOCAL_MACHINE, kDoublesKey);
        ok_ = FileExists(dll) && Register(kPluginAText, dll) && Register(kPluginBText, dll) &&
              (!withBroker || Register(kEventBrokerText, dll));
    }
    ~RegisteredDoubles() {
        StopBrokerHost();
        if (proxies_ && proxies_->loaded()) proxies_->Unregister();
        if (typeLibrary_ && typeLibrary_->loaded()) typeLibrary_->Unregister();
        for (const wchar_t* clsid : {kPluginAText, kPluginBText, kEventBrokerText}) {
            registry::DeleteKeyTree(HKEY_LOCAL_MACHINE, ClassKey(clsid).c_str());
        }
        registry::DeleteKeyTree(HKEY_LOCAL_MACHINE, kDoublesKey);
    }
    RegisteredDoubles(const RegisteredDoubles&) = delete;
    RegisteredDoubles& operator=(const RegisteredDoubles&) = delete;

    bool ok() const { return ok_; }

    // Serves the event broker from broker_host.exe, a COM local server beside the
    // test program, instead of in the caller's process: the class keeps only a
    // LocalServer32 entry, the broker's interface crosses through the proxies of
    // broker_ps.dll and the firewall's sink through the type library of tsapi.dll,
    // both registered here and removed again by the destructor. The server runs
    // until StopBrokerHost.
    bool ServeBrokerOutOfProcess() {
        const std::wstring dir = ParentDirectory(ModuleFilePath(nullptr));
        stopHost_.reset(::CreateEventW(nullptr, TRUE, FALSE, kBrokerHostStopEvent));
        proxies_ = std::make_unique<ServerModule>(dir + L"\\broker_ps.dll");
        typeLibrary_ = std::make_unique<ServerModule>(dir + L"\\tsapi.dll");
        const std::wstring command = L"\"" + dir + L"\\broker_host.exe\"";
        return stopHost_ && proxies_->loaded() && typeLibrary_->loaded() && proxies_->Register() == S_OK &&
               typeLibrary_->Register() == S_OK &&
               registry::DeleteKeyTree(HKEY_LOCAL_MACHINE,
                                       (ClassKey(kEventBrokerText) + L"\\InprocServer32").c_str()) &&
               registry::WriteString(HKEY_LOCAL_MACHINE, (ClassKey(kEventBrokerText) + L"\\LocalServer32").c_str(),
                                     nullptr, command);
    }
    void StopBrokerHost() const {
        if (stopHost_) ::SetEvent(stopHost_.get());
    }

    bool Set(const wchar_t* clsid, const wchar_t* name, DWORD value) const {
        return registry::WriteDword(HKEY_LOCAL_MACHINE, ScriptKey(clsid).c_str(), name, value);
    }
    bool Set(const wchar_t* clsid, const wchar_t* name, const std::wstring& value) const {
        return registry::WriteString(HKEY_LOCAL_MACHINE, ScriptKey(clsid).c_str(), name, value);
    }
    // Forgets every scripted value and call of `clsid`; its calls go to a fresh log.
    bool Reset(const wchar_t* clsid) {
        registry::DeleteKeyTree(HKEY_LOCAL_MACHINE, ScriptKey(clsid).c_str());
        const std::wstring log = logs_.File(std::wstring(clsid) + L".log");
        ::DeleteFileW(log.c_str());
        return Set(clsid, L"CallLog", log);
    }
    // The calls `clsid` recorded since its Reset, one line each.
    std::vector<std::string> Calls(const wchar_t* clsid) const {
        std::vector<std::string> lines;
        const std::string text = ReadBytes(logs_.File(std::wstring(clsid) + L".log"));
        size_t start = 0;
        for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
            lines.push_back(text.substr(start, end - start));
        }
        return lines;
    }

private:
    static std::wstring ClassKey(const wchar_t* clsid) { return std::wstring(L"Software\\Classes\\CLSID\\") + clsid; }
    static std::wstring ScriptKey(const wchar_t* clsid) { return std::wstring(kDoublesKey) + L"\\" + clsid; }

    static bool Register(const wchar_t* clsid, const std::wstring& dll) {
        const std::wstring server = ClassKey(clsid) + L"\\InprocServer32";
        HKEY key = nullptr;
        if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, server.c_str(), 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_64KEY,
                              nullptr, &key, nullptr) != ERROR_SUCCESS) {
            return false;
        }
        // "Both": created directly in the plug-ins' apartment and in the broker's multithreaded one.
        const wchar_t both[] = L"Both";
        const bool ok = ::RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(dll.c_str()),
                                         static_cast<DWORD>((dll.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS &&
                        ::RegSetValueExW(key, L"ThreadingModel", 0, REG_SZ, reinterpret_cast<const BYTE*>(both),
                                         sizeof(both)) == ERROR_SUCCESS;
        ::RegCloseKey(key);
        return ok;
    }

    ScopedTempDir logs_;
    bool ok_ = false;
    UniqueHandle stopHost_;
    std::unique_ptr<ServerModule> proxies_;
    std::unique_ptr<ServerModule> typeLibrary_;
};

}  // namespace tessary::testing
