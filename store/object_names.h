#pragma once

// Names of the kernel objects that coordinate the threads of one process.
// Each per-process name is the prefix followed by the creating process's
// identifier in decimal, so tsapi and TSUpdChk (and every process that loads
// tsapi) own separate objects.

namespace tessary::names {

inline constexpr wchar_t kDigSigEvent[] = L"TSAPI_g_hDigSigEvent_";
inline constexpr wchar_t kSigReadSem[] = L"TSAPI_g_hSigRSem_";
inline constexpr wchar_t kSigWriteSem[] = L"TSAPI_g_hSigWSem_";
inline constexpr wchar_t kSigStartMutex[] = L"TSAPI_g_hSigStartMutex_";
inline constexpr wchar_t kLcEvent[] = L"TSAPI_g_hLCEvent_";
inline constexpr wchar_t kXcEvent[] = L"TSAPI_g_hXCEvent_";
inline constexpr wchar_t kLcWriteSem[] = L"TSAPI_g_hLCWriteSem_";
inline constexpr wchar_t kXcWriteSem[] = L"TSAPI_g_hXCWriteSem_";
inline constexpr wchar_t kLcReadSem[] = L"TSAPI_g_hLCReadSem_";
inline constexpr wchar_t kXcReadSem[] = L"TSAPI_g_hXCReadSem_";
inline constexpr wchar_t kLcStartMutex[] = L"TSAPI_g_hLCStartMutex_";
inline constexpr wchar_t kXpStartMutex[] = L"TSAPI_g_hXPStartMutex_";
inline constexpr wchar_t kStatEvent[] = L"TSAPI_g_hStatEvent_";
inline constexpr wchar_t kServerSem[] = L"TSAPI_g_pTSServerSem_";
inline constexpr wchar_t kSharedPermsReadSem[] = L"TSAPI_CQnTessarySharedPerms_m_hRSem_";
inline constexpr wchar_t kSharedPermsWriteSem[] = L"TSAPI_CQnTessarySharedPerms_m_hWSem_";
inline constexpr wchar_t kSharedPermMutex[] = L"TSAPI_g_hSharedPermMutex_";
inline constexpr wchar_t kSharedPermEvent[] = L"TSAPI_g_hSharedPermEvent_";

// Machine-wide mutexes (no process suffix), created by tsapi only. The first
// serialises every open-to-close of the shared permission store across processes.
inline constexpr wchar_t kSharedDatabaseMutex[] = L"Global\\{5A37A5DE-E415-46fe-BBB8-D60F74773D27}";
inline constexpr wchar_t kSharedSecondMutex[] = L"Global\\{2261716F-A500-4676-A096-687ED755337C}";

// Most service exchanges one process runs at a time.
inline constexpr long kMaxServiceExchanges = 100;

}  // namespace tessary::names
