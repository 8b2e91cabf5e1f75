// tolvactl check: the configuration through the daemon's own loader, its log lines captured
// and what its reader found suspicious on the way, line by line.
#include <arpa/inet.h>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <fcntl.h>
#include <linux/route.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "client/resolver.h"
#include "client/session.h"
#include "client/status.h"
#include "ctl/ctl.h"
#include "net/ipaddr.h"
#include "net/route.h"
#include "sdwan_build.h"
#include "daemon/cfg.h"
#include "seal/keyfile.h"

namespace {

constexpr int MAX_NOTES = 32;
constexpr int NOTE_LEN = 200;
constexpr int LOGBUF = 4096;

struct notes_t {
    char text[MAX_NOTES][NOTE_LEN];
    int n;
};

__attribute__((format(printf, 2, 3))) void note(notes_t *w, const char *fmt, ...)
{
    if (w->n >= MAX_NOTES)
        return;
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(w->text[w->n++], NOTE_LEN, fmt, ap);
    va_end(ap);
}

// Runs the daemon's loader with standard output (where its log goes while no log file is
// open) caught in memory; the lines come back without their time stamps.
int load_as_daemon(sdwan_t *clnt, const char *path, const char **why, notes_t *log, int *err, kv_diags_t *diags)
{
    sdwclnt_record_init(clnt);
    cfgfile_path = path;
    int mem = memfd_create("tolvactl-log", MFD_CLOEXEC);
    int saved = dup(STDOUT_FILENO);
    fflush(stdout);
    if (mem >= 0 && saved >= 0)
        dup2(mem, STDOUT_FILENO);
    errno = 0;
    const int rc = cfg_load(clnt, why, diags);
    *err = errno;
    if (mem >= 0 && saved >= 0)
        dup2(saved, STDOUT_FILENO);
    if (saved >= 0)
        close(saved);
    if (mem < 0)
        return rc;
    char buf[LOGBUF];
    const ssize_t n = pread(mem, buf, sizeof buf - 1, 0);
    close(mem);
    buf[n > 0 ? n : 0] = '\0';
    for (char *line = buf, *end; *line != '\0'; line = end + 1) {
        end = strchr(line, '\n');
        if (end == nullptr)
            break;
        *end = '\0';
        // "year/month/day hour:min:sec message"
        const char *msg = strchr(line, ' ');
        msg = msg != nullptr ? strchr(msg + 1, ' ') : nullptr;
        note(log, "%s", msg != nullptr ? msg + 1 : line);
    }
    return rc;
}

// The routes key as the daemon will use it: "10.93.0.0/24, 10.94.0.0/16".
void routes_text(FILE *out, const sdwan_t &c, const char *sep, bool json)
{
    char ip[16];
    const char *s = "";
    for (const rtcfg_entry_t *e = c.conf.rtcfg; e != nullptr; e = e->next, s = sep) {
        char prefix[24];
        snprintf(prefix, sizeof prefix, "%s/%u", ip2strv4(e->net, ip, sizeof ip), static_cast<unsigned>(e->masklen));
        fputs(s, out);
        if (json)
            ctl_json_str(out, "", prefix);
        else
            fputs(prefix, out);
    }
}

// The dnsdomains list with another separator.
void domains_text(FILE *out, const sdwan_t &c, const char *sep, bool json)
{
    const char *p = c.conf.dnsdomains;
    for (bool first = true; *p != '\0'; first = false) {
        const size_t n = strcspn(p, ",");
        char name[sizeof c.conf.dnsdomains];
        snprintf(name, sizeof name, "%.*s", static_cast<int>(n), p);
        if (!first)
            fputs(sep, out);
        if (json)
            ctl_json_str(out, "", name);
        else
            fputs(name, out);
        p += n + (p[n] == ',' ? 1 : 0);
    }
}

// The uplinks key as the daemon will use it: "eth0, wwan0@10.0.0.2 backup" (json: objects).
void uplinks_text(FILE *out, const sdwan_t &c, bool json)
{
    char ip[16];
    for (uint32_t i = 0; i < c.conf.nuplinks; i++) {
        const sdwan_uplink_t &u = c.conf.uplinks[i];
        if (json) {
            ctl_json_str(out, i > 0 ? ",{\"name\":" : "{\"name\":", u.ifname);
            if (u.source != 0)
                ctl_json_str(out, ",\"source\":", ip2strv4(u.source, ip, sizeof ip));
            else
                fputs(",\"source\":null", out);
            fprintf(out, ",\"priority\":%u,\"backup\":%s}", unsigned{u.prio}, u.backup ? "true" : "false");
            continue;
        }
        fprintf(out, "%s%s", i > 0 ? ", " : "", u.ifname);
        if (u.source != 0)
            fprintf(out, "@%s", ip2strv4(u.source, ip, sizeof ip));
        fprintf(out, " %s%u", u.backup ? "backup, priority " : "priority ", unsigned{u.prio});
    }
}

const char *policy_name(path_policy p) { return p == path_policy::backup ? "backup" : "best"; }

const char *s_route_table = "/proc/net/route";

// The uplinks: the interface of the host's default route and that of its path to the peer.
struct uplinks_t {
    const sdwan_t *clnt;
    char name[2][32];
};

bool not_uplink(const route_row_t *row, void *ctx)
{
    return std::strcmp(row->name, static_cast<const uplinks_t *>(ctx)->clnt->conf.tun_name) == 0;
}

bool find_default(const route_row_t *row, void *ctx)
{
    uplinks_t *u = static_cast<uplinks_t *>(ctx);
    if ((row->flags & RTF_UP) == 0 || row->dst != 0 || row->mask != 0 || not_uplink(row, ctx))
        return true;
    snprintf(u->name[0], sizeof u->name[0], "%s", row->name);
    return false;
}

struct overlap_scan {
    const uplinks_t *up;
    notes_t *warn;
};

// A network the kernel reaches straight out of an uplink (no next hop) against each prefix of
// the routes key.
bool overlap_visit(const route_row_t *row, void *ctx)
{
    const overlap_scan *o = static_cast<const overlap_scan *>(ctx);
    const char *dev = nullptr;
    for (const char *n : o->up->name)
        if (n[0] != '\0' && std::strcmp(n, row->name) == 0)
            dev = n;
    if (dev == nullptr || (row->flags & (RTF_UP | RTF_GATEWAY)) != RTF_UP || row->mask == 0 ||
        row->mask == 0xffffffffu)
        return true;
    const unsigned netlen = static_cast<unsigned>(__builtin_popcount(row->mask));
    for (const rtcfg_entry_t *e = o->up->clnt->conf.rtcfg; e != nullptr; e = e->next) {
        const unsigned len = e->masklen < netlen ? e->masklen : netlen;
        const uint32_t m = htonl(~(0xffffffffu >> len));
        if ((e->net & m) != (row->dst & m))
            continue;
        char p[16], n[16];
        ip2strv4(e->net, p, sizeof p);
        ip2strv4(row->dst, n, sizeof n);
        if (e->masklen >= netlen)
            note(o->warn,
                 "routes: %s/%u lies in %s/%u, the network of the uplink %s: those hosts would be sent into the tunnel, "
                 "not reached on %s",
                 p, static_cast<unsigned>(e->masklen), n, netlen, dev, dev);
        else
            note(o->warn, "routes: %s/%u covers %s/%u, the network of the uplink %s: that network stays on %s",
                 p, static_cast<unsigned>(e->masklen), n, netlen, dev, dev);
    }
    return true;
}

// Split routes that take in the uplink's own network: its hosts, the gateway perhaps among them,
// would go into the tunnel, or (a shorter prefix) stay outside it against the reader's intent.
void uplink_overlap(const sdwan_t &c, notes_t *warn)
{
    if (c.conf.rtmode != SDWAN_RTMODE_SPLIT)
        return;
    const int fd = open(s_route_table, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    uplinks_t up{};
    up.clnt = &c;
    (void)route_table_scan(fd, find_default, &up);
    route_row_t row;
    if (c.sess.peerip != 0 && lseek(fd, 0, SEEK_SET) == 0 && route_lookup(fd, c.sess.peerip, not_uplink, &up, &row) == 1 &&
        std::strcmp(row.name, up.name[0]) != 0)
        snprintf(up.name[1], sizeof up.name[1], "%s", row.name);
    overlap_scan o{&up, warn};
    if (lseek(fd, 0, SEEK_SET) == 0)
        (void)route_table_scan(fd, overlap_visit, &o);
    close(fd);
}

void print_notes(FILE *out, const char *prefix, const notes_t &w)
{
    for (int i = 0; i < w.n; i++)
        fprintf(out, "%s%s\n", prefix, w.text[i]);
}

// "<file>:<line>: warning: <text>", the way compilers and service managers point at a line.
void print_diags(FILE *out, const char *path, const kv_diags_t &d)
{
    for (int i = 0; i < d.n; i++)
        fprintf(out, "%s:%d: %s: %s\n", path, d.d[i].line, d.d[i].sev == kv_sev::error ? "error" : "warning",
                d.d[i].text);
    if (d.dropped > 0)
        fprintf(out, "%s: %d more not shown\n", path, d.dropped);
}

void json_diags(FILE *out, const kv_diags_t &d)
{
    fputs(",\"diagnostics\":[", out);
    for (int i = 0; i < d.n; i++) {
        fprintf(out, "%s{\"line\":%d,\"kind\":\"%s\",\"severity\":\"%s\",\"key\":", i > 0 ? "," : "", d.d[i].line,
                kv_kind_name(d.d[i].kind), d.d[i].sev == kv_sev::error ? "error" : "warning");
        ctl_json_str(out, "", d.d[i].key);
        ctl_json_str(out, ",\"text\":", d.d[i].text);
        fputc('}', out);
    }
    fprintf(out, "],\"diagnostics_dropped\":%d", d.dropped);
}

void json_notes(FILE *out, const char *name, const notes_t &w)
{
    fprintf(out, ",\"%s\":[", name);
    for (int i = 0; i < w.n; i++)
        ctl_json_str(out, i > 0 ? "," : "", w.text[i]);
    fputc(']', out);
}

}  // namespace

void ctl_json_str(FILE *out, const char *before, const char *s)
{
    fputs(before, out);
    fputc('"', out);
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(s); *p != '\0'; p++) {
        if (*p == '"' || *p == '\\')
            fprintf(out, "\\%c", *p);
        else if (*p < 0x20)
            fprintf(out, "\\u%04x", *p);
        else
            fputc(*p, out);
    }
    fputc('"', out);
}

