#pragma once

// Bounded retry of file steps that another program refuses for a moment. An
// antivirus scanner, an indexer or a backup agent opens a new or changed file
// briefly, often without sharing; the step that meets it (open, replace, delete)
// fails with a sharing, lock or access error that is gone a few milliseconds
// later. Such a step is tried up to kTransientAttempts times, sleeping
// kTransientBackOffMs * n milliseconds after the n-th failure (25, 50, ... 225 ms:
// about 1.1 s in all before it gives up), the way SQLite's Windows layer retries
// its I/O. A refusal that lasts longer is reported as it is.

#include <windows.h>

namespace tessary {

inline constexpr int kTransientAttempts = 10;
inline constexpr DWORD kTransientBackOffMs = 25;

// Which refusals count as transient.
enum class TransientErrors {
    // Sharing and lock violations and access denied. Access denied is one of them:
    // a file whose deletion is pending, or one a scanner holds, refuses opens with it.
    kSharingAndAccess,
    // Sharing and lock violations only: for a step that a caller without the right
    // (a standard user's process) meets on every call, where waiting out access
    // denied would only slow each call down.
    kSharingOnly,
};

inline bool IsTransientFileError(DWORD error, TransientErrors kinds = TransientErrors::kSharingAndAccess) noexcept {
    if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) return true;
    return kinds == TransientErrors::kSharingAndAccess && error == ERROR_ACCESS_DENIED;
}

// Calls `step` (returning true on success, and false with the reason in the
// thread's last-error value) until it succeeds, fails with an error that is not
// transient (of `kinds`), or has been tried kTransientAttempts times. Returns the
// last result; on failure the thread's last error is that of the last attempt.
template <typename Step>
bool RetryTransient(Step&& step, TransientErrors kinds = TransientErrors::kSharingAndAccess) {
    for (int attempt = 1;; ++attempt) {
        if (step()) return true;
        const DWORD error = ::GetLastError();
        if (attempt >= kTransientAttempts || !IsTransientFileError(error, kinds)) {
            ::SetLastError(error);
            return false;
        }
        ::Sleep(kTransientBackOffMs * static_cast<DWORD>(attempt));
    }
}

}  // namespace tessary
