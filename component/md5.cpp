#include "component/md5.h"

#include <cstring>

namespace tessary {
namespace {

inline uint32_t Rotl(uint32_t x, int s) { return (x << s) | (x >> (32 - s)); }

inline uint32_t Load32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap32(v);
#endif
    return v;
}

inline void Store32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

// Round functions in the forms that need the fewest dependent operations:
// F selects y or z by x; G selects x or y by z and is added as two disjoint
// halves so both can be computed in parallel; I keeps the ~z off the chain.
#define TS_MD5_F(a, b, c, d, x, t, s) \
    a += ((c ^ d) & b) ^ d;           \
    a += (x) + (t);                   \
    a = Rotl(a, s) + b;
#define TS_MD5_G(a, b, c, d, x, t, s) \
    a += (x) + (t) + (~d & c);        \
    a += d & b;                       \
    a = Rotl(a, s) + b;
#define TS_MD5_H(a, b, c, d, x, t, s) \
    a += b ^ c ^ d;                   \
    a += (x) + (t);                   \
    a = Rotl(a, s) + b;
#define TS_MD5_I(a, b, c, d, x, t, s) \
    a += (x) + (t) + ((~d | b) ^ c);  \
    a = Rotl(a, s) + b;

// Runs the compression function over `blocks` consecutive 64-byte blocks.
void Transform(uint32_t state[4], const uint8_t* p, size_t blocks) {
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (; blocks != 0; --blocks, p += 64) {
        const uint32_t x0 = Load32(p), x1 = Load32(p + 4), x2 = Load32(p + 8), x3 = Load32(p + 12);
        const uint32_t x4 = Load32(p + 16), x5 = Load32(p + 20), x6 = Load32(p + 24), x7 = Load32(p + 28);
        const uint32_t x8 = Load32(p + 32), x9 = Load32(p + 36), x10 = Load32(p + 40), x11 = Load32(p + 44);
        const uint32_t x12 = Load32(p + 48), x13 = Load32(p + 52), x14 = Load32(p + 56), x15 = Load32(p + 60);
        const uint32_t aa = a, bb = b, cc = c, dd = d;

        TS_MD5_F(a, b, c, d, x0, 0xd76aa478, 7)
        TS_MD5_F(d, a, b, c, x1, 0xe8c7b756, 12)
        TS_MD5_F(c, d, a, b, x2, 0x242070db, 17)
        TS_MD5_F(b, c, d, a, x3, 0xc1bdceee, 22)
        TS_MD5_F(a, b, c, d, x4, 0xf57c0faf, 7)
        TS_MD5_F(d, a, b, c, x5, 0x4787c62a, 12)
        TS_MD5_F(c, d, a, b, x6, 0xa8304613, 17)
        TS_MD5_F(b, c, d, a, x7, 0xfd469501, 22)
        TS_MD5_F(a, b, c, d, x8, 0x698098d8, 7)
        TS_MD5_F(d, a, b, c, x9, 0x8b44f7af, 12)
        TS_MD5_F(c, d, a, b, x10, 0xffff5bb1, 17)
        TS_MD5_F(b, c, d, a, x11, 0x895cd7be, 22)
        TS_MD5_F(a, b, c, d, x12, 0x6b901122, 7)
        TS_MD5_F(d, a, b, c, x13, 0xfd987193, 12)
        TS_MD5_F(c, d, a, b, x14, 0xa679438e, 17)
        TS_MD5_F(b, c, d, a, x15, 0x49b40821, 22)

        TS_MD5_G(a, b, c, d, x1, 0xf61e2562, 5)
        TS_MD5_G(d, a, b, c, x6, 0xc040b340, 9)
        TS_MD5_G(c, d, a, b, x11, 0x265e5a51, 14)
        TS_MD5_G(b, c, d, a, x0, 0xe9b6c7aa, 20)
        TS_MD5_G(a, b, c, d, x5, 0xd62f105d, 5)
        TS_MD5_G(d, a, b, c, x10, 0x02441453, 9)
        TS_MD5_G(c, d, a, b, x15, 0xd8a1e681, 14)
        TS_MD5_G(b, c, d, a, x4, 0xe7d3fbc8, 20)
        TS_MD5_G(a, b, c, d, x9, 0x21e1cde6, 5)
        TS_MD5_G(d, a, b, c, x14, 0xc33707d6, 9)
        TS_MD5_G(c, d, a, b, x3, 0xf4d50d87, 14)
        TS_MD5_G(b, c, d, a, x8, 0x455a14ed, 20)
        TS_MD5_G(a, b, c, d, x13, 0xa9e3e905, 5)
        TS_MD5_G(d, a, b, c, x2, 0xfcefa3f8, 9)
        TS_MD5_G(c, d, a, b, x7, 0x676f02d9, 14)
        TS_MD5_G(b, c, d, a, x12, 0x8d2a4c8a, 20)

        TS_MD5_H(a, b, c, d, x5, 0xfffa3942, 4)
        TS_MD5_H(d, a, b, c, x8, 0x8771f681, 11)
        TS_MD5_H(c, d, a, b, x11, 0x6d9d6122, 16)
        TS_MD5_H(b, c, d, a, x14, 0xfde5380c, 23)
        TS_MD5_H(a, b, c, d, x1, 0xa4beea44, 4)
        TS_MD5_H(d, a, b, c, x4, 0x4bdecfa9, 11)
        TS_MD5_H(c, d, a, b, x7, 0xf6bb4b60, 16)
        TS_MD5_H(b, c, d, a, x10, 0xbebfbc70, 23)
        TS_MD5_H(a, b, c, d, x13, 0x289b7ec6, 4)
        TS_MD5_H(d, a, b, c, x0, 0xeaa127fa, 11)
        TS_MD5_H(c, d, a, b, x3, 0xd4ef3085, 16)
        TS_MD5_H(b, c, d, a, x6, 0x04881d05, 23)
        TS_MD5_H(a, b, c, d, x9, 0xd9d4d039, 4)
        TS_MD5_H(d, a, b, c, x12, 0xe6db99e5, 11)
        TS_MD5_H(c, d, a, b, x15, 0x1fa27cf8, 16)
        TS_MD5_H(b, c, d, a, x2, 0xc4ac5665, 23)

        TS_MD5_I(a, b, c, d, x0, 0xf4292244, 6)
        TS_MD5_I(d, a, b, c, x7, 0x432aff97, 10)
        TS_MD5_I(c, d, a, b, x14, 0xab9423a7, 15)
        TS_MD5_I(b, c, d, a, x5, 0xfc93a039, 21)
        TS_MD5_I(a, b, c, d, x12, 0x655b59c3, 6)
        TS_MD5_I(d, a, b, c, x3, 0x8f0ccc92, 10)
        TS_MD5_I(c, d, a, b, x10, 0xffeff47d, 15)
        TS_MD5_I(b, c, d, a, x1, 0x85845dd1, 21)
        TS_MD5_I(a, b, c, d, x8, 0x6fa87e4f, 6)
        TS_MD5_I(d, a, b, c, x15, 0xfe2ce6e0, 10)
        TS_MD5_I(c, d, a, b, x6, 0xa3014314, 15)
        TS_MD5_I(b, c, d, a, x13, 0x4e0811a1, 21)
        TS_MD5_I(a, b, c, d, x4, 0xf7537e82, 6)
        TS_MD5_I(d, a, b, c, x11, 0xbd3af235, 10)
        TS_MD5_I(c, d, a, b, x2, 0x2ad7d2bb, 15)
        TS_MD5_I(b, c, d, a, x9, 0xeb86d391, 21)

        a += aa;
        b += bb;
        c += cc;
        d += dd;
    }
    state[0] = a;
    state[1] = b;
    state[2] = c;
    state[3] = d;
}

#undef TS_MD5_F
#undef TS_MD5_G
#undef TS_MD5_H
#undef TS_MD5_I

}  // namespace

