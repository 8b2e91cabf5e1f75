#include "net/ifctl.h"

#include <cerrno>
#include <cstring>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <unistd.h>

static_assert(sizeof(sockaddr_in) == sizeof(sockaddr));

int ifctl(unsigned long req, void *arg)
{
    const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return -errno;
    const int rc = ioctl(s, req, arg) < 0 ? -errno : 0;
    close(s);
    return rc;
}

void ifreq_named(ifreq *ifr, const char *name)
{
    std::memset(ifr, 0, sizeof *ifr);
    std::memcpy(ifr->ifr_name, name, strnlen(name, IFNAMSIZ));
}

void sin_store(sockaddr *sa, uint32_t ipbe)
{
    sockaddr_in sin;
    std::memset(&sin, 0, sizeof sin);
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = ipbe;
    std::memcpy(sa, &sin, sizeof sin);
}
