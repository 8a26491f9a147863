#include "component/com_root.h"

#include <objbase.h>

#include <cstring>
#include <iterator>
#include <new>
#include <vector>

#include "component/com_app.h"
#include "platform/product_registry.h"
#include "platform/registry.h"
#include "platform/unique_resource.h"
#include "platform/version_info.h"
#include "store/settings.h"
#include "transport/server_query.h"

namespace tessary {
namespace {

constexpr LONG kInstallDirUnreadable = 0x06000000;
constexpr const wchar_t* kDeliverableFiles[] = {L"TSAPI.dll", L"TSUpdChk.exe"};

// Creates a new plain object of T and asks it for Interface into *out.
template <typename T, typename Interface>
HRESULT CreateInto(Interface** out, LONG* plResult) noexcept {
    if (plResult == nullptr) return E_POINTER;
    *plResult = 0;
    return T::Create(nullptr, __uuidof(Interface), reinterpret_cast<void**>(out));
}

// "Install Dir" as the registry holds it, read into 260 characters. Returns the
// system error code of a failed read, 0 on success.
DWORD ReadInstallDir(std::wstring* dir) {
    constexpr size_t kBufferChars = 260;
    DWORD type = 0;
    std::vector<uint8_t> data;
    LSTATUS status = ERROR_SUCCESS;
    if (registry::QueryRawValue(HKEY_LOCAL_MACHINE, keys::kTessary, keys::kInstallDir, &type, &data, KEY_QUERY_VALUE,
                                kBufferChars * sizeof(wchar_t), &status) != registry::ReadResult::kRead) {
        return static_cast<DWORD>(status);
    }
    if (type != REG_SZ && type != REG_EXPAND_SZ) return ERROR_INVALID_DATATYPE;
    // The data need not carry a terminator; a value filling the whole buffer is cut
    // to leave room for one.
    size_t length = data.size() / sizeof(wchar_t);
    if (length >= kBufferChars) length = kBufferChars - 1;
    std::wstring text(length, L'\0');
    if (length > 0) std::memcpy(text.data(), data.data(), length * sizeof(wchar_t));
    dir->assign(text.c_str());
    return ERROR_SUCCESS;
}

// Copies `text` into a task-allocated block; E_OUTOFMEMORY when it cannot be allocated.
HRESULT ToTaskMemory(const std::wstring& text, LPWSTR* out) noexcept {
    auto* block = static_cast<wchar_t*>(::CoTaskMemAlloc((text.size() + 1) * sizeof(wchar_t)));
    if (block == nullptr) return E_OUTOFMEMORY;
    std::memcpy(block, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
    *out = block;
    return S_OK;
}

HRESULT VersionMethod(bool missingOnly, LPWSTR* text, LONG* plResult) noexcept {
    if (text == nullptr || plResult == nullptr) return E_POINTER;
    *text = nullptr;
    *plResult = 0;
    try {
        std::wstring result;
        *plResult = BuildVersionText(missingOnly, &result);
        return ToTaskMemory(result, text);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

}  // namespace

LONG BuildVersionText(bool missingOnly, std::wstring* text) {
    text->clear();
    std::wstring dir;
    DWORD error = ReadInstallDir(&dir);
    if (error != ERROR_SUCCESS) return kInstallDirUnreadable | static_cast<LONG>(error & 0x1FFFF);
    if (!dir.empty() && dir.back() == L'\\') dir.pop_back();
    bool anyMissing = false;
    for (const wchar_t* file : kDeliverableFiles) {
        VersionInfo info;
        const VS_FIXEDFILEINFO* fixed = info.Load(dir + L"\\" + file) ? info.FixedInfo() : nullptr;
        if (missingOnly) {
            if (fixed == nullptr) {
                text->append(file).append(L"\n");
                anyMissing = true;
            }
            continue;
        }
        text->append(file).append(L"=");
        if (fixed != nullptr) {
            text->append(std::to_wstring(HIWORD(fixed->dwFileVersionMS)))
                .append(L".")
                .append(std::to_wstring(LOWORD(fixed->dwFileVersionMS)))
                .append(L".")
                .append(std::to_wstring(HIWORD(fixed->dwFileVersionLS)))
                .append(L".")
                .append(std::to_wstring(LOWORD(fixed->dwFileVersionLS)));
        }
        text->append(L"\n");
    }
    if (!missingOnly || anyMissing) text->append(L"\n");
    return 0;
}

// IQnTessary:

IFACEMETHODIMP CQnTessary::GetSettingsInterface(IQnTessarySettings** settings, LONG* plResult) noexcept {
    return CreateInto<CQnTessarySettings>(settings, plResult);
}

IFACEMETHODIMP CQnTessary::GetApplicationInterface(IQnTessaryAppEntry** entry, LONG* plResult) noexcept {
    return CreateInto<CQnTessaryAppEntry>(entry, plResult);
}

IFACEMETHODIMP CQnTessary::GetServerInterface(IQnTessaryServerQuery** query, LONG* plResult) noexcept {
    return CreateInto<CQnTessaryServerQuery>(query, plResult);
}

IFACEMETHODIMP CQnTessary::GetFirewallSettingsInterface(IQnTessaryFirewallSettings** settings,
                                                        LONG* plResult) noexcept {
    return CreateInto<CQnTessaryFirewallSettings>(settings, plResult);
}

IFACEMETHODIMP CQnTessary::GetSharedPermsInterface(IQnTessarySharedPerms** perms, LONG* plResult) noexcept {
    return CreateInto<CQnTessarySharedPerms>(perms, plResult);
}

IFACEMETHODIMP CQnTessary::GetReservedInterface(void*, LONG* plResult) noexcept {
    if (plResult == nullptr) return E_POINTER;
    *plResult = 0;
    return S_OK;
}

// IQnTessarySettings:

IFACEMETHODIMP CQnTessarySettings::EnableUpdates(LONG enable, LONG* plResult) noexcept {
    if (plResult == nullptr) return E_POINTER;
    *plResult = -1;
    UniqueRegKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, keys::kTessary, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, key.put()) !=
        ERROR_SUCCESS) {
        return S_OK;
    }
    const DWORD value = static_cast<DWORD>(enable);
    if (::RegSetValueExW(key.get(), keys::kSettingOne, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                         sizeof(value)) == ERROR_SUCCESS) {
        *plResult = 0;
    }
    return S_OK;
}

// IQnVersion:

IFACEMETHODIMP CQnTessaryVersion::GetModuleVersions(LPWSTR* versions, LONG* plResult) noexcept {
    return VersionMethod(false, versions, plResult);
}

IFACEMETHODIMP CQnTessaryVersion::GetMissingModules(LPWSTR* missing, LONG* plResult) noexcept {
    return VersionMethod(true, missing, plResult);
}

// IQnTessaryFirewallSettings:

IFACEMETHODIMP CQnTessaryFirewallSettings::GetFirewallSettings(QNTS_FIREWALL_SETTINGS* settings,
                                                               LONG* plResult) noexcept {
    return FirewallSettings().GetFirewallSettings(settings, plResult);
}

IFACEMETHODIMP CQnTessaryFirewallSettings::GetIDSSettings(QNTS_FIREWALL_IDS** settings, ULONG* count,
                                                          LONG* plResult) noexcept {
    return FirewallSettings().GetIDSSettings(settings, count, plResult);
}

// IQnTessaryServerQuery:

IFACEMETHODIMP CQnTessaryServerQuery::TessaryQuery(LPWSTR url, LPWSTR data, USHORT** response, LONG* responseLength,
                                                   LONG* plResult) noexcept {
    return tessary::TessaryQuery(url, data, response, responseLength, plResult);
}

}  // namespace tessary
