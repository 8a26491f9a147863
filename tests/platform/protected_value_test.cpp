#include "platform/protected_value.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace tessary {
namespace {

constexpr uint32_t kRegSz = 1;
constexpr uint32_t kRegDword = 4;
constexpr uint32_t kRegQword = 11;

std::vector<uint8_t> Bytes(std::string_view text) { return std::vector<uint8_t>(text.begin(), text.end()); }

std::vector<uint8_t> FromHex(std::string_view hex) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    }
    return bytes;
}

class ProtectedValueTest : public ::testing::Test {
protected:
    bool Decode(std::wstring_view name, const std::vector<uint8_t>& blob) {
        type_ = 0xDEADBEEF;
        data_.assign(5, 0xAA);
        bool ok = UnprotectValue(name, blob.data(), blob.size(), &type_, &data_);
        if (!ok) {
            // Failure leaves the outputs cleared, never half-filled.
            EXPECT_EQ(type_, 0u);
            EXPECT_TRUE(data_.empty());
        }
        return ok;
    }

    uint32_t type_ = 0;
    std::vector<uint8_t> data_;
};

TEST_F(ProtectedValueTest, RoundTripsEverySizeAcrossPaddingBoundaries) {
    for (size_t size = 0; size <= 33; ++size) {
        std::vector<uint8_t> clear(size);
        for (size_t i = 0; i < size; ++i) clear[i] = static_cast<uint8_t>(i * 37 + 11);
        auto blob = ProtectValue(L"Submit", kRegSz, clear.data(), clear.size(), static_cast<uint32_t>(size * 977));
        ASSERT_EQ(blob.size(), ProtectedBlobSize(size)) << size;
        EXPECT_EQ(blob.size() % 8, 0u);
        ASSERT_TRUE(Decode(L"Submit", blob)) << size;
        EXPECT_EQ(type_, kRegSz);
        EXPECT_EQ(data_, clear);
    }
}

// Values written by earlier releases stay in the registry: their blobs keep their
// bytes, on either width of wchar_t (a name outside the BMP is hashed as its
// UTF-16 surrogate pairs), and decode under the name folded at A-Z only.
TEST_F(ProtectedValueTest, KnownBlobsKeepTheirBytes) {
    const std::wstring astralPairs = {wchar_t(0xD800), wchar_t(0xDC00), wchar_t(0xD83D),
                                      wchar_t(0xDE00), wchar_t(0xDBFF), wchar_t(0xDFFF)};
    const struct {
        std::wstring name;
        uint32_t type;
        std::string clear;
        uint32_t salt;
        const char* blob;
    } cases[] = {
        {L"Submit", kRegDword, std::string("\x01\0\0\0", 4), 0x12345678,
         "54735076785634120400000004000000fc2ee42c87079e8cde3f4b4e9176955cd79e81fc7a200e34"},
        {L"AZaz@[`{", kRegSz, "", 0, "54735076000000000100000000000000f1c77cb829285cf12dc224a5723b88a1"},
        {L"\U00010000\U0001F600\U0010FFFF", kRegQword, "0123456789", 0xFFFFFFFF,
         "54735076ffffffff0b0000000a000000e0becd248aeb15d9cfa96b5021829d7e75677e257a2f47a4075fe741601fcca3"},
        {L"\xFFFFz", kRegDword, "", 1, "547350760100000004000000000000008248260e5e29f14bf9c74a7cb6558b28"},
        {astralPairs, kRegQword, "0123456789", 0xFFFFFFFF,
         "54735076ffffffff0b0000000a000000e0becd248aeb15d9cfa96b5021829d7e75677e257a2f47a4075fe741601fcca3"},
    };
    for (const auto& c : cases) {
        const std::vector<uint8_t> known = FromHex(c.blob);
        EXPECT_EQ(
            ProtectValue(c.name, c.type, reinterpret_cast<const uint8_t*>(c.clear.data()), c.clear.size(), c.salt),
            known)
            << c.blob;
        ASSERT_TRUE(Decode(c.name, known)) << c.blob;
        EXPECT_EQ(type_, c.type);
        EXPECT_EQ(data_, Bytes(c.clear));
    }
    // Tags that verify over another magic ("TsPw") and over a non-zero padding byte.
    EXPECT_FALSE(
        Decode(L"Submit", FromHex("54735077070000000100000003000000174abf02af0751aa09e6b0d076ce8355965c651ba84e8bd8")));
    EXPECT_FALSE(
        Decode(L"Submit", FromHex("54735076070000000100000003000000174abf02af0751ab13533efd576e333ace78c21c79b4ef76")));
    EXPECT_TRUE(
        Decode(L"Submit", FromHex("54735076070000000100000003000000174abf02af0751aa7b778660190cd45d0a2db58923b8590c")));
}

