#include "daemon/cfg.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "client/record.h"
#include "client/status.h"
#include "conf/kv.h"
#include "seal/keyfile.h"
#include "net/ipaddr.h"
#include "base/log.h"

const char *cfgfile_path = "/etc/sdwan/kesp.conf";

namespace {

// Text values keep at most width - 1 characters; the rest of the field is zero.
template <size_t N>
void set_text(char (&field)[N], const char *value)
{
    memset(field, 0, N);
    memcpy(field, value, strnlen(value, N - 1));
}

// One prefix, "a.b.c.d/n" with n from 1 to 32 and no bit set past the mask; null, or what is
// wrong with it in words for the check.
const char *cfg_prefix(const char *text, size_t len, rtcfg_entry_t *out, char *why, size_t whylen)
{
    char buf[sizeof "255.255.255.255/32"];
    if (len == 0)
        return "is empty (two commas, or a comma at an end)";
    if (len >= sizeof buf)
        return "is no prefix a.b.c.d/n";
    memcpy(buf, text, len);
    buf[len] = 0;
    char *slash = strchr(buf, '/');
    if (slash == nullptr || slash[1] == 0)
        return "has no /length";
    *slash = 0;
    uint32_t bits = 0;
    bool digits = strlen(slash + 1) <= 2;
    for (const char *d = slash + 1; *d != 0; d++) {
        digits = digits && *d >= '0' && *d <= '9';
        bits = bits * 10 + static_cast<uint32_t>(*d - '0');
    }
    if (!digits || bits < 1 || bits > 32)
        return "has a length that is not 1 to 32";
    // 0.0.0.0 is a network of its own here (0.0.0.0/1 with 128.0.0.0/1 takes everything without
    // replacing the host's default route), told apart from text that is no address.
    const uint32_t net = str2ip(buf);
    if ((net == 0 && strcmp(buf, "0.0.0.0") != 0) || strchr(buf, '.') == nullptr)
        return "is not an address a.b.c.d with a length";
    const uint32_t mask = bits == 32 ? 0xffffffffu : ~(0xffffffffu >> bits);
    if ((ntohl(net) & ~mask) != 0) {
        char ip[16];
        snprintf(why, whylen, "has bits set past its /%u: the network is %s/%u", bits,
                 ip2strv4(htonl(ntohl(net) & mask), ip, sizeof ip), bits);
        return why;
    }
    out->net = net;
    out->masklen = bits;
    out->next = nullptr;
    return nullptr;
}

bool cfg_blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// "routes=<prefix>[,<prefix>...]", blanks allowed around the commas (and a CR line end). A
// repeated key adds to the list. A value that does not parse, or one prefix too many, marks the
// mode bad: the configuration is then refused as a whole, never run with part of the list. Every
// element is looked at, so that the check names each wrong one.
bool cfg_routes(void *dst, const kv_val_t &v)
{
    sdwan_t *clnt = static_cast<sdwan_t *>(dst);
    if (v.cut) {
        kv_note(v, kv_kind::bad_value, kv_sev::error,
                "routes: the line goes on past 255 characters: tolvad refuses the list rather than run part of it");
        clnt->conf.rtmode = SDWAN_RTMODE_BAD;
    }
    const char *p = v.text;
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
        char buf[80];
        const char *why = cfg_prefix(p, n, &e, buf, sizeof buf);
        if (why == nullptr && *tail != 0 && *tail != ',')
            why = "is followed by more text before the next comma";
        if (why == nullptr && clnt->conf.nroutes == SDWAN_ROUTES_MAX)
            why = "is one prefix more than tolvad takes (120)";
        if (why != nullptr) {
            kv_note(v, kv_kind::bad_value, kv_sev::error, "routes: %s%.*s%s %s", n == 0 ? "an element" : "\"",
                    static_cast<int>(n < 40 ? n : 40), p, n == 0 ? "" : "\"", why);
            clnt->conf.rtmode = SDWAN_RTMODE_BAD;
        } else if (clnt->conf.rtmode != SDWAN_RTMODE_BAD) {
            // Linked in the order given, in the record's own storage.
            rtcfg_entry_t *const at = clnt->conf.routes;
            const uint32_t n = clnt->conf.nroutes++;
            at[n] = e;
            if (n > 0)
                at[n - 1].next = &at[n];
            clnt->conf.rtcfg = &at[0];
            clnt->conf.rtmode = SDWAN_RTMODE_SPLIT;
        }
        const char *comma = strchr(tail, ',');
        if (comma == nullptr)
            return true;
        p = comma + 1;
    }
}

