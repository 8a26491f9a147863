#include "platform/module_thread.h"

#include <gtest/gtest.h>

#include <atomic>

namespace tessary {
namespace {

// What a job saw, checked by the test after the thread ended.
struct JobRecord {
    std::atomic<DWORD> threadId{0};
    std::atomic<bool> destroyed{false};
    std::atomic<bool> moduleLoaded{false};
};

class RecordingJob : public ThreadJob {
public:
    RecordingJob(JobRecord* record, unsigned code, HANDLE started = nullptr)
        : record_(record), code_(code), started_(started) {}
    ~RecordingJob() override { record_->destroyed = true; }

    unsigned Run() noexcept override {
        record_->threadId = ::GetCurrentThreadId();
        HMODULE self = nullptr;
        record_->moduleLoaded =
            ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                 reinterpret_cast<LPCWSTR>(&StartWorkerThread), &self);
        if (started_ != nullptr) ::WaitForSingleObject(started_, INFINITE);
        return code_;
    }

private:
    JobRecord* record_;
    unsigned code_;
    HANDLE started_;
};

class WorkerThreadTest : public ::testing::TestWithParam<bool> {
protected:
    // Waits for the thread and returns its exit code.
    static DWORD Join(const UniqueHandle& thread) {
        EXPECT_EQ(::WaitForSingleObject(thread.get(), 10000), WAIT_OBJECT_0);
        DWORD code = STILL_ACTIVE;
        EXPECT_TRUE(::GetExitCodeThread(thread.get(), &code));
        return code;
    }
};

TEST_P(WorkerThreadTest, RunsJobOnNewThreadAndExitsWithItsCode) {
    JobRecord record;
    UniqueHandle thread = StartWorkerThread(std::make_unique<RecordingJob>(&record, 4711), GetParam());
    ASSERT_TRUE(thread);
    EXPECT_EQ(Join(thread), 4711u);
    EXPECT_NE(record.threadId.load(), 0u);
    EXPECT_NE(record.threadId.load(), ::GetCurrentThreadId());
    EXPECT_TRUE(record.moduleLoaded);
    EXPECT_TRUE(record.destroyed);
}

TEST_P(WorkerThreadTest, ThreadKeepsRunningWhenHandleIsDropped) {
    JobRecord record;
    UniqueHandle release(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(release);
    UniqueHandle thread = StartWorkerThread(std::make_unique<RecordingJob>(&record, 3, release.get()), GetParam());
    ASSERT_TRUE(thread);
    // Keep a second handle only to learn when the thread has ended.
    HANDLE watch = nullptr;
    ASSERT_TRUE(::DuplicateHandle(::GetCurrentProcess(), thread.get(), ::GetCurrentProcess(), &watch,
                                  SYNCHRONIZE | THREAD_QUERY_INFORMATION, FALSE, 0));
    UniqueHandle watcher(watch);
    thread.reset();
    EXPECT_FALSE(record.destroyed);
    ::SetEvent(release.get());
    EXPECT_EQ(Join(watcher), 3u);
    EXPECT_TRUE(record.destroyed);
}

TEST_P(WorkerThreadTest, NullJobStartsNothing) { EXPECT_FALSE(StartWorkerThread(nullptr, GetParam())); }

INSTANTIATE_TEST_SUITE_P(ModuleHold, WorkerThreadTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "HoldingModule" : "Plain";
                         });

}  // namespace
}  // namespace tessary
