#pragma once

// Storage for a global object that is built by its constructor and never
// destroyed.
//
// Why: the MinGW start-up code of a DLL runs the module's static destructors from
// DLL_PROCESS_DETACH, under the loader lock, also when the process is ending. By
// then ExitProcess has killed every other thread wherever it was, possibly inside
// a lock the destructor would take or holding memory the destructor would free; a
// destructor that waits there hangs the process at exit. A global of the
// component server's code is therefore either trivially destructible or held in
// a NoDestructor; what it owns is given back by the system with the process (or,
// at FreeLibrary, by an explicit non-blocking cleanup).

#include <new>
#include <type_traits>
#include <utility>

namespace tessary {

template <typename T>
class NoDestructor {
public:
    // Constructs the object in place. Keep the constructor cheap: it runs from
    // the module's global initialisation, under the loader lock.
    template <typename... Args>
    explicit NoDestructor(Args&&... args) {
        new (storage_) T(std::forward<Args>(args)...);
    }
    NoDestructor(const NoDestructor&) = delete;
    NoDestructor& operator=(const NoDestructor&) = delete;

    T& operator*() noexcept { return *get(); }
    T* operator->() noexcept { return get(); }
    T* get() noexcept { return std::launder(reinterpret_cast<T*>(storage_)); }

private:
    alignas(T) unsigned char storage_[sizeof(T)];
};

}  // namespace tessary
