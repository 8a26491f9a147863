#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/unique_resource.h"

namespace tessary {

// Which deliverable owns the process: both create the first fourteen objects;
// the shared-permission objects and the two machine-wide mutexes exist in the
// component server only.
enum class Deliverable { kComponentServer, kUpdateChecker };

// The reader/writer discipline's objects for one in-memory cache: start mutex
// and reload event for loading on first use, read and write semaphores, and the
// reader counter (changed only while the read semaphore is held).
struct CacheLocks {
    HANDLE startMutex = nullptr;
    HANDLE reloadEvent = nullptr;
    HANDLE readSem = nullptr;
    HANDLE writeSem = nullptr;
    int32_t* readers = nullptr;
};

// The process's named kernel objects. A handle that could not be created stays
// null; the operations that need it then fail.
struct NamedObjects {
    UniqueHandle digSigEvent, sigReadSem, sigWriteSem, sigStartMutex;
    UniqueHandle lcEvent, xcEvent, lcWriteSem, xcWriteSem, lcReadSem, xcReadSem, lcStartMutex, xpStartMutex;
    UniqueHandle statEvent, serverSem;
    UniqueHandle sharedPermsReadSem, sharedPermsWriteSem, sharedPermMutex, sharedPermEvent;
    UniqueHandle sharedDatabaseMutex, sharedSecondMutex;

    int32_t sigReaders = 0;
    int32_t lcReaders = 0;
    int32_t xcReaders = 0;
    int32_t sharedPermsReaders = 0;

    // Lock sets of the caches built on these objects.
    CacheLocks SignatureList() {
        return {sigStartMutex.get(), digSigEvent.get(), sigReadSem.get(), sigWriteSem.get(), &sigReaders};
    }
    CacheLocks RecordCache() {
        return {lcStartMutex.get(), lcEvent.get(), lcReadSem.get(), lcWriteSem.get(), &lcReaders};
    }
    CacheLocks ExceptionList() {
        return {xpStartMutex.get(), xcEvent.get(), xcReadSem.get(), xcWriteSem.get(), &xcReaders};
    }
    CacheLocks SharedPermissions() {
        return {sharedPermMutex.get(), sharedPermEvent.get(), sharedPermsReadSem.get(), sharedPermsWriteSem.get(),
                &sharedPermsReaders};
    }
};

// The full name of a per-process object: prefix plus the decimal process id.
std::wstring ProcessObjectName(const wchar_t* prefix, DWORD processId);

// Creates the calling process's objects for `deliverable` (done once at load,
// before any other store code runs) and makes them the process's set. Creating
// them again replaces the set. Returns true when every object was created.
// Per-process objects carry a descriptor that lets only SYSTEM, Administrators
// and the process's own account use them. One whose name already existed (or
// could not be created under its name) was made by another process: it is not
// used; an unnamed object with the same initial state takes its place and the
// name is logged (now when the process logger runs, else by
// ReportReplacedNamedObjects). The machine-wide mutexes are created with the
// model's descriptor, or opened, with SYNCHRONIZE | MUTEX_MODIFY_STATE only.
bool CreateNamedObjects(Deliverable deliverable);

// Names of the per-process objects the last CreateNamedObjects found made by
// another process (and replaced by private ones).
std::vector<std::wstring> ReplacedNamedObjects();

// Logs (severity Error) each replaced object not logged yet. Called once the
// process logger runs, never from DllMain.
void ReportReplacedNamedObjects() noexcept;

// Closes the process's objects (at unload). Handles handed out earlier become invalid.
void CloseNamedObjects();

// The process's objects; all handles are null before CreateNamedObjects.
NamedObjects& ProcessObjects();

}  // namespace tessary
