#pragma once

// The request cipher (16-round Blowfish, electronic code book, big-endian halves)
// with the product's fixed key, its hexadecimal text form, and the unpadded base64
// text used for stored paths. Portable: no Windows headers, so it also builds
// natively for the sanitizer and fuzzing builds.

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

namespace tessary {

// Thrown by the block operations for a length of 0 or one that is not a multiple of 8.
// what() is exactly "Incorrect buffer length".
class IncorrectBufferLength : public std::exception {
public:
    const char* what() const noexcept override { return "Incorrect buffer length"; }
};

// The fixed 56-byte key of the request cipher: four words separated by two spaces each.
inline constexpr std::string_view kRequestCipherKey = "kzvorpelmunta  brixoltaquenz  dafmirtulop  quanzerbiloth";

// 16-round Blowfish keyed once at construction; read-only afterwards, so one instance
// may be used by any number of threads at once.
class Blowfish {
public:
    static constexpr size_t kBlockSize = 8;
    static constexpr size_t kMaxKeyLength = 56;

    // Runs the key schedule with `keyLength` bytes of `key` (1 to 56).
    // Throws std::invalid_argument for a null key or a length outside that range.
    Blowfish(const uint8_t* key, size_t keyLength);

    // Encrypts / decrypts one block given as its two big-endian halves, in place.
    void EncryptBlock(uint32_t& left, uint32_t& right) const noexcept;
    void DecryptBlock(uint32_t& left, uint32_t& right) const noexcept;

    // Encrypts / decrypts `buffer` in place, each 8-byte block on its own (no chaining,
    // no initialisation vector): bytes 0-3 are the left half, 4-7 the right, both
    // big-endian. Throws IncorrectBufferLength, leaving the buffer untouched, when
    // `length` is 0 or not a multiple of 8 (also when `buffer` is null).
    void EncryptBlocks(uint8_t* buffer, size_t length) const;
    void DecryptBlocks(uint8_t* buffer, size_t length) const;

private:
    uint32_t F(uint32_t x) const noexcept;

    uint32_t p_[18];
    uint32_t s_[4][256];
};

// The request cipher keyed with kRequestCipherKey. Built on first use (thread-safe)
// and never changed afterwards.
const Blowfish& RequestCipher();

// RequestCipher().EncryptBlocks / DecryptBlocks: same contract, including the
// IncorrectBufferLength exception.
void EncryptBlocks(uint8_t* buffer, size_t length);
void DecryptBlocks(uint8_t* buffer, size_t length);

// Upper-case hexadecimal text of `length` bytes: two digits per byte ("%02X"), in
// buffer order, no separators. A null `bytes` or length 0 gives empty text.
std::string ToHexText(const uint8_t* bytes, size_t length);

// Parses hexadecimal text (digits of either case, two per byte, nothing else) into
// `out`. Returns false, leaving `out` untouched, when `out` is null, the text has an
// odd length or holds any other character. Empty text gives true with no bytes.
bool ParseHexText(std::string_view text, std::vector<uint8_t>* out);

// Base64 with the standard alphabet, no "=" padding, no line breaks, no terminator.
// The required capacity is 4*n/3 (integer division) rounded up to a multiple of 4.
// Returns false, writing nothing, when `out` or `outLength` is null, when `bytes` is
// null with n > 0, or when *outLength is below the required capacity. Otherwise
// writes the characters (a final group of 1 byte gives 2 characters, of 2 bytes 3),
// stores their number in *outLength and returns true.
bool EncodeBase64(const uint8_t* bytes, size_t n, char* out, size_t* outLength);

// How DecodeBase64 treats text that EncodeBase64 could not have written.
enum class Base64Input {
    kStrict,       // refuse it (see DecodeBase64)
    kSkipForeign,  // skip characters outside the alphabet, drop left-over bits
};

// Decodes the unpadded form EncodeBase64 writes into `out`. Returns false, leaving
// `out` untouched, when `out` is null or the decoded bytes would exceed `maxBytes`.
// kStrict also refuses text with a character outside the alphabet ("=" too), a
// length that leaves a single character in the last group, or unused low bits of
// the last character that are not zero (so only text EncodeBase64 could write is
// accepted); kSkipForeign decodes whatever alphabet characters the text holds.
bool DecodeBase64(std::string_view text, std::vector<uint8_t>* out, Base64Input mode = Base64Input::kStrict,
                  size_t maxBytes = SIZE_MAX);

}  // namespace tessary
