#include "platform/security_descriptor.h"

#include <sddl.h>

#include <atomic>
#include <cwchar>
#include <vector>

#include "platform/platform_log.h"

namespace tessary::security {
namespace {

// Access masks of the model, written out so a descriptor read back compares
// exactly (the system maps generic rights in kernel objects' ACEs to specific ones).
constexpr ACCESS_MASK kFileAll = FILE_ALL_ACCESS;                                     // 0x1f01ff
constexpr ACCESS_MASK kFolderReadExecute = FILE_GENERIC_READ | FILE_GENERIC_EXECUTE;  // 0x1200a9
constexpr ACCESS_MASK kFileRead = FILE_GENERIC_READ;                                  // 0x120089
constexpr ACCESS_MASK kFileReadWrite = FILE_GENERIC_READ | FILE_GENERIC_WRITE;        // 0x12019f
constexpr ACCESS_MASK kCreatorFile = kFileReadWrite | DELETE;                         // 0x13019f

// ACE flags: inherited by files and folders below; by files only, not applying here.
constexpr BYTE kInheritAll = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
constexpr BYTE kFilesOnly = OBJECT_INHERIT_ACE | INHERIT_ONLY_ACE;

struct Grant {
    const wchar_t* sid;  // SDDL alias or SID string
    BYTE flags;
    ACCESS_MASK mask;
};

std::wstring Hex(unsigned long value) {
    wchar_t text[16];
    std::swprintf(text, std::size(text), L"0x%lx", value);
    return text;
}

std::wstring FlagsText(BYTE flags) {
    std::wstring text;
    if (flags & OBJECT_INHERIT_ACE) text += L"OI";
    if (flags & CONTAINER_INHERIT_ACE) text += L"CI";
    if (flags & INHERIT_ONLY_ACE) text += L"IO";
    return text;
}

std::wstring Sddl(const wchar_t* owner, std::initializer_list<Grant> grants) {
    std::wstring text;
    if (owner != nullptr) text = std::wstring(L"O:") + owner;
    text += L"D:P";
    for (const Grant& grant : grants) {
        text += L"(A;" + FlagsText(grant.flags) + L";" + Hex(grant.mask) + L";;;" + grant.sid + L")";
    }
    return text;
}

ACCESS_MASK FullAccess(ObjectKind kind) {
    switch (kind) {
        case ObjectKind::kMutex:
            return MUTEX_ALL_ACCESS;
        case ObjectKind::kSemaphore:
            return SEMAPHORE_ALL_ACCESS;
        case ObjectKind::kEvent:
            return EVENT_ALL_ACCESS;
    }
    return 0;
}

// The SID string of the account the process runs as; empty when unreadable.
std::wstring ProcessUserSid() {
    HANDLE raw = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw)) return {};
    UniqueHandle token(raw);
    DWORD bytes = 0;
    ::GetTokenInformation(token.get(), TokenUser, nullptr, 0, &bytes);
    if (bytes == 0) return {};
    std::vector<BYTE> buffer(bytes);
    if (!::GetTokenInformation(token.get(), TokenUser, buffer.data(), bytes, &bytes)) return {};
    wchar_t* text = nullptr;
    if (!::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text)) return {};
    UniqueLocalMemory owned(text);
    return text;
}

std::wstring SidText(PSID sid) {
    if (sid == nullptr) return L"-";
    wchar_t* text = nullptr;
    if (!::ConvertSidToStringSidW(sid, &text)) return L"?";
    UniqueLocalMemory owned(text);
    return text;
}

Descriptor FromSddl(const std::wstring& sddl) {
    PSECURITY_DESCRIPTOR built = nullptr;
    if (sddl.empty() ||
        !::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &built, nullptr)) {
        PLATFORM_REPORT(platform_log::kError, L"Cannot build the security descriptor \"%s\": error %lu.", sddl.c_str(),
                        ::GetLastError());
        return Descriptor();
    }
    return Descriptor(UniqueLocalMemory(built));
}

std::atomic<SecurityObserver> g_observer{nullptr};

}  // namespace

