#pragma once

// The update checker's writes to the local store: the merge of a downloaded
// store file into "data\TsLocal.xdb" and the store version it reports.

#include <string>

namespace tessary {

// Text of the store version when the store holds no creation stamp.
inline constexpr char kEmptyStoreVersion[] = "00000000";
// Longest store version text kept, without terminator.
inline constexpr size_t kMaxStoreVersionChars = 31;
// "DBVersion" under HKEY_LOCAL_MACHINE "SOFTWARE\Quellon\Tessary".
inline constexpr wchar_t kDbVersionValue[] = L"DBVersion";

// Merges the store file at `path` (a full path) into the local store:
// LocalCache records replace local records of the same hash one by one (the
// file's later row wins over an earlier one of the same hash, other local
// records stay), CreateDate stamps are added, and DigSigInfo3, Settings,
// LocalExpInfo and IDSSettings are replaced whole when the file has rows for
// them. Each table is written in a transaction of its own, so a table whose
// transaction fails keeps its old rows. The file is given the store schema when
// opened (a file that is not a database is replaced by an empty one) and is
// deleted afterwards whenever it could be opened. Finally the process's three
// reload events (exception list, record cache, signature list) are signalled.
// Always returns true.
bool MergeStoreFile(const std::wstring& path);

// The local store's newest CreateDate stamp as text (at most
// kMaxStoreVersionChars characters), also written to "DBVersion" without a
// terminating zero when the product key exists. kEmptyStoreVersion when the store
// cannot be opened or holds no stamp; "DBVersion" is then left as it was.
std::string RecordStoreVersion();

}  // namespace tessary
