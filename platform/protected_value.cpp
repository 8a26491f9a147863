#include "platform/protected_value.h"

#include <algorithm>
#include <utility>

namespace tessary {
namespace {

constexpr uint64_t kNameKey = 0x5173a1e0c2d94b67ull;
constexpr uint64_t kStreamKey = 0x2f8e61d3b7a4c059ull;
constexpr uint64_t kTagKey1 = 0xc46b0f9ad21e7385ull;
constexpr uint64_t kTagKey2 = 0x8d1e3f5a7b9c2e41ull;
constexpr uint64_t kGolden = 0x9e3779b97f4a7c15ull;

constexpr uint64_t Rotl(uint64_t x, int r) { return (x << r) | (x >> (64 - r)); }

constexpr uint64_t Finalize(uint64_t h) {
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdull;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ull;
    h ^= h >> 33;
    return h;
}

uint32_t LoadLe32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

uint64_t LoadLe64(const uint8_t* p) { return static_cast<uint64_t>(LoadLe32(p)) | uint64_t{LoadLe32(p + 4)} << 32; }

void StoreLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

void StoreLe64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Keyed 64-bit hash over a byte stream, fed in pieces. Integrity check against
// accidental or casual change, not a cryptographic MAC.
class KeyedHasher {
public:
    explicit KeyedHasher(uint64_t key) : state_(Finalize(key ^ kGolden)) {}

    void Update(const uint8_t* bytes, size_t count) {
        for (size_t i = 0; i < count; ++i) {
            word_ |= uint64_t{bytes[i]} << (8 * filled_);
            if (++filled_ == 8) Absorb();
        }
        length_ += count;
    }

    void UpdateUnit(uint16_t unit) {
        const uint8_t bytes[2] = {static_cast<uint8_t>(unit), static_cast<uint8_t>(unit >> 8)};
        Update(bytes, 2);
    }

    uint64_t Final() {
        if (filled_ != 0) Absorb();
        return Finalize(state_ ^ length_);
    }

private:
    void Absorb() {
        uint64_t w = word_ * 0x87c37b91114253d5ull;
        w = Rotl(w, 31) * 0x4cf5ad432745937full;
        state_ = Rotl(state_ ^ w, 27) * 5 + 0x52dce729;
        word_ = 0;
        filled_ = 0;
    }

    uint64_t state_;
    uint64_t word_ = 0;
    uint64_t length_ = 0;
    int filled_ = 0;
};

// Feeds the name as lower-cased UTF-16 code units, so the result does not depend
// on the width of wchar_t.
void HashName(KeyedHasher* hasher, std::wstring_view name) {
    for (wchar_t c : name) {
        uint32_t cp = static_cast<uint32_t>(c);
        if (cp >= 'A' && cp <= 'Z') cp += 'a' - 'A';
        if (cp > 0xFFFF && cp <= 0x10FFFF) {
            cp -= 0x10000;
            hasher->UpdateUnit(static_cast<uint16_t>(0xD800 + (cp >> 10)));
            hasher->UpdateUnit(static_cast<uint16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            hasher->UpdateUnit(static_cast<uint16_t>(cp));
        }
    }
}

struct Keys {
    uint64_t stream;
    uint64_t tag1;
    uint64_t tag2;
};

Keys DeriveKeys(std::wstring_view name, uint32_t salt) {
    KeyedHasher nameHasher(kNameKey);
    HashName(&nameHasher, name);
    const uint64_t nameHash = nameHasher.Final();
    const uint64_t salted = uint64_t{salt} * kGolden;
    return {Finalize(nameHash ^ salted ^ kStreamKey), Finalize(nameHash + salted + kTagKey1),
            Finalize(Rotl(nameHash, 17) ^ salted ^ kTagKey2)};
}

// XORs `count` bytes (a multiple of 8) with the keystream seeded by `seed`.
void ApplyKeystream(uint64_t seed, uint8_t* bytes, size_t count) {
    uint64_t state = seed;
    for (size_t i = 0; i + 8 <= count; i += 8) {
        state += kGolden;
        StoreLe64(bytes + i, LoadLe64(bytes + i) ^ Finalize(state));
    }
}

void ComputeTag(const Keys& keys, std::wstring_view name, const uint8_t* header, const uint8_t* clear,
                size_t paddedSize, uint8_t* tag) {
    KeyedHasher first(keys.tag1);
    KeyedHasher second(keys.tag2);
    for (KeyedHasher* h : {&first, &second}) {
        HashName(h, name);
        h->Update(header, kProtectedHeaderSize);
        h->Update(clear, paddedSize);
    }
    StoreLe64(tag, first.Final());
    StoreLe64(tag + 8, second.Final());
}

constexpr size_t PaddedSize(size_t size) { return (size + 7) & ~size_t{7}; }

}  // namespace

size_t ProtectedBlobSize(size_t dataSize) noexcept {
    if (dataSize > kProtectedMaxDataSize) return 0;
    return kProtectedHeaderSize + PaddedSize(dataSize) + kProtectedTagSize;
}

std::vector<uint8_t> ProtectValue(std::wstring_view valueName, uint32_t type, const uint8_t* data, size_t size,
                                  uint32_t salt) {
    const size_t blobSize = ProtectedBlobSize(size);
    if (blobSize == 0 || (data == nullptr && size != 0)) return {};
    const size_t padded = PaddedSize(size);

    std::vector<uint8_t> blob(blobSize, 0);
    uint8_t* header = blob.data();
    uint8_t* payload = header + kProtectedHeaderSize;
    StoreLe32(header, kProtectedValueMagic);
    StoreLe32(header + 4, salt);
    StoreLe32(header + 8, type);
    StoreLe32(header + 12, static_cast<uint32_t>(size));
    if (size != 0) std::copy_n(data, size, payload);

    const Keys keys = DeriveKeys(valueName, salt);
    ComputeTag(keys, valueName, header, payload, padded, payload + padded);
    ApplyKeystream(keys.stream, payload, padded);
    return blob;
}

bool UnprotectValue(std::wstring_view valueName, const uint8_t* blob, size_t size, uint32_t* type,
                    std::vector<uint8_t>* data) {
    if (type == nullptr || data == nullptr) return false;
    *type = 0;
    data->clear();
    if (blob == nullptr || size < kProtectedHeaderSize + kProtectedTagSize) return false;
    if (LoadLe32(blob) != kProtectedValueMagic) return false;

    const uint32_t salt = LoadLe32(blob + 4);
    const uint32_t storedType = LoadLe32(blob + 8);
    const uint32_t length = LoadLe32(blob + 12);
    if (ProtectedBlobSize(length) != size) return false;  // also rejects lengths beyond the maximum
    const size_t padded = PaddedSize(length);

    const Keys keys = DeriveKeys(valueName, salt);
    std::vector<uint8_t> clear(blob + kProtectedHeaderSize, blob + kProtectedHeaderSize + padded);
    ApplyKeystream(keys.stream, clear.data(), padded);
    if (std::any_of(clear.begin() + length, clear.end(), [](uint8_t b) { return b != 0; })) return false;

    uint8_t tag[kProtectedTagSize];
    ComputeTag(keys, valueName, blob, clear.data(), padded, tag);
    if (!std::equal(tag, tag + kProtectedTagSize, blob + kProtectedHeaderSize + padded)) return false;

    clear.resize(length);
    *type = storedType;
    *data = std::move(clear);
    return true;
}

}  // namespace tessary
