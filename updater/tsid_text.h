#pragma once

// The installation identifier as text and as the bytes of its file: parsing a
// "TSID" value, the request form, and the 20-byte file layout. The file and the
// value come from outside the program (the disk, the service). Portable (no
// Windows headers); installation_id.cpp does the file access.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tessary {

// The four parts of an installation identifier; all 0 when none is known.
using InstallationIdParts = std::array<uint32_t, 4>;

// Size of the identifier file: four parts and the reserved word, little-endian.
inline constexpr size_t kInstallationIdFileSize = 20;
// Leading bytes of the identifier file that hold the parts.
inline constexpr size_t kInstallationIdPartBytes = 16;

// Four hexadecimal numbers separated by non-hexadecimal characters
// ("0001-0002-0003-00a4"): after each number the character that stopped it and
// any further non-hexadecimal characters are skipped. Nothing unless all four
// are present and non-zero. A number longer than eight digits keeps its low 32
// bits.
std::optional<InstallationIdParts> ParseInstallationIdText(std::string_view text);

// A "TSID" command-file value of exactly 16 characters as its four groups of
// four joined with "-" (19 characters); nothing for a value of another length.
std::optional<std::string> JoinTsidGroups(std::string_view sixteen);

// True when every part lies in 1..0xFFFF (an assigned identifier).
bool IsValidInstallationId(const InstallationIdParts& parts);

// The parts as "%04lx%04lx%04lx%04lx": 16 lower-case hexadecimal digits for a
// valid identifier, sixteen zeros for any other (none, or a part outside
// 1..0xFFFF), so the text never has more than four digits a part.
std::string FormatInstallationId(const InstallationIdParts& parts);

// The 20 bytes of the identifier file: the parts, then the reserved word (1 when
// the parts had been read from the file earlier, else 0), all little-endian.
std::array<uint8_t, kInstallationIdFileSize> EncodeInstallationIdFile(const InstallationIdParts& parts,
                                                                      bool loadedFromFile);

// The parts held by the first 16 of `bytes`, the whole file (the reserved word
// is ignored); nothing unless it is exactly kInstallationIdFileSize bytes long
// and every part lies in 1..0xFFFF.
std::optional<InstallationIdParts> DecodeInstallationIdFile(std::string_view bytes);

}  // namespace tessary
