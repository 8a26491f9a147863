#pragma once

// Identifiers of the component server that the interface definition does not
// carry, and the root interface with its reserved slot.

#include <windows.h>

#include "qntessary.h"

namespace tessary {

// Application identifier of the server's registration.
inline constexpr GUID kAppId = {0x02FCCD7B, 0x1F18, 0x458D, {0xB1, 0xC3, 0xB6, 0xAE, 0xB2, 0x01, 0x24, 0xFD}};
inline constexpr wchar_t kAppIdText[] = L"{02FCCD7B-1F18-458D-B1C3-B6AEB20124FD}";

// The version class is creatable and registered but not described in the type library.
inline constexpr CLSID kClsidQnTessaryVersion = {
    0x6021CE48, 0xB556, 0x4f11, {0xBC, 0x68, 0xA6, 0x47, 0xF0, 0x56, 0xF8, 0xCC}};

// Type library version and locale as registered.
inline constexpr WORD kTypeLibMajor = 1;
inline constexpr WORD kTypeLibMinor = 0;
inline constexpr LCID kTypeLibLocale = 0x409;

}  // namespace tessary

// IQnTessary as the root object lays it out: the five getters of the type library
// followed by one further slot that the library does not describe. Same interface
// identifier as IQnTessary.
struct IQnTessaryReserved : public IQnTessary {
    // Ignores `reserved`; sets *plResult to 0 and returns S_OK (E_POINTER for a null plResult).
    virtual HRESULT STDMETHODCALLTYPE GetReservedInterface(void* reserved, LONG* plResult) = 0;
};
__CRT_UUID_DECL(IQnTessaryReserved, 0x73d22cca, 0x2404, 0x4b7e, 0xa6, 0x02, 0x8e, 0x6f, 0x70, 0xac, 0x15, 0x48)
