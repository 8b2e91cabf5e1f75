// The reactor reaching into the client process.
#include "core/event.h"
#include "daemon/report.h"
