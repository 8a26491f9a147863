#include "component/com_module.h"

#include <oleauto.h>

#include <algorithm>
#include <cwchar>
#include <iterator>
#include <new>
#include <type_traits>

#include "component/com_ids.h"
#include "component/com_registrar.h"
#include "component/com_root.h"
#include "component/shared_perms.h"
#include "component/signature_list.h"
#include "Logging/log_builder.h"
#include "platform/registry.h"
#include "platform/result_macros.h"
#include "platform/trust.h"
#include "platform/unique_resource.h"
#include "store/exception_list.h"
#include "store/named_objects.h"
#include "store/record_cache.h"
#include "transport/kept_registry_key.h"
#include "transport/winhttp_api.h"

namespace tessary {
namespace {

// The type library's registration for the neutral locale (below HKEY_CLASSES_ROOT).
constexpr wchar_t kNeutralTypeLibLocaleKey[] = L"TypeLib\\{9A05CED2-C82B-4E04-8164-DF7F08E86834}\\1.0\\0";
constexpr wchar_t kNeutralTypeLibKey[] = L"TypeLib\\{9A05CED2-C82B-4E04-8164-DF7F08E86834}\\1.0\\0\\win64";

constexpr UINT kRegistryScriptId = 101;

// The creatable classes, in registration order.
ClassTableEntry g_classTable[] = {
    {&CLSID_QnTessary, &CQnTessary::Create, {}},
    {&kClsidQnTessaryVersion, &CQnTessaryVersion::Create, {}},
};

// Class objects admit only callers the platform's trust validation accepts.
bool CallerAllowed() noexcept { return IsCallerTrusted(); }

// Sets the thread locale for the life of the object and restores the caller's.
class ScopedThreadLocale {
public:
    explicit ScopedThreadLocale(LCID locale) noexcept : previous_(::GetThreadLocale()) { ::SetThreadLocale(locale); }
    ~ScopedThreadLocale() { ::SetThreadLocale(previous_); }
    ScopedThreadLocale(const ScopedThreadLocale&) = delete;
    ScopedThreadLocale& operator=(const ScopedThreadLocale&) = delete;

private:
    LCID previous_;
};

// Constant-initialised and trivially destructible: no code of the module runs for
// it at load, and MinGW's start-up code, which runs a DLL's static destructors from
// DLL_PROCESS_DETACH also when the process ends, has nothing to run for it.
constinit CTSAPIModule g_module;
static_assert(std::is_trivially_destructible_v<CTSAPIModule>);

}  // namespace

CTSAPIModule& Module() noexcept { return g_module; }

namespace com {

void ModuleLock() noexcept { g_module.Lock(); }
void ModuleUnlock() noexcept { g_module.Unlock(); }

HRESULT ClassFactory::Create(InstanceCreator creator, CallerCheck callerAllowed, REFIID riid, void** ppv) noexcept {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    auto* factory = new (std::nothrow) ClassFactory(creator, callerAllowed);
    if (factory == nullptr) return E_OUTOFMEMORY;
    factory->AddRef();
    HRESULT hr = factory->QueryInterface(riid, ppv);
    factory->Release();
    return hr;
}

IFACEMETHODIMP ClassFactory::QueryInterface(REFIID riid, void** ppv) noexcept {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (riid != IID_IUnknown && riid != IID_IClassFactory) return E_NOINTERFACE;
    *ppv = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
}

// The module's cache holds the first reference; every reference beyond it keeps
// the module loaded, as an object would.
IFACEMETHODIMP_(ULONG) ClassFactory::AddRef() noexcept {
    ULONG count = ++references_;
    if (count == 2) ModuleLock();
    return count;
}

IFACEMETHODIMP_(ULONG) ClassFactory::Release() noexcept {
    ULONG count = --references_;
    if (count == 1) ModuleUnlock();
    if (count == 0) delete this;
    return count;
}

IFACEMETHODIMP ClassFactory::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) noexcept {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (!callerAllowed_()) return E_ACCESSDENIED;
    return creator_(outer, riid, ppv);
}

IFACEMETHODIMP ClassFactory::LockServer(BOOL lock) noexcept {
    if (lock) {
        ModuleLock();
    } else {
        ModuleUnlock();
    }
    return S_OK;
}

}  // namespace com

