#pragma once

// The component server's module: one object per process from load to unload,
// holding the lock count, the class table with its cached class objects, the
// module's handle and path, and the registration entry points.

#include <windows.h>

#include <atomic>
#include <string>

#include "component/com_object.h"

namespace tessary {

// One creatable class: its identifier, instance creator (plain or aggregated)
// and the class object created on its first request, kept encoded with
// EncodePointer for the life of the module.
struct ClassTableEntry {
    const CLSID* clsid;
    com::InstanceCreator createInstance;
    std::atomic<void*> encodedClassObject{nullptr};
};

class CTSAPIModule {
public:
    // Longest module path the module stores, terminator included.
    static constexpr size_t kMaxModulePath = 260;

    // Constant-initialised: runs no code at load. There is no destructor (see
    // the module object in com_module.cpp).
    constexpr CTSAPIModule() noexcept = default;
    CTSAPIModule(const CTSAPIModule&) = delete;
    CTSAPIModule& operator=(const CTSAPIModule&) = delete;

    // Process attach (under the loader lock): stores the module handle and path
    // only. Always true.
    bool Attach(HINSTANCE instance) noexcept;
    // The work that must not run under the loader lock, done once by the first
    // export called after the load (outside DllMain): the process's named
    // objects, the logger and the HTTP library. Thread-safe; later calls return
    // at once.
    void EnsureStarted() noexcept;
    // Process detach by FreeLibrary: releases the class objects and, when the
    // module was started, frees the in-memory caches whose semaphores are free at
    // once, drops the logger and closes the named objects, waiting for nothing.
    // Nothing is freed and no lock taken when the process is ending
    // (`processEnding`).
    void Detach(bool processEnding) noexcept;

    // The lock count: outstanding objects, external class-object references and
    // LockServer locks.
    void Lock() noexcept { lockCount_.fetch_add(1); }
    void Unlock() noexcept { lockCount_.fetch_sub(1); }
    LONG lockCount() const noexcept { return lockCount_.load(); }

    // DllGetClassObject: the class object of `clsid` asked for `riid`. E_POINTER for
    // a null ppv (otherwise *ppv is cleared first), E_UNEXPECTED before Attach,
    // CLASS_E_CLASSNOTAVAILABLE for a class outside the class table, else the result
    // of creating the class object or of its QueryInterface. Concurrent first
    // requests for one class create a single class object.
    HRESULT GetClassObject(REFCLSID clsid, REFIID riid, void** ppv) noexcept;

    // DllRegisterServer / DllUnregisterServer: apply registry script 101 and the
    // type library under the system default thread locale, restoring the caller's
    // locale on every path. The first failure is returned.
    HRESULT RegisterServer() noexcept;
    HRESULT UnregisterServer() noexcept;

    HINSTANCE instance() const noexcept { return instance_; }

private:
    // The "%MODULE%" replacement: the module path with every single quote doubled.
    // 0x8007007A when the path filled the 260-character buffer.
    HRESULT ModuleReplacement(std::wstring* out) const;
    // Runs script 101 with the module and application identifier replacements.
    HRESULT RunScript(bool install) const noexcept;
    HRESULT RegisterTypeLibrary() const noexcept;
    HRESULT UnregisterTypeLibrary() const noexcept;
    void ReleaseClassObjects() noexcept;
    static BOOL CALLBACK Start(PINIT_ONCE once, PVOID context, PVOID* unused) noexcept;

    std::atomic<LONG> lockCount_{0};
    SRWLOCK classObjectLock_ = SRWLOCK_INIT;
    INIT_ONCE startOnce_ = INIT_ONCE_STATIC_INIT;
    bool started_ = false;
    bool attached_ = false;
    HINSTANCE instance_ = nullptr;
    wchar_t modulePath_[kMaxModulePath] = {};
    bool modulePathTruncated_ = false;
};

// The process's module object.
CTSAPIModule& Module() noexcept;

}  // namespace tessary
