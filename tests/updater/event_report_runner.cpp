// Runs the update checker's event-report step as a process of its own, with
// what the pass sets up before it (logger, WinHTTP, the process's named objects).
// Exit code: 0 when the step reported success, 1 when it did not, 2 when the
// set-up failed. Test support only.

#include <windows.h>

#include "Logging/log_builder.h"
#include "store/named_objects.h"
#include "transport/winhttp_api.h"
#include "updater/event_report.h"

int main() {
    using namespace tessary;
    ETWLogging::CDefaultLogBuilder(ETWLogging::kLogGroup, nullptr).GetLogger();
    if (!winhttp::Load() || !CreateNamedObjects(Deliverable::kUpdateChecker)) return 2;
    const bool reported = RunEventReport();
    ETWLogging::ShutdownProcessLogger();
    return reported ? 0 : 1;
}
