#include "platform/registry.h"

#include <atomic>
#include <cstring>

#include "platform/platform_log.h"
#include "platform/protected_value.h"
#include "platform/unique_resource.h"

namespace tessary::registry {
namespace {

constexpr REGSAM kView = KEY_WOW64_64KEY;
// A value can change size between the size query and the read; give up after this many tries.
constexpr int kReadAttempts = 8;

const wchar_t* OrEmpty(const wchar_t* subkey) { return subkey != nullptr ? subkey : L""; }
const wchar_t* ValueName(const wchar_t* value) { return value != nullptr && *value != L'\0' ? value : L"(default)"; }

LSTATUS OpenKey(HKEY root, const wchar_t* subkey, REGSAM access, UniqueRegKey* key) {
    return ::RegOpenKeyExW(root, OrEmpty(subkey), 0, access | kView, key->put());
}

LSTATUS CreateKey(HKEY root, const wchar_t* subkey, UniqueRegKey* key) {
    return ::RegCreateKeyExW(root, OrEmpty(subkey), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE | kView, nullptr,
                             key->put(), nullptr);
}

bool SetValue(HKEY root, const wchar_t* subkey, const wchar_t* value, DWORD type, const void* data, size_t size) {
    if (size > MAXDWORD || (data == nullptr && size != 0)) return false;
    UniqueRegKey key;
    LSTATUS status = CreateKey(root, subkey, &key);
    if (status == ERROR_SUCCESS) {
        status = ::RegSetValueExW(key.get(), value, 0, type, static_cast<const BYTE*>(data), static_cast<DWORD>(size));
    }
    if (status != ERROR_SUCCESS) {
        PLATFORM_REPORT(platform_log::kWarning, L"Cannot write registry value %s of %s: error %ld.", ValueName(value),
                        OrEmpty(subkey), static_cast<long>(status));
        return false;
    }
    return true;
}

// Varies the keystream of each protected write. Uniqueness helps hide equal values;
// it carries no secret.
uint32_t NewSalt() {
    static std::atomic<uint32_t> counter{0};
    LARGE_INTEGER ticks{};
    ::QueryPerformanceCounter(&ticks);
    uint64_t x = static_cast<uint64_t>(ticks.QuadPart) ^ (uint64_t{::GetCurrentProcessId()} << 32) ^
                 ::GetTickCount64() ^ (uint64_t{counter.fetch_add(1)} * 0x9e3779b97f4a7c15ull);
    x ^= x >> 31;
    x *= 0xbf58476d1ce4e5b9ull;
    x ^= x >> 29;
    return static_cast<uint32_t>(x ^ (x >> 32));
}

bool WriteProtected(HKEY root, const wchar_t* subkey, const wchar_t* value, DWORD type, const void* data, size_t size) {
    std::vector<uint8_t> blob =
        ProtectValue(value != nullptr ? value : L"", type, static_cast<const uint8_t*>(data), size, NewSalt());
    if (blob.empty()) return false;
    return SetValue(root, subkey, value, REG_BINARY, blob.data(), blob.size());
}

// Reads and decodes a protected value whose inner type must be `expectedType`.
bool ReadProtected(HKEY root, const wchar_t* subkey, const wchar_t* value, DWORD expectedType,
                   std::vector<uint8_t>* clear) {
    std::vector<uint8_t> blob;
    if (!ReadBinary(root, subkey, value, &blob)) return false;
    uint32_t type = 0;
    if (!UnprotectValue(value != nullptr ? value : L"", blob.data(), blob.size(), &type, clear) ||
        type != expectedType) {
        clear->clear();
        PLATFORM_REPORT(platform_log::kWarning,
                        L"Protected registry value %s of %s is unreadable; it counts as absent.", ValueName(value),
                        OrEmpty(subkey));
        return false;
    }
    return true;
}

}  // namespace

ReadResult QueryRawValue(HKEY root, const wchar_t* subkey, const wchar_t* value, DWORD* type,
                         std::vector<uint8_t>* data, REGSAM access, size_t maxBytes, LSTATUS* status) {
    LSTATUS ignored = ERROR_SUCCESS;
    LSTATUS& code = status != nullptr ? *status : ignored;
    if (type == nullptr || data == nullptr) {
        code = ERROR_INVALID_PARAMETER;
        return ReadResult::kValueFailed;
    }
    *type = REG_NONE;
    data->clear();
    UniqueRegKey key;
    code = OpenKey(root, subkey, access, &key);
    if (code == ERROR_FILE_NOT_FOUND) return ReadResult::kKeyAbsent;
    if (code != ERROR_SUCCESS) {
        PLATFORM_REPORT(platform_log::kWarning, L"Cannot open registry key %s (access 0x%lx): error %ld.",
                        OrEmpty(subkey), static_cast<unsigned long>(access), static_cast<long>(code));
        return ReadResult::kKeyFailed;
    }
    // Every failure below reads the value; a value larger than the caller's bound
    // or one that keeps changing size also ends here.
    auto valueFailed = [&](LSTATUS error) {
        code = error;
        PLATFORM_REPORT(platform_log::kWarning, L"Cannot read registry value %s of %s: error %ld.", ValueName(value),
                        OrEmpty(subkey), static_cast<long>(error));
        return ReadResult::kValueFailed;
    };

    std::vector<uint8_t> buffer;
    for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
        DWORD size = 0;
        DWORD valueType = REG_NONE;
        code = ::RegQueryValueExW(key.get(), value, nullptr, &valueType, nullptr, &size);
        if (code == ERROR_FILE_NOT_FOUND) return ReadResult::kValueAbsent;
        if (code != ERROR_SUCCESS) return valueFailed(code);
        if (size > maxBytes) return valueFailed(ERROR_MORE_DATA);
        buffer.resize(size);
        code =
            ::RegQueryValueExW(key.get(), value, nullptr, &valueType, buffer.empty() ? nullptr : buffer.data(), &size);
        if (code == ERROR_MORE_DATA) continue;
        if (code == ERROR_FILE_NOT_FOUND) return ReadResult::kValueAbsent;
        if (code != ERROR_SUCCESS) return valueFailed(code);
        buffer.resize(size);
        *type = valueType;
        *data = std::move(buffer);
        return ReadResult::kRead;
    }
    return valueFailed(ERROR_MORE_DATA);
}

