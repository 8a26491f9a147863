// The event broker double as a local server: a process of its own that serves
// the broker class of tsdoubles.dll (loaded from beside it) to other processes
// through the COM runtime's out-of-process activation, so the update checker
// reaches the broker, and the broker's sink, only through proxies. The COM
// runtime starts it ("-Embedding"); it writes "LocalServer started" to the
// broker's call log once the class is served and "LocalServer stopped" when it
// ends: when the event kBrokerHostStopEvent is set, or after a minute. Test
// support only.

#include <objbase.h>
#include <windows.h>

#include <string>

#include "platform/paths.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "platform/unique_resource.h"
#include "tests/updater/doubles/double_script.h"
#include "updater/update_pass.h"

namespace {

void AppendCall(const wchar_t* line) {
    std::wstring log;
    const std::wstring key = std::wstring(tessary::testing::kDoublesKey) + L"\\" + tessary::testing::kEventBrokerText;
    if (!tessary::registry::ReadString(HKEY_LOCAL_MACHINE, key.c_str(), L"CallLog", &log) || log.empty()) return;
    HANDLE file = ::CreateFileW(log.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    const std::string text = tessary::WideToUtf8(line) + "\n";
    DWORD written = 0;
    ::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    ::CloseHandle(file);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    if (FAILED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 1;
    const std::wstring dll = tessary::ParentDirectory(tessary::ModuleFilePath(nullptr)) + L"\\tsdoubles.dll";
    HMODULE doubles = ::LoadLibraryW(dll.c_str());
    using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
    const auto getClassObject =
        doubles != nullptr ? tessary::BindProc<GetClassObject>(doubles, "DllGetClassObject") : nullptr;
    IClassFactory* factory = nullptr;
    DWORD cookie = 0;
    if (getClassObject == nullptr ||
        FAILED(getClassObject(tessary::kEventBrokerClsid, IID_IClassFactory, reinterpret_cast<void**>(&factory))) ||
        FAILED(::CoRegisterClassObject(tessary::kEventBrokerClsid, factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE,
                                       &cookie))) {
        AppendCall(L"LocalServer failed");
        return 2;
    }
    AppendCall(L"LocalServer started");
    HANDLE stop = ::CreateEventW(nullptr, TRUE, FALSE, tessary::testing::kBrokerHostStopEvent);
    if (stop != nullptr) {
        ::WaitForSingleObject(stop, 60000);
        ::CloseHandle(stop);
    }
    ::CoRevokeClassObject(cookie);
    factory->Release();
    AppendCall(L"LocalServer stopped");
    ::CoUninitialize();
    return 0;
}
