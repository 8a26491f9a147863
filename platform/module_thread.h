#pragma once

// Thread start for workers that may outlive the call that started them. A worker
// started with a module reference keeps the module that contains this code (the
// DLL or EXE it is linked into) loaded until the thread has finished, so the
// library cannot be unloaded under a running thread.

#include <windows.h>

#include <memory>

#include "platform/unique_resource.h"

namespace tessary {

// The work a started thread performs. Run's result becomes the thread's exit code.
// The thread destroys the job after Run returns, still inside the module.
class ThreadJob {
public:
    virtual ~ThreadJob() = default;
    virtual unsigned Run() noexcept = 0;
};

// Starts a thread (_beginthreadex) that runs `job`, destroys it and ends.
// With `holdModule`, first loads the module containing this code once more by its
// own file path and hands that reference to the thread, which releases it and exits
// in one step (FreeLibraryAndExitThread); without it the thread ends with
// _endthreadex. Returns the thread's handle (wait on it or drop it). Returns an empty
// handle, with the job destroyed and any module reference released, when `job` is
// null, when the module reference cannot be taken or the thread cannot be started.
// Never throws.
UniqueHandle StartWorkerThread(std::unique_ptr<ThreadJob> job, bool holdModule) noexcept;

}  // namespace tessary
