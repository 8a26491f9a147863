#include "platform/protected_ini.h"

#include <atomic>
#include <chrono>

#if defined(_WIN32)
#include <windows.h>

#include "platform/security_descriptor.h"
#include "platform/unique_resource.h"
#else
#include <cstdio>
#include <fstream>
#include <iterator>
#include <unistd.h>
#endif

namespace tessary {
namespace {

constexpr uint64_t kStreamKey = 0x5173A9D2E04B6C81ull;
constexpr uint64_t kTagKey = 0xC2B2AE3D27D4EB4Full;

uint64_t SplitMix64(uint64_t* state) {
    uint64_t z = (*state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

void PutLe32(std::string* out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out->push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

uint32_t GetLe32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

// XORs `size` bytes at `data` in place with the keystream of `salt`.
void ApplyKeystream(unsigned char* data, size_t size, uint32_t salt) {
    uint64_t state = kStreamKey ^ (static_cast<uint64_t>(salt) * 0x100000001ull);
    uint64_t word = 0;
    for (size_t i = 0; i < size; ++i) {
        if (i % 8 == 0) word = SplitMix64(&state);
        data[i] ^= static_cast<unsigned char>(word >> (8 * (i % 8)));
    }
}

uint64_t ComputeTag(uint32_t salt, uint32_t length, const unsigned char* text, size_t size) {
    uint64_t seed = kTagKey ^ salt;
    uint64_t h = SplitMix64(&seed);
    auto mix = [&h](unsigned char b) { h = (h ^ b) * 0x100000001B3ull; };
    for (int i = 0; i < 4; ++i) mix(static_cast<unsigned char>(length >> (8 * i)));
    for (size_t i = 0; i < size; ++i) mix(text[i]);
    uint64_t final_state = h ^ seed;
    return SplitMix64(&final_state);
}

uint32_t NextSalt() {
    static std::atomic<uint32_t> counter{0};
    auto ticks = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    uint64_t state = ticks ^ (static_cast<uint64_t>(counter.fetch_add(1)) << 32);
    return static_cast<uint32_t>(SplitMix64(&state));
}

char AsciiLowerChar(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (AsciiLowerChar(a[i]) != AsciiLowerChar(b[i])) return false;
    }
    return true;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

// Keeps every stored text on one line of the file and free of the characters
// that would change how it parses back. Trimmed after the line breaks become
// blanks, so the document in memory holds what a reader of the file gets back.
std::string OneLine(std::string_view s, bool isName) {
    std::string out(s);
    for (char& c : out) {
        if (c == '\r' || c == '\n' || c == '\0') c = ' ';
        if (isName && (c == '=' || c == '[' || c == ']')) c = '_';
    }
    return std::string(Trim(out));
}

}  // namespace

std::string EncodeProtectedIni(std::string_view text, uint32_t salt) {
    if (text.size() > kProtectedIniMaxText) return {};
    const auto length = static_cast<uint32_t>(text.size());
    std::string out;
    out.reserve(kProtectedIniOverhead + text.size());
    PutLe32(&out, kProtectedIniMagic);
    PutLe32(&out, salt);
    PutLe32(&out, length);
    const auto* clear = reinterpret_cast<const unsigned char*>(text.data());
    const uint64_t tag = ComputeTag(salt, length, clear, text.size());
    out.append(text);
    ApplyKeystream(reinterpret_cast<unsigned char*>(out.data()) + 12, text.size(), salt);
    PutLe32(&out, static_cast<uint32_t>(tag));
    PutLe32(&out, static_cast<uint32_t>(tag >> 32));
    return out;
}

bool DecodeProtectedIni(std::string_view bytes, std::string* text) {
    if (text == nullptr) return false;
    text->clear();
    if (bytes.size() < kProtectedIniOverhead) return false;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    if (GetLe32(p) != kProtectedIniMagic) return false;
    const uint32_t salt = GetLe32(p + 4);
    const uint32_t length = GetLe32(p + 8);
    if (length > kProtectedIniMaxText || bytes.size() != kProtectedIniOverhead + length) return false;
    std::string clear(bytes.substr(12, length));
    ApplyKeystream(reinterpret_cast<unsigned char*>(clear.data()), clear.size(), salt);
    const uint64_t expected = ComputeTag(salt, length, reinterpret_cast<const unsigned char*>(clear.data()), length);
    const uint64_t stored =
        static_cast<uint64_t>(GetLe32(p + 12 + length)) | (static_cast<uint64_t>(GetLe32(p + 16 + length)) << 32);
    if (stored != expected) return false;
    *text = std::move(clear);
    return true;
}

bool ParseIniInteger(std::string_view text, int64_t* value) noexcept {
    if (value == nullptr) return false;
    std::string_view s = Trim(text);
    bool negative = false;
    if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    unsigned base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s.remove_prefix(2);
    }
    if (s.empty()) return false;
    // Accumulate the magnitude; the limit allows INT64_MIN's magnitude for negatives.
    const uint64_t limit = negative ? (uint64_t{1} << 63) : (uint64_t{1} << 63) - 1;
    uint64_t magnitude = 0;
    for (char c : s) {
        unsigned digit;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned>(c - 'a' + 10);
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            digit = static_cast<unsigned>(c - 'A' + 10);
        } else {
            return false;
        }
        if (digit >= base) return false;
        if (magnitude > (limit - digit) / base) return false;
        magnitude = magnitude * base + digit;
    }
    *value = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
    return true;
}

IniDocument IniDocument::Parse(std::string_view text) {
    IniDocument doc;
    Section* current = nullptr;
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = Trim(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.empty() || line.front() == ';' || line.front() == '#') continue;
        if (line.front() == '[') {
            size_t close = line.find(']');
            if (close == std::string_view::npos) continue;
            std::string_view name = Trim(line.substr(1, close - 1));
            current = nullptr;
            for (Section& s : doc.sections_) {
                if (EqualsNoCase(s.name, name)) current = &s;
            }
            if (current == nullptr) {
                doc.sections_.push_back(Section{std::string(name), {}});
                current = &doc.sections_.back();
            }
            continue;
        }
        size_t eq = line.find('=');
        if (eq == std::string_view::npos) continue;
        std::string_view key = Trim(line.substr(0, eq));
        if (key.empty()) continue;
        if (current == nullptr) {
            doc.sections_.push_back(Section{std::string(), {}});
            current = &doc.sections_.back();
        }
        bool duplicate = false;
        for (const Entry& e : current->entries) duplicate = duplicate || EqualsNoCase(e.key, key);
        if (!duplicate) current->entries.push_back(Entry{std::string(key), std::string(Trim(line.substr(eq + 1)))});
    }
    return doc;
}

std::string IniDocument::Serialize() const {
    std::string out;
    for (const Section& s : sections_) {
        // Keys read before any section header are kept in an unnamed section that
        // is written first and without a header.
        if (!s.name.empty() || &s != &sections_.front()) {
            out += '[';
            out += s.name;
            out += "]\r\n";
        }
        for (const Entry& e : s.entries) {
            out += e.key;
            out += '=';
            out += e.value;
            out += "\r\n";
        }
    }
    return out;
}

const std::string* IniDocument::Find(std::string_view section, std::string_view key) const {
    for (const Section& s : sections_) {
        if (!EqualsNoCase(s.name, Trim(section))) continue;
        for (const Entry& e : s.entries) {
            if (EqualsNoCase(e.key, Trim(key))) return &e.value;
        }
    }
    return nullptr;
}

bool IniDocument::Set(std::string_view section, std::string_view key, std::string_view value) {
    const std::string name = OneLine(section, true);
    const std::string k = OneLine(key, true);
    // Such a line would be read back as a comment, or not at all: the value would be lost.
    if (k.empty() || k.front() == ';' || k.front() == '#') return false;
    const std::string v = OneLine(value, false);
    Section* target = nullptr;
    for (Section& s : sections_) {
        if (EqualsNoCase(s.name, name)) {
            target = &s;
            break;
        }
    }
    if (target == nullptr) {
        // An unnamed section can only be written back first, without a header.
        if (name.empty()) {
            sections_.insert(sections_.begin(), Section{std::string(), {}});
            target = &sections_.front();
        } else {
            sections_.push_back(Section{name, {}});
            target = &sections_.back();
        }
    }
    for (Entry& e : target->entries) {
        if (EqualsNoCase(e.key, k)) {
            e.value = v;
            return true;
        }
    }
    target->entries.push_back(Entry{k, v});
    return true;
}

namespace {

#if defined(_WIN32)

// Reads the whole file; false when it cannot be opened or read, or is larger
// than any settings file we write.
bool ReadWholeFile(const std::wstring& path, std::string* bytes) {
    UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(file.get(), &size)) return false;
    if (size.QuadPart < 0 || static_cast<uint64_t>(size.QuadPart) > kProtectedIniMaxText + kProtectedIniOverhead) {
        bytes->clear();
        return true;  // present, but cannot be one of ours
    }
    bytes->resize(static_cast<size_t>(size.QuadPart));
    size_t done = 0;
    while (done < bytes->size()) {
        DWORD got = 0;
        if (!::ReadFile(file.get(), bytes->data() + done, static_cast<DWORD>(bytes->size() - done), &got, nullptr)) {
            return false;
        }
        if (got == 0) break;
        done += got;
    }
    bytes->resize(done);
    return true;
}

bool WriteAll(HANDLE file, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        DWORD put = 0;
        if (!::WriteFile(file, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &put, nullptr) ||
            put == 0) {
            return false;
        }
        done += put;
    }
    return true;
}

