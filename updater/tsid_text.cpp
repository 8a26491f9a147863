#include "updater/tsid_text.h"

#include <cstdio>

namespace tessary {
namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void PutLittleEndian(uint8_t* out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t GetLittleEndian(const unsigned char* in) {
    return uint32_t{in[0]} | uint32_t{in[1]} << 8 | uint32_t{in[2]} << 16 | uint32_t{in[3]} << 24;
}

}  // namespace

std::optional<InstallationIdParts> ParseInstallationIdText(std::string_view text) {
    InstallationIdParts values{};
    size_t pos = 0;
    for (size_t i = 0; i < values.size(); ++i) {
        if (i > 0) {
            // Step over what stopped the previous number, then over any separators.
            if (pos >= text.size()) return std::nullopt;
            ++pos;
            while (pos < text.size() && HexValue(text[pos]) < 0) ++pos;
            if (pos >= text.size()) return std::nullopt;
        }
        uint32_t value = 0;
        for (int digit; pos < text.size() && (digit = HexValue(text[pos])) >= 0; ++pos) {
            value = value * 16 + static_cast<uint32_t>(digit);
        }
        values[i] = value;
    }
    for (uint32_t value : values) {
        if (value == 0) return std::nullopt;
    }
    return values;
}

std::optional<std::string> JoinTsidGroups(std::string_view sixteen) {
    if (sixteen.size() != 16) return std::nullopt;
    std::string joined;
    joined.reserve(19);
    for (size_t group = 0; group < 4; ++group) {
        if (group > 0) joined.push_back('-');
        joined.append(sixteen.substr(group * 4, 4));
    }
    return joined;
}

bool IsValidInstallationId(const InstallationIdParts& parts) {
    for (uint32_t part : parts) {
        if (part == 0 || part > 0xFFFF) return false;
    }
    return true;
}

std::string FormatInstallationId(const InstallationIdParts& parts) {
    if (!IsValidInstallationId(parts)) return std::string(16, '0');
    char text[48];
    std::snprintf(text, sizeof(text), "%04lx%04lx%04lx%04lx", static_cast<unsigned long>(parts[0]),
                  static_cast<unsigned long>(parts[1]), static_cast<unsigned long>(parts[2]),
                  static_cast<unsigned long>(parts[3]));
    return text;
}

std::array<uint8_t, kInstallationIdFileSize> EncodeInstallationIdFile(const InstallationIdParts& parts,
                                                                      bool loadedFromFile) {
    std::array<uint8_t, kInstallationIdFileSize> bytes{};
    for (size_t i = 0; i < parts.size(); ++i) PutLittleEndian(bytes.data() + 4 * i, parts[i]);
    PutLittleEndian(bytes.data() + kInstallationIdPartBytes, loadedFromFile ? 1 : 0);
    return bytes;
}

std::optional<InstallationIdParts> DecodeInstallationIdFile(std::string_view bytes) {
    if (bytes.size() != kInstallationIdFileSize) return std::nullopt;
    const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
    InstallationIdParts parts{};
    for (size_t i = 0; i < parts.size(); ++i) parts[i] = GetLittleEndian(in + 4 * i);
    if (!IsValidInstallationId(parts)) return std::nullopt;
    return parts;
}

}  // namespace tessary
