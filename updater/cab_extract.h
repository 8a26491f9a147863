#pragma once

// Unpacking downloaded cabinets with the program's own extractor over the
// cabinet library's FDI interface. Every entry is checked in the extractor's
// callback as the library hands it over for writing, so the names checked are
// exactly the names written: a name that would leave the target folder (a
// drive, a root, "..", a stream or a DOS device) aborts the extraction, and so
// does a cabinet with more than kMaxCabinetEntries entries or more than
// kMaxCabinetBytes of content. The system's advpack ExtractFiles is not used:
// it writes whatever names its own reading of the cabinet finds, with no way to
// check them first.

#include <windows.h>
#include <fdi.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/unique_resource.h"

namespace tessary {

// Most entries one cabinet may hold, and most bytes all its entries together
// may extract to. The service's cabinets carry one database each; the caps keep
// a hostile cabinet from filling the disk or the folder.
inline constexpr uint32_t kMaxCabinetEntries = 256;
inline constexpr uint64_t kMaxCabinetBytes = 256ull * 1024 * 1024;

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

    // Unpacks `cabinet` into `target` (wide paths, any name Windows holds),
    // creating subfolders as the entry names give them, with the entries' time
    // stamps and read-only, hidden, system and archive attributes. Aborts ("Application
    // aborted") at the first entry whose name is not contained below the target
    // or that goes beyond the caps; RefusalReason then says why. Returns FDICopy's
    // result; false also before Initialize, on another thread, and when the
    // cabinet's path cannot be handed to FDI as UTF-8 unchanged (an unpaired
    // surrogate: "Cabinet not found").
    bool Extract(const std::wstring& cabinet, const std::wstring& target);

    // Full paths of the files this Extract call wrote and closed completely, in
    // cabinet order. Only meaningful when Extract returned true.
    const std::vector<std::wstring>& Produced() const { return produced_; }

    // Why the last Extract aborted on an entry; empty when no entry was refused.
    const std::wstring& RefusalReason() const { return refusal_; }

    // The text for the last FDI error ("No error", "Corrupt cabinet", ...).
    std::wstring ErrorText() const;

    // Releases the FDI context and the thread's slot (also done by the destructor).
    void Destroy();

    // Callback helpers (used by FDI through the thread-local slot).
    INT_PTR OnNotify(FDINOTIFICATIONTYPE type, PFDINOTIFICATION info);
    // Counts `size` bytes about to be written to an extracted file; false when
    // that goes beyond kMaxCabinetBytes.
    bool OnWrite(UINT size);

private:
    bool OnOwnThread() const { return ::GetCurrentThreadId() == threadId_; }
    // Output path of an entry; false when the name cannot be decoded or leaves the target.
    bool OutputPath(const FDINOTIFICATION& info, std::wstring* directory, std::wstring* file) const;

    HFDI context_ = nullptr;
    ERF error_{};
    DWORD threadId_;
    std::wstring target_;
    uint32_t entries_ = 0;
    uint64_t bytes_ = 0;
    std::vector<std::wstring> produced_;
    std::wstring refusal_;
};

// Text for an FDI error operation code.
const wchar_t* CabErrorText(int code);

// Unpacks `cabinet` into `target` (wide paths) with QnCabExtractor. A cabinet
// whose file table, as far as it can be read beforehand, already shows
// a name outside the target or more than the caps is refused before anything
// is written. True when the whole cabinet was extracted; `produced` (optional)
// then receives the full paths of the files written. False, with `produced`
// empty, when it was refused or extraction failed (each failure is logged);
// files written before a failure stay where they are.
bool ExtractCab(const std::wstring& cabinet, const std::wstring& target, std::vector<std::wstring>* produced = nullptr);

}  // namespace tessary
