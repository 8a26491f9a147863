#include "updater/installation_id.h"

#include <windows.h>

#include <cstdio>

#include "platform/unique_resource.h"
#include "store/data_paths.h"

namespace tessary {
namespace {

// The program's fixed client identifier, printed as three 32-bit values.
constexpr uint32_t kClientId[3] = {0x5d1e7a03, 0x9c42b86f, 0x31f0a7d4};

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void PutLittleEndian(uint8_t* out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t GetLittleEndian(const uint8_t* in) {
    return uint32_t{in[0]} | uint32_t{in[1]} << 8 | uint32_t{in[2]} << 16 | uint32_t{in[3]} << 24;
}

}  // namespace

std::string ClientGuid() {
    char text[32];
    std::snprintf(text, sizeof(text), "%08lx%08lx%08lx", static_cast<unsigned long>(kClientId[0]),
                  static_cast<unsigned long>(kClientId[1]), static_cast<unsigned long>(kClientId[2]));
    return text;
}

InstallationId::InstallationId(std::wstring path) : path_(std::move(path)) {}

bool InstallationId::Load() {
    const std::wstring file = path_.empty() ? ResolveDataPath(kInstallationIdName, DataBase::kCommonData) : path_;
    UniqueFile handle(::CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!handle) return false;
    loaded_ = true;
    uint8_t bytes[kInstallationIdFileSize] = {};
    DWORD got = 0;
    if (!::ReadFile(handle.get(), bytes, sizeof(bytes), &got, nullptr) || got < 16) return true;
    for (size_t i = 0; i < parts_.size(); ++i) parts_[i] = GetLittleEndian(bytes + 4 * i);
    return true;
}

bool InstallationId::Parse(std::string_view text) {
    std::array<uint32_t, 4> values{};
    size_t pos = 0;
    for (size_t i = 0; i < values.size(); ++i) {
        if (i > 0) {
            // Step over what stopped the previous number, then over any separators.
            if (pos >= text.size()) return false;
            ++pos;
            while (pos < text.size() && HexValue(text[pos]) < 0) ++pos;
            if (pos >= text.size()) return false;
        }
        uint32_t value = 0;
        for (int digit; pos < text.size() && (digit = HexValue(text[pos])) >= 0; ++pos) {
            value = value * 16 + static_cast<uint32_t>(digit);
        }
        values[i] = value;
    }
    for (uint32_t value : values) {
        if (value == 0) return false;
    }
    parts_ = values;
    return true;
}

bool InstallationId::Save() {
    if (parts_ == std::array<uint32_t, 4>{}) return false;
    uint8_t bytes[kInstallationIdFileSize] = {};
    for (size_t i = 0; i < parts_.size(); ++i) PutLittleEndian(bytes + 4 * i, parts_[i]);
    PutLittleEndian(bytes + 16, loaded_ ? 1 : 0);
    loaded_ = false;
    const std::wstring file = path_.empty() ? ResolveDataPath(kInstallationIdName, DataBase::kCommonData) : path_;
    UniqueFile handle(
        ::CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!handle) return false;
    DWORD written = 0;
    return ::WriteFile(handle.get(), bytes, sizeof(bytes), &written, nullptr) && written == sizeof(bytes);
}

bool InstallationId::Assign(std::string_view sixteen) {
    if (sixteen.size() != 16) return false;
    std::string joined;
    joined.reserve(19);
    for (size_t group = 0; group < 4; ++group) {
        if (group > 0) joined.push_back('-');
        joined.append(sixteen.substr(group * 4, 4));
    }
    const bool parsed = Parse(joined);
    Save();
    return parsed;
}

std::string InstallationId::Format() const {
    char text[48];
    std::snprintf(text, sizeof(text), "%04lx%04lx%04lx%04lx", static_cast<unsigned long>(parts_[0]),
                  static_cast<unsigned long>(parts_[1]), static_cast<unsigned long>(parts_[2]),
                  static_cast<unsigned long>(parts_[3]));
    return text;
}

std::string InstallationId::ForRequest() {
    if (!loaded_) Load();
    return Format();
}

std::string InstallationId::ForDownload() {
    Load();
    return Format();
}

InstallationId& ProcessInstallationId() {
    static InstallationId id;
    return id;
}

}  // namespace tessary
