#pragma once

namespace tessary {

// The per-process exception list: the hashes of the local store's LocalExpInfo
// table (each with its BinName), read whole by a loader thread and tested in
// memory. Guarded by the process's exception list objects
// (ProcessObjects().ExceptionList()), which must exist before these are called.

// True when `hash` (compared exactly, no case folding) is a key of the list.
// The first call that finds the list absent and the reload event signaled loads
// it on a loader thread and waits for it; a signaled reload event seen after the
// test rebuilds the list in the background. A load that fails (the store locked
// past its wait, or not to be opened) leaves the list absent and the reload
// event signaled again, so a later call loads once more. The walk of the table
// stops at the first row without Hash or BinName. False for a null hash, and
// whenever the list is absent (the store could not be read) or a lock or the
// loader fails.
bool IsListedException(const char* hash) noexcept;

// Frees the list when the deliverable unloads (before the named objects are
// closed), only when its write semaphore is free at once. Afterwards the list stays absent until the reload event is
// signaled again.
void FreeExceptionList() noexcept;

}  // namespace tessary
