#include "store/named_objects.h"

#include <gtest/gtest.h>

#include <aclapi.h>

#include <string>
#include <vector>

#include "platform/paths.h"
#include "platform/security_descriptor.h"
#include "store/object_names.h"

namespace tessary {
namespace {

class NamedObjectsTest : public ::testing::Test {
protected:
    void TearDown() override { CloseNamedObjects(); }
    static std::wstring Name(const wchar_t* prefix) { return ProcessObjectName(prefix, ::GetCurrentProcessId()); }
};

TEST_F(NamedObjectsTest, NamesCarryTheDecimalProcessId) {
    EXPECT_EQ(ProcessObjectName(names::kLcEvent, 4711), L"TSAPI_g_hLCEvent_4711");
    EXPECT_EQ(ProcessObjectName(names::kServerSem, 7), L"TSAPI_g_pTSServerSem_7");
}

TEST_F(NamedObjectsTest, ComponentServerCreatesEveryObjectWithItsInitialState) {
    ASSERT_TRUE(CreateNamedObjects(Deliverable::kComponentServer));
    NamedObjects& o = ProcessObjects();

    // Reload events start signaled and reset themselves; the statistics and
    // shared-permission events stay signaled.
    EXPECT_EQ(::WaitForSingleObject(o.lcEvent.get(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(::WaitForSingleObject(o.lcEvent.get(), 0), WAIT_TIMEOUT);
    EXPECT_EQ(::WaitForSingleObject(o.digSigEvent.get(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(::WaitForSingleObject(o.digSigEvent.get(), 0), WAIT_TIMEOUT);
    EXPECT_EQ(::WaitForSingleObject(o.statEvent.get(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(::WaitForSingleObject(o.statEvent.get(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(::WaitForSingleObject(o.sharedPermEvent.get(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(::WaitForSingleObject(o.sharedPermEvent.get(), 0), WAIT_OBJECT_0);

    // The exchange semaphore admits exactly 100.
    int admitted = 0;
    while (admitted < 200 && ::WaitForSingleObject(o.serverSem.get(), 0) == WAIT_OBJECT_0) ++admitted;
    EXPECT_EQ(admitted, 100);
    ::ReleaseSemaphore(o.serverSem.get(), admitted, nullptr);
    EXPECT_FALSE(::ReleaseSemaphore(o.serverSem.get(), 1, nullptr)) << "maximum must be 100";

    // The pairs' semaphores hold one.
    for (HANDLE sem : {o.lcReadSem.get(), o.lcWriteSem.get(), o.xcReadSem.get(), o.xcWriteSem.get(), o.sigReadSem.get(),
                       o.sigWriteSem.get(), o.sharedPermsReadSem.get(), o.sharedPermsWriteSem.get()}) {
        ASSERT_EQ(::WaitForSingleObject(sem, 0), WAIT_OBJECT_0);
        EXPECT_EQ(::WaitForSingleObject(sem, 0), WAIT_TIMEOUT);
        ::ReleaseSemaphore(sem, 1, nullptr);
        EXPECT_FALSE(::ReleaseSemaphore(sem, 1, nullptr));
    }

    // They are reachable by their names.
    UniqueHandle byName(::OpenEventW(SYNCHRONIZE, FALSE, Name(names::kLcEvent).c_str()));
    EXPECT_TRUE(byName);
    UniqueHandle machineWide(::OpenMutexW(SYNCHRONIZE, FALSE, names::kSharedDatabaseMutex));
    EXPECT_TRUE(machineWide);
    UniqueHandle second(::OpenMutexW(SYNCHRONIZE, FALSE, names::kSharedSecondMutex));
    EXPECT_TRUE(second);
    UniqueHandle sharedSem(::OpenSemaphoreW(SYNCHRONIZE, FALSE, Name(names::kSharedPermsReadSem).c_str()));
    EXPECT_TRUE(sharedSem);
}

TEST_F(NamedObjectsTest, UpdateCheckerHasNoSharedPermissionObjects) {
    ASSERT_TRUE(CreateNamedObjects(Deliverable::kUpdateChecker));
    NamedObjects& o = ProcessObjects();
    EXPECT_TRUE(o.lcEvent && o.serverSem && o.statEvent && o.xpStartMutex);
    EXPECT_FALSE(o.sharedPermsReadSem || o.sharedPermsWriteSem || o.sharedPermMutex || o.sharedPermEvent ||
                 o.sharedDatabaseMutex || o.sharedSecondMutex);
    UniqueHandle sharedSem(::OpenSemaphoreW(SYNCHRONIZE, FALSE, Name(names::kSharedPermsReadSem).c_str()));
    EXPECT_FALSE(sharedSem);
}

TEST_F(NamedObjectsTest, CloseReleasesTheNames) {
    ASSERT_TRUE(CreateNamedObjects(Deliverable::kUpdateChecker));
    CloseNamedObjects();
    EXPECT_FALSE(ProcessObjects().lcEvent);
    UniqueHandle gone(::OpenEventW(SYNCHRONIZE, FALSE, Name(names::kLcEvent).c_str()));
    EXPECT_FALSE(gone);
}

TEST_F(NamedObjectsTest, AnotherProcessOwnsSeparateObjects) {
    ASSERT_TRUE(CreateNamedObjects(Deliverable::kComponentServer));
    // Consume our own reload event: the child's signals must not set it again.
    ASSERT_EQ(::WaitForSingleObject(ProcessObjects().lcEvent.get(), 0), WAIT_OBJECT_0);

    std::wstring child = ParentDirectory(ModuleFilePath(nullptr)) + L"\\store_objects_child.exe";
    std::wstring commandLine = L"\"" + child + L"\" " + std::to_wstring(::GetCurrentProcessId());
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        << "cannot start " << std::string(child.begin(), child.end());
    UniqueHandle process(pi.hProcess);
    UniqueHandle thread(pi.hThread);
    ASSERT_EQ(::WaitForSingleObject(process.get(), 30000), WAIT_OBJECT_0);
    DWORD code = 99;
    ASSERT_TRUE(::GetExitCodeProcess(process.get(), &code));
    EXPECT_EQ(code, 0u) << "see the exit codes in objects_child.cpp";
    EXPECT_EQ(::WaitForSingleObject(ProcessObjects().lcEvent.get(), 0), WAIT_TIMEOUT);
}

// The DACL `object` carries, read back through its handle, in the canonical text.
std::wstring DaclOf(HANDLE object) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetSecurityInfo(object, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, nullptr,
                          &descriptor) != ERROR_SUCCESS) {
        return L"<unreadable>";
    }
    UniqueLocalMemory owned(descriptor);
    return security::Describe(descriptor, false);
}

std::wstring ModelDacl(const security::Descriptor& model) { return security::Describe(model.get(), false); }

TEST_F(NamedObjectsTest, EveryNamedObjectCarriesTheModelsDescriptor) {
    ASSERT_TRUE(CreateNamedObjects(Deliverable::kComponentServer));
    NamedObjects& o = ProcessObjects();
    using security::ObjectKind;
    const std::wstring mutexModel = ModelDacl(security::BuildProcessObjectDescriptor(ObjectKind::kMutex));
    const std::wstring semaphoreModel = ModelDacl(security::BuildProcessObjectDescriptor(ObjectKind::kSemaphore));
    const std::wstring eventModel = ModelDacl(security::BuildProcessObjectDescriptor(ObjectKind::kEvent));
    ASSERT_FALSE(mutexModel.empty() || semaphoreModel.empty() || eventModel.empty());
    struct Expected {
        HANDLE object;
        const std::wstring& model;
    };
    const Expected perProcess[] = {
        {o.digSigEvent.get(), eventModel},
        {o.lcEvent.get(), eventModel},
        {o.xcEvent.get(), eventModel},
        {o.statEvent.get(), eventModel},
        {o.sharedPermEvent.get(), eventModel},
        {o.sigReadSem.get(), semaphoreModel},
        {o.sigWriteSem.get(), semaphoreModel},
        {o.lcWriteSem.get(), semaphoreModel},
        {o.xcWriteSem.get(), semaphoreModel},
        {o.lcReadSem.get(), semaphoreModel},
        {o.xcReadSem.get(), semaphoreModel},
        {o.serverSem.get(), semaphoreModel},
        {o.sharedPermsReadSem.get(), semaphoreModel},
        {o.sharedPermsWriteSem.get(), semaphoreModel},
        {o.sigStartMutex.get(), mutexModel},
        {o.lcStartMutex.get(), mutexModel},
        {o.xpStartMutex.get(), mutexModel},
        {o.sharedPermMutex.get(), mutexModel},
    };
    for (size_t i = 0; i < std::size(perProcess); ++i) {
        EXPECT_EQ(DaclOf(perProcess[i].object), perProcess[i].model) << "per-process object " << i;
    }

    // The machine-wide mutexes: the model's DACL; this process's handles only wait and release.
    const std::wstring machineModel = ModelDacl(security::BuildDescriptor(security::Secured::kMachineMutex));
    for (const wchar_t* name : {names::kSharedDatabaseMutex, names::kSharedSecondMutex}) {
        UniqueHandle reader(::OpenMutexW(READ_CONTROL, FALSE, name));
        ASSERT_TRUE(reader);
        EXPECT_EQ(DaclOf(reader.get()), machineModel);
    }
    for (HANDLE held : {o.sharedDatabaseMutex.get(), o.sharedSecondMutex.get()}) {
        EXPECT_EQ(::WaitForSingleObject(held, 0), WAIT_OBJECT_0);
        EXPECT_TRUE(::ReleaseMutex(held));
        EXPECT_EQ(DaclOf(held), L"<unreadable>") << "opened with more than SYNCHRONIZE | MUTEX_MODIFY_STATE";
    }
    EXPECT_TRUE(ReplacedNamedObjects().empty());
}

TEST_F(NamedObjectsTest, AnObjectSomeoneElseMadeFirstIsReplacedByAPrivateOneInItsInitialState) {
    UniqueHandle stuckSem(::CreateSemaphoreW(nullptr, 0, 1, Name(names::kLcWriteSem).c_str()));
    UniqueHandle neverSet(::CreateEventW(nullptr, TRUE, FALSE, Name(names::kLcEvent).c_str()));
    UniqueHandle owned(::CreateMutexW(nullptr, TRUE, Name(names::kSharedPermMutex).c_str()));
    UniqueHandle stuckServer(::CreateSemaphoreW(nullptr, 0, 100, Name(names::kServerSem).c_str()));
    ASSERT_TRUE(stuckSem && neverSet && owned && stuckServer);

    ASSERT_TRUE(CreateNamedObjects(Deliverable::kComponentServer));
    NamedObjects& o = ProcessObjects();
    const std::vector<std::wstring> replaced = ReplacedNamedObjects();
    EXPECT_EQ(replaced, (std::vector<std::wstring>{Name(names::kLcEvent), Name(names::kLcWriteSem),
                                                   Name(names::kServerSem), Name(names::kSharedPermMutex)}));
    // Each works as the model's object would, whatever the squatter does with its own.
    EXPECT_EQ(::WaitForSingleObject(o.lcWriteSem.get(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(::WaitForSingleObject(o.lcEvent.get(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(::WaitForSingleObject(o.serverSem.get(), 0), WAIT_OBJECT_0);
    ::ReleaseSemaphore(o.serverSem.get(), 1, nullptr);
    EXPECT_EQ(::WaitForSingleObject(o.sharedPermMutex.get(), 0), WAIT_OBJECT_0);
    ::ReleaseMutex(o.sharedPermMutex.get());
    // The squatter's objects are not ours: signalling them reaches nothing of this process.
    ::ReleaseSemaphore(stuckSem.get(), 1, nullptr);
    ::ReleaseSemaphore(o.lcWriteSem.get(), 1, nullptr);
    EXPECT_FALSE(::ReleaseSemaphore(o.lcWriteSem.get(), 1, nullptr)) << "the private semaphore keeps its maximum of 1";
}

}  // namespace
}  // namespace tessary
