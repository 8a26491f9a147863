#include "platform/registry.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/unique_resource.h"

namespace tessary::registry {
namespace {

constexpr DWORD kSentinel = 0xDEADBEEF;

// Each test works below its own throwaway key, removed again in TearDown.
class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        key_ = L"SOFTWARE\\Quellon\\TessaryTest\\" + std::to_wstring(::GetCurrentProcessId()) + L"_" +
               std::to_wstring(::GetTickCount64()) + L"_";
        for (const char* c = ::testing::UnitTest::GetInstance()->current_test_info()->name(); *c != '\0'; ++c) {
            key_.push_back(*c == '/' ? L'_' : static_cast<wchar_t>(*c));
        }
    }

    void TearDown() override {
        EXPECT_TRUE(DeleteKeyTree(HKEY_LOCAL_MACHINE, key_.c_str()));
        EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, key_.c_str()));
    }

    const wchar_t* Key() const { return key_.c_str(); }

    // Stores raw data with a type of the test's choosing, bypassing the helpers.
    void SetRaw(const wchar_t* value, DWORD type, const void* data, DWORD size) {
        UniqueRegKey key;
        ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, Key(), 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr,
                                    key.put(), nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(::RegSetValueExW(key.get(), value, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
    }

    std::vector<uint8_t> Raw(const wchar_t* value, DWORD* type) {
        std::vector<uint8_t> data;
        EXPECT_TRUE(ReadRawValue(HKEY_LOCAL_MACHINE, Key(), value, type, &data));
        return data;
    }

    std::wstring key_;
};

TEST_F(RegistryTest, StringRoundTripCreatesMissingKeys) {
    const std::wstring nested = key_ + L"\\a\\b";
    ASSERT_TRUE(WriteString(HKEY_LOCAL_MACHINE, nested.c_str(), L"Install Dir", L"C:\\Program Files\\Quellon"));
    std::wstring text = L"sentinel";
    ASSERT_TRUE(ReadString(HKEY_LOCAL_MACHINE, nested.c_str(), L"Install Dir", &text));
    EXPECT_EQ(text, L"C:\\Program Files\\Quellon");
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, (key_ + L"\\a").c_str()));
}

TEST_F(RegistryTest, StringWithoutTerminatorIsStoredAndReadBack) {
    ASSERT_TRUE(WriteString(HKEY_LOCAL_MACHINE, Key(), L"DBVersion", L"1700000000", false));
    DWORD type = 0;
    auto raw = Raw(L"DBVersion", &type);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(raw.size(), 10 * sizeof(wchar_t));
    std::wstring text;
    ASSERT_TRUE(ReadString(HKEY_LOCAL_MACHINE, Key(), L"DBVersion", &text));
    EXPECT_EQ(text, L"1700000000");

    ASSERT_TRUE(WriteString(HKEY_LOCAL_MACHINE, Key(), L"DBVersion", L"00000000"));
    EXPECT_EQ(Raw(L"DBVersion", &type).size(), 9 * sizeof(wchar_t));
    ASSERT_TRUE(ReadString(HKEY_LOCAL_MACHINE, Key(), L"DBVersion", &text));
    EXPECT_EQ(text, L"00000000");
}

TEST_F(RegistryTest, StringEndsAtFirstZeroAndIgnoresOddByte) {
    const wchar_t data[] = L"abc\0def";
    SetRaw(L"Embedded", REG_SZ, data, sizeof(data));
    SetRaw(L"Odd", REG_SZ, L"xyz", 7);
    std::wstring text;
    ASSERT_TRUE(ReadString(HKEY_LOCAL_MACHINE, Key(), L"Embedded", &text));
    EXPECT_EQ(text, L"abc");
    ASSERT_TRUE(ReadString(HKEY_LOCAL_MACHINE, Key(), L"Odd", &text));
    EXPECT_EQ(text, L"xyz");
}

TEST_F(RegistryTest, ExpandStringIsReadUnexpanded) {
    const wchar_t data[] = L"%SystemRoot%\\system32";
    SetRaw(L"Path", REG_EXPAND_SZ, data, sizeof(data));
    std::wstring text;
    ASSERT_TRUE(ReadString(HKEY_LOCAL_MACHINE, Key(), L"Path", &text));
    EXPECT_EQ(text, L"%SystemRoot%\\system32");
}

TEST_F(RegistryTest, LongStringIsReadWhole) {
    std::wstring longText(70000, L'q');
    longText[12345] = L'Z';
    ASSERT_TRUE(WriteString(HKEY_LOCAL_MACHINE, Key(), L"Long", longText));
    std::wstring text;
    ASSERT_TRUE(ReadString(HKEY_LOCAL_MACHINE, Key(), L"Long", &text));
    EXPECT_EQ(text, longText);
}

