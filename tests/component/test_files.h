#pragma once

// Files for the identity tests: the fixture programs built beside the test
// executable, and a throwaway directory tree on drive C:.

#include <windows.h>

#include <string>
#include <string_view>

#include "platform/unique_resource.h"

namespace tessary::testing {

// Full path of `name` in the directory of the running test executable.
inline std::wstring FixturePath(std::wstring_view name) {
    wchar_t self[MAX_PATH];
    const DWORD n = ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring dir(self, n);
    dir.resize(dir.rfind(L'\\') + 1);
    return dir.append(name);
}

inline bool WriteFileBytes(const std::wstring& path, std::string_view bytes) {
    UniqueFile file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    return file && ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

inline std::string ReadFileBytes(const std::wstring& path) {
    std::string bytes;
    UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) return bytes;
    char chunk[65536];
    DWORD read = 0;
    while (::ReadFile(file.get(), chunk, sizeof chunk, &read, nullptr) && read > 0) bytes.append(chunk, read);
    return bytes;
}

inline void DeleteTree(const std::wstring& dir) {
    WIN32_FIND_DATAW entry;
    UniqueFind find(::FindFirstFileW((dir + L"\\*").c_str(), &entry));
    if (find) {
        do {
            const std::wstring name = entry.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring child = dir + L"\\" + name;
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                DeleteTree(child);
            } else {
                ::SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                ::DeleteFileW(child.c_str());
            }
        } while (::FindNextFileW(find.get(), &entry));
    }
    ::RemoveDirectoryW(dir.c_str());
}

// A directory "C:\TsIdentity-<pid>-<n>" (mixed case on purpose) removed with
// everything in it when the object goes away.
class TempTree {
public:
    TempTree() {
        static int counter = 0;
        root_ = L"C:\\TsIdentity-" + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(++counter);
        DeleteTree(root_);
        ::CreateDirectoryW(root_.c_str(), nullptr);
    }
    ~TempTree() { DeleteTree(root_); }
    TempTree(const TempTree&) = delete;
    TempTree& operator=(const TempTree&) = delete;

    const std::wstring& root() const { return root_; }

    // Creates the directories of `relative` (backslash separated, last part a file)
    // and returns the full path of the file.
    std::wstring MakeParents(std::wstring_view relative) const {
        std::wstring path = root_;
        size_t start = 0;
        for (size_t slash; (slash = relative.find(L'\\', start)) != std::wstring_view::npos; start = slash + 1) {
            path.append(L"\\").append(relative.substr(start, slash - start));
            ::CreateDirectoryW(path.c_str(), nullptr);
        }
        return path.append(L"\\").append(relative.substr(start));
    }

private:
    std::wstring root_;
};

}  // namespace tessary::testing
