#include "component/md5.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace tessary {
namespace {

std::string Hex(std::string_view message) { return Md5ToHex(ComputeMd5(message)); }

TEST(Md5, MatchesReferenceVectors) {
    EXPECT_EQ(Hex(""), "D41D8CD98F00B204E9800998ECF8427E");
    EXPECT_EQ(Hex("a"), "0CC175B9C0F1B6A831C399E269772661");
    EXPECT_EQ(Hex("abc"), "900150983CD24FB0D6963F7D28E17F72");
    EXPECT_EQ(Hex("message digest"), "F96B697D7CB7938D525A2F31AAF161D0");
    EXPECT_EQ(Hex("abcdefghijklmnopqrstuvwxyz"), "C3FCD3D76192E4007DFB496CCA67E13B");
    EXPECT_EQ(Hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "D174AB98D277D9F5A5611C2C9F419D9F");
    EXPECT_EQ(Hex("12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
              "57EDF4A22BE3C955AC49DA2E2107B67A");
}

// Lengths around the padding boundaries: 55 bytes fit the length in the last block,
// 56 need an extra one.
TEST(Md5, PadsAtBlockBoundaries) {
    EXPECT_EQ(Hex(std::string(55, 'x')), "04364420E25C512FD958A70738AA8F72");
    EXPECT_EQ(Hex(std::string(56, 'x')), "668A72D5BA17F08E62DABCAFAD6DB14B");
    EXPECT_EQ(Hex(std::string(64, 'x')), "C1BB4F81D892B2D57947682AEB252456");
}

TEST(Md5, MillionCharactersInManyUpdates) {
    Md5 md5;
    const std::string chunk(1000, 'a');
    for (int i = 0; i < 1000; ++i) md5.Update(chunk);
    EXPECT_EQ(Md5ToHex(md5.Final()), "7707D6AE4E027C70EEA2A935C2296F21");
}

TEST(Md5, SplitUpdatesGiveTheOneShotDigest) {
    std::string message;
    for (int i = 0; i < 300; ++i) message.push_back(static_cast<char>(i * 37 + 11));
    const Md5Digest whole = ComputeMd5(message);
    for (size_t first = 0; first <= message.size(); ++first) {
        for (size_t second : {size_t{1}, size_t{63}, size_t{64}, size_t{65}, size_t{200}}) {
            Md5 md5;
            md5.Update(message.data(), first);
            size_t at = first;
            while (at < message.size()) {
                const size_t n = std::min(second, message.size() - at);
                md5.Update(message.data() + at, n);
                at += n;
            }
            ASSERT_EQ(md5.Final(), whole) << "first " << first << " then " << second;
        }
    }
}

TEST(Md5, FinalStartsOverAndEmptyUpdatesChangeNothing) {
    Md5 md5;
    md5.Update("abc");
    EXPECT_EQ(Md5ToHex(md5.Final()), "900150983CD24FB0D6963F7D28E17F72");
    md5.Update(nullptr, 0);
    md5.Update("abc");
    md5.Update("", 0);
    EXPECT_EQ(Md5ToHex(md5.Final()), "900150983CD24FB0D6963F7D28E17F72");
}

}  // namespace
}  // namespace tessary
