#pragma once

// The registrar: applies a registry script (resource type "REGISTRY") to the
// registry, or removes what it describes.
//
// Script text (ANSI in the resource):
//   script   := { root '{' body '}' }
//   root     := HKCR | HKEY_CLASSES_ROOT | HKLM | HKEY_LOCAL_MACHINE | HKCU | HKEY_CURRENT_USER
//   body     := { key | value }
//   key      := [ 'NoRemove' | 'ForceRemove' ] name [ '=' data ] [ '{' body '}' ]
//   value    := 'val' name '=' data
//   data     := 's' name        (REG_SZ)
//             | 'd' number      (REG_DWORD, decimal or 0x hexadecimal)
//   name     := a bare word, or text in single quotes with '' standing for one quote
// "%NAME%" is replaced by the caller's replacement for NAME before parsing and
// "%%" stands for one percent sign.
//
// Registration creates every key in script order, sets each key's default value
// and named values; a ForceRemove key is first deleted with everything below it.
// Removal walks the same tree: a NoRemove key is kept (its children are still
// removed), a ForceRemove key is deleted whole, any other key is deleted after its
// children when no subkey remains below it; named values are deleted. Keys and
// values that are already absent count as removed.

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

namespace tessary {

struct ScriptReplacement {
    std::wstring_view name;   // without the percent signs
    std::wstring_view value;  // inserted as is
};

// Applies `script` (install) or removes what it describes (!install).
// The whole script is parsed before the registry is touched: a malformed script,
// or a "%NAME%" without replacement, returns HRESULT_FROM_WIN32(ERROR_INVALID_DATA)
// and changes nothing. Otherwise stops at the first registry failure and returns
// it as an HRESULT; S_OK when everything was applied.
HRESULT ApplyRegistryScript(std::wstring_view script, const std::vector<ScriptReplacement>& replacements,
                            bool install) noexcept;

// Loads resource `id` of type "REGISTRY" from `module` (ANSI text) and applies it
// as ApplyRegistryScript. A missing resource gives HRESULT_FROM_WIN32 of the
// loader's error.
HRESULT ApplyRegistryResource(HMODULE module, UINT id, const std::vector<ScriptReplacement>& replacements,
                              bool install) noexcept;

}  // namespace tessary
