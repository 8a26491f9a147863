#include "tools/tsctl/commands.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "component/file_identity.h"
#include "platform/text.h"
#include "store/data_paths.h"
#include "store/named_objects.h"
#include "store/stores.h"

namespace tessary::tsctl {
namespace {

// All of tsctl's output goes through here. A console shows text in its own code
// page (the OEM one by default), so it gets the text as UTF-16 through
// WriteConsoleW; a pipe or a file gets UTF-8 bytes, which scripts and the tests
// read. A console write that fails (a console closed under us) loses the text.
void Write(DWORD standardHandle, FILE* stream, const std::wstring& text) {
    const HANDLE handle = ::GetStdHandle(standardHandle);
    DWORD mode = 0;
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE && ::GetConsoleMode(handle, &mode)) {
        constexpr size_t kConsoleChunk = 8192;  // large console writes can fail as a whole
        for (size_t done = 0; done < text.size();) {
            const DWORD count = static_cast<DWORD>(std::min(text.size() - done, kConsoleChunk));
            DWORD written = 0;
            if (!::WriteConsoleW(handle, text.data() + done, count, &written, nullptr) || written == 0) return;
            done += written;
        }
        return;
    }
    const std::string utf8 = WideToUtf8(text);
    std::fwrite(utf8.data(), 1, utf8.size(), stream);
    std::fflush(stream);
}

void Field(const wchar_t* key, const std::wstring& value) { Out(std::wstring(key) + L": " + value + L"\n"); }
void Field(const wchar_t* key, const std::string& narrow) { Field(key, NarrowToWide(narrow)); }

int Identify(const std::vector<std::wstring>& args) {
    if (args.empty()) {
        Err(L"identify: give one or more executable paths\n");
        return kExitUsage;
    }
    int result = kExitOk;
    for (size_t i = 0; i < args.size(); ++i) {
        const AppRecord record = BuildFromPath(args[i]);
        if (i > 0) Out(L"\n");
        Field(L"path", record.path);
        Field(L"exe name", record.exeName);
        Field(L"size on disk", std::to_wstring(record.sizeOnDisk));
        Field(L"md5", record.md5);
        Field(L"version", record.version);
        Field(L"company", record.company);
        Field(L"application", record.applicationName);
        if (record.md5.empty()) result = kExitFailure;  // absent or unreadable file
    }
    return result;
}

int StoreInfo(const std::vector<std::wstring>& args) {
    if (!args.empty()) {
        Err(L"store: takes no arguments\n");
        return kExitUsage;
    }
    CreateNamedObjects(Deliverable::kUpdateChecker);
    Field(L"local store", ResolveDataPath(kLocalStoreName, DataBase::kCommonData));
    UniqueSqlite db;
    StoreOpenStatus opened = StoreOpenStatus::kOpen;
    if (!OpenLocalStore(&db, &opened)) {
        Err(std::wstring(L"store: the local store ") + StoreOpenStatusText(opened) + L"\n");
        return kExitFailure;
    }
    UniqueSqliteTable table;
    int rows = 0;
    int columns = 0;
    if (sqlite_get_table(db.get(), "SELECT type, name FROM sqlite_master ORDER BY type DESC, name;", table.put(), &rows,
                         &columns, nullptr) != SQLITE_OK) {
        Err(L"store: the schema cannot be read\n");
        return kExitFailure;
    }
    for (int row = 1; row <= rows; ++row) {
        const char* type = table.get()[row * columns];
        const char* name = table.get()[row * columns + 1];
        Field(type != nullptr && std::string(type) == "index" ? L"index" : L"table",
              std::string(name != nullptr ? name : ""));
    }
    return kExitOk;
}

}  // namespace

void Out(const std::wstring& text) { Write(STD_OUTPUT_HANDLE, stdout, text); }
void Err(const std::wstring& text) { Write(STD_ERROR_HANDLE, stderr, text); }

const std::vector<Command>& Commands() {
    static const std::vector<Command> commands = [] {
        std::vector<Command> all = ComCommands();
        all.push_back({L"identify", L"PATH...",
                       L"print the identity of executables: normalised path, size, MD5, version strings", Identify});
        all.push_back(
            {L"store", L"", L"open (creating when needed) the local store and list its tables and indexes", StoreInfo});
        return all;
    }();
    return commands;
}

}  // namespace tessary::tsctl
