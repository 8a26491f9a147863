#include "platform/security_descriptor.h"

#include <gtest/gtest.h>

#include <sddl.h>

#include <string>

namespace tessary::security {
namespace {

// The model as written in the README: owner, protection and every ACE, once as
// SDDL and once with the SIDs and masks written out (SYSTEM S-1-5-18,
// Administrators S-1-5-32-544, Authenticated Users S-1-5-11, Creator Owner S-1-3-0).
struct ModelRow {
    Secured what;
    const wchar_t* sddl;
    const wchar_t* described;
};

constexpr ModelRow kModel[] = {
    {Secured::kProductFolder, L"O:BAD:P(A;OICI;0x1f01ff;;;SY)(A;OICI;0x1f01ff;;;BA)(A;OICI;0x1200a9;;;AU)",
     L"O:S-1-5-32-544D:P(A;0x3;0x1f01ff;S-1-5-18)(A;0x3;0x1f01ff;S-1-5-32-544)(A;0x3;0x1200a9;S-1-5-11)"},
    {Secured::kDataFolder,
     L"O:BAD:P(A;OICI;0x1f01ff;;;SY)(A;OICI;0x1f01ff;;;BA)(A;OICI;0x1200a9;;;AU)(A;;0x2;;;AU)(A;OIIO;0x13019f;;;CO)",
     L"O:S-1-5-32-544D:P(A;0x3;0x1f01ff;S-1-5-18)(A;0x3;0x1f01ff;S-1-5-32-544)(A;0x3;0x1200a9;S-1-5-11)"
     L"(A;0x0;0x2;S-1-5-11)(A;0x9;0x13019f;S-1-3-0)"},
    {Secured::kPrivateFolder, L"O:BAD:P(A;OICI;0x1f01ff;;;SY)(A;OICI;0x1f01ff;;;BA)",
     L"O:S-1-5-32-544D:P(A;0x3;0x1f01ff;S-1-5-18)(A;0x3;0x1f01ff;S-1-5-32-544)"},
    {Secured::kReadableFile, L"O:BAD:P(A;;0x1f01ff;;;SY)(A;;0x1f01ff;;;BA)(A;;0x120089;;;AU)",
     L"O:S-1-5-32-544D:P(A;0x0;0x1f01ff;S-1-5-18)(A;0x0;0x1f01ff;S-1-5-32-544)(A;0x0;0x120089;S-1-5-11)"},
    {Secured::kSharedStoreFile, L"O:BAD:P(A;;0x1f01ff;;;SY)(A;;0x1f01ff;;;BA)(A;;0x12019f;;;AU)",
     L"O:S-1-5-32-544D:P(A;0x0;0x1f01ff;S-1-5-18)(A;0x0;0x1f01ff;S-1-5-32-544)(A;0x0;0x12019f;S-1-5-11)"},
    {Secured::kPrivateFile, L"O:BAD:P(A;;0x1f01ff;;;SY)(A;;0x1f01ff;;;BA)",
     L"O:S-1-5-32-544D:P(A;0x0;0x1f01ff;S-1-5-18)(A;0x0;0x1f01ff;S-1-5-32-544)"},
    // No owner: the creator's default owner (a standard user cannot make
    // Administrators the owner of what it creates).
    {Secured::kMachineMutex, L"D:P(A;;0x1f0001;;;SY)(A;;0x1f0001;;;BA)(A;;0x100001;;;AU)",
     L"O:-D:P(A;0x0;0x1f0001;S-1-5-18)(A;0x0;0x1f0001;S-1-5-32-544)(A;0x0;0x100001;S-1-5-11)"},
};

TEST(SecurityDescriptorTest, EveryDescriptorIsTheModelsOwnerProtectionAndAces) {
    for (const ModelRow& row : kModel) {
        SCOPED_TRACE(testing::Message() << "model row " << static_cast<int>(row.what));
        EXPECT_EQ(ModelSddl(row.what), row.sddl);
        const Descriptor built = BuildDescriptor(row.what);
        ASSERT_TRUE(built);
        EXPECT_EQ(Describe(built.get(), true), row.described);
        // What a writer of SDDL makes of it reads back as the same descriptor.
        PSECURITY_DESCRIPTOR again = nullptr;
        ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(ToSddl(built.get()).c_str(), SDDL_REVISION_1,
                                                                           &again, nullptr));
        UniqueLocalMemory owned(again);
        EXPECT_EQ(Describe(again, true), row.described);
    }
}

TEST(SecurityDescriptorTest, PerProcessObjectsAdmitSystemAdministratorsAndTheProcesssAccountOnly) {
    HANDLE raw = nullptr;
    ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw));
    UniqueHandle token(raw);
    BYTE buffer[256];
    DWORD bytes = 0;
    ASSERT_TRUE(::GetTokenInformation(token.get(), TokenUser, buffer, sizeof(buffer), &bytes));
    wchar_t* text = nullptr;
    ASSERT_TRUE(::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text));
    UniqueLocalMemory ownedText(text);
    const std::wstring user = text;

    struct Kind {
        ObjectKind kind;
        const wchar_t* mask;
    };
    for (const Kind& kind : {Kind{ObjectKind::kMutex, L"0x1f0001"}, Kind{ObjectKind::kSemaphore, L"0x1f0003"},
                             Kind{ObjectKind::kEvent, L"0x1f0003"}}) {
        const std::wstring mask = kind.mask;
        EXPECT_EQ(ProcessObjectSddl(kind.kind),
                  L"D:P(A;;" + mask + L";;;SY)(A;;" + mask + L";;;BA)(A;;" + mask + L";;;" + user + L")");
        const Descriptor built = BuildProcessObjectDescriptor(kind.kind);
        ASSERT_TRUE(built);
        EXPECT_EQ(Describe(built.get(), true), L"O:-D:P(A;0x0;" + mask + L";S-1-5-18)(A;0x0;" + mask +
                                                   L";S-1-5-32-544)(A;0x0;" + mask + L";" + user + L")");
    }
}

TEST(SecurityDescriptorTest, DescribeTellsAWeakerDescriptorFromTheModel) {
    const std::wstring model = Describe(BuildDescriptor(Secured::kProductFolder).get(), true);
    // Inherited from the parent instead of protected; another owner; an extra grant; no DACL at all.
    for (const wchar_t* weaker :
         {L"O:BAD:(A;OICI;0x1f01ff;;;SY)(A;OICI;0x1f01ff;;;BA)(A;OICI;0x1200a9;;;AU)",
          L"O:AUD:P(A;OICI;0x1f01ff;;;SY)(A;OICI;0x1f01ff;;;BA)(A;OICI;0x1200a9;;;AU)",
          L"O:BAD:P(A;OICI;0x1f01ff;;;SY)(A;OICI;0x1f01ff;;;BA)(A;OICI;0x1201bf;;;AU)", L"O:BA"}) {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        ASSERT_TRUE(
            ::ConvertStringSecurityDescriptorToSecurityDescriptorW(weaker, SDDL_REVISION_1, &descriptor, nullptr));
        UniqueLocalMemory owned(descriptor);
        EXPECT_NE(Describe(descriptor, true), model) << std::wstring(weaker).size();
    }
    EXPECT_EQ(Describe(nullptr, true), L"");
}

}  // namespace
}  // namespace tessary::security
