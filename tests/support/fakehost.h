// A host for the client's policy without a kernel: every call through its hostops_t is written
// down as one line of text ("route add 0.0.0.0/0 via 10.8.0.1 dev tolv0", "resolvconf del tolv0"),
// and answered from what the test set: a refusal per kind of call, the MTU read back, the route
// table's text, the interfaces' aliases, the resolver manager's answers. Rows of a test compare
// the lines with what the policy must do.
#pragma once
#include <map>
#include <string>
#include <vector>

#include "client/hostops.h"

class FakeHost {
public:
    FakeHost();
    const hostops_t *ops() const { return &ops_; }

    // Every call since the start or the last take(), in order.
    std::vector<std::string> take();
    const std::vector<std::string> &calls() const { return calls_; }

    // Answers. refuse: the negative errno the next calls of that kind get ("addr", "addr_clear",
    // "mtu", "mtu_get", "route", "host_route", "table", "alias_get", "alias_set", "unreachable"); 0 takes
    // them again.
    void refuse(const std::string &kind, int err) { refuse_[kind] = err; }
    // What mtu_get answers; by default the last MTU set (0 before any).
    void mtu(int mtu) { mtu_ = mtu; }
    // The table as /proc/net/route lists it, header line included; rows() builds it.
    void table(const std::string &text) { table_ = text; }
    struct Row {
        const char *ifname;
        const char *dst;   // dotted quad
        const char *gw;
        const char *mask;
        unsigned flags;    // RTF_ bits; 0 gives RTF_UP, plus RTF_GATEWAY when gw is not 0.0.0.0
        int metric;
    };
    static std::string rows(std::initializer_list<Row> rows);
    void alias(const std::string &ifname, const std::string &text) { aliases_[ifname] = text; }
    const std::map<std::string, std::string> &aliases() const { return aliases_; }
    // The resolver manager's ways: what each answers (HOSTDNS_; "resolved_set", "resolved_revert",
    // "resolvconf_add", "resolvconf_del", "resolvconf_del_left"; a refusal says "refused by the
    // test"), and which are there at all (a way not there is a null member).
    void dns(const std::string &kind, int answer) { dns_[kind] = answer; }
    void ways(bool resolved, bool resolvconf);
    // What link_state answers for an interface; one never set (or gone()) is -ENODEV. Asked for a
    // source, addr answers it only when it is the interface's address.
    void link(const std::string &ifname, hostlink_t l) { links_[ifname] = l; }
    void gone(const std::string &ifname) { links_.erase(ifname); }

private:
    int answer(const std::string &kind, std::string line);
    int answer_dns(const std::string &kind, std::string line, char *why, size_t len);
    static FakeHost *self(void *ctx) { return static_cast<FakeHost *>(ctx); }

    hostops_t ops_{};
    std::vector<std::string> calls_;
    size_t taken_ = 0;
    std::map<std::string, int> refuse_;
    std::map<std::string, int> dns_;
    struct {
        decltype(hostops_t::resolved_set) set;
        decltype(hostops_t::resolved_revert) revert;
    } resolved_{};
    struct {
        decltype(hostops_t::resolvconf_add) add;
        decltype(hostops_t::resolvconf_del) del, del_left;
    } resolvconf_{};
    std::map<std::string, std::string> aliases_;
    std::map<std::string, hostlink_t> links_;
    std::string table_;
    int mtu_ = 0;
};