// "dnsdomains=<domain>[,<domain>...]": names of letters, digits, '-' and '.', none empty and none
// starting or ending with a dot; stored as a comma-separated list. Anything else, or a list
// longer than the field, empties it and marks it bad.
bool cfg_domains(void *dst, const kv_val_t &v)
{
    sdwan_t *clnt = static_cast<sdwan_t *>(dst);
    char out[sizeof clnt->conf.dnsdomains];
    size_t at = 0;
    bool bad = false;
    const char *p = v.text;
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
    memset(clnt->conf.dnsdomains, 0, sizeof clnt->conf.dnsdomains);
    if (bad || v.cut) {
        clnt->conf.dnsdomains[0] = ',';  // no valid list starts with a comma: the check refuses it
        kv_note(v, kv_kind::bad_value, kv_sev::error, "dnsdomains: %s",
                v.cut ? "the line goes on past 255 characters: tolvad refuses the list"
                      : "not a list of names of letters, digits, '-' and '.' within 255 characters");
    } else {
        memcpy(clnt->conf.dnsdomains, out, at);
    }
    return true;
}

// The server is an IPv4 address or a name; a ':' is in neither.
bool cfg_server(void *dst, const kv_val_t &v)
{
    set_text(static_cast<sdwan_t *>(dst)->conf.peer, v.text);
    const char *colon = strrchr(v.text, ':');
    if (colon == nullptr)
        return true;
    uint8_t a6[16];
    if (inet_pton(AF_INET6, v.text, a6) == 1) {
        kv_note(v, kv_kind::bad_value, kv_sev::error,
                "server is an IPv6 address: tolvad reaches its peer over IPv4 only");
        return true;
    }
    size_t digits = strspn(colon + 1, "0123456789");
    if (digits > 0 && colon[1 + digits] == 0)
        kv_note(v, kv_kind::bad_value, kv_sev::error,
                "server holds a port: tolvad would look the whole text up as a name; give the port as port=%s",
                colon + 1);
    else
        kv_note(v, kv_kind::bad_value, kv_sev::error, "server holds a ':', which no IPv4 address or host name has");
    return true;
}

// "peerkey=<base64>": the peer's static public key, 44 characters. Anything else is a
// configuration error, so that a typing slip never leaves the client on the legacy protocol.
bool cfg_peerkey(void *dst, const kv_val_t &v)
{
    sdwan_t *clnt = static_cast<sdwan_t *>(dst);
    if (!v.cut && key_parse(v.text, clnt->conf.peerkey) == 0) {
        clnt->conf.peerkey_state = SDWAN_PEERKEY_SET;
        return true;
    }
    memset(clnt->conf.peerkey, 0, sizeof clnt->conf.peerkey);
    clnt->conf.peerkey_state = SDWAN_PEERKEY_BAD;
    kv_note(v, kv_kind::bad_value, kv_sev::error,
            "peerkey: not a public key (44 characters of base64 giving 32 bytes)");
    return true;
}

// "resolver=<a.b.c.d>": where a peer given by name is looked up. A resolver on this host (127/8)
// would send the lookup on by the host's routes, into the tunnel while its default route stays
// between sessions; 0/8, multicast and the reserved 240/4 are no server's address. Anything
// else marks the configuration invalid rather than fall back to the build's resolver unasked.
bool cfg_resolver(void *dst, const kv_val_t &v)
{
    sdwan_t *clnt = static_cast<sdwan_t *>(dst);
    char buf[sizeof "255.255.255.255"];
    size_t n = strlen(v.text);
    while (n > 0 && cfg_blank(v.text[n - 1]))
        n--;
    in_addr a{};
    const bool parsed = !v.cut && n < sizeof buf && (memcpy(buf, v.text, n), buf[n] = 0, inet_pton(AF_INET, buf, &a) == 1);
    const uint32_t first = ntohl(a.s_addr) >> 24;
    if (parsed && first != 0 && first != 127 && first < 224) {
        clnt->conf.resolver = a.s_addr;
        clnt->conf.resolver_bad = false;
        return true;
    }
    clnt->conf.resolver = 0;
    clnt->conf.resolver_bad = true;
    if (!parsed)
        kv_note(v, kv_kind::bad_value, kv_sev::error, "resolver: \"%.*s\" is not an IPv4 address a.b.c.d",
                static_cast<int>(n < 40 ? n : 40), v.text);
    else
        kv_note(v, kv_kind::bad_value, kv_sev::error,
                "resolver: %s cannot be a resolver outside the tunnel (not in 0/8, 127/8 or 224/3)", buf);
    return true;
}

