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
#include <wrl/client.h>

#include <string>

#include "platform/paths.h"
#include "platform/unique_resource.h"
#include "tests/updater/doubles/double_script.h"
#include "updater/update_pass.h"

namespace {

void AppendCall(const wchar_t* line) {
    tessary::testing::AppendDoubleCall(
        std::wstring(tessary::testing::kDoublesKey) + L"\\" + tessary::testing::kEventBrokerText, line);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    if (FAILED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 1;
    const std::wstring dll = tessary::ParentDirectory(tessary::ModuleFilePath(nullptr)) + L"\\tsdoubles.dll";
    HMODULE doubles = ::LoadLibraryW(dll.c_str());
    using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
    const auto getClassObject =
        doubles != nullptr ? tessary::BindProc<GetClassObject>(doubles, "DllGetClassObject") : nullptr;
    Microsoft::WRL::ComPtr<IClassFactory> factory;
    DWORD cookie = 0;
    if (getClassObject == nullptr ||
        FAILED(getClassObject(tessary::kEventBrokerClsid, IID_IClassFactory,
                              reinterpret_cast<void**>(factory.GetAddressOf()))) ||
        FAILED(::CoRegisterClassObject(tessary::kEventBrokerClsid, factory.Get(), CLSCTX_LOCAL_SERVER,
                                       REGCLS_MULTIPLEUSE, &cookie))) {
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
    factory.Reset();
    AppendCall(L"LocalServer stopped");
    ::CoUninitialize();
    return 0;
}
