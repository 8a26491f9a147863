#pragma once

// Obfuscated encoding of protected registry values (and other small protected
// blobs). Portable: no Windows headers, so it also builds natively for fuzzing.
//
// The encoding hides a value from casual reading and editing and detects any
// change to it; it is not encryption and keeps no secret from a determined reader.
//
// Layout of an encoded blob (all integers little-endian):
//
//   offset  size  field
//   0       4     magic "TsPv" (0x76507354)
//   4       4     salt, chosen by the writer
//   8       4     registry type of the clear value (REG_DWORD, REG_SZ, REG_QWORD, ...)
//   12      4     length of the clear value in bytes
//   16      P     payload: the clear value padded with zero bytes to P = length rounded
//                 up to a multiple of 8, XORed with the keystream
//   16+P    16    integrity tag: two keyed 64-bit hashes over the value name, the
//                 16-byte header and the padded clear payload
//
// The keystream and both tag keys derive from the salt and the value name folded
// to lower case (A-Z only; registry value names compare without case), so a blob
// copied under another value name no longer decodes. The name is hashed as UTF-16
// code units on every platform. A 64-bit value therefore takes 16 + 8 + 16 = 40
// bytes; an empty value 32 bytes.
//
// Decoding accepts a blob only when its size is exactly what the header's length
// implies, the magic matches, the padding is zero and the tag verifies; anything
// else (truncated, extended, tampered, other name) counts as absent.

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace tessary {

inline constexpr uint32_t kProtectedValueMagic = 0x76507354;  // "TsPv"
inline constexpr size_t kProtectedHeaderSize = 16;
inline constexpr size_t kProtectedTagSize = 16;
// Largest clear value the encoding accepts (the registry's own practical limit is far lower).
inline constexpr size_t kProtectedMaxDataSize = 16u * 1024u * 1024u;

// Size in bytes of the blob that encodes `dataSize` clear bytes, or 0 when
// `dataSize` exceeds kProtectedMaxDataSize.
size_t ProtectedBlobSize(size_t dataSize) noexcept;

// Encodes `size` bytes at `data` (may be null only when size is 0) of registry type
// `type`, to be stored under `valueName`, using `salt` to vary the keystream.
// Returns the blob (at least 32 bytes); returns an empty vector when `data` is null
// with a non-zero size or `size` exceeds kProtectedMaxDataSize.
// Throws only std::bad_alloc.
std::vector<uint8_t> ProtectValue(std::wstring_view valueName, uint32_t type, const uint8_t* data, size_t size,
                                  uint32_t salt);

// Decodes a blob made by ProtectValue for the same `valueName` (compared without
// ASCII case). On success sets *type and *data to the clear value and returns true.
// Returns false, with *type set to 0 and *data emptied, when the blob is null,
// malformed, truncated, extended, tampered with or made for another name; returns
// false without touching anything when `type` or `data` is null. Never reads outside
// blob[0, size). Throws only std::bad_alloc.
bool UnprotectValue(std::wstring_view valueName, const uint8_t* blob, size_t size, uint32_t* type,
                    std::vector<uint8_t>* data);

}  // namespace tessary
