#include "platform/owner_check.h"

#include <aclapi.h>
#include <sddl.h>

#include <atomic>
#include <vector>

#include "platform/unique_resource.h"

namespace tessary::security {
namespace {

std::atomic<OwnerOverride> g_override{nullptr};

// NT SERVICE\TrustedInstaller, which owns what the system's installer lays down.
constexpr wchar_t kTrustedInstallerSid[] = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

// The account this process runs as, when the process is itself trusted (a
// SYSTEM service or an elevated administrator's process): a file this process
// made carries that account as its owner. Empty otherwise. Read once.
const std::vector<BYTE>& TrustedProcessUser() {
    static const std::vector<BYTE>* user = [] {
        auto* result = new std::vector<BYTE>();  // kept for the process's life: no destructor at exit
        HANDLE raw = nullptr;
        if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE, &raw)) return result;
        const UniqueHandle token(raw);
        DWORD bytes = 0;
        ::GetTokenInformation(token.get(), TokenUser, nullptr, 0, &bytes);
        std::vector<BYTE> buffer(bytes);
        if (bytes == 0 || !::GetTokenInformation(token.get(), TokenUser, buffer.data(), bytes, &bytes)) return result;
        PSID sid = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
        bool trusted = ::IsWellKnownSid(sid, WinLocalSystemSid) != FALSE;
        if (!trusted) {
            // Membership as the token enables it: an administrator's filtered
            // (not elevated) token has the group for deny only and is not trusted.
            HANDLE rawImpersonation = nullptr;
            BYTE admins[SECURITY_MAX_SID_SIZE];
            DWORD adminsSize = sizeof(admins);
            BOOL member = FALSE;
            if (::DuplicateToken(token.get(), SecurityIdentification, &rawImpersonation)) {
                const UniqueHandle impersonation(rawImpersonation);
                trusted = ::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &adminsSize) &&
                          ::CheckTokenMembership(impersonation.get(), admins, &member) && member;
            }
        }
        if (trusted) {
            const DWORD length = ::GetLengthSid(sid);
            result->assign(static_cast<BYTE*>(sid), static_cast<BYTE*>(sid) + length);
        }
        return result;
    }();
    return *user;
}

bool IsTrustedOwner(PSID owner) {
    if (owner == nullptr || !::IsValidSid(owner)) return false;
    if (::IsWellKnownSid(owner, WinLocalSystemSid) || ::IsWellKnownSid(owner, WinBuiltinAdministratorsSid)) {
        return true;
    }
    PSID installer = nullptr;
    if (::ConvertStringSidToSidW(kTrustedInstallerSid, &installer)) {
        const UniqueLocalMemory owned(installer);
        if (::EqualSid(owner, installer)) return true;
    }
    const std::vector<BYTE>& self = TrustedProcessUser();
    return !self.empty() && ::EqualSid(owner, const_cast<BYTE*>(self.data()));
}

}  // namespace

FileOwner OwnerOf(HANDLE handle, const std::wstring& path) {
    if (const OwnerOverride override = g_override.load(std::memory_order_acquire)) {
        if (const std::optional<FileOwner> decided = override(path)) return *decided;
    }
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE ||
        ::GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                          &descriptor) != ERROR_SUCCESS) {
        return FileOwner::kUnreadable;
    }
    const UniqueLocalMemory owned(descriptor);
    return IsTrustedOwner(owner) ? FileOwner::kTrusted : FileOwner::kForeign;
}

std::optional<FileOwner> OwnerOfFile(const std::wstring& path) {
    const UniqueFile file(::CreateFileW(path.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return std::nullopt;
        return FileOwner::kUnreadable;
    }
    return PlainFileOwner(file.get(), path);
}

FileOwner PlainFileOwner(HANDLE handle, const std::wstring& path) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(handle, &info)) return FileOwner::kUnreadable;
    // A link or a folder where a file belongs is nobody's file of ours.
    if ((info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
        return FileOwner::kForeign;
    }
    return OwnerOf(handle, path);
}

OwnerOverride SetOwnerOverrideForTesting(OwnerOverride override) noexcept {
    return g_override.exchange(override, std::memory_order_acq_rel);
}

const wchar_t* OwnerText(FileOwner owner) noexcept {
    switch (owner) {
        case FileOwner::kTrusted:
            return L"trusted";
        case FileOwner::kForeign:
            return L"owned by another account";
        case FileOwner::kUnreadable:
            break;
    }
    return L"of an owner that cannot be read";
}

}  // namespace tessary::security
