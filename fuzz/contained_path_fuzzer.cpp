// Names from the network decide where the update checker writes: a name accepted
// as contained never climbs out of its folder, never reaches a drive, stream or
// device, fits MAX_PATH, and gets the same verdict in UTF-16 as in narrow text;
// a full path accepted for a plug-in's download file has a contained rest.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "platform/contained_path.h"

namespace {

// A device element read independently: the part before the first dot, spaces
// trimmed, upper-cased, is one of the reserved names.
bool NamesDevice(std::string_view element) {
    std::string base(element.substr(0, element.find('.')));
    while (!base.empty() && base.back() == ' ') base.pop_back();
    while (!base.empty() && base.front() == ' ') base.erase(0, 1);
    for (char& c : base) c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
    for (const char* name : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
        if (base == name) return true;
    }
    return base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) && base[3] >= '1' &&
           base[3] <= '9';
}

void CheckContained(std::string_view name) {
    FUZZ_CHECK(!name.empty() && name.size() <= tessary::kMaxContainedPathChars);
    FUZZ_CHECK(!tessary::IsPathSeparator(name.front()) && !tessary::IsPathSeparator(name.back()));
    FUZZ_CHECK(tessary::fuzz::StaysBelow(name));
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find_first_of("\\/", start);
        if (end == std::string_view::npos) end = name.size();
        FUZZ_CHECK(!NamesDevice(name.substr(start, end - start)));
        start = end + 1;
    }
    for (char c : name) {
        FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20);
        FUZZ_CHECK(std::string_view("*?\"<>|:").find(c) == std::string_view::npos);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view name(reinterpret_cast<const char*>(data), data == nullptr ? 0 : size);

    const bool contained = tessary::IsContainedPath(name);
    if (contained) CheckContained(name);
    if (tessary::IsContainedFileName(name))
        FUZZ_CHECK(contained && name.find_first_of("\\/") == std::string_view::npos);

    // Bytes below 0x80 mean the same characters in UTF-16.
    bool ascii = true;
    for (char c : name) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (ascii) {
        const std::wstring wide(name.begin(), name.end());
        FUZZ_CHECK(tessary::CheckContainedPath(wide) == tessary::CheckContainedPath(name));
    }

    // The same bytes as UTF-16 units: a full path's rest after "X:\" or
    // "\\server\share\" is contained.
    const std::wstring units = tessary::fuzz::Utf16Units<wchar_t>(name);
    if (tessary::IsContainedFullPath(units)) {
        FUZZ_CHECK(units.size() <= tessary::kMaxContainedPathChars);
        std::wstring_view rest(units);
        if (rest.size() > 2 && rest[1] == L':') {
            rest.remove_prefix(3);
        } else {
            FUZZ_CHECK(tessary::IsPathSeparator(rest[0]) && tessary::IsPathSeparator(rest[1]));
            rest.remove_prefix(2);
            for (int part = 0; part < 2; ++part) {
                size_t end = 0;
                while (end < rest.size() && !tessary::IsPathSeparator(rest[end])) ++end;
                FUZZ_CHECK(end > 0 && end < rest.size());
                rest.remove_prefix(end + 1);
            }
        }
        FUZZ_CHECK(tessary::IsContainedPath(rest));
    }
    return 0;
}
