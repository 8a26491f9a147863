#include "store/reader_writer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace tessary {
namespace {

class ReaderWriterTest : public ::testing::Test {
protected:
    void SetUp() override {
        readSem_.reset(::CreateSemaphoreW(nullptr, 1, 1, nullptr));
        writeSem_.reset(::CreateSemaphoreW(nullptr, 1, 1, nullptr));
        startMutex_.reset(::CreateMutexW(nullptr, FALSE, nullptr));
        reload_.reset(::CreateEventW(nullptr, FALSE, TRUE, nullptr));
        ASSERT_TRUE(readSem_ && writeSem_ && startMutex_ && reload_);
    }
    CacheLocks Locks() { return {startMutex_.get(), reload_.get(), readSem_.get(), writeSem_.get(), &readers_}; }
    // True when the write semaphore can be taken right now (and gives it back).
    bool WriteSemFree() {
        if (::WaitForSingleObject(writeSem_.get(), 0) != WAIT_OBJECT_0) return false;
        ::ReleaseSemaphore(writeSem_.get(), 1, nullptr);
        return true;
    }

    UniqueHandle readSem_, writeSem_, startMutex_, reload_;
    int32_t readers_ = 0;
};

TEST_F(ReaderWriterTest, ReadersShareTheWriteSemaphoreAsAGroup) {
    ASSERT_TRUE(ReaderEnter(readSem_.get(), writeSem_.get(), &readers_));
    EXPECT_FALSE(WriteSemFree());
    ASSERT_TRUE(ReaderEnter(readSem_.get(), writeSem_.get(), &readers_));
    EXPECT_EQ(readers_, 2);
    ASSERT_TRUE(ReaderLeave(readSem_.get(), writeSem_.get(), &readers_));
    EXPECT_FALSE(WriteSemFree()) << "the last reader, not the first to leave, gives W back";
    ASSERT_TRUE(ReaderLeave(readSem_.get(), writeSem_.get(), &readers_));
    EXPECT_EQ(readers_, 0);
    EXPECT_TRUE(WriteSemFree());
}

TEST_F(ReaderWriterTest, ManyReaderThreadsAreInsideTogether) {
    constexpr int kThreads = 4;
    std::atomic<int> inside{0};
    std::atomic<int> maxInside{0};
    std::atomic<bool> release{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&] {
            ReaderScope reader(Locks());
            ASSERT_TRUE(reader.held());
            int now = ++inside;
            int seen = maxInside.load();
            while (now > seen && !maxInside.compare_exchange_weak(seen, now)) {
            }
            while (!release.load() && maxInside.load() < kThreads) ::Sleep(1);
            --inside;
        });
    }
    for (int i = 0; i < 5000 && maxInside.load() < kThreads; ++i) ::Sleep(1);
    release = true;
    for (auto& t : threads) t.join();
    EXPECT_EQ(maxInside.load(), kThreads);
    EXPECT_EQ(readers_, 0);
    EXPECT_TRUE(WriteSemFree());
}

TEST_F(ReaderWriterTest, WriterExcludesReadersUntilItLeaves) {
    ASSERT_TRUE(WriterEnter(writeSem_.get()));
    std::atomic<bool> readerIn{false};
    std::thread reader([&] {
        ReaderScope scope(Locks());
        readerIn = scope.held();
    });
    ::Sleep(100);
    EXPECT_FALSE(readerIn.load()) << "a reader got in while a writer held W";
    WriterLeave(writeSem_.get());
    reader.join();
    EXPECT_TRUE(readerIn.load());
    EXPECT_EQ(readers_, 0);

    // And a writer waits for the readers.
    ASSERT_TRUE(ReaderEnter(readSem_.get(), writeSem_.get(), &readers_));
    std::atomic<bool> writerIn{false};
    std::thread writer([&] {
        WriterScope scope(writeSem_.get());
        writerIn = scope.held();
    });
    ::Sleep(100);
    EXPECT_FALSE(writerIn.load());
    ASSERT_TRUE(ReaderLeave(readSem_.get(), writeSem_.get(), &readers_));
    writer.join();
    EXPECT_TRUE(writerIn.load());
}

TEST_F(ReaderWriterTest, MissingObjectsAndFailedWaitsLeaveStateUnchanged) {
    EXPECT_FALSE(ReaderEnter(nullptr, writeSem_.get(), &readers_));
    EXPECT_FALSE(ReaderEnter(readSem_.get(), writeSem_.get(), nullptr));
    EXPECT_FALSE(ReaderLeave(nullptr, writeSem_.get(), &readers_));
    EXPECT_EQ(readers_, 0);

    // A write semaphore that cannot be waited for: the counter goes back and R is released.
    HANDLE bogus = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x7fff0));
    EXPECT_FALSE(ReaderEnter(readSem_.get(), bogus, &readers_));
    EXPECT_EQ(readers_, 0);
    ASSERT_EQ(::WaitForSingleObject(readSem_.get(), 0), WAIT_OBJECT_0) << "R was not released";
    ::ReleaseSemaphore(readSem_.get(), 1, nullptr);

    // Without W, readers still count.
    ASSERT_TRUE(ReaderEnter(readSem_.get(), nullptr, &readers_));
    EXPECT_EQ(readers_, 1);
    ASSERT_TRUE(ReaderLeave(readSem_.get(), nullptr, &readers_));
    EXPECT_EQ(readers_, 0);
}

TEST_F(ReaderWriterTest, AbandonedMutexCountsAsAcquired) {
    std::thread owner([&] { ASSERT_EQ(::WaitForSingleObject(startMutex_.get(), 0), WAIT_OBJECT_0); });
    owner.join();  // the thread ends while owning the mutex
    EXPECT_TRUE(WaitForever(startMutex_.get()));
    ::ReleaseMutex(startMutex_.get());
}

TEST_F(ReaderWriterTest, FirstUseBuildsOnceUnderTheWriteSemaphore) {
    std::atomic<int> builds{0};
    std::atomic<bool> built{false};
    std::vector<std::thread> threads;
    std::atomic<int> found{0};
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&] {
            bool ok = LoadAndRead(
                Locks(), [&] { return built.load(); },
                [&] {
                    EXPECT_FALSE(WriteSemFree()) << "build ran without W";
                    ++builds;
                    ::Sleep(20);
                    built = true;
                },
                [&] { return built.load(); });
            if (ok) ++found;
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(builds.load(), 1);
    EXPECT_EQ(found.load(), 4);
    EXPECT_EQ(::WaitForSingleObject(reload_.get(), 0), WAIT_TIMEOUT) << "the reload event stays consumed";
    EXPECT_EQ(readers_, 0);
}

TEST_F(ReaderWriterTest, ConsumedReloadEventMeansNoRebuild) {
    ::WaitForSingleObject(reload_.get(), 0);
    int builds = 0;
    EXPECT_FALSE(LoadAndRead(
        Locks(), [] { return false; }, [&] { ++builds; }, [] { return false; }));
    EXPECT_EQ(builds, 0);
    CacheLocks noMutex = Locks();
    noMutex.startMutex = nullptr;
    EXPECT_FALSE(EnsureLoaded(
        noMutex, [] { return false; }, [&] { ++builds; }));
    EXPECT_EQ(builds, 0);
}

}  // namespace
}  // namespace tessary
