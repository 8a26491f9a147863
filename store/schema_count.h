#pragma once

// Counts the entries of a store file's schema table from its b-tree pages, so a
// file whose schema is far larger than any of ours can be refused before the
// database library parses it: the library parses the whole schema on the first
// statement, at a cost that grows about with the square of the number of
// tables, and no progress handler or time-out bounds that parse.

#include <cstddef>
#include <cstdint>
#include <functional>

namespace tessary {

// Reads `size` bytes at `offset` of the file into `buffer`; false when they
// cannot all be read.
using FileBytesReader = std::function<bool(uint64_t offset, uint8_t* buffer, size_t size)>;

enum class SchemaSize {
    kWithin,     // at most the limit (or not an SQLite 3 file: the library judges that)
    kTooLarge,   // more entries than the limit (or more pages than that many entries need)
    kMalformed,  // an SQLite 3 header whose schema pages cannot be walked
};

// Walks the schema b-tree (rooted at page 1) of the SQLite 3 file of `fileSize`
// bytes in key order, reading only its pages (at most about 2 * limit + 2 of
// them), and stops as soon as more than `limit` entries are found. *count (when
// not null) gets the entries counted. A file shorter than the 100-byte header,
// or without the SQLite 3 header, is kWithin with 0 entries: the library refuses
// it or, when empty, makes a new database in it.
SchemaSize CountSchemaEntries(const FileBytesReader& read, uint64_t fileSize, size_t limit, size_t* count = nullptr);

}  // namespace tessary
