// The key=value reader under both rule sets: file text in, diagnostics and setter calls out,
// against a table of one key of each type whose setters record what they are handed.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "conf/kv.h"

namespace {

using namespace std::string_literals;
using Lines = std::vector<std::string>;

// "key=text#num" per call, "[name]" for a section, "+" when the value goes on in the next piece.
struct Calls {
    std::string log;
};

bool record(void *dst, const kv_val_t &v)
{
    std::string &log = static_cast<Calls *>(dst)->log;
    log += log.empty() ? "" : " ";
    if (v.key == nullptr)
        log += "[" + std::string(v.text) + "]";
    else
        log +=
            std::string(v.key->name) + "=" + v.text + (v.key->type == kv_type::text ? "" : "#" + std::to_string(v.num));
    log += v.cut ? "+" : "";
    return true;
}

// "bad" is refused with a reason of its own, "none" without one.
bool list(void *dst, const kv_val_t &v)
{
    if (std::string(v.text) == "bad")
        return kv_note(v, kv_kind::bad_value, kv_sev::error, "list: bad"), false;
    return std::string(v.text) != "none" && record(dst, v);
}

bool section(void *dst, const kv_val_t &v) { return v.text[0] != '\0' && record(dst, v); }

constexpr kv_key_t KEYS[] = {
    {"name", kv_type::text, false, 0, 7, record, nullptr}, {"port", kv_type::u16, false, 1, 65535, record, nullptr},
    {"on", kv_type::flag, false, 0, 1, record, nullptr},   {"size", kv_type::number, false, 0, 100, record, nullptr},
    {"list", kv_type::custom, true, 0, 0, list, "a list"},
};
constexpr kv_rules_t LITERAL = {kv_mode::literal, KEYS, section, nullptr, nullptr};
constexpr kv_rules_t STRICT = {kv_mode::strict, KEYS, section, "section must be [name]", "[sect]"};

struct Outcome {
    Lines diags;  // "<line> <E|W> <kind>(<key>): <text>"
    std::string calls;
    kv_result_t res;
    int errors, dropped;
};

Outcome run(const kv_rules_t &rules, const std::string &text)
{
    std::string copy = text + '\0';
    FILE *fp = fmemopen(copy.data(), text.size() == 0 ? 1 : text.size(), "r");
    if (text.empty())
        fgetc(fp);
    Calls calls;
    kv_diags_t d{};
    Outcome r;
    r.res = kv_read(fp, rules, &calls, &d);
    fclose(fp);
    for (int i = 0; i < d.n; i++)
        r.diags.push_back(std::to_string(d.d[i].line) + (d.d[i].sev == kv_sev::error ? " E " : " W ") +
                          kv_kind_name(d.d[i].kind) + "(" + d.d[i].key + "): " + d.d[i].text);
    r.calls = calls.log;
    r.errors = d.errors;
    r.dropped = d.dropped;
    return r;
}

struct Row {
    std::string text;
    Lines diags;
    std::string calls;
};

void check_rows(const kv_rules_t &rules, const std::vector<Row> &rows)
{
    for (const Row &row : rows) {
        const Outcome r = run(rules, row.text);
        EXPECT_EQ(r.diags, row.diags) << row.text;
        EXPECT_EQ(r.calls, row.calls) << row.text;
    }
}

// The client's reading: every suspicious line is reported, and is still read as it always was.
TEST(KvLiteral, WhatEachLineYields)
{
    const std::string x254(254, 'x');
    check_rows(
        LITERAL,
        {
            {"[a]\nname=abc\n# name=z\n\rname=z\n\n   \n", {}, "[a] name=abc"},
            {"port =1\n", {"1 W blank_key(port ): blank before '=': the key is read as \"port \" and ignored"}, ""},
            {"\tport=1\n", {"1 W indented(\tport): indented key \"\tport\": tolvad ignores it"}, ""},
            {"ports=3\n=1\n",
             {"1 W unknown_key(ports): unknown key \"ports\": tolvad ignores it",
              "2 W unknown_key(): unknown key \"\": tolvad ignores it"},
             ""},
            {"just words\n", {"1 W not_kv(): neither a [section] nor key=value: ignored"}, ""},
            {"[a]\nname=x[b]y\n",
             {"2 W second_section(): a second section: it replaces the interface named on line 1"},
             "[a] [b]"},
            {"name=a\nname=b\nname=c\n",
             {"2 W repeated(name): name again: this value replaces the one of line 1",
              "3 W repeated(name): name again: this value replaces the one of line 2"},
             "name=a name=b name=c"},
            {"list=a\nlist=b\n", {}, "list=a#0 list=b#0"},
            // one CR or LF removed: CR LF leaves the CR in a text value, harmless in a number
            {"name=x\r\nport=80\r\n",
             {"1 E cr_value(name): ends in CR LF: the carriage return is part of the name value"},
             "name=x\r port=80\r#80"},
            {"name= x\nname=x\t\n",
             {"1 W blank_value(name): blank after '=': the name value begins with it",
              "2 W repeated(name): name again: this value replaces the one of line 1",
              "2 W blank_value(name): blank at the end: the name value ends with it"},
             "name= x name=x\t"},
            {"name=12345678\n",
             {"1 W cut(name): the name value has 8 characters: tolvad keeps the first 7"},
             "name=12345678"},
            // numbers as atoi reads them; one that only wraps into range is an error
            {"port=70000\n",
             {"1 E bounds(port): port=70000 is not 1 to 65535: tolvad reads it as 4464"},
             "port=70000#70000"},
            {"port=-1\n",
             {"1 E bounds(port): port=-1 is not 1 to 65535: tolvad reads it as 65535"},
             "port=-1#18446744073709551615"},
            {"port=99999999999\n",
             {"1 E bounds(port): port=99999999999 is not 1 to 65535: tolvad reads it as 59391"},
             "port=99999999999#99999999999"},
            {"port=0\n", {"1 E bounds(port): port=0 is not 1 to 65535: tolvad reads it as 0"}, "port=0#0"},
            {"port=4501junk\n",
             {"1 W not_number(port): port=4501junk: the number ends at 'j', tolvad ignores the rest"},
             "port=4501junk#4501"},
            {"port=abc\n", {"1 W not_number(port): port=abc is no number: tolvad reads 0"}, "port=abc#0"},
            {"port= +80 \n", {}, "port= +80 #80"},
            {"on=7\non=-3\n",
             {"2 W repeated(on): on again: this value replaces the one of line 1"},
             "on=7#7 on=-3#18446744073709551613"},
            {"size=101\n", {"1 W bounds(size): size=101 is not 0 to 100: tolvad uses 100"}, "size=101#101"},
            // pieces of 255: the rest of a longer line is read as a line of its own
            {"#" + x254 + "port=1\n",
             {"1 W piece(): longer than 255 characters: tolvad reads each 255 as a line of its own"},
             "port=1#1"},
            {"#" + x254 + "\nport=1\n", {}, "port=1#1"},
            {"list=" + x254 + "\n",
             {"1 W piece(): longer than 255 characters: tolvad reads each 255 as a line of its own",
              "1 W not_kv(): neither a [section] nor key=value: ignored"},
             "list=" + std::string(250, 'x') + "#0+"},
            // a NUL ends the text the loader sees, and hides the line feed after it
            {"name=a\0b\nport=2\n"s,
             {"1 W nul(): holds a NUL byte: tolvad reads the line only up to it"},
             "name=a+ port=2#2"},
            {"list=bad\n", {"1 E bad_value(list): list: bad"}, ""},
        });
}

// The peer's reading: whole lines, every fault an error, and the first one ends the file.
TEST(KvStrict, EachFaultEndsTheFile)
{
    check_rows(STRICT,
               {
                   {"# c\n[a]\r\nport=80\r\r\n\nname=x y\non=1\nsize=0\nlist=a\nlist=b\n",
                    {},
                    "[a] port=80#80 name=x y on=1#1 size=0#0 list=a#0 list=b#0"},
                   {"port=0\nport=0\n", {"1 E bounds(port): port must be 1 to 65535"}, ""},
                   {"port=+80\n", {"1 E bounds(port): port must be 1 to 65535"}, ""},
                   {"port=80 \n", {"1 E bounds(port): port must be 1 to 65535"}, ""},
                   {"on=2\n", {"1 E bounds(on): on must be 0 or 1"}, ""},
                   {"size=\n", {"1 E bounds(size): size must be 0 to 100"}, ""},
                   {"port=80\nport=81\n",
                    {"2 E repeated(port): port= given again (first on line 1)"},
                    "port=80#80 port=81#81"},
                   {"[a]\n[b]\n", {"2 E second_section(): a second [sect] line (the first is on line 1)"}, "[a] [b]"},
                   {"[]\n", {"1 E bad_section(): section must be [name]"}, ""},
                   {"[a\n", {"1 E bad_section(): section must be [name]"}, ""},
                   {"ports=1\n", {"1 E unknown_key(ports): unknown key ports"}, ""},
                   {" port=1\n", {"1 E unknown_key( port): unknown key  port"}, ""},
                   {"port\n", {"1 E not_kv(): expected key=value"}, ""},
                   {"list=bad\n", {"1 E bad_value(list): list: bad"}, ""},
                   {"list=none\n", {"1 E bad_value(list): list must be a list"}, ""},
                   {"name=a\0b\n"s, {"1 E nul(): holds a NUL byte"}, ""},
                   {"name=" + std::string(249, 'n') + "\n", {}, "name=" + std::string(249, 'n')},
                   {"name=" + std::string(249, 'n') + "\r\n", {"1 E too_long(): longer than 254 characters"}, ""},
               });
}

// The list holds the first KV_DIAG_MAX; the rest are counted, errors among them.
TEST(KvDiags, BoundedListCountsTheRest)
{
    std::string text;
    for (int i = 0; i < KV_DIAG_MAX + 8; i++)
        text += "list=bad\n";
    const Outcome r = run(LITERAL, text);
    ASSERT_EQ(r.diags.size(), static_cast<size_t>(KV_DIAG_MAX));
    EXPECT_EQ(r.diags.back(), std::to_string(KV_DIAG_MAX) + " E bad_value(list): list: bad");
    EXPECT_EQ(r.dropped, 8);
    EXPECT_EQ(r.errors, KV_DIAG_MAX + 8);
    EXPECT_EQ(r.res.lines, KV_DIAG_MAX + 8);
    EXPECT_FALSE(r.res.stopped);
    const Outcome strict = run(STRICT, text);
    EXPECT_TRUE(strict.res.stopped);
    EXPECT_EQ(strict.errors, 1);
}

}  // namespace
