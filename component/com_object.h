#pragma once

// Free-threaded COM objects of the component server: a CRTP base with an atomic
// reference count, table-driven QueryInterface, the module lock count, optional
// aggregation and a per-object critical section; and the class object of a
// creatable class.

#include <windows.h>
#include <objbase.h>
#include <unknwn.h>
#include <wrl/client.h>

#include <array>
#include <atomic>
#include <new>

#include "platform/result_macros.h"

namespace tessary::com {

// The module's lock count (outstanding objects, external class-object references
// and class-object locks). Defined by the module; changed atomically.
void ModuleLock() noexcept;
void ModuleUnlock() noexcept;

// Base of every object of the server. Derived lists the interfaces it implements
// as Interfaces; QueryInterface answers IUnknown and the identifier of each of them
// (__uuidof), in that order. Each instance holds one module lock from construction
// to destruction.
//
// A plain (not aggregated) instance aggregates the free-threaded marshaller:
// every class is registered "Both" and holds no interface pointer of another
// apartment, so a pointer handed from an MTA thread to an STA thread (or the
// reverse) is used directly instead of failing for want of a proxy. An
// aggregated instance does not: the outer object decides how it marshals, and
// an outer that forwards IMarshal blindly would otherwise be declared
// free-threaded whatever its own apartment rules are.
//
// Derived may define `HRESULT FinalConstruct() noexcept`, run once after the
// critical section was initialised and before the object is handed out; a failure
// destroys the object and is returned by the creation call.
template <typename Derived, typename... Interfaces>
class ComObject : public Interfaces... {
public:
    ComObject(const ComObject&) = delete;
    ComObject& operator=(const ComObject&) = delete;

    // Creates an instance and asks it for `riid` into *ppv. With a non-null
    // `outer` the instance is created aggregated, and only IID_IUnknown may be
    // asked for (CLASS_E_NOAGGREGATION otherwise); *ppv then receives the inner,
    // non-delegating IUnknown. Returns E_POINTER for a null ppv, E_OUTOFMEMORY, a
    // failure of the object's initialisation (critical section, FinalConstruct) or
    // of QueryInterface; *ppv is null on every failure.
    static HRESULT Create(IUnknown* outer, REFIID riid, void** ppv) noexcept {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (outer != nullptr && riid != IID_IUnknown) return CLASS_E_NOAGGREGATION;
        Derived* object = new (std::nothrow) Derived();
        if (object == nullptr) return E_OUTOFMEMORY;
        if (outer != nullptr) object->outer_ = outer;
        // The creation reference keeps the object alive while it is set up and
        // destroys it when anything fails.
        object->inner_.AddRef();
        HRESULT hr = object->Initialize();
        if (SUCCEEDED(hr)) hr = object->inner_.QueryInterface(riid, ppv);
        object->inner_.Release();
        return hr;
    }

    // Creates a plain (not aggregated) instance and hands out a reference to the
    // implementation, for the server's own use. Failures as Create.
    static HRESULT CreateInstance(Microsoft::WRL::ComPtr<Derived>* out) noexcept {
        if (out == nullptr) return E_POINTER;
        out->Reset();
        Microsoft::WRL::ComPtr<IUnknown> unknown;
        RETURN_IF_FAILED(Create(nullptr, IID_IUnknown, reinterpret_cast<void**>(unknown.GetAddressOf())));
        // IID_IUnknown answers the inner unknown, a member of the object.
        *out = static_cast<Derived*>(InnerUnknown::Owner(unknown.Get()));
        return S_OK;
    }

    // IUnknown: delegates to the controlling unknown (the object itself when not
    // aggregated).
    IFACEMETHODIMP QueryInterface(REFIID riid, void** ppv) noexcept override {
        return outer_->QueryInterface(riid, ppv);
    }
    IFACEMETHODIMP_(ULONG) AddRef() noexcept override { return outer_->AddRef(); }
    IFACEMETHODIMP_(ULONG) Release() noexcept override { return outer_->Release(); }

protected:
    ComObject() noexcept : inner_(this), outer_(&inner_) { ModuleLock(); }
    ~ComObject() {
        marshaler_.Reset();
        if (lockInitialized_) ::DeleteCriticalSection(&lock_);
        ModuleUnlock();
    }

    HRESULT FinalConstruct() noexcept { return S_OK; }

    // Serialises changes to the object's own state.
    class Guard {
    public:
        explicit Guard(ComObject* object) noexcept : lock_(&object->lock_) { ::EnterCriticalSection(lock_); }
        ~Guard() { ::LeaveCriticalSection(lock_); }
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;

