#pragma once

#include <windows.h>

// Early-return helpers for the result conventions at our boundaries.

// Returns the HRESULT of `expr` when it is a failure code.
#define RETURN_IF_FAILED(expr)             \
    do {                                   \
        HRESULT ts_hr_ = (expr);           \
        if (FAILED(ts_hr_)) return ts_hr_; \
    } while (0)

// Returns HRESULT_FROM_WIN32(GetLastError()) when `ptr` is null.
#define RETURN_LAST_ERROR_IF_NULL(ptr)                             \
    do {                                                           \
        if ((ptr) == nullptr) {                                    \
            DWORD ts_err_ = ::GetLastError();                      \
            return ts_err_ ? HRESULT_FROM_WIN32(ts_err_) : E_FAIL; \
        }                                                          \
    } while (0)
