#include "daemon/cfg.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "client/record.h"
#include "client/status.h"
#include "net/ipaddr.h"
#include "base/log.h"

const char *_cfgfile = "/etc/sdwan/kesp.conf";

namespace {

// fgets into 256 bytes: a line longer than 255 characters arrives in pieces, each parsed as a
// line of its own.
constexpr int CFG_PIECE = 256;

// Text values keep at most width - 1 characters; the rest of the field is zero.
template <size_t N>
void set_text(char (&field)[N], const char *value)
{
    memset(field, 0, N);
    memcpy(field, value, strnlen(value, N - 1));
}

// Read the way atoi reads: leading white space, a sign, decimal digits up to the first other
// character. Arithmetic wraps instead of overflowing, so any digit string gives a defined value.
uint64_t cfg_number(const char *s)
{
    while (*s == ' ' || (*s >= '\t' && *s <= '\r'))
        s++;
    bool neg = false;
    if (*s == '+' || *s == '-')
        neg = *s++ == '-';
    uint64_t v = 0;
    while (*s >= '0' && *s <= '9')
        v = v * 10 + static_cast<uint64_t>(*s++ - '0');
    return neg ? 0 - v : v;
}

uint16_t cfg_u16(const char *s) { return static_cast<uint16_t>(cfg_number(s)); }

// "logsize" in MiB, in bytes. A number past the largest bound (a negative one among them) means
// the largest bound.
uint64_t cfg_logsize(const char *s)
{
    const uint64_t mib = cfg_number(s);
    return (mib > LOG_MIB_MAX ? LOG_MIB_MAX : mib) * LOG_MIB;
}

// The prefixes of "routes" lines, linked in the order given; filled at start-up only.
rtcfg_entry_t s_routes[SDWAN_ROUTES_MAX];
uint32_t s_nroutes;

// One prefix, "a.b.c.d/n" with n from 1 to 32 and no bit set past the mask; false otherwise.
bool cfg_prefix(const char *text, size_t len, rtcfg_entry_t *out)
{
    char buf[sizeof "255.255.255.255/32"];
    if (len == 0 || len >= sizeof buf)
        return false;
    memcpy(buf, text, len);
    buf[len] = 0;
    char *slash = strchr(buf, '/');
    if (slash == nullptr || slash[1] == 0 || strlen(slash + 1) > 2)
        return false;
    *slash = 0;
    uint32_t bits = 0;
    for (const char *d = slash + 1; *d != 0; d++) {
        if (*d < '0' || *d > '9')
            return false;
        bits = bits * 10 + static_cast<uint32_t>(*d - '0');
    }
    // 0.0.0.0 is a network of its own here (0.0.0.0/1 with 128.0.0.0/1 takes everything without
    // replacing the host's default route), told apart from text that is no address.
    const uint32_t net = str2ip(buf);
    if (bits < 1 || bits > 32 || (net == 0 && strcmp(buf, "0.0.0.0") != 0) || strchr(buf, '.') == nullptr)
        return false;
    const uint32_t mask = bits == 32 ? 0xffffffffu : ~(0xffffffffu >> bits);
    if ((ntohl(net) & ~mask) != 0)
        return false;
    out->net = net;
    out->masklen = bits;
    out->next = nullptr;
    return true;
}

bool cfg_blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// "routes=<prefix>[,<prefix>...]", blanks allowed around the commas (and a CR line end). A
// repeated key adds to the list. A value that does not parse, or one prefix too many, marks the mode bad: the
// configuration is then refused as a whole, never run with part of the list.
void cfg_routes(const char *value, sdwan_t *clnt)
{
    if (clnt->si_rtmode == SDWAN_RTMODE_BAD)
        return;
    const char *p = value;
    for (;;) {
        while (cfg_blank(*p))
            p++;
        size_t n = 0;
        while (p[n] != 0 && p[n] != ',' && !cfg_blank(p[n]))
            n++;
        const char *tail = p + n;
        while (cfg_blank(*tail))
            tail++;
        rtcfg_entry_t e;
        if (s_nroutes == SDWAN_ROUTES_MAX || !cfg_prefix(p, n, &e) || (*tail != 0 && *tail != ',')) {
            clnt->si_rtmode = SDWAN_RTMODE_BAD;
            return;
        }
        s_routes[s_nroutes] = e;
        if (s_nroutes > 0)
            s_routes[s_nroutes - 1].next = &s_routes[s_nroutes];
        s_nroutes++;
        clnt->si_rtcfg = &s_routes[0];
        clnt->si_rtmode = SDWAN_RTMODE_SPLIT;
        if (*tail == 0)
            return;
        p = tail + 1;
    }
}

// "dnsdomains=<domain>[,<domain>...]": names of letters, digits, '-' and '.', none empty and none
// starting or ending with a dot; stored as a comma-separated list. Anything else, or a list
// longer than the field, empties it and marks it bad.
void cfg_domains(const char *value, sdwan_t *clnt)
{
    char out[sizeof clnt->si_dnsdomains];
    size_t at = 0;
    bool bad = false;
    const char *p = value;
    while (!bad) {
        while (cfg_blank(*p))
            p++;
        size_t n = 0;
        while (p[n] != 0 && p[n] != ',' && !cfg_blank(p[n])) {
            const char c = p[n];
            if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.'))
                bad = true;
            n++;
        }
        const char *tail = p + n;
        while (cfg_blank(*tail))
            tail++;
        if (bad || n == 0 || n > 253 || p[0] == '.' || p[n - 1] == '.' || (*tail != 0 && *tail != ',') ||
            at + n + 1 >= sizeof out) {
            bad = true;
            break;
        }
        if (at > 0)
            out[at++] = ',';
        memcpy(out + at, p, n);
        at += n;
        if (*tail == 0)
            break;
        p = tail + 1;
    }
    memset(clnt->si_dnsdomains, 0, sizeof clnt->si_dnsdomains);
    if (bad)
        clnt->si_dnsdomains[0] = ',';  // no valid list starts with a comma: the check refuses it
    else
        memcpy(clnt->si_dnsdomains, out, at);
}

uint8_t cfg_flag(const char *s) { return cfg_number(s) != 0 ? 1 : 0; }

void cfg_piece(char *line, sdwan_t *clnt)
{
    if (line[0] == 0 || line[0] == '#' || line[0] == '\r')
        return;
    size_t n = strlen(line);
    if (n > 0 && (line[n - 1] == '\r' || line[n - 1] == '\n'))
        line[--n] = 0;

    char *open = strchr(line, '[');
    char *close = open != nullptr ? strrchr(open + 1, ']') : nullptr;
    if (close != nullptr) {
        *close = 0;
        set_text(clnt->tun_name, open + 1);
        return;
    }

    char *eq = strchr(line, '=');
    if (eq == nullptr)
        return;
    *eq = 0;
    for (const cfg_key_t &k : CFG_KEYS) {
        if (strcmp(line, k.name) == 0) {
            k.set(clnt, eq + 1);
            return;
        }
    }
}

}  // namespace