void Md5::Reset() noexcept {
    state_[0] = 0x67452301;
    state_[1] = 0xefcdab89;
    state_[2] = 0x98badcfe;
    state_[3] = 0x10325476;
    length_ = 0;
    buffered_ = 0;
}

void Md5::Update(const void* data, size_t size) noexcept {
    if (size == 0) return;
    const uint8_t* p = static_cast<const uint8_t*>(data);
    length_ += size;
    if (buffered_ != 0) {
        size_t take = 64 - buffered_;
        if (take > size) take = size;
        std::memcpy(buffer_ + buffered_, p, take);
        buffered_ += take;
        p += take;
        size -= take;
        if (buffered_ < 64) return;
        Transform(state_, buffer_, 1);
        buffered_ = 0;
    }
    // Whole blocks straight from the caller's memory, without copying.
    if (size >= 64) {
        Transform(state_, p, size / 64);
        p += size & ~size_t{63};
        size &= 63;
    }
    if (size != 0) {
        std::memcpy(buffer_, p, size);
        buffered_ = size;
    }
}

Md5Digest Md5::Final() noexcept {
    const uint64_t bits = length_ << 3;
    uint8_t tail[128] = {};
    std::memcpy(tail, buffer_, buffered_);
    tail[buffered_] = 0x80;
    const size_t tailSize = buffered_ < 56 ? 64 : 128;
    for (int i = 0; i < 8; ++i) tail[tailSize - 8 + i] = static_cast<uint8_t>(bits >> (8 * i));
    Transform(state_, tail, tailSize / 64);

    Md5Digest digest;
    for (int i = 0; i < 4; ++i) Store32(digest.data() + 4 * i, state_[i]);
    Reset();
    return digest;
}

Md5Digest ComputeMd5(const void* data, size_t size) noexcept {
    Md5 md5;
    md5.Update(data, size);
    return md5.Final();
}

std::string Md5ToHex(const Md5Digest& digest) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text(digest.size() * 2, '0');
    for (size_t i = 0; i < digest.size(); ++i) {
        text[2 * i] = kDigits[digest[i] >> 4];
        text[2 * i + 1] = kDigits[digest[i] & 0x0f];
    }
    return text;
}

}  // namespace tessary