int ctl_check(sdwan_t *clnt, const char *path, bool json, FILE *out)
{
    notes_t log{};
    notes_t warn{};
    kv_diags_t diags{};
    const char *why = nullptr;
    int err = 0;
    const int rc = load_as_daemon(clnt, path, &why, &log, &err, &diags);

    char result[NOTE_LEN];
    if (rc != 0)
        snprintf(result, sizeof result, "cannot read configuration file %s: %s", path, strerror(err));
    else if (why != nullptr)
        snprintf(result, sizeof result, "sdwclnt configuration failed: %s", why);
    else if (diags.errors > 0)
        snprintf(result, sizeof result, "tolvad would start a session, but one that cannot work: %d error%s below",
                 diags.errors, diags.errors == 1 ? "" : "s");
    else
        snprintf(result, sizeof result, "valid: tolvad will start a session");
    // accepted: tolvad starts a session; ok: and nothing in the file keeps it from working.
    const bool accepted = rc == 0 && why == nullptr;
    const bool ok = accepted && diags.errors == 0;
    if (rc == 0) {
        struct stat st;
        if (stat(path, &st) == 0 && (st.st_mode & S_IROTH) != 0)
            note(&warn, "readable by other users (mode %04o) and it holds a password: chmod 600 %s",
                 static_cast<unsigned>(st.st_mode & 07777), path);
        if (why == nullptr)
            uplink_overlap(*clnt, &warn);
    }

    const sdwan_t &c = *clnt;
    char ip[16];
    const bool byname = c.conf.peerdomain[0] != '\0';
    const bool sealed = c.conf.peerkey_state == SDWAN_PEERKEY_SET;
    char key[KEY_TEXT + 1] = "";
    if (sealed)
        key_format(c.conf.peerkey, key);
    if (json) {
        ctl_json_str(out, "{\"config\":", path);
        ctl_json_str(out, ok ? ",\"valid\":true,\"result\":" : ",\"valid\":false,\"result\":", result);
        if (accepted) {
            ctl_json_str(out, ",\"interface\":", c.conf.tun_name);
            ctl_json_str(out, ",\"peer\":{\"server\":", c.conf.peer);
            if (byname)
                ctl_json_str(out, ",\"resolver\":", ip2strv4(sdwan_resolver(clnt), ip, sizeof ip));
            else
                ctl_json_str(out, ",\"address\":", ip2strv4(c.sess.peerip, ip, sizeof ip));
            fprintf(out, ",\"port\":%u},\"username\":", unsigned{c.conf.peerport});
            ctl_json_str(out, "", c.conf.user);
            fprintf(out, ",\"password_set\":true,\"mtu\":%u,\"encrypt\":%s,\"pipeid\":%u,\"pipeidx\":%u,\"datalog\":%s",
                    unsigned{c.conf.mtu}, c.conf.encrypt != 0 ? "true" : "false", unsigned{c.conf.pipeid},
                    unsigned{c.conf.pipeidx}, c.conf.datalog != 0 ? "true" : "false");
            fprintf(out, ",\"offload\":%s", c.conf.offload != 0 ? "true" : "false");
            if (sealed)
                ctl_json_str(out, ",\"peerkey\":", key);
            if (status_path(clnt)[0] != '\0')
                ctl_json_str(out, ",\"status\":", status_path(clnt));
            else
                fputs(",\"status\":null", out);
            // null: everything through the tunnel.
            fputs(",\"routes\":", out);
            if (c.conf.rtmode == SDWAN_RTMODE_SPLIT) {
                fputc('[', out);
                routes_text(out, c, ",", true);
                fputc(']', out);
            } else {
                fputs("null", out);
            }
            fprintf(out, ",\"setdns\":%s,\"dnsdomains\":[", c.conf.setdns != 0 ? "true" : "false");
            domains_text(out, c, ",", true);
            fputc(']', out);
            if (c.conf.nuplinks > 0) {
                fputs(",\"uplinks\":[", out);
                uplinks_text(out, c, true);
                fprintf(out, "],\"pathpolicy\":\"%s\",\"probeinterval\":%u,\"pathloss\":%u",
                        policy_name(c.conf.pathpolicy), unsigned{c.conf.probems}, unsigned{c.conf.pathloss});
            }
        }
        json_notes(out, "log", log);
        json_notes(out, "warnings", warn);
        json_diags(out, diags);
        fputs("}\n", out);
        return ok ? 0 : 1;
    }

    fprintf(out, "configuration %s\n", path);
    if (accepted) {
        fprintf(out, "  interface  %s\n", c.conf.tun_name);
        if (byname)
            fprintf(out, "  peer       %s port %u, a name: resolved through %s before every attempt\n", c.conf.peer,
                    unsigned{c.conf.peerport}, ip2strv4(sdwan_resolver(clnt), ip, sizeof ip));
        else
            fprintf(out, "  peer       %s port %u\n", ip2strv4(c.sess.peerip, ip, sizeof ip), unsigned{c.conf.peerport});
        fprintf(out, "  username   %s\n", c.conf.user);
        fprintf(out, "  password   set\n");
        if (sealed)
            fprintf(out, "  peerkey    %s: the sealed session only, never the legacy protocol\n", key);
        fprintf(out, "  mtu        %u at most (the peer may ask for less)\n", unsigned{c.conf.mtu});
        fprintf(out, "  encrypt    %s\n", c.conf.encrypt != 0 ? "asked of the peer" : "not asked");
        fprintf(out, "  pipe       id %u, index %u\n", unsigned{c.conf.pipeid}, unsigned{c.conf.pipeidx});
        fprintf(out, "  datalog    %s\n", c.conf.datalog != 0 ? "a line per received packet" : "off");
        fprintf(out, "  offload    %s\n",
                c.conf.offload != 0 ? "what the kernel grants (TUN segmentation, UDP GSO and GRO)" : "off");
        fprintf(out, "  status     %s\n", status_path(clnt)[0] != '\0' ? status_path(clnt) : "no status file");
        if (c.conf.rtmode == SDWAN_RTMODE_SPLIT) {
            fputs("  routes     ", out);
            routes_text(out, c, ", ", false);
            fputs(" through the tunnel, the rest by the host's own routes\n", out);
        } else {
            fputs("  routes     all through the tunnel\n", out);
        }
        if (c.conf.setdns == 0) {
            fputs("  setdns     off\n", out);
        } else if (c.conf.rtmode == SDWAN_RTMODE_SPLIT && c.conf.dnsdomains[0] == '\0') {
            fputs("  setdns     on: no domain routed to the peer's DNS servers (no dnsdomains)\n", out);
        } else if (c.conf.rtmode == SDWAN_RTMODE_SPLIT) {
            fputs("  setdns     on: lookups under ", out);
            domains_text(out, c, ", ", false);
            fputs(" to the peer's DNS servers\n", out);
        } else {
            fputs("  setdns     on: every lookup to the peer's DNS servers", out);
            if (c.conf.dnsdomains[0] != '\0') {
                fputs(", search ", out);
                domains_text(out, c, " ", false);
            }
            fputs("\n", out);
        }
        if (c.conf.nuplinks > 0) {
            fputs("  uplinks    ", out);
            uplinks_text(out, c, false);
            fprintf(out, "; pathpolicy %s, a probe every %u ms, degraded past %u%% lost\n", policy_name(c.conf.pathpolicy),
                    unsigned{c.conf.probems}, unsigned{c.conf.pathloss});
        }
    }
    print_notes(out, "tolvad logs: ", log);
    fprintf(out, "result: %s\n", result);
    print_diags(out, path, diags);
    print_notes(out, "warning: ", warn);
    return ok ? 0 : 1;
}

void ctl_check_route_table(const char *path) { s_route_table = path; }

int ctl_cfg_status(sdwan_t *clnt, const char *cfgpath, char *out, size_t len)
{
    notes_t log{};
    const char *why = nullptr;
    int err = 0;
    if (load_as_daemon(clnt, cfgpath, &why, &log, &err, nullptr) != 0) {
        errno = err;
        return -1;
    }
    snprintf(out, len, "%s", status_path(clnt));
    return 0;
}