TEST_F(RegistryTest, WrongTypeOrMissingValueClearsOutputs) {
    ASSERT_TRUE(WriteDword(HKEY_LOCAL_MACHINE, Key(), L"Number", 5));
    ASSERT_TRUE(WriteString(HKEY_LOCAL_MACHINE, Key(), L"Text", L"5"));
    SetRaw(L"Short", REG_DWORD, "\x01\x02", 2);

    std::wstring text = L"sentinel";
    EXPECT_FALSE(ReadString(HKEY_LOCAL_MACHINE, Key(), L"Number", &text));
    EXPECT_TRUE(text.empty());
    DWORD number = kSentinel;
    EXPECT_FALSE(ReadDword(HKEY_LOCAL_MACHINE, Key(), L"Text", &number));
    EXPECT_EQ(number, 0u);
    number = kSentinel;
    EXPECT_FALSE(ReadDword(HKEY_LOCAL_MACHINE, Key(), L"Short", &number));
    EXPECT_EQ(number, 0u);
    number = kSentinel;
    EXPECT_FALSE(ReadDword(HKEY_LOCAL_MACHINE, Key(), L"Missing", &number));
    EXPECT_EQ(number, 0u);
    std::vector<uint8_t> bytes(3, 1);
    EXPECT_FALSE(ReadBinary(HKEY_LOCAL_MACHINE, Key(), L"Number", &bytes));
    EXPECT_TRUE(bytes.empty());
    const std::wstring missingKey = key_ + L"\\nothing";
    number = kSentinel;
    EXPECT_FALSE(ReadDword(HKEY_LOCAL_MACHINE, missingKey.c_str(), L"Number", &number));
    EXPECT_EQ(number, 0u);

    // The same reads with their reason: absent is kept apart from unreadable.
    const struct {
        const wchar_t* key;
        const wchar_t* value;
        ReadResult result;
    } reads[] = {
        {Key(), L"Number", ReadResult::kRead},
        {Key(), L"Text", ReadResult::kWrongType},
        {Key(), L"Short", ReadResult::kWrongType},
        {Key(), L"Missing", ReadResult::kValueAbsent},
        {missingKey.c_str(), L"Number", ReadResult::kKeyAbsent},
    };
    for (const auto& read : reads) {
        number = kSentinel;
        EXPECT_EQ(QueryDword(HKEY_LOCAL_MACHINE, read.key, read.value, &number), read.result) << read.value;
        EXPECT_EQ(number, read.result == ReadResult::kRead ? 5u : 0u) << read.value;
    }
    // A value above the caller's bound is not read, and says so.
    DWORD type = REG_NONE;
    std::vector<uint8_t> data(2, 1);
    LSTATUS status = ERROR_SUCCESS;
    EXPECT_EQ(QueryRawValue(HKEY_LOCAL_MACHINE, Key(), L"Text", &type, &data, KEY_QUERY_VALUE, 3, &status),
              ReadResult::kValueFailed);
    EXPECT_EQ(status, ERROR_MORE_DATA);
    EXPECT_TRUE(data.empty());
    EXPECT_EQ(QueryRawValue(HKEY_LOCAL_MACHINE, Key(), L"Text", &type, &data, KEY_QUERY_VALUE, 4, &status),
              ReadResult::kRead);
    EXPECT_EQ(status, ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
}

TEST_F(RegistryTest, NullOutputsAreRefused) {
    ASSERT_TRUE(WriteDword(HKEY_LOCAL_MACHINE, Key(), L"Number", 5));
    EXPECT_FALSE(ReadDword(HKEY_LOCAL_MACHINE, Key(), L"Number", nullptr));
    EXPECT_FALSE(ReadString(HKEY_LOCAL_MACHINE, Key(), L"Number", nullptr));
    EXPECT_FALSE(ReadBinary(HKEY_LOCAL_MACHINE, Key(), L"Number", nullptr));
    EXPECT_FALSE(ReadProtectedDword(HKEY_LOCAL_MACHINE, Key(), L"Number", nullptr));
    EXPECT_FALSE(ReadProtectedString(HKEY_LOCAL_MACHINE, Key(), L"Number", nullptr));
    EXPECT_FALSE(ReadProtectedTime(HKEY_LOCAL_MACHINE, Key(), L"Number", nullptr));
    std::vector<uint8_t> data;
    EXPECT_FALSE(ReadRawValue(HKEY_LOCAL_MACHINE, Key(), L"Number", nullptr, &data));
}

TEST_F(RegistryTest, DwordAndBinaryRoundTrip) {
    ASSERT_TRUE(WriteDword(HKEY_LOCAL_MACHINE, Key(), L"TsCheckInterval", 0xFFFFFFFF));
    DWORD number = 0;
    ASSERT_TRUE(ReadDword(HKEY_LOCAL_MACHINE, Key(), L"TsCheckInterval", &number));
    EXPECT_EQ(number, 0xFFFFFFFFu);

    const std::vector<uint8_t> bytes = {0, 1, 2, 0xFF, 0};
    ASSERT_TRUE(WriteBinary(HKEY_LOCAL_MACHINE, Key(), L"Blob", bytes.data(), bytes.size()));
    std::vector<uint8_t> back;
    ASSERT_TRUE(ReadBinary(HKEY_LOCAL_MACHINE, Key(), L"Blob", &back));
    EXPECT_EQ(back, bytes);
    ASSERT_TRUE(WriteBinary(HKEY_LOCAL_MACHINE, Key(), L"Empty", nullptr, 0));
    back.assign(2, 7);
    ASSERT_TRUE(ReadBinary(HKEY_LOCAL_MACHINE, Key(), L"Empty", &back));
    EXPECT_TRUE(back.empty());
    EXPECT_FALSE(WriteBinary(HKEY_LOCAL_MACHINE, Key(), L"Bad", nullptr, 4));
}

TEST_F(RegistryTest, DeleteValueSucceedsWhenAlreadyAbsent) {
    ASSERT_TRUE(WriteDword(HKEY_LOCAL_MACHINE, Key(), L"TsTime", 1));
    EXPECT_TRUE(DeleteValue(HKEY_LOCAL_MACHINE, Key(), L"TsTime"));
    DWORD number = 0;
    EXPECT_FALSE(ReadDword(HKEY_LOCAL_MACHINE, Key(), L"TsTime", &number));
    EXPECT_TRUE(DeleteValue(HKEY_LOCAL_MACHINE, Key(), L"TsTime"));
    const std::wstring missingKey = key_ + L"\\nothing";
    EXPECT_TRUE(DeleteValue(HKEY_LOCAL_MACHINE, missingKey.c_str(), L"TsTime"));
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, Key()));
}