bool ReplaceWholeFile(const std::wstring& path, const std::string& bytes) {
    static std::atomic<unsigned> counter{0};
    const std::wstring temp = path + L"." + std::to_wstring(::GetCurrentProcessId()) + L"." +
                              std::to_wstring(::GetCurrentThreadId()) + L"." + std::to_wstring(counter++) + L".tmp";
    // Settings files are read by every process that logs, whatever its account,
    // and written only by SYSTEM and administrators: the model's readable file.
    security::Descriptor descriptor = security::BuildDescriptor(security::Secured::kReadableFile);
    if (!descriptor) return false;
    {
        // A new file of our own (never one that exists, never through a link),
        // then renamed over the target: a rename replaces a link itself.
        security::ReportSecurityCall(security::SecurityCall::kCreateFile, temp, descriptor.get());
        UniqueFile file(::CreateFileW(temp.c_str(), GENERIC_WRITE, 0, descriptor.attributes(), CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (file) {
            const bool written = WriteAll(file.get(), bytes);
            file.reset();
            if (written &&
                ::MoveFileExW(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
                return true;
            }
            ::DeleteFileW(temp.c_str());
            if (!written) return false;
        }
    }
    // The folder may not allow new files, or the target may be held open without
    // delete sharing: write the file in place instead.
    security::ReportSecurityCall(security::SecurityCall::kCreateFile, path, descriptor.get());
    UniqueFile file(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  descriptor.attributes(), OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file) return false;
    // Written only when the opened file is a plain file with one name.
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(file.get(), &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 ||
        info.nNumberOfLinks > 1) {
        return false;
    }
    if (!WriteAll(file.get(), bytes)) return false;
    return ::SetEndOfFile(file.get()) != FALSE;
}

bool FileExists(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

#else

std::string NativePath(const std::wstring& path) {
    std::string out;
    for (wchar_t c : path) out.push_back(c < 0x80 ? static_cast<char>(c) : '_');
    return out;
}

bool ReadWholeFile(const std::wstring& path, std::string* bytes) {
    std::ifstream in(NativePath(path), std::ios::binary);
    if (!in) return false;
    bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

bool ReplaceWholeFile(const std::wstring& path, const std::string& bytes) {
    const std::string target = NativePath(path);
    const std::string temp = target + "." + std::to_string(::getpid()) + ".tmp";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (!out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()))) return false;
    }
    return std::rename(temp.c_str(), target.c_str()) == 0;
}

bool FileExists(const std::wstring& path) {
    std::ifstream in(NativePath(path), std::ios::binary);
    return static_cast<bool>(in);
}

#endif

}  // namespace

CBaseIniReader::CBaseIniReader(std::wstring path) : path_(std::move(path)) {}

CBaseIniReader::~CBaseIniReader() = default;

bool CBaseIniReader::Exists() const { return !path_.empty() && FileExists(path_); }

bool CBaseIniReader::TryLoad(IniDocument* doc) const {
    std::string bytes;
    std::string text;
    if (path_.empty() || !ReadWholeFile(path_, &bytes) || !DecodeContent(bytes, &text)) return false;
    *doc = IniDocument::Parse(text);
    return true;
}

IniDocument CBaseIniReader::Load() const {
    IniDocument doc;
    TryLoad(&doc);  // left empty when the file cannot be read or decoded
    return doc;
}

IniLookup CBaseIniReader::ReadInt(std::string_view section, std::string_view key, int64_t* value) const {
    bool loaded = false;
    return ReadInt(section, key, value, &loaded);
}

IniLookup CBaseIniReader::ReadInt(std::string_view section, std::string_view key, int64_t* value, bool* loaded) const {
    IniDocument doc;
    *loaded = TryLoad(&doc);
    const std::string* text = doc.Find(section, key);
    if (text == nullptr) return IniLookup::kMissing;
    int64_t parsed = 0;
    if (!ParseIniInteger(*text, &parsed)) return IniLookup::kInvalid;
    if (value != nullptr) *value = parsed;
    return IniLookup::kValue;
}

bool CBaseIniReader::WriteInt(std::string_view section, std::string_view key, int64_t value) {
    if (path_.empty()) return false;
    IniDocument doc = Load();
    if (!doc.Set(section, key, std::to_string(value))) return false;
    const std::string bytes = EncodeContent(doc.Serialize());
    return ReplaceWholeFile(path_, bytes);
}

bool CBaseIniReader::DecodeContent(std::string_view bytes, std::string* text) const {
    text->assign(bytes);
    return true;
}

std::string CBaseIniReader::EncodeContent(std::string_view text) const { return std::string(text); }

CObfuscatedIniReader::CObfuscatedIniReader(std::wstring path) : CBaseIniReader(std::move(path)) {}

bool CObfuscatedIniReader::DecodeContent(std::string_view bytes, std::string* text) const {
    return DecodeProtectedIni(bytes, text);
}

std::string CObfuscatedIniReader::EncodeContent(std::string_view text) const {
    return EncodeProtectedIni(text, NextSalt());
}

}  // namespace tessary
