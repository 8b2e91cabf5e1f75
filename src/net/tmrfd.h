// A timer descriptor on the monotonic clock, for wake-ups finer than the reactor's seconds: the
// reactor polls it, its owner decides when it fires next. As everywhere in net/: 0 or a
// descriptor on success, a negative errno on failure.
#pragma once
#include <cstdint>

// Non-blocking, close-on-exec, disarmed.
int tmrfd_open();
// Fires once at the monotonic time `at` (microseconds; one already past fires at once); 0
// disarms it.
int tmrfd_arm(int fd, uint64_t at);
// Takes the expirations waiting, so that the descriptor is no longer readable.
void tmrfd_drain(int fd);
