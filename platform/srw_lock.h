#pragma once

// A process-local exclusive lock for globals: a slim reader/writer lock with the
// lock()/unlock() of a standard mutex, so std::lock_guard works with it.
// Constant-initialised and trivially destructible, unlike std::mutex with this
// toolchain, whose destructor runs at exit (see platform/no_destructor.h for why
// the component server's globals have none). Not recursive.

#include <windows.h>

namespace tessary {

class SrwMutex {
public:
    constexpr SrwMutex() noexcept = default;
    SrwMutex(const SrwMutex&) = delete;
    SrwMutex& operator=(const SrwMutex&) = delete;

    void lock() noexcept { ::AcquireSRWLockExclusive(&lock_); }
    bool try_lock() noexcept { return ::TryAcquireSRWLockExclusive(&lock_) != FALSE; }
    void unlock() noexcept { ::ReleaseSRWLockExclusive(&lock_); }

private:
    SRWLOCK lock_ = SRWLOCK_INIT;
};

}  // namespace tessary
