#include "component/com_registrar.h"

#include <cwctype>
#include <memory>
#include <new>
#include <optional>

#include "platform/result_macros.h"
#include "platform/strings.h"
#include "platform/unique_resource.h"

namespace tessary {
namespace {

constexpr HRESULT kMalformed = HRESULT_FROM_WIN32(ERROR_INVALID_DATA);

enum class KeyFlag { kNone, kNoRemove, kForceRemove };

struct ValueData {
    DWORD type = REG_SZ;
    std::wstring text;
    DWORD number = 0;
};

// A key (with its optional default value and its entries) or a named value, in
// script order.
struct ScriptNode {
    bool isValue = false;
    std::wstring name;
    KeyFlag flag = KeyFlag::kNone;
    std::optional<ValueData> data;  // the named value's data, or the key's default value
    std::vector<ScriptNode> children;
};

struct ScriptRoot {
    HKEY root;
    std::vector<ScriptNode> entries;
};

bool EqualsIgnoreCase(std::wstring_view a, std::wstring_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::towlower(a[i]) != std::towlower(b[i])) return false;
    }
    return true;
}

// Replaces every "%NAME%" and "%%"; false for an unknown or unterminated name.
bool Substitute(std::wstring_view script, const std::vector<ScriptReplacement>& replacements, std::wstring* out) {
    out->clear();
    out->reserve(script.size());
    for (size_t i = 0; i < script.size(); ++i) {
        if (script[i] != L'%') {
            out->push_back(script[i]);
            continue;
        }
        size_t end = script.find(L'%', i + 1);
        if (end == std::wstring_view::npos) return false;
        std::wstring_view name = script.substr(i + 1, end - i - 1);
        if (name.empty()) {
            out->push_back(L'%');
        } else {
            const ScriptReplacement* found = nullptr;
            for (const ScriptReplacement& r : replacements) {
                if (EqualsIgnoreCase(r.name, name)) found = &r;
            }
            if (found == nullptr) return false;
            out->append(found->value);
        }
        i = end;
    }
    return true;
}

struct Token {
    enum Kind { kEnd, kOpen, kClose, kEquals, kWord, kQuoted } kind = kEnd;
    std::wstring text;
};

class Parser {
public:
    explicit Parser(std::wstring_view text) : text_(text) {}

    bool ParseScript(std::vector<ScriptRoot>* roots) {
        for (;;) {
            Token t = Next();
            if (t.kind == Token::kEnd) return true;
            if (t.kind != Token::kWord) return false;
            ScriptRoot root{RootKey(t.text), {}};
            if (root.root == nullptr) return false;
            if (Next().kind != Token::kOpen) return false;
            if (!ParseBody(&root.entries)) return false;
            roots->push_back(std::move(root));
        }
    }

private:
    static HKEY RootKey(std::wstring_view name) {
        if (EqualsIgnoreCase(name, L"HKCR") || EqualsIgnoreCase(name, L"HKEY_CLASSES_ROOT")) return HKEY_CLASSES_ROOT;
        if (EqualsIgnoreCase(name, L"HKLM") || EqualsIgnoreCase(name, L"HKEY_LOCAL_MACHINE")) return HKEY_LOCAL_MACHINE;
        if (EqualsIgnoreCase(name, L"HKCU") || EqualsIgnoreCase(name, L"HKEY_CURRENT_USER")) return HKEY_CURRENT_USER;
        return nullptr;
    }

    // Parses entries up to and including the closing brace.
    bool ParseBody(std::vector<ScriptNode>* entries) {
        for (;;) {
            Token t = Next();
            if (t.kind == Token::kClose) return true;
            if (t.kind != Token::kWord && t.kind != Token::kQuoted) return false;
            if (t.kind == Token::kWord && EqualsIgnoreCase(t.text, L"val")) {
                ScriptNode value;
                value.isValue = true;
                Token name = Next();
                if (name.kind != Token::kWord && name.kind != Token::kQuoted) return false;
                value.name = std::move(name.text);
                ValueData data;
                if (Next().kind != Token::kEquals || !ParseData(&data)) return false;
                value.data = std::move(data);
                entries->push_back(std::move(value));
                continue;
            }
            ScriptNode key;
            if (t.kind == Token::kWord && EqualsIgnoreCase(t.text, L"NoRemove")) {
                key.flag = KeyFlag::kNoRemove;
                t = Next();
            } else if (t.kind == Token::kWord && EqualsIgnoreCase(t.text, L"ForceRemove")) {
                key.flag = KeyFlag::kForceRemove;
                t = Next();
            } else if (t.kind == Token::kWord && EqualsIgnoreCase(t.text, L"Delete")) {
                return false;  // not used by our scripts
            }
            if ((t.kind != Token::kWord && t.kind != Token::kQuoted) || t.text.empty()) return false;
            key.name = std::move(t.text);
            size_t mark = pos_;
            Token after = Next();
            if (after.kind == Token::kEquals) {
                ValueData data;
                if (!ParseData(&data)) return false;
                key.data = std::move(data);
                mark = pos_;
                after = Next();
            }
            if (after.kind == Token::kOpen) {
                if (!ParseBody(&key.children)) return false;
            } else {
                pos_ = mark;  // not ours: the next entry or the closing brace
            }
            entries->push_back(std::move(key));
        }
    }

