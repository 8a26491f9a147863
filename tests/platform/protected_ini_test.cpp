#include "platform/protected_ini.h"

#if defined(_WIN32)
#include <windows.h>
#endif

#include <fstream>
#include <string>

#include <gtest/gtest.h>

namespace tessary {
namespace {

TEST(ProtectedIniCodecTest, RoundTripsAndHidesTheText) {
    const std::string text = "[Config]\r\nSeverity=4\r\n";
    const std::string encoded = EncodeProtectedIni(text, 0x12345678);
    ASSERT_EQ(encoded.size(), text.size() + kProtectedIniOverhead);
    EXPECT_EQ(encoded.substr(0, 4), "TsIn");
    EXPECT_EQ(encoded.find("Severity"), std::string::npos);
    std::string decoded = "sentinel";
    ASSERT_TRUE(DecodeProtectedIni(encoded, &decoded));
    EXPECT_EQ(decoded, text);
    // Another salt, another file, same text.
    const std::string other = EncodeProtectedIni(text, 0x12345679);
    EXPECT_NE(other.substr(12), encoded.substr(12));
    ASSERT_TRUE(DecodeProtectedIni(other, &decoded));
    EXPECT_EQ(decoded, text);
    ASSERT_TRUE(DecodeProtectedIni(EncodeProtectedIni("", 1), &decoded));
    EXPECT_EQ(decoded, "");
}

// Files written by earlier versions must stay readable: a changed key or layout
// would still round-trip, so known bytes pin the encoding itself.
TEST(ProtectedIniCodecTest, FixedSaltAndTextGiveKnownBytes) {
    const std::string text = "[Config]\r\nSeverity=4\r\n";
    const std::string known(
        "\x54\x73\x49\x6E\x78\x56\x34\x12\x16\x00\x00\x00\x48\xA9\xAC\xD0\x5D\x3C\xFA\x12\x77\x64\x34"
        "\xB9\x52\x55\x6E\x3D\xB4\xE2\xD5\x48\xBB\x96\xB4\x59\x94\x96\x08\x25\x15\xBC",
        42);
    EXPECT_EQ(EncodeProtectedIni(text, 0x12345678), known);
    std::string decoded;
    ASSERT_TRUE(DecodeProtectedIni(known, &decoded));
    EXPECT_EQ(decoded, text);
}

TEST(ProtectedIniCodecTest, RejectsEveryDamagedForm) {
    const std::string encoded = EncodeProtectedIni("[Config]\r\nEnable=1\r\n", 99);
    std::string decoded = "sentinel";
    for (size_t i = 0; i < encoded.size(); ++i) {
        std::string damaged = encoded;
        damaged[i] ^= 0x01;
        EXPECT_FALSE(DecodeProtectedIni(damaged, &decoded)) << "flipped byte " << i;
        EXPECT_EQ(decoded, "");
    }
    for (size_t size = 0; size < encoded.size(); ++size) {
        EXPECT_FALSE(DecodeProtectedIni(std::string_view(encoded).substr(0, size), &decoded)) << size;
    }
    EXPECT_FALSE(DecodeProtectedIni(encoded + "x", &decoded));
    EXPECT_FALSE(DecodeProtectedIni("[Config]\r\nEnable=1\r\n", &decoded));
    std::string hugeLength = encoded;
    hugeLength[11] = '\x7F';
    EXPECT_FALSE(DecodeProtectedIni(hugeLength, &decoded));
    EXPECT_FALSE(DecodeProtectedIni(encoded, nullptr));
    EXPECT_EQ(EncodeProtectedIni(std::string(kProtectedIniMaxText + 1, 'a'), 1), "");
}

TEST(IniIntegerTest, AcceptsDecimalHexAndSignsWithinRange) {
    int64_t v = 7;
    EXPECT_TRUE(ParseIniInteger(" 42 ", &v));
    EXPECT_EQ(v, 42);
    EXPECT_TRUE(ParseIniInteger("-3", &v));
    EXPECT_EQ(v, -3);
    EXPECT_TRUE(ParseIniInteger("0xA00000", &v));
    EXPECT_EQ(v, 0xA00000);
    EXPECT_TRUE(ParseIniInteger("0XaF", &v));
    EXPECT_EQ(v, 0xaf);
    EXPECT_TRUE(ParseIniInteger("+0x5", &v));
    EXPECT_EQ(v, 5);
    EXPECT_TRUE(ParseIniInteger("9223372036854775807", &v));
    EXPECT_EQ(v, INT64_MAX);
    EXPECT_TRUE(ParseIniInteger("-9223372036854775808", &v));
    EXPECT_EQ(v, INT64_MIN);
    v = 7;
    for (const char* bad :
         {"", " ", "-", "0x", "12a", "1 2", "9223372036854775808", "0xG", "0xg", "0x1:", "1x5", "+-1", "1e3"}) {
        EXPECT_FALSE(ParseIniInteger(bad, &v)) << bad;
    }
    EXPECT_EQ(v, 7);
}

TEST(IniDocumentTest, ParsesSectionsKeysAndComments) {
    const IniDocument doc = IniDocument::Parse(
        "top=1\n; comment\n;c=1\n#d=2\n[ Config ]\r\n MaxSize = 262144 "
        "\r\nmaxsize=5\nnoequals\n=novalue\n[Other]\nkey=v\n\v\fblank\f=\vv\f\n[Broken\nk2=3\n[config]\nEnable=0");
    ASSERT_NE(doc.Find("", "top"), nullptr);
    EXPECT_EQ(*doc.Find("CONFIG", "MAXSIZE"), "262144");  // first of duplicates, any case
    EXPECT_EQ(*doc.Find("Config", "Enable"), "0");        // reopened section merges
    EXPECT_EQ(*doc.Find("Other", "key"), "v");
    EXPECT_EQ(*doc.Find("Other", "k2"), "3");  // a header without ']' is skipped
    EXPECT_EQ(doc.Find("", ";c"), nullptr);
    EXPECT_EQ(doc.Find("", "#d"), nullptr);
    EXPECT_EQ(doc.Find("Config", "noequals"), nullptr);
    EXPECT_EQ(*doc.Find("Other", "blank"), "v");  // '\v' and '\f' are blanks too
    EXPECT_EQ(doc.Find("Config", "key"), nullptr);
    EXPECT_EQ(doc.Find("Config", ""), nullptr);
}

TEST(IniDocumentTest, SetKeepsOtherEntriesAndSerializesBack) {
    IniDocument doc = IniDocument::Parse("[Config]\r\nEnable=1\r\n");
    doc.Set("Config", "LastLogIdx", "2");
    doc.Set("config", "ENABLE", "0");
    doc.Set("New", "a\r\nb", "x\ny");
    doc.Set("", "top", "1");
    const IniDocument back = IniDocument::Parse(doc.Serialize());
    EXPECT_EQ(*back.Find("Config", "Enable"), "0");
    EXPECT_EQ(*back.Find("Config", "LastLogIdx"), "2");
    EXPECT_EQ(*back.Find("New", "a  b"), "x y");
    EXPECT_EQ(*back.Find("", "top"), "1");
}

TEST(IniDocumentTest, SetTextsEndingInLineBreaksReadTheSameBeforeAndAfterSaving) {
    IniDocument doc = IniDocument::Parse("[Config]\r\nSeverity=4\r\n");
    doc.Set("Config\r\n", "Enable\n", "1\r\n");
    ASSERT_NE(doc.Find("Config", "Enable"), nullptr);
    EXPECT_EQ(*doc.Find("Config", "Enable"), "1");
    const std::string text = doc.Serialize();
    EXPECT_EQ(text, "[Config]\r\nSeverity=4\r\nEnable=1\r\n");
    EXPECT_EQ(IniDocument::Parse(text).Serialize(), text);
}

TEST(IniDocumentTest, KeysTheFileCannotHoldAreRefusedAndChangeNothing) {
    IniDocument doc = IniDocument::Parse("[Config]\r\nSeverity=4\r\n");
    const std::string before = doc.Serialize();
    for (const char* key : {"", "  ", "\r\n", ";Enable", " #Enable", "#"}) {
        EXPECT_FALSE(doc.Set("Config", key, "1")) << key;
        EXPECT_EQ(doc.Serialize(), before) << key;
    }
    EXPECT_TRUE(doc.Set("Config", "En;able", "1"));
    EXPECT_EQ(*IniDocument::Parse(doc.Serialize()).Find("Config", "En;able"), "1");
}

// File access goes through Win32; the native sanitizer build runs the codec and
// parser cases above.
#if defined(_WIN32)
class ProtectedIniFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH];
        ::GetTempPathW(MAX_PATH, temp);
        path_ = std::wstring(temp) + L"ts_protected_ini_test.ini";
        ::DeleteFileW(path_.c_str());
    }
    void TearDown() override { ::DeleteFileW(path_.c_str()); }
    std::wstring path_;
};

