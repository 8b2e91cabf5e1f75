#include "net/tmrfd.h"

#include <errno.h>
#include <sys/timerfd.h>
#include <unistd.h>

int tmrfd_open()
{
    const int fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    return fd < 0 ? -errno : fd;
}

int tmrfd_arm(int fd, uint64_t at)
{
    itimerspec t{};
    // An absolute time of zero would disarm it: a time already past is one microsecond instead.
    if (at != 0) {
        t.it_value.tv_sec = static_cast<time_t>(at / 1000000);
        t.it_value.tv_nsec = static_cast<long>(at % 1000000) * 1000;
        if (t.it_value.tv_sec == 0 && t.it_value.tv_nsec == 0)
            t.it_value.tv_nsec = 1000;
    }
    return timerfd_settime(fd, TFD_TIMER_ABSTIME, &t, nullptr) == 0 ? 0 : -errno;
}

void tmrfd_drain(int fd)
{
    uint64_t n = 0;
    while (read(fd, &n, sizeof n) == static_cast<ssize_t>(sizeof n)) {
    }
}
