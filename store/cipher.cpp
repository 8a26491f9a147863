#include "store/cipher.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace tessary {
namespace {

#include "store/blowfish_tables.inc"

constexpr int kRounds = 16;

uint32_t LoadBigEndian(const uint8_t* p) noexcept {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

void StoreBigEndian(uint32_t value, uint8_t* p) noexcept {
    p[0] = static_cast<uint8_t>(value >> 24);
    p[1] = static_cast<uint8_t>(value >> 16);
    p[2] = static_cast<uint8_t>(value >> 8);
    p[3] = static_cast<uint8_t>(value);
}

constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Base64Value(char c) noexcept {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

int HexValue(char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

void CheckBlockLength(const uint8_t* buffer, size_t length) {
    if (buffer == nullptr || length == 0 || length % Blowfish::kBlockSize != 0) {
        throw IncorrectBufferLength();
    }
}

}  // namespace

Blowfish::Blowfish(const uint8_t* key, size_t keyLength) {
    if (key == nullptr || keyLength == 0 || keyLength > kMaxKeyLength) {
        throw std::invalid_argument("Blowfish key must be 1 to 56 bytes");
    }
    std::memcpy(p_, kInitialP, sizeof(p_));
    std::memcpy(s_, kInitialS, sizeof(s_));

    size_t k = 0;
    for (uint32_t& word : p_) {
        uint32_t group = 0;
        for (int i = 0; i < 4; ++i) {
            group = (group << 8) | key[k];
            k = (k + 1) % keyLength;
        }
        word ^= group;
    }

    uint32_t left = 0;
    uint32_t right = 0;
    for (size_t i = 0; i < 18; i += 2) {
        EncryptBlock(left, right);
        p_[i] = left;
        p_[i + 1] = right;
    }
    for (auto& box : s_) {
        for (size_t i = 0; i < 256; i += 2) {
            EncryptBlock(left, right);
            box[i] = left;
            box[i + 1] = right;
        }
    }
}

uint32_t Blowfish::F(uint32_t x) const noexcept {
    return ((s_[0][x >> 24] + s_[1][(x >> 16) & 0xFF]) ^ s_[2][(x >> 8) & 0xFF]) + s_[3][x & 0xFF];
}

void Blowfish::EncryptBlock(uint32_t& left, uint32_t& right) const noexcept {
    uint32_t l = left;
    uint32_t r = right;
    for (int i = 0; i < kRounds; ++i) {
        l ^= p_[i];
        r ^= F(l);
        std::swap(l, r);
    }
    std::swap(l, r);
    r ^= p_[kRounds];
    l ^= p_[kRounds + 1];
    left = l;
    right = r;
}

void Blowfish::DecryptBlock(uint32_t& left, uint32_t& right) const noexcept {
    uint32_t l = left;
    uint32_t r = right;
    for (int i = kRounds + 1; i > 1; --i) {
        l ^= p_[i];
        r ^= F(l);
        std::swap(l, r);
    }
    std::swap(l, r);
    r ^= p_[1];
    l ^= p_[0];
    left = l;
    right = r;
}

void Blowfish::EncryptBlocks(uint8_t* buffer, size_t length) const {
    CheckBlockLength(buffer, length);
    for (size_t off = 0; off < length; off += kBlockSize) {
        uint32_t left = LoadBigEndian(buffer + off);
        uint32_t right = LoadBigEndian(buffer + off + 4);
        EncryptBlock(left, right);
        StoreBigEndian(left, buffer + off);
        StoreBigEndian(right, buffer + off + 4);
    }
}

void Blowfish::DecryptBlocks(uint8_t* buffer, size_t length) const {
    CheckBlockLength(buffer, length);
    for (size_t off = 0; off < length; off += kBlockSize) {
        uint32_t left = LoadBigEndian(buffer + off);
        uint32_t right = LoadBigEndian(buffer + off + 4);
        DecryptBlock(left, right);
        StoreBigEndian(left, buffer + off);
        StoreBigEndian(right, buffer + off + 4);
    }
}

const Blowfish& RequestCipher() {
    static const Blowfish cipher(reinterpret_cast<const uint8_t*>(kRequestCipherKey.data()), kRequestCipherKey.size());
    return cipher;
}

void EncryptBlocks(uint8_t* buffer, size_t length) { RequestCipher().EncryptBlocks(buffer, length); }

void DecryptBlocks(uint8_t* buffer, size_t length) { RequestCipher().DecryptBlocks(buffer, length); }

std::string ToHexText(const uint8_t* bytes, size_t length) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    if (bytes == nullptr) return text;
    text.resize(length * 2);
    for (size_t i = 0; i < length; ++i) {
        text[2 * i] = kDigits[bytes[i] >> 4];
        text[2 * i + 1] = kDigits[bytes[i] & 0x0F];
    }
    return text;
}

bool ParseHexText(std::string_view text, std::vector<uint8_t>* out) {
    if (out == nullptr || text.size() % 2 != 0) return false;
    std::vector<uint8_t> bytes(text.size() / 2);
    for (size_t i = 0; i < bytes.size(); ++i) {
        const int high = HexValue(text[2 * i]);
        const int low = HexValue(text[2 * i + 1]);
        if (high < 0 || low < 0) return false;
        bytes[i] = static_cast<uint8_t>((high << 4) | low);
    }
    *out = std::move(bytes);
    return true;
}

bool EncodeBase64(const uint8_t* bytes, size_t n, char* out, size_t* outLength) {
    if (out == nullptr || outLength == nullptr || (bytes == nullptr && n > 0)) return false;
    // 4*n must not wrap; such an input could never fit in any buffer anyway.
    if (n > SIZE_MAX / 4) return false;
    const size_t required = (4 * n / 3 + 3) / 4 * 4;
    if (*outLength < required) return false;

    size_t written = 0;
    size_t i = 0;
    for (; i + 3 <= n; i += 3) {
        const uint32_t group = (uint32_t{bytes[i]} << 16) | (uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
        out[written++] = kBase64Alphabet[(group >> 18) & 0x3F];
        out[written++] = kBase64Alphabet[(group >> 12) & 0x3F];
        out[written++] = kBase64Alphabet[(group >> 6) & 0x3F];
        out[written++] = kBase64Alphabet[group & 0x3F];
    }
    const size_t rest = n - i;
    if (rest > 0) {
        uint32_t group = uint32_t{bytes[i]} << 16;
        if (rest == 2) group |= uint32_t{bytes[i + 1]} << 8;
        out[written++] = kBase64Alphabet[(group >> 18) & 0x3F];
        out[written++] = kBase64Alphabet[(group >> 12) & 0x3F];
        if (rest == 2) out[written++] = kBase64Alphabet[(group >> 6) & 0x3F];
    }
    *outLength = written;
    return true;
}

bool DecodeBase64(std::string_view text, std::vector<uint8_t>* out, Base64Input mode, size_t maxBytes) {
    const bool strict = mode == Base64Input::kStrict;
    if (out == nullptr || (strict && text.size() % 4 == 1)) return false;
    std::vector<uint8_t> bytes;
    bytes.reserve(std::min(text.size() / 4 * 3 + 2, maxBytes));
    uint32_t accumulator = 0;
    int bits = 0;
    for (char c : text) {
        const int value = Base64Value(c);
        if (value < 0) {
            if (strict) return false;
            continue;
        }
        accumulator = (accumulator << 6) | static_cast<uint32_t>(value);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            if (bytes.size() >= maxBytes) return false;
            bytes.push_back(static_cast<uint8_t>(accumulator >> bits));
            accumulator &= (1u << bits) - 1;
        }
    }
    // Left-over bits come from the last character only; an encoder always leaves them zero.
    if (strict && accumulator != 0) return false;
    *out = std::move(bytes);
    return true;
}

}  // namespace tessary
