#include "store/cipher.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace tessary {
namespace {

std::vector<uint8_t> Bytes(std::string_view hex) {
    std::vector<uint8_t> out;
    EXPECT_TRUE(ParseHexText(hex, &out)) << hex;
    return out;
}

std::string EncryptHex(std::string_view keyHex, std::string_view plainHex) {
    const std::vector<uint8_t> key = Bytes(keyHex);
    std::vector<uint8_t> block = Bytes(plainHex);
    Blowfish(key.data(), key.size()).EncryptBlocks(block.data(), block.size());
    return ToHexText(block.data(), block.size());
}

// Published Blowfish vectors; also reproduced by the emulator's own Python cipher.
TEST(BlowfishVectors, FixedKeyVectorsMatch) {
    struct Vector {
        const char* key;
        const char* plain;
        const char* cipher;
    };
    const Vector vectors[] = {
        {"0000000000000000", "0000000000000000", "4EF997456198DD78"},
        {"FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", "51866FD5B85ECB8A"},
        {"3000000000000000", "1000000000000001", "7D856F9A613063F2"},
        {"1111111111111111", "1111111111111111", "2466DD878B963C9D"},
        {"0123456789ABCDEF", "1111111111111111", "61F9C3802281B096"},
        {"FEDCBA9876543210", "0123456789ABCDEF", "0ACEAB0FC6A0A28D"},
        {"7CA110454A1A6E57", "01A1D6D039776742", "59C68245EB05282B"},
    };
    for (const Vector& v : vectors) {
        EXPECT_EQ(EncryptHex(v.key, v.plain), v.cipher) << "key " << v.key;
    }
}

TEST(BlowfishVectors, VariableKeyLengthsFromOneToTwentyFourBytes) {
    const std::string key = "F0E1D2C3B4A5968778695A4B3C2D1E0F0011223344556677";
    const char* expected[] = {
        "F9AD597C49DB005E", "E91D21C1D961A6D6", "E9C2B70A1BC65CF3", "BE1E639408640F05", "B39E44481BDB1E6E",
        "9457AA83B1928C0D", "8BB77032F960629D", "E87A244E2CC85E82", "15750E7A4F4EC577", "122BA70B3AB64AE0",
        "3A833C9AFFC537F6", "9409DA87A90F6BF2", "884F80625060B8B4", "1F85031C19E11968", "79D9373A714CA34F",
        "93142887EE3BE15C", "03429E838CE2D14B", "A4299E27469FF67B", "AFD5AED1C1BC96A8", "10851C0E3858DA9F",
        "E6F51ED79B9DB21F", "64A6E14AFD36B46F", "80C7D7D45A5479AD", "05044B62FA52D080",
    };
    for (size_t n = 1; n <= 24; ++n) {
        EXPECT_EQ(EncryptHex(key.substr(0, 2 * n), "FEDCBA9876543210"), expected[n - 1]) << n << "-byte key";
    }
}

TEST(BlowfishVectors, DecryptInvertsEncryptAndKeyLengthIsChecked) {
    const std::vector<uint8_t> key = Bytes("0123456789ABCDEF");
    const Blowfish cipher(key.data(), key.size());
    uint32_t left = 0x01234567, right = 0x89ABCDEF;
    cipher.EncryptBlock(left, right);
    EXPECT_FALSE(left == 0x01234567 && right == 0x89ABCDEF);
    cipher.DecryptBlock(left, right);
    EXPECT_EQ(left, 0x01234567u);
    EXPECT_EQ(right, 0x89ABCDEFu);

    const uint8_t longKey[57] = {};
    EXPECT_THROW(Blowfish(longKey, 57), std::invalid_argument);
    EXPECT_THROW(Blowfish(longKey, 0), std::invalid_argument);
    EXPECT_THROW(Blowfish(nullptr, 8), std::invalid_argument);
    EXPECT_NO_THROW(Blowfish(longKey, 56));
}

// Ciphertext computed by the emulator's Python cipher under the product key.
TEST(RequestCipher, SampleRequestGivesKnownCiphertext) {
    const std::string text =
        "[exe]=tool.exe||[size]=1234||[hash]=0123456789ABCDEF0123456789ABCDEF||[path]=C:\\Tools\\tool.exe||[lang]=en";
    std::vector<uint8_t> buffer(112, 0);
    std::memcpy(buffer.data(), text.data(), text.size());
    EncryptBlocks(buffer.data(), buffer.size());
    EXPECT_EQ(ToHexText(buffer.data(), buffer.size()),
              "EAF65BE8AECEF55B7F3CF2B16D624AF1E505B66E33FF01802F530708259554E694550CFF00651DC8D6207780EFB8FF35"
              "55F1B1FD10EFC3C7D6207780EFB8FF35823C5B0B005FFB01047BB1B960BB6EED3A7BD5E6C7233B827F3CF2B16D624AF1"
              "1508FDAFD102C55B1E3AAD725A5347A8");

    DecryptBlocks(buffer.data(), buffer.size());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(buffer.data())), text);
    EXPECT_EQ(buffer.back(), 0);
}

