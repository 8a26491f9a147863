#include "updater/installation_id.h"

#include <windows.h>

#include <cstdio>

#include "Logging/log_builder.h"
#include "platform/contained_path.h"
#include "platform/unique_resource.h"
#include "store/data_paths.h"
#include "updater/staged_file.h"

namespace tessary {
namespace {

// The program's fixed client identifier, printed as three 32-bit values.
constexpr uint32_t kClientId[3] = {0x5d1e7a03, 0x9c42b86f, 0x31f0a7d4};
constexpr wchar_t kSource[] = L"TSUpdChk";

}  // namespace

std::string ClientGuid() {
    char text[32];
    std::snprintf(text, sizeof(text), "%08lx%08lx%08lx", static_cast<unsigned long>(kClientId[0]),
                  static_cast<unsigned long>(kClientId[1]), static_cast<unsigned long>(kClientId[2]));
    return text;
}

InstallationId::InstallationId(std::wstring path) : path_(std::move(path)) {}

std::wstring InstallationId::FilePath() const {
    if (!path_.empty()) return path_;
    const std::wstring file = ResolveDataPath(kInstallationIdName, DataBase::kCommonData);
    // Without the common data folder the name would be taken relative to the working directory.
    if (!IsContainedFullPath(file)) {
        TS_LOG(ETWLogging::kSeverityError, kSource, L"The common data folder could not be found, %s is not used",
               kInstallationIdName);
        return {};
    }
    return file;
}

bool InstallationId::Load() {
    const std::wstring file = FilePath();
    if (file.empty()) return false;
    UniqueFile handle(::CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!handle) return false;
    loaded_ = true;
    // One byte more than the file holds, so that a longer file shows.
    char bytes[kInstallationIdFileSize + 1] = {};
    DWORD got = 0;
    if (!::ReadFile(handle.get(), bytes, sizeof(bytes), &got, nullptr)) got = 0;
    if (const auto parts = DecodeInstallationIdFile(std::string_view(bytes, got))) {
        parts_ = *parts;
    } else {
        parts_ = {};
        TS_LOG(ETWLogging::kSeverityError, kSource,
               L"%s is not a valid installation identifier (%u bytes read, 20 expected, parts 1..0xFFFF), "
               L"no identifier is used",
               file.c_str(), static_cast<unsigned>(got));
    }
    return true;
}

bool InstallationId::Parse(std::string_view text) {
    const std::optional<InstallationIdParts> parsed = ParseInstallationIdText(text);
    if (!parsed || !IsValidInstallationId(*parsed)) return false;
    parts_ = *parsed;
    return true;
}

bool InstallationId::Save() {
    if (parts_ == std::array<uint32_t, 4>{}) return false;
    const auto bytes = EncodeInstallationIdFile(parts_, loaded_);
    loaded_ = false;
    const std::wstring file = FilePath();
    if (file.empty()) return false;
    // A whole new file or the old one: never a file cut short. Other accounts
    // may read the identity, never change it.
    return ReplaceFileWithBytes(file, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()),
                                security::Secured::kReadableFile);
}

bool InstallationId::Assign(std::string_view sixteen) {
    const bool parsed = AssignDeferred(sixteen);
    SavePending();
    return parsed;
}

bool InstallationId::AssignDeferred(std::string_view sixteen) {
    const std::optional<std::string> joined = JoinTsidGroups(sixteen);
    if (!joined) return false;
    // The save this assignment stands in for would have cleared the flag.
    if (savePending_ && parts_ != std::array<uint32_t, 4>{}) loaded_ = false;
    savePending_ = true;
    return Parse(*joined);
}

bool InstallationId::SavePending() {
    if (!savePending_) return true;
    savePending_ = false;
    return Save();
}

std::string InstallationId::Format() const { return FormatInstallationId(parts_); }

std::string InstallationId::ForRequest() {
    SavePending();
    if (!loaded_) Load();
    return Format();
}

std::string InstallationId::ForDownload() {
    SavePending();
    Load();
    return Format();
}

InstallationId& ProcessInstallationId() {
    static InstallationId id;
    return id;
}

}  // namespace tessary
