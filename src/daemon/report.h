// The client's once-a-second report, a timer of its own registered after the session's, so it
// runs right after the session tick has moved the session on: the status file (when
// configured) and STATUS= on change (when the service manager asked). The watchdog ping comes
// from the loop itself (base/os).
#pragma once
#include "client/record.h"

void status_tick(sdwan_t *clnt);
int report_start(sdwan_t *clnt);  // registers the timer; 0 or -1
void report_stop();
