#include "store/named_objects.h"

#include <memory>
#include <mutex>
#include <type_traits>
#include <vector>

#include "Logging/log_builder.h"
#include "platform/no_destructor.h"
#include "platform/srw_lock.h"
#include "platform/security_descriptor.h"
#include "store/object_names.h"

namespace tessary {
namespace {

using security::ObjectKind;

constexpr wchar_t kSource[] = L"NamedObjects";

// Never destroyed (platform/no_destructor.h): the handles go with the process, or
// are closed by CloseNamedObjects when the library is freed.
NoDestructor<NamedObjects> g_objects;

// Names of the per-process objects another process had made first, and how many
// of them have been logged.
SrwMutex g_replacedLock;
NoDestructor<std::vector<std::wstring>> g_replaced;
size_t g_replacedLogged = 0;
static_assert(std::is_trivially_destructible_v<SrwMutex>);

void LogReplaced(const std::wstring& name) {
    TS_LOG(ETWLogging::kSeverityError, kSource,
           L"The object %s existed before this process created it: another process made it. A private object is "
           L"used instead.",
           name.c_str());
}

// Takes the result of creating the per-process object `name`. An object that
// already existed (or whose creation was refused, as when another account made it
// with a descriptor that keeps us out) was made by someone else, who could hold
// it, never signal it or signal it at will: it is closed and `makePrivate`'s
// unnamed object is used instead, since these objects only coordinate the
// threads of this process.
template <typename MakePrivate>
UniqueHandle Claim(HANDLE created, DWORD error, const std::wstring& name, MakePrivate makePrivate) {
    if (created != nullptr && error != ERROR_ALREADY_EXISTS) return UniqueHandle(created);
    if (created != nullptr) ::CloseHandle(created);
    try {
        std::lock_guard<SrwMutex> lock(g_replacedLock);
        g_replaced->push_back(name);
    } catch (...) {
        // The object is still replaced; only its log line is lost.
    }
    return UniqueHandle(makePrivate());
}

UniqueHandle MakeEvent(const wchar_t* prefix, DWORD pid, bool manualReset) {
    const std::wstring name = ProcessObjectName(prefix, pid);
    security::Descriptor descriptor = security::BuildProcessObjectDescriptor(ObjectKind::kEvent);
    if (!descriptor) return {};
    HANDLE created = ::CreateEventW(descriptor.attributes(), manualReset, TRUE, name.c_str());
    const DWORD error = ::GetLastError();
    security::ReportSecurityCall(security::SecurityCall::kCreateObject, name, descriptor.get());
    return Claim(created, error, name, [&] { return ::CreateEventW(nullptr, manualReset, TRUE, nullptr); });
}

UniqueHandle MakeSemaphore(const wchar_t* prefix, DWORD pid, LONG count) {
    const std::wstring name = ProcessObjectName(prefix, pid);
    security::Descriptor descriptor = security::BuildProcessObjectDescriptor(ObjectKind::kSemaphore);
    if (!descriptor) return {};
    HANDLE created = ::CreateSemaphoreW(descriptor.attributes(), count, count, name.c_str());
    const DWORD error = ::GetLastError();
    security::ReportSecurityCall(security::SecurityCall::kCreateObject, name, descriptor.get());
    return Claim(created, error, name, [&] { return ::CreateSemaphoreW(nullptr, count, count, nullptr); });
}

UniqueHandle MakeMutex(const wchar_t* prefix, DWORD pid) {
    const std::wstring name = ProcessObjectName(prefix, pid);
    security::Descriptor descriptor = security::BuildProcessObjectDescriptor(ObjectKind::kMutex);
    if (!descriptor) return {};
    HANDLE created = ::CreateMutexW(descriptor.attributes(), FALSE, name.c_str());
    const DWORD error = ::GetLastError();
    security::ReportSecurityCall(security::SecurityCall::kCreateObject, name, descriptor.get());
    return Claim(created, error, name, [] { return ::CreateMutexW(nullptr, FALSE, nullptr); });
}

// A machine-wide mutex, shared on purpose by every process that loads tsapi
// whatever its account: created with the model's descriptor, or opened when it
// exists, asking in both cases only for the right to wait for and release it.
// A process of an account the creator's descriptor does not let create with
// that access still opens it.
UniqueHandle MakeMachineMutex(const wchar_t* name) {
    security::Descriptor descriptor = security::BuildDescriptor(security::Secured::kMachineMutex);
    if (!descriptor) return {};
    UniqueHandle mutex(::CreateMutexExW(descriptor.attributes(), name, 0, security::kMachineMutexAccess));
    security::ReportSecurityCall(security::SecurityCall::kCreateObject, name, descriptor.get());
    if (!mutex && ::GetLastError() == ERROR_ACCESS_DENIED) {
        mutex.reset(::OpenMutexW(security::kMachineMutexAccess, FALSE, name));
    }
    return mutex;
}

}  // namespace

std::wstring ProcessObjectName(const wchar_t* prefix, DWORD processId) {
    return std::wstring(prefix) + std::to_wstring(processId);
}

bool CreateNamedObjects(Deliverable deliverable) {
    const DWORD pid = ::GetCurrentProcessId();
    NamedObjects& o = *g_objects;
    o = NamedObjects{};
    {
        std::lock_guard<SrwMutex> lock(g_replacedLock);
        g_replaced->clear();
        g_replacedLogged = 0;
    }
    o.digSigEvent = MakeEvent(names::kDigSigEvent, pid, false);
    o.sigReadSem = MakeSemaphore(names::kSigReadSem, pid, 1);
    o.sigWriteSem = MakeSemaphore(names::kSigWriteSem, pid, 1);
    o.sigStartMutex = MakeMutex(names::kSigStartMutex, pid);
    o.lcEvent = MakeEvent(names::kLcEvent, pid, false);
    o.xcEvent = MakeEvent(names::kXcEvent, pid, false);
    o.lcWriteSem = MakeSemaphore(names::kLcWriteSem, pid, 1);
    o.xcWriteSem = MakeSemaphore(names::kXcWriteSem, pid, 1);
    o.lcReadSem = MakeSemaphore(names::kLcReadSem, pid, 1);
    o.xcReadSem = MakeSemaphore(names::kXcReadSem, pid, 1);
    o.lcStartMutex = MakeMutex(names::kLcStartMutex, pid);
    o.xpStartMutex = MakeMutex(names::kXpStartMutex, pid);
    o.statEvent = MakeEvent(names::kStatEvent, pid, true);
    o.serverSem = MakeSemaphore(names::kServerSem, pid, names::kMaxServiceExchanges);
    bool ok = o.digSigEvent && o.sigReadSem && o.sigWriteSem && o.sigStartMutex && o.lcEvent && o.xcEvent &&
              o.lcWriteSem && o.xcWriteSem && o.lcReadSem && o.xcReadSem && o.lcStartMutex && o.xpStartMutex &&
              o.statEvent && o.serverSem;
    if (deliverable == Deliverable::kComponentServer) {
        o.sharedPermsReadSem = MakeSemaphore(names::kSharedPermsReadSem, pid, 1);
        o.sharedPermsWriteSem = MakeSemaphore(names::kSharedPermsWriteSem, pid, 1);
        o.sharedPermMutex = MakeMutex(names::kSharedPermMutex, pid);
        o.sharedPermEvent = MakeEvent(names::kSharedPermEvent, pid, true);
        o.sharedDatabaseMutex = MakeMachineMutex(names::kSharedDatabaseMutex);
        // The second machine-wide mutex only exists alongside the first.
        if (o.sharedDatabaseMutex) o.sharedSecondMutex = MakeMachineMutex(names::kSharedSecondMutex);
        ok = ok && o.sharedPermsReadSem && o.sharedPermsWriteSem && o.sharedPermMutex && o.sharedPermEvent &&
             o.sharedDatabaseMutex && o.sharedSecondMutex;
    }
    // Logged now when the process's logger already runs; otherwise by
    // ReportReplacedNamedObjects once it does.
    if (ETWLogging::ProcessLogger() != nullptr) ReportReplacedNamedObjects();
    return ok;
}

std::vector<std::wstring> ReplacedNamedObjects() {
    std::lock_guard<SrwMutex> lock(g_replacedLock);
    return *g_replaced;
}

void ReportReplacedNamedObjects() noexcept {
    std::vector<std::wstring> pending;
    try {
        std::lock_guard<SrwMutex> lock(g_replacedLock);
        pending.assign(g_replaced->begin() + static_cast<ptrdiff_t>(g_replacedLogged), g_replaced->end());
        g_replacedLogged = g_replaced->size();
    } catch (...) {
        return;
    }
    for (const std::wstring& name : pending) LogReplaced(name);
}

void CloseNamedObjects() { *g_objects = NamedObjects{}; }

NamedObjects& ProcessObjects() { return *g_objects; }

}  // namespace tessary