// One entry of "uplinks", NAME[@SOURCE][:PRIORITY|:backup], into *out; null, or what is wrong
// with it in words for the check.
const char *cfg_uplink(const char *text, size_t len, sdwan_uplink_t *out)
{
    if (len == 0)
        return "is empty (two commas, or a comma at an end)";
    const size_t name = strcspn(text, "@:,");
    const size_t namelen = name < len ? name : len;
    if (namelen == 0)
        return "has no interface name";
    if (namelen >= sizeof out->ifname)
        return "has an interface name longer than 15 characters";
    // The kernel's own rule for interface names: no '/', no blank, not "." or "..".
    bool odd = namelen <= 2 && strncmp(text, "..", namelen) == 0;
    for (size_t i = 0; i < namelen; i++)
        odd = odd || text[i] == '/' || static_cast<unsigned char>(text[i]) <= ' ' || text[i] == 0x7f;
    if (odd)
        return "is no interface name";
    *out = sdwan_uplink_t{};
    memcpy(out->ifname, text, namelen);
    size_t at = namelen;
    if (at < len && text[at] == '@') {
        const size_t n = strcspn(text + at + 1, ":,");
        const size_t srclen = at + 1 + n < len ? n : len - at - 1;
        char buf[sizeof "255.255.255.255"];
        in_addr a{};
        if (srclen == 0 || srclen >= sizeof buf)
            return "has a source that is not an IPv4 address a.b.c.d";
        memcpy(buf, text + at + 1, srclen);
        buf[srclen] = 0;
        if (inet_pton(AF_INET, buf, &a) != 1)
            return "has a source that is not an IPv4 address a.b.c.d";
        // A socket bound to one of these never reaches the peer through an uplink.
        const uint32_t first = ntohl(a.s_addr) >> 24;
        if (first == 0 || first == 127 || first >= 224)
            return "has a source no uplink sends from (0/8, 127/8, 224/3)";
        out->source = a.s_addr;
        at += 1 + srclen;
    }
    if (at < len && text[at] == ':') {
        const char *v = text + at + 1;
        const size_t n = len - at - 1;
        if (n == 6 && strncmp(v, "backup", 6) == 0) {
            out->backup = true;
        } else {
            uint32_t prio = 0;
            bool digits = n >= 1 && n <= 3;
            for (size_t i = 0; digits && i < n; i++) {
                digits = v[i] >= '0' && v[i] <= '9';
                prio = prio * 10 + static_cast<uint32_t>(v[i] - '0');
            }
            if (!digits || prio < 1 || prio > 255)
                return "has a priority that is not 1 to 255 or backup";
            out->prio = static_cast<uint8_t>(prio);
        }
        at = len;
    }
    if (at != len)
        return "has more text after its interface name";
    return nullptr;
}

