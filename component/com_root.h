#pragma once

// The root object and the objects its getters hand out besides the application
// entry: settings, version, firewall settings, server query, shared permissions.
// Every method follows the server's result convention: the returned code reports
// call errors only (E_POINTER for a null required out-parameter, E_OUTOFMEMORY,
// a creation failure); the outcome is in *plResult.

#include <windows.h>

#include <string>

#include "component/com_ids.h"
#include "component/com_object.h"

namespace tessary {

// The version lines of the two deliverables found in the install directory:
// "TSAPI.dll=a.b.c.d\n" and "TSUpdChk.exe=a.b.c.d\n" (or "name=\n" without a
// readable version block) then "\n" (`missingOnly` false); or only "name\n" for
// each file without a readable version block, followed by "\n" when there was
// any (`missingOnly` true). One trailing backslash of "Install Dir" is ignored.
// Returns 0, or 0x06000000 | (system error & 0x1FFFF) with *text empty when
// "Install Dir" cannot be read into 260 characters. Throws only std::bad_alloc.
LONG BuildVersionText(bool missingOnly, std::wstring* text);

class CQnTessary final : public com::ComObject<CQnTessary, IQnTessaryReserved> {
public:
    // Class table creator: plain or aggregated in `outer`.
    static HRESULT Create(IUnknown* outer, REFIID riid, void** ppv) noexcept {
        return ComObject::Create(outer, riid, ppv);
    }

    // IQnTessary: each call creates a new object (plain) and asks it for the
    // interface into the caller's pointer. *plResult is 0; the result is that of
    // the creation and the request (E_POINTER for a null out-parameter).
    IFACEMETHODIMP GetSettingsInterface(IQnTessarySettings** settings, LONG* plResult) noexcept override;
    IFACEMETHODIMP GetApplicationInterface(IQnTessaryAppEntry** entry, LONG* plResult) noexcept override;
    IFACEMETHODIMP GetServerInterface(IQnTessaryServerQuery** query, LONG* plResult) noexcept override;
    IFACEMETHODIMP GetFirewallSettingsInterface(IQnTessaryFirewallSettings** settings,
                                                LONG* plResult) noexcept override;
    IFACEMETHODIMP GetSharedPermsInterface(IQnTessarySharedPerms** perms, LONG* plResult) noexcept override;
    // Ignores `reserved`; *plResult 0, S_OK.
    IFACEMETHODIMP GetReservedInterface(void* reserved, LONG* plResult) noexcept override;
};

class CQnTessarySettings final : public com::ComObject<CQnTessarySettings, IQnTessarySettings> {
public:
    // IQnTessarySettings: writes `enable` unchanged as REG_DWORD "SettingOne" into the
    // existing product key (never created). *plResult 0 when written, else -1.
    IFACEMETHODIMP EnableUpdates(LONG enable, LONG* plResult) noexcept override;
};

class CQnTessaryVersion final : public com::ComObject<CQnTessaryVersion, IQnVersion> {
public:
    // Class table creator: plain or aggregated in `outer`.
    static HRESULT Create(IUnknown* outer, REFIID riid, void** ppv) noexcept {
        return ComObject::Create(outer, riid, ppv);
    }

    // IQnVersion: the text of BuildVersionText in a task-allocated block; *plResult
    // as BuildVersionText returns it. E_OUTOFMEMORY (output null) when the block
    // cannot be allocated.
    IFACEMETHODIMP GetModuleVersions(LPWSTR* versions, LONG* plResult) noexcept override;
    IFACEMETHODIMP GetMissingModules(LPWSTR* missing, LONG* plResult) noexcept override;
};

class CQnTessaryFirewallSettings final : public com::ComObject<CQnTessaryFirewallSettings, IQnTessaryFirewallSettings> {
public:
    // IQnTessaryFirewallSettings: the service settings (store/settings.h FirewallSettings).
    IFACEMETHODIMP GetFirewallSettings(QNTS_FIREWALL_SETTINGS* settings, LONG* plResult) noexcept override;
    IFACEMETHODIMP GetIDSSettings(QNTS_FIREWALL_IDS** settings, ULONG* count, LONG* plResult) noexcept override;
};

// The raw server query.
class CQnTessaryServerQuery final : public com::ComObject<CQnTessaryServerQuery, IQnTessaryServerQuery> {
public:
    // IQnTessaryServerQuery: the query operation of transport/server_query.h
    // (E_POINTER for a null out-parameter; null `data` counts as empty text).
    IFACEMETHODIMP TessaryQuery(LPWSTR url, LPWSTR data, USHORT** response, LONG* responseLength,
                                LONG* plResult) noexcept override;
};

// The shared permission store: the methods of component/shared_perms.h
// SharedPermissions (com_shared_perms.cpp).
class CQnTessarySharedPerms final : public com::ComObject<CQnTessarySharedPerms, IQnTessarySharedPerms> {
public:
    // IQnTessarySharedPerms:
    IFACEMETHODIMP GetPermissions(LPCWSTR pathFilter, LPCWSTR hashFilter, ULONG productFilter, ULONG featureFilter,
                                  QNTS_LOCAL_APP_PERMISSION** permissions, ULONG* count,
                                  LONG* plResult) noexcept override;
    IFACEMETHODIMP DeletePermissions(LPCWSTR pathFilter, LPCWSTR hashFilter, ULONG productFilter, ULONG featureFilter,
                                     LONG* plResult) noexcept override;
    IFACEMETHODIMP SetPermissions(QNTS_LOCAL_APP_PERMISSION* permissions, ULONG count,
                                  LONG* plResult) noexcept override;
};

}  // namespace tessary