const cfg_key_t CFG_KEYS[] = {
    {"server", true, [](sdwan_t *c, const char *v) { set_text(c->si_peer, v); }},
    {"username", true, [](sdwan_t *c, const char *v) { set_text(c->si_user, v); }},
    {"password", true, [](sdwan_t *c, const char *v) { set_text(c->si_pass, v); }},
    {"port", false, [](sdwan_t *c, const char *v) { c->si_peerport = cfg_u16(v); }},
    {"mtu", false, [](sdwan_t *c, const char *v) { c->si_cfgmtu = cfg_u16(v); }},
    {"encrypt", false, [](sdwan_t *c, const char *v) { c->si_encrypt = cfg_flag(v); }},
    {"pipeid", false, [](sdwan_t *c, const char *v) { c->si_pipeid = cfg_u16(v); }},
    {"pipeidx", false, [](sdwan_t *c, const char *v) { c->si_pipeidx = cfg_u16(v); }},
    {"datalog", false, [](sdwan_t *c, const char *v) { c->si_datalog = cfg_flag(v); }},
    {"offload", false, [](sdwan_t *c, const char *v) { c->si_offload = cfg_flag(v); }},
    {"logsize", false, [](sdwan_t *, const char *v) { log_set_limit(cfg_logsize(v)); }},
    {"setdns", false, [](sdwan_t *c, const char *v) { c->si_setdns = cfg_flag(v); }},
    {"dnsdomains", false, [](sdwan_t *c, const char *v) { cfg_domains(v, c); }},
    {"routes", false, [](sdwan_t *c, const char *v) { cfg_routes(v, c); }},
    // A piece holds at most 248 characters of path: it always fits.
    {"status", true, [](sdwan_t *, const char *v) { (void)status_set_path(v); }},
};
static_assert(sizeof CFG_KEYS / sizeof CFG_KEYS[0] == CFG_NKEYS);