// "uplinks=<entry>[,<entry>...]", blanks allowed around the commas (and a CR line end). A later
// line replaces an earlier one. Any wrong entry marks the list bad and leaves it empty: the
// configuration is refused rather than run on some of the uplinks. Every entry is looked at, so
// that the check names each wrong one.
bool cfg_uplinks(void *dst, const kv_val_t &v)
{
    sdwan_conf_t &c = static_cast<sdwan_t *>(dst)->conf;
    memset(c.uplinks, 0, sizeof c.uplinks);
    c.nuplinks = 0;
    c.uplinks_bad = false;
    if (v.cut) {
        kv_note(v, kv_kind::bad_value, kv_sev::error,
                "uplinks: the line goes on past 255 characters: tolvad refuses the list rather than run part of it");
        c.uplinks_bad = true;
    }
    const char *p = v.text;
    uint32_t n = 0;
    for (uint32_t entry = 1;; entry++) {
        while (cfg_blank(*p))
            p++;
        size_t len = 0;
        while (p[len] != 0 && p[len] != ',' && !cfg_blank(p[len]))
            len++;
        const char *tail = p + len;
        while (cfg_blank(*tail))
            tail++;
        sdwan_uplink_t u{};
        const char *why = cfg_uplink(p, len, &u);
        if (why == nullptr && *tail != 0 && *tail != ',')
            why = "is followed by more text before the next comma";
        char dup[64];
        for (uint32_t i = 0; why == nullptr && i < n; i++)
            if (strcmp(c.uplinks[i].ifname, u.ifname) == 0) {
                snprintf(dup, sizeof dup, "names the interface of entry %u again", i + 1);
                why = dup;
            }
        if (why == nullptr && n == SDWAN_PATHS_MAX)
            why = "is one uplink more than tolvad takes (4)";
        if (why != nullptr) {
            if (len == 0)
                kv_note(v, kv_kind::bad_value, kv_sev::error, "uplinks: entry %u %s", entry, why);
            else
                kv_note(v, kv_kind::bad_value, kv_sev::error, "uplinks: entry %u \"%.*s\" %s", entry,
                        static_cast<int>(len < 40 ? len : 40), p, why);
            c.uplinks_bad = true;
        } else if (n < SDWAN_PATHS_MAX) {
            if (u.prio == 0)
                u.prio = static_cast<uint8_t>(entry);
            c.uplinks[n++] = u;
        }
        const char *comma = strchr(tail, ',');
        if (comma == nullptr)
            break;
        p = comma + 1;
    }
    if (c.uplinks_bad)
        memset(c.uplinks, 0, sizeof c.uplinks);
    else
        c.nuplinks = static_cast<uint8_t>(n);
    return true;
}

// A number of decimal digits and nothing else (blanks and a CR at the end aside), or -1; a
// number past a million is read as just past it.
long cfg_decimal(const char *text)
{
    long n = 0;
    const char *d = text;
    for (; *d >= '0' && *d <= '9'; d++)
        n = n > 1000000 ? n : n * 10 + (*d - '0');  // past every bound: no more is needed
    const bool digits = d != text;
    while (cfg_blank(*d))
        d++;
    return digits && *d == 0 ? n : -1;
}

// "probeinterval" and "pathloss": a number outside the bounds is taken at the nearer bound, text
// that is no number leaves the default; both with a line for the check.
uint32_t cfg_bounded(const kv_val_t &v, uint32_t lo, uint32_t hi, uint32_t dflt)
{
    const long n = cfg_decimal(v.text);
    if (n < 0) {
        kv_note(v, kv_kind::not_number, kv_sev::warning, "%s=%.24s is no number: tolvad uses %u", v.key->name, v.text,
                dflt);
        return dflt;
    }
    const uint32_t u = static_cast<uint32_t>(n);
    if (u >= lo && u <= hi)
        return u;
    const uint32_t use = u < lo ? lo : hi;
    kv_note(v, kv_kind::bounds, kv_sev::warning, "%s=%.24s is not %u to %u: tolvad uses %u", v.key->name, v.text, lo, hi,
            use);
    return use;
}

bool cfg_pathpolicy(void *dst, const kv_val_t &v)
{
    sdwan_conf_t &c = static_cast<sdwan_t *>(dst)->conf;
    size_t n = strlen(v.text);
    while (n > 0 && cfg_blank(v.text[n - 1]))
        n--;
    if (n == 4 && strncmp(v.text, "best", 4) == 0) {
        c.pathpolicy = path_policy::best;
    } else if (n == 6 && strncmp(v.text, "backup", 6) == 0) {
        c.pathpolicy = path_policy::backup;
    } else {
        c.pathpolicy = path_policy::best;
        kv_note(v, kv_kind::bad_value, kv_sev::warning, "pathpolicy=%.24s is neither best nor backup: tolvad uses best",
                v.text);
    }
    return true;
}

sdwan_t *rec(void *dst) { return static_cast<sdwan_t *>(dst); }
uint16_t u16(const kv_val_t &v) { return static_cast<uint16_t>(v.num); }
uint8_t flag(const kv_val_t &v) { return v.num != 0 ? 1 : 0; }

