#include "base/fail.h"
#include "base/notify.h"

#include <cstdarg>
#include <cstdio>
#include <unistd.h>

namespace {
char s_failtext[256];
}

void fail_note(const char *fmt, ...)
{
    if (s_failtext[0] != '\0')
        return;
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(s_failtext, sizeof s_failtext, fmt, ap);
    va_end(ap);
}

const char *fail_text() { return s_failtext; }

void fail_report(const char *prog, const char *fallback)
{
    char line[320];
    int n = snprintf(line, sizeof line, "%s: %s\n", prog, s_failtext[0] != '\0' ? s_failtext : fallback);
    if (n < 0)
        return;
    if (static_cast<size_t>(n) >= sizeof line) {
        n = sizeof line - 1;
        line[n - 1] = '\n';
    }
    // One write, so that lines of two processes sharing the journal's stream never interleave.
    (void)!write(STDERR_FILENO, line, static_cast<size_t>(n));
}

void fail_notify(const char *fallback) { notify_status(s_failtext[0] != '\0' ? s_failtext : fallback); }
