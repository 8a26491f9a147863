#include "store/exception_list.h"

#include <windows.h>

#include <atomic>
#include <memory>
#include <new>
#include <string>

#include "platform/module_thread.h"
#include "platform/strings.h"
#include "store/named_objects.h"
#include "store/reader_writer.h"
#include "store/sqlite_adapter.h"
#include "store/stores.h"
#include "store/text_map.h"

namespace tessary {
namespace {

constexpr char kExceptionTable[] = "LocalExpInfo";

// Exists while a load succeeded; replaced by each reload. Tested without a lock
// on the way in; the map itself is touched only under the list's reader or
// writer side.
std::atomic<TextMap*> g_exceptions{nullptr};

// One load of a list from a store table, run on its own thread. The thread owns
// the job; the thread that started it never touches it again.
class ListLoader final : public ThreadJob {
public:
    // `retryEvent`, when not null, is signaled again if the load fails, so that a
    // later test loads once more instead of finding the list absent for good.
    ListLoader(HANDLE writeSem, std::atomic<TextMap*>* target, const char* table, HANDLE retryEvent) noexcept
        : writeSem_(writeSem), retryEvent_(retryEvent), target_(target) {
        CopyTruncated(table_, sizeof(table_), table);
    }

    // Exit code 1 when the list was loaded, 0 when it is left absent.
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
            std::unique_ptr<TextMap> map = MakeTextMap();
            if (ReadTable(*map)) {
                target_->store(map.release(), std::memory_order_release);
                code = 1;
            }
        } catch (...) {
            // Out of memory: the list stays absent.
        }
        ::ReleaseSemaphore(writeSem_, 1, nullptr);
        return code;
    }

    // Fills `map` with first column -> second column of the table's rows, up to the
    // first row where either is missing. False when the store cannot be read.
    bool ReadTable(TextMap& map) const {
        UniqueSqlite db;
        if (!OpenLocalStore(&db)) return false;
        const std::string sql = std::string("SELECT * FROM ") + table_;
        UniqueSqliteTable table;
        int rows = 0;
        int columns = 0;
        if (sqlite_get_table(db.get(), sql.c_str(), table.put(), &rows, &columns, nullptr) != SQLITE_OK) return false;
        db.reset();
        // The row stride is the column count the query reports, so a table of
        // another shape is never walked past its end.
        if (columns < 2) return true;
        for (int r = 1; r <= rows; ++r) {
            char** row = table.get() + static_cast<size_t>(r) * columns;
            if (row[0] == nullptr || row[1] == nullptr) break;
            map.try_emplace(row[0], row[1]);
        }
        return true;
    }

    HANDLE writeSem_;
    HANDLE retryEvent_;
    std::atomic<TextMap*>* target_;
    char table_[64] = {};
};

// Starts a loader of the exception list. A thread that is waited for runs
// plainly; one that is left running holds the module, so the library cannot
// unload (and close the semaphore and event it uses) under it, and signals the
// reload event again itself when its load fails.
UniqueHandle StartLoader(const CacheLocks& locks, bool leftRunning) noexcept {
    std::unique_ptr<ThreadJob> job(new (std::nothrow) ListLoader(locks.writeSem, &g_exceptions, kExceptionTable,
                                                                 leftRunning ? locks.reloadEvent : nullptr));
    if (!job) return UniqueHandle();
    return StartWorkerThread(std::move(job), leftRunning);
}

bool ReloadSignaled(HANDLE reloadEvent) {
    return reloadEvent != nullptr && WaitSucceeded(::WaitForSingleObject(reloadEvent, 0));
}

bool ThreadSucceeded(HANDLE thread) {
    DWORD code = 0;
    return ::GetExitCodeThread(thread, &code) && code == 1;
}

}  // namespace

bool IsListedException(const char* hash) noexcept {
    if (hash == nullptr) return false;
    const CacheLocks locks = ProcessObjects().ExceptionList();

    // A load that failed (the store locked past its wait, or not to be opened)
    // leaves the reload due, so that a later test tries again; it is set again only
    // after this test, which would otherwise start a second load at once.
    bool retryDue = false;
    if (g_exceptions.load(std::memory_order_acquire) == nullptr) {
        if (locks.startMutex == nullptr || !WaitForever(locks.startMutex)) return false;
        bool loaded = true;
        if (ReloadSignaled(locks.reloadEvent)) {
            UniqueHandle loader = StartLoader(locks, /*leftRunning=*/false);
            // A loader that never ran leaves the reload due, so a later test tries again.
            if (!loader) ::SetEvent(locks.reloadEvent);
            loaded = loader && WaitForever(loader.get());
            retryDue = loaded && !ThreadSucceeded(loader.get());
        }
        ::ReleaseMutex(locks.startMutex);
        if (!loaded) return false;
    }

    bool listed = false;
    {
        ReaderScope reader(locks);
        if (!reader.held()) return false;
        const TextMap* list = g_exceptions.load(std::memory_order_acquire);
        try {
            listed = list != nullptr && list->find(hash) != list->end();
        } catch (...) {
            listed = false;
        }
    }

    if (retryDue) {
        ::SetEvent(locks.reloadEvent);
    } else if (ReloadSignaled(locks.reloadEvent)) {
        UniqueHandle loader = StartLoader(locks, /*leftRunning=*/true);
        if (!loader) ::SetEvent(locks.reloadEvent);
    }
    return listed;
}

void FreeExceptionList() noexcept {
    const HANDLE writeSem = ProcessObjects().ExceptionList().writeSem;
    WriterScope writer(writeSem);
    // Without the semaphore no other thread can reach the list either.
    if (writeSem != nullptr && !writer.held()) return;
    delete g_exceptions.exchange(nullptr, std::memory_order_acq_rel);
}

}  // namespace tessary
