#include "updater/command_file.h"

#include <algorithm>

#include "platform/strings.h"
#include "platform/contained_path.h"

namespace tessary {
namespace {

constexpr std::string_view kLineEnd = "\r\n";
constexpr std::string_view kFieldSeparator = "||";

bool IsLowerHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

// Replaces the first `placeholder` in `url` by "<separator><placeholder>=<value>".
bool Fill(std::string* url, std::string_view placeholder, bool separate, std::string_view value) {
    const size_t at = url->find(placeholder);
    if (at == std::string::npos) return false;
    std::string text = separate ? std::string(kFieldSeparator) : std::string();
    text.append(placeholder);
    text += '=';
    text.append(value);
    url->replace(at, placeholder.size(), text);
    return true;
}

}  // namespace

std::vector<CommandAction> CommandFileActions(std::string_view text) {
    std::vector<CommandAction> actions;
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t equals = text.find('=', pos);
        if (equals == std::string_view::npos) break;
        const std::string_view key = text.substr(pos, equals - pos);
        const std::string_view value = text.substr(equals + 1);
        const size_t lineEnd = value.find(kLineEnd);
        auto matches = [key](std::string_view keyword) {
            return key.size() <= keyword.size() && keyword.substr(0, key.size()) == key;
        };
        if (matches("TSID")) {
            if (lineEnd == kTsidValueChars) actions.push_back({CommandKeyword::kTsid, value.substr(0, lineEnd)});
        } else if (matches("FILE")) {
            actions.push_back({CommandKeyword::kFile, value});
        } else if (matches("HFILE")) {
            actions.push_back({CommandKeyword::kHFile, value});
        }
        if (lineEnd == std::string_view::npos) break;
        pos = equals + 1 + lineEnd + kLineEnd.size();
    }
    return actions;
}

std::optional<FileEntry> SplitFileEntry(std::string_view value) {
    const size_t urlEnd = value.find(kFieldSeparator);
    const size_t lineEnd = value.find(kLineEnd);
    if (urlEnd == std::string_view::npos || (lineEnd != std::string_view::npos && lineEnd < urlEnd) ||
        urlEnd > kMaxEntryUrlChars) {
        return std::nullopt;
    }
    FileEntry entry;
    entry.url.assign(value.substr(0, urlEnd));
    const std::string_view rest = value.substr(urlEnd + kFieldSeparator.size());
    const size_t pathEnd = std::min(rest.find(kFieldSeparator), rest.find(kLineEnd));
    entry.path.assign(rest.substr(0, pathEnd));
    if (pathEnd == std::string_view::npos) return entry;

    // Both separators are two characters; the age follows whichever ended the path.
    const std::string age = AsciiLower(rest.substr(pathEnd + 2, 8));
    bool allHex = !age.empty();
    bool allF = true;
    uint32_t minutes = 0;
    for (char c : age) {
        allHex = allHex && IsLowerHexDigit(c);
        allF = allF && c == 'f';
        if (allHex) minutes = minutes * 16 + static_cast<uint32_t>(c <= '9' ? c - '0' : c - 'a' + 10);
    }
    if (allHex && !allF) entry.minimumAgeMinutes = minutes;
    return entry;
}

bool IsSendableEntryUrl(std::string_view url) {
    return std::none_of(url.begin(), url.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; });
}

std::optional<std::string> SummaryFileName(std::string_view path) {
    const std::string lower = AsciiLower(path);
    const size_t at = lower.find(kSummaryPrefix);
    if (at == std::string::npos) return std::nullopt;
    return lower.substr(at + std::string_view(kSummaryPrefix).size());
}

std::optional<EntryDestination> EntryDestinationOf(std::string_view path) {
    if (path.find("..") != std::string_view::npos || !IsContainedPath(path)) return std::nullopt;
    if (std::optional<std::string> summary = SummaryFileName(path)) {
        if (!IsContainedPath(*summary)) return std::nullopt;
        return EntryDestination{EntryBase::kCommonData, std::move(*summary)};
    }
    return EntryDestination{EntryBase::kProgramDirectory, std::string(path)};
}

std::string FillEntryUrl(std::string_view url, std::string_view guid, const std::function<std::string()>& tsid,
                         std::string_view language) {
    std::string filled(url);
    const bool guidFilled = Fill(&filled, "[guid]", false, guid);
    bool tsidFilled = false;
    if (filled.find("[tsid]") != std::string::npos && tsid) tsidFilled = Fill(&filled, "[tsid]", guidFilled, tsid());
    Fill(&filled, "[lang]", guidFilled || tsidFilled, language);
    return filled;
}

}  // namespace tessary
