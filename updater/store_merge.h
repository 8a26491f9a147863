#pragma once

// The update checker's writes to the local store: the merge of a downloaded
// store file into "data\TsLocal.xdb" and the store version it reports.

#include <cstdint>
#include <string>

namespace tessary {

// Text of the store version when the store holds no creation stamp.
inline constexpr char kEmptyStoreVersion[] = "00000000";
// Longest store version text kept, without terminator.
inline constexpr size_t kMaxStoreVersionChars = 31;

// Bounds of one merge. A full update carries about 200,000 records of a few
// hundred bytes (well under 100 MiB of file); the caps sit far enough above that
// for growth, and low enough that a hostile file cannot hold the pass for long
// or fill the disk with the local store.
// Largest downloaded file taken, and most bytes of values read from it.
inline constexpr int64_t kMergeMaxBytes = 512ll * 1024 * 1024;
// Most rows taken from one file, all tables together (ten full updates).
inline constexpr int64_t kMergeMaxRows = 2000000;
// Longest single value (or row) read from the file; records are a few hundred bytes.
inline constexpr int kMergeMaxValueBytes = 1024 * 1024;
// Longest time one statement of the merge may compute, on either connection,
// before it is interrupted (a step of a stream counts as one statement).
inline constexpr unsigned kMergeStatementMs = 10000;
// Longest time the whole merge may take, lock waits included (a full update
// merges in seconds; ten of them in well under a minute).
inline constexpr unsigned kMergeTotalMs = 15 * 60 * 1000;
// Longest wait for a lock another connection holds, per statement, on either
// connection. Lookups hold the local store for milliseconds; another pass's
// merge holds it longer, and this pass then gives up and tries at its next start.
inline constexpr int kMergeBusyTimeoutMs = 30000;
// Most time the merge sleeps after Settings and LocalExpInfo rows (10 ms each),
// both tables together; rows past it only yield the processor.
inline constexpr unsigned kMergeSleepBudgetMs = 2000;
// The local store's page cache during a merge: the local file's size plus twice
// the downloaded file's (its rows and their index entries land in the local
// store), never less than SQLite's default and never more than this.
inline constexpr int64_t kMergeMaxCacheBytes = 256ll * 1024 * 1024;

enum class MergeOutcome {
    kMerged,   // every table of the file committed in one transaction
    kRetry,    // nothing changed: a lock, an I/O failure or the local store stood in the way
    kRefused,  // nothing changed: the file is not a store this merge takes
};

struct MergeResult {
    MergeOutcome outcome = MergeOutcome::kRefused;
    std::string reason;  // what failed and why (SQLite's error text where it gave one); empty when merged
};

// Merges the store file at `path` (a full path) into the local store, all of
// it in one transaction on the local store: LocalCache records replace local
// records of the same hash one by one (the file's later row wins over an
// earlier one of the same hash, other local records stay), CreateDate stamps
// are added, and DigSigInfo3, Settings, LocalExpInfo and IDSSettings (the last
// only where the local store has that table) are replaced whole when the file
// has rows for them. Any failed statement rolls the whole merge back, so a new
// stamp never lands without the tables of its update.
// The file is opened read-only and never changed; a table it lacks counts as
// empty. It is refused before anything is written when it is not a database
// (an SQLite 2 file included), is larger than kMergeMaxBytes, holds any view or
// trigger, holds one of the store's table names as anything but a plain table
// (or as one with computed columns), or holds more than kMergeMaxRows rows; and
// while it is read, when a value is larger than kMergeMaxValueBytes, the values
// add up to more than kMergeMaxBytes, a statement computes longer than
// kMergeStatementMs or the merge has taken longer than kMergeTotalMs.
// The file is left in place whatever the outcome: the caller deletes it or keeps
// it for another attempt. Finally the process's three reload events (exception
// list, record cache, signature list) are signalled.
MergeResult MergeStoreFile(const std::wstring& path);

// The local store's newest CreateDate stamp as text (at most
// kMaxStoreVersionChars characters), also written to "DBVersion" without a
// terminating zero when the product key exists. kEmptyStoreVersion when the store
// cannot be opened or holds no stamp; "DBVersion" is then left as it was.
std::string RecordStoreVersion();

}  // namespace tessary