TEST(RequestCipher, RefusesLengthsThatAreNotWholeBlocksAndLeavesBufferAlone) {
    uint8_t buffer[16];
    std::memset(buffer, 0xAB, sizeof(buffer));
    for (size_t length : {size_t{7}, size_t{0}, size_t{9}, size_t{15}}) {
        try {
            EncryptBlocks(buffer, length);
            ADD_FAILURE() << "length " << length << " accepted";
        } catch (const IncorrectBufferLength& e) {
            EXPECT_STREQ(e.what(), "Incorrect buffer length");
        }
        EXPECT_THROW(DecryptBlocks(buffer, length), IncorrectBufferLength);
    }
    for (uint8_t b : buffer) EXPECT_EQ(b, 0xAB);
    EXPECT_THROW(EncryptBlocks(nullptr, 8), IncorrectBufferLength);
    // Callers may catch it as a standard exception.
    EXPECT_THROW(EncryptBlocks(buffer, 7), std::exception);
}

TEST(RequestCipher, BlocksAreIndependentBigEndianCodeBook) {
    uint8_t buffer[24] = {'s', 'a', 'm', 'e', 'b', 'l', 'k', '!', 's', 'a', 'm', 'e', 'b', 'l', 'k', '!'};
    EncryptBlocks(buffer, sizeof(buffer));
    EXPECT_EQ(0, std::memcmp(buffer, buffer + 8, 8));
    EXPECT_NE(0, std::memcmp(buffer + 8, buffer + 16, 8));

    // The same block through the word interface, halves read big-endian.
    uint32_t left = 0x73616D65, right = 0x626C6B21;
    RequestCipher().EncryptBlock(left, right);
    const uint8_t expected[8] = {uint8_t(left >> 24),  uint8_t(left >> 16),  uint8_t(left >> 8),  uint8_t(left),
                                 uint8_t(right >> 24), uint8_t(right >> 16), uint8_t(right >> 8), uint8_t(right)};
    EXPECT_EQ(0, std::memcmp(buffer, expected, 8));
}

TEST(HexText, UpperCaseTwoDigitsPerByteAndStrictParser) {
    const uint8_t bytes[] = {0x00, 0x0A, 0xFF, 0x5C};
    EXPECT_EQ(ToHexText(bytes, 4), "000AFF5C");
    EXPECT_EQ(ToHexText(nullptr, 4), "");
    EXPECT_EQ(ToHexText(bytes, 0), "");

    std::vector<uint8_t> out = {0x42};
    EXPECT_FALSE(ParseHexText("ABC", &out));
    EXPECT_FALSE(ParseHexText("0G", &out));
    EXPECT_FALSE(ParseHexText("0g", &out));
    EXPECT_FALSE(ParseHexText("0:", &out));
    EXPECT_FALSE(ParseHexText("0 ", &out));
    EXPECT_FALSE(ParseHexText(std::string_view("0\0", 2), &out));
    EXPECT_EQ(out, std::vector<uint8_t>{0x42});
    EXPECT_FALSE(ParseHexText("00", nullptr));

    EXPECT_TRUE(ParseHexText("000aFF5c", &out));
    EXPECT_EQ(out, std::vector<uint8_t>(std::begin(bytes), std::end(bytes)));
    EXPECT_TRUE(ParseHexText("", &out));
    EXPECT_TRUE(out.empty());
}

class Base64Test : public ::testing::Test {
protected:
    // Encodes with a sentinel-filled buffer of `capacity` characters; returns the text
    // written, or "<refused>" with the buffer and length checked untouched.
    std::string Encode(std::string_view input, size_t capacity) {
        std::fill(std::begin(buffer_), std::end(buffer_), '#');
        size_t length = capacity;
        if (!EncodeBase64(reinterpret_cast<const uint8_t*>(input.data()), input.size(), buffer_, &length)) {
            EXPECT_EQ(length, capacity);
            for (char c : buffer_) EXPECT_EQ(c, '#');
            return "<refused>";
        }
        EXPECT_LE(length, capacity);
        for (size_t i = length; i < sizeof(buffer_); ++i) EXPECT_EQ(buffer_[i], '#') << "no terminator expected";
        return std::string(buffer_, length);
    }

    char buffer_[64];
};