ReadResult QueryDword(HKEY root, const wchar_t* subkey, const wchar_t* value, DWORD* out, REGSAM access) {
    if (out == nullptr) return ReadResult::kValueFailed;
    *out = 0;
    DWORD type = REG_NONE;
    std::vector<uint8_t> data;
    const ReadResult result = QueryRawValue(root, subkey, value, &type, &data, access);
    if (result != ReadResult::kRead) return result;
    if (type != REG_DWORD || data.size() != sizeof(DWORD)) return ReadResult::kWrongType;
    std::memcpy(out, data.data(), sizeof(DWORD));
    return ReadResult::kRead;
}

bool ReadRawValue(HKEY root, const wchar_t* subkey, const wchar_t* value, DWORD* type, std::vector<uint8_t>* data) {
    if (type == nullptr || data == nullptr) return false;
    return QueryRawValue(root, subkey, value, type, data) == ReadResult::kRead;
}

bool ReadString(HKEY root, const wchar_t* subkey, const wchar_t* value, std::wstring* out) {
    if (out == nullptr) return false;
    out->clear();
    DWORD type = REG_NONE;
    std::vector<uint8_t> data;
    if (!ReadRawValue(root, subkey, value, &type, &data)) return false;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
    std::wstring text(data.size() / sizeof(wchar_t), L'\0');
    if (!text.empty()) std::memcpy(text.data(), data.data(), text.size() * sizeof(wchar_t));
    const size_t end = text.find(L'\0');
    if (end != std::wstring::npos) text.resize(end);
    *out = std::move(text);
    return true;
}

bool ReadDword(HKEY root, const wchar_t* subkey, const wchar_t* value, DWORD* out) {
    return QueryDword(root, subkey, value, out) == ReadResult::kRead;
}

bool ReadBinary(HKEY root, const wchar_t* subkey, const wchar_t* value, std::vector<uint8_t>* out) {
    if (out == nullptr) return false;
    out->clear();
    DWORD type = REG_NONE;
    std::vector<uint8_t> data;
    if (!ReadRawValue(root, subkey, value, &type, &data) || type != REG_BINARY) return false;
    *out = std::move(data);
    return true;
}

bool WriteString(HKEY root, const wchar_t* subkey, const wchar_t* value, std::wstring_view text, bool withTerminator) {
    std::wstring buffer(text);
    size_t bytes = (buffer.size() + 1) * sizeof(wchar_t);
    if (!withTerminator) {
        // RegSetValueExW adds a terminator the size leaves out when one follows the
        // string in memory; a non-zero character behind the text keeps it out.
        buffer.push_back(L'?');
        bytes = text.size() * sizeof(wchar_t);
    }
    return SetValue(root, subkey, value, REG_SZ, buffer.c_str(), bytes);
}

