#include "store/named_objects.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/paths.h"
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

}  // namespace
}  // namespace tessary