    bool ParseData(ValueData* data) {
        Token type = Next();
        Token value = Next();
        if (type.kind != Token::kWord || (value.kind != Token::kWord && value.kind != Token::kQuoted)) return false;
        if (EqualsIgnoreCase(type.text, L"s")) {
            data->type = REG_SZ;
            data->text = std::move(value.text);
            return true;
        }
        if (EqualsIgnoreCase(type.text, L"d")) {
            wchar_t* end = nullptr;
            unsigned long number = std::wcstoul(value.text.c_str(), &end, 0);
            if (value.text.empty() || *end != L'\0') return false;
            data->type = REG_DWORD;
            data->number = static_cast<DWORD>(number);
            return true;
        }
        return false;
    }

    Token Next() {
        while (pos_ < text_.size() && std::iswspace(text_[pos_])) ++pos_;
        Token t;
        if (pos_ >= text_.size()) return t;
        wchar_t c = text_[pos_];
        if (c == L'{' || c == L'}' || c == L'=') {
            ++pos_;
            t.kind = c == L'{' ? Token::kOpen : c == L'}' ? Token::kClose : Token::kEquals;
            return t;
        }
        if (c == L'\'') {
            ++pos_;
            for (;;) {
                if (pos_ >= text_.size()) return Token{Token::kEnd, {}};  // unterminated: caller fails
                if (text_[pos_] == L'\'') {
                    if (pos_ + 1 < text_.size() && text_[pos_ + 1] == L'\'') {
                        t.text.push_back(L'\'');
                        pos_ += 2;
                        continue;
                    }
                    ++pos_;
                    t.kind = Token::kQuoted;
                    return t;
                }
                t.text.push_back(text_[pos_++]);
            }
        }
        while (pos_ < text_.size() && !std::iswspace(text_[pos_]) && text_[pos_] != L'{' && text_[pos_] != L'}' &&
               text_[pos_] != L'=' && text_[pos_] != L'\'') {
            t.text.push_back(text_[pos_++]);
        }
        t.kind = Token::kWord;
        return t;
    }

    std::wstring_view text_;
    size_t pos_ = 0;
};

HRESULT FromStatus(LSTATUS status) { return status == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(status); }

bool IsAbsent(LSTATUS status) { return status == ERROR_FILE_NOT_FOUND || status == ERROR_PATH_NOT_FOUND; }

HRESULT SetValue(HKEY key, const wchar_t* name, const ValueData& data) {
    if (data.type == REG_DWORD) {
        return FromStatus(::RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data.number),
                                           sizeof(data.number)));
    }
    return FromStatus(::RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.text.c_str()),
                                       static_cast<DWORD>((data.text.size() + 1) * sizeof(wchar_t))));
}

HRESULT InstallNode(HKEY parent, const ScriptNode& node);

HRESULT InstallEntries(HKEY key, const std::vector<ScriptNode>& entries) {
    for (const ScriptNode& entry : entries) RETURN_IF_FAILED(InstallNode(key, entry));
    return S_OK;
}