bool CTSAPIModule::Attach(HINSTANCE instance) noexcept {
    // Only what needs neither a lock nor another library: DllMain runs under the
    // loader lock. Everything else waits for the first call (EnsureStarted).
    instance_ = instance;
    DWORD length = ::GetModuleFileNameW(instance, modulePath_, static_cast<DWORD>(std::size(modulePath_)));
    // A path that fills the buffer is cut (and only terminated on newer systems).
    modulePathTruncated_ = length == 0 || length >= std::size(modulePath_);
    if (length >= std::size(modulePath_)) modulePath_[std::size(modulePath_) - 1] = L'\0';
    attached_ = true;
    return true;
}

BOOL CALLBACK CTSAPIModule::Start(PINIT_ONCE, PVOID context, PVOID*) noexcept {
    auto* self = static_cast<CTSAPIModule*>(context);
    CreateNamedObjects(Deliverable::kComponentServer);
    try {
        ETWLogging::CDefaultLogBuilder(ETWLogging::kLogGroup, self->instance_).GetLogger();
    } catch (...) {
        // Without a logger the server runs silently.
    }
    // Loaded for the life of the process: freeing it would belong in DllMain, and
    // a thread of the library (name resolution, proxy discovery) may still run.
    winhttp::Load();
    self->started_ = true;
    return TRUE;
}

void CTSAPIModule::EnsureStarted() noexcept { ::InitOnceExecuteOnce(&startOnce_, &CTSAPIModule::Start, this, nullptr); }

void CTSAPIModule::Detach(bool processEnding) noexcept {
    attached_ = false;
    // At process end ExitProcess has already killed the other threads wherever they
    // were, possibly inside the caches' semaphores, the logger's lock or a kept
    // registry key's lock: nothing is freed and no lock is taken; the system
    // reclaims everything with the process.
    if (processEnding) return;
    // FreeLibrary: no object and no thread of the module is left (each holds the
    // module), so what remains is given back without waiting for anything: the
    // caches' semaphores are taken only if free at once.
    ReleaseClassObjects();
    if (!started_) return;
    FreeRecordCache();
    FreeExceptionList();
    FreeSignatureList();
    FreeSharedPermissionIndex();
    ETWLogging::ReleaseProcessLogger();
    CloseIdleKeptRegistryKeys();
    CloseNamedObjects();
}

void CTSAPIModule::ReleaseClassObjects() noexcept {
    for (ClassTableEntry& entry : g_classTable) {
        void* encoded = entry.encodedClassObject.exchange(nullptr);
        if (encoded != nullptr) static_cast<IUnknown*>(::DecodePointer(encoded))->Release();
    }
}

