#include "tools/tsctl/com_support.h"

#include <cstdio>
#include <cwchar>

#include "component/app_lookup.h"
#include "component/com_ids.h"
#include "tools/tsctl/commands.h"

using Microsoft::WRL::ComPtr;

namespace tessary::tsctl {
namespace {

bool ParseNumber(const std::wstring& text, ULONG* value) {
    wchar_t* end = nullptr;
    const unsigned long number = std::wcstoul(text.c_str(), &end, 0);
    if (text.empty() || end == nullptr || *end != L'\0') return false;
    *value = static_cast<ULONG>(number);
    return true;
}

// Dotted IPv4 text as the 32-bit value holding the address bytes in packet order
// (first octet in the lowest byte on this little-endian machine).
bool ParseIpv4(const std::wstring& text, ULONG* value) {
    ULONG result = 0;
    size_t at = 0;
    for (int octet = 0; octet < 4; ++octet) {
        size_t end = text.find(L'.', at);
        if ((end == std::wstring::npos) != (octet == 3)) return false;
        if (end == std::wstring::npos) end = text.size();
        const std::wstring part = text.substr(at, end - at);
        if (part.empty() || part.size() > 3 || part.find_first_not_of(L"0123456789") != std::wstring::npos) {
            return false;
        }
        const unsigned long number = std::wcstoul(part.c_str(), nullptr, 10);
        if (number > 255) return false;
        result |= static_cast<ULONG>(number) << (8 * octet);
        at = end + 1;
    }
    *value = result;
    return true;
}

bool ParseValue(const Option& option, const std::wstring& value) {
    switch (option.kind) {
        case Option::Kind::kText:
            *static_cast<std::wstring*>(option.target) = value;
            return true;
        case Option::Kind::kNumber:
            return ParseNumber(value, static_cast<ULONG*>(option.target));
        case Option::Kind::kIpv4:
            return ParseIpv4(value, static_cast<ULONG*>(option.target));
        case Option::Kind::kPort:
            return ParseNumber(value, static_cast<ULONG*>(option.target)) &&
                   *static_cast<ULONG*>(option.target) <= 0xFFFF;
    }
    return false;
}

}  // namespace

std::wstring Hex(unsigned long value) {
    wchar_t text[16];
    std::swprintf(text, 16, L"0x%lX", value);
    return text;
}

void Field(const wchar_t* key, const std::wstring& value) { Out(std::wstring(key) + L": " + value + L"\n"); }

int Fail(const std::wstring& what, HRESULT hr) {
    Err(L"tsctl: " + what + L" failed (" + Hex(static_cast<unsigned long>(hr)) + L")\n");
    return kExitFailure;
}

bool NoArguments(const std::vector<std::wstring>& args, const wchar_t* command) {
    if (args.empty()) return true;
    Err(std::wstring(command) + L": takes no arguments\n");
    return false;
}

std::wstring TaskText(const UniqueTaskString& text) { return text ? std::wstring(text.get()) : std::wstring(); }

std::wstring DecodePermission(ULONG bits) {
    static const struct {
        ULONG bit;
        const wchar_t* name;
    } kBits[] = {{kPermissionAllowBit, L"allow(G/O)"}, {kPermissionTBit, L"T"}, {kPermissionAskBit, L"ask(/@SA.)"},
                 {kExceptionBit, L"exception"},        {kPermissionMBit, L"M"}, {kPermissionCaretBit, L"^"},
                 {kPermissionAmpersandBit, L"&"},      {kPermissionPBit, L"P"}};
    std::wstring text = Hex(bits);
    std::wstring names;
    for (const auto& b : kBits) {
        if (bits & b.bit) names += (names.empty() ? L"" : L" ") + std::wstring(b.name);
    }
    return names.empty() ? text : text + L" (" + names + L")";
}

bool CreateRoot(ComPtr<IQnTessary>* root, int* exitCode) {
    HRESULT hr = ::CoCreateInstance(CLSID_QnTessary, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(root->GetAddressOf()));
    if (FAILED(hr)) {
        *exitCode = Fail(L"creating the QnTessary object (is tsapi.dll registered? try 'tsctl register')", hr);
        return false;
    }
    return true;
}

HRESULT LocalDetails(IQnTessary* root, const std::wstring& path, ComPtr<IQnTessaryAppDetails>* details) {
    ComPtr<IQnTessaryAppEntry> entry;
    LONG result = 0;
    HRESULT hr = root->GetApplicationInterface(&entry, &result);
    if (FAILED(hr) || !entry) return FAILED(hr) ? hr : E_FAIL;
    hr = entry->GetApplicationDetails(path.c_str(), nullptr, 1, details->ReleaseAndGetAddressOf(), &result);
    if (FAILED(hr) || !*details) return FAILED(hr) ? hr : E_FAIL;
    return S_OK;
}

bool ParseOptions(const std::vector<std::wstring>& args, size_t first, const std::vector<Option>& table) {
    for (size_t i = first; i < args.size(); i += 2) {
        if (i + 1 >= args.size()) return false;
        const Option* option = nullptr;
        for (const Option& candidate : table) {
            if (args[i] == candidate.name) option = &candidate;
        }
        if (option == nullptr || !ParseValue(*option, args[i + 1])) return false;
        if (option->given != nullptr) *option->given = true;
    }
    return true;
}

}  // namespace tessary::tsctl
