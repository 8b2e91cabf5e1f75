// Why start-up stopped, told in one line on standard error. Under a service manager that line is
// what the unit's status shows; the log file may be elsewhere, or emptied by the next start.
#pragma once

// Records the cause; the first one of a run wins, because later failures are its consequences.
void fail_note(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
const char *fail_text();  // "" while nothing is noted
// Writes "<prog>: <cause>\n" to standard error in one write, or "<prog>: <fallback>\n" when no
// cause was noted.
void fail_report(const char *prog, const char *fallback);
// The same cause (without the program's name) as the unit's status line. Under a unit that
// restarts on failure that line is what systemctl status keeps showing: its journal lines are
// only those since the latest start attempt, which the restart or the start limit leaves empty.
void fail_notify(const char *fallback);
