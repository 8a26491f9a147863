// In-process COM servers standing in for the suite's components the update
// checker talks to: a scripted updater plug-in (two classes) and the event
// broker with its notification sink. Scripted and observed through the registry
// and a call log (double_script.h). Test support only.

#include <objbase.h>
#include <oleauto.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "platform/registry.h"
#include "platform/text.h"
#include "qntessary.h"
#include "tests/updater/doubles/double_script.h"
#include "updater/update_pass.h"
#include "updater/updater_plugin.h"

namespace tessary::testing {
namespace {

std::atomic<long> g_objects{0};

std::wstring ScriptKey(const wchar_t* clsidText) { return std::wstring(kDoublesKey) + L"\\" + clsidText; }

DWORD ScriptDword(const std::wstring& key, const wchar_t* name, DWORD absent) {
    DWORD value = 0;
    return registry::ReadDword(HKEY_LOCAL_MACHINE, key.c_str(), name, &value) ? value : absent;
}

std::wstring ScriptString(const std::wstring& key, const wchar_t* name, const wchar_t* absent) {
    std::wstring value;
    return registry::ReadString(HKEY_LOCAL_MACHINE, key.c_str(), name, &value) ? value : std::wstring(absent);
}

void AppendCall(const std::wstring& key, const std::wstring& line) { AppendDoubleCall(key, line); }

std::wstring GuidText(REFGUID guid) {
    wchar_t text[40] = {};
    ::StringFromGUID2(guid, text, 40);
    return text;
}

// Reference counting shared by the doubles.
template <typename Derived>
class RefCounted {
public:
    RefCounted() { ++g_objects; }
    virtual ~RefCounted() { --g_objects; }
    ULONG AddRefImpl() { return static_cast<ULONG>(++refs_); }
    ULONG ReleaseImpl() {
        const long left = --refs_;
        if (left == 0) delete this;
        return static_cast<ULONG>(left);
    }

private:
    std::atomic<long> refs_{1};
};

class Plugin final : public IUpdaterPlugin, public RefCounted<Plugin> {
public:
    explicit Plugin(const wchar_t* clsidText) : key_(ScriptKey(clsidText)) {}

    STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
        if (object == nullptr) return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_IDispatch || iid == kUpdaterPluginIid) {
            *object = static_cast<IUpdaterPlugin*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return AddRefImpl(); }
    STDMETHODIMP_(ULONG) Release() override { return ReleaseImpl(); }

    // The manager never calls the dispatch slots.
    STDMETHODIMP GetTypeInfoCount(UINT*) override { return Called(L"GetTypeInfoCount"), E_NOTIMPL; }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return Called(L"GetTypeInfo"), E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return Called(L"GetIDsOfNames"), E_NOTIMPL;
    }
    STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return Called(L"Invoke"), E_NOTIMPL;
    }

    STDMETHODIMP Initialize(LONG* code) override {
        Called(L"Initialize");
        *code = static_cast<LONG>(Dword(L"InitializeCode", 0));
        return Result(L"InitializeResult");
    }
    STDMETHODIMP GetLocalDBStatus(LONG* status) override {
        Called(L"GetLocalDBStatus");
        *status = static_cast<LONG>(Dword(L"Status", 0));
        return Result(L"StatusResult");
    }
    STDMETHODIMP ReplaceDB(BSTR file, LONG* code) override {
        Called(L"ReplaceDB", file);
        Keep(file);
        *code = static_cast<LONG>(Dword(L"ReplaceCode", 0));
        return Result(L"ReplaceResult");
    }
    STDMETHODIMP GetUpdateID(BSTR* id) override {
        Called(L"GetUpdateID");
        return Text(id, L"UpdateId", L"TESTDB", L"UpdateIdResult");
    }
    STDMETHODIMP GetAppDBVersion(BSTR* version) override {
        Called(L"GetAppDBVersion");
        return Text(version, L"Version", L"1.0", L"VersionResult");
    }
    STDMETHODIMP GetDownloadFile(BSTR* file) override {
        Called(L"GetDownloadFile");
        return Text(file, L"DownloadFile", L"", L"DownloadFileResult");
    }
    STDMETHODIMP MergeDB(BSTR file, LONG* code) override {
        Called(L"MergeDB", file);
        Keep(file);
        *code = static_cast<LONG>(Dword(L"MergeCode", 0));
        return Result(L"MergeResult");
    }

