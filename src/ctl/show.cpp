// tolvactl show: the status file of a running client (the text exposition format the daemon
// writes once a second) turned into a few lines for a person, or one JSON object; or that of a
// running server, a header line and one line per session, turned into a table.
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "ctl/ctl.h"

namespace {

// The daemon's 56 series at most, a prefix of "routes" each (at most 120) and 18 a path (at most
// 4) with the paths' move count.
constexpr int MAX_SAMPLES = 320;
constexpr int NAME_LEN = 96;
constexpr int LABELS_LEN = 320;
constexpr int FILE_MAX = 32768;
// Both daemons rewrite their status file every second; three writes missed and the file no
// longer tells a running daemon's state.
constexpr double WRITE_SEC = 1;
constexpr double STALE_SEC = 3 * WRITE_SEC;
// The exit status of a file read whole but stale.
constexpr int STALE_RC = 3;
// The first line of the server's status file; the client's has none such.
constexpr char PEER_MAGIC[] = "# sdwan-peerd status";
constexpr int PEER_LINE = 512;

struct sample_t {
    char name[NAME_LEN];
    char labels[LABELS_LEN];  // between the braces, escapes kept
    double value;
};

struct status_t {
    sample_t s[MAX_SAMPLES];
    int n;
};

// One sample line: name, optional {labels}, blank, value. Anything else is skipped.
void parse_line(char *line, status_t *st)
{
    if (line[0] == '#' || line[0] == '\0' || st->n >= MAX_SAMPLES)
        return;
    sample_t *s = &st->s[st->n];
    size_t i = strcspn(line, "{ ");
    if (i == 0 || i >= NAME_LEN)
        return;
    memcpy(s->name, line, i);
    s->name[i] = '\0';
    s->labels[0] = '\0';
    char *p = line + i;
    if (*p == '{') {
        char *q = p + 1;
        // The closing brace is the first one outside a quoted value.
        bool quoted = false;
        for (; *q != '\0' && (quoted || *q != '}'); q++) {
            if (*q == '\\' && q[1] != '\0')
                q++;
            else if (*q == '"')
                quoted = !quoted;
        }
        if (*q != '}' || q - p - 1 >= LABELS_LEN)
            return;
        memcpy(s->labels, p + 1, static_cast<size_t>(q - p - 1));
        s->labels[q - p - 1] = '\0';
        p = q + 1;
    }
    char *end;
    s->value = strtod(p, &end);
    if (end == p)
        return;
    st->n++;
}

// The value of label key in a sample's label text, unescaped; false when absent.
bool label(const sample_t &s, const char *key, char *out, size_t len)
{
    const size_t klen = strlen(key);
    for (const char *p = s.labels; *p != '\0';) {
        const char *eq = strchr(p, '=');
        if (eq == nullptr || eq[1] != '"')
            return false;
        const bool match = static_cast<size_t>(eq - p) == klen && memcmp(p, key, klen) == 0;
        size_t o = 0;
        const char *q = eq + 2;
        for (; *q != '\0' && *q != '"'; q++) {
            char c = *q;
            if (c == '\\' && q[1] != '\0') {
                c = *++q == 'n' ? '\n' : *q;
            }
            if (match && o + 1 < len)
                out[o++] = c;
        }
        if (match) {
            out[o] = '\0';
            return true;
        }
        if (*q != '"')
            return false;
        p = q + 1;
        if (*p == ',')
            p++;
    }
    return false;
}

const sample_t *find(const status_t &st, const char *name, const char *key = nullptr, const char *want = nullptr)
{
    char v[LABELS_LEN];
    for (int i = 0; i < st.n; i++) {
        if (strcmp(st.s[i].name, name) != 0)
            continue;
        if (key == nullptr || (label(st.s[i], key, v, sizeof v) && strcmp(v, want) == 0))
            return &st.s[i];
    }
    return nullptr;
}

double value(const status_t &st, const char *name, double dflt = 0)
{
    const sample_t *s = find(st, name);
    return s != nullptr ? s->value : dflt;
}

// The reasons a session ends, as the daemon labels them, and how a person reads them.
struct reason_t {
    const char *label;
    const char *text;
};
constexpr reason_t REASONS[] = {
    {"auth_timeout", "authentication unanswered"},
    {"rejected", "rejected by the peer"},
    {"peer_silent", "peer silent"},
    {"closed", "closed by the peer"},
};

void utc(double t, char *buf, size_t len)
{
    const time_t tt = static_cast<time_t>(t);
    struct tm tmv;
    if (gmtime_r(&tt, &tmv) == nullptr || strftime(buf, len, "%Y-%m-%d %H:%M:%S UTC", &tmv) == 0)
        snprintf(buf, len, "?");
}

void span(double sec, char *buf, size_t len)
{
    const long s = sec < 0 ? 0 : static_cast<long>(sec);
    if (s < 60)
        snprintf(buf, len, "%lds", s);
    else if (s < 3600)
        snprintf(buf, len, "%ldm %lds", s / 60, s % 60);
    else if (s < 86400)
        snprintf(buf, len, "%ldh %ldm", s / 3600, s % 3600 / 60);
    else
        snprintf(buf, len, "%ldd %ldh", s / 86400, s % 86400 / 3600);
}

void bytes_text(double b, char *buf, size_t len)
{
    const char *units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int u = 0;
    while (b >= 1024 && u < 4) {
        b /= 1024;
        u++;
    }
    if (u == 0)
        snprintf(buf, len, "%.0f B", b);
    else
        snprintf(buf, len, "%.2f %s", b, units[u]);
}

int read_status(const char *path, status_t *st, FILE *err)
{
    FILE *fp = fopen(path, "re");
    if (fp == nullptr) {
        fprintf(err, "tolvactl: cannot read status file %s: %s\n", path, strerror(errno));
        return -1;
    }
    static char text[FILE_MAX];
    const size_t n = fread(text, 1, sizeof text - 1, fp);
    fclose(fp);
    text[n] = '\0';
    st->n = 0;
    for (char *line = text, *end; *line != '\0'; line = end + 1) {
        end = strchr(line, '\n');
        if (end == nullptr)
            break;  // a last line without its end is not whole
        *end = '\0';
        parse_line(line, st);
    }
    if (find(*st, "tolvad_status_time_seconds") == nullptr) {
        fprintf(err, "tolvactl: %s is not a tolvad status file\n", path);
        return -1;
    }
    return 0;
}

// The value of " key=" in a line of the server's file: a word, or with rest the remainder of
// the line (the user name, which may hold blanks). False when absent.
bool word(const char *line, const char *key, char *out, size_t len, bool rest = false)
{
    const size_t klen = strlen(key);
    for (const char *p = strchr(line, ' '); p != nullptr; p = strchr(p + 1, ' ')) {
        if (strncmp(p + 1, key, klen) != 0 || p[1 + klen] != '=')
            continue;
        const char *v = p + 2 + klen;
        size_t n = rest ? strcspn(v, "\n") : strcspn(v, " \n");
        if (n >= len)
            n = len - 1;
        memcpy(out, v, n);
        out[n] = '\0';
        return true;
    }
    return false;
}

double num(const char *line, const char *key)
{
    char v[32];
    return word(line, key, v, sizeof v) ? strtod(v, nullptr) : 0;
}

// The packets and bytes each way of a session's or a source's line of the server's file.
struct traffic_t {
    double rxp, rxb, txp, txb;
};
traffic_t traffic_of(const char *line)
{
    return {num(line, "rx_packets"), num(line, "rx_bytes"), num(line, "tx_packets"), num(line, "tx_bytes")};
}
void traffic_json(FILE *out, const traffic_t &t)
{
    fprintf(out, "\"received\":{\"packets\":%.0f,\"bytes\":%.0f},\"sent\":{\"packets\":%.0f,\"bytes\":%.0f}", t.rxp,
            t.rxb, t.txp, t.txb);
}
// "999 B (1234)" each way.
void traffic_text(const traffic_t &t, char (&rx)[48], char (&tx)[48])
{
    char b[32];
    bytes_text(t.rxb, b, sizeof b);
    snprintf(rx, sizeof rx, "%s (%.0f)", b, t.rxp);
    bytes_text(t.txb, b, sizeof b);
    snprintf(tx, sizeof tx, "%s (%.0f)", b, t.txp);
}

// The endpoint "a.b.c.d:port" cut in two.
void endpoint(const char *ep, char *addr, size_t alen, long *port)
{
    const char *colon = strrchr(ep, ':');
    const size_t n = colon != nullptr ? static_cast<size_t>(colon - ep) : strlen(ep);
    snprintf(addr, alen, "%.*s", static_cast<int>(n), ep);
    *port = colon != nullptr ? strtol(colon + 1, nullptr, 10) : 0;
}

// The paths of the uplinks key, in the file's order: the one path_active sample of each names it.
constexpr int PATHS_MAX = 4;
constexpr int PATH_NAME = 32;

struct path_row_t {
    char name[PATH_NAME];
    char state[16];
    bool active;
    double rtt[5];  // current, smoothed, min, max, jitter; seconds
    double loss;
    double heard;  // seconds since; -1 never
    double probes_sent, probes_lost, rxp, rxb, txp, txb;
};

constexpr const char *PATH_RTTS[] = {"tolvad_path_rtt_seconds", "tolvad_path_rtt_smoothed_seconds",
                                     "tolvad_path_rtt_min_seconds", "tolvad_path_rtt_max_seconds",
                                     "tolvad_path_jitter_seconds"};

int read_paths(const status_t &st, path_row_t *rows)
{
    int n = 0;
    for (int i = 0; i < st.n && n < PATHS_MAX; i++) {
        path_row_t &r = rows[n];
        if (strcmp(st.s[i].name, "tolvad_path_active") != 0 || !label(st.s[i], "path", r.name, sizeof r.name))
            continue;
        r.active = st.s[i].value == 1;
        snprintf(r.state, sizeof r.state, "unknown");
        char v[PATH_NAME];
        for (int j = 0; j < st.n; j++)
            if (strcmp(st.s[j].name, "tolvad_path_state") == 0 && st.s[j].value == 1 &&
                label(st.s[j], "path", v, sizeof v) && strcmp(v, r.name) == 0)
                label(st.s[j], "state", r.state, sizeof r.state);
        const auto get = [&](const char *name, double dflt) {
            const sample_t *s = find(st, name, "path", r.name);
            return s != nullptr ? s->value : dflt;
        };
        for (int k = 0; k < 5; k++)
            r.rtt[k] = get(PATH_RTTS[k], 0);
        r.loss = get("tolvad_path_loss_ratio", 0);
        r.heard = get("tolvad_path_last_heard_seconds", -1);
        r.probes_sent = get("tolvad_path_probes_sent_total", 0);
        r.probes_lost = get("tolvad_path_probes_lost_total", 0);
        r.rxp = get("tolvad_path_received_packets_total", 0);
        r.rxb = get("tolvad_path_received_bytes_total", 0);
        r.txp = get("tolvad_path_sent_packets_total", 0);
        r.txb = get("tolvad_path_sent_bytes_total", 0);
        n++;
    }
    return n;
}

// The table after the client's lines, only where the file has paths: a file without stays shown as it was.
void paths_text(const status_t &st, FILE *out)
{
    path_row_t rows[PATHS_MAX];
    const int n = read_paths(st, rows);
    if (n == 0)
        return;
    fprintf(out, "\n%-17s %-9s %-9s %-9s %-9s %-9s %-9s %-5s %s\n", "path", "state", "rtt ms", "srtt ms", "min ms",
            "max ms", "jitter ms", "loss", "heard");
    for (int i = 0; i < n; i++) {
        const path_row_t &r = rows[i];
        char ms[5][16], loss[8], heard[48];
        for (int k = 0; k < 5; k++) {
            // Nothing measured before the first answer: a dash, not a round trip of 0.
            if (r.rtt[3] > 0)
                snprintf(ms[k], sizeof ms[k], "%.3f", r.rtt[k] * 1e3);
            else
                snprintf(ms[k], sizeof ms[k], "-");
        }
        snprintf(loss, sizeof loss, "%.0f%%", r.loss * 100);
        if (r.heard < 0) {
            snprintf(heard, sizeof heard, "never");
        } else {
            char t[40];
            span(r.heard, t, sizeof t);
            snprintf(heard, sizeof heard, "%s ago", t);
        }
        fprintf(out, "%c %-15s %-9s %-9s %-9s %-9s %-9s %-9s %-5s %s\n", r.active ? '*' : ' ', r.name, r.state, ms[0],
                ms[1], ms[2], ms[3], ms[4], loss, heard);
    }
    fprintf(out, "(* carries the session; path moves since start-up: %.0f)\n", value(st, "tolvad_path_moves_total"));
}

void paths_json(const status_t &st, FILE *out)
{
    path_row_t rows[PATHS_MAX];
    const int n = read_paths(st, rows);
    fputs(",\"paths\":[", out);
    for (int i = 0; i < n; i++) {
        const path_row_t &r = rows[i];
        ctl_json_str(out, i > 0 ? ",{\"name\":" : "{\"name\":", r.name);
        ctl_json_str(out, ",\"state\":", r.state);
        fprintf(out,
                ",\"active\":%s,\"rtt_seconds\":{\"current\":%.6f,\"smoothed\":%.6f,\"min\":%.6f,\"max\":%.6f,"
                "\"jitter\":%.6f},\"loss_ratio\":%.2f,\"last_heard_seconds\":",
                r.active ? "true" : "false", r.rtt[0], r.rtt[1], r.rtt[2], r.rtt[3], r.rtt[4], r.loss);
        if (r.heard < 0)
            fputs("null", out);
        else
            fprintf(out, "%.6f", r.heard);
        fprintf(out,
                ",\"probes\":{\"sent\":%.0f,\"lost\":%.0f},\"received\":{\"packets\":%.0f,\"bytes\":%.0f},"
                "\"sent\":{\"packets\":%.0f,\"bytes\":%.0f}}",
                r.probes_sent, r.probes_lost, r.rxp, r.rxb, r.txp, r.txb);
    }
    fprintf(out, "],\"path_moves\":%.0f", value(st, "tolvad_path_moves_total"));
}

// The server's file: its header, then the sessions as they are read, so that 10 000 of them need
// no more room than one line.
int show_peer(FILE *fp, const char *path, bool json, double now, FILE *out, FILE *err)
{
    static char line[PEER_LINE];
    if (fgets(line, sizeof line, fp) == nullptr || strncmp(line, "server ", 7) != 0 || strchr(line, '\n') == nullptr) {
        fprintf(err, "tolvactl: %s is not a whole sdwan-peerd status file\n", path);
        return 1;
    }
    char version[64] = "", ifname[32] = "", listen[32] = "";
    word(line, "version", version, sizeof version);
    word(line, "interface", ifname, sizeof ifname);
    word(line, "listen", listen, sizeof listen);
    const double start = num(line, "start"), written = num(line, "time");
    const double live = num(line, "sessions"), max = num(line, "max");
    const bool stale = now - written > STALE_SEC;
    char la[16];
    long lport;
    endpoint(listen, la, sizeof la, &lport);
    char t1[40], t2[40];
    if (json) {
        ctl_json_str(out, "{\"daemon\":\"sdwan-peerd\",\"version\":", version);
        ctl_json_str(out, ",\"interface\":", ifname);
        ctl_json_str(out, ",\"listen\":{\"address\":", la);
        fprintf(out, ",\"port\":%ld},\"start_time\":%.0f,\"sessions_max\":%.0f,\"sessions\":[", lport, start, max);
    } else {
        utc(start, t1, sizeof t1);
        span(now - start, t2, sizeof t2);
        fprintf(out, "server: sdwan-peerd %s, interface %s, UDP %s\n", version, ifname, listen);
        fprintf(out, "  started: %s (%s)\n", t1, t2);
        fprintf(out, "  sessions: %.0f of %.0f\n", live, max);
        utc(written, t1, sizeof t1);
        span(now - written, t2, sizeof t2);
        fprintf(out, "  status file: %s, written %s (%s ago)%s\n", path, t1, t2,
                stale ? ": stale, the daemon is not running or not writing" : "");
        // Under each session, the sources it was heard from, with the probes answered there in
        // the address column.
        fprintf(out, "\n%-16s %-21s %-15s %-6s %-8s %-6s %-24s %s\n", "user", "endpoint", "address", "kind", "up",
                "heard", "received (packets)", "sent (packets)");
    }
    const char *sep = "";
    // A session's sources follow its line; in JSON its object stays open for them.
    bool in_sess = false;
    const char *srcsep = "";
    char cur[32] = "";
    // A last line without its end is not whole: left out.
    while (fgets(line, sizeof line, fp) != nullptr) {
        if (strchr(line, '\n') == nullptr)
            continue;
        if (strncmp(line, "source ", 7) == 0) {
            if (!in_sess)
                continue;
            char ep[32] = "";
            word(line, "endpoint", ep, sizeof ep);
            const double heard = num(line, "heard"), probes = num(line, "probes");
            const traffic_t t = traffic_of(line);
            if (json) {
                char ea[16];
                long eport;
                endpoint(ep, ea, sizeof ea, &eport);
                fputs(srcsep, out);
                ctl_json_str(out, "{\"address\":", ea);
                fprintf(out, ",\"port\":%ld,\"current\":%s,\"last_heard\":%.0f,", eport,
                        strcmp(ep, cur) == 0 ? "true" : "false", heard);
                traffic_json(out, t);
                fprintf(out, ",\"probes\":%.0f}", probes);
                srcsep = ",";
                continue;
            }
            char rx[48], tx[48], pr[32];
            snprintf(pr, sizeof pr, "%.0f probes", probes);
            span(now - heard, t2, sizeof t2);
            traffic_text(t, rx, tx);
            fprintf(out, "  %-14s %-21s %-15s %-6s %-8s %-6s %-24s %s\n", strcmp(ep, cur) == 0 ? "via (current)" : "via",
                    ep, pr, "", "", t2, rx, tx);
            continue;
        }
        if (strncmp(line, "session ", 8) != 0)
            continue;
        if (json && in_sess)
            fputs("]}", out);
        in_sess = false;
        char user[64] = "", ep[32] = "", addr[16] = "", kind[16] = "";
        word(line, "user", user, sizeof user, true);
        word(line, "endpoint", ep, sizeof ep);
        snprintf(cur, sizeof cur, "%s", ep);
        in_sess = true;
        srcsep = "";
        word(line, "address", addr, sizeof addr);
        word(line, "kind", kind, sizeof kind);
        const double since = num(line, "since"), heard = num(line, "heard");
        const traffic_t t = traffic_of(line);
        if (json) {
            char ea[16];
            long eport;
            endpoint(ep, ea, sizeof ea, &eport);
            fputs(sep, out);
            ctl_json_str(out, "{\"user\":", user);
            ctl_json_str(out, ",\"endpoint\":{\"address\":", ea);
            fprintf(out, ",\"port\":%ld},\"address\":", eport);
            ctl_json_str(out, "", addr);
            ctl_json_str(out, ",\"kind\":", kind);
            fprintf(out, ",\"since\":%.0f,\"last_heard\":%.0f,", since, heard);
            traffic_json(out, t);
            fputs(",\"sources\":[", out);
            sep = ",";
            continue;
        }
        span(now - since, t1, sizeof t1);
        span(now - heard, t2, sizeof t2);
        char rx[48], tx[48];
        traffic_text(t, rx, tx);
        fprintf(out, "%-16s %-21s %-15s %-6s %-8s %-6s %-24s %s\n", user, ep, addr, kind, t1, t2, rx, tx);
    }
    if (json && in_sess)
        fputs("]}", out);
    if (json)
        fprintf(out, "],\"status_time\":%.0f,\"stale\":%s}\n", written, stale ? "true" : "false");
    return stale ? STALE_RC : 0;
}

// Which daemon wrote the file: the server's begins with its own line.
int peer_file(const char *path, FILE **fp)
{
    *fp = fopen(path, "re");
    if (*fp == nullptr)
        return -1;
    char head[sizeof PEER_MAGIC];
    if (fgets(head, sizeof head, *fp) != nullptr && strcmp(head, PEER_MAGIC) == 0) {
        // The rest of the first line.
        int c;
        while ((c = fgetc(*fp)) != EOF && c != '\n') {
        }
        return 1;
    }
    fclose(*fp);
    *fp = nullptr;
    return 0;
}

}  // namespace

