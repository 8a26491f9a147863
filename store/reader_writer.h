#pragma once

#include <windows.h>

#include <cstdint>

#include "store/named_objects.h"

namespace tessary {

// True when a wait result means the object is now held: WAIT_OBJECT_0, or
// WAIT_ABANDONED (its previous owner died; the state it guards is used as is).
bool WaitSucceeded(DWORD waitResult);

// Waits for `object` without a time limit; true when it is held.
bool WaitForever(HANDLE object);

// Reader side of the reader/writer discipline. The first reader takes the write
// semaphore W for the whole group of readers and the last one gives it back; the
// reader counter N is changed only while the read semaphore R is held.
// ReaderEnter fails (false) when R or N is missing or a wait fails; on failure
// N and both semaphores are as they were.
bool ReaderEnter(HANDLE readSem, HANDLE writeSem, int32_t* readers);
// Undoes one ReaderEnter; false when R or N is missing or the wait for R fails.
bool ReaderLeave(HANDLE readSem, HANDLE writeSem, int32_t* readers);

// Writer side: holds W alone, excluding every reader and other writers. Waits at
// most `timeoutMs` (0: takes W only when it is free at once); false when W is
// missing or was not taken.
bool WriterEnter(HANDLE writeSem, DWORD timeoutMs = INFINITE);
void WriterLeave(HANDLE writeSem);

// Reader section as a scope; held() tells whether ReaderEnter succeeded.
class ReaderScope {
public:
    explicit ReaderScope(const CacheLocks& locks)
        : locks_(locks), held_(ReaderEnter(locks.readSem, locks.writeSem, locks.readers)) {}
    ~ReaderScope() {
        if (held_) ReaderLeave(locks_.readSem, locks_.writeSem, locks_.readers);
    }
    ReaderScope(const ReaderScope&) = delete;
    ReaderScope& operator=(const ReaderScope&) = delete;
    bool held() const { return held_; }

private:
    CacheLocks locks_;
    bool held_;
};

// Writer section as a scope; held() tells whether the write semaphore is held.
class WriterScope {
public:
    explicit WriterScope(HANDLE writeSem, DWORD timeoutMs = INFINITE)
        : writeSem_(writeSem), held_(WriterEnter(writeSem, timeoutMs)) {}
    ~WriterScope() {
        if (held_) WriterLeave(writeSem_);
    }
    WriterScope(const WriterScope&) = delete;
    WriterScope& operator=(const WriterScope&) = delete;
    bool held() const { return held_; }

private:
    HANDLE writeSem_;
    bool held_;
};

// Load-on-first-use: when `exists()` is false, takes the start mutex (false when
// that wait fails) and, if the reload event is signaled (testing it resets it),
// runs `build()` under the write semaphore; then releases the start mutex.
// Only one thread of the process builds; later callers find the cache built or
// the reload event consumed. Lock order: start mutex, then write semaphore.
template <typename Exists, typename Build>
bool EnsureLoaded(const CacheLocks& locks, Exists exists, Build build) {
    if (exists()) return true;
    if (locks.startMutex == nullptr || !WaitForever(locks.startMutex)) return false;
    if (locks.reloadEvent != nullptr && WaitSucceeded(::WaitForSingleObject(locks.reloadEvent, 0))) {
        WriterScope writer(locks.writeSem);
        if (writer.held()) build();
    }
    ::ReleaseMutex(locks.startMutex);
    return true;
}

// The whole pattern: EnsureLoaded, then `lookup()` inside a reader section.
// Returns false ("not found") when a lock fails; otherwise lookup's result.
template <typename Exists, typename Build, typename Lookup>
bool LoadAndRead(const CacheLocks& locks, Exists exists, Build build, Lookup lookup) {
    if (!EnsureLoaded(locks, exists, build)) return false;
    ReaderScope reader(locks);
    if (!reader.held()) return false;
    return lookup();
}

}  // namespace tessary
