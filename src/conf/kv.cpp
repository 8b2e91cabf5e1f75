#include "conf/kv.h"

#include <cstdarg>
#include <cstring>

namespace {

// fgets into 256 bytes, as the client's loader has always read: 255 characters a piece.
constexpr size_t KV_PIECE = 255;
// The strict reader's longest line, without its line feed.
constexpr size_t KV_LINE = 254;

constexpr const char *KIND_NAMES[KV_NKINDS] = {
    "piece",       "nul",      "too_long",  "indented",       "blank_key", "unknown_key",
    "not_kv",      "cr_value", "repeated",  "second_section", "bounds",    "not_number",
    "blank_value", "cut",      "bad_value", "bad_section",
};
static_assert(static_cast<int>(kv_kind::bad_section) + 1 == KV_NKINDS, "a name for every kind");

bool blank(char c) { return c == ' ' || c == '\t'; }

void vnote(kv_diags_t *d, int line, const char *key, kv_kind kind, kv_sev sev, const char *fmt, va_list ap)
{
    if (sev == kv_sev::error)
        d->errors++;
    if (d->n == KV_DIAG_MAX) {
        d->dropped++;
        return;
    }
    kv_diag_t &x = d->d[d->n++];
    x.line = line;
    x.kind = kind;
    x.sev = sev;
    snprintf(x.key, sizeof x.key, "%s", key);
    vsnprintf(x.text, sizeof x.text, fmt, ap);
}

__attribute__((format(printf, 6, 7))) void note(kv_diags_t *d, int line, const char *key, kv_kind kind, kv_sev sev,
                                                const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vnote(d, line, key, kind, sev, fmt, ap);
    va_end(ap);
}

// A number as atoi reads it: blanks, a sign, digits. wrapped is what the daemon computes (modulo
// 2^64); exact is the written value when it fits in 32 bits and is not negative.
struct number_t {
    uint64_t wrapped;
    bool digits;
    bool exact;
    uint32_t value;
    const char *end;  // first character after the digits
};

number_t read_atoi(const char *s)
{
    number_t r{};
    while (*s == ' ' || (*s >= '\t' && *s <= '\r'))
        s++;
    bool neg = false;
    if (*s == '+' || *s == '-')
        neg = *s++ == '-';
    uint64_t big = 0;
    r.exact = true;
    while (*s >= '0' && *s <= '9') {
        const uint64_t d = static_cast<uint64_t>(*s++ - '0');
        r.wrapped = r.wrapped * 10 + d;
        big = big * 10 + d;
        r.digits = true;
        if (big > UINT32_MAX) {
            r.exact = false;
            big = UINT32_MAX + uint64_t{1};  // stays past every bound
        }
    }
    if (neg) {
        r.exact = r.exact && big == 0;
        r.wrapped = 0 - r.wrapped;
    }
    r.value = static_cast<uint32_t>(big);
    r.end = s;
    return r;
}

// Decimal digits only, no sign, no blanks, within [lo, hi].
bool strict_number(const char *v, uint32_t lo, uint32_t hi, uint64_t *out)
{
    if (*v == '\0')
        return false;
    uint64_t n = 0;
    for (const char *c = v; *c != '\0'; c++) {
        if (*c < '0' || *c > '9')
            return false;
        n = n * 10 + static_cast<uint64_t>(*c - '0');
        if (n > hi)
            return false;
    }
    if (n < lo)
        return false;
    *out = n;
    return true;
}

struct reader_t {
    const kv_rules_t &rules;
    void *dst;
    kv_diags_t *diags;
    int line;
    int section_line;
    int key_line[KV_KEYS_MAX];
};

const kv_key_t *find_key(const reader_t &r, const char *name, size_t *index)
{
    for (size_t i = 0; i < r.rules.keys.size(); i++) {
        if (strcmp(r.rules.keys[i].name, name) == 0) {
            *index = i;
            return &r.rules.keys[i];
        }
    }
    return nullptr;
}

// The generic checks of a literal value; the daemon's own reading is the setter's.
void literal_value(reader_t &r, const kv_key_t &k, kv_val_t *v)
{
    const char *val = v->text;
    const size_t n = strlen(val);
    if (k.type == kv_type::text) {
        if (n > 0 && val[n - 1] == '\r')
            note(r.diags, r.line, k.name, kv_kind::cr_value, kv_sev::error,
                 "ends in CR LF: the carriage return is part of the %s value", k.name);
        if (n > 0 && blank(val[0]))
            note(r.diags, r.line, k.name, kv_kind::blank_value, kv_sev::warning,
                 "blank after '=': the %s value begins with it", k.name);
        else if (n > 0 && blank(val[n - 1]))
            note(r.diags, r.line, k.name, kv_kind::blank_value, kv_sev::warning,
                 "blank at the end: the %s value ends with it", k.name);
        if (!v->cut && n > k.hi)
            note(r.diags, r.line, k.name, kv_kind::cut, kv_sev::warning,
                 "the %s value has %zu characters: tolvad keeps the first %u", k.name, n, k.hi);
        return;
    }
    if (k.type == kv_type::custom)
        return;
    const number_t num = read_atoi(val);
    v->num = num.wrapped;
    const char *rest = num.end;
    while (blank(*rest) || *rest == '\r')
        rest++;
    if (!num.digits) {
        note(r.diags, r.line, k.name, kv_kind::not_number, kv_sev::warning, "%s=%.24s is no number: tolvad reads 0",
             k.name, val);
        return;
    }
    if (*rest != '\0')
        note(r.diags, r.line, k.name, kv_kind::not_number, kv_sev::warning,
             "%s=%.24s: the number ends at '%c', tolvad ignores the rest", k.name, val, *num.end);
    const bool inside = num.exact && num.value >= k.lo && num.value <= k.hi;
    if (inside || k.type == kv_type::flag)
        return;
    const int written = static_cast<int>(num.end - val);
    if (k.type == kv_type::u16)
        note(r.diags, r.line, k.name, kv_kind::bounds, kv_sev::error, "%s=%.*s is not %u to %u: tolvad reads it as %u",
             k.name, written, val, k.lo, k.hi, static_cast<unsigned>(num.wrapped & 0xffff));
    else
        note(r.diags, r.line, k.name, kv_kind::bounds, kv_sev::warning, "%s=%.*s is not %u to %u: tolvad uses %u",
             k.name, written, val, k.lo, k.hi, k.hi);
}

// One piece as the client's loader reads it (cut: the line goes on in the next piece).
void literal_piece(reader_t &r, char *p, bool cut)
{
    if (p[0] == '\0' || p[0] == '#' || p[0] == '\r')
        return;
    size_t n = strlen(p);
    if (p[n - 1] == '\r' || p[n - 1] == '\n')
        p[--n] = '\0';

    char *open = strchr(p, '[');
    char *close = open != nullptr ? strrchr(open + 1, ']') : nullptr;
    if (close != nullptr) {
        *close = '\0';
        if (r.section_line != 0)
            note(r.diags, r.line, "", kv_kind::second_section, kv_sev::warning,
                 "a second section: it replaces the interface named on line %d", r.section_line);
        r.section_line = r.line;
        if (r.rules.section != nullptr)
            (void)r.rules.section(r.dst, kv_val_t{open + 1, 0, cut, r.line, nullptr, r.diags});
        return;
    }

    char *eq = strchr(p, '=');
    if (eq == nullptr) {
        const char *c = p;
        while (blank(*c))
            c++;
        if (*c != '\0')
            note(r.diags, r.line, "", kv_kind::not_kv, kv_sev::warning, "neither a [section] nor key=value: ignored");
        return;
    }
    *eq = '\0';
    const size_t keylen = static_cast<size_t>(eq - p);
    if (keylen > 0 && blank(p[0])) {
        note(r.diags, r.line, p, kv_kind::indented, kv_sev::warning, "indented key \"%s\": tolvad ignores it", p);
        return;
    }
    if (keylen > 0 && blank(p[keylen - 1])) {
        note(r.diags, r.line, p, kv_kind::blank_key, kv_sev::warning,
             "blank before '=': the key is read as \"%s\" and ignored", p);
        return;
    }
    size_t i = 0;
    const kv_key_t *k = find_key(r, p, &i);
    if (k == nullptr) {
        note(r.diags, r.line, p, kv_kind::unknown_key, kv_sev::warning, "unknown key \"%s\": tolvad ignores it", p);
        return;
    }
    if (i < KV_KEYS_MAX) {
        if (!k->repeats && r.key_line[i] != 0)
            note(r.diags, r.line, k->name, kv_kind::repeated, kv_sev::warning,
                 "%s again: this value replaces the one of line %d", k->name, r.key_line[i]);
        r.key_line[i] = r.line;
    }
    kv_val_t v{eq + 1, 0, cut, r.line, k, r.diags};
    literal_value(r, *k, &v);
    (void)k->set(r.dst, v);
}

kv_result_t read_literal(FILE *fp, reader_t &r)
{
    kv_result_t res{};
    char piece[KV_PIECE + 1];
    bool more = false;  // this piece goes on with the line of the one before
    bool told = false;  // the line's pieces are reported
    r.line = 1;
    for (;;) {
        size_t n = 0;
        bool lf = false, eof = false, nul = false;
        while (n < KV_PIECE) {
            const int c = getc_unlocked(fp);
            if (c == EOF) {
                eof = true;
                break;
            }
            piece[n++] = static_cast<char>(c);
            nul = nul || c == '\0';
            if (c == '\n') {
                lf = true;
                break;
            }
        }
        if (n == 0)
            break;
        piece[n] = '\0';
        // The piece ends where its text ends: a NUL hides a line feed after it, and the loader
        // then takes the piece for a line cut short.
        const size_t len = strlen(piece);
        const bool cut = !eof && (len == 0 || piece[len - 1] != '\n');
        if (more && !told && !(n == 1 && lf)) {
            note(r.diags, r.line, "", kv_kind::piece, kv_sev::warning,
                 "longer than %zu characters: tolvad reads each %zu as a line of its own", KV_PIECE, KV_PIECE);
            told = true;
        }
        if (nul)
            note(r.diags, r.line, "", kv_kind::nul, kv_sev::warning,
                 "holds a NUL byte: tolvad reads the line only up to it");
        literal_piece(r, piece, cut);
        res.lines = r.line;
        more = !lf;
        if (lf) {
            r.line++;
            told = false;
        }
        if (eof)
            break;
    }
    res.read_error = ferror(fp) != 0;
    return res;
}

// One whole line by the strict rules; false on a fault.
bool strict_line(reader_t &r, char *s, size_t n)
{
    kv_diags_t *d = r.diags;
    while (n > 0 && s[n - 1] == '\r')
        s[--n] = '\0';
    if (n == 0 || s[0] == '#')
        return true;
    if (s[0] == '[') {
        bool ok = n >= 2 && s[n - 1] == ']';
        if (ok) {
            s[n - 1] = '\0';
            ok = r.rules.section != nullptr && r.rules.section(r.dst, kv_val_t{s + 1, 0, false, r.line, nullptr, d});
        }
        if (!ok) {
            note(d, r.line, "", kv_kind::bad_section, kv_sev::error, "%s", r.rules.section_what);
            return false;
        }
        if (r.section_line != 0) {
            note(d, r.line, "", kv_kind::second_section, kv_sev::error, "a second %s line (the first is on line %d)",
                 r.rules.section_name, r.section_line);
            return false;
        }
        r.section_line = r.line;
        return true;
    }
    char *eq = strchr(s, '=');
    if (eq == nullptr) {
        note(d, r.line, "", kv_kind::not_kv, kv_sev::error, "expected key=value");
        return false;
    }
    *eq = '\0';
    size_t i = 0;
    const kv_key_t *k = find_key(r, s, &i);
    if (k == nullptr) {
        note(d, r.line, s, kv_kind::unknown_key, kv_sev::error, "unknown key %s", s);
        return false;
    }
    // A value that is wrong is told first; a right one given twice after that.
    kv_val_t v{eq + 1, 0, false, r.line, k, d};
    if (k->type != kv_type::text && k->type != kv_type::custom) {
        if (!strict_number(v.text, k->lo, k->hi, &v.num)) {
            note(d, r.line, k->name, kv_kind::bounds, kv_sev::error,
                 k->hi == k->lo + 1 ? "%s must be %u or %u" : "%s must be %u to %u", k->name, k->lo, k->hi);
            return false;
        }
    }
    const int before = d->errors;
    if (!k->set(r.dst, v)) {
        if (d->errors == before)
            note(d, r.line, k->name, kv_kind::bad_value, kv_sev::error, "%s must be %s", k->name,
                 k->what != nullptr ? k->what : "something else");
        return false;
    }
    if (d->errors != before)
        return false;
    if (!k->repeats && i < KV_KEYS_MAX) {
        if (r.key_line[i] != 0) {
            note(d, r.line, k->name, kv_kind::repeated, kv_sev::error, "%s= given again (first on line %d)", k->name,
                 r.key_line[i]);
            return false;
        }
        r.key_line[i] = r.line;
    }
    return true;
}

kv_result_t read_strict(FILE *fp, reader_t &r)
{
    kv_result_t res{};
    char s[KV_LINE + 2];
    r.line = 0;
    int c = 0;
    while (c != EOF) {
        // By the byte: a NUL inside the line would otherwise end the text early and hide the
        // rest of the value, as in "port=4600\0junk".
        size_t n = 0;
        bool nul = false;
        while ((c = getc_unlocked(fp)) != EOF && c != '\n') {
            nul = nul || c == '\0';
            if (n < sizeof s - 1)
                s[n] = static_cast<char>(c);
            n++;
        }
        if (c == EOF && n == 0)
            break;
        r.line++;
        res.lines = r.line;
        if (nul)
            note(r.diags, r.line, "", kv_kind::nul, kv_sev::error, "holds a NUL byte");
        else if (n > KV_LINE)
            note(r.diags, r.line, "", kv_kind::too_long, kv_sev::error, "longer than %zu characters", KV_LINE);
        if (nul || n > KV_LINE) {
            res.stopped = true;
            return res;
        }
        s[n] = '\0';
        if (!strict_line(r, s, n)) {
            res.stopped = true;
            return res;
        }
    }
    res.read_error = ferror(fp) != 0;
    return res;
}

}  // namespace

const char *kv_kind_name(kv_kind k)
{
    const auto i = static_cast<size_t>(k);
    return i < KV_NKINDS ? KIND_NAMES[i] : "?";
}

void kv_note(const kv_val_t &v, kv_kind kind, kv_sev sev, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vnote(v.diags, v.line, v.key != nullptr ? v.key->name : "", kind, sev, fmt, ap);
    va_end(ap);
}

kv_result_t kv_read(FILE *fp, const kv_rules_t &rules, void *dst, kv_diags_t *diags)
{
    reader_t r{rules, dst, diags, 0, 0, {}};
    return rules.mode == kv_mode::literal ? read_literal(fp, r) : read_strict(fp, r);
}