TEST_F(Base64Test, EncodesWithoutPadding) {
    EXPECT_EQ(Encode("abc", 4), "YWJj");
    EXPECT_EQ(Encode("ab", 4), "YWI");
    EXPECT_EQ(Encode("a", 4), "YQ");
    EXPECT_EQ(Encode("", 0), "");
    EXPECT_EQ(Encode("\xFB\xFF\xBF", 4), "+/+/");
    EXPECT_EQ(Encode("C:\\Program Files\\x.exe", 32), "QzpcUHJvZ3JhbSBGaWxlc1x4LmV4ZQ");
}

TEST_F(Base64Test, RefusesTooSmallOrMissingOutput) {
    // The capacity rule rounds 4*n/3 up to whole groups of 4, even without padding.
    EXPECT_EQ(Encode("abc", 3), "<refused>");
    EXPECT_EQ(Encode("ab", 3), "<refused>");
    EXPECT_EQ(Encode("abcd", 7), "<refused>");
    EXPECT_EQ(Encode("abcd", 8), "YWJjZA");

    size_t length = 16;
    EXPECT_FALSE(EncodeBase64(reinterpret_cast<const uint8_t*>("abc"), 3, nullptr, &length));
    EXPECT_EQ(length, 16u);
    EXPECT_FALSE(EncodeBase64(reinterpret_cast<const uint8_t*>("abc"), 3, buffer_, nullptr));
    EXPECT_FALSE(EncodeBase64(nullptr, 3, buffer_, &length));
    EXPECT_FALSE(EncodeBase64(nullptr, 1, buffer_, &length));
    // A count whose four-fold wraps around is refused before any byte is read.
    EXPECT_FALSE(EncodeBase64(reinterpret_cast<const uint8_t*>("abc"), SIZE_MAX / 4 + 1, buffer_, &length));
    EXPECT_EQ(length, 16u);

    // Nothing to encode needs no input bytes and no room.
    EXPECT_TRUE(EncodeBase64(nullptr, 0, buffer_, &length));
    EXPECT_EQ(length, 0u);
    EXPECT_TRUE(EncodeBase64(nullptr, 0, buffer_, &length));
    EXPECT_EQ(length, 0u);
}

TEST_F(Base64Test, DecoderAcceptsExactlyWhatTheEncoderWrites) {
    std::string input;
    for (int n = 0; n < 20; ++n) {
        const std::string text = Encode(input, sizeof(buffer_));
        std::vector<uint8_t> decoded;
        ASSERT_TRUE(DecodeBase64(text, &decoded)) << text;
        EXPECT_EQ(std::string(decoded.begin(), decoded.end()), input);
        input.push_back(static_cast<char>(0xF7 - 13 * n));
    }

    std::vector<uint8_t> out = {7};
    EXPECT_FALSE(DecodeBase64("YWJj=", &out));
    EXPECT_FALSE(DecodeBase64("YWI=", &out));
    EXPECT_FALSE(DecodeBase64("YWJjZ", &out));  // one character cannot hold a byte
    EXPECT_FALSE(DecodeBase64("YWJjA", &out));  // even when its bits are zero
    EXPECT_FALSE(DecodeBase64("A", &out));
    EXPECT_FALSE(DecodeBase64("YWJ", &out));  // low bits of the last character set
    EXPECT_FALSE(DecodeBase64("YW\nJj", &out));
    EXPECT_FALSE(DecodeBase64("YW{j", &out));  // just past 'z'
    EXPECT_FALSE(DecodeBase64("YW[j", &out));  // just past 'Z'
    EXPECT_FALSE(DecodeBase64("YW:j", &out));  // just past '9'
    EXPECT_EQ(out, std::vector<uint8_t>{7});
    EXPECT_FALSE(DecodeBase64("YWJj", nullptr));
    // The last letters, digits and signs of the alphabet, by value.
    for (const auto& [text, bytes] :
         std::vector<std::pair<std::string, std::vector<uint8_t>>>{{"zzzz", {0xCF, 0x3C, 0xF3}},
                                                                   {"9999", {0xF7, 0xDF, 0x7D}},
                                                                   {"////", {0xFF, 0xFF, 0xFF}},
                                                                   {"+A", {0xF8}}}) {
        ASSERT_TRUE(DecodeBase64(text, &out)) << text;
        EXPECT_EQ(out, bytes) << text;
    }

    // The lenient form skips what is not in the alphabet and honours its bound.
    ASSERT_TRUE(DecodeBase64("YW\nJj=Z", &out, Base64Input::kSkipForeign));
    EXPECT_EQ(std::string(out.begin(), out.end()), "abc");
    ASSERT_TRUE(DecodeBase64("YWJj", &out, Base64Input::kSkipForeign, 3));
    EXPECT_FALSE(DecodeBase64("YWJjZA", &out, Base64Input::kSkipForeign, 3));
    EXPECT_EQ(std::string(out.begin(), out.end()), "abc");
}

}  // namespace
}  // namespace tessary
