#include "store/answer.h"

#include <string>

#include "platform/strings.h"

namespace tessary {
namespace {

struct Key {
    std::string_view text;
    std::string AppRecord::*field;
};

constexpr Key kKeys[] = {
    {"[Class]=", &AppRecord::className}, {"[AppName]=", &AppRecord::applicationName},
    {"[EXE]=", &AppRecord::exeName},     {"[Desc]=", &AppRecord::description},
    {"[MD5]=", &AppRecord::md5},
};

void ApplyField(AppRecord& record, std::string_view field) {
    field = field.substr(0, field.find(' '));
    for (const Key& key : kKeys) {
        if (AsciiFindIgnoreCase(field, key.text) == std::string_view::npos) continue;
        std::string value = key.field == &AppRecord::className ? AsciiUpper(field) : std::string(field);
        // The key may sit anywhere in the field, but the value is always what
        // follows the field's first key-length characters.
        record.*key.field = value.substr(key.text.size());
        return;
    }
}

}  // namespace

bool ParseAnswer(AppRecord& record, std::string_view text, bool requireEndMarker) {
    if (text.find("[Class]") == std::string_view::npos) return false;
    if (requireEndMarker && text.find("[end]=true") == std::string_view::npos) return false;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('|', pos);
        if (end == std::string_view::npos) end = text.size();
        if (end > pos) ApplyField(record, text.substr(pos, end - pos));
        pos = end + 1;
    }
    return true;
}

}  // namespace tessary
