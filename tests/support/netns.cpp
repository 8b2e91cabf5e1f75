#include "support/netns.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "daemon/hostkernel.h"

namespace {

int s_home = -1;  // the namespace to return to; -1 while not inside a private one

// One interface request on a throw-away socket; ifr must already carry the name.
bool if_ioctl(unsigned long req, ifreq *ifr)
{
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return false;
    bool ok = ioctl(s, req, ifr) == 0;
    close(s);
    return ok;
}

void ifreq_named(ifreq *ifr, const char *name)
{
    std::memset(ifr, 0, sizeof *ifr);
    std::strncpy(ifr->ifr_name, name, IFNAMSIZ - 1);
}

}  // namespace

bool netns_enter(std::string *why)
{
    if (geteuid() != 0) {
        *why = "needs root: the test creates a private network namespace and makes interfaces and routes in it";
        return false;
    }
    if (s_home >= 0) {
        *why = "already inside a private network namespace";
        return false;
    }
    int home = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (home < 0) {
        *why = std::string("cannot open the current network namespace: ") + std::strerror(errno);
        return false;
    }
    if (unshare(CLONE_NEWNET) != 0) {
        *why = std::string("unshare(CLONE_NEWNET) refused: ") + std::strerror(errno);
        close(home);
        return false;
    }
    s_home = home;

    ifreq ifr;
    ifreq_named(&ifr, "lo");
    bool up = if_ioctl(SIOCGIFFLAGS, &ifr);
    if (up) {
        ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
        up = if_ioctl(SIOCSIFFLAGS, &ifr);
    }
    if (!up) {
        *why = std::string("cannot bring lo up in the private namespace: ") + std::strerror(errno);
        netns_leave();
        return false;
    }
    return true;
}

void netns_leave()
{
    if (s_home < 0)
        return;
    setns(s_home, CLONE_NEWNET);
    close(s_home);
    s_home = -1;
}

std::string netns_sh(const std::string &cmd, int *status)
{
    std::string out;
    FILE *p = popen((cmd + " 2>&1").c_str(), "r");
    if (p == nullptr) {
        if (status != nullptr)
            *status = -1;
        return out;
    }
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    int rc = pclose(p);
    if (status != nullptr)
        *status = (rc >= 0 && WIFEXITED(rc)) ? WEXITSTATUS(rc) : -1;
    return out;
}

bool netns_sh_ok(const std::string &cmd, std::string *err)
{
    int status = 0;
    std::string out = netns_sh(cmd, &status);
    if (status == 0)
        return true;
    if (err != nullptr)
        *err += cmd + ": " + out;
    return false;
}

int if_flags(const char *name)
{
    ifreq ifr;
    ifreq_named(&ifr, name);
    if (!if_ioctl(SIOCGIFFLAGS, &ifr))
        return -1;
    return static_cast<unsigned short>(ifr.ifr_flags);
}

int if_mtu(const char *name)
{
    ifreq ifr;
    ifreq_named(&ifr, name);
    if (!if_ioctl(SIOCGIFMTU, &ifr))
        return -1;
    return ifr.ifr_mtu;
}

std::string if_inet(const char *name)
{
    // One line per address: "<idx>: <name>    inet a.b.c.d/len ..."
    std::istringstream in(netns_sh(std::string("ip -o -4 addr show dev ") + name));
    std::string line, out;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string w;
        while (words >> w) {
            if (w == "inet" && (words >> w)) {
                if (!out.empty())
                    out += ' ';
                out += w;
            }
        }
    }
    return out;
}

bool fd_wait_readable(int fd, int timeout_ms)
{
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, timeout_ms) == 1 && (p.revents & POLLIN) != 0;
}

void NetnsTest::SetUp()
{
    std::string why;
    if (!netns_enter(&why))
        GTEST_SKIP() << why;
}

void NetnsTest::TearDown() { netns_leave(); }

void NetnsTunTest::SetUp()
{
    NetnsTest::SetUp();
    if (IsSkipped())
        return;
    if (access("/dev/net/tun", R_OK | W_OK) != 0)
        GTEST_SKIP() << "/dev/net/tun is not usable: " << std::strerror(errno);
}

std::string ip_text(uint32_t ipbe)
{
    char b[INET_ADDRSTRLEN];
    in_addr a;
    a.s_addr = ipbe;
    return inet_ntop(AF_INET, &a, b, sizeof b);
}

int tcp_listen(uint32_t ipbe, uint16_t port)
{
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(port);
    sin.sin_addr.s_addr = ipbe;
    if (s >= 0 && (bind(s, reinterpret_cast<sockaddr *>(&sin), sizeof sin) != 0 || listen(s, 1) != 0)) {
        close(s);
        return -1;
    }
    return s;
}

std::vector<uint8_t> recv_upto(int fd, size_t n, int timeout_ms)
{
    std::vector<uint8_t> got(n + 64);
    size_t have = 0;
    while (have < n && fd_wait_readable(fd, timeout_ms)) {
        const ssize_t r = recv(fd, got.data() + have, got.size() - have, 0);
        if (r <= 0)
            break;
        have += static_cast<size_t>(r);
    }
    got.resize(have);
    return got;
}

const hostops_t *netns_kernel_ops()
{
    static const hostops_t ops = [] {
        hostops_t t = *hostkernel_ops_without_resolved();
        t.resolvconf_add = nullptr;
        t.resolvconf_del = nullptr;
        t.resolvconf_del_left = nullptr;
        return t;
    }();
    return &ops;
}
