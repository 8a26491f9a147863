#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>

namespace tessary {

// A 32-bit flag that one thread may set while other threads read it or copy the
// record holding it: every access, copies included, is atomic. Relaxed order is
// enough because the flag publishes no other data.
class SharedFlag32 {
public:
    SharedFlag32(uint32_t value = 0) noexcept : value_(value) {}
    SharedFlag32(const SharedFlag32& other) noexcept : value_(other.load()) {}
    SharedFlag32& operator=(const SharedFlag32& other) noexcept {
        store(other.load());
        return *this;
    }
    SharedFlag32& operator=(uint32_t value) noexcept {
        store(value);
        return *this;
    }
    operator uint32_t() const noexcept { return load(); }

    uint32_t load() const noexcept { return value_.load(std::memory_order_relaxed); }
    void store(uint32_t value) noexcept { value_.store(value, std::memory_order_relaxed); }

private:
    std::atomic<uint32_t> value_;
};

// The identity and reputation of one executable, owned by an application details
// object. Narrow text is in the calling thread's ANSI code page.
struct AppRecord {
    std::wstring path;                 // normalised long path
    std::string exeName;               // last path component, as stored on disk
    std::string applicationName;       // "FileDescription", else "ProductName"
    std::string company;               // "CompanyName"
    std::string description;           // from the service's answer only
    std::string className;             // the service's verdict; empty or "?" means unknown
    std::string version;               // "%d.%d" of major and minor file version, or empty
    std::string md5;                   // 32 upper-case hexadecimal digits, or empty
    uint32_t sizeOnDisk = 0;           // low 32 bits of the file size
    SharedFlag32 goodSignature;        // set by signature verification, also while the record is shared
    std::array<uint8_t, 16> digest{};  // raw MD5 digest when it was computed
};

}  // namespace tessary