HRESULT InstallNode(HKEY parent, const ScriptNode& node) {
    if (node.isValue) return SetValue(parent, node.name.c_str(), *node.data);
    if (node.flag == KeyFlag::kForceRemove) {
        // Replaced whole: whatever was below the key goes first.
        LSTATUS status = ::RegDeleteTreeW(parent, node.name.c_str());
        if (status == ERROR_SUCCESS) status = ::RegDeleteKeyW(parent, node.name.c_str());
        if (status != ERROR_SUCCESS && !IsAbsent(status)) return HRESULT_FROM_WIN32(status);
    }
    UniqueRegKey opened;
    RETURN_IF_FAILED(FromStatus(::RegCreateKeyExW(parent, node.name.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                                  KEY_READ | KEY_WRITE, nullptr, opened.put(), nullptr)));
    if (node.data) RETURN_IF_FAILED(SetValue(opened.get(), nullptr, *node.data));
    return InstallEntries(opened.get(), node.children);
}

HRESULT RemoveNode(HKEY parent, const ScriptNode& node);

HRESULT RemoveEntries(HKEY key, const std::vector<ScriptNode>& entries) {
    for (const ScriptNode& entry : entries) RETURN_IF_FAILED(RemoveNode(key, entry));
    return S_OK;
}

HRESULT RemoveNode(HKEY parent, const ScriptNode& node) {
    if (node.isValue) {
        LSTATUS status = ::RegDeleteValueW(parent, node.name.c_str());
        return status == ERROR_SUCCESS || IsAbsent(status) ? S_OK : HRESULT_FROM_WIN32(status);
    }
    if (node.flag == KeyFlag::kForceRemove) {
        LSTATUS status = ::RegDeleteTreeW(parent, node.name.c_str());
        if (status == ERROR_SUCCESS) status = ::RegDeleteKeyW(parent, node.name.c_str());
        return status == ERROR_SUCCESS || IsAbsent(status) ? S_OK : HRESULT_FROM_WIN32(status);
    }
    UniqueRegKey opened;
    LSTATUS status = ::RegOpenKeyExW(parent, node.name.c_str(), 0, KEY_READ | KEY_WRITE, opened.put());
    if (IsAbsent(status)) return S_OK;
    RETURN_IF_FAILED(FromStatus(status));
    RETURN_IF_FAILED(RemoveEntries(opened.get(), node.children));
    if (node.flag == KeyFlag::kNoRemove) return S_OK;
    // Keys of other components below this one keep it in place.
    DWORD subkeys = 0;
    RETURN_IF_FAILED(FromStatus(::RegQueryInfoKeyW(opened.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                                                   nullptr, nullptr, nullptr, nullptr, nullptr)));
    opened.reset();
    if (subkeys != 0) return S_OK;
    status = ::RegDeleteKeyW(parent, node.name.c_str());
    return status == ERROR_SUCCESS || IsAbsent(status) ? S_OK : HRESULT_FROM_WIN32(status);
}

}  // namespace

HRESULT ApplyRegistryScript(std::wstring_view script, const std::vector<ScriptReplacement>& replacements,
                            bool install) noexcept {
    try {
        std::wstring text;
        if (!Substitute(script, replacements, &text)) return kMalformed;
        std::vector<ScriptRoot> roots;
        if (!Parser(text).ParseScript(&roots)) return kMalformed;
        for (const ScriptRoot& root : roots) {
            RETURN_IF_FAILED(install ? InstallEntries(root.root, root.entries)
                                     : RemoveEntries(root.root, root.entries));
        }
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT ApplyRegistryResource(HMODULE module, UINT id, const std::vector<ScriptReplacement>& replacements,
                              bool install) noexcept {
    HRSRC resource = ::FindResourceW(module, MAKEINTRESOURCEW(id), L"REGISTRY");
    RETURN_LAST_ERROR_IF_NULL(resource);
    HGLOBAL loaded = ::LoadResource(module, resource);
    RETURN_LAST_ERROR_IF_NULL(loaded);
    const char* bytes = static_cast<const char*>(::LockResource(loaded));
    RETURN_LAST_ERROR_IF_NULL(bytes);
    const DWORD size = ::SizeofResource(module, resource);
    try {
        std::string_view narrow(bytes, size);
        // The resource may carry a terminating zero.
        narrow = narrow.substr(0, narrow.find('\0'));
        std::wstring wide;
        if (!narrow.empty()) {
            int length = ::MultiByteToWideChar(CP_ACP, 0, narrow.data(), static_cast<int>(narrow.size()), nullptr, 0);
            if (length <= 0) return kMalformed;
            wide.resize(static_cast<size_t>(length));
            ::MultiByteToWideChar(CP_ACP, 0, narrow.data(), static_cast<int>(narrow.size()), wide.data(), length);
        }
        return ApplyRegistryScript(wide, replacements, install);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

}  // namespace tessary
