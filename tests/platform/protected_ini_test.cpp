#include "platform/protected_ini.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

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
    // The tag covers all four bytes of the length: a text longer than 255 bytes.
    const std::string longer = EncodeProtectedIni(std::string(300, 'x'), 0x12345678);
    std::string tag;
    for (unsigned char c : longer.substr(longer.size() - 8)) {
        char hex[3];
        std::snprintf(hex, sizeof(hex), "%02X", c);
        tag += hex;
    }
    EXPECT_EQ(tag, "CFE32C039806D162");
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
    // A blob shorter than its header is refused before any of it is read (the
    // sanitizer build sees a read past these three bytes).
    const std::vector<char> threeBytes = {'T', 's', 'I'};
    EXPECT_FALSE(DecodeProtectedIni(std::string_view(threeBytes.data(), threeBytes.size()), &decoded));
    EXPECT_FALSE(DecodeProtectedIni("[Config]\r\nEnable=1\r\n", &decoded));
    std::string hugeLength = encoded;
    hugeLength[11] = '\x7F';
    EXPECT_FALSE(DecodeProtectedIni(hugeLength, &decoded));
    EXPECT_FALSE(DecodeProtectedIni(encoded, nullptr));
    EXPECT_EQ(EncodeProtectedIni(std::string(kProtectedIniMaxText + 1, 'a'), 1), "");
    // The largest text is 1 MiB, written and read back; one byte more is refused.
    const std::string largest(1048576, 'a');
    ASSERT_TRUE(DecodeProtectedIni(EncodeProtectedIni(largest, 1), &decoded));
    EXPECT_EQ(decoded, largest);
    EXPECT_EQ(EncodeProtectedIni(std::string(1048577, 'a'), 1), "");
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
    EXPECT_TRUE(ParseIniInteger("\t0xf\t", &v));
    EXPECT_EQ(v, 15);
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
    EXPECT_FALSE(ParseIniInteger("5", nullptr));
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
    // Names match whole and ignoring only the case of letters.
    EXPECT_EQ(doc.Find("Other", "xey"), nullptr);
    EXPECT_EQ(doc.Find("Other", "kez"), nullptr);
    EXPECT_EQ(*doc.Find("Other", "KEY \t"), "v");

    const IniDocument tabs = IniDocument::Parse("\tk[\t=\t5\t\n[s]\nx=1\n[b]\n[S]\ny=2\nX=3\n");
    EXPECT_EQ(*tabs.Find("", "k["), "5");
    EXPECT_EQ(tabs.Find("", "k{"), nullptr);
    // Keys before any header stay first and headerless; a reopened section and a
    // repeated key are written once.
    EXPECT_EQ(tabs.Serialize(), "k[=5\r\n[s]\r\nx=1\r\ny=2\r\n[b]\r\n");
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
    // Characters that would end a name become '_'.
    EXPECT_TRUE(doc.Set("Con]fig", "a=b[c]", "1"));
    EXPECT_NE(doc.Serialize().find("[Con_fig]\r\na_b_c_=1\r\n"), std::string::npos) << doc.Serialize();
}

// File access goes through Win32 in the product and through the standard library
// in the native build; both run these cases.
class ProtectedIniFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        // A name of its own: test programs may run side by side (the mutation tool).
        path_ = (std::filesystem::temp_directory_path() /
                 ("ts_protected_ini_test." + std::to_string(std::random_device{}()) + ".ini"))
                    .wstring();
        Remove();
    }
    void TearDown() override { Remove(); }
    void Remove() {
        std::error_code ignored;
        std::filesystem::remove(std::filesystem::path(path_), ignored);
    }
    std::wstring path_;
};

TEST_F(ProtectedIniFileTest, ValuesWrittenReadBackUnchanged) {
    CObfuscatedIniReader writer(path_);
    EXPECT_FALSE(writer.Exists());
    int64_t v = 5;
    bool loaded = true;
    EXPECT_EQ(writer.ReadInt("Config", "Severity", &v, &loaded), IniLookup::kMissing);
    EXPECT_EQ(v, 5);
    EXPECT_FALSE(loaded) << "a missing file is not a loaded one";
    EXPECT_EQ(CBaseIniReader(path_ + L".absent").ReadInt("Config", "Severity", &v, &loaded), IniLookup::kMissing);
    EXPECT_FALSE(loaded) << "nor is it an empty plain one";
    for (int64_t value : {int64_t{0}, int64_t{-1}, int64_t{0xA00000}, INT64_MIN, INT64_MAX}) {
        ASSERT_TRUE(writer.WriteInt("Config", "Severity", value));
        EXPECT_EQ(CObfuscatedIniReader(path_).ReadInt("Config", "Severity", &v, &loaded), IniLookup::kValue);
        EXPECT_TRUE(loaded);
        EXPECT_EQ(v, value);
    }
    ASSERT_TRUE(writer.WriteInt("Config", "LastLogIdx", 2));
    EXPECT_FALSE(writer.WriteInt("Config", "#Severity", 3)) << "a write the file would lose is a failure";
    EXPECT_EQ(writer.ReadInt("Config", "Severity", &v), IniLookup::kValue);
    EXPECT_EQ(v, INT64_MAX);
    EXPECT_TRUE(writer.Exists());
    // The file on disk is not readable text.
    std::ifstream in(std::filesystem::path(path_), std::ios::binary);
    const std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(raw.find("LastLogIdx"), std::string::npos);
}

TEST_F(ProtectedIniFileTest, UndecodableFileReadsEmptyAndIsReplacedOnWrite) {
    std::ofstream(std::filesystem::path(path_), std::ios::binary) << "[Config]\r\nSeverity=4\r\n";
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
    std::ofstream(std::filesystem::path(path_), std::ios::binary) << "[Config]\r\nEnable=yes\r\n";
    int64_t v = 9;
    EXPECT_EQ(plain.ReadInt("Config", "Enable", &v), IniLookup::kInvalid);
    EXPECT_EQ(v, 9);
}

TEST_F(ProtectedIniFileTest, WriteIntoMissingFolderFails) {
    CObfuscatedIniReader reader((std::filesystem::path(path_ + L".missing") / "log.ini").wstring());
    EXPECT_FALSE(reader.WriteInt("Config", "Enable", 1));
    CObfuscatedIniReader empty(L"");
    EXPECT_FALSE(empty.WriteInt("Config", "Enable", 1));
    EXPECT_FALSE(empty.Exists());
}

}  // namespace
}  // namespace tessary
