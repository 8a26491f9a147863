#include "store/data_paths.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/paths.h"
#include "tests/support/security_calls.h"

namespace tessary {
namespace {

using security::Secured;
using security::SecurityCall;
using testing::RecordedSecurityCalls;

// Each level of a common data path is made (or taken over) with the model's
// descriptor: Wine keeps none, so the calls are observed.
TEST(DataPathsTest, CommonDataFoldersCarryTheModelsDescriptors) {
    RecordedSecurityCalls calls;
    const std::wstring local = ResolveDataPath(L"data\\TsLocal.xdb", DataBase::kCommonData);
    const std::wstring data = ParentDirectory(local);
    const std::wstring tessary = ParentDirectory(data);
    const std::wstring quellon = ParentDirectory(tessary);
    ASSERT_TRUE(IsDirectory(data));
    struct Level {
        std::wstring path;
        Secured model;
    };
    const std::wstring other = L"sectest_" + std::to_wstring(::GetCurrentProcessId());
    ResolveDataPath(other + L"\\file.xdb", DataBase::kCommonData);
    for (const Level& level :
         {Level{quellon, Secured::kProductFolder}, Level{tessary, Secured::kProductFolder},
          Level{data, Secured::kDataFolder}, Level{tessary + L"\\" + other, Secured::kProductFolder}}) {
        const auto made = calls.On(level.path);
        ASSERT_FALSE(made.empty());
        EXPECT_EQ(made[0].call, SecurityCall::kCreateDirectory);
        for (const auto& event : made) EXPECT_EQ(event.described, RecordedSecurityCalls::Model(level.model));
    }

    // Once secured in this process, a folder is not checked again while it exists.
    RecordedSecurityCalls::Clear();
    ResolveDataPath(L"data\\TsShared.xdb", DataBase::kCommonData);
    EXPECT_TRUE(calls.On(data).empty());
    RemoveTree(tessary + L"\\" + other);
    ResolveDataPath(other + L"\\file.xdb", DataBase::kCommonData);
    EXPECT_FALSE(calls.On(tessary + L"\\" + other).empty()) << "a folder removed since is made again";
    RemoveTree(tessary + L"\\" + other);
}

}  // namespace
}  // namespace tessary