private:
    DWORD Dword(const wchar_t* name, DWORD absent) const { return ScriptDword(key_, name, absent); }
    HRESULT Result(const wchar_t* name) const { return static_cast<HRESULT>(Dword(name, S_OK)); }

    void Called(const wchar_t* method, BSTR argument = nullptr) const {
        AppendCall(key_, argument != nullptr ? std::wstring(method) + L" " + argument : std::wstring(method));
        if (ScriptString(key_, L"Throw", L"") == method) throw std::runtime_error("scripted failure");
    }

    HRESULT Text(BSTR* out, const wchar_t* name, const wchar_t* absent, const wchar_t* resultName) const {
        *out = nullptr;
        const HRESULT result = Result(resultName);
        if (Dword(L"NullStrings", 0) != 0) return result;
        const DWORD huge = Dword(L"HugeStrings", 0);
        const std::wstring text = huge != 0 ? std::wstring(huge, L'h') : ScriptString(key_, name, absent);
        *out = ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
        return *out != nullptr ? result : E_OUTOFMEMORY;
    }

    void Keep(BSTR file) const {
        const std::wstring keep = ScriptString(key_, L"Keep", L"");
        if (!keep.empty() && file != nullptr) ::CopyFileW(file, keep.c_str(), FALSE);
    }

    std::wstring key_;
};

class Sink final : public IQnTessaryEvent, public RefCounted<Sink> {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
        if (object == nullptr) return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_IQnTessaryEvent) {
            *object = static_cast<IQnTessaryEvent*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return AddRefImpl(); }
    STDMETHODIMP_(ULONG) Release() override { return ReleaseImpl(); }
    STDMETHODIMP OnDatabaseUpdated() override {
        const std::wstring key = ScriptKey(kEventBrokerText);
        AppendCall(key, L"OnDatabaseUpdated");
        return ScriptString(key, L"Mode", L"ok") == L"fail-event" ? E_FAIL : S_OK;
    }
};

class Broker final : public IQnEventBroker, public RefCounted<Broker> {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
        if (object == nullptr) return E_POINTER;
        if (iid == IID_IUnknown || iid == kEventBrokerIid) {
            *object = static_cast<IQnEventBroker*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return AddRefImpl(); }
    STDMETHODIMP_(ULONG) Release() override { return ReleaseImpl(); }

    STDMETHODIMP GetEventSink(BSTR product, BSTR component, void* reserved, DWORD flags, REFIID iid, void** sink,
                              DWORD* cookie) override {
        const std::wstring key = ScriptKey(kEventBrokerText);
        AppendCall(key, L"GetEventSink " + std::wstring(product != nullptr ? product : L"(null)") + L" " +
                            (component != nullptr ? component : L"(null)") + L" " +
                            (reserved == nullptr ? L"null" : L"set") + L" " + std::to_wstring(flags) + L" " +
                            GuidText(iid));
        if (sink == nullptr) return E_POINTER;
        *sink = nullptr;
        if (cookie != nullptr) *cookie = 7;
        const std::wstring mode = ScriptString(key, L"Mode", L"ok");
        if (mode == L"fail-method") return E_FAIL;
        if (mode == L"null-sink") return S_OK;
        Sink* created = new (std::nothrow) Sink();
        if (created == nullptr) return E_OUTOFMEMORY;
        const HRESULT hr = created->QueryInterface(iid, sink);
        created->Release();
        return hr;
    }
};

class Factory final : public IClassFactory {
public:
    explicit Factory(REFCLSID clsid) : clsid_(clsid) { ++g_objects; }
    ~Factory() { --g_objects; }

    STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
        if (object == nullptr) return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_IClassFactory) {
            *object = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++refs_); }
    STDMETHODIMP_(ULONG) Release() override {
        const long left = --refs_;
        if (left == 0) delete this;
        return static_cast<ULONG>(left);
    }

    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
        if (object == nullptr) return E_POINTER;
        *object = nullptr;
        if (outer != nullptr) return CLASS_E_NOAGGREGATION;
        IUnknown* created = nullptr;
        if (clsid_ == kPluginA) {
            created = static_cast<IUpdaterPlugin*>(new (std::nothrow) Plugin(kPluginAText));
        } else if (clsid_ == kPluginB) {
            created = static_cast<IUpdaterPlugin*>(new (std::nothrow) Plugin(kPluginBText));
        } else {
            created = static_cast<IQnEventBroker*>(new (std::nothrow) Broker());
        }
        if (created == nullptr) return E_OUTOFMEMORY;
        const HRESULT hr = created->QueryInterface(iid, object);
        created->Release();
        return hr;
    }
    STDMETHODIMP LockServer(BOOL lock) override {
        lock ? ++g_objects : --g_objects;
        return S_OK;
    }

private:
    CLSID clsid_;
    std::atomic<long> refs_{1};
};

}  // namespace
}  // namespace tessary::testing

using namespace tessary::testing;

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, void** object) {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (clsid == tessary::kEventBrokerClsid) {
        if (ScriptString(ScriptKey(kEventBrokerText), L"Mode", L"ok") == L"fail-create") {
            return CLASS_E_CLASSNOTAVAILABLE;
        }
    } else if (clsid != kPluginA && clsid != kPluginB) {
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    Factory* factory = new (std::nothrow) Factory(clsid);
    if (factory == nullptr) return E_OUTOFMEMORY;
    const HRESULT hr = factory->QueryInterface(iid, object);
    factory->Release();
    return hr;
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() { return g_objects == 0 ? S_OK : S_FALSE; }
