#pragma once

// Unpacking downloaded cabinets: the system's advpack ExtractFiles first, then
// the program's own extractor over the cabinet library's FDI interface. Nothing
// is written outside the target directory: a cabinet whose entry names leave it
// (absolute, drive or "..") is refused before any file is written.

#include <windows.h>
#include <fdi.h>

#include <string>

#include "platform/unique_resource.h"

namespace tessary {

// "advpack.dll" from the system folder and its ExtractFiles export. Log lines
// name the source "AdvPackAPI".
class CAdvPackApi {
public:
    // Loads the library (system folder only) and binds ExtractFiles, logging
    // either failure.
    CAdvPackApi();

    bool Available() const { return extractFiles_ != nullptr; }

    // Creates `target` (an existing directory is fine) and unpacks `cabinet` into
    // it. True only when ExtractFiles returned exactly 0. Both paths are in the
    // system code page.
    bool Extract(const std::string& cabinet, const std::string& target);

private:
    using ExtractFilesFn = HRESULT(WINAPI*)(LPCSTR, LPCSTR, DWORD, LPCSTR, LPVOID, DWORD);
    UniqueModule module_;
    ExtractFilesFn extractFiles_ = nullptr;
};

// The program's own cabinet extractor over FDI (Cabinet.dll, bound by ordinals
// 20, 22 and 23 on first use). Works only on the thread that constructed it;
// FDI's callbacks reach it through one thread-local slot, so one extractor per
// thread can be initialised at a time. Cabinet sets that span several files are
// not supported: extraction aborts ("Application aborted").
class QnCabExtractor {
public:
    QnCabExtractor();
    ~QnCabExtractor();
    QnCabExtractor(const QnCabExtractor&) = delete;
    QnCabExtractor& operator=(const QnCabExtractor&) = delete;

    // Creates the FDI context. False on another thread, when this thread's slot is
    // taken by another extractor, when already initialised, or when FDI fails.
    bool Initialize();

    // Unpacks `cabinet` into `target` (both in the system code page), creating
    // subfolders as the entry names give them, with the entries' time stamps and
    // read-only, hidden, system and archive attributes. Returns FDICopy's result;
    // false also before Initialize and on another thread.
    bool Extract(const std::string& cabinet, const std::string& target);

    // The text for the last FDI error ("No error", "Corrupt cabinet", ...).
    std::wstring ErrorText() const;

    // Releases the FDI context and the thread's slot (also done by the destructor).
    void Destroy();

    // Callback helpers (used by FDI through the thread-local slot).
    INT_PTR OnNotify(FDINOTIFICATIONTYPE type, PFDINOTIFICATION info);

private:
    bool OnOwnThread() const { return ::GetCurrentThreadId() == threadId_; }
    // Output path of an entry; false when the name cannot be decoded or leaves the target.
    bool OutputPath(const FDINOTIFICATION& info, std::wstring* directory, std::wstring* file) const;

    HFDI context_ = nullptr;
    ERF error_{};
    DWORD threadId_;
    std::wstring target_;
};

// Text for an FDI error operation code.
const wchar_t* CabErrorText(int code);

// Unpacks `cabinet` into `target` (system code page): advpack's ExtractFiles
// when the library and its export are there and the directory can be created,
// else QnCabExtractor. True when either extracted the cabinet; false when it was
// refused or both failed (each failure is logged).
bool ExtractCab(const std::string& cabinet, const std::string& target);

}  // namespace tessary
