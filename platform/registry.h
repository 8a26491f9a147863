#pragma once

// Registry access for both deliverables: plain values under any root key
// (HKEY_LOCAL_MACHINE, HKEY_CLASSES_ROOT) and protected values in the obfuscated
// form of platform/protected_value.h. Every key is opened in the 64-bit registry
// view (KEY_WOW64_64KEY), so a 32-bit build would see the same values.
//
// Out-parameters: a null out-parameter makes the call return false without
// touching the registry. Otherwise the out-parameter is cleared first (0, empty)
// and stays cleared when the call returns false.

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tessary::registry {

// How a read ended, keeping "absent" apart from "failed".
enum class ReadResult {
    kRead,         // read, of the type (and size) the reader expects
    kKeyAbsent,    // the key does not exist
    kKeyFailed,    // the key exists but cannot be opened (e.g. access denied)
    kValueAbsent,  // the key opened but holds no such value
    kValueFailed,  // the value exists but cannot be read (e.g. larger than the bound)
    kWrongType,    // the value exists with another type or size than expected
};

// Reads value `value` of key `subkey` under `root` into *type and *data, whatever
// its type, opening the key with `access` (the 64-bit view is always added). A value
// of more than `maxBytes` bytes is not read (kValueFailed, ERROR_MORE_DATA). When
// `status` is given it receives the system error code of the failing step
// (ERROR_SUCCESS on kRead). Null `type` or `data` gives kValueFailed
// (ERROR_INVALID_PARAMETER) without touching the registry.
ReadResult QueryRawValue(HKEY root, const wchar_t* subkey, const wchar_t* value, DWORD* type,
                         std::vector<uint8_t>* data, REGSAM access = KEY_QUERY_VALUE, size_t maxBytes = SIZE_MAX,
                         LSTATUS* status = nullptr);

// Reads a REG_DWORD value (exactly 4 bytes; otherwise kWrongType), opening the key
// with `access`. *out is 0 unless the result is kRead; null `out` gives kValueFailed.
ReadResult QueryDword(HKEY root, const wchar_t* subkey, const wchar_t* value, DWORD* out,
                      REGSAM access = KEY_QUERY_VALUE);

// Reads value `value` of key `subkey` under `root` into *type and *data, whatever
// its type. Returns false when the key or the value cannot be read.
bool ReadRawValue(HKEY root, const wchar_t* subkey, const wchar_t* value, DWORD* type, std::vector<uint8_t>* data);

// Reads a REG_SZ or REG_EXPAND_SZ value (the latter unexpanded) of any length.
// The text ends at the first zero character or at the end of the data, so values
// stored with or without a terminating zero read the same; an odd trailing byte is
// ignored. Returns false for other types or when the value cannot be read.
bool ReadString(HKEY root, const wchar_t* subkey, const wchar_t* value, std::wstring* out);

// Reads a REG_DWORD value (exactly 4 bytes). Returns false for any other type or size.
bool ReadDword(HKEY root, const wchar_t* subkey, const wchar_t* value, DWORD* out);

// Reads a REG_BINARY value of any length. Returns false for any other type.
bool ReadBinary(HKEY root, const wchar_t* subkey, const wchar_t* value, std::vector<uint8_t>* out);

// Writes `text` as REG_SZ, followed by a terminating zero when `withTerminator`
// (some readers expect the value stored without it). Creates `subkey` and its
// missing parents. Returns false when the key cannot be created or the value set.
bool WriteString(HKEY root, const wchar_t* subkey, const wchar_t* value, std::wstring_view text,
                 bool withTerminator = true);

// Writes a REG_DWORD value, creating the key as WriteString does.
bool WriteDword(HKEY root, const wchar_t* subkey, const wchar_t* value, DWORD data);

// Writes a REG_BINARY value (`size` may be 0; `data` may then be null), creating the key.
bool WriteBinary(HKEY root, const wchar_t* subkey, const wchar_t* value, const uint8_t* data, size_t size);

// Deletes one value. Returns true when the value no longer exists (deleted now or
// absent before, including a missing key); false when it exists but cannot be deleted.
bool DeleteValue(HKEY root, const wchar_t* subkey, const wchar_t* value);

// Deletes `subkey` with all its values and subkeys. A null or empty `subkey` is
// refused (false), so a root key is never emptied by accident. Returns true when
// the key no longer exists (deleted now or absent before).
bool DeleteKeyTree(HKEY root, const wchar_t* subkey);

// True when `subkey` exists under `root` and can be opened for reading.
bool KeyExists(HKEY root, const wchar_t* subkey);

// Protected values: stored as REG_BINARY blobs of platform/protected_value.h, bound
// to their value name. A value that is missing, not REG_BINARY, fails to decode or
// holds another type than the reader expects reads as absent (false, output cleared).

// A DWORD stored protected (REG_DWORD inside the blob).
bool ReadProtectedDword(HKEY root, const wchar_t* subkey, const wchar_t* value, DWORD* out);
bool WriteProtectedDword(HKEY root, const wchar_t* subkey, const wchar_t* value, DWORD data);

// A string stored protected (REG_SZ inside the blob, UTF-16 without terminator;
// embedded zero characters are kept).
bool ReadProtectedString(HKEY root, const wchar_t* subkey, const wchar_t* value, std::wstring* out);
bool WriteProtectedString(HKEY root, const wchar_t* subkey, const wchar_t* value, std::wstring_view text);

// A 64-bit time in seconds since 1970 (REG_QWORD inside the blob): the 40-byte
// binary form used for "TsTime2".
bool ReadProtectedTime(HKEY root, const wchar_t* subkey, const wchar_t* value, int64_t* out);
bool WriteProtectedTime(HKEY root, const wchar_t* subkey, const wchar_t* value, int64_t seconds);

}  // namespace tessary::registry
