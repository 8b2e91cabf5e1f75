// The peer server's configuration file: a [section] line naming the TUN interface and
// key=value lines, read at start-up and again, for its user list, at a reload. The client's
// reader (conf/kv) reads it, with the strict rules: a server that silently ignored a mistyped
// "encrypt" or a half-written user line would hand out sessions the operator did not mean to,
// so every fault stops the start-up with one line naming the line number and the reason.
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/crypto.h>

#include "conf/kv.h"
#include "net/ipaddr.h"
#include "peer/peer.h"
#include "base/log.h"

namespace {

// Larger is not a configuration file: room for PEER_MAX_USERS users of about 80 characters.
constexpr off_t CFG_FILE_MAX = PEER_CFG_FILE_MAX;

// Writes the fault into err; -1, for the caller to return.
int cfg_err(char *err, size_t errlen, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
int cfg_err(char *err, size_t errlen, const char *fmt, ...)
{
    if (err == nullptr || errlen == 0)
        return -1;
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(err, errlen, fmt, ap);
    va_end(ap);
    return -1;
}

// Decimal digits only, no sign, no blanks, within [lo, hi].
int cfg_number(const char *v, uint32_t lo, uint32_t hi, uint32_t *out)
{
    if (*v == '\0')
        return -1;
    uint32_t n = 0;
    for (const char *c = v; *c != '\0'; c++) {
        if (*c < '0' || *c > '9')
            return -1;
        n = n * 10 + static_cast<uint32_t>(*c - '0');
        if (n > hi)
            return -1;
    }
    if (n < lo)
        return -1;
    *out = n;
    return 0;
}

// A pool is a network of /16 to /24, split into /24s: a.b.c.0 alone is a /24. The address must
// be the network's first, so that the split is what the operator wrote.
int cfg_pool(const char *v, peer_cfg_t *cfg)
{
    char text[20];
    size_t n = strlen(v);
    uint32_t len = 24;
    const char *slash = strchr(v, '/');
    if (slash != nullptr) {
        if (cfg_number(slash + 1, PEER_POOL_MINLEN, 24, &len) != 0 || slash[1] == '0')
            return -1;
        n = static_cast<size_t>(slash - v);
    }
    if (n == 0 || n >= sizeof text)
        return -1;
    memcpy(text, v, n);
    text[n] = '\0';
    uint32_t ip;
    if (peer_parse_addr(text, &ip) != 0)
        return -1;
    const uint32_t npools = 1u << (24 - len);
    if (peer_hostpart(ip) != 0 || (ld_be32(reinterpret_cast<const uint8_t *>(&ip)) >> 8) % npools != 0)
        return -1;
    cfg->pool = ip;
    cfg->npools = npools;
    return 0;
}

uint32_t name_hash(const uint8_t *name, uint32_t len)
{
    uint32_t h = 2166136261u;  // FNV-1a
    for (uint32_t i = 0; i < len; i++)
        h = (h ^ name[i]) * 16777619u;
    return h;
}

// The user table grows by doubling while the file is read, and the name hash with it, so that
// reading n users costs O(n) whatever n is.
int users_grow(peer_cfg_t *cfg)
{
    int cap = cfg->capusers == 0 ? 64 : cfg->capusers * 2;
    auto *u = static_cast<peer_user_t *>(realloc(cfg->users, sizeof(peer_user_t) * static_cast<size_t>(cap)));
    if (u == nullptr)
        return -1;
    cfg->users = u;
    cfg->capusers = cap;
    const uint32_t hsize = static_cast<uint32_t>(cap) * 2;
    auto *h = static_cast<uint32_t *>(realloc(cfg->uhash, sizeof(uint32_t) * hsize));
    if (h == nullptr)
        return -1;
    cfg->uhash = h;
    cfg->umask = hsize - 1;
    memset(h, 0xFF, sizeof(uint32_t) * hsize);
    for (int i = 0; i < cfg->nusers; i++) {
        peer_user_t &x = cfg->users[i];
        uint32_t b = name_hash(reinterpret_cast<const uint8_t *>(x.name), x.namelen) & cfg->umask;
        x.unext = h[b];
        h[b] = static_cast<uint32_t>(i);
    }
    return 0;
}

int cfg_dns(const char *v, peer_cfg_t *cfg)
{
    char text[40];
    size_t n = strlen(v);
    if (n == 0 || n >= sizeof text)
        return -1;
    memcpy(text, v, n + 1);
    char *comma = strchr(text, ',');
    uint32_t a = 0, b = 0;
    if (comma != nullptr) {
        *comma = '\0';
        if (peer_parse_addr(comma + 1, &b) != 0)
            return -1;
    }
    if (peer_parse_addr(text, &a) != 0)
        return -1;
    cfg->dns0 = a;
    cfg->dns1 = b;
    return 0;
}

bool cfg_name_char(char c) { return c > ' ' && c < 0x7f; }

// user=name:password[:a.b.c.d]. Neither name nor password may hold a ':'; the name is plain
// printable text because it appears in log lines.
bool cfg_user(void *dst, const kv_val_t &val)
{
    peer_cfg_t *cfg = static_cast<peer_cfg_t *>(dst);
    const char *v = val.text;
    if (cfg->nusers >= PEER_MAX_USERS)
        return kv_note(val, kv_kind::bad_value, kv_sev::error, "more than %d users", PEER_MAX_USERS), false;
    if (cfg->nusers >= cfg->capusers && users_grow(cfg) != 0)
        return kv_note(val, kv_kind::bad_value, kv_sev::error, "out of memory"), false;
    const char *c1 = strchr(v, ':');
    if (c1 == nullptr)
        return kv_note(val, kv_kind::bad_value, kv_sev::error, "user needs name:password[:address]"), false;
    const char *pass = c1 + 1;
    const char *c2 = strchr(pass, ':');
    const char *ip = nullptr;
    size_t passlen = strlen(pass);
    if (c2 != nullptr) {
        passlen = static_cast<size_t>(c2 - pass);
        ip = c2 + 1;
        if (strchr(ip, ':') != nullptr)
            return kv_note(val, kv_kind::bad_value, kv_sev::error, "user needs name:password[:address]"), false;
    }
    size_t namelen = static_cast<size_t>(c1 - v);
    if (namelen == 0 || namelen > SDWAN_USER_MAX)
        return kv_note(val, kv_kind::bad_value, kv_sev::error, "user name must have 1 to 31 characters"), false;
    for (size_t i = 0; i < namelen; i++) {
        if (!cfg_name_char(v[i]))
            return kv_note(val, kv_kind::bad_value, kv_sev::error, "user name must be printable without blanks"), false;
    }
    if (passlen == 0 || passlen > SDWAN_PASS_MAX)
        return kv_note(val, kv_kind::bad_value, kv_sev::error, "password must have 1 to 31 characters"), false;
    if (peer_user_find(cfg, reinterpret_cast<const uint8_t *>(v), static_cast<uint32_t>(namelen)) >= 0)
        return kv_note(val, kv_kind::bad_value, kv_sev::error, "user %.*s appears twice", static_cast<int>(namelen), v), false;
    uint32_t fixed = 0;
    if (ip != nullptr && peer_parse_addr(ip, &fixed) != 0)
        return kv_note(val, kv_kind::bad_value, kv_sev::error, "bad address %s for user %.*s", ip, static_cast<int>(namelen), v), false;
    peer_user_t *u = &cfg->users[cfg->nusers++];
    memset(u, 0, sizeof *u);
    memcpy(u->name, v, namelen);
    memcpy(u->pass, pass, passlen);
    u->namelen = static_cast<uint8_t>(namelen);
    u->fixed_ip = fixed;
    u->sess = PEER_NONE;
    uint32_t b = name_hash(reinterpret_cast<const uint8_t *>(u->name), u->namelen) & cfg->umask;
    u->unext = cfg->uhash[b];
    cfg->uhash[b] = static_cast<uint32_t>(cfg->nusers - 1);
    return true;
}

bool cfg_ifname_ok(const char *name, size_t n)
{
    if (n == 0 || n >= sizeof(peer_cfg_t::tun_name))
        return false;
    for (size_t i = 0; i < n; i++)
        if (!cfg_name_char(name[i]) || name[i] == '/' || name[i] == ':')
            return false;
    return true;
}

// A path of 1 to room - 1 characters.
int cfg_path(const char *v, char *dst, size_t room)
{
    const size_t n = strlen(v);
    if (n == 0 || n >= room)
        return -1;
    memcpy(dst, v, n + 1);
    return 0;
}

peer_cfg_t *pc(void *dst) { return static_cast<peer_cfg_t *>(dst); }

// Numbers within their bounds, and the values of a form of their own with what a refused one
// should be. "user" comes first: it is nearly every line of a large file.
constexpr kv_key_t PEER_KEYS[] = {
    {"user", kv_type::custom, true, 0, 0, cfg_user, nullptr},
    {"port", kv_type::number, false, 1, 65535,
     [](void *d, const kv_val_t &v) { return pc(d)->port = static_cast<uint16_t>(v.num), true; }, nullptr},
    {"sessions", kv_type::number, false, 1, PEER_SESS_MAX,
     [](void *d, const kv_val_t &v) { return pc(d)->sessions = static_cast<uint32_t>(v.num), true; }, nullptr},
    {"mtu", kv_type::number, false, PEER_MTU_MIN, PEER_MTU_MAX,
     [](void *d, const kv_val_t &v) { return pc(d)->mtu = static_cast<uint16_t>(v.num), true; }, nullptr},
    {"encrypt", kv_type::flag, false, 0, 1,
     [](void *d, const kv_val_t &v) { return pc(d)->encrypt = static_cast<uint8_t>(v.num), true; }, nullptr},
    {"offload", kv_type::flag, false, 0, 1,
     [](void *d, const kv_val_t &v) { return pc(d)->offload = static_cast<uint8_t>(v.num), true; }, nullptr},
    {"logsize", kv_type::number, false, 0, static_cast<uint32_t>(LOG_MIB_MAX),
     [](void *d, const kv_val_t &v) { return pc(d)->logsize = static_cast<uint32_t>(v.num), true; }, nullptr},
    {"pool", kv_type::custom, false, 0, 0, [](void *d, const kv_val_t &v) { return cfg_pool(v.text, pc(d)) == 0; },
     "a network of /16 to /24 such as 10.8.0.0/24 or 10.8.0.0/20"},
    // Clients filter answers by the address they sent to: on a host with several addresses the
    // server must answer from the one the clients use, so it binds to it.
    {"listen", kv_type::custom, false, 0, 0,
     [](void *d, const kv_val_t &v) { return peer_parse_addr(v.text, &pc(d)->listen) == 0; }, "an address a.b.c.d"},
    {"dns", kv_type::custom, false, 0, 0, [](void *d, const kv_val_t &v) { return cfg_dns(v.text, pc(d)) == 0; },
     "one or two addresses a.b.c.d[,e.f.g.h]"},
    {"log", kv_type::custom, false, 0, 0,
     [](void *d, const kv_val_t &v) { return cfg_path(v.text, pc(d)->log, sizeof pc(d)->log) == 0; },
     "a path of 1 to 255 characters"},
    {"legacy", kv_type::flag, false, 0, 1,
     [](void *d, const kv_val_t &v) { return pc(d)->legacy = static_cast<uint8_t>(v.num), true; }, nullptr},
    {"privatekey", kv_type::custom, false, 0, 0,
     [](void *d, const kv_val_t &v) { return cfg_path(v.text, pc(d)->keypath, sizeof pc(d)->keypath) == 0; },
     "a path of 1 to 255 characters"},
    // Room for the ".tmp" of the file written first.
    {"metrics", kv_type::custom, false, 0, 0,
     [](void *d, const kv_val_t &v) { return cfg_path(v.text, pc(d)->metrics, sizeof pc(d)->metrics - 4) == 0; },
     "a path of 1 to 251 characters"},
    // Room for the ".tmpXXXXXX" of the file written first.
    {"status", kv_type::custom, false, 0, 0,
     [](void *d, const kv_val_t &v) { return cfg_path(v.text, pc(d)->status, sizeof pc(d)->status - 10) == 0; },
     "a path of 1 to 245 characters"},
};
static_assert(PEER_LOGPATH == 256, "the path lengths in PEER_KEYS");

bool cfg_section(void *dst, const kv_val_t &v)
{
    const size_t n = strlen(v.text);
    if (!cfg_ifname_ok(v.text, n))
        return false;
    memset(pc(dst)->tun_name, 0, sizeof pc(dst)->tun_name);
    memcpy(pc(dst)->tun_name, v.text, n);
    return true;
}

constexpr kv_rules_t PEER_RULES = {
    kv_mode::strict, PEER_KEYS, cfg_section, "interface name must be [name] with 1 to 15 characters", "[interface]",
};

// Checks that need the whole file: required settings, and fixed addresses against the pool
// (which may be given after the users).
int cfg_check(const peer_cfg_t *cfg, char *err, size_t errlen)
{
    char a[16];
    if (cfg->tun_name[0] == '\0')
        return cfg_err(err, errlen, "no [interface] line");
    if (cfg->port == 0)
        return cfg_err(err, errlen, "no port= line");
    if (cfg->pool == 0)
        return cfg_err(err, errlen, "no pool= line");
    if (cfg->nusers == 0)
        return cfg_err(err, errlen, "no user= line");
    // Who holds each fixed address, to find a second claim in one pass.
    const uint32_t naddr = cfg->npools * 256;
    auto *owner = static_cast<uint32_t *>(malloc(sizeof(uint32_t) * naddr));
    if (owner == nullptr)
        return cfg_err(err, errlen, "out of memory");
    memset(owner, 0xFF, sizeof(uint32_t) * naddr);
    int rc = 0;
    for (int i = 0; i < cfg->nusers && rc == 0; i++) {
        const peer_user_t &u = cfg->users[i];
        if (u.fixed_ip == 0)
            continue;
        uint8_t host = peer_hostpart(u.fixed_ip);
        uint32_t off = peer_pool_off(cfg, u.fixed_ip);
        // .0 is the network, .1 the server's own interface, .255 the broadcast.
        if (off == UINT32_MAX || host < 2 || host == 255) {
            rc = cfg_err(err, errlen, "user %s: address %s is not a client address of the pool", u.name,
                         ip2strv4(u.fixed_ip, a, sizeof a));
        } else if (owner[off] != PEER_NONE) {
            rc = cfg_err(err, errlen, "user %s: address %s is already given to user %s", u.name,
                         ip2strv4(u.fixed_ip, a, sizeof a), cfg->users[owner[off]].name);
        } else {
            owner[off] = static_cast<uint32_t>(i);
        }
    }
    free(owner);
    return rc;
}

// Every line, then the checks of the whole file; -1 with the fault in err.
int cfg_parse(FILE *fp, peer_cfg_t *cfg, char *err, size_t errlen)
{
    kv_diags_t diags{};
    const kv_result_t r = kv_read(fp, PEER_RULES, cfg, &diags);
    if (diags.n > 0)
        return cfg_err(err, errlen, "line %d: %s", diags.d[0].line, diags.d[0].text);
    if (r.read_error)
        return cfg_err(err, errlen, "read error after line %d", r.lines);
    if (cfg->sessions == 0)
        cfg->sessions = PEER_SESS_DEFAULT;
    if (cfg_check(cfg, err, errlen) != 0)
        return -1;
    if (cfg->keypath[0] == '\0')
        return cfg->legacy != 0 ? 0 : cfg_err(err, errlen, "legacy=0 needs privatekey=");
    // The key is read with the file, so that a start-up and a reload refuse it alike.
    char why[128];
    const int krc = keyfile_load(cfg->keypath, cfg->privkey, why, sizeof why);
    if (krc != 0)
        return cfg_err(err, errlen, "privatekey %s: %s", cfg->keypath, why);
    cfg->sealed = 1;
    return 0;
}

}  // namespace

int peer_parse_addr(const char *text, uint32_t *ipbe)
{
    // str2ip also takes the short forms (10.1 is 10.0.0.1); a server's configuration wants all
    // four numbers written out, each of one to three digits and without leading zeros (which
    // other tools read as octal).
    int dots = 0, digits = 0;
    char first = 0;
    for (const char *c = text; *c != '\0'; c++) {
        if (*c == '.') {
            if (digits == 0)
                return -1;
            dots++;
            digits = 0;
        } else if (*c >= '0' && *c <= '9') {
            if (digits == 0)
                first = *c;
            else if (first == '0')
                return -1;
            if (++digits > 3)
                return -1;
        } else {
            return -1;
        }
    }
    if (dots != 3 || digits == 0)
        return -1;
    uint32_t ip = str2ip(text);
    if (ip == 0)
        return -1;
    *ipbe = ip;
    return 0;
}

uint32_t peer_pool_off(const peer_cfg_t *cfg, uint32_t ipbe)
{
    uint32_t off = ld_be32(reinterpret_cast<const uint8_t *>(&ipbe)) - ld_be32(reinterpret_cast<const uint8_t *>(&cfg->pool));
    return off < cfg->npools * 256 ? off : UINT32_MAX;
}

int peer_user_find(const peer_cfg_t *cfg, const uint8_t *name, uint32_t len)
{
    if (cfg->uhash == nullptr)
        return -1;
    for (uint32_t i = cfg->uhash[name_hash(name, len) & cfg->umask]; i != PEER_NONE; i = cfg->users[i].unext) {
        const peer_user_t &u = cfg->users[i];
        if (u.namelen == len && memcmp(u.name, name, len) == 0)
            return static_cast<int>(i);
    }
    return -1;
}

void peer_cfg_free(peer_cfg_t *cfg)
{
    if (cfg->users != nullptr)
        OPENSSL_cleanse(cfg->users, sizeof(peer_user_t) * static_cast<size_t>(cfg->capusers));
    free(cfg->users);
    free(cfg->uhash);
    seal_wipe(cfg->privkey, sizeof cfg->privkey);
    cfg->sealed = 0;
    cfg->users = nullptr;
    cfg->uhash = nullptr;
    cfg->nusers = cfg->capusers = 0;
}

int peer_cfg_read(FILE *fp, peer_cfg_t *cfg, char *err, size_t errlen)
{
    peer_cfg_free(cfg);
    memset(cfg, 0, sizeof *cfg);
    cfg->mtu = PEER_MTU_DEFAULT;
    cfg->offload = 1;
    cfg->legacy = 1;
    cfg->logsize = LOG_MIB_DEFAULT;
    if (err != nullptr && errlen > 0)
        err[0] = '\0';
    if (cfg_parse(fp, cfg, err, errlen) != 0) {
        peer_cfg_free(cfg);
        return -1;
    }
    return 0;
}

int peer_cfg_load(const char *path, peer_cfg_t *cfg, char *err, size_t errlen)
{
    // O_NONBLOCK: a FIFO at the path must not hold the start-up in open().
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return cfg_err(err, errlen, "cannot open: %s", strerror(errno));
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return cfg_err(err, errlen, "not a regular file");
    }
    if (st.st_size > CFG_FILE_MAX) {
        close(fd);
        return cfg_err(err, errlen, "larger than %lld bytes", static_cast<long long>(CFG_FILE_MAX));
    }
    FILE *fp = fdopen(fd, "r");
    if (fp == nullptr) {
        const int e = errno;
        close(fd);
        return cfg_err(err, errlen, "cannot open: %s", strerror(e));
    }
    int r = peer_cfg_read(fp, cfg, err, errlen);
    fclose(fp);
    return r;
}
