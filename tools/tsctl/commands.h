#pragma once

#include <string>
#include <vector>

namespace tessary::tsctl {

// Exit codes of tsctl.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;  // the operation ran and failed
inline constexpr int kExitUsage = 2;    // unknown command or wrong arguments

// One command: its name, argument synopsis, one-line help and handler. The
// handler gets the arguments after the command name and writes its results to
// standard output in stable "key: value" lines.
struct Command {
    const wchar_t* name;
    const wchar_t* synopsis;
    const wchar_t* help;
    int (*run)(const std::vector<std::wstring>& args);
};

// Every command tsctl knows, in the order the usage text lists them.
const std::vector<Command>& Commands();

// The commands that go through the registered component server.
std::vector<Command> ComCommands();

// Writes text to standard output / standard error: through the console's wide
// interface when the handle is a console, as UTF-8 to a pipe or file.
void Out(const std::wstring& text);
void Err(const std::wstring& text);

}  // namespace tessary::tsctl
