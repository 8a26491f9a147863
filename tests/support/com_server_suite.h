#pragma once

// The set-up the COM activation suites share: tsapi.dll loaded and registered
// once for the suite (RegisteredServerTest), each test in the multithreaded
// apartment, and the root object created through the COM runtime. Test support only.

#include <windows.h>
#include <objbase.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include "component/com_ids.h"
#include "tests/support/tsapi_server.h"

namespace tessary::testing {

class ComServerSuiteTest : public RegisteredServerTest {
protected:
    // Each test: the suite's server is loaded, and this thread joins the
    // multithreaded apartment (left again in TearDown).
    void SetUp() override {
        ASSERT_TRUE(server_ != nullptr && server_->loaded());
        ASSERT_TRUE(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        entered_ = true;
    }
    void TearDown() override {
        if (entered_) ::CoUninitialize();
        entered_ = false;
    }

    // A new root object of the registered server, created through the COM runtime.
    static HRESULT CreateRoot(Microsoft::WRL::ComPtr<IQnTessary>* root) {
        return ::CoCreateInstance(CLSID_QnTessary, nullptr, CLSCTX_INPROC_SERVER, IID_IQnTessary,
                                  reinterpret_cast<void**>(root->ReleaseAndGetAddressOf()));
    }

private:
    bool entered_ = false;
};

}  // namespace tessary::testing