// Text values keep 63 characters of the server and 31 of the other fields; numbers are read as
// atoi reads them and kept modulo 65536.
constexpr kv_key_t CFG_KEYS[] = {
    {"server", kv_type::text, false, 0, 63, cfg_server, nullptr},
    {"username", kv_type::text, false, 0, 31,
     [](void *d, const kv_val_t &v) { return set_text(rec(d)->conf.user, v.text), true; }, nullptr},
    {"password", kv_type::text, false, 0, 31,
     [](void *d, const kv_val_t &v) { return set_text(rec(d)->conf.pass, v.text), true; }, nullptr},
    {"port", kv_type::u16, false, 1, 65535,
     [](void *d, const kv_val_t &v) { return rec(d)->conf.peerport = u16(v), true; }, nullptr},
    {"mtu", kv_type::u16, false, SDWAN_MTU_MIN, SDWAN_MTU_MAX,
     [](void *d, const kv_val_t &v) { return rec(d)->conf.mtu = u16(v), true; }, nullptr},
    {"encrypt", kv_type::flag, false, 0, 1,
     [](void *d, const kv_val_t &v) { return rec(d)->conf.encrypt = flag(v), true; }, nullptr},
    {"pipeid", kv_type::u16, false, 0, 65535,
     [](void *d, const kv_val_t &v) { return rec(d)->conf.pipeid = u16(v), true; }, nullptr},
    {"pipeidx", kv_type::u16, false, 0, 65535,
     [](void *d, const kv_val_t &v) { return rec(d)->conf.pipeidx = u16(v), true; }, nullptr},
    {"datalog", kv_type::flag, false, 0, 1,
     [](void *d, const kv_val_t &v) { return rec(d)->conf.datalog = flag(v), true; }, nullptr},
    {"offload", kv_type::flag, false, 0, 1,
     [](void *d, const kv_val_t &v) { return rec(d)->conf.offload = flag(v), true; }, nullptr},
    {"killswitch", kv_type::flag, false, 0, 1,
     [](void *d, const kv_val_t &v) { return rec(d)->conf.killswitch = flag(v), true; }, nullptr},
    // In MiB; a number past the largest bound (a negative one among them) means the largest.
    {"logsize", kv_type::number, false, 0, static_cast<uint32_t>(LOG_MIB_MAX),
     [](void *, const kv_val_t &v) {
         return log_set_limit((v.num > LOG_MIB_MAX ? LOG_MIB_MAX : v.num) * LOG_MIB), true;
     },
     nullptr},
    {"setdns", kv_type::flag, false, 0, 1, [](void *d, const kv_val_t &v) { return rec(d)->conf.setdns = flag(v), true; },
     nullptr},
    {"dnsdomains", kv_type::custom, false, 0, 0, cfg_domains, nullptr},
    {"routes", kv_type::custom, true, 0, 0, cfg_routes, nullptr},
    {"peerkey", kv_type::custom, false, 0, 0, cfg_peerkey, nullptr},
    {"waitroute", kv_type::flag, false, 0, 1,
     [](void *d, const kv_val_t &v) { return rec(d)->conf.waitroute = flag(v), true; }, nullptr},
    {"resolver", kv_type::custom, false, 0, 0, cfg_resolver, nullptr},
    {"uplinks", kv_type::custom, false, 0, 0, cfg_uplinks, nullptr},
    {"pathpolicy", kv_type::custom, false, 0, 0, cfg_pathpolicy, nullptr},
    {"probeinterval", kv_type::custom, false, 0, 0,
     [](void *d, const kv_val_t &v) {
         return rec(d)->conf.probems = static_cast<uint16_t>(cfg_bounded(v, 50, 10000, SDWAN_PROBE_MS_DEFAULT)), true;
     },
     nullptr},
    {"pathloss", kv_type::custom, false, 0, 0,
     [](void *d, const kv_val_t &v) {
         return rec(d)->conf.pathloss = static_cast<uint8_t>(cfg_bounded(v, 1, 100, SDWAN_PATHLOSS_DEFAULT)), true;
     },
     nullptr},
    // A piece holds at most 248 characters of path: it always fits.
    {"status", kv_type::text, false, 0, 255,
     [](void *d, const kv_val_t &v) { return (void)status_set_path(rec(d), v.text), true; }, nullptr},
};

bool cfg_section(void *dst, const kv_val_t &v) { return set_text(rec(dst)->conf.tun_name, v.text), true; }

constexpr kv_rules_t CFG_RULES = {kv_mode::literal, CFG_KEYS, cfg_section, nullptr, nullptr};

}  // namespace

