#include "updater/staged_file.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "tests/support/held_file.h"
#include "tests/support/temp_dir.h"

namespace tessary {
namespace {

using testing::FileExists;
using testing::ReadBytes;
using testing::ScopedTempDir;
using testing::WriteFileBytes;

class StagedFileTest : public ::testing::Test {
protected:
    ScopedTempDir dir_;
};

// A scanner that holds the target without sharing for a moment is waited for;
// one that holds it past the bounded retry (about 1.1 s) makes the step fail
// with the system's error, the target keeping its content and its read-only
// attribute.
TEST_F(StagedFileTest, ReplaceAndDeleteWaitForAMomentaryHolderAndFailWithinTheBoundOnALastingOne) {
    if (!testing::ReplacingAnUnsharedFileIsRefused(dir_.path())) {
        GTEST_SKIP() << "this Wine's MoveFileExW replaces a file another handle holds without sharing; only "
                        "Windows refuses it with a sharing violation";
    }
    enum class Step { kMove, kCommit, kDelete };
    struct Row {
        const char* name;
        Step step;
        bool readOnly;
    };
    const Row rows[] = {
        {"move", Step::kMove, false},
        {"commit onto read-only", Step::kCommit, true},
        {"delete read-only", Step::kDelete, true},
    };
    const std::wstring target = dir_.File(L"target.xdb");
    const std::wstring source = dir_.File(L"source.xdb");
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        for (const bool lasting : {false, true}) {
            SCOPED_TRACE(lasting ? "held throughout" : "held for 150 ms");
            ::SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);
            ASSERT_TRUE(WriteFileBytes(target, "old"));
            ASSERT_TRUE(WriteFileBytes(source, "new"));
            if (row.readOnly) {
                ASSERT_TRUE(::SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_READONLY));
            }
            StagedFile staged;
            if (row.step == Step::kCommit) {
                ASSERT_TRUE(staged.Create(dir_.path()) && staged.Write("new", 3));
            }
            const std::wstring stagedPath = staged.path();

            // A lasting holder outlives the bound by far, even on a loaded machine.
            std::thread holder = testing::HoldUnshared(target, lasting ? 3500 : 150);
            const ULONGLONG start = ::GetTickCount64();
            bool done = false;
            switch (row.step) {
                case Step::kMove:
                    done = MoveOntoTarget(source, target);
                    break;
                case Step::kCommit:
                    done = staged.CommitTo(target);
                    break;
                case Step::kDelete:
                    done = DeleteFileEvenReadOnly(target);
                    break;
            }
            const DWORD error = ::GetLastError();
            const ULONGLONG elapsed = ::GetTickCount64() - start;
            holder.join();

            if (!lasting) {
                EXPECT_TRUE(done) << error;
                EXPECT_GE(elapsed, 100u) << "the holder was waited for";
                if (row.step == Step::kDelete) {
                    EXPECT_FALSE(FileExists(target));
                } else {
                    EXPECT_EQ(ReadBytes(target), "new");
                    EXPECT_EQ(::GetFileAttributesW(target.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
                }
                continue;
            }
            EXPECT_FALSE(done);
            EXPECT_TRUE(error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED) << error;
            EXPECT_GE(elapsed, 1000u);
            EXPECT_LT(elapsed, 3000u) << "given up within the bound, before the holder let go";
            EXPECT_EQ(ReadBytes(target), "old");
            EXPECT_EQ(::GetFileAttributesW(target.c_str()) & FILE_ATTRIBUTE_READONLY,
                      row.readOnly ? DWORD{FILE_ATTRIBUTE_READONLY} : 0u);
            if (row.step == Step::kMove) {
                EXPECT_EQ(ReadBytes(source), "new") << "the source stays for the caller";
            }
            if (row.step == Step::kCommit) {
                EXPECT_FALSE(FileExists(stagedPath)) << "the staged file is removed";
            }
        }
    }
}

// A folder at the target's name is no file a moment's wait could replace or delete.
TEST_F(StagedFileTest, AFolderAtTheTargetsNameIsRefusedAtOnce) {
    const std::wstring folder = dir_.File(L"target.xdb");
    const std::wstring source = dir_.File(L"source.xdb");
    ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
    ASSERT_TRUE(WriteFileBytes(source, "new"));
    const ULONGLONG start = ::GetTickCount64();
    EXPECT_FALSE(MoveOntoTarget(source, folder));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(DeleteFileEvenReadOnly(folder));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_LT(::GetTickCount64() - start, 500u);
    EXPECT_EQ(ReadBytes(source), "new");
    EXPECT_EQ(::GetFileAttributesW(folder.c_str()) & FILE_ATTRIBUTE_DIRECTORY, DWORD{FILE_ATTRIBUTE_DIRECTORY});
    // A file that is not there is gone already.
    EXPECT_TRUE(DeleteFileEvenReadOnly(dir_.File(L"absent.xdb")));
}

}  // namespace
}  // namespace tessary
