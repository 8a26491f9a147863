#include "platform/module_thread.h"

#include <process.h>

#include <new>
#include <string>

#include "platform/paths.h"
#include "platform/platform_log.h"

namespace tessary {
namespace {

// What the new thread receives: its job and, when held, one module reference.
struct ThreadStart {
    std::unique_ptr<ThreadJob> job;
    HMODULE module = nullptr;
};

unsigned __stdcall ThreadMain(void* parameter) noexcept {
    HMODULE module = nullptr;
    unsigned code = 0;
    {
        std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(parameter));
        module = start->module;
        code = start->job->Run();
    }
    // The job's code lives in this module: it has been destroyed above, and the
    // reference goes away together with the thread so no instruction of ours runs
    // after the last reference is released.
    if (module != nullptr) ::FreeLibraryAndExitThread(module, code);
    _endthreadex(code);
    return code;
}

// Loads the module that contains this function once more, by its own file path,
// so that its reference count keeps it loaded while the thread runs.
HMODULE AddModuleReference() noexcept {
    HMODULE self = nullptr;
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              reinterpret_cast<LPCWSTR>(&ThreadMain), &self)) {
        return nullptr;
    }
    try {
        const std::wstring path = ModuleFilePath(self);
        return path.empty() ? nullptr : ::LoadLibraryW(path.c_str());
    } catch (...) {  // std::bad_alloc holding the path
        PLATFORM_REPORT(platform_log::kWarning, L"Out of memory holding the module for a worker thread.");
        return nullptr;
    }
}

}  // namespace

UniqueHandle StartWorkerThread(std::unique_ptr<ThreadJob> job, bool holdModule) noexcept {
    if (!job) return UniqueHandle();
    UniqueModule module;
    if (holdModule) {
        module.reset(AddModuleReference());
        if (!module) {
            PLATFORM_REPORT(platform_log::kWarning, L"Cannot hold the module for a worker thread: error %lu.",
                            ::GetLastError());
            return UniqueHandle();
        }
    }
    std::unique_ptr<ThreadStart> start(new (std::nothrow) ThreadStart);
    if (!start) {
        PLATFORM_REPORT(platform_log::kWarning, L"Out of memory starting a worker thread.");
        return UniqueHandle();
    }
    start->job = std::move(job);
    start->module = module.get();

    uintptr_t thread = _beginthreadex(nullptr, 0, &ThreadMain, start.get(), 0, nullptr);
    if (thread == 0) {
        // start and module release their contents here.
        PLATFORM_REPORT(platform_log::kWarning, L"Cannot start a worker thread: error %lu.", ::GetLastError());
        return UniqueHandle();
    }
    // The thread now owns the job and the module reference.
    start.release();
    module.Take();
    return UniqueHandle(reinterpret_cast<HANDLE>(thread));
}

}  // namespace tessary
