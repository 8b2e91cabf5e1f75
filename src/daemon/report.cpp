#include "daemon/report.h"

#include "client/status.h"
#include "core/event.h"
#include "base/notify.h"
#include "daemon/resolvconf.h"

namespace {
constexpr char REPORT_TIMER[] = "status";

void report_timer(void *arg) { status_tick(static_cast<sdwan_t *>(arg)); }
}  // namespace

void status_tick(sdwan_t *clnt)
{
    status_file_tick(clnt);
    resolvconf_poll();
    if (notify_active()) {
        char text[NOTIFY_STATUS_MAX];
        status_text(clnt, text, sizeof text);
        notify_status(text);
    }
}

int report_start(sdwan_t *clnt) { return tm_add(REPORT_TIMER, 1, report_timer, clnt); }

void report_stop() { tm_del(REPORT_TIMER); }
