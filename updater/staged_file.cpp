#include "updater/staged_file.h"

#include <atomic>
#include <cwchar>
#include <cwctype>

#include "platform/owner_check.h"
#include "platform/paths.h"
#include "platform/security_descriptor.h"
#include "platform/transient_retry.h"

namespace tessary {
namespace {

// Attempts at a fresh name before giving up (left-overs of earlier processes
// with the same identifier only cost a retry).
constexpr int kNameAttempts = 64;

std::wstring UniqueName(const std::wstring& directory, const wchar_t* extension) {
    static std::atomic<unsigned> counter{0};
    wchar_t name[64];
    std::swprintf(name, std::size(name), L"~ts%lx-%x%ls", static_cast<unsigned long>(::GetCurrentProcessId()),
                  counter.fetch_add(1), extension);
    std::wstring path = directory;
    if (!path.empty() && path.back() != L'\\' && path.back() != L'/') path.push_back(L'\\');
    return path + name;
}

// The identity of an existing file or folder (the entry itself, not what a link
// points at); false when it cannot be opened.
bool FileIdentity(const std::wstring& path, BY_HANDLE_FILE_INFORMATION* info) {
    const UniqueFile file(::CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    return file && ::GetFileInformationByHandle(file.get(), info);
}

// True while a process of identifier `pid` runs (or cannot be asked: it exists).
bool ProcessRuns(DWORD pid) {
    const UniqueHandle process(::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (!process) return ::GetLastError() != ERROR_INVALID_PARAMETER;
    return ::WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT;
}

uint64_t AgeMs(const FILETIME& written) {
    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    const uint64_t a = uint64_t{now.dwHighDateTime} << 32 | now.dwLowDateTime;
    const uint64_t b = uint64_t{written.dwHighDateTime} << 32 | written.dwLowDateTime;
    return a > b ? (a - b) / 10000 : 0;
}

// Folder entries a sweep looks at, in all: a tree someone filled with millions
// of entries cannot hold the pass.
constexpr unsigned kSweepEntryBudget = 200000;

void Sweep(const std::wstring& folder, unsigned depth, unsigned* budget, LeftoverSweep* result) {
    WIN32_FIND_DATAW found{};
    UniqueFind find(
        ::FindFirstFileExW((folder + L"\\*").c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0));
    if (!find) return;
    do {
        if (*budget == 0) return;
        --*budget;
        const std::wstring_view name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring path = folder + L"\\" + found.cFileName;
        const bool directory = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        const bool link = (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        if (const std::optional<DWORD> owner = StagingNameOwner(name)) {
            const bool live = *owner != ::GetCurrentProcessId() && ProcessRuns(*owner) &&
                              AgeMs(found.ftLastWriteTime) < kStagingLeftoverAgeMs;
            if (live) continue;
            const uint64_t size = uint64_t{found.nFileSizeHigh} << 32 | found.nFileSizeLow;
            if (directory ? RemoveTree(path) : DeleteFileEvenReadOnly(path)) {
                ++result->removed;
                if (!directory) result->bytes += size;
            } else {
                ++result->failed;
            }
            continue;
        }
        // What a link points at is not ours to clean.
        if (directory && !link && depth > 0) Sweep(path, depth - 1, budget, result);
    } while (::FindNextFileW(find.get(), &found));
}

}  // namespace

std::optional<DWORD> StagingNameOwner(std::wstring_view name) {
    if (name.size() < 6 || name.substr(0, 3) != L"~ts") return std::nullopt;
    name.remove_prefix(3);
    auto hex = [&name](uint32_t* value) {
        size_t digits = 0;
        uint64_t number = 0;
        while (digits < name.size() && digits < 9 && std::iswxdigit(name[digits]) != 0) {
            const wchar_t c = name[digits];
            number = number * 16 + static_cast<uint64_t>(c <= L'9' ? c - L'0' : (c | 0x20) - L'a' + 10);
            ++digits;
        }
        if (digits == 0 || digits > 8) return false;
        *value = static_cast<uint32_t>(number);
        name.remove_prefix(digits);
        return true;
    };
    uint32_t pid = 0;
    uint32_t counter = 0;
    if (!hex(&pid) || name.empty() || name.front() != L'-') return std::nullopt;
    name.remove_prefix(1);
    if (!hex(&counter)) return std::nullopt;
    if (!name.empty() && name != L".tmp" && name != L".cab" && name != L".") return std::nullopt;
    return pid;
}

LeftoverSweep RemoveStagingLeftovers(const std::wstring& root, unsigned depth) {
    LeftoverSweep result;
    if (root.empty()) return result;
    unsigned budget = kSweepEntryBudget;
    Sweep(root, depth, &budget, &result);
    return result;
}

std::wstring FullPathOf(const std::wstring& path) {
    if (path.empty()) return {};
    std::wstring full(MAX_PATH, L'\0');
    for (int attempt = 0; attempt < 3; ++attempt) {
        const DWORD length = ::GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
        if (length == 0) return {};
        if (length < full.size()) {
            full.resize(length);
            return full;
        }
        full.assign(length, L'\0');
    }
    return {};
}

bool NamesSameFile(const std::wstring& a, const std::wstring& b) {
    const std::wstring fullA = FullPathOf(a);
    const std::wstring fullB = FullPathOf(b);
    if (fullA.empty() || fullB.empty()) return false;
    if (::CompareStringOrdinal(fullA.c_str(), static_cast<int>(fullA.size()), fullB.c_str(),
                               static_cast<int>(fullB.size()), TRUE) == CSTR_EQUAL) {
        return true;
    }
    BY_HANDLE_FILE_INFORMATION infoA{};
    BY_HANDLE_FILE_INFORMATION infoB{};
    return FileIdentity(fullA, &infoA) && FileIdentity(fullB, &infoB) &&
           infoA.dwVolumeSerialNumber == infoB.dwVolumeSerialNumber && infoA.nFileIndexHigh == infoB.nFileIndexHigh &&
           infoA.nFileIndexLow == infoB.nFileIndexLow;
}

StagedFile::~StagedFile() { Discard(); }

void StagedFile::Discard() {
    file_.reset();
    if (!path_.empty()) {
        const DWORD error = ::GetLastError();
        ::DeleteFileW(path_.c_str());
        ::SetLastError(error);
        path_.clear();
    }
}

bool StagedFile::Create(const std::wstring& directory, security::Secured kind) {
    Discard();
    size_ = 0;
    failed_ = false;
    if (directory.empty()) return false;
    // Never writable by other accounts; a download is not even readable by them.
    security::Descriptor descriptor = security::BuildDescriptor(kind);
    if (!descriptor) return false;
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        const std::wstring candidate = UniqueName(directory, L".tmp");
        security::ReportSecurityCall(security::SecurityCall::kCreateFile, candidate, descriptor.get());
        file_.reset(::CreateFileW(candidate.c_str(), GENERIC_WRITE | READ_CONTROL, 0, descriptor.attributes(),
                                  CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        if (file_) {
            path_ = candidate;
            return true;
        }
        if (::GetLastError() != ERROR_FILE_EXISTS && ::GetLastError() != ERROR_ALREADY_EXISTS) return false;
    }
    return false;
}

bool StagedFile::Write(const void* data, size_t size) {
    if (!file_ || failed_) return false;
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const DWORD ask = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!::WriteFile(file_.get(), bytes, ask, &written, nullptr) || written == 0) {
            failed_ = true;
            return false;
        }
        bytes += written;
        size -= written;
        size_ += written;
    }
    return true;
}

bool StagedFile::CommitTo(const std::wstring& target) {
    if (!file_ || failed_ || target.empty()) {
        Discard();
        return false;
    }
    // The content must be on disk before the name points at it.
    if (!::FlushFileBuffers(file_.get())) {
        Discard();
        return false;
    }
    // Created new by this process, so its owner is this process's account; any
    // other owner means the file is not the one written here.
    if (security::OwnerOf(file_.get(), path_) != security::FileOwner::kTrusted) {
        Discard();
        ::SetLastError(ERROR_INVALID_OWNER);
        return false;
    }
    file_.reset();
    if (!MoveOntoTarget(path_, target)) {
        const DWORD error = ::GetLastError();
        Discard();
        ::SetLastError(error);
        return false;
    }
    path_.clear();
    return true;
}

namespace {

// Clears the read-only attribute of `path`; returns the attributes it had
// (INVALID_FILE_ATTRIBUTES when the file does not exist or was not read-only).
DWORD MakeWritable(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_READONLY) == 0 ||
        (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return INVALID_FILE_ATTRIBUTES;
    }
    if (!::SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)) return INVALID_FILE_ATTRIBUTES;
    return attributes;
}

// True when `path` is a folder (or a link to one): no file step on it can
// succeed, so access denied there is final, not worth the bounded wait.
bool IsFolderEntry(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Runs `step` (a move onto `path` or its deletion) within the bounded retry of
// transient refusals: a scanner or indexer holding the staged file or the target
// for a moment is waited for. Access denied from a read-only `path` clears the
// attribute once and tries again at once; when the step still fails, the
// attribute comes back (the old file stays as it was). False with the last
// attempt's error.
template <typename Step>
bool RetryOnWritable(const std::wstring& path, Step&& step) {
    if (IsFolderEntry(path)) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    DWORD readOnly = INVALID_FILE_ATTRIBUTES;  // what a read-only `path` had, once cleared
    const bool done = RetryTransient([&] {
        if (step()) return true;
        DWORD error = ::GetLastError();
        if (error == ERROR_ACCESS_DENIED && readOnly == INVALID_FILE_ATTRIBUTES) {
            readOnly = MakeWritable(path);
            if (readOnly != INVALID_FILE_ATTRIBUTES) {
                if (step()) return true;
                error = ::GetLastError();
            }
        }
        ::SetLastError(error);
        return false;
    });
    if (!done && readOnly != INVALID_FILE_ATTRIBUTES) {
        const DWORD error = ::GetLastError();
        ::SetFileAttributesW(path.c_str(), readOnly);
        ::SetLastError(error);
    }
    return done;
}

}  // namespace

bool MoveOntoTarget(const std::wstring& from, const std::wstring& to) {
    constexpr DWORD kFlags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
    return RetryOnWritable(to, [&] { return ::MoveFileExW(from.c_str(), to.c_str(), kFlags) != FALSE; });
}

bool DeleteFileEvenReadOnly(const std::wstring& path) {
    return RetryOnWritable(path, [&] {
        if (::DeleteFileW(path.c_str())) return true;
        const DWORD error = ::GetLastError();
        // Gone already (or never there) is what was asked for.
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    });
}

bool ReplaceFileWithBytes(const std::wstring& target, std::string_view bytes, security::Secured kind) {
    StagedFile staged;
    return staged.Create(ParentDirectory(target), kind) && staged.Write(bytes.data(), bytes.size()) &&
           staged.CommitTo(target);
}

PrivateFolder::~PrivateFolder() {
    if (!path_.empty()) RemoveTree(path_);
}

bool PrivateFolder::Create(const std::wstring& parent) {
    if (parent.empty() || !path_.empty()) return false;
    // Created new (never reused), writable by SYSTEM and Administrators only.
    security::Descriptor descriptor = security::BuildDescriptor(security::Secured::kPrivateFolder);
    if (!descriptor) return false;
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        const std::wstring candidate = UniqueName(parent, L".cab");
        security::ReportSecurityCall(security::SecurityCall::kCreateDirectory, candidate, descriptor.get());
        if (::CreateDirectoryW(candidate.c_str(), descriptor.attributes())) {
            path_ = candidate;
            return true;
        }
        if (::GetLastError() != ERROR_ALREADY_EXISTS && ::GetLastError() != ERROR_FILE_EXISTS) return false;
    }
    return false;
}

}  // namespace tessary
