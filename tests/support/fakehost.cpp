#include "support/fakehost.h"

#include <arpa/inet.h>
#include <linux/route.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {
std::string ip(uint32_t be)
{
    char buf[INET_ADDRSTRLEN];
    in_addr a{};
    a.s_addr = be;
    return inet_ntop(AF_INET, &a, buf, sizeof buf) != nullptr ? buf : "?";
}
int prefixlen(uint32_t maskbe) { return __builtin_popcount(maskbe); }
}  // namespace

FakeHost::FakeHost()
{
    ops_.ctx = this;
    ops_.addr_set = [](void *c, const char *ifname, uint32_t a, uint32_t mask) {
        return self(c)->answer("addr", "addr set " + std::string(ifname) + " " + ip(a) + "/" +
                                           std::to_string(prefixlen(mask)));
    };
    ops_.addr_clear = [](void *c, const char *ifname) {
        return self(c)->answer("addr_clear", "addr clear " + std::string(ifname));
    };
    ops_.mtu_set = [](void *c, const char *ifname, unsigned mtu) {
        FakeHost *f = self(c);
        const int rc = f->answer("mtu", "mtu set " + std::string(ifname) + " " + std::to_string(mtu));
        if (rc == 0)
            f->mtu_ = static_cast<int>(mtu);
        return rc;
    };
    ops_.mtu_get = [](void *c, const char *) {
        FakeHost *f = self(c);
        auto it = f->refuse_.find("mtu_get");
        return it != f->refuse_.end() && it->second != 0 ? it->second : f->mtu_;
    };
    ops_.route = [](void *c, int add, uint32_t dest, uint32_t mask, uint32_t gw, int metric, const char *ifname) {
        std::string line = std::string("route ") + (add != 0 ? "add " : "del ") + ip(dest) + "/" +
                           std::to_string(prefixlen(mask));
        if (gw != 0)
            line += " via " + ip(gw);
        line += " dev " + std::string(ifname);
        if (metric != 0)
            line += " metric " + std::to_string(metric);
        return self(c)->answer("route", line);
    };
    ops_.host_route = [](void *c, int add, uint32_t dest, uint32_t gw, const char *ifname) {
        std::string line = std::string("host ") + (add != 0 ? "add " : "del ") + ip(dest);
        if (gw != 0)
            line += " via " + ip(gw);
        line += " dev " + std::string(ifname);
        return self(c)->answer("host_route", line);
    };
    ops_.table_open = [](void *c) {
        FakeHost *f = self(c);
        auto it = f->refuse_.find("table");
        if (it != f->refuse_.end() && it->second != 0)
            return it->second;
        const int fd = memfd_create("fakehost-route", MFD_CLOEXEC);
        if (fd < 0)
            return -errno;
        if (write(fd, f->table_.data(), f->table_.size()) != static_cast<ssize_t>(f->table_.size()) ||
            lseek(fd, 0, SEEK_SET) != 0) {
            close(fd);
            return -EIO;
        }
        return fd;
    };
    ops_.alias_get = [](void *c, const char *ifname, char *buf, size_t len) {
        FakeHost *f = self(c);
        auto r = f->refuse_.find("alias_get");
        if (r != f->refuse_.end() && r->second != 0)
            return r->second;
        auto it = f->aliases_.find(ifname);
        if (it == f->aliases_.end())
            return -ENODEV;
        const size_t n = it->second.size() < len ? it->second.size() : len;
        std::memcpy(buf, it->second.data(), n);
        return static_cast<int>(n);
    };
    ops_.alias_set = [](void *c, const char *ifname, const char *alias) {
        FakeHost *f = self(c);
        const int rc = f->answer("alias_set", "alias " + std::string(ifname) + " \"" + alias + "\"");
        if (rc == 0)
            f->aliases_[ifname] = alias;
        return rc;
    };
    ops_.resolved_set = [](void *c, int ifindex, const uint32_t *servers, int n, const char *domains, bool routing_only,
                           bool default_route, char *why, size_t len) {
        std::string line = "resolved set " + std::to_string(ifindex);
        for (int i = 0; i < n; i++)
            line += " " + ip(servers[i]);
        line += std::string(" [") + domains + "] routing=" + (routing_only ? "1" : "0") +
                " default=" + (default_route ? "1" : "0");
        return self(c)->answer_dns("resolved_set", line, why, len);
    };
    ops_.resolved_revert = [](void *c, int ifindex, char *why, size_t len) {
        return self(c)->answer_dns("resolved_revert", "resolved revert " + std::to_string(ifindex), why, len);
    };
    ops_.resolvconf_add = [](void *c, const char *ifname, const char *conf, bool exclusive, const char *servers,
                             char *why, size_t len) {
        return self(c)->answer_dns("resolvconf_add",
                                   std::string("resolvconf add ") + ifname + " [" + servers + "]" +
                                       (exclusive ? " exclusive\n" : "\n") + conf,
                                   why, len);
    };
    ops_.resolvconf_del = [](void *c, const char *ifname, char *why, size_t len) {
        return self(c)->answer_dns("resolvconf_del", std::string("resolvconf del ") + ifname, why, len);
    };
    ops_.resolvconf_del_left = [](void *c, const char *ifname, char *why, size_t len) {
        return self(c)->answer_dns("resolvconf_del_left", std::string("resolvconf del-left ") + ifname, why, len);
    };
    ops_.unreachable = [](void *c, int add, uint32_t dest, uint32_t mask, int metric) {
        return self(c)->answer("unreachable", std::string("unreachable ") + (add != 0 ? "add " : "del ") + ip(dest) +
                                                  "/" + std::to_string(prefixlen(mask)) + " metric " +
                                                  std::to_string(metric));
    };
    ops_.link_state = [](void *c, const char *ifname, uint32_t source, hostlink_t *out) {
        FakeHost *f = self(c);
        auto it = f->links_.find(ifname);
        if (it == f->links_.end())
            return -ENODEV;
        *out = it->second;
        if (source != 0 && out->addr != source)
            out->addr = 0;
        return 0;
    };
    ops_.uplink_route = [](void *c, int add, uint32_t dest, uint32_t gw, int metric, const char *ifname) {
        std::string line = std::string("host ") + (add != 0 ? "add " : "del ") + ip(dest);
        if (gw != 0)
            line += " via " + ip(gw);
        line += " dev " + std::string(ifname) + " metric " + std::to_string(metric);
        return self(c)->answer("host_route", line);
    };
    resolved_ = {ops_.resolved_set, ops_.resolved_revert};
    resolvconf_ = {ops_.resolvconf_add, ops_.resolvconf_del, ops_.resolvconf_del_left};
}

