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
