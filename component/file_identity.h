#pragma once

// File identity: turns an executable's path into the application record the
// reputation lookup works with (normalised path, on-disk name, size, version-block
// strings and the MD5 of the content).

#include <string>
#include <string_view>

#include "component/md5.h"
#include "store/app_record.h"

namespace tessary {

// Full identity of the file at `path`, including the MD5 of its content.
// An unreachable drive or an absent file gives a record with only the path (as
// given, expanded to its long form when possible) and the exe name. The MD5 is
// empty when the file cannot be opened for reading (another program holds it
// without sharing reads), cannot be read to the end, or is 4 GiB or larger; a
// program that merely has it open for writing or deleting does not prevent it.
// Why a file got no MD5 is logged as a warning. Absolute paths of MAX_PATH
// characters or more are reached through their "\\?\" form. Never fails; throws
// only std::bad_alloc.
AppRecord BuildFromPath(const std::wstring& path);

// As BuildFromPath, but the file is not read: the MD5 text is `md5` converted to
// narrow text, also for an absent file or an unreachable drive, and the digest
// stays zero.
AppRecord BuildFromPathAndHash(const std::wstring& path, const std::wstring& md5);

// A record with every field empty or zero.
AppRecord BuildEmpty();

// The path as the file system stores it: upper-cased and given the system's pretty
// form (all lower case), then every component after the drive replaced by the name
// of the entry found on disk, from the last component backwards. The drive part
// stays lower case; a network path (leading "\\") stays entirely lower case; a
// component that cannot be found keeps its (lower-case) text. Only the case of
// characters changes: the result has the length and structure of `longPath`.
std::wstring NormalizePath(std::wstring_view longPath);

// MD5 of the file at `path`, read sequentially in 4096-byte chunks with read access,
// sharing reads, writes and deletion. Returns false (outputs untouched) when the file cannot be opened
// or read, or is 4 GiB or larger.
bool HashFile(const std::wstring& path, Md5Digest* digest);

}  // namespace tessary
