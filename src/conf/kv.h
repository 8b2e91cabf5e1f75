// The key=value reader of both daemons' configuration files: one pass over the file, a section
// line and key=value lines, each key looked up in the caller's table and its value handed to the
// key's setter. The reader itself never stores a setting; it reports what it sees, with the line
// number, into a bounded list of diagnostics.
//
// Two rule sets share the pass. The client's (literal) reads the way its loader always has: the
// line in pieces of 255 characters, one trailing CR or LF removed, nothing trimmed, numbers as
// atoi reads them, unknown keys passed over; suspicious lines are reported and change nothing.
// The peer's (strict) takes whole lines of up to 254 characters, every fault is an error and the
// first one ends the pass.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>

enum class kv_mode : uint8_t { literal, strict };

// What a value is; the reader reads numbers itself and checks their bounds.
enum class kv_type : uint8_t {
    text,    // as written; hi: the characters the field keeps (literal), longer is reported
    u16,     // literal: atoi, kept modulo 65536; strict: decimal digits within [lo, hi]
    flag,    // literal: atoi, nonzero is on; strict: decimal digits within [lo, hi]
    number,  // literal: atoi, the setter bounds it; strict: decimal digits within [lo, hi]
    custom,  // the setter reads the text
};

enum class kv_kind : uint8_t {
    piece,      // a line longer than one piece, read as several lines (literal)
    nul,        // a NUL byte inside a line
    too_long,   // a line longer than the strict reader takes
    indented,   // a key preceded by a blank
    blank_key,  // a blank before '=': part of the key
    unknown_key,
    not_kv,    // neither a section line nor key=value
    cr_value,  // a carriage return left at the end of a value
    repeated,  // a key that takes one value, again
    second_section,
    bounds,       // a number outside the key's bounds
    not_number,   // a number value with text the number reading stops at, or no digits
    blank_value,  // a blank at either end of a text value
    cut,          // a text value longer than its field
    bad_value,    // the setter's own reason
    bad_section,  // a section line the rules refuse
};
inline constexpr int KV_NKINDS = 16;
const char *kv_kind_name(kv_kind k);  // "cr_value"

enum class kv_sev : uint8_t { warning, error };

inline constexpr int KV_DIAG_MAX = 32;
inline constexpr size_t KV_KEYLEN = 32;
inline constexpr size_t KV_TEXTLEN = 160;

struct kv_diag_t {
    int line;
    kv_kind kind;
    kv_sev sev;
    char key[KV_KEYLEN];    // "" for a line without a key
    char text[KV_TEXTLEN];  // what happens, without the line number
};

// The first KV_DIAG_MAX diagnostics; the rest are only counted.
struct kv_diags_t {
    kv_diag_t d[KV_DIAG_MAX];
    int n;
    int dropped;
    int errors;  // of all, kept or dropped
};

struct kv_key_t;

// One value as a setter sees it.
struct kv_val_t {
    const char *text;  // the value as the reader took it
    uint64_t num;      // u16, flag, number: literal as atoi reads it (wrapping), strict within the bounds
    bool cut;          // literal: the line goes on in the next piece, this is only its start
    int line;
    const kv_key_t *key;  // null for a section line
    kv_diags_t *diags;
};

// Stores the value into dst (the caller's record); false refuses it. A refusal in strict mode is
// a fault: the reader reports "<key> must be <what>" unless the setter noted a reason itself.
using kv_set_fn = bool (*)(void *dst, const kv_val_t &v);

struct kv_key_t {
    const char *name;
    kv_type type;
    bool repeats;  // a later line adds to the earlier (routes=, user=) instead of replacing it
    uint32_t lo, hi;
    kv_set_fn set;
    const char *what;  // strict: what a refused value should be
};
inline constexpr int KV_KEYS_MAX = 24;

struct kv_rules_t {
    kv_mode mode;
    std::span<const kv_key_t> keys;  // at most KV_KEYS_MAX
    kv_set_fn section;               // the name between the brackets; v.key is null
    const char *section_what;        // strict: the fault of a refused section line
    const char *section_name;        // strict: what the section line is called, "[interface]"
};

struct kv_result_t {
    int lines;        // lines read
    bool read_error;  // the stream failed before its end
    bool stopped;     // strict: ended at the first error
};

// Reads fp to its end (strict: or to the first error) into dst through the setters.
kv_result_t kv_read(FILE *fp, const kv_rules_t &rules, void *dst, kv_diags_t *diags);

// A diagnostic for v's line and key, from a setter.
void kv_note(const kv_val_t &v, kv_kind kind, kv_sev sev, const char *fmt, ...) __attribute__((format(printf, 4, 5)));