TEST_F(RegistryTest, DeleteKeyTreeRemovesNestedKeysAndRefusesEmptyName) {
    const std::wstring child = key_ + L"\\Plugins\\One";
    ASSERT_TRUE(WriteDword(HKEY_LOCAL_MACHINE, child.c_str(), L"v", 1));
    ASSERT_TRUE(WriteDword(HKEY_LOCAL_MACHINE, Key(), L"v", 1));
    const std::wstring plugins = key_ + L"\\Plugins";
    EXPECT_TRUE(DeleteKeyTree(HKEY_LOCAL_MACHINE, plugins.c_str()));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, plugins.c_str()));
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, Key()));
    EXPECT_TRUE(DeleteKeyTree(HKEY_LOCAL_MACHINE, plugins.c_str()));
    EXPECT_FALSE(DeleteKeyTree(HKEY_LOCAL_MACHINE, L""));
    EXPECT_FALSE(DeleteKeyTree(HKEY_LOCAL_MACHINE, nullptr));
}

TEST_F(RegistryTest, ClassesRootRoundTrip) {
    const std::wstring classKey = L"Quellon.TessaryTest." + std::to_wstring(::GetCurrentProcessId());
    ASSERT_TRUE(WriteString(HKEY_CLASSES_ROOT, classKey.c_str(), nullptr, L"Test class"));
    std::wstring text;
    EXPECT_TRUE(ReadString(HKEY_CLASSES_ROOT, classKey.c_str(), nullptr, &text));
    EXPECT_EQ(text, L"Test class");
    EXPECT_TRUE(DeleteKeyTree(HKEY_CLASSES_ROOT, classKey.c_str()));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, classKey.c_str()));
}

class ProtectedRegistryTest : public RegistryTest {};