HRESULT CTSAPIModule::GetClassObject(REFCLSID clsid, REFIID riid, void** ppv) noexcept {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (!attached_) return E_UNEXPECTED;
    EnsureStarted();
    // Named objects another process had made before the load are logged at the
    // first call that is no longer inside DllMain.
    ReportReplacedNamedObjects();
    for (ClassTableEntry& entry : g_classTable) {
        if (clsid != *entry.clsid) continue;
        void* encoded = entry.encodedClassObject.load(std::memory_order_acquire);
        if (encoded == nullptr) {
            ::AcquireSRWLockExclusive(&classObjectLock_);
            encoded = entry.encodedClassObject.load(std::memory_order_acquire);
            HRESULT hr = S_OK;
            if (encoded == nullptr) {
                IUnknown* created = nullptr;
                hr = com::ClassFactory::Create(entry.createInstance, &CallerAllowed, IID_IUnknown,
                                               reinterpret_cast<void**>(&created));
                if (SUCCEEDED(hr)) {
                    encoded = ::EncodePointer(created);
                    entry.encodedClassObject.store(encoded, std::memory_order_release);
                }
            }
            ::ReleaseSRWLockExclusive(&classObjectLock_);
            if (FAILED(hr)) return hr;
        }
        return static_cast<IUnknown*>(::DecodePointer(encoded))->QueryInterface(riid, ppv);
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT CTSAPIModule::ModuleReplacement(std::wstring* out) const {
    if (modulePathTruncated_) return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    out->clear();
    for (const wchar_t* p = modulePath_; *p != L'\0'; ++p) {
        out->push_back(*p);
        if (*p == L'\'') out->push_back(L'\'');
    }
    return S_OK;
}

HRESULT CTSAPIModule::RunScript(bool install) const noexcept {
    try {
        std::wstring module;
        RETURN_IF_FAILED(ModuleReplacement(&module));
        const std::vector<ScriptReplacement> replacements = {{L"MODULE", module}, {L"APPID", kAppIdText}};
        return ApplyRegistryResource(instance_, kRegistryScriptId, replacements, install);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT CTSAPIModule::RegisterTypeLibrary() const noexcept {
    if (modulePathTruncated_) return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    ITypeLib* raw = nullptr;
    RETURN_IF_FAILED(::LoadTypeLibEx(modulePath_, REGKIND_NONE, &raw));
    Microsoft::WRL::ComPtr<ITypeLib> typeLib;
    typeLib.Attach(raw);
    // RegisterTypeLib takes a non-const path it does not change.
    wchar_t path[kMaxModulePath];
    std::copy(std::begin(modulePath_), std::end(modulePath_), path);
    RETURN_IF_FAILED(::RegisterTypeLib(typeLib.Get(), path, nullptr));
    // The library is also registered for the neutral locale: the type-library
    // marshaller of the [oleautomation] interfaces asks for locale 0, and a
    // library registered under 0x409 alone is not found for it, so the
    // firewall's event sink could not cross to another apartment or process.
    const DWORD bytes = static_cast<DWORD>((::wcslen(modulePath_) + 1) * sizeof(wchar_t));
    const LSTATUS status =
        ::RegSetKeyValueW(HKEY_CLASSES_ROOT, kNeutralTypeLibKey, nullptr, REG_SZ, modulePath_, bytes);
    return status == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(status);
}

HRESULT CTSAPIModule::UnregisterTypeLibrary() const noexcept {
    // Nothing registered is nothing to remove; UnRegisterTypeLib would report it
    // as a failure.
    UniqueBstr path;
    HRESULT hr = ::QueryPathOfRegTypeLib(LIBID_QnTessaryLib, kTypeLibMajor, kTypeLibMinor, kTypeLibLocale, path.put());
    if (FAILED(hr)) return S_OK;
    // The neutral-locale entry first, so that the library's version key is left
    // empty and goes with the registration.
    registry::DeleteKeyTree(HKEY_CLASSES_ROOT, kNeutralTypeLibLocaleKey);
    return ::UnRegisterTypeLib(LIBID_QnTessaryLib, kTypeLibMajor, kTypeLibMinor, kTypeLibLocale, SYS_WIN64);
}

// Registration needs neither the logger, the named objects nor WinHTTP, so it
// does not start the module: an installer loads the DLL only to register it and
// frees it at once, and a started event-tracing logger keeps the module loaded
// for the life of the process (its registered provider pins it), so the file
// could not be removed when the installation rolls back.
HRESULT CTSAPIModule::RegisterServer() noexcept {
    if (!attached_) return E_UNEXPECTED;
    ScopedThreadLocale locale(LOCALE_SYSTEM_DEFAULT);
    // The application identifier registration, then each creatable class's own
    // registration (the same script; component categories: none).
    RETURN_IF_FAILED(RunScript(true));
    for (size_t i = 0; i < std::size(g_classTable); ++i) RETURN_IF_FAILED(RunScript(true));
    return RegisterTypeLibrary();
}

HRESULT CTSAPIModule::UnregisterServer() noexcept {
    if (!attached_) return E_UNEXPECTED;
    ScopedThreadLocale locale(LOCALE_SYSTEM_DEFAULT);
    for (size_t i = 0; i < std::size(g_classTable); ++i) RETURN_IF_FAILED(RunScript(false));
    RETURN_IF_FAILED(UnregisterTypeLibrary());
    return RunScript(false);
}

}  // namespace tessary

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    switch (reason) {
        case DLL_PROCESS_ATTACH:
            ::DisableThreadLibraryCalls(instance);
            return tessary::Module().Attach(instance) ? TRUE : FALSE;
        case DLL_PROCESS_DETACH:
            tessary::Module().Detach(reserved != nullptr);
            break;
        default:
            break;
    }
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, LPVOID* ppv) {
    return tessary::Module().GetClassObject(clsid, riid, ppv);
}

STDAPI DllCanUnloadNow() { return tessary::Module().lockCount() == 0 ? S_OK : S_FALSE; }

STDAPI DllRegisterServer() { return tessary::Module().RegisterServer(); }

STDAPI DllUnregisterServer() { return tessary::Module().UnregisterServer(); }

}  // extern "C"
