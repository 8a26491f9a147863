#include "store/named_objects.h"

#include <memory>

#include "store/object_names.h"

namespace tessary {
namespace {

NamedObjects g_objects;

UniqueHandle MakeEvent(const wchar_t* prefix, DWORD pid, bool manualReset) {
    return UniqueHandle(::CreateEventW(nullptr, manualReset, TRUE, ProcessObjectName(prefix, pid).c_str()));
}

UniqueHandle MakeSemaphore(const wchar_t* prefix, DWORD pid, LONG count) {
    return UniqueHandle(::CreateSemaphoreW(nullptr, count, count, ProcessObjectName(prefix, pid).c_str()));
}

UniqueHandle MakeMutex(const wchar_t* name) { return UniqueHandle(::CreateMutexW(nullptr, FALSE, name)); }

}  // namespace

std::wstring ProcessObjectName(const wchar_t* prefix, DWORD processId) {
    return std::wstring(prefix) + std::to_wstring(processId);
}

bool CreateNamedObjects(Deliverable deliverable) {
    const DWORD pid = ::GetCurrentProcessId();
    NamedObjects& o = g_objects;
    o = NamedObjects{};
    o.digSigEvent = MakeEvent(names::kDigSigEvent, pid, false);
    o.sigReadSem = MakeSemaphore(names::kSigReadSem, pid, 1);
    o.sigWriteSem = MakeSemaphore(names::kSigWriteSem, pid, 1);
    o.sigStartMutex = MakeMutex(ProcessObjectName(names::kSigStartMutex, pid).c_str());
    o.lcEvent = MakeEvent(names::kLcEvent, pid, false);
    o.xcEvent = MakeEvent(names::kXcEvent, pid, false);
    o.lcWriteSem = MakeSemaphore(names::kLcWriteSem, pid, 1);
    o.xcWriteSem = MakeSemaphore(names::kXcWriteSem, pid, 1);
    o.lcReadSem = MakeSemaphore(names::kLcReadSem, pid, 1);
    o.xcReadSem = MakeSemaphore(names::kXcReadSem, pid, 1);
    o.lcStartMutex = MakeMutex(ProcessObjectName(names::kLcStartMutex, pid).c_str());
    o.xpStartMutex = MakeMutex(ProcessObjectName(names::kXpStartMutex, pid).c_str());
    o.statEvent = MakeEvent(names::kStatEvent, pid, true);
    o.serverSem = MakeSemaphore(names::kServerSem, pid, names::kMaxServiceExchanges);
    bool ok = o.digSigEvent && o.sigReadSem && o.sigWriteSem && o.sigStartMutex && o.lcEvent && o.xcEvent &&
              o.lcWriteSem && o.xcWriteSem && o.lcReadSem && o.xcReadSem && o.lcStartMutex && o.xpStartMutex &&
              o.statEvent && o.serverSem;
    if (deliverable == Deliverable::kComponentServer) {
        o.sharedPermsReadSem = MakeSemaphore(names::kSharedPermsReadSem, pid, 1);
        o.sharedPermsWriteSem = MakeSemaphore(names::kSharedPermsWriteSem, pid, 1);
        o.sharedPermMutex = MakeMutex(ProcessObjectName(names::kSharedPermMutex, pid).c_str());
        o.sharedPermEvent = MakeEvent(names::kSharedPermEvent, pid, true);
        o.sharedDatabaseMutex = MakeMutex(names::kSharedDatabaseMutex);
        // The second machine-wide mutex only exists alongside the first.
        if (o.sharedDatabaseMutex) o.sharedSecondMutex = MakeMutex(names::kSharedSecondMutex);
        ok = ok && o.sharedPermsReadSem && o.sharedPermsWriteSem && o.sharedPermMutex && o.sharedPermEvent &&
             o.sharedDatabaseMutex && o.sharedSecondMutex;
    }
    return ok;
}

void CloseNamedObjects() { g_objects = NamedObjects{}; }

NamedObjects& ProcessObjects() { return g_objects; }

}  // namespace tessary
