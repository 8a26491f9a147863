#pragma once

// Registry keys the service exchange reads on every request, kept open by the
// process: reading a value through a kept key is one registry call instead of an
// open, two queries and a close (under Wine each is a round trip to the server).
// Only the key handle is kept, never a value: every read returns the value as the
// registry holds it at that moment, so a changed, added or removed value is seen
// by the very next read.

#include <windows.h>

#include <cstdint>
#include <vector>

namespace tessary {

// One key below a predefined root, opened (64-bit view, query access) on the
// first read that finds it. A key that does not exist is looked for again by
// every read; a key deleted while open (the read reports ERROR_KEY_DELETED) is
// opened again by name, so a key deleted and created anew is followed. Usable
// from any number of threads at once. Has no destructor: a static instance
// keeps its handle until Close().
class KeptRegistryKey {
public:
    KeptRegistryKey(HKEY root, const wchar_t* subkey) : root_(root), subkey_(subkey) {}
    KeptRegistryKey(const KeptRegistryKey&) = delete;
    KeptRegistryKey& operator=(const KeptRegistryKey&) = delete;

    // Reads `value` as it stands now. True with its type and data exactly as the
    // registry returns them (no terminator added); false, with *type REG_NONE and
    // *data empty, when the key or the value does not exist or cannot be read.
    // Throws std::bad_alloc only when a value does not fit in memory.
    bool Read(const wchar_t* value, DWORD* type, std::vector<uint8_t>* data);

    // One value of ReadAll.
    struct Value {
        const wchar_t* name = nullptr;
        bool present = false;  // read; type and data as Read gives them
        DWORD type = REG_NONE;
        std::vector<uint8_t> data;
    };
    // Reads every value of `values` as Read does, looking for the key once for
    // all of them (so a missing key costs one registry call in all).
    void ReadAll(Value* values, size_t count);

    // Closes the kept handle; the next read opens the key again. Called when the
    // deliverable unloads.
    void Close() noexcept;
    // Closes the kept handle only when no read uses it at this moment; waits for
    // nothing (for the library's unload, under the loader lock).
    void CloseIfIdle() noexcept;

private:
    HKEY root_;
    const wchar_t* subkey_;
    SRWLOCK lock_ = SRWLOCK_INIT;  // shared while a read uses key_, exclusive to replace it
    HKEY key_ = nullptr;
};

// The keys the exchange reads: the proxy choice's values and the service origin.
KeptRegistryKey& ProxySettingsRegistryKey();
KeptRegistryKey& ProductRegistryKey();

// Closes both kept keys (at unload, when no exchange runs any more).
void CloseKeptRegistryKeys() noexcept;
// The same with CloseIfIdle: for the component server's unload.
void CloseIdleKeptRegistryKeys() noexcept;

}  // namespace tessary