void FakeHost::ways(bool resolved, bool resolvconf)
{
    ops_.resolved_set = resolved ? resolved_.set : nullptr;
    ops_.resolved_revert = resolved ? resolved_.revert : nullptr;
    ops_.resolvconf_add = resolvconf ? resolvconf_.add : nullptr;
    ops_.resolvconf_del = resolvconf ? resolvconf_.del : nullptr;
    ops_.resolvconf_del_left = resolvconf ? resolvconf_.del_left : nullptr;
}

int FakeHost::answer_dns(const std::string &kind, std::string line, char *why, size_t len)
{
    auto it = dns_.find(kind);
    const int rc = it != dns_.end() ? it->second : 0;
    if (rc != 0) {
        line += rc > 0 ? " -> absent" : " -> failed";
        snprintf(why, len, "refused by the test");
    }
    calls_.push_back(std::move(line));
    return rc;
}

int FakeHost::answer(const std::string &kind, std::string line)
{
    auto it = refuse_.find(kind);
    const int rc = it != refuse_.end() ? it->second : 0;
    if (rc != 0)
        line += std::string(" -> ") + strerrorname_np(-rc);
    calls_.push_back(std::move(line));
    return rc;
}

std::vector<std::string> FakeHost::take()
{
    std::vector<std::string> out(calls_.begin() + static_cast<std::ptrdiff_t>(taken_), calls_.end());
    taken_ = calls_.size();
    return out;
}

std::string FakeHost::rows(std::initializer_list<Row> rows)
{
    std::string t = "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";
    for (const Row &r : rows) {
        in_addr d{}, g{}, m{};
        inet_pton(AF_INET, r.dst, &d);
        inet_pton(AF_INET, r.gw, &g);
        inet_pton(AF_INET, r.mask, &m);
        unsigned flags = r.flags != 0 ? r.flags : RTF_UP | (g.s_addr != 0 ? RTF_GATEWAY : 0);
        char line[160];
        snprintf(line, sizeof line, "%s\t%08X\t%08X\t%04X\t0\t0\t%d\t%08X\t0\t0\t0\n", r.ifname, d.s_addr, g.s_addr,
                 flags, r.metric, m.s_addr);
        t += line;
    }
    return t;
}
