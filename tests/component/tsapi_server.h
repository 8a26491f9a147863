#pragma once

// Moved to tests/support; kept for the suites outside tests/component that still
// include it by this path.
#include "tests/support/tsapi_server.h"
