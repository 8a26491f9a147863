// tsctl commands over the permission side of the component: the suite's shared
// permission store, an application's own per-product decisions, and the
// signature verdict of its details object.
#include <algorithm>
#include <cwchar>
#include <string>
#include <vector>

#include "component/app_lookup.h"
#include "component/shared_perms_db.h"
#include "tools/tsctl/com_support.h"
#include "tools/tsctl/commands.h"

using Microsoft::WRL::ComPtr;

namespace tessary::tsctl {
namespace {

bool IsListSetOrDelete(const std::wstring& verb) { return verb == L"list" || verb == L"set" || verb == L"delete"; }

int LocalPermsUsage() {
    Err(L"local-perms: list|set|delete PATH [--product N] [--feature N] [--permission N]"
        L" [--ip A.B.C.D --port N]\n");
    return kExitUsage;
}

}  // namespace

int Verify(const std::vector<std::wstring>& args) {
    if (args.empty()) {
        Err(L"verify: give one or more file paths\n");
        return kExitUsage;
    }
    return WithRoot([&](IQnTessary* root) {
        int exitCode = kExitOk;
        for (const std::wstring& path : args) {
            ComPtr<IQnTessaryAppDetails> details;
            HRESULT hr = LocalDetails(root, path, &details);
            if (FAILED(hr)) return Fail(L"GetApplicationDetails for " + path, hr);
            LONG valid = 0;
            LONG result = kResultNoRecord;
            hr = details->HasGoodDigitalSignature(&valid, &result);
            if (FAILED(hr)) return Fail(L"HasGoodDigitalSignature", hr);
            const bool good = result == kResultOk && valid != 0;
            std::wstring verdict = good ? L"good signature" : L"no good signature";
            if (result != kResultOk) verdict = L"no record (result " + std::to_wstring(result) + L")";
            Out(path + L": " + verdict + L"\n");
            if (!good) exitCode = kExitFailure;
        }
        return exitCode;
    });
}

// local-perms list|set|delete PATH [--product N] [--feature N] [--permission N]
// [--ip A.B.C.D --port N]: the details object's own per-product decisions.
int LocalPerms(const std::vector<std::wstring>& args) {
    const std::wstring verb = args.empty() ? std::wstring() : args[0];
    if (!IsListSetOrDelete(verb) || args.size() < 2 || args[1].rfind(L"--", 0) == 0) return LocalPermsUsage();
    const std::wstring path = args[1];
    QNTS_APP_PERMISSION permission{};
    bool permissionGiven = false;
    ULONG ip = 0;
    ULONG port = 0;
    bool ipGiven = false;
    bool portGiven = false;
    const std::vector<Option> options = {
        {L"--product", Option::Kind::kNumber, &permission.dwProduct},
        {L"--feature", Option::Kind::kNumber, &permission.dwFeature},
        {L"--permission", Option::Kind::kNumber, &permission.dwPermission, &permissionGiven},
        {L"--ip", Option::Kind::kIpv4, &ip, &ipGiven},
        {L"--port", Option::Kind::kPort, &port, &portGiven},
    };
    if (!ParseOptions(args, 2, options)) return LocalPermsUsage();
    if ((verb == L"set" && !permissionGiven) || ipGiven != portGiven || (ipGiven && verb != L"set")) {
        return LocalPermsUsage();
    }

    return WithRoot([&](IQnTessary* root) {
        ComPtr<IQnTessaryAppDetails> details;
        HRESULT hr = LocalDetails(root, path, &details);
        if (FAILED(hr)) return Fail(L"GetApplicationDetails for " + path, hr);
        LONG result = kResultNoRecord;
        if (verb == L"list") {
            QNTS_APP_PERMISSION* stored = nullptr;
            LONG count = 0;
            hr = details->GetLocalPermission(&stored, &count, &result);
            const UniqueTaskMemory storedOwner(stored);
            if (FAILED(hr)) return Fail(L"GetLocalPermission", hr);
            Field(L"result", std::to_wstring(result) + (result == kResultUnknown ? L" (none stored)" : L""));
            for (LONG i = 0; stored != nullptr && i < count; ++i) {
                Out(L"product=" + Hex(stored[i].dwProduct) + L" feature=" + Hex(stored[i].dwFeature) + L" permission=" +
                    DecodePermission(stored[i].dwPermission) + L"\n");
            }
            return result == kResultOk || result == kResultUnknown ? kExitOk : kExitFailure;
        }
        if (verb == L"set") {
            // The address goes as the firewall holds it: the packet's bytes, first octet lowest.
            hr = ipGiven ? details->SetLocalPermissionWithIp(permission, ip, static_cast<USHORT>(port), &result)
                         : details->SetLocalPermission(permission, &result);
            if (FAILED(hr)) return Fail(L"SetLocalPermission", hr);
        } else {
            hr = details->DeleteLocalPermission(permission.dwProduct, permission.dwFeature, &result);
            if (FAILED(hr)) return Fail(L"DeleteLocalPermission", hr);
        }
        Field(L"result", std::to_wstring(result));
        return result == kResultOk ? kExitOk : kExitFailure;
    });
}

// perms list|set|delete with --path P, --hash H, --product N, --feature N,
// --permission N, --id N (numbers in decimal or 0x hexadecimal).
int Perms(const std::vector<std::wstring>& args) {
    std::wstring path;
    std::wstring hash;
    ULONG product = 0;
    ULONG feature = 0;
    ULONG permission = 0;
    ULONG id = 0;
    bool permissionGiven = false;
    const std::vector<Option> options = {
        {L"--path", Option::Kind::kText, &path},
        {L"--hash", Option::Kind::kText, &hash},
        {L"--product", Option::Kind::kNumber, &product},
        {L"--feature", Option::Kind::kNumber, &feature},
        {L"--permission", Option::Kind::kNumber, &permission, &permissionGiven},
        {L"--id", Option::Kind::kNumber, &id},
    };
    const std::wstring verb = args.empty() ? std::wstring() : args[0];
    if (!IsListSetOrDelete(verb) || !ParseOptions(args, 1, options)) {
        Err(L"perms: list|set|delete with --path P --hash H --product N --feature N [--permission N] [--id N]\n");
        return kExitUsage;
    }
    if (verb == L"set" &&
        (!permissionGiven || path.size() > kMaxSharedPathLength || hash.size() > kMaxSharedHashLength)) {
        Err(L"perms set: needs --permission, a path of at most " + std::to_wstring(kMaxSharedPathLength) +
            L" and a hash of at most " + std::to_wstring(kMaxSharedHashLength) + L" characters\n");
        return kExitUsage;
    }
    if (verb == L"delete" && path.empty() && hash.empty() && product == 0 && feature == 0) {
        Err(L"perms delete: give at least one filter; deleting everything is refused\n");
        return kExitUsage;
    }
    return WithRoot([&](IQnTessary* root) {
        ComPtr<IQnTessarySharedPerms> perms;
        LONG result = 0;
        HRESULT hr = root->GetSharedPermsInterface(&perms, &result);
        if (FAILED(hr) || !perms) return Fail(L"GetSharedPermsInterface", hr);
        if (verb == L"list") {
            QNTS_LOCAL_APP_PERMISSION* records = nullptr;
            ULONG count = 0;
            hr = perms->GetPermissions(path.c_str(), hash.c_str(), product, feature, &records, &count, &result);
            const UniqueTaskMemory recordsOwner(records);
            if (FAILED(hr)) return Fail(L"GetPermissions", hr);
            std::vector<QNTS_LOCAL_APP_PERMISSION> sorted(records, records + (records != nullptr ? count : 0));
            std::sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) { return a.dwID < b.dwID; });
            Field(L"result", std::to_wstring(result));
            for (const auto& r : sorted) {
                Out(L"id=" + std::to_wstring(r.dwID) + L" product=" + Hex(r.mapPerm.dwProduct) + L" feature=" +
                    Hex(r.mapPerm.dwFeature) + L" permission=" + Hex(r.mapPerm.dwPermission) + L" md5=" +
                    std::wstring(r.pwszMD5, wcsnlen(r.pwszMD5, kSharedHashUnits)) + L" path=" +
                    std::wstring(r.pwszPath, wcsnlen(r.pwszPath, kSharedPathUnits)) + L"\n");
            }
            return kExitOk;
        }
        if (verb == L"set") {
            QNTS_LOCAL_APP_PERMISSION record{};
            record.dwID = id;
            record.mapPerm.dwProduct = product;
            record.mapPerm.dwFeature = feature;
            record.mapPerm.dwPermission = permission;
            path.copy(record.pwszPath, kMaxSharedPathLength);
            hash.copy(record.pwszMD5, kMaxSharedHashLength);
            hr = perms->SetPermissions(&record, 1, &result);
            if (FAILED(hr)) return Fail(L"SetPermissions", hr);
        } else {
            hr = perms->DeletePermissions(path.c_str(), hash.c_str(), product, feature, &result);
            if (FAILED(hr)) return Fail(L"DeletePermissions", hr);
        }
        Field(L"result", std::to_wstring(result));
        return result == kResultOk ? kExitOk : kExitFailure;
    });
}

}  // namespace tessary::tsctl