int cfg_read(FILE *fp, sdwan_t *clnt, const char **why, kv_diags_t *diags)
{
    kv_diags_t unseen;
    if (diags == nullptr)
        diags = &unseen;
    *diags = kv_diags_t{};
    clnt->conf.nroutes = 0;
    clnt->conf.rtcfg = nullptr;
    clnt->conf.rtmode = SDWAN_RTMODE_FULL;
    memset(clnt->conf.uplinks, 0, sizeof clnt->conf.uplinks);
    clnt->conf.nuplinks = 0;
    clnt->conf.uplinks_bad = false;
    clnt->conf.pathpolicy = path_policy::best;
    clnt->conf.probems = SDWAN_PROBE_MS_DEFAULT;
    clnt->conf.pathloss = SDWAN_PATHLOSS_DEFAULT;
    (void)kv_read(fp, CFG_RULES, clnt, diags);
    const char *problem = cfg_problem(clnt);
    if (why != nullptr)
        *why = problem;
    if (cfg_valid(clnt) == 0)
        sdwan_clear_cfg(clnt);
    return 0;
}

int cfg_load(sdwan_t *clnt, const char **why, kv_diags_t *diags)
{
    // O_NONBLOCK: a FIFO at the path must not hold the start-up in open(). Only a regular file of
    // a sane size is read: a device such as /dev/zero would never end, and a directory reads as
    // an empty file that starts a kernel-named interface.
    const int fd = open(cfgfile_path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
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
        log_help("Warning: configuration file %s is readable by other users; it holds a password\n", cfgfile_path);
    cfg_read(fp, clnt, why, diags);
    fclose(fp);
    return 0;
}

const char *cfg_problem(const sdwan_t *clnt)
{
    if (clnt->conf.tun_name[0] == 0)
        return "INVALID tun name";
    if (clnt->conf.peer[0] == 0)
        return "INVALID peer server";
    if (clnt->conf.user[0] == 0)
        return "INVALID username";
    if (clnt->conf.pass[0] == 0)
        return "INVALID password";
    if (clnt->conf.mtu < SDWAN_MTU_MIN || clnt->conf.mtu > SDWAN_MTU_MAX)
        return "INVALID MTU";
    if (clnt->conf.peerport == 0)
        return "INVALID port";
    if (clnt->conf.rtmode == SDWAN_RTMODE_BAD)
        return "INVALID routes";
    if (clnt->conf.dnsdomains[0] == ',')
        return "INVALID dnsdomains";
    if (clnt->conf.peerkey_state == SDWAN_PEERKEY_BAD)
        return "INVALID peerkey";
    if (clnt->conf.resolver_bad)
        return "INVALID resolver";
    if (clnt->conf.uplinks_bad)
        return "INVALID uplinks";
    return nullptr;
}

int cfg_valid(sdwan_t *clnt)
{
    const char *why = cfg_problem(clnt);
    if (why != nullptr) {
        log_help("sdwclnt configuration failed: %s\n", why);
        return 0;
    }
    clnt->sess.peerip = str2ip(clnt->conf.peer);
    if (clnt->sess.peerip == 0) {
        log_help("sdwclnt: peer %s is not in IPv4 format, treating it as domain\n", clnt->conf.peer);
        set_text(clnt->conf.peerdomain, clnt->conf.peer);
    }
    return 1;
}

void sdwan_clear_cfg(sdwan_t *clnt)
{
    clnt->sess.peerip = 0;
    clnt->conf.mtu = 0;
    clnt->conf.peerport = 0;
    clnt->conf.encrypt = 0;
    // Whole fields, not just their first byte: the password has no business staying in memory.
    memset(clnt->conf.peerdomain, 0, sizeof clnt->conf.peerdomain);
    memset(clnt->conf.peer, 0, sizeof clnt->conf.peer);
    memset(clnt->conf.user, 0, sizeof clnt->conf.user);
    memset(clnt->conf.pass, 0, sizeof clnt->conf.pass);
    memset(clnt->conf.tun_name, 0, sizeof clnt->conf.tun_name);
    clnt->conf.rtcfg = nullptr;
    clnt->conf.nroutes = 0;
    clnt->conf.rtmode = SDWAN_RTMODE_FULL;
    clnt->conf.setdns = 0;
    memset(clnt->conf.dnsdomains, 0, sizeof clnt->conf.dnsdomains);
    memset(clnt->conf.peerkey, 0, sizeof clnt->conf.peerkey);
    clnt->conf.peerkey_state = SDWAN_PEERKEY_NONE;
    clnt->conf.resolver = 0;
    clnt->conf.resolver_bad = false;
    memset(clnt->conf.uplinks, 0, sizeof clnt->conf.uplinks);
    clnt->conf.nuplinks = 0;
    clnt->conf.uplinks_bad = false;
}