TEST_F(ProtectedIniFileTest, ValuesWrittenReadBackUnchanged) {
    CObfuscatedIniReader writer(path_);
    EXPECT_FALSE(writer.Exists());
    int64_t v = 5;
    EXPECT_EQ(writer.ReadInt("Config", "Severity", &v), IniLookup::kMissing);
    EXPECT_EQ(v, 5);
    for (int64_t value : {int64_t{0}, int64_t{-1}, int64_t{0xA00000}, INT64_MIN, INT64_MAX}) {
        ASSERT_TRUE(writer.WriteInt("Config", "Severity", value));
        EXPECT_EQ(CObfuscatedIniReader(path_).ReadInt("Config", "Severity", &v), IniLookup::kValue);
        EXPECT_EQ(v, value);
    }
    ASSERT_TRUE(writer.WriteInt("Config", "LastLogIdx", 2));
    EXPECT_FALSE(writer.WriteInt("Config", "#Severity", 3)) << "a write the file would lose is a failure";
    EXPECT_EQ(writer.ReadInt("Config", "Severity", &v), IniLookup::kValue);
    EXPECT_EQ(v, INT64_MAX);
    EXPECT_TRUE(writer.Exists());
    // The file on disk is not readable text.
    std::ifstream in(path_.c_str(), std::ios::binary);
    const std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(raw.find("LastLogIdx"), std::string::npos);
}