bool WriteDword(HKEY root, const wchar_t* subkey, const wchar_t* value, DWORD data) {
    return SetValue(root, subkey, value, REG_DWORD, &data, sizeof(data));
}

bool WriteBinary(HKEY root, const wchar_t* subkey, const wchar_t* value, const uint8_t* data, size_t size) {
    return SetValue(root, subkey, value, REG_BINARY, data, size);
}

bool DeleteValue(HKEY root, const wchar_t* subkey, const wchar_t* value) {
    UniqueRegKey key;
    LSTATUS status = OpenKey(root, subkey, KEY_SET_VALUE, &key);
    if (status == ERROR_FILE_NOT_FOUND) return true;
    if (status == ERROR_SUCCESS) status = ::RegDeleteValueW(key.get(), value);
    if (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) return true;
    PLATFORM_REPORT(platform_log::kWarning, L"Cannot delete registry value %s of %s: error %ld.", ValueName(value),
                    OrEmpty(subkey), static_cast<long>(status));
    return false;
}

bool DeleteKeyTree(HKEY root, const wchar_t* subkey) {
    if (subkey == nullptr || *subkey == L'\0') return false;
    UniqueRegKey key;
    LSTATUS status = OpenKey(root, subkey, DELETE | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | KEY_SET_VALUE, &key);
    if (status == ERROR_FILE_NOT_FOUND) return true;
    // RegDeleteTreeW with no subkey empties the key but leaves the key itself;
    // RegDeleteKeyExW then removes it in the same registry view.
    if (status == ERROR_SUCCESS) status = ::RegDeleteTreeW(key.get(), nullptr);
    if (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) {
        key.reset();
        status = ::RegDeleteKeyExW(root, subkey, kView, 0);
    }
    if (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) return true;
    PLATFORM_REPORT(platform_log::kWarning, L"Cannot delete registry key %s: error %ld.", subkey,
                    static_cast<long>(status));
    return false;
}

bool KeyExists(HKEY root, const wchar_t* subkey) {
    UniqueRegKey key;
    return OpenKey(root, subkey, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS;
}

bool ReadProtectedDword(HKEY root, const wchar_t* subkey, const wchar_t* value, DWORD* out) {
    if (out == nullptr) return false;
    *out = 0;
    std::vector<uint8_t> clear;
    if (!ReadProtected(root, subkey, value, REG_DWORD, &clear) || clear.size() != sizeof(DWORD)) return false;
    std::memcpy(out, clear.data(), sizeof(DWORD));
    return true;
}

bool WriteProtectedDword(HKEY root, const wchar_t* subkey, const wchar_t* value, DWORD data) {
    return WriteProtected(root, subkey, value, REG_DWORD, &data, sizeof(data));
}

bool ReadProtectedString(HKEY root, const wchar_t* subkey, const wchar_t* value, std::wstring* out) {
    if (out == nullptr) return false;
    out->clear();
    std::vector<uint8_t> clear;
    if (!ReadProtected(root, subkey, value, REG_SZ, &clear) || clear.size() % sizeof(wchar_t) != 0) return false;
    std::wstring text(clear.size() / sizeof(wchar_t), L'\0');
    if (!text.empty()) std::memcpy(text.data(), clear.data(), clear.size());
    *out = std::move(text);
    return true;
}

bool WriteProtectedString(HKEY root, const wchar_t* subkey, const wchar_t* value, std::wstring_view text) {
    return WriteProtected(root, subkey, value, REG_SZ, text.data(), text.size() * sizeof(wchar_t));
}

bool ReadProtectedTime(HKEY root, const wchar_t* subkey, const wchar_t* value, int64_t* out) {
    if (out == nullptr) return false;
    *out = 0;
    std::vector<uint8_t> clear;
    if (!ReadProtected(root, subkey, value, REG_QWORD, &clear) || clear.size() != sizeof(int64_t)) return false;
    std::memcpy(out, clear.data(), sizeof(int64_t));
    return true;
}

bool WriteProtectedTime(HKEY root, const wchar_t* subkey, const wchar_t* value, int64_t seconds) {
    return WriteProtected(root, subkey, value, REG_QWORD, &seconds, sizeof(seconds));
}

}  // namespace tessary::registry