TEST_F(ProtectedValueTest, SixtyFourBitValueTakesFortyBytes) {
    const int64_t seconds = 1700000000;
    auto blob = ProtectValue(L"TsTime2", kRegQword, reinterpret_cast<const uint8_t*>(&seconds), 8, 1);
    EXPECT_EQ(blob.size(), 40u);
    ASSERT_TRUE(Decode(L"TsTime2", blob));
    ASSERT_EQ(data_.size(), 8u);
    int64_t back = 0;
    std::memcpy(&back, data_.data(), 8);
    EXPECT_EQ(back, seconds);
}

TEST_F(ProtectedValueTest, ClearBytesDoNotAppearInBlob) {
    const auto clear = Bytes("opt-in value 0123456789");
    auto blob = ProtectValue(L"GoNoGo", kRegSz, clear.data(), clear.size(), 42);
    EXPECT_EQ(std::search(blob.begin(), blob.end(), clear.begin(), clear.begin() + 8), blob.end());
}

TEST_F(ProtectedValueTest, SaltVariesBlobButNotValue) {
    const auto clear = Bytes("same");
    auto a = ProtectValue(L"GoNoGo", kRegSz, clear.data(), clear.size(), 1);
    auto b = ProtectValue(L"GoNoGo", kRegSz, clear.data(), clear.size(), 2);
    EXPECT_NE(a, b);
    ASSERT_TRUE(Decode(L"GoNoGo", b));
    EXPECT_EQ(data_, clear);
}

TEST_F(ProtectedValueTest, NameComparesWithoutAsciiCase) {
    const auto clear = Bytes("x");
    auto blob = ProtectValue(L"Logging Mechanism", kRegDword, clear.data(), clear.size(), 9);
    EXPECT_TRUE(Decode(L"LOGGING mechanism", blob));
}

TEST_F(ProtectedValueTest, BlobUnderAnotherNameIsAbsent) {
    const auto clear = Bytes("1");
    auto blob = ProtectValue(L"Submit", kRegDword, clear.data(), clear.size(), 9);
    EXPECT_FALSE(Decode(L"GoNoGo", blob));
    EXPECT_FALSE(Decode(L"Submit2", blob));
    EXPECT_FALSE(Decode(L"", blob));
}

TEST_F(ProtectedValueTest, AnyChangedBitMakesValueAbsent) {
    const auto clear = Bytes("abcdefghij");
    const auto blob = ProtectValue(L"Submit", kRegSz, clear.data(), clear.size(), 77);
    for (size_t i = 0; i < blob.size(); ++i) {
        for (int bit = 0; bit < 8; ++bit) {
            auto tampered = blob;
            tampered[i] ^= static_cast<uint8_t>(1u << bit);
            EXPECT_FALSE(Decode(L"Submit", tampered)) << "byte " << i << " bit " << bit;
        }
    }
}

TEST_F(ProtectedValueTest, TruncatedOrExtendedBlobIsAbsent) {
    const auto clear = Bytes("abcdefgh");
    const auto blob = ProtectValue(L"Submit", kRegSz, clear.data(), clear.size(), 5);
    for (size_t size = 0; size < blob.size(); ++size) {
        std::vector<uint8_t> cut(blob.begin(), blob.begin() + size);
        EXPECT_FALSE(Decode(L"Submit", cut)) << size;
    }
    auto longer = blob;
    longer.push_back(0);
    EXPECT_FALSE(Decode(L"Submit", longer));
}

TEST_F(ProtectedValueTest, HeaderClaimingHugeLengthIsAbsent) {
    auto blob = ProtectValue(L"Submit", kRegSz, nullptr, 0, 5);
    for (uint32_t length : {0xFFFFFFFFu, 0xFFFFFFF8u, 0x80000000u, static_cast<uint32_t>(kProtectedMaxDataSize + 1)}) {
        std::memcpy(blob.data() + 12, &length, 4);
        EXPECT_FALSE(Decode(L"Submit", blob)) << length;
    }
}

TEST_F(ProtectedValueTest, NullArgumentsAreRefused) {
    const uint8_t byte = 1;
    EXPECT_TRUE(ProtectValue(L"v", kRegSz, nullptr, 4, 0).empty());
    EXPECT_TRUE(ProtectValue(L"v", kRegSz, &byte, kProtectedMaxDataSize + 1, 0).empty());
    EXPECT_EQ(ProtectedBlobSize(kProtectedMaxDataSize + 1), 0u);
    EXPECT_EQ(ProtectedBlobSize(16u << 20), (16u << 20) + 32);
    EXPECT_EQ(ProtectedBlobSize((16u << 20) + 1), 0u);

    auto blob = ProtectValue(L"v", kRegSz, &byte, 1, 0);
    uint32_t type = 0;
    std::vector<uint8_t> data;
    EXPECT_FALSE(UnprotectValue(L"v", blob.data(), blob.size(), nullptr, &data));
    EXPECT_FALSE(UnprotectValue(L"v", blob.data(), blob.size(), &type, nullptr));
    EXPECT_FALSE(UnprotectValue(L"v", nullptr, blob.size(), &type, &data));
    EXPECT_TRUE(UnprotectValue(L"v", blob.data(), blob.size(), &type, &data));
}

}  // namespace
}  // namespace tessary
