#include "transport/kept_registry_key.h"

#include <type_traits>

#include "platform/product_registry.h"
#include "transport/service_exchange.h"

namespace tessary {
namespace {

// Most values the exchange reads are far smaller; a larger one is read in a
// second step at its announced size.
constexpr DWORD kInlineValueBytes = 1024;
// A value can grow between the size query and the read; give up after this many tries.
constexpr int kReadAttempts = 8;

LSTATUS QueryValue(HKEY key, const wchar_t* value, DWORD* type, std::vector<uint8_t>* data) {
    uint8_t small[kInlineValueBytes];
    DWORD size = sizeof(small);
    LSTATUS status = ::RegQueryValueExW(key, value, nullptr, type, small, &size);
    if (status == ERROR_SUCCESS) {
        data->assign(small, small + size);
        return status;
    }
    for (int attempt = 0; status == ERROR_MORE_DATA && attempt < kReadAttempts; ++attempt) {
        data->resize(size);
        status = ::RegQueryValueExW(key, value, nullptr, type, data->data(), &size);
        if (status == ERROR_SUCCESS) data->resize(size);
    }
    return status;
}

KeptRegistryKey g_proxySettingsKey(HKEY_LOCAL_MACHINE, kProxySettingsKey);
KeptRegistryKey g_productKey(HKEY_LOCAL_MACHINE, keys::kTessary);
// Never destroyed at exit (platform/no_destructor.h): a killed exchange may have
// left the lock held, and the system closes the handles with the process.
static_assert(std::is_trivially_destructible_v<KeptRegistryKey>);

}  // namespace

bool KeptRegistryKey::Read(const wchar_t* value, DWORD* type, std::vector<uint8_t>* data) {
    Value one;
    one.name = value;
    ReadAll(&one, 1);
    *type = one.type;
    data->swap(one.data);
    return one.present;
}

void KeptRegistryKey::ReadAll(Value* values, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        values[i].present = false;
        values[i].type = REG_NONE;
        values[i].data.clear();
    }
    // Two rounds: the kept handle, then the key opened anew by name.
    for (int round = 0; round < 2; ++round) {
        HKEY seen = nullptr;
        bool deleted = false;
        ::AcquireSRWLockShared(&lock_);
        seen = key_;
        try {
            for (size_t i = 0; seen != nullptr && i < count && !deleted; ++i) {
                Value& value = values[i];
                const LSTATUS status = QueryValue(seen, value.name, &value.type, &value.data);
                deleted = status == ERROR_KEY_DELETED;
                value.present = status == ERROR_SUCCESS;
                if (!value.present) {
                    value.type = REG_NONE;
                    value.data.clear();
                }
            }
        } catch (...) {
            ::ReleaseSRWLockShared(&lock_);
            throw;
        }
        ::ReleaseSRWLockShared(&lock_);
        if (seen != nullptr && !deleted) return;
        for (size_t i = 0; i < count; ++i) {
            values[i].present = false;
            values[i].type = REG_NONE;
            values[i].data.clear();
        }

        // Not open yet, or deleted since it was opened. The open runs without the
        // lock; a thread that replaced the handle meanwhile wins.
        HKEY opened = nullptr;
        if (round == 1 ||
            ::RegOpenKeyExW(root_, subkey_, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &opened) != ERROR_SUCCESS) {
            opened = nullptr;
        }
        ::AcquireSRWLockExclusive(&lock_);
        if (key_ == seen) {
            // No read uses the old handle: they all hold the lock shared.
            if (seen != nullptr) ::RegCloseKey(seen);
            key_ = opened;
        } else if (opened != nullptr) {
            ::RegCloseKey(opened);
        }
        const bool present = key_ != nullptr;
        ::ReleaseSRWLockExclusive(&lock_);
        if (!present) return;
    }
}

void KeptRegistryKey::Close() noexcept {
    ::AcquireSRWLockExclusive(&lock_);
    if (key_ != nullptr) ::RegCloseKey(key_);
    key_ = nullptr;
    ::ReleaseSRWLockExclusive(&lock_);
}

void KeptRegistryKey::CloseIfIdle() noexcept {
    if (!::TryAcquireSRWLockExclusive(&lock_)) return;
    if (key_ != nullptr) ::RegCloseKey(key_);
    key_ = nullptr;
    ::ReleaseSRWLockExclusive(&lock_);
}

KeptRegistryKey& ProxySettingsRegistryKey() { return g_proxySettingsKey; }
KeptRegistryKey& ProductRegistryKey() { return g_productKey; }

void CloseKeptRegistryKeys() noexcept {
    g_proxySettingsKey.Close();
    g_productKey.Close();
}

void CloseIdleKeptRegistryKeys() noexcept {
    g_proxySettingsKey.CloseIfIdle();
    g_productKey.CloseIfIdle();
}

}  // namespace tessary
