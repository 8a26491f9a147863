/* A stand-in for a tsapi.dll registered by hand from a folder any user can
 * write: loading it at all (DllMain) or calling its registration exports
 * leaves a marker file beside it. The installer must do neither. Test support only. */
#include <windows.h>

static HINSTANCE g_self;

static void Mark(const char* what) {
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(g_self, path, MAX_PATH);
    while (length > 0 && path[length - 1] != '\\') --length;
    if (length == 0 || length + 16 >= MAX_PATH) return;
    lstrcpyA(path + length, "loaded.marker");
    HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(file, what, (DWORD)lstrlenA(what), &written, NULL);
    CloseHandle(file);
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        g_self = instance;
        Mark("DllMain\n");
    }
    return TRUE;
}

__declspec(dllexport) HRESULT __stdcall DllRegisterServer(void) {
    Mark("DllRegisterServer\n");
    return S_OK;
}

__declspec(dllexport) HRESULT __stdcall DllUnregisterServer(void) {
    Mark("DllUnregisterServer\n");
    return S_OK;
}
