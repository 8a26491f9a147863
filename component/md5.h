#pragma once

// MD5 message digest (RFC 1321). Portable: no Windows headers, so it also builds
// natively for the sanitizer and fuzzing builds.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tessary {

using Md5Digest = std::array<uint8_t, 16>;

// Incremental MD5. Feed any number of Update() calls, then Final(). After Final()
// the object starts over as if newly constructed.
class Md5 {
public:
    Md5() noexcept { Reset(); }

    // Forgets everything fed so far.
    void Reset() noexcept;

    // Adds `size` bytes at `data` to the message. `data` may be null only when `size` is 0.
    void Update(const void* data, size_t size) noexcept;
    void Update(std::string_view data) noexcept { Update(data.data(), data.size()); }

    // Pads the message, returns its 16-byte digest and resets the object.
    Md5Digest Final() noexcept;

private:
    uint32_t state_[4];
    uint64_t length_;  // bytes fed so far (the padding records it modulo 2^64 bits)
    uint8_t buffer_[64];
    size_t buffered_;  // bytes waiting in buffer_, always < 64
};

// Digest of one contiguous message.
Md5Digest ComputeMd5(const void* data, size_t size) noexcept;
inline Md5Digest ComputeMd5(std::string_view data) noexcept { return ComputeMd5(data.data(), data.size()); }

// The 16 bytes in order, each as two upper-case hexadecimal digits ("%02X"): 32 characters.
std::string Md5ToHex(const Md5Digest& digest);

}  // namespace tessary