int ctl_show_at(const char *path, bool json, double now, FILE *out, FILE *err)
{
    FILE *fp;
    if (peer_file(path, &fp) == 1) {
        const int rc = show_peer(fp, path, json, now, out, err);
        fclose(fp);
        return rc;
    }
    static status_t st;
    if (read_status(path, &st, err) != 0)
        return 1;

    char state[32] = "unknown";
    char ifname[32] = "";
    for (int i = 0; i < st.n; i++)
        if (strcmp(st.s[i].name, "tolvad_session_state") == 0 && st.s[i].value == 1)
            label(st.s[i], "state", state, sizeof state);
    char peer[80] = "", paddr[16] = "", pport[8] = "", addr[16] = "", gw[16] = "", cipher[16] = "";
    if (const sample_t *s = find(st, "tolvad_peer_info")) {
        label(*s, "peer", peer, sizeof peer);
        label(*s, "address", paddr, sizeof paddr);
        label(*s, "port", pport, sizeof pport);
    }
    if (const sample_t *s = find(st, "tolvad_tunnel_info")) {
        label(*s, "interface", ifname, sizeof ifname);
        label(*s, "address", addr, sizeof addr);
        label(*s, "gateway", gw, sizeof gw);
        label(*s, "cipher", cipher, sizeof cipher);
    }
    const double since = value(st, "tolvad_session_established_timestamp_seconds");
    const double written = value(st, "tolvad_status_time_seconds");
    const double mtu = value(st, "tolvad_tunnel_mtu_bytes");
    const double rtt[4] = {value(st, "tolvad_rtt_current_seconds"), value(st, "tolvad_rtt_min_seconds"),
                           value(st, "tolvad_rtt_max_seconds"), value(st, "tolvad_rtt_smoothed_seconds")};
    const double samples = value(st, "tolvad_rtt_samples_total");
    const double rxp = value(st, "tolvad_tunnel_receive_packets_total");
    const double rxb = value(st, "tolvad_tunnel_receive_bytes_total");
    const double txp = value(st, "tolvad_tunnel_transmit_packets_total");
    const double txb = value(st, "tolvad_tunnel_transmit_bytes_total");
    const bool stale = now - written > STALE_SEC;

    if (json) {
        ctl_json_str(out, "{\"interface\":", ifname);
        ctl_json_str(out, ",\"state\":", state);
        if (since > 0)
            fprintf(out, ",\"since\":%.0f", since);
        else
            fputs(",\"since\":null", out);
        ctl_json_str(out, ",\"peer\":{\"name\":", peer);
        ctl_json_str(out, ",\"address\":", paddr);
        fprintf(out, ",\"port\":%ld},\"address\":", strtol(pport, nullptr, 10));
        ctl_json_str(out, "", addr);
        ctl_json_str(out, ",\"gateway\":", gw);
        fprintf(out, ",\"mtu\":%.0f,\"cipher\":", mtu);
        ctl_json_str(out, "", cipher);
        fprintf(out, ",\"rtt_seconds\":{\"current\":%.6f,\"min\":%.6f,\"max\":%.6f,\"smoothed\":%.6f,\"samples\":%.0f}",
                rtt[0], rtt[1], rtt[2], rtt[3], samples);
        fprintf(out, ",\"received\":{\"packets\":%.0f,\"bytes\":%.0f},\"sent\":{\"packets\":%.0f,\"bytes\":%.0f}", rxp,
                rxb, txp, txb);
        fputs(",\"resets\":{", out);
        for (size_t i = 0; i < sizeof REASONS / sizeof REASONS[0]; i++) {
            const sample_t *s = find(st, "tolvad_session_resets_total", "reason", REASONS[i].label);
            fprintf(out, "%s\"%s\":%.0f", i > 0 ? "," : "", REASONS[i].label, s != nullptr ? s->value : 0);
        }
        fputs("},\"routes\":[", out);
        const char *sep = "";
        for (int i = 0; i < st.n; i++) {
            char prefix[LABELS_LEN];
            if (strcmp(st.s[i].name, "tolvad_route_installed") != 0 || !label(st.s[i], "prefix", prefix, sizeof prefix))
                continue;
            fprintf(out, "%s{\"prefix\":", sep);
            ctl_json_str(out, "", prefix);
            fprintf(out, ",\"installed\":%s}", st.s[i].value == 1 ? "true" : "false");
            sep = ",";
        }
        fputc(']', out);
        paths_json(st, out);
        fprintf(out, ",\"status_time\":%.0f,\"stale\":%s}\n", written, stale ? "true" : "false");
        return stale ? STALE_RC : 0;
    }

    char t1[40], t2[40];
    fprintf(out, "interface: %s\n", ifname);
    if (since > 0) {
        utc(since, t1, sizeof t1);
        span(now - since, t2, sizeof t2);
        fprintf(out, "  state: %s since %s (%s)\n", state, t1, t2);
    } else {
        fprintf(out, "  state: %s\n", state);
    }
    fprintf(out, "  peer: %s", peer);
    if (paddr[0] != '\0' && strcmp(paddr, "0.0.0.0") != 0 && strcmp(paddr, peer) != 0)
        fprintf(out, " (%s)", paddr);
    fprintf(out, " port %s\n", pport);
    if (addr[0] != '\0' && strcmp(addr, "0.0.0.0") != 0)
        fprintf(out, "  address: %s/24, gateway %s, mtu %.0f\n", addr, gw, mtu);
    else
        fprintf(out, "  address: none yet\n");
    // Split routes: each prefix of the routes key, in place or not.
    const char *sep = "  routes: ";
    for (int i = 0; i < st.n; i++) {
        char prefix[LABELS_LEN];
        if (strcmp(st.s[i].name, "tolvad_route_installed") != 0 || !label(st.s[i], "prefix", prefix, sizeof prefix))
            continue;
        fprintf(out, "%s%s %s", sep, prefix, st.s[i].value == 1 ? "installed" : "not installed");
        sep = ", ";
    }
    if (sep[0] == ',')
        fputc('\n', out);
    fprintf(out, "  cipher: %s\n", strcmp(cipher, "xor") == 0      ? "payload enciphered (XOR, 8-byte key)"
                                    : strcmp(cipher, "sealed") == 0 ? "sealed, ChaCha20-Poly1305"
                                                                    : "none");
    if (samples > 0)
        fprintf(out, "  round trip: %.3f ms now, min %.3f ms, max %.3f ms, smoothed %.3f ms\n", rtt[0] * 1e3,
                rtt[1] * 1e3, rtt[2] * 1e3, rtt[3] * 1e3);
    else
        fprintf(out, "  round trip: not measured yet\n");
    bytes_text(rxb, t1, sizeof t1);
    bytes_text(txb, t2, sizeof t2);
    fprintf(out, "  transfer: %s received (%.0f packets), %s sent (%.0f packets)\n", t1, rxp, t2, txp);
    fprintf(out, "  resets:");
    bool any = false;
    for (const reason_t &r : REASONS) {
        const sample_t *s = find(st, "tolvad_session_resets_total", "reason", r.label);
        if (s != nullptr && s->value > 0) {
            fprintf(out, "%s %s %.0f", any ? "," : "", r.text, s->value);
            any = true;
        }
    }
    fprintf(out, "%s\n", any ? "" : " none");
    // Only once the daemon moved the peer off its preferred uplink: the usual output stays as it was.
    const double switches = value(st, "tolvad_uplink_switches_total");
    if (switches > 0)
        fprintf(out, "  uplink switches: %.0f (the peer was unreachable through a default route)\n", switches);
    utc(written, t1, sizeof t1);
    span(now - written, t2, sizeof t2);
    fprintf(out, "  status file: %s, written %s (%s ago)%s\n", path, t1, t2,
            stale ? ": stale, the daemon is not running or not writing" : "");
    paths_text(st, out);
    return stale ? STALE_RC : 0;
}

int ctl_show(const char *path, bool json, FILE *out, FILE *err)
{
    return ctl_show_at(path, json, static_cast<double>(time(nullptr)), out, err);
}
