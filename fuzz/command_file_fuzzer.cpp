// Command files are the manifest service's answer: walking any text gives actions
// whose values lie inside the text where the line rules put them, and each FILE or
// HFILE value either is refused or gives fields that respect the entry format, a
// path accepted for joining that stays below its directory, and a url whose
// placeholders are filled without bringing in anything else.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "updater/command_file.h"

using tessary::CommandAction;
using tessary::CommandKeyword;

namespace {

constexpr char kGuid[] = "5d1e7a039c42b86f31f0a7d4";
constexpr char kTsid[] = "00010002000300a4";

bool HasControlCharacter(std::string_view text) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) < 0x20) return true;
    }
    return false;
}

void CheckEntry(std::string_view value) {
    const auto entry = tessary::SplitFileEntry(value);
    if (!entry) return;
    FUZZ_CHECK(entry->url.size() <= tessary::kMaxEntryUrlChars);
    FUZZ_CHECK(value.substr(0, entry->url.size() + 2) == entry->url + "||");
    FUZZ_CHECK(entry->url.find("||") == std::string::npos && entry->url.find("\r\n") == std::string::npos);
    FUZZ_CHECK(value.substr(entry->url.size() + 2, entry->path.size()) == entry->path);
    FUZZ_CHECK(entry->path.find("||") == std::string::npos && entry->path.find("\r\n") == std::string::npos);

    if (const auto destination = tessary::EntryDestinationOf(entry->path)) {
        FUZZ_CHECK(!entry->path.empty() && !HasControlCharacter(entry->path));
        FUZZ_CHECK(entry->path.front() != '\\' && entry->path.front() != '/');
        FUZZ_CHECK(entry->path.find("..") == std::string::npos && tessary::fuzz::StaysBelow(entry->path));
        const std::string& name = destination->relative;
        FUZZ_CHECK(!name.empty() && name.front() != '\\' && name.front() != '/');
        FUZZ_CHECK(tessary::fuzz::StaysBelow(name) && !HasControlCharacter(name));
        if (destination->base == tessary::EntryBase::kCommonData) FUZZ_CHECK(name.size() < entry->path.size());
    }

    if (!tessary::IsSendableEntryUrl(entry->url)) {
        FUZZ_CHECK(HasControlCharacter(entry->url));
        return;
    }
    bool tsidAsked = false;
    const std::string url = tessary::FillEntryUrl(
        entry->url, kGuid,
        [&tsidAsked] {
            tsidAsked = true;
            return std::string(kTsid);
        },
        "en");
    FUZZ_CHECK(tsidAsked == (entry->url.find("[tsid]") != std::string::npos));
    FUZZ_CHECK(!HasControlCharacter(url));
    // Each placeholder adds at most its separator, "=" and its value.
    FUZZ_CHECK(url.size() >= entry->url.size());
    FUZZ_CHECK(url.size() <=
               entry->url.size() + (2 + 1 + sizeof(kGuid) - 1) + (2 + 1 + sizeof(kTsid) - 1) + (2 + 1 + 2));
    if (entry->url.find('[') == std::string::npos) FUZZ_CHECK(url == entry->url);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), data == nullptr ? 0 : size);
    size_t equalsSigns = 0;
    for (char c : text) equalsSigns += c == '=';

    const auto actions = tessary::CommandFileActions(text);
    FUZZ_CHECK(actions.size() <= equalsSigns);
    const char* previous = nullptr;
    for (const CommandAction& action : actions) {
        FUZZ_CHECK(action.value.data() > text.data() && action.value.data() <= text.data() + text.size());
        FUZZ_CHECK(action.value.data() + action.value.size() <= text.data() + text.size());
        FUZZ_CHECK(action.value.data()[-1] == '=');
        FUZZ_CHECK(previous == nullptr || action.value.data() > previous);
        previous = action.value.data();
        if (action.keyword == CommandKeyword::kTsid) {
            FUZZ_CHECK(action.value.size() == tessary::kTsidValueChars);
            FUZZ_CHECK(action.value.find("\r\n") == std::string_view::npos);
            const size_t after = action.value.data() + action.value.size() - text.data();
            FUZZ_CHECK(text.substr(after, 2) == "\r\n");
        } else {
            FUZZ_CHECK(action.value.data() + action.value.size() == text.data() + text.size());
            CheckEntry(action.value);
        }
    }
    // The same walk over the same text gives the same actions.
    FUZZ_CHECK(tessary::CommandFileActions(text).size() == actions.size());
    return 0;
}
