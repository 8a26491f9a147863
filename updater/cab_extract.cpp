#include "updater/cab_extract.h"

#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string_view>

#include "Logging/log_builder.h"
#include "platform/contained_path.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "platform/unique_resource.h"
#include "updater/cabinet_names.h"

namespace tessary {
namespace {

using ETWLogging::kSeverityError;
using ETWLogging::kSeverityInformation;

constexpr wchar_t kSource[] = L"TSUpdChk";

// Attribute bit of a cabinet entry whose time stamp is already universal time.
constexpr USHORT kAttributeUtcTime = 0x100;
// Read-only, hidden, system and archive: the attributes an extracted file keeps.
constexpr USHORT kKeptAttributes = 0x27;
// Largest file table read when checking a cabinet's names before extracting.
constexpr size_t kMaxDirectoryBytes = 32u * 1024 * 1024;

thread_local QnCabExtractor* t_extractor = nullptr;

// Cabinet.dll, loaded from the system directory on first use and kept.
struct FdiApi {
    using CreateFn = HFDI(DIAMONDAPI*)(PFNALLOC, PFNFREE, PFNOPEN, PFNREAD, PFNWRITE, PFNCLOSE, PFNSEEK, int, PERF);
    using CopyFn = BOOL(DIAMONDAPI*)(HFDI, char*, char*, int, PFNFDINOTIFY, PFNFDIDECRYPT, void*);
    using DestroyFn = BOOL(DIAMONDAPI*)(HFDI);
    CreateFn create = nullptr;
    CopyFn copy = nullptr;
    DestroyFn destroy = nullptr;
};

const FdiApi& Fdi() {
    static const FdiApi api = [] {
        FdiApi bound;
        HMODULE module = LoadSystemLibrary(L"Cabinet.dll");
        if (module == nullptr) return bound;
        // Cabinet.dll's decompressor exports are bound by ordinal.
        bound.create = BindProc<FdiApi::CreateFn>(module, MAKEINTRESOURCEA(20));
        bound.copy = BindProc<FdiApi::CopyFn>(module, MAKEINTRESOURCEA(22));
        bound.destroy = BindProc<FdiApi::DestroyFn>(module, MAKEINTRESOURCEA(23));
        return bound;
    }();
    return api;
}

std::optional<std::wstring> Decode(const char* text, UINT codePage) {
    if (text == nullptr) return std::nullopt;
    const int length = static_cast<int>(std::string_view(text).size());
    if (length == 0) return std::wstring();
    const DWORD flags = codePage == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0;
    const int needed = ::MultiByteToWideChar(codePage, flags, text, length, nullptr, 0);
    if (needed <= 0) return std::nullopt;
    std::wstring wide(static_cast<size_t>(needed), L'\0');
    ::MultiByteToWideChar(codePage, flags, text, length, wide.data(), needed);
    return wide;
}

// FDI's memory and file callbacks. File names that FDI opens itself (the
// cabinet) arrive as UTF-8, never in the ANSI code page, so that any name
// Windows holds (a folder named in Greek or Chinese on a Western system) opens.
void* DIAMONDAPI FdiAlloc(ULONG size) { return std::malloc(size); }
void DIAMONDAPI FdiFree(void* p) { std::free(p); }

INT_PTR DIAMONDAPI FdiOpen(char* name, int flags, int mode) {
    if (t_extractor == nullptr) return 0;
    const std::optional<std::wstring> wide = Decode(name, CP_UTF8);
    if (!wide) return -1;
    if ((flags & _O_CREAT) != 0) ::SetFileAttributesW(wide->c_str(), FILE_ATTRIBUTE_NORMAL);
    return _wsopen(wide->c_str(), flags, _SH_DENYNO, mode);
}

UINT DIAMONDAPI FdiRead(INT_PTR file, void* buffer, UINT size) {
    if (t_extractor == nullptr) return 0;
    return static_cast<UINT>(_read(static_cast<int>(file), buffer, size));
}

UINT DIAMONDAPI FdiWrite(INT_PTR file, void* buffer, UINT size) {
    if (t_extractor == nullptr) return 0;
    // FDI writes only extracted files; a write beyond the cap fails the extraction.
    if (!t_extractor->OnWrite(size)) return static_cast<UINT>(-1);
    return static_cast<UINT>(_write(static_cast<int>(file), buffer, size));
}

int DIAMONDAPI FdiClose(INT_PTR file) {
    if (t_extractor == nullptr || file <= 0) return 0;
    return _close(static_cast<int>(file));
}

LONG DIAMONDAPI FdiSeek(INT_PTR file, LONG distance, int origin) {
    if (t_extractor == nullptr) return 0;
    return _lseek(static_cast<int>(file), distance, origin);
}

INT_PTR DIAMONDAPI FdiNotify(FDINOTIFICATIONTYPE type, PFDINOTIFICATION info) {
    return t_extractor != nullptr ? t_extractor->OnNotify(type, info) : 0;
}

// The cabinet's header and file table; nothing when the file cannot be read or is no cabinet.
std::optional<CabinetDirectory> ReadCabinetDirectory(const std::wstring& cabinet) {
    UniqueFile file(::CreateFileW(cabinet.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return std::nullopt;
    std::string bytes(kCabinetHeaderSize, '\0');
    DWORD got = 0;
    if (!::ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr) || got != bytes.size()) {
        return std::nullopt;
    }
    LARGE_INTEGER size{};
    ::GetFileSizeEx(file.get(), &size);
    size_t extent = CabinetDirectoryExtent(bytes);
    if (extent == 0) return std::nullopt;
    extent = std::min<size_t>({extent, static_cast<size_t>(size.QuadPart), kMaxDirectoryBytes});
    if (extent > bytes.size()) {
        const size_t have = bytes.size();
        bytes.resize(extent);
        if (!::ReadFile(file.get(), bytes.data() + have, static_cast<DWORD>(extent - have), &got, nullptr)) {
            return std::nullopt;
        }
        bytes.resize(have + got);
    }
    return ParseCabinetDirectory(bytes);
}

}  // namespace

const wchar_t* CabErrorText(int code) {
    static constexpr const wchar_t* kTexts[] = {
        L"No error",
        L"Cabinet not found",
        L"Not a cabinet",
        L"Unknown cabinet version",
        L"Corrupt cabinet",
        L"Memory allocation failed",
        L"Unknown compression type",
        L"Failure decompressing data",
        L"Failure writing to target file",
        L"Cabinets in set have different RESERVE sizes",
        L"Cabinet returned on fdintNEXT_CABINET is incorrect",
        L"Application aborted",
    };
    return code >= 0 && code < static_cast<int>(std::size(kTexts)) ? kTexts[code] : L"Unknown error";
}

// QnCabExtractor:

QnCabExtractor::QnCabExtractor() : threadId_(::GetCurrentThreadId()) {}

QnCabExtractor::~QnCabExtractor() { Destroy(); }

bool QnCabExtractor::Initialize() {
    if (!OnOwnThread() || t_extractor != nullptr || context_ != nullptr) return false;
    const FdiApi& fdi = Fdi();
    if (fdi.create == nullptr || fdi.copy == nullptr || fdi.destroy == nullptr) {
        error_.erfOper = FDIERROR_ALLOC_FAIL;
        return false;
    }
    t_extractor = this;
    context_ = fdi.create(FdiAlloc, FdiFree, FdiOpen, FdiRead, FdiWrite, FdiClose, FdiSeek, cpuUNKNOWN, &error_);
    if (context_ == nullptr) t_extractor = nullptr;
    return context_ != nullptr;
}

bool QnCabExtractor::Extract(const std::wstring& cabinet, const std::wstring& target) {
    if (!OnOwnThread() || context_ == nullptr || t_extractor != this) return false;
    target_ = target;
    if (target_.empty() || target_.back() != L'\\') target_.push_back(L'\\');
    entries_ = 0;
    bytes_ = 0;
    produced_.clear();
    refusal_.clear();

    // FDI hands the joined path back to the open callback, which reads it as
    // UTF-8. A path that does not come back unchanged (an unpaired surrogate
    // becomes U+FFFD) would open another file: it is not handed over.
    std::string path = WideToUtf8(cabinet);
    if (Utf8ToWide(path) != cabinet) {
        error_ = ERF{FDIERROR_CABINET_NOT_FOUND, ERROR_INVALID_NAME, TRUE};
        return false;
    }
    const size_t cut = path.find_last_of("\\/");
    std::string directory = cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
    std::string name = cut == std::string::npos ? path : path.substr(cut + 1);
    return Fdi().copy(context_, name.data(), directory.data(), 0, FdiNotify, nullptr, nullptr) != FALSE;
}

std::wstring QnCabExtractor::ErrorText() const { return CabErrorText(error_.erfOper); }

void QnCabExtractor::Destroy() {
    if (!OnOwnThread()) return;
    if (context_ != nullptr) {
        Fdi().destroy(context_);
        context_ = nullptr;
    }
    if (t_extractor == this) t_extractor = nullptr;
}

bool QnCabExtractor::OutputPath(const FDINOTIFICATION& info, std::wstring* directory, std::wstring* file) const {
    const bool utf8 = (info.attribs & _A_NAME_IS_UTF) != 0;
    std::optional<std::wstring> name = Decode(info.psz1, utf8 ? CP_UTF8 : 1252);
    // A name that would leave the target directory, or name a device, is never written.
    if (!name || !IsContainedPath(*name)) return false;
    for (wchar_t& c : *name) {
        if (c == L'/') c = L'\\';
    }
    const size_t cut = name->rfind(L'\\');
    *directory = target_ + (cut == std::wstring::npos ? std::wstring() : name->substr(0, cut));
    const std::wstring leaf = cut == std::wstring::npos ? *name : name->substr(cut + 1);
    if (leaf.empty()) return false;
    *file = *directory;
    if (file->back() != L'\\') file->push_back(L'\\');
    *file += leaf;
    return true;
}

INT_PTR QnCabExtractor::OnNotify(FDINOTIFICATIONTYPE type, PFDINOTIFICATION info) {
    switch (type) {
        case fdintCABINET_INFO:
        case fdintENUMERATE:
            return 0;
        case fdintPARTIAL_FILE:
        case fdintNEXT_CABINET:
            // Cabinet sets that span several files are not supported.
            return -1;
        case fdintCOPY_FILE: {
            std::wstring directory;
            std::wstring file;
            if (!OutputPath(*info, &directory, &file)) {
                refusal_ = L"an entry's name leaves the target folder or names a device";
                return -1;
            }
            if (++entries_ > kMaxCabinetEntries) {
                refusal_ = L"more than " + std::to_wstring(kMaxCabinetEntries) + L" entries";
                return -1;
            }
            if (info->cb < 0 || static_cast<uint64_t>(info->cb) > kMaxCabinetBytes - bytes_) {
                refusal_ = L"more than " + std::to_wstring(kMaxCabinetBytes) + L" bytes";
                return -1;
            }
            if (!IsDirectory(directory) && !CreateDirectoryTree(directory)) return -1;
            // Created new, never opened or truncated: a file that is there already
            // (made by someone else, or named twice by the cabinet) is not written through.
            const int created = _wsopen(file.c_str(), _O_BINARY | _O_CREAT | _O_EXCL | _O_WRONLY | _O_SEQUENTIAL,
                                        _SH_DENYRW, _S_IREAD | _S_IWRITE);
            if (created < 0) refusal_ = L"an entry's file exists already or cannot be created";
            return created;
        }
        case fdintCLOSE_FILE_INFO: {
            FdiClose(info->hf);
            std::wstring directory;
            std::wstring file;
            if (!OutputPath(*info, &directory, &file)) return -1;
            FILETIME local{};
            FILETIME stamp{};
            if (::DosDateTimeToFileTime(info->date, info->time, &local)) {
                if ((info->attribs & kAttributeUtcTime) != 0 || !::LocalFileTimeToFileTime(&local, &stamp)) {
                    stamp = local;
                }
                UniqueFile handle(::CreateFileW(file.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
                if (handle) ::SetFileTime(handle.get(), &stamp, nullptr, &stamp);
            }
            const DWORD attributes = info->attribs & kKeptAttributes;
            ::SetFileAttributesW(file.c_str(), attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL);
            produced_.push_back(file);
            return TRUE;
        }
        default:
            return 0;
    }
}

bool QnCabExtractor::OnWrite(UINT size) {
    if (size > kMaxCabinetBytes - bytes_) {
        refusal_ = L"more than " + std::to_wstring(kMaxCabinetBytes) + L" bytes";
        return false;
    }
    bytes_ += size;
    return true;
}

bool ExtractCab(const std::wstring& cabinet, const std::wstring& target, std::vector<std::wstring>* produced) {
    if (produced != nullptr) produced->clear();
    // What the file table shows may refuse a cabinet before anything is written;
    // the extractor's own checks below decide for every entry it writes.
    if (const std::optional<CabinetDirectory> directory = ReadCabinetDirectory(cabinet)) {
        uint64_t announced = 0;
        for (const CabinetEntry& entry : directory->entries) {
            const std::optional<std::wstring> name = Decode(entry.name.c_str(), entry.nameIsUtf8 ? CP_UTF8 : 1252);
            if (!name || !IsContainedPath(*name)) {
                TS_LOG(kSeverityError, kSource, L"Cabinet %s holds a file outside the target folder, not extracted",
                       cabinet.c_str());
                return false;
            }
            announced += entry.size;
        }
        if (directory->entries.size() > kMaxCabinetEntries || announced > kMaxCabinetBytes) {
            TS_LOG(kSeverityError, kSource,
                   L"Cabinet %s holds %u entries of %llu bytes, more than the %u entries or %llu bytes allowed, "
                   L"not extracted",
                   cabinet.c_str(), static_cast<unsigned>(directory->entries.size()),
                   static_cast<unsigned long long>(announced), static_cast<unsigned>(kMaxCabinetEntries),
                   static_cast<unsigned long long>(kMaxCabinetBytes));
            return false;
        }
    }

    QnCabExtractor extractor;
    if (!extractor.Initialize()) {
        TS_LOG(kSeverityError, kSource, L"Faid to Initialize QnCabExtractor, error %s", extractor.ErrorText().c_str());
        return false;
    }
    if (!extractor.Extract(cabinet, target)) {
        TS_LOG(kSeverityError, kSource, L"Failed to extract file %s into %s folder, error: %s)", cabinet.c_str(),
               target.c_str(), extractor.ErrorText().c_str());
        if (!extractor.RefusalReason().empty()) {
            TS_LOG(kSeverityError, kSource, L"Cabinet %s refused: %s", cabinet.c_str(),
                   extractor.RefusalReason().c_str());
        }
        return false;
    }
    TS_LOG(kSeverityInformation, kSource, L"Successfully Extracted %s to %s", cabinet.c_str(), target.c_str());
    if (produced != nullptr) *produced = extractor.Produced();
    return true;
}

}  // namespace tessary
