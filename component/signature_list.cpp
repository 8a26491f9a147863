#include "component/signature_list.h"

#include <windows.h>

#include <atomic>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "platform/module_thread.h"
#include "platform/strings.h"
#include "platform/text.h"
#include "store/named_objects.h"
#include "store/reader_writer.h"
#include "store/sqlite_adapter.h"
#include "store/stores.h"

namespace tessary {
namespace {

struct SignatureEntry {
    char type[kSignatureTypeChars + 1] = {};
    char data[kSignatureDataChars + 1] = {};
};
using SignatureEntries = std::vector<SignatureEntry>;

// Exists while a load succeeded; replaced by each reload. Tested without a lock
// on the way in; the entries themselves are read only under the list's reader
// side and replaced only under its writer side.
std::atomic<SignatureEntries*> g_signatures{nullptr};

// Reads "SELECT * FROM DigSigInfo3" into `entries`. A row whose Type or Data is
// NULL stays an empty entry. False when the store or the table cannot be read.
bool ReadSignatureTable(SignatureEntries& entries) {
    UniqueSqlite db;
    if (!OpenLocalStore(&db)) return false;
    UniqueSqliteTable table;
    int rows = 0;
    int columns = 0;
    if (sqlite_get_table(db.get(), "SELECT * FROM DigSigInfo3", table.put(), &rows, &columns, nullptr) != SQLITE_OK) {
        return false;
    }
    db.reset();
    // The row stride is the column count the query reports, so a table of another
    // shape is never walked past its end.
    if (columns < 2 || rows <= 0) return true;
    entries.resize(static_cast<size_t>(rows));
    for (int r = 1; r <= rows; ++r) {
        char** row = table.get() + static_cast<size_t>(r) * columns;
        if (row[0] == nullptr || row[1] == nullptr) continue;
        SignatureEntry& entry = entries[static_cast<size_t>(r - 1)];
        CopyTruncated(entry.type, sizeof(entry.type), row[0]);
        CopyTruncated(entry.data, sizeof(entry.data), row[1]);
    }
    return true;
}

// One load of the list, run on its own thread; the thread owns the job. The exit
// code tells the outcome: 1 loaded, 0 left absent.
class SignatureListLoader final : public ThreadJob {
public:
    // `retryEvent`, when not null, is signaled again if the load fails, so that a
    // later lookup loads once more instead of finding the list absent for good.
    SignatureListLoader(HANDLE writeSem, HANDLE retryEvent) noexcept : writeSem_(writeSem), retryEvent_(retryEvent) {}

    unsigned Run() noexcept override {
        const unsigned code = Load();
        if (code == 0 && retryEvent_ != nullptr) ::SetEvent(retryEvent_);
        return code;
    }

private:
    unsigned Load() noexcept {
        if (!WaitForever(writeSem_)) return 0;
        delete g_signatures.exchange(nullptr, std::memory_order_acq_rel);
        unsigned code = 0;
        try {
            auto entries = std::make_unique<SignatureEntries>();
            if (ReadSignatureTable(*entries)) {
                g_signatures.store(entries.release(), std::memory_order_release);
                code = 1;
            }
        } catch (...) {
            // Out of memory: the list stays absent.
        }
        ::ReleaseSemaphore(writeSem_, 1, nullptr);
        return code;
    }

    HANDLE writeSem_;
    HANDLE retryEvent_;
};

// Loader threads hold the module: one left running in the background must not
// see the library (and the semaphore and event it uses) go away under it. A
// background loader signals the reload event again itself when its load fails.
UniqueHandle StartLoader(const CacheLocks& locks, bool background) noexcept {
    std::unique_ptr<ThreadJob> job(new (std::nothrow)
                                       SignatureListLoader(locks.writeSem, background ? locks.reloadEvent : nullptr));
    if (!job) return UniqueHandle();
    return StartWorkerThread(std::move(job), /*holdModule=*/true);
}

bool ReloadSignaled(HANDLE reloadEvent) {
    return reloadEvent != nullptr && WaitSucceeded(::WaitForSingleObject(reloadEvent, 0));
}

bool ThreadSucceeded(HANDLE thread) {
    DWORD code = 0;
    return ::GetExitCodeThread(thread, &code) && code == 1;
}

bool EntryMatches(const SignatureEntry& entry, std::string_view type, std::string_view text, bool substring) {
    if (!AsciiEqualsIgnoreCase(entry.type, type)) return false;
    if (substring) return text.find(entry.data) != std::string_view::npos;
    return AsciiEqualsIgnoreCase(entry.data, text);
}

}  // namespace

bool SignatureListContains(int type, const char* text, bool substring) noexcept {
    if (text == nullptr) return false;
    std::string utf8;
    std::string typeText;
    try {
        utf8 = WideToUtf8(NarrowToWide(text));
        typeText = std::to_string(type);
    } catch (...) {
        return false;
    }
    const CacheLocks locks = ProcessObjects().SignatureList();

    // A load that failed (the store locked past its wait, or not to be opened)
    // leaves the reload due, so that a later call tries again; it is set again only
    // after this call, which would otherwise start a second load at once.
    bool retryDue = false;
    if (g_signatures.load(std::memory_order_acquire) == nullptr) {
        if (locks.startMutex == nullptr || !WaitForever(locks.startMutex)) return false;
        bool loaded = true;
        if (ReloadSignaled(locks.reloadEvent)) {
            UniqueHandle loader = StartLoader(locks, /*background=*/false);
            // A loader that never ran leaves the reload due, so a later call tries again.
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
        if (const SignatureEntries* entries = g_signatures.load(std::memory_order_acquire)) {
            for (const SignatureEntry& entry : *entries) {
                if (EntryMatches(entry, typeText, utf8, substring)) {
                    found = true;
                    break;
                }
            }
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

void FreeSignatureList() noexcept {
    const HANDLE writeSem = ProcessObjects().SignatureList().writeSem;
    WriterScope writer(writeSem);
    // Without the semaphore no other thread can reach the list either.
    if (writeSem != nullptr && !writer.held()) return;
    delete g_signatures.exchange(nullptr, std::memory_order_acq_rel);
}

}  // namespace tessary
