#include "fuzz_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/event.h"
#include "base/log.h"

namespace {
int s_fd_mark = -1;

uint64_t fixed_sec() { return FUZZ_NOW_SEC; }
uint64_t fixed_usec() { return FUZZ_NOW_USEC; }
uint64_t fixed_mono() { return FUZZ_NOW_MONO_USEC; }
}  // namespace

void fuzz_enter_netns()
{
    static bool entered = false;
    if (entered)
        return;
    entered = true;
    if (geteuid() != 0) {
        std::fprintf(stderr, "fuzz: needs root for a private network namespace; not run\n");
        std::exit(FUZZ_SKIP);
    }
    if (unshare(CLONE_NEWNET) != 0) {
        std::fprintf(stderr, "fuzz: unshare(CLONE_NEWNET) refused: %s; not run\n", std::strerror(errno));
        std::exit(FUZZ_SKIP);
    }
    // A new namespace has its loopback down; the sinks live on it.
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq ifr;
    std::memset(&ifr, 0, sizeof ifr);
    std::memcpy(ifr.ifr_name, "lo", 3);
    if (s < 0 || ioctl(s, SIOCGIFFLAGS, &ifr) != 0) {
        std::fprintf(stderr, "fuzz: no loopback in the private namespace\n");
        std::exit(1);
    }
    ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
    if (ioctl(s, SIOCSIFFLAGS, &ifr) != 0) {
        std::fprintf(stderr, "fuzz: cannot bring the loopback up: %s\n", std::strerror(errno));
        std::exit(1);
    }
    close(s);
}

void fuzz_quiet_log()
{
    static bool quiet = false;
    if (quiet)
        return;
    log_use_fd(open("/dev/null", O_WRONLY | O_CLOEXEC));
    quiet = true;
}

void fuzz_fixed_clock() { os_set_clock(fixed_sec, fixed_usec, fixed_mono); }

uint32_t fuzz_loopback() { return htonl(INADDR_LOOPBACK); }

int fuzz_sink(uint16_t *port)
{
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in a;
    std::memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = fuzz_loopback();
    socklen_t l = sizeof a;
    if (s < 0 || bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr *>(&a), &l) != 0) {
        std::fprintf(stderr, "fuzz: cannot bind a sink on 127.0.0.1: %s\n", std::strerror(errno));
        std::exit(1);
    }
    // The smallest buffer: once full, the kernel drops what arrives, and the sender never
    // notices, as with a peer that does not listen.
    int small = 1;
    setsockopt(s, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    *port = ntohs(a.sin_port);
    return s;
}

void fuzz_fd_mark()
{
    s_fd_mark = dup(0);
    if (s_fd_mark < 0)
        s_fd_mark = open("/dev/null", O_RDONLY);
    FUZZ_CHECK(s_fd_mark >= 0);
    close(s_fd_mark);
}

void fuzz_fd_check()
{
    if (s_fd_mark < 0)
        return;
    // Taken means a descriptor opened during the run outlived it.
    FUZZ_CHECK(fcntl(s_fd_mark, F_GETFD) == -1 && errno == EBADF);
}
