#pragma once

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <type_traits>
#include <utility>

namespace tessary {

// Owns one Win32 (or library) resource and closes it exactly once.
// Close is the function that releases it; Invalid, when given, returns the value
// meaning "nothing owned" (otherwise the value-initialised T, e.g. nullptr).
// Move-only. Closing preserves the thread's last-error value, so a failing call
// can be followed by cleanup before the caller reads GetLastError().
template <typename T, auto Close, T (*Invalid)() = nullptr>
class UniqueResource {
public:
    static T InvalidValue() noexcept {
        if constexpr (Invalid == nullptr) {
            return T{};
        } else {
            return Invalid();
        }
    }

    UniqueResource() noexcept : value_(InvalidValue()) {}
    explicit UniqueResource(T value) noexcept : value_(value) {}
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;
    UniqueResource(UniqueResource&& other) noexcept : value_(other.Take()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept {
        if (this != &other) reset(other.Take());
        return *this;
    }
    ~UniqueResource() { reset(); }

    // The owned value (or the invalid value); ownership stays here.
    T get() const noexcept { return value_; }
    bool valid() const noexcept { return value_ != InvalidValue(); }
    explicit operator bool() const noexcept { return valid(); }

    // Releases ownership without closing; the caller now owns the value.
    T Take() noexcept { return std::exchange(value_, InvalidValue()); }

    // Closes what is owned and takes `value` instead.
    void reset(T value = InvalidValue()) noexcept {
        T old = std::exchange(value_, value);
        if (old != InvalidValue()) {
            DWORD error = ::GetLastError();
            Close(old);
            ::SetLastError(error);
        }
    }

    // Closes what is owned and returns the address to receive a new value
    // (for out-parameter APIs).
    T* put() noexcept {
        reset();
        return &value_;
    }

private:
    T value_;
};

namespace detail {
inline HANDLE InvalidHandleValue() { return INVALID_HANDLE_VALUE; }
inline void CloseKernelHandle(HANDLE h) { ::CloseHandle(h); }
inline void CloseRegKey(HKEY key) { ::RegCloseKey(key); }
inline void CloseFind(HANDLE h) { ::FindClose(h); }
inline void ReleaseModuleReference(HMODULE m) { ::FreeLibrary(m); }
inline void ReleaseLocalMemory(void* p) { ::LocalFree(p); }
inline void ReleaseGlobalMemory(void* p) { ::GlobalFree(p); }
inline void ReleaseBstr(BSTR text) { ::SysFreeString(text); }
inline void ReleaseTaskMemory(void* p) { ::CoTaskMemFree(p); }
inline void ReleaseTaskString(wchar_t* p) { ::CoTaskMemFree(p); }
}  // namespace detail

// Kernel objects (events, semaphores, mutexes, threads, processes): null when empty.
using UniqueHandle = UniqueResource<HANDLE, detail::CloseKernelHandle>;
// Files from CreateFileW: INVALID_HANDLE_VALUE when empty.
using UniqueFile = UniqueResource<HANDLE, detail::CloseKernelHandle, detail::InvalidHandleValue>;
// FindFirstFileW searches.
using UniqueFind = UniqueResource<HANDLE, detail::CloseFind, detail::InvalidHandleValue>;
using UniqueRegKey = UniqueResource<HKEY, detail::CloseRegKey>;
using UniqueModule = UniqueResource<HMODULE, detail::ReleaseModuleReference>;
using UniqueLocalMemory = UniqueResource<void*, detail::ReleaseLocalMemory>;
// GlobalAlloc'd memory, e.g. the proxy strings WinHTTP hands out.
using UniqueGlobalMemory = UniqueResource<void*, detail::ReleaseGlobalMemory>;
// System strings (SysAllocString).
using UniqueBstr = UniqueResource<BSTR, detail::ReleaseBstr>;
// Task-allocator memory (CoTaskMemAlloc), untyped and as a wide string.
using UniqueTaskMemory = UniqueResource<void*, detail::ReleaseTaskMemory>;
using UniqueTaskString = UniqueResource<wchar_t*, detail::ReleaseTaskString>;

// The export `name` of `module` as a function pointer of type Fn; null when the
// module is null or lacks the export.
template <typename Fn>
Fn BindProc(HMODULE module, const char* name) noexcept {
    static_assert(std::is_pointer_v<Fn> && std::is_function_v<std::remove_pointer_t<Fn>>);
    if (module == nullptr) return nullptr;
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

}  // namespace tessary
