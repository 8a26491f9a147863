#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace tessary {

// The identity and reputation of one executable, owned by an application details
// object. Narrow text is in the calling thread's ANSI code page.
struct AppRecord {
    std::wstring path;            // normalised long path
    std::string exeName;          // last path component, as stored on disk
    std::string applicationName;  // "FileDescription", else "ProductName"
    std::string company;          // "CompanyName"
    std::string description;      // from the service's answer only
    std::string className;        // the service's verdict; empty or "?" means unknown
    std::string version;          // "%d.%d" of major and minor file version, or empty
    std::string md5;              // 32 upper-case hexadecimal digits, or empty
    uint32_t sizeOnDisk = 0;      // low 32 bits of the file size
    uint32_t goodSignature = 0;   // set by signature verification
    std::array<uint8_t, 16> digest{};  // raw MD5 digest when it was computed
};

}  // namespace tessary
