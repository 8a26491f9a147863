// Stands in for the update checker in the reset tests: leaves "started.txt"
// next to its own file and exits.
#include <windows.h>

#include <string>

int wmain() {
    wchar_t self[MAX_PATH * 4] = {};
    DWORD n = ::GetModuleFileNameW(nullptr, self, static_cast<DWORD>(std::size(self)));
    if (n == 0 || n >= std::size(self)) return 1;
    std::wstring path(self, n);
    path = path.substr(0, path.find_last_of(L'\\')) + L"\\started.txt";
    HANDLE h = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return 2;
    ::CloseHandle(h);
    return 0;
}