    private:
        CRITICAL_SECTION* lock_;
    };

private:
    // The object's own, non-delegating IUnknown; also its identity.
    class InnerUnknown final : public IUnknown {
    public:
        explicit InnerUnknown(ComObject* owner) noexcept : owner_(owner) {}
        static ComObject* Owner(IUnknown* inner) noexcept { return static_cast<InnerUnknown*>(inner)->owner_; }

        IFACEMETHODIMP QueryInterface(REFIID riid, void** ppv) noexcept override {
            return owner_->InternalQueryInterface(riid, ppv);
        }
        IFACEMETHODIMP_(ULONG) AddRef() noexcept override { return ++owner_->references_; }
        IFACEMETHODIMP_(ULONG) Release() noexcept override {
            ULONG remaining = --owner_->references_;
            if (remaining == 0) delete static_cast<Derived*>(owner_);
            return remaining;
        }

    private:
        ComObject* owner_;
    };

    struct InterfaceEntry {
        const IID* iid;
        void* (*cast)(Derived* object) noexcept;
    };

    static const std::array<InterfaceEntry, sizeof...(Interfaces)>& InterfaceTable() noexcept {
        static const std::array<InterfaceEntry, sizeof...(Interfaces)> table{
            InterfaceEntry{&__uuidof(Interfaces),
                           [](Derived* object) noexcept -> void* { return static_cast<Interfaces*>(object); }}...};
        return table;
    }

    HRESULT InternalQueryInterface(REFIID riid, void** ppv) noexcept {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (riid == IID_IUnknown) {
            *ppv = static_cast<IUnknown*>(&inner_);
        } else if (riid == IID_IMarshal && marshaler_) {
            return marshaler_->QueryInterface(riid, ppv);
        } else {
            for (const InterfaceEntry& entry : InterfaceTable()) {
                if (riid == *entry.iid) {
                    *ppv = entry.cast(static_cast<Derived*>(this));
                    break;
                }
            }
            if (*ppv == nullptr) return E_NOINTERFACE;
        }
        static_cast<IUnknown*>(*ppv)->AddRef();
        return S_OK;
    }

    HRESULT Initialize() noexcept {
        // Spin count 0: the lock is held briefly and callers may run on one processor.
        if (!::InitializeCriticalSectionEx(&lock_, 0, 0)) {
            DWORD error = ::GetLastError();
            return error != 0 ? HRESULT_FROM_WIN32(error) : E_FAIL;
        }
        lockInitialized_ = true;
        if (outer_ == &inner_) {
            RETURN_IF_FAILED(::CoCreateFreeThreadedMarshaler(&inner_, marshaler_.GetAddressOf()));
        }
        return static_cast<Derived*>(this)->FinalConstruct();
    }

    InnerUnknown inner_;
    IUnknown* outer_;
    std::atomic<ULONG> references_{0};
    // The free-threaded marshaller's own unknown, aggregated in this object.
    Microsoft::WRL::ComPtr<IUnknown> marshaler_;
    CRITICAL_SECTION lock_{};
    bool lockInitialized_ = false;
};

// Creates an instance of a class, plain or aggregated in `outer`; the creation
// function of a class table entry.
using InstanceCreator = HRESULT (*)(IUnknown* outer, REFIID riid, void** ppv) noexcept;

// Decides whether the calling process may create objects through a class object.
using CallerCheck = bool (*)() noexcept;

// The class object of a creatable class. The module keeps one reference for as
// long as it caches the class object; every further reference, and every
// LockServer(TRUE), holds the module lock.
class ClassFactory final : public IClassFactory {
public:
    // Creates a class object for `creator` into *ppv (asked for `riid`), with one
    // reference for the caller. E_POINTER, E_OUTOFMEMORY or QueryInterface's failure.
    static HRESULT Create(InstanceCreator creator, CallerCheck callerAllowed, REFIID riid, void** ppv) noexcept;

    // IUnknown:
    IFACEMETHODIMP QueryInterface(REFIID riid, void** ppv) noexcept override;
    IFACEMETHODIMP_(ULONG) AddRef() noexcept override;
    IFACEMETHODIMP_(ULONG) Release() noexcept override;

    // IClassFactory: E_ACCESSDENIED for callers the trust check refuses.
    IFACEMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) noexcept override;
    IFACEMETHODIMP LockServer(BOOL lock) noexcept override;

private:
    ClassFactory(InstanceCreator creator, CallerCheck callerAllowed) noexcept
        : creator_(creator), callerAllowed_(callerAllowed) {}
    ~ClassFactory() = default;

    InstanceCreator creator_;
    CallerCheck callerAllowed_;
    std::atomic<ULONG> references_{0};
};

}  // namespace tessary::com
