#pragma once

// A per-process list read whole from the local store by a loader thread and
// searched in memory, guarded by one set of the process's cache objects (start
// mutex, writer semaphore, reader side, reload event).
//
// The first search that finds the list absent and the reload event signaled loads
// it on a loader thread and waits for it; a reload event seen signaled after the
// search reloads the list in the background. A load that fails (the store locked
// past its wait, not to be opened, or out of memory) leaves the list absent and
// the reload event signaled again, so a later search loads once more.

#include <windows.h>

#include <atomic>
#include <memory>
#include <new>

#include "Logging/log_builder.h"
#include "platform/module_thread.h"
#include "platform/unique_resource.h"
#include "store/named_objects.h"
#include "store/reader_writer.h"

namespace tessary {

// `Read` fills a fresh List from the store; false when the store cannot be read.
// A loader left running in the background always holds the module, so the library
// (and the semaphore and event it uses) cannot unload under it; one that is waited
// for holds it only with `HoldModuleWhenWaited`.
template <typename List, bool (*Read)(List&), bool HoldModuleWhenWaited>
class ReloadedList {
public:
    constexpr ReloadedList() noexcept = default;
    ReloadedList(const ReloadedList&) = delete;
    ReloadedList& operator=(const ReloadedList&) = delete;

    // True when the list is present and `match(list)` is true (under the reader
    // side). False when the list is absent, a lock or the loader fails, or `match`
    // throws.
    template <typename Match>
    bool Search(const CacheLocks& locks, const Match& match) noexcept {
        // A load that failed leaves the reload due, so that a later search tries
        // again; it is set again only after this search, which would otherwise start
        // a second load at once.
        bool retryDue = false;
        if (list_.load(std::memory_order_acquire) == nullptr) {
            if (locks.startMutex == nullptr || !WaitForever(locks.startMutex)) return false;
            bool loaded = true;
            if (ReloadSignaled(locks.reloadEvent)) {
                UniqueHandle loader = StartLoader(locks, /*background=*/false);
                // A loader that never ran leaves the reload due, so a later search tries again.
                if (!loader) ::SetEvent(locks.reloadEvent);
                loaded = loader && WaitForever(loader.get());
                retryDue = loaded && !ThreadSucceeded(loader.get());
            }
            ::ReleaseMutex(locks.startMutex);
            if (!loaded) return false;
        }

        bool found = false;
        {
            ReaderScope reader(locks);
            if (!reader.held()) return false;
            const List* list = list_.load(std::memory_order_acquire);
            try {
                found = list != nullptr && match(*list);
            } catch (...) {
                found = false;
                TS_LOG_CAUGHT(L"TsStore", L"A list search");
            }
        }

        if (retryDue) {
            ::SetEvent(locks.reloadEvent);
        } else if (ReloadSignaled(locks.reloadEvent)) {
            UniqueHandle loader = StartLoader(locks, /*background=*/true);
            if (!loader) ::SetEvent(locks.reloadEvent);
        }
        return found;
    }

    // Frees the list under the writer semaphore `writeSem` (at unload, under the
    // loader lock, before the named objects are closed); nothing is freed when
    // the semaphore is not free at once. The list stays absent until the reload
    // event is signaled again.
    void Free(HANDLE writeSem) noexcept {
        WriterScope writer(writeSem, 0);
        // Without the semaphore no other thread can reach the list either.
        if (writeSem != nullptr && !writer.held()) return;
        delete list_.exchange(nullptr, std::memory_order_acq_rel);
    }

private:
    // One load, run on its own thread; the thread owns the job and the thread that
    // started it never touches it again. Exit code 1 when loaded, 0 when left absent.
    class Loader final : public ThreadJob {
    public:
        // `retryEvent`, when not null, is signaled again if the load fails.
        Loader(std::atomic<List*>* target, HANDLE writeSem, HANDLE retryEvent) noexcept
            : target_(target), writeSem_(writeSem), retryEvent_(retryEvent) {}

        unsigned Run() noexcept override {
            const unsigned code = Load();
            if (code == 0 && retryEvent_ != nullptr) ::SetEvent(retryEvent_);
            return code;
        }

    private:
        unsigned Load() noexcept {
            if (!WaitForever(writeSem_)) return 0;
            delete target_->exchange(nullptr, std::memory_order_acq_rel);
            unsigned code = 0;
            try {
                auto list = std::make_unique<List>();
                if (Read(*list)) {
                    target_->store(list.release(), std::memory_order_release);
                    code = 1;
                }
            } catch (...) {
                // The list stays absent; the next search loads it again.
                TS_LOG_CAUGHT(L"TsStore", L"Loading a list from the local store");
            }
            ::ReleaseSemaphore(writeSem_, 1, nullptr);
            return code;
        }

        std::atomic<List*>* target_;
        HANDLE writeSem_;
        HANDLE retryEvent_;
    };

    // A background loader signals the reload event again itself when its load fails.
    UniqueHandle StartLoader(const CacheLocks& locks, bool background) noexcept {
        std::unique_ptr<ThreadJob> job(new (std::nothrow)
                                           Loader(&list_, locks.writeSem, background ? locks.reloadEvent : nullptr));
        if (!job) return UniqueHandle();
        return StartWorkerThread(std::move(job), /*holdModule=*/background || HoldModuleWhenWaited);
    }

    static bool ReloadSignaled(HANDLE reloadEvent) {
        return reloadEvent != nullptr && WaitSucceeded(::WaitForSingleObject(reloadEvent, 0));
    }

    static bool ThreadSucceeded(HANDLE thread) {
        DWORD code = 0;
        return ::GetExitCodeThread(thread, &code) && code == 1;
    }

    // Exists while a load succeeded; replaced by each reload. Tested without a lock
    // on the way in; the list itself is read only under the reader side and
    // replaced only under the writer side.
    std::atomic<List*> list_{nullptr};
};

}  // namespace tessary