int cfg_read(FILE *fp, sdwan_t *clnt, const char **why)
{
    char line[CFG_PIECE];
    s_nroutes = 0;
    clnt->si_rtcfg = nullptr;
    clnt->si_rtmode = SDWAN_RTMODE_FULL;
    while (fgets(line, sizeof line, fp) != nullptr) {
        // The rest of a long line would arrive as a piece of its own and be dropped: a list cut
        // that way is refused instead of run short (cfg_piece has cut the key at its '=').
        const bool cut = strchr(line, '\n') == nullptr && !feof(fp);
        cfg_piece(line, clnt);
        if (cut && strncmp(line, "routes", 7) == 0)
            clnt->si_rtmode = SDWAN_RTMODE_BAD;
        if (cut && strncmp(line, "dnsdomains", 11) == 0)
            clnt->si_dnsdomains[0] = ',';  // the mark of a refused list
    }
    const char *problem = cfg_problem(clnt);
    if (why != nullptr)
        *why = problem;
    if (cfg_valid(clnt) == 0)
        sdwan_clear_cfg(clnt);
    return 0;
}

int cfg_load(const char **why)
{
    // O_NONBLOCK: a FIFO at the path must not hold the start-up in open(). Only a regular file of
    // a sane size is read: a device such as /dev/zero would never end, and a directory reads as
    // an empty file that starts a kernel-named interface.
    const int fd = open(_cfgfile, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return -1;
    // Asked of the open file, so the answers are about the file actually read.
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > CFG_FILE_MAX) {
        // What the refusal is, for the line that names it.
        const int err = !S_ISREG(st.st_mode) ? (S_ISDIR(st.st_mode) ? EISDIR : EINVAL) : EFBIG;
        close(fd);
        errno = err;
        return -1;
    }
    FILE *fp = fdopen(fd, "r");
    if (fp == nullptr) {
        const int err = errno;
        close(fd);
        errno = err;
        return -1;
    }
    if ((st.st_mode & S_IROTH) != 0)
        log_help("Warning: configuration file %s is readable by other users; it holds a password\n", _cfgfile);
    cfg_read(fp, &_sdwclnt, why);
    fclose(fp);
    return 0;
}

const char *cfg_problem(const sdwan_t *clnt)
{
    if (clnt->tun_name[0] == 0)
        return "INVALID tun name";
    if (clnt->si_peer[0] == 0)
        return "INVALID peer server";
    if (clnt->si_user[0] == 0)
        return "INVALID username";
    if (clnt->si_pass[0] == 0)
        return "INVALID password";
    if (clnt->si_cfgmtu < SDWAN_MTU_MIN || clnt->si_cfgmtu > SDWAN_MTU_MAX)
        return "INVALID MTU";
    if (clnt->si_peerport == 0)
        return "INVALID port";
    if (clnt->si_rtmode == SDWAN_RTMODE_BAD)
        return "INVALID routes";
    if (clnt->si_dnsdomains[0] == ',')
        return "INVALID dnsdomains";
    return nullptr;
}

int cfg_valid(sdwan_t *clnt)
{
    const char *why = cfg_problem(clnt);
    if (why != nullptr) {
        log_help("sdwclnt configuration failed: %s\n", why);
        return 0;
    }
    clnt->si_peerip = str2ip(clnt->si_peer);
    if (clnt->si_peerip == 0) {
        log_help("sdwclnt: peer %s is not in IPv4 format, treating it as domain\n", clnt->si_peer);
        set_text(clnt->si_peerdomain, clnt->si_peer);
    }
    return 1;
}

void sdwan_clear_cfg(sdwan_t *clnt)
{
    clnt->si_peerip = 0;
    clnt->si_cfgmtu = 0;
    clnt->si_peerport = 0;
    clnt->si_encrypt = 0;
    // Whole fields, not just their first byte: the password has no business staying in memory.
    memset(clnt->si_peerdomain, 0, sizeof clnt->si_peerdomain);
    memset(clnt->si_peer, 0, sizeof clnt->si_peer);
    memset(clnt->si_user, 0, sizeof clnt->si_user);
    memset(clnt->si_pass, 0, sizeof clnt->si_pass);
    memset(clnt->tun_name, 0, sizeof clnt->tun_name);
    clnt->si_rtcfg = nullptr;
    clnt->si_rtmode = SDWAN_RTMODE_FULL;
    clnt->si_setdns = 0;
    memset(clnt->si_dnsdomains, 0, sizeof clnt->si_dnsdomains);
}
