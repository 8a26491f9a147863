#pragma once

// Settings files kept in an obfuscated form ("log.ini" of the diagnostic logger).
// Portable: no Windows headers, so the codec and the INI parser also build
// natively for fuzzing; the file access uses Win32 on Windows and standard
// streams elsewhere.
//
// Clear content: INI text in UTF-8, one "[section]" header or "key=value" pair a
// line, lines ended by "\r\n" when written ("\n" is accepted). Sections and keys
// compare without ASCII case; blanks around names and values are ignored; lines
// starting with ';' or '#' are comments; of duplicate keys the first one counts.
//
// Encoded file (all integers little-endian):
//
//   offset  size  field
//   0       4     magic "TsIn" (0x6E497354)
//   4       4     salt, chosen by the writer
//   8       4     length L of the clear text in bytes (at most kProtectedIniMaxText)
//   12      L     clear text XORed with a keystream derived from the salt
//   12+L    8     integrity tag: keyed 64-bit hash of the salt, L and the clear text
//
// A file is decoded only when its size is exactly 20 + L, the magic matches and
// the tag verifies. Anything else (truncated, extended, edited, a plain text
// file, another format) cannot be decoded and reads as an empty file, so every
// reader falls back to its defaults. Like the protected registry values, this
// hides settings from casual reading and editing; it is not encryption.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tessary {

inline constexpr uint32_t kProtectedIniMagic = 0x6E497354;  // "TsIn"
inline constexpr size_t kProtectedIniOverhead = 20;
// Largest clear text accepted; a settings file never comes near it.
inline constexpr size_t kProtectedIniMaxText = 1024u * 1024u;

// Encodes `text` with `salt`. Returns the file content, or an empty string when
// `text` is longer than kProtectedIniMaxText. Throws only std::bad_alloc.
std::string EncodeProtectedIni(std::string_view text, uint32_t salt);

// Decodes a file made by EncodeProtectedIni. On success sets *text to the clear
// text and returns true; otherwise empties *text and returns false. Returns false
// without touching anything when `text` is null. Never reads outside `bytes`.
bool DecodeProtectedIni(std::string_view bytes, std::string* text);

// Parses a whole integer value: optional blanks, optional sign, then decimal
// digits or "0x" and hexadecimal digits, then optional blanks. Returns false
// (leaving *value untouched) for anything else, including values outside the
// range of int64_t.
bool ParseIniInteger(std::string_view text, int64_t* value) noexcept;

// In-memory INI content: ordered sections of ordered key/value pairs.
class IniDocument {
public:
    // Parses any text; never fails (unrecognised lines are dropped).
    static IniDocument Parse(std::string_view text);

    // The INI text of the document, "\r\n" line ends.
    std::string Serialize() const;

    // The value of `key` in `section`, or null when absent. The pointer is valid
    // until the document is next changed.
    const std::string* Find(std::string_view section, std::string_view key) const;

    // Sets `key` in `section` to `value`, adding the section and key at the end
    // when they are absent. Line breaks in any of the texts are replaced by blanks
    // so the document stays one pair a line. False, with the document unchanged,
    // for a key the file cannot hold: empty, or starting a comment (';' or '#').
    bool Set(std::string_view section, std::string_view key, std::string_view value);

    bool empty() const { return sections_.empty(); }

private:
    struct Entry {
        std::string key;
        std::string value;
    };
    struct Section {
        std::string name;
        std::vector<Entry> entries;
    };
    std::vector<Section> sections_;
};

// Outcome of reading an integer from a settings file.
enum class IniLookup {
    kMissing,  // file, section or key absent (or the file could not be decoded)
    kInvalid,  // key present but its value is not an integer
    kValue,    // key present with an integer value
};

// Reads and writes one settings file. Every call reads the file anew, so values
// written by another reader object or process are seen at once. Writes replace
// the file as a whole through a temporary file in the same folder, so a reader
// never sees half a file.
class CBaseIniReader {
public:
    explicit CBaseIniReader(std::wstring path);
    virtual ~CBaseIniReader();
    CBaseIniReader(const CBaseIniReader&) = delete;
    CBaseIniReader& operator=(const CBaseIniReader&) = delete;

    const std::wstring& path() const { return path_; }

    // True when the file exists (whether or not it can be decoded).
    bool Exists() const;

    // Looks `key` up in `section`. Sets *value only when the result is kValue; a
    // null `value` still reports what was found.
    IniLookup ReadInt(std::string_view section, std::string_view key, int64_t* value) const;
    // As above; *loaded is set to whether the file could be read and decoded, which
    // tells a key that is absent from a file that could not be read at all.
    IniLookup ReadInt(std::string_view section, std::string_view key, int64_t* value, bool* loaded) const;

    // The document the file holds: empty when the file is missing, unreadable or
    // cannot be decoded.
    IniDocument Load() const;

    // Sets `key` in `section` to `value` (decimal), keeping every other entry, and
    // creates the file when missing (not its folder). An undecodable file is
    // replaced by one holding only this value. Returns false when the file cannot
    // be written. The file is replaced as a whole; only where the folder refuses
    // the temporary file is it rewritten in place, and a failure there can leave
    // it undecodable (read as empty).
    bool WriteInt(std::string_view section, std::string_view key, int64_t value);

protected:
    // Turns file content into INI text; false when it cannot be decoded.
    virtual bool DecodeContent(std::string_view bytes, std::string* text) const;
    // Turns INI text into file content.
    virtual std::string EncodeContent(std::string_view text) const;

private:
    // Load, telling whether the file could be read and decoded.
    bool TryLoad(IniDocument* doc) const;

    std::wstring path_;
};

// The settings reader of the logger: content in the encoded form above.
class CObfuscatedIniReader : public CBaseIniReader {
public:
    explicit CObfuscatedIniReader(std::wstring path);

protected:
    bool DecodeContent(std::string_view bytes, std::string* text) const override;
    std::string EncodeContent(std::string_view text) const override;
};

}  // namespace tessary
