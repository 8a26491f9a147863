// Helper process for the named-object tests: creates its own set of objects and
// reports, through its exit code, whether they are separate from the parent's.
//   0  own record-cache event was signaled at creation and the parent's is not
//   2  bad arguments, 3  creation failed, 4  own event not signaled,
//   5  parent's event not found, 6  parent's event signaled
#include <windows.h>

#include <cwchar>
#include <string>

#include "store/named_objects.h"
#include "store/object_names.h"

int wmain(int argc, wchar_t** argv) {
    using namespace tessary;
    if (argc != 2) return 2;
    const DWORD parent = static_cast<DWORD>(std::wcstoul(argv[1], nullptr, 10));
    if (!CreateNamedObjects(Deliverable::kUpdateChecker)) return 3;
    HANDLE own = ProcessObjects().lcEvent.get();
    if (::WaitForSingleObject(own, 0) != WAIT_OBJECT_0) return 4;
    ::SetEvent(own);  // must not reach the parent's event
    UniqueHandle parentEvent(
        ::OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, ProcessObjectName(names::kLcEvent, parent).c_str()));
    if (!parentEvent) return 5;
    if (::WaitForSingleObject(parentEvent.get(), 0) != WAIT_TIMEOUT) return 6;
    CloseNamedObjects();
    return 0;
}