std::wstring ModelSddl(Secured what) {
    switch (what) {
        case Secured::kProductFolder:
            return Sddl(L"BA", {{L"SY", kInheritAll, kFileAll},
                                {L"BA", kInheritAll, kFileAll},
                                {L"AU", kInheritAll, kFolderReadExecute}});
        case Secured::kDataFolder:
            return Sddl(L"BA", {{L"SY", kInheritAll, kFileAll},
                                {L"BA", kInheritAll, kFileAll},
                                {L"AU", kInheritAll, kFolderReadExecute},
                                {L"AU", 0, FILE_ADD_FILE},
                                {L"CO", kFilesOnly, kCreatorFile}});
        case Secured::kPrivateFolder:
            return Sddl(L"BA", {{L"SY", kInheritAll, kFileAll}, {L"BA", kInheritAll, kFileAll}});
        case Secured::kReadableFile:
            return Sddl(L"BA", {{L"SY", 0, kFileAll}, {L"BA", 0, kFileAll}, {L"AU", 0, kFileRead}});
        case Secured::kSharedStoreFile:
            return Sddl(L"BA", {{L"SY", 0, kFileAll}, {L"BA", 0, kFileAll}, {L"AU", 0, kFileReadWrite}});
        case Secured::kPrivateFile:
            return Sddl(L"BA", {{L"SY", 0, kFileAll}, {L"BA", 0, kFileAll}});
        case Secured::kMachineMutex:
            return Sddl(nullptr,
                        {{L"SY", 0, MUTEX_ALL_ACCESS}, {L"BA", 0, MUTEX_ALL_ACCESS}, {L"AU", 0, kMachineMutexAccess}});
    }
    return {};
}

std::wstring ProcessObjectSddl(ObjectKind kind) {
    const std::wstring user = ProcessUserSid();
    if (user.empty()) return {};
    const ACCESS_MASK all = FullAccess(kind);
    return Sddl(nullptr, {{L"SY", 0, all}, {L"BA", 0, all}, {user.c_str(), 0, all}});
}

Descriptor BuildDescriptor(Secured what) { return FromSddl(ModelSddl(what)); }

Descriptor BuildProcessObjectDescriptor(ObjectKind kind) { return FromSddl(ProcessObjectSddl(kind)); }

std::wstring Describe(PSECURITY_DESCRIPTOR descriptor, bool withOwner) {
    if (descriptor == nullptr || !::IsValidSecurityDescriptor(descriptor)) return {};
    std::wstring text;
    if (withOwner) {
        PSID owner = nullptr;
        BOOL defaulted = FALSE;
        if (!::GetSecurityDescriptorOwner(descriptor, &owner, &defaulted)) return {};
        text = L"O:" + SidText(owner);
    }
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (!::GetSecurityDescriptorControl(descriptor, &control, &revision)) return {};
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (!::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted)) return {};
    text += L"D:";
    if (!present || dacl == nullptr) return text + L"NULL";
    if (control & SE_DACL_PROTECTED) text += L"P";
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* raw = nullptr;
        if (!::GetAce(dacl, i, &raw)) return {};
        const auto* header = static_cast<const ACE_HEADER*>(raw);
        // Allowed and denied ACEs share one layout: header, mask, SID.
        const auto* ace = static_cast<const ACCESS_ALLOWED_ACE*>(raw);
        const bool simple = header->AceType == ACCESS_ALLOWED_ACE_TYPE || header->AceType == ACCESS_DENIED_ACE_TYPE;
        text += L"(" +
                std::wstring(header->AceType == ACCESS_ALLOWED_ACE_TYPE  ? L"A"
                             : header->AceType == ACCESS_DENIED_ACE_TYPE ? L"D"
                                                                         : Hex(header->AceType)) +
                L";" + Hex(header->AceFlags) + L";" + Hex(simple ? ace->Mask : 0) + L";" +
                (simple ? SidText(const_cast<DWORD*>(&ace->SidStart)) : L"?") + L")";
    }
    return text;
}

std::wstring ToSddl(PSECURITY_DESCRIPTOR descriptor) {
    if (descriptor == nullptr) return {};
    wchar_t* text = nullptr;
    if (!::ConvertSecurityDescriptorToStringSecurityDescriptorW(
            descriptor, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &text, nullptr)) {
        return {};
    }
    UniqueLocalMemory owned(text);
    return text;
}

SecurityObserver SetSecurityObserver(SecurityObserver observer) noexcept { return g_observer.exchange(observer); }

void ReportSecurityCall(SecurityCall call, const std::wstring& target, PSECURITY_DESCRIPTOR descriptor) noexcept {
    const SecurityObserver observer = g_observer.load();
    if (observer == nullptr) return;
    try {
        observer(SecurityEvent{call, target, ToSddl(descriptor), Describe(descriptor, true)});
    } catch (...) {
        // An observer that runs out of memory misses the call; the call itself goes on.
    }
}

}  // namespace tessary::security
