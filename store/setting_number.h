#pragma once

// Number parsing of the service's published settings rows. Portable (no Windows
// headers), so it also builds natively for the sanitizer and fuzzing builds.

#include <cstdint>

namespace tessary {

// A setting's text as a signed 32-bit number: leading white space, an optional
// sign and the digits that follow; anything after them is ignored. Text without
// digits (and null) reads as 0; values beyond the 32-bit range saturate.
int32_t ParseSettingNumber(const char* text) noexcept;

}  // namespace tessary