TEST_F(ProtectedRegistryTest, ValuesRoundTrip) {
    ASSERT_TRUE(WriteProtectedDword(HKEY_LOCAL_MACHINE, Key(), L"Submit", 1));
    ASSERT_TRUE(WriteProtectedString(HKEY_LOCAL_MACHINE, Key(), L"GoNoGo", L"Go \u00e9"));
    ASSERT_TRUE(WriteProtectedString(HKEY_LOCAL_MACHINE, Key(), L"Empty", L""));
    ASSERT_TRUE(WriteProtectedTime(HKEY_LOCAL_MACHINE, Key(), L"TsTime2", 1700000000));
    ASSERT_TRUE(WriteProtectedTime(HKEY_LOCAL_MACHINE, Key(), L"Negative", INT64_MIN));

    DWORD number = kSentinel;
    ASSERT_TRUE(ReadProtectedDword(HKEY_LOCAL_MACHINE, Key(), L"Submit", &number));
    EXPECT_EQ(number, 1u);
    std::wstring text = L"sentinel";
    ASSERT_TRUE(ReadProtectedString(HKEY_LOCAL_MACHINE, Key(), L"GoNoGo", &text));
    EXPECT_EQ(text, L"Go \u00e9");
    ASSERT_TRUE(ReadProtectedString(HKEY_LOCAL_MACHINE, Key(), L"Empty", &text));
    EXPECT_TRUE(text.empty());
    int64_t seconds = 0;
    ASSERT_TRUE(ReadProtectedTime(HKEY_LOCAL_MACHINE, Key(), L"TsTime2", &seconds));
    EXPECT_EQ(seconds, 1700000000);
    ASSERT_TRUE(ReadProtectedTime(HKEY_LOCAL_MACHINE, Key(), L"Negative", &seconds));
    EXPECT_EQ(seconds, INT64_MIN);
}

TEST_F(ProtectedRegistryTest, TimeIsFortyByteBinaryValue) {
    ASSERT_TRUE(WriteProtectedTime(HKEY_LOCAL_MACHINE, Key(), L"TsTime2", 1700000000));
    DWORD type = 0;
    auto raw = Raw(L"TsTime2", &type);
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
    EXPECT_EQ(raw.size(), 40u);
}

TEST_F(ProtectedRegistryTest, DamagedValuesReadAsAbsent) {
    ASSERT_TRUE(WriteProtectedTime(HKEY_LOCAL_MACHINE, Key(), L"TsTime2", 1700000000));
    DWORD type = 0;
    const auto blob = Raw(L"TsTime2", &type);
    ASSERT_EQ(blob.size(), 40u);

    auto tampered = blob;
    tampered[20] ^= 0x01;
    SetRaw(L"Tampered", REG_BINARY, tampered.data(), 40);
    SetRaw(L"Truncated", REG_BINARY, blob.data(), 39);
    SetRaw(L"WrongType", REG_QWORD, blob.data(), 8);
    SetRaw(L"CopiedBlob", REG_BINARY, blob.data(), 40);
    SetRaw(L"TsTime2AsNone", REG_NONE, blob.data(), 40);

    for (const wchar_t* name : {L"Tampered", L"Truncated", L"WrongType", L"CopiedBlob", L"TsTime2AsNone", L"Missing"}) {
        int64_t seconds = 12345;
        EXPECT_FALSE(ReadProtectedTime(HKEY_LOCAL_MACHINE, Key(), name, &seconds)) << name;
        EXPECT_EQ(seconds, 0) << name;
    }
}

TEST_F(ProtectedRegistryTest, PlainAndMismatchedValuesReadAsAbsent) {
    ASSERT_TRUE(WriteDword(HKEY_LOCAL_MACHINE, Key(), L"Submit", 1));
    ASSERT_TRUE(WriteProtectedDword(HKEY_LOCAL_MACHINE, Key(), L"GoNoGo", 1));
    ASSERT_TRUE(WriteProtectedString(HKEY_LOCAL_MACHINE, Key(), L"Text", L"abcd"));

    DWORD number = kSentinel;
    EXPECT_FALSE(ReadProtectedDword(HKEY_LOCAL_MACHINE, Key(), L"Submit", &number));
    EXPECT_EQ(number, 0u);
    std::wstring text = L"sentinel";
    EXPECT_FALSE(ReadProtectedString(HKEY_LOCAL_MACHINE, Key(), L"GoNoGo", &text));
    EXPECT_TRUE(text.empty());
    int64_t seconds = 1;
    EXPECT_FALSE(ReadProtectedTime(HKEY_LOCAL_MACHINE, Key(), L"Text", &seconds));
    EXPECT_EQ(seconds, 0);
    number = kSentinel;
    EXPECT_FALSE(ReadProtectedDword(HKEY_LOCAL_MACHINE, Key(), L"Text", &number));
    EXPECT_EQ(number, 0u);
}

}  // namespace
}  // namespace tessary::registry
