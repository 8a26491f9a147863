#pragma once

// The product's security model, defined once: the explicit, protected security
// descriptors of every folder and file the product creates and of its named
// kernel objects, as SDDL text and as descriptors built from it. SYSTEM and
// Administrators are trusted and get full control; every other account gets
// only what the table in security_descriptor.cpp gives it (README, "Security
// model"). Every creation of a folder, file or named object with one of these
// descriptors is reported to an observer the tests can install.

#include <windows.h>

#include <string>

#include "platform/unique_resource.h"

namespace tessary::security {

// What a descriptor is for.
enum class Secured {
    // %ProgramData%\Quellon, ...\Tessary, ...\Quellon\QNLOGS and the log module
    // folders below it: other accounts may list and read, never create.
    kProductFolder,
    // ...\Tessary\data: as kProductFolder, and other accounts may add files to
    // the folder itself (the journal the shared permission store's writers make);
    // a file's creator may change and delete what it made.
    kDataFolder,
    // A folder only SYSTEM and Administrators use (the update checker's own work).
    kPrivateFolder,
    // A file other accounts may read: the local store, the installation
    // identity, the logger's settings files.
    kReadableFile,
    // The shared permission store: other accounts may read and write its
    // content, never delete it or change its descriptor.
    kSharedStoreFile,
    // A file only SYSTEM and Administrators read: log files, downloads,
    // extracted and staged files.
    kPrivateFile,
    // The two machine-wide mutexes: other accounts may wait for and release
    // them (SYNCHRONIZE | MUTEX_MODIFY_STATE), never change them.
    kMachineMutex,
};

// Kinds of the per-process named objects (their full-access masks differ).
enum class ObjectKind { kMutex, kSemaphore, kEvent };

// Access a process asks for when it creates or opens a machine-wide mutex: just
// enough to wait for it and release it.
inline constexpr ACCESS_MASK kMachineMutexAccess = SYNCHRONIZE | MUTEX_MODIFY_STATE;

// The model's SDDL text for `what`: "O:BA" for folders and files (the
// Administrators group owns them), no owner for the mutexes (the creator's
// default owner), and a protected DACL ("D:P") with one ACE per grant, access
// masks in hexadecimal.
std::wstring ModelSddl(Secured what);

// The SDDL text of a per-process named object of `kind`: a protected DACL giving
// SYSTEM, Administrators and the account the process runs as full access to the
// object, nobody else anything. Empty when the process's account cannot be read.
std::wstring ProcessObjectSddl(ObjectKind kind);

// An owned security descriptor (self-relative, LocalFree'd) with the
// SECURITY_ATTRIBUTES that carry it (not inheritable).
class Descriptor {
public:
    Descriptor() = default;
    explicit Descriptor(UniqueLocalMemory memory) : memory_(std::move(memory)) {
        attributes_.lpSecurityDescriptor = memory_.get();
    }
    Descriptor(Descriptor&& other) noexcept : memory_(std::move(other.memory_)) {
        attributes_.lpSecurityDescriptor = memory_.get();
    }
    Descriptor& operator=(Descriptor&& other) noexcept {
        memory_ = std::move(other.memory_);
        attributes_.lpSecurityDescriptor = memory_.get();
        return *this;
    }
    explicit operator bool() const noexcept { return memory_.get() != nullptr; }
    PSECURITY_DESCRIPTOR get() const noexcept { return memory_.get(); }
    // Null when the descriptor could not be built: the caller must then not create
    // the object (a null SECURITY_ATTRIBUTES would mean the default descriptor).
    SECURITY_ATTRIBUTES* attributes() noexcept { return memory_ ? &attributes_ : nullptr; }

private:
    UniqueLocalMemory memory_;
    SECURITY_ATTRIBUTES attributes_{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
};

// The descriptor of ModelSddl(what) / ProcessObjectSddl(kind); empty (false)
// when it cannot be built (out of memory, account unreadable), with a log line.
Descriptor BuildDescriptor(Secured what);
Descriptor BuildProcessObjectDescriptor(ObjectKind kind);

// A descriptor in one canonical text, to compare what an object carries with the
// model whatever abbreviations an SDDL writer chooses: "O:<owner SID>" (when
// `withOwner`; "O:-" without an owner), then "P" when the DACL is protected,
// then each ACE in order as "(<type>;<flags hex>;<mask hex>;<SID>)", or "D:NULL"
// for a missing DACL. Empty for a null or unreadable descriptor.
std::wstring Describe(PSECURITY_DESCRIPTOR descriptor, bool withOwner);

// The SDDL text of `descriptor`'s owner and DACL (what ConvertSecurityDescriptor-
// ToStringSecurityDescriptorW writes); empty when it cannot be converted.
std::wstring ToSddl(PSECURITY_DESCRIPTOR descriptor);

// A security call the product makes with one of the model's descriptors.
enum class SecurityCall {
    kCreateDirectory,  // CreateDirectoryW with the descriptor
    kCreateFile,       // CreateFileW creating a new file with the descriptor
    kSetSecurity,      // SetSecurityInfo on an opened handle (a take-over)
    kCreateObject,     // a named kernel object created or opened with the descriptor
};

// What an observer hears: the call, its target (path or object name), and the
// descriptor actually passed, as SDDL and in Describe's canonical text with its
// owner (both empty when none was).
struct SecurityEvent {
    SecurityCall call;
    std::wstring target;
    std::wstring sddl;
    std::wstring described;
};

// Installs `observer` (null removes it) for the whole process; returns the one
// it replaces. Test support: lets a test see every security call and the
// descriptor it carried. Thread-safe; the observer may be called on any thread.
using SecurityObserver = void (*)(const SecurityEvent& event);
SecurityObserver SetSecurityObserver(SecurityObserver observer) noexcept;

// Reports a call to the installed observer (nothing without one).
void ReportSecurityCall(SecurityCall call, const std::wstring& target, PSECURITY_DESCRIPTOR descriptor) noexcept;

}  // namespace tessary::security