TEST_F(ProtectedIniFileTest, UndecodableFileReadsEmptyAndIsReplacedOnWrite) {
    std::ofstream(path_.c_str(), std::ios::binary) << "[Config]\r\nSeverity=4\r\n";
    CObfuscatedIniReader reader(path_);
    EXPECT_TRUE(reader.Exists());
    EXPECT_EQ(reader.ReadInt("Config", "Severity", nullptr), IniLookup::kMissing);
    EXPECT_TRUE(reader.Load().empty());
    ASSERT_TRUE(reader.WriteInt("Config", "Enable", 0));
    EXPECT_EQ(reader.ReadInt("Config", "Severity", nullptr), IniLookup::kMissing);
    int64_t v = 1;
    EXPECT_EQ(reader.ReadInt("Config", "Enable", &v), IniLookup::kValue);
    EXPECT_EQ(v, 0);
    // The plain reader sees the file as it is.
    CBaseIniReader plain(path_);
    EXPECT_EQ(plain.ReadInt("Config", "Enable", nullptr), IniLookup::kMissing);
}

TEST_F(ProtectedIniFileTest, NonNumericValueIsReportedInvalid) {
    CBaseIniReader plain(path_);
    ASSERT_TRUE(plain.WriteInt("Config", "Enable", 1));
    std::ofstream(path_.c_str(), std::ios::binary) << "[Config]\r\nEnable=yes\r\n";
    int64_t v = 9;
    EXPECT_EQ(plain.ReadInt("Config", "Enable", &v), IniLookup::kInvalid);
    EXPECT_EQ(v, 9);
}

TEST_F(ProtectedIniFileTest, WriteIntoMissingFolderFails) {
    CObfuscatedIniReader reader(path_ + L".missing\\log.ini");
    EXPECT_FALSE(reader.WriteInt("Config", "Enable", 1));
    CObfuscatedIniReader empty(L"");
    EXPECT_FALSE(empty.WriteInt("Config", "Enable", 1));
    EXPECT_FALSE(empty.Exists());
}
#endif  // _WIN32

}  // namespace
}  // namespace tessary
