#pragma once

// Test support for the COM activation tests: tsapi.dll beside the test
// executable, loaded by path, and registry state of the product key that a test
// changes and puts back. Test support only.

#include <windows.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/product_registry.h"
#include "platform/registry.h"
#include "platform/unique_resource.h"

namespace tessary::testing {

// The folder of the running test executable (all binaries go to one folder).
inline std::wstring ExecutableDir() {
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path);
    return dir.substr(0, dir.find_last_of(L'\\'));
}

inline std::wstring ServerPath() { return ExecutableDir() + L"\\tsapi.dll"; }

// A loaded copy of tsapi.dll and its four exports.
class ServerModule {
public:
    explicit ServerModule(const std::wstring& path) : module_(::LoadLibraryW(path.c_str())) {
        if (module_ == nullptr) return;
        getClassObject_ = BindProc<decltype(getClassObject_)>(module_, "DllGetClassObject");
        canUnloadNow_ = BindProc<decltype(canUnloadNow_)>(module_, "DllCanUnloadNow");
        register_ = BindProc<decltype(register_)>(module_, "DllRegisterServer");
        unregister_ = BindProc<decltype(unregister_)>(module_, "DllUnregisterServer");
    }
    ~ServerModule() {
        if (module_ != nullptr) ::FreeLibrary(module_);
    }
    ServerModule(const ServerModule&) = delete;
    ServerModule& operator=(const ServerModule&) = delete;

    bool loaded() const { return module_ != nullptr && getClassObject_ && canUnloadNow_ && register_ && unregister_; }
    HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void** ppv) const { return getClassObject_(clsid, iid, ppv); }
    HRESULT CanUnloadNow() const { return canUnloadNow_(); }
    HRESULT Register() const { return register_(); }
    HRESULT Unregister() const { return unregister_(); }

private:
    HMODULE module_;
    HRESULT(STDAPICALLTYPE* getClassObject_)(REFCLSID, REFIID, void**) = nullptr;
    HRESULT(STDAPICALLTYPE* canUnloadNow_)() = nullptr;
    HRESULT(STDAPICALLTYPE* register_)() = nullptr;
    HRESULT(STDAPICALLTYPE* unregister_)() = nullptr;
};

// The file logger for every process that starts its logger while the object
// lives ("Logging Mechanism" 1); the value is put back afterwards. A module whose
// event-tracing provider registered stays loaded for the life of the process, so
// tests that watch a module unload use the file logger.
class ScopedFileLogging {
public:
    ScopedFileLogging() {
        present_ = registry::ReadRawValue(HKEY_LOCAL_MACHINE, keys::kLogging, keys::kLoggingMechanism, &type_, &data_);
        EXPECT_TRUE(registry::WriteProtectedDword(HKEY_LOCAL_MACHINE, keys::kLogging, keys::kLoggingMechanism, 1));
    }
    ~ScopedFileLogging() {
        registry::DeleteValue(HKEY_LOCAL_MACHINE, keys::kLogging, keys::kLoggingMechanism);
        if (present_) {
            ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, keys::kLogging, keys::kLoggingMechanism, type_, data_.data(),
                              static_cast<DWORD>(data_.size()));
        }
    }
    ScopedFileLogging(const ScopedFileLogging&) = delete;
    ScopedFileLogging& operator=(const ScopedFileLogging&) = delete;

private:
    bool present_ = false;
    DWORD type_ = REG_NONE;
    std::vector<uint8_t> data_;
};

// Remembers values of HKLM\SOFTWARE\Quellon\Tessary and puts them back (or deletes
// them when they were absent) when the object goes away.
class ProductValuesGuard {
public:
    explicit ProductValuesGuard(std::vector<std::wstring> names) {
        for (auto& name : names) {
            Saved saved{name, false, 0, {}};
            saved.present =
                registry::ReadRawValue(HKEY_LOCAL_MACHINE, keys::kTessary, name.c_str(), &saved.type, &saved.data);
            saved_.push_back(std::move(saved));
        }
    }
    ~ProductValuesGuard() {
        for (const Saved& s : saved_) {
            if (!s.present) {
                registry::DeleteValue(HKEY_LOCAL_MACHINE, keys::kTessary, s.name.c_str());
                continue;
            }
            HKEY key = nullptr;
            if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, keys::kTessary, 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_64KEY,
                                  nullptr, &key, nullptr) == ERROR_SUCCESS) {
                ::RegSetValueExW(key, s.name.c_str(), 0, s.type, s.data.data(), static_cast<DWORD>(s.data.size()));
                ::RegCloseKey(key);
            }
        }
    }
    ProductValuesGuard(const ProductValuesGuard&) = delete;
    ProductValuesGuard& operator=(const ProductValuesGuard&) = delete;

private:
    struct Saved {
        std::wstring name;
        bool present;
        DWORD type;
        std::vector<uint8_t> data;
    };
    std::vector<Saved> saved_;
};

// A registry key's string value (default value for an empty name), or nullopt.
inline std::optional<std::wstring> ClassesString(const std::wstring& subkey, const wchar_t* name) {
    std::wstring value;
    if (!registry::ReadString(HKEY_CLASSES_ROOT, subkey.c_str(), name, &value)) return std::nullopt;
    return value;
}

// A test suite that loads tsapi.dll and registers it once, for objects created
// through the COM runtime; each test checks `server_` in its SetUp.
class RegisteredServerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        server_ = new ServerModule(ServerPath());
        ASSERT_TRUE(server_->loaded());
        ASSERT_EQ(server_->Register(), S_OK);
    }
    static void TearDownTestSuite() {
        delete server_;
        server_ = nullptr;
    }

    static inline ServerModule* server_ = nullptr;
};

}  // namespace tessary::testing
