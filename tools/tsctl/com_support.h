#pragma once

// What the tsctl commands that go through the registered component server share:
// output fields, COM set-up, the root object, and one option table for the
// "--name value" flags.

#include <windows.h>
#include <objbase.h>
#include <wrl/client.h>

#include <string>
#include <vector>

#include "platform/unique_resource.h"
#include "qntessary.h"

namespace tessary::tsctl {

// "0x" and the value in upper-case hexadecimal.
std::wstring Hex(unsigned long value);

// Writes "key: value\n" to standard output.
void Field(const wchar_t* key, const std::wstring& value);

// Writes "tsctl: <what> failed (0x<hr>)\n" to standard error; returns kExitFailure.
int Fail(const std::wstring& what, HRESULT hr);

// True when the command got no arguments; otherwise says so on stderr.
bool NoArguments(const std::vector<std::wstring>& args, const wchar_t* command);

// The text of a task-allocated string, empty for null.
std::wstring TaskText(const UniqueTaskString& text);

// The permission bits in hexadecimal, followed by the class letters and flags
// they stand for in parentheses when any bit is known.
std::wstring DecodePermission(ULONG bits);

// COM for the calling thread, multithreaded like the firewall's workers.
class ComScope {
public:
    ComScope() : hr_(::CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
    ~ComScope() {
        if (SUCCEEDED(hr_)) ::CoUninitialize();
    }
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;
    bool ok() const { return SUCCEEDED(hr_); }

private:
    HRESULT hr_;
};

// Creates the root object of the registered server into *root. False (after
// Fail, its exit code in *exitCode) when it cannot be created.
bool CreateRoot(Microsoft::WRL::ComPtr<IQnTessary>* root, int* exitCode);

// Runs `body` with the root object of a registered server, COM initialised;
// returns the body's exit code, or kExitFailure when COM or the root failed.
template <typename Body>
int WithRoot(Body body) {
    ComScope com;
    if (!com.ok()) return Fail(L"CoInitializeEx", E_FAIL);
    int exitCode = 0;
    Microsoft::WRL::ComPtr<IQnTessary> root;
    if (!CreateRoot(&root, &exitCode)) return exitCode;
    return body(root.Get());
}

// The details object of the application at `path`, checked locally only (the
// permission commands need its identity, not the service's answer). The
// failing result, or E_FAIL when a call succeeded without an object.
HRESULT LocalDetails(IQnTessary* root, const std::wstring& path, Microsoft::WRL::ComPtr<IQnTessaryAppDetails>* details);

// One "--name value" flag of a command: what its value is and where it goes.
// `given`, when not null, becomes true once the flag was parsed.
struct Option {
    enum class Kind {
        kText,    // any text, into std::wstring
        kNumber,  // decimal or 0x hexadecimal, into ULONG
        kIpv4,    // dotted A.B.C.D, into ULONG with the first octet lowest
        kPort,    // a number up to 0xFFFF, into ULONG
    };
    const wchar_t* name;
    Kind kind;
    void* target;
    bool* given = nullptr;
};

// Parses args[first..] as pairs of flag and value against `table`. False for a
// flag without a value, a flag the table lacks, or a value its kind rejects
// (targets already parsed keep their values).
bool ParseOptions(const std::vector<std::wstring>& args, size_t first, const std::vector<Option>& table);

// Command handlers by family (perms_commands.cpp and com_commands.cpp).
int Perms(const std::vector<std::wstring>& args);
int LocalPerms(const std::vector<std::wstring>& args);
int Verify(const std::vector<std::wstring>& args);

}  // namespace tessary::tsctl
