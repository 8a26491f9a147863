#include "store/exception_list.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/text.h"
#include "store/data_paths.h"
#include "store/named_objects.h"
#include "store/stores.h"
#include "tests/support/local_store.h"
#include "tests/support/temp_dir.h"

namespace tessary {
namespace {

using testing::StoreExec;

// "H<i>", built by appending (GCC 12 warns falsely on literal + to_string).
std::string Numbered(int i) {
    std::string text("H");
    text.append(std::to_string(i));
    return text;
}

bool PutException(const char* hash, const char* binName) {
    return StoreExec("INSERT INTO LocalExpInfo VALUES(%Q,%Q,'desc','flag');", hash, binName);
}

// Each test starts with new process objects (so the reload event is signaled,
// as after load), no list in memory and no local store.
class ExceptionListTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(CreateNamedObjects(Deliverable::kComponentServer));
        FreeExceptionList();
    }
    void TearDown() override { FreeExceptionList(); }
    HANDLE ReloadEvent() { return ProcessObjects().ExceptionList().reloadEvent; }

    // Polls until `hash` is listed or not, as wanted, for up to five seconds.
    static bool Eventually(const char* hash, bool listed) {
        for (int i = 0; i < 250; ++i) {
            if (IsListedException(hash) == listed) return true;
            ::Sleep(20);
        }
        return false;
    }

    testing::ScopedNoLocalStore store_;
};

TEST_F(ExceptionListTest, ListedHashesAreFoundExactly) {
    ASSERT_TRUE(PutException("AAAA", "a.exe"));
    ASSERT_TRUE(PutException("BBBB", "b.exe"));
    EXPECT_TRUE(IsListedException("AAAA"));
    EXPECT_TRUE(IsListedException("BBBB"));
    EXPECT_FALSE(IsListedException("CCCC"));
    EXPECT_FALSE(IsListedException("aaaa"));
    EXPECT_FALSE(IsListedException("AAA"));
    EXPECT_FALSE(IsListedException(""));
    EXPECT_FALSE(IsListedException(nullptr));
}

TEST_F(ExceptionListTest, TheTableIsReadOnceAndTestedInMemory) {
    ASSERT_TRUE(PutException("AAAA", "a.exe"));
    ASSERT_TRUE(IsListedException("AAAA"));
    ASSERT_TRUE(StoreExec("DELETE FROM LocalExpInfo;"));
    ASSERT_TRUE(PutException("BBBB", "b.exe"));
    EXPECT_TRUE(IsListedException("AAAA"));
    EXPECT_FALSE(IsListedException("BBBB"));
}

TEST_F(ExceptionListTest, TheWalkStopsAtTheFirstRowWithoutHashOrBinName) {
    ASSERT_TRUE(PutException("AAAA", "a.exe"));
    ASSERT_TRUE(PutException("BBBB", "b.exe"));
    ASSERT_TRUE(PutException("CCCC", nullptr));
    ASSERT_TRUE(PutException("DDDD", "d.exe"));
    ASSERT_TRUE(PutException(nullptr, "e.exe"));
    EXPECT_TRUE(IsListedException("AAAA"));
    EXPECT_TRUE(IsListedException("BBBB"));
    EXPECT_FALSE(IsListedException("CCCC"));
    EXPECT_FALSE(IsListedException("DDDD"));
}

TEST_F(ExceptionListTest, SignaledReloadEventRebuildsTheListInTheBackground) {
    ASSERT_TRUE(PutException("AAAA", "a.exe"));
    ASSERT_TRUE(IsListedException("AAAA"));
    ASSERT_TRUE(StoreExec("DELETE FROM LocalExpInfo;"));
    ASSERT_TRUE(PutException("BBBB", "b.exe"));
    ASSERT_FALSE(IsListedException("BBBB"));

    ASSERT_TRUE(::SetEvent(ReloadEvent()));
    EXPECT_TRUE(Eventually("BBBB", true));
    EXPECT_FALSE(IsListedException("AAAA"));
}

TEST_F(ExceptionListTest, FailedLoadIsRetriedOnALaterTest) {
    // A file the library refuses, held open by another process so that it cannot
    // be replaced, makes every open of the store fail.
    const std::wstring path = store_.path();
    auto block = [&path] {
        ::DeleteFileW(path.c_str());
        testing::WriteFileBytes(path, std::string(4096, '\x01'));
        return UniqueFile(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    };
    UniqueFile holder = block();
    ASSERT_TRUE(holder);
    UniqueSqlite probe;
    ASSERT_FALSE(OpenLocalStore(&probe));
    EXPECT_FALSE(IsListedException("VVVV"));
    EXPECT_FALSE(IsListedException("VVVV")) << "still unreadable: tried again, still absent";

    holder.reset();
    ::DeleteFileW(path.c_str());
    ASSERT_TRUE(PutException("VVVV", "v.exe"));
    EXPECT_TRUE(IsListedException("VVVV")) << "the failed load left the reload due";
    EXPECT_EQ(::WaitForSingleObject(ReloadEvent(), 0), DWORD{WAIT_TIMEOUT}) << "a good load is not repeated";

    // A background rebuild that fails leaves the list absent and the reload due again.
    holder = block();
    ASSERT_TRUE(holder);
    ASSERT_TRUE(::SetEvent(ReloadEvent()));
    EXPECT_TRUE(Eventually("VVVV", false));
    holder.reset();
    ::DeleteFileW(path.c_str());
    ASSERT_TRUE(PutException("VVVV", "v.exe"));
    EXPECT_TRUE(Eventually("VVVV", true));
}

TEST_F(ExceptionListTest, ThreadsArrivingTogetherAllSeeTheLoadedList) {
    for (int i = 0; i < 50; ++i) {
        const std::string hash = Numbered(i);
        ASSERT_TRUE(PutException(hash.c_str(), "x.exe"));
    }
    constexpr int kThreads = 8;
    std::atomic<bool> go{false};
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            while (!go.load()) std::this_thread::yield();
            for (int i = 0; i < 20; ++i) {
                const std::string listed = Numbered((i + t) % 50);
                if (!IsListedException(listed.c_str())) ++wrong;
                if (IsListedException("NOT-LISTED")) ++wrong;
            }
        });
    }
    go = true;
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST_F(ExceptionListTest, WithoutItsKernelObjectsNothingIsListed) {
    ASSERT_TRUE(PutException("AAAA", "a.exe"));
    CloseNamedObjects();
    EXPECT_FALSE(IsListedException("AAAA"));
    ASSERT_TRUE(CreateNamedObjects(Deliverable::kComponentServer));
    EXPECT_TRUE(IsListedException("AAAA"));
}

}  // namespace
}  // namespace tessary
