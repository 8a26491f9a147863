// tsctl: drives the component the way the suite's products do and shows what
// it finds, for administrators and developers of the suite.
#include <windows.h>

#include <string>
#include <vector>

#include "tools/tsctl/commands.h"

namespace {

void Usage() {
    using tessary::tsctl::Err;
    Err(L"usage: tsctl <command> [arguments]\n\ncommands:\n");
    for (const auto& command : tessary::tsctl::Commands()) {
        Err(L"  " + std::wstring(command.name) + L" " + command.synopsis + L"\n      " + command.help + L"\n");
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2 || std::wstring(argv[1]) == L"help" || std::wstring(argv[1]) == L"--help") {
        Usage();
        return argc < 2 ? tessary::tsctl::kExitUsage : tessary::tsctl::kExitOk;
    }
    const std::wstring name = argv[1];
    for (const auto& command : tessary::tsctl::Commands()) {
        if (name == command.name) {
            std::vector<std::wstring> args(argv + 2, argv + argc);
            try {
                return command.run(args);
            } catch (const std::exception&) {
                tessary::tsctl::Err(L"tsctl: out of memory\n");
                return tessary::tsctl::kExitFailure;
            }
        }
    }
    tessary::tsctl::Err(L"tsctl: unknown command '" + name + L"'\n\n");
    Usage();
    return tessary::tsctl::kExitUsage;
}
