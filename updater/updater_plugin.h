#pragma once

// The interface of an updater plug-in: a component object of another product of
// the suite that keeps a database of its own current through the update checker.
// It derives from IDispatch; the manager calls only its own methods (slots 7 to
// 13). Every method's result counts as success only when it is S_OK (0). Strings
// handed out are BSTRs allocated by the plug-in and freed by the caller.

#include <oaidl.h>
#include <windows.h>

namespace tessary {

// {9C8DAE31-DAEA-47A4-9B30-80D7D69D1B11}
inline constexpr IID kUpdaterPluginIid = {0x9c8dae31, 0xdaea, 0x47a4, {0x9b, 0x30, 0x80, 0xd7, 0xd6, 0x9d, 0x1b, 0x11}};

struct IUpdaterPlugin : public IDispatch {
    // The code is only logged.
    virtual HRESULT STDMETHODCALLTYPE Initialize(LONG* code) = 0;
    // Status 0: the plug-in has no local database yet; any other value: it has one.
    virtual HRESULT STDMETHODCALLTYPE GetLocalDBStatus(LONG* status) = 0;
    // Replaces the database by `file`; a negative code is a failure.
    virtual HRESULT STDMETHODCALLTYPE ReplaceDB(BSTR file, LONG* code) = 0;
    // The update identifier sent to the service and used in log lines.
    virtual HRESULT STDMETHODCALLTYPE GetUpdateID(BSTR* id) = 0;
    // The version of the local database, sent as [appdb].
    virtual HRESULT STDMETHODCALLTYPE GetAppDBVersion(BSTR* version) = 0;
    // The full path at which the downloaded file is stored; its extension decides
    // the extension requested.
    virtual HRESULT STDMETHODCALLTYPE GetDownloadFile(BSTR* file) = 0;
    // Merges `file` into the database; a negative code is a failure.
    virtual HRESULT STDMETHODCALLTYPE MergeDB(BSTR file, LONG* code) = 0;
};

}  // namespace tessary
